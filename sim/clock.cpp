// Virtual device core: the clock that drives ramps, lags and real-time deliveries: real monotonic
// seconds, or a manual clock that the control API moves on.
#include "core.hpp"

#include <chrono>

#include "zorvsim.h"

namespace sim {

static std::atomic<bool> g_manual_clock{false};
static std::mutex g_clock_mutex;
static double g_manual_now = 0;

static double real_now() {
    using namespace std::chrono;
    static const auto start = steady_clock::now();
    return duration<double>(steady_clock::now() - start).count();
}

double now() {
    if (!g_manual_clock.load()) return real_now();
    std::lock_guard<std::mutex> g(g_clock_mutex);
    return g_manual_now;
}


std::mutex& clock_mutex() { return g_clock_mutex; }

}  // namespace sim

using namespace sim;

extern "C" {

void zorvsim_clock_manual(int on) {
    std::lock_guard<std::mutex> g(g_clock_mutex);
    if (on && !g_manual_clock.load()) g_manual_now = real_now();
    g_manual_clock.store(on != 0);
}

void zorvsim_clock_advance(double seconds) {
    std::lock_guard<std::mutex> g(g_clock_mutex);
    if (seconds > 0) g_manual_now += seconds;
}

double zorvsim_clock_now(void) { return now(); }

}  // extern "C"

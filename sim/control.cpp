// Virtual device core: what every control function shares: the reason of a refusal, and the texts
// handed out to the caller.
#include "core.hpp"

#include <cstdlib>
#include <cstring>

#include "zorvsim.h"

namespace sim {

namespace {
thread_local std::string t_control_error;
}  // namespace

int control_fail(std::string text) {
    t_control_error = std::move(text);
    return -1;
}

char* copy_out(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    else control_fail("the virtual device cannot do this: no memory for a text of " + std::to_string(s.size()) + " bytes");
    return p;
}

}  // namespace sim

using namespace sim;

extern "C" {

const char* zorvsim_error(void) { return t_control_error.c_str(); }

void zorvsim_free(char* text) { std::free(text); }

}  // extern "C"

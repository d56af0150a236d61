// Virtual device core: the world of attached devices, the default devices, and replacing or
// resetting the world.
#include "core.hpp"

#include <cstdio>

#include "zorvsim.h"

namespace sim {

std::recursive_mutex& world_mutex() {
    static std::recursive_mutex m;
    return m;
}

namespace {

Descriptor default_descriptor(int index) {
    Descriptor d;
    d.connectionString = "zorvsim:" + std::to_string(index);
    d.product = index == 0 ? "ZQ4 Quad Readout" : "ZQ4 Quad Readout Lite";
    d.manufacturer = "Zorv Instruments";
    char serial[32];
    std::snprintf(serial, sizeof serial, "ZQ4-%06d", 417 + index);
    d.serialNumber = serial;
    d.vid = 0x6A5A;
    d.pid = 0x0401 + index;
    d.instancePath = "usb:1-2." + std::to_string(index + 1);
    d.highSpeed = 1;
    d.superSpeed = index == 0 ? 1 : 0;
    return d;
}

}  // namespace

std::unique_ptr<Device> default_device(int index) {
    auto dev = std::make_unique<Device>();
    dev->index = index;
    dev->desc = default_descriptor(index);
    defaults(dev->chip, index);
    defaults(dev->supplies, index);
    defaults(dev->memory, index);
    defaults(dev->acq, index);
    return dev;
}

std::unique_ptr<World> default_world() {
    auto w = std::make_unique<World>();
    for (int i = 0; i < 2; ++i) w->devices.push_back(default_device(i));
    return w;
}

std::unique_ptr<World>& world_ptr() {
    static std::unique_ptr<World> w;
    return w;
}

std::string& model_file_error() {
    static std::string e;
    return e;
}

World& world() {
    auto& w = world_ptr();
    if (!w) {
        const char* file = std::getenv("ZORVSIM_MODEL");
        if (file && *file) {
            std::string text, error;
            try {
                if (read_model_file(file, text, error)) w = world_from_text(text, file, error);
            } catch (const std::exception& e) {
                error = std::string(file) + ": cannot be loaded: " + e.what();
            }
            if (!w) model_file_error() = "ZORVSIM_MODEL: " + error;
        }
        if (!w) w = default_world();
    }
    return *w;
}

Device* open_device(zorv_ctx_t* ctx) {
    if (!ctx || ctx->device < 0) return nullptr;
    auto& devs = world().devices;
    if (size_t(ctx->device) >= devs.size()) return nullptr;
    return devs[ctx->device].get();
}

namespace {

// Stops every acquisition and closes every device, without the world lock held while joining.
void close_all() {
    std::vector<Device*> open;
    {
        auto lk = lock();
        for (zorv_ctx_t* c : contexts())
            if (Device* d = open_device(c)) open.push_back(d);
    }
    for (Device* d : open) on_close_acq(*d);
    auto lk = lock();
    for (zorv_ctx_t* c : contexts()) {
        if (Device* d = open_device(c)) {
            on_close_chip(*d);
            on_close_memory(*d);
            on_close_supplies(*d);
            d->owner = nullptr;
        }
        c->device = -1;
    }
}

}  // namespace

int install(std::unique_ptr<World> w, bool keep_open) {
    auto lk = lock();
    for (auto& d : world().devices)
        if (acquiring(*d)) return control_fail("the model cannot be changed while an acquisition runs");
    if (!keep_open) {
        lk.unlock();
        close_all();
        lk.lock();
    }
    world_ptr() = std::move(w);
    for (zorv_ctx_t* c : contexts()) {
        if (c->device < 0) continue;
        if (size_t(c->device) < world().devices.size()) world().devices[c->device]->owner = c;
        else c->device = -1;
    }
    return 0;
}

}  // namespace sim

using namespace sim;

extern "C" {

int zorvsim_reset(void) {
    zorvsim_clear_controls();
    zorvsim_journal(0);
    zorvsim_clock_manual(0);
    clear_journal();
    close_all();
    reset_acquisitions();
    auto lk = lock();
    world_ptr() = default_world();
    return 0;
}

}  // extern "C"

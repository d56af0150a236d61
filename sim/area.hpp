// Virtual device: what every area of a device model (chip, supplies, memory, acquisition) provides.
#pragma once

#include <string>

#include "json.hpp"

namespace sim {
struct Device;
}  // namespace sim

// Declares, inside namespace sim, the functions of the area struct `Area`: defaults, the model of
// the default device number `index`; load, which applies the members present in `doc` (the area's
// object of a device in a model document); dump; and on_open_<name> and on_close_<name>, called
// with the world locked when a context opens the device, and without it when it is closed (so that
// library threads which call back can be joined).
#define SIM_AREA_FUNCTIONS(Area, name)                                                             \
    void defaults(Area& area, int index);                                                          \
    void load(Area& area, const Json& doc, const std::string& path, Reader& reader);               \
    Json dump(const Area& area);                                                                   \
    void on_open_##name(Device& dev);                                                              \
    void on_close_##name(Device& dev)

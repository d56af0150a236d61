// Virtual device: the chip model of one device.
#pragma once

#include <string>

#include "json.hpp"

namespace sim {

struct Device;

struct ChipArea {
};

// The model of the default device number `index`.
void defaults(ChipArea& area, int index);
// Applies the members present in `doc` (the area's object of a device in a model document).
void load(ChipArea& area, const Json& doc, const std::string& path, Reader& reader);
Json dump(const ChipArea& area);
// Called with the world locked when a context opens the device, and without it when it is closed
// (so that library threads which call back can be joined).
void on_open_chip(Device& dev);
void on_close_chip(Device& dev);

}  // namespace sim

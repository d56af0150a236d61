// Virtual device: the memory model of one device.
#pragma once

#include <string>

#include "json.hpp"

namespace sim {

struct Device;

struct MemoryArea {
};

// The model of the default device number `index`.
void defaults(MemoryArea& area, int index);
// Applies the members present in `doc` (the area's object of a device in a model document).
void load(MemoryArea& area, const Json& doc, const std::string& path, Reader& reader);
Json dump(const MemoryArea& area);
// Called with the world locked when a context opens the device, and without it when it is closed
// (so that library threads which call back can be joined).
void on_open_memory(Device& dev);
void on_close_memory(Device& dev);

}  // namespace sim

// Virtual device: the acquisition model of one device.
#pragma once

#include <string>

#include "json.hpp"

namespace sim {

struct Device;

struct AcqArea {
};

// The model of the default device number `index`.
void defaults(AcqArea& area, int index);
// Applies the members present in `doc` (the area's object of a device in a model document).
void load(AcqArea& area, const Json& doc, const std::string& path, Reader& reader);
Json dump(const AcqArea& area);
// Called with the world locked when a context opens the device, and without it when it is closed
// (so that library threads which call back can be joined).
void on_open_acq(Device& dev);
void on_close_acq(Device& dev);

}  // namespace sim

namespace sim {
// True while an acquisition runs on any channel of the device (the model cannot be replaced then).
bool acquiring(const Device& dev);
}  // namespace sim

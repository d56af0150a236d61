// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and the AXI
// register map of one device.
#pragma once

#include <string>
#include <vector>

#include "json.hpp"

namespace sim {

struct Device;

struct Board {
    std::string id;
    bool powered = false;
};

struct SupplyArea {
    std::vector<Board> boards;
    bool powerOnOpen = true;  // boards are powered when the device is opened
};

void defaults(SupplyArea& area, int index);
void load(SupplyArea& area, const Json& doc, const std::string& path, Reader& reader);
Json dump(const SupplyArea& area);
void on_open_supplies(Device& dev);
void on_close_supplies(Device& dev);

// True when every board of the device is powered: chip and acquisition calls need it.
bool boards_powered(const Device& dev);

}  // namespace sim

// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and the AXI
// register map of one device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.hpp"

namespace sim {

struct Device;

struct Board {
    std::string id;
    bool powered = false;
};

// One hardware version: an identifier and its version text.
struct Revision {
    std::string id;
    std::string version;
};

// One 32-bit register of the AXI map, at a 4-byte aligned address.
struct Register {
    uint32_t address = 0;
    uint32_t value = 0;
    bool writable = true;
};

struct SupplyArea {
    std::vector<Board> boards;
    bool powerOnOpen = true;  // boards are powered when the device is opened
    std::vector<Revision> revisions;
    std::vector<std::string> syncOptions;
    std::string syncSelected;
    std::vector<Register> registers;
};

void defaults(SupplyArea& area, int index);
void load(SupplyArea& area, const Json& doc, const std::string& path, Reader& reader);
Json dump(const SupplyArea& area);
void on_open_supplies(Device& dev);
void on_close_supplies(Device& dev);

// True when every board of the device is powered: chip and acquisition calls need it.
bool boards_powered(const Device& dev);

}  // namespace sim

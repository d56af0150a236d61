// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and the AXI
// register map of one device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "area.hpp"
#include "json.hpp"

namespace sim {

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
    static constexpr const char* rule = "expected an aligned 32-bit address and a 32-bit value";
    uint32_t address = 0;
    uint32_t value = 0;
    bool writable = true;
};

// One bias supply: the read-back voltage ramps from `from` (at time `since`) toward `target` at
// `rate` volts per second of the virtual clock.
struct BiasSupply {
    static constexpr const char* rule = "expected min <= max and a positive rate";
    std::string id;
    double min = 0;
    double max = 0;
    double rate = 10;
    double from = 0;
    double target = 0;
    double since = 0;
};

// The read-back voltage of a bias supply at time `t`.
double bias_voltage(const BiasSupply& b, double t);

// One cooling unit: the actual temperature follows the desired one as a first-order lag with time
// constant `tau` seconds of the virtual clock, starting from `from` at time `since`.
struct CoolingUnit {
    static constexpr const char* rule = "expected min <= max and a positive time constant";
    std::string id;
    std::string unit = "DegreeCelsius";
    double min = 0;
    double max = 0;
    double tau = 30;
    double from = 0;
    double desired = 0;
    double since = 0;
};

// The actual temperature of a cooling unit at time `t`.
double cooling_actual(const CoolingUnit& c, double t);

struct SupplyArea {
    std::vector<Board> boards;
    bool powerOnOpen = true;  // boards are powered when the device is opened
    std::vector<Revision> revisions;
    std::vector<std::string> syncOptions;
    std::string syncSelected;
    std::vector<Register> registers;
    std::vector<BiasSupply> biases;
    std::vector<CoolingUnit> coolers;
};

SIM_AREA_FUNCTIONS(SupplyArea, supplies);

// True when every board of the device is powered: chip and acquisition calls need it.
bool boards_powered(const Device& dev);

}  // namespace sim

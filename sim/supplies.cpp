// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and AXI
// registers.
#include "schema.hpp"
#include "sim.hpp"
#include "zorv/axi.h"
#include "zorv/bias.h"
#include "zorv/board.h"
#include "zorv/cooling.h"
#include "zorv/revision.h"
#include "zorv/syncmode.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

namespace sim {

void defaults(SupplyArea& a, int) {
    a.boards = {{"board-0", false}, {"board-1", false}};
    a.powerOnOpen = true;
    a.revisions = {{"firmware", "2.4.1"}, {"board", "rev C"}, {"chip-carrier", "1.2"}};
    a.syncOptions = {"internal", "master", "slave"};
    a.syncSelected = "internal";
    a.registers = {
        {0x0000, 0x5A510004u, false},  // device identifier
        {0x0004, 0x00000000u, true},   // control
        {0x0008, 0x00000001u, false},  // status: ready
        {0x0010, 0x00000000u, true},   // scratch
    };
    // The sensor's bias at its operating voltage, above full depletion.
    a.biases = {{"hv", 0.0, 200.0, 10.0, 100.0, 100.0, 0.0}, {"guard", -50.0, 50.0, 10.0, 0.0, 0.0, 0.0}};
    a.coolers = {{"sensor", "DegreeCelsius", -30.0, 40.0, 30.0, 20.0, 20.0, 0.0}};
}

double cooling_actual(const CoolingUnit& c, double t) {
    double elapsed = std::max(0.0, t - c.since);
    return c.desired + (c.from - c.desired) * std::exp(-elapsed / c.tau);
}

double bias_voltage(const BiasSupply& b, double t) {
    double step = b.rate * std::max(0.0, t - b.since);
    if (b.target > b.from) return std::min(b.target, b.from + step);
    return std::max(b.target, b.from - step);
}

// ---- the model's members ----

template <class V>
void members(V& v, Board& b) {
    v("id", b.id);
    v("powered", b.powered);
}

template <class V>
void members(V& v, Revision& r) {
    v("id", r.id);
    v("version", r.version);
}

template <class V>
void members(V& v, Register& g) {
    v("address", g.address);
    v("value", g.value);
    v("writable", g.writable);
}
static bool valid(const Register& g) { return g.address % 4 == 0; }

template <class V>
void members(V& v, BiasSupply& b) {
    v("id", b.id);
    v("min", b.min);
    v("max", b.max);
    v("rate", b.rate);
    v.state("volts", b.from, [&](double t) { return bias_voltage(b, t); });
    v.fallback("target", b.target, b.from);
}
static bool valid(const BiasSupply& b) { return b.min <= b.max && b.rate > 0; }

template <class V>
void members(V& v, CoolingUnit& c) {
    v("id", c.id);
    v("unit", c.unit);
    v("min", c.min);
    v("max", c.max);
    v("tau", c.tau);
    v.state("actual", c.from, [&](double t) { return cooling_actual(c, t); });
    v.fallback("desired", c.desired, c.from);
}
static bool valid(const CoolingUnit& c) { return c.min <= c.max && c.tau > 0; }

template <class V>
void members(V& v, SupplyArea& a) {
    v("powerOnOpen", a.powerOnOpen);
    v("boards", a.boards);
    v("revisions", a.revisions);
    v("syncOptions", a.syncOptions);
    v("syncSelected", a.syncSelected);
    v("registers", a.registers);
    v("biases", a.biases);
    v("coolers", a.coolers);
}

void load(SupplyArea& a, const Json& doc, const std::string& path, Reader& r) { load_model(a, doc, path, r); }

Json dump(const SupplyArea& a) { return dump_model(a); }

void on_open_supplies(Device& dev) {
    if (dev.supplies.powerOnOpen)
        for (auto& b : dev.supplies.boards) b.powered = true;
}

void on_close_supplies(Device& dev) {
    for (auto& b : dev.supplies.boards) b.powered = false;
}

bool boards_powered(const Device& dev) {
    for (auto& b : dev.supplies.boards)
        if (!b.powered) return false;
    return true;
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---- board power ----

#define BOARD_OR_FAIL(ok) ZORV_ITEM_OR_FAIL(ok, b, dev->supplies.boards, "board")

ZORV_LIST_FUNCTIONS(zorv_board_count, zorv_board_id, ZORV_DEVICE_OR_FAIL, supplies.boards, "board")

int zorv_board_power_on(zorv_ctx_t* ctx, const char* id) {
    ZORV_ENTER(ctx, id);
    BOARD_OR_FAIL(true);
    b->powered = true;
    return call_.done(0);
}

int zorv_board_power_off(zorv_ctx_t* ctx, const char* id) {
    ZORV_ENTER(ctx, id);
    BOARD_OR_FAIL(true);
    if (!b->powered) return call_.fail(ZORV_INVALID_OPERATION, "board '%s' is not powered", id);
    // An unpowered detector delivers nothing: the acquisition has to be ended first.
    if (sim::acquiring(*dev))
        return call_.fail(ZORV_INVALID_OPERATION, "board '%s' cannot be powered off while an acquisition is running", id);
    b->powered = false;
    return call_.done(0);
}

ZORV_ITEM_VALUE(zorv_board_is_powered, BOARD_OR_FAIL, int, b->powered ? 1 : 0)

// ---- sensor bias supplies ----

#define BIAS_OR_FAIL(ok) ZORV_ITEM_OR_FAIL(ok, b, dev->supplies.biases, "bias supply")

ZORV_LIST_FUNCTIONS(zorv_bias_supply_count, zorv_bias_supply_id, ZORV_DEVICE_OR_FAIL, supplies.biases, "bias supply")

ZORV_ITEM_VALUE(zorv_bias_get, BIAS_OR_FAIL, float, float(bias_voltage(*b, now())))

int zorv_bias_set(zorv_ctx_t* ctx, const char* id, float volts) {
    ZORV_ENTER(ctx, id, volts);
    BIAS_OR_FAIL(true);
    if (!std::isfinite(volts) || volts < b->min || volts > b->max)
        return call_.fail(ZORV_INVALID_ARGUMENT, "bias %g V is outside the range [%g, %g] of '%s'", double(volts), b->min, b->max, id);
    double t = now();
    b->from = bias_voltage(*b, t);
    b->since = t;
    b->target = volts;
    return call_.done(0);
}

ZORV_ITEM_RANGE(zorv_bias_range, BIAS_OR_FAIL, float, float(b->min), float(b->max))

// ---- cooling units ----

#define COOLER_OR_FAIL(ok) ZORV_ITEM_OR_FAIL(ok, c, dev->supplies.coolers, "cooling unit")

ZORV_LIST_FUNCTIONS(zorv_cooling_count, zorv_cooling_id, ZORV_DEVICE_OR_FAIL, supplies.coolers, "cooling unit")

ZORV_ITEM_VALUE(zorv_cooling_value_unit, COOLER_OR_FAIL, const char*, c->unit.c_str())

ZORV_ITEM_VALUE(zorv_cooling_get_actual, COOLER_OR_FAIL, float, float(cooling_actual(*c, now())))

ZORV_ITEM_VALUE(zorv_cooling_get_desired, COOLER_OR_FAIL, float, float(c->desired))

int zorv_cooling_set_desired(zorv_ctx_t* ctx, const char* id, float value) {
    ZORV_ENTER(ctx, id, value);
    COOLER_OR_FAIL(true);
    if (!std::isfinite(value) || value < c->min || value > c->max)
        return call_.fail(ZORV_INVALID_ARGUMENT, "temperature %g is outside the limits [%g, %g] of '%s'", double(value), c->min, c->max, id);
    double t = now();
    c->from = cooling_actual(*c, t);
    c->since = t;
    c->desired = value;
    return call_.done(0);
}

ZORV_ITEM_RANGE(zorv_cooling_limits, COOLER_OR_FAIL, float, float(c->min), float(c->max))

// ---- hardware versions ----

ZORV_LIST_FUNCTIONS(zorv_revision_count, zorv_revision_id, ZORV_DEVICE_OR_FAIL, supplies.revisions, "revision")

#define REVISION_OR_FAIL(ok) ZORV_ITEM_OR_FAIL(ok, v, dev->supplies.revisions, "revision")

ZORV_ITEM_VALUE(zorv_revision_string, REVISION_OR_FAIL, const char*, v->version.c_str())

// ---- external synchronisation options ----

ZORV_LIST_FUNCTIONS(zorv_syncmode_option_count, zorv_syncmode_option_id, ZORV_DEVICE_OR_FAIL, supplies.syncOptions,
                    "sync option")

int zorv_syncmode_option_select(zorv_ctx_t* ctx, const char* id) {
    ZORV_ENTER(ctx, id);
    ZORV_ITEM_OR_FAIL(true, o, dev->supplies.syncOptions, "sync option");
    dev->supplies.syncSelected = *o;
    return call_.done(0);
}

// ---- AXI register map ----

}  // extern "C"

namespace {

// The register at `address`, or null with the failure recorded (102 unaligned, 103 unmapped).
sim::Register* find_register(sim::Call& call_, sim::Device& dev, uint32_t address, int& status) {
    if (address % 4 != 0) {
        status = call_.fail(ZORV_AXI_UNALIGNED, "unaligned AXI address 0x%08" PRIX32, address);
        return nullptr;
    }
    for (auto& g : dev.supplies.registers)
        if (g.address == address) return &g;
    status = call_.fail(ZORV_AXI_UNMAPPED, "no AXI register is mapped at address 0x%08" PRIX32, address);
    return nullptr;
}

}  // namespace

extern "C" {

int zorv_axi_read(zorv_ctx_t* ctx, uint32_t address, uint32_t* data) {
    ZORV_ENTER(ctx, address);
    ZORV_DEVICE_OR_FAIL(data);
    int status = 0;
    Register* g = find_register(call_, *dev, address, status);
    if (!g) return status;
    *data = g->value;
    return call_.done(0, data);
}

int zorv_axi_write(zorv_ctx_t* ctx, uint32_t address, uint32_t data) {
    ZORV_ENTER(ctx, address, data);
    ZORV_DEVICE_OR_FAIL(true);
    int status = 0;
    Register* g = find_register(call_, *dev, address, status);
    if (!g) return status;
    if (!g->writable) return call_.fail(ZORV_INVALID_ARGUMENT, "the AXI register at address 0x%08" PRIX32 " is read-only", address);
    g->value = data;
    return call_.done(0);
}

}  // extern "C"

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

namespace {

constexpr List kBoards{[](Device& d) -> auto& { return d.supplies.boards; }, "board"};
constexpr List kBiases{[](Device& d) -> auto& { return d.supplies.biases; }, "bias supply"};
constexpr List kCoolers{[](Device& d) -> auto& { return d.supplies.coolers; }, "cooling unit"};
constexpr List kRevisions{[](Device& d) -> auto& { return d.supplies.revisions; }, "revision"};
constexpr List kSyncOptions{[](Device& d) -> auto& { return d.supplies.syncOptions; }, "sync option"};

// The register at `address`, or null with the failure recorded (102 unaligned, 103 unmapped).
sim::Register* find_register(sim::Call& call, sim::Device& dev, uint32_t address) {
    if (address % 4 != 0) {
        call.fail(ZORV_AXI_UNALIGNED, "unaligned AXI address 0x%08" PRIX32, address);
        return nullptr;
    }
    for (auto& g : dev.supplies.registers)
        if (g.address == address) return &g;
    call.fail(ZORV_AXI_UNMAPPED, "no AXI register is mapped at address 0x%08" PRIX32, address);
    return nullptr;
}

}  // namespace

extern "C" {

// ---- board power ----

int zorv_board_count(zorv_ctx_t* ctx, int* count) { return list_count(kBoards, __func__, ctx, count); }
int zorv_board_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kBoards, __func__, ctx, idx, id); }

int zorv_board_power_on(zorv_ctx_t* ctx, const char* id) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    auto board = call.item(kBoards, ctx, id);
    if (!board) return call.status();
    board->powered = true;
    return call.done(0);
}

int zorv_board_power_off(zorv_ctx_t* ctx, const char* id) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    auto board = call.item(kBoards, ctx, id);
    if (!board) return call.status();
    if (!board->powered) return call.fail(ZORV_INVALID_OPERATION, "board '%s' is not powered", id);
    // An unpowered detector delivers nothing: the acquisition has to be ended first.
    if (sim::acquiring(*board.device))
        return call.fail(ZORV_INVALID_OPERATION, "board '%s' cannot be powered off while an acquisition is running", id);
    board->powered = false;
    return call.done(0);
}

int zorv_board_is_powered(zorv_ctx_t* ctx, const char* id, int* powered) {
    return item_value(kBoards, __func__, ctx, id, powered, [](const Board& b) { return b.powered ? 1 : 0; });
}

// ---- sensor bias supplies ----

int zorv_bias_supply_count(zorv_ctx_t* ctx, int* count) { return list_count(kBiases, __func__, ctx, count); }
int zorv_bias_supply_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kBiases, __func__, ctx, idx, id); }

int zorv_bias_get(zorv_ctx_t* ctx, const char* id, float* volts) {
    return item_value(kBiases, __func__, ctx, id, volts, [](const BiasSupply& b) { return float(bias_voltage(b, now())); });
}

int zorv_bias_set(zorv_ctx_t* ctx, const char* id, float volts) {
    Call call(__func__, ctx, id, volts);
    if (call.injected()) return call.status();
    auto b = call.item(kBiases, ctx, id);
    if (!b) return call.status();
    if (!std::isfinite(volts) || volts < b->min || volts > b->max)
        return call.fail(ZORV_INVALID_ARGUMENT, "bias %g V is outside the range [%g, %g] of '%s'", double(volts), b->min, b->max, id);
    double t = now();
    b->from = bias_voltage(*b, t);
    b->since = t;
    b->target = volts;
    return call.done(0);
}

int zorv_bias_range(zorv_ctx_t* ctx, const char* id, float* min, float* max) {
    return item_range(kBiases, __func__, ctx, id, min, max,
                      [](const BiasSupply& b) { return std::pair{float(b.min), float(b.max)}; });
}

// ---- cooling units ----

int zorv_cooling_count(zorv_ctx_t* ctx, int* count) { return list_count(kCoolers, __func__, ctx, count); }
int zorv_cooling_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kCoolers, __func__, ctx, idx, id); }

int zorv_cooling_value_unit(zorv_ctx_t* ctx, const char* id, const char** unit) {
    return item_value(kCoolers, __func__, ctx, id, unit, [](const CoolingUnit& c) { return c.unit.c_str(); });
}

int zorv_cooling_get_actual(zorv_ctx_t* ctx, const char* id, float* value) {
    return item_value(kCoolers, __func__, ctx, id, value, [](const CoolingUnit& c) { return float(cooling_actual(c, now())); });
}

int zorv_cooling_get_desired(zorv_ctx_t* ctx, const char* id, float* value) {
    return item_value(kCoolers, __func__, ctx, id, value, [](const CoolingUnit& c) { return float(c.desired); });
}

int zorv_cooling_set_desired(zorv_ctx_t* ctx, const char* id, float value) {
    Call call(__func__, ctx, id, value);
    if (call.injected()) return call.status();
    auto c = call.item(kCoolers, ctx, id);
    if (!c) return call.status();
    if (!std::isfinite(value) || value < c->min || value > c->max)
        return call.fail(ZORV_INVALID_ARGUMENT, "temperature %g is outside the limits [%g, %g] of '%s'", double(value), c->min, c->max, id);
    double t = now();
    c->from = cooling_actual(*c, t);
    c->since = t;
    c->desired = value;
    return call.done(0);
}

int zorv_cooling_limits(zorv_ctx_t* ctx, const char* id, float* min, float* max) {
    return item_range(kCoolers, __func__, ctx, id, min, max,
                      [](const CoolingUnit& c) { return std::pair{float(c.min), float(c.max)}; });
}

// ---- hardware versions ----

int zorv_revision_count(zorv_ctx_t* ctx, int* count) { return list_count(kRevisions, __func__, ctx, count); }
int zorv_revision_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kRevisions, __func__, ctx, idx, id); }

int zorv_revision_string(zorv_ctx_t* ctx, const char* id, const char** version) {
    return item_value(kRevisions, __func__, ctx, id, version, [](const Revision& v) { return v.version.c_str(); });
}

// ---- external synchronisation options ----

int zorv_syncmode_option_count(zorv_ctx_t* ctx, int* count) { return list_count(kSyncOptions, __func__, ctx, count); }
int zorv_syncmode_option_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kSyncOptions, __func__, ctx, idx, id); }

int zorv_syncmode_option_select(zorv_ctx_t* ctx, const char* id) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    auto option = call.item(kSyncOptions, ctx, id);
    if (!option) return call.status();
    option.device->supplies.syncSelected = *option;
    return call.done(0);
}

// ---- AXI register map ----

int zorv_axi_read(zorv_ctx_t* ctx, uint32_t address, uint32_t* data) {
    Call call(__func__, ctx, address);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, data);
    if (!dev) return call.status();
    Register* g = find_register(call, *dev, address);
    if (!g) return call.status();
    *data = g->value;
    return call.done(0, data);
}

int zorv_axi_write(zorv_ctx_t* ctx, uint32_t address, uint32_t data) {
    Call call(__func__, ctx, address, data);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, true);
    if (!dev) return call.status();
    Register* g = find_register(call, *dev, address);
    if (!g) return call.status();
    if (!g->writable) return call.fail(ZORV_INVALID_ARGUMENT, "the AXI register at address 0x%08" PRIX32 " is read-only", address);
    g->value = data;
    return call.done(0);
}

}  // extern "C"

// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and AXI
// registers.
#include "sim.hpp"
#include "zorv/axi.h"
#include "zorv/revision.h"
#include "zorv/syncmode.h"

#include <cinttypes>

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
}

void load(SupplyArea& a, const Json& doc, const std::string& path, Reader& r) {
    r.only(doc, path, {"boards", "powerOnOpen", "revisions", "syncOptions", "syncSelected", "registers"});
    r.get(doc, path, "powerOnOpen", a.powerOnOpen);
    if (const Json::Array* boards = r.array(doc, path, "boards")) {
        a.boards.clear();
        for (size_t i = 0; i < boards->size() && r.ok(); ++i) {
            std::string p = path + "/boards/" + std::to_string(i);
            Board b;
            r.only((*boards)[i], p, {"id", "powered"});
            if (!r.ok()) break;
            r.get((*boards)[i], p, "id", b.id);
            r.get((*boards)[i], p, "powered", b.powered);
            a.boards.push_back(b);
        }
    }
    if (const Json::Array* revisions = r.array(doc, path, "revisions")) {
        a.revisions.clear();
        for (size_t i = 0; i < revisions->size() && r.ok(); ++i) {
            std::string p = path + "/revisions/" + std::to_string(i);
            Revision v;
            r.only((*revisions)[i], p, {"id", "version"});
            if (!r.ok()) break;
            r.get((*revisions)[i], p, "id", v.id);
            r.get((*revisions)[i], p, "version", v.version);
            a.revisions.push_back(v);
        }
    }
    if (const Json::Array* options = r.array(doc, path, "syncOptions")) {
        a.syncOptions.clear();
        for (size_t i = 0; i < options->size() && r.ok(); ++i) {
            const Json& o = (*options)[i];
            if (!o.is_string()) {
                r.fail(path + "/syncOptions/" + std::to_string(i), "expected a string");
                break;
            }
            a.syncOptions.push_back(o.as_string());
        }
    }
    r.get(doc, path, "syncSelected", a.syncSelected);
    if (const Json::Array* regs = r.array(doc, path, "registers")) {
        a.registers.clear();
        for (size_t i = 0; i < regs->size() && r.ok(); ++i) {
            std::string p = path + "/registers/" + std::to_string(i);
            int64_t address = 0, value = 0;
            Register g;
            r.only((*regs)[i], p, {"address", "value", "writable"});
            if (!r.ok()) break;
            r.get((*regs)[i], p, "address", address);
            r.get((*regs)[i], p, "value", value);
            r.get((*regs)[i], p, "writable", g.writable);
            if (!r.ok()) break;
            if (address < 0 || address > int64_t(UINT32_MAX) || address % 4 != 0 || value < 0 || value > int64_t(UINT32_MAX)) {
                r.fail(p, "expected an aligned 32-bit address and a 32-bit value");
                break;
            }
            g.address = uint32_t(address);
            g.value = uint32_t(value);
            a.registers.push_back(g);
        }
    }
}

Json dump(const SupplyArea& a) {
    Json d;
    d["powerOnOpen"] = a.powerOnOpen;
    Json boards = Json(Json::Array{});
    for (auto& b : a.boards) {
        Json j;
        j["id"] = b.id;
        j["powered"] = b.powered;
        boards.push(std::move(j));
    }
    d["boards"] = std::move(boards);
    Json revisions = Json(Json::Array{});
    for (auto& v : a.revisions) {
        Json j;
        j["id"] = v.id;
        j["version"] = v.version;
        revisions.push(std::move(j));
    }
    d["revisions"] = std::move(revisions);
    Json options = Json(Json::Array{});
    for (auto& o : a.syncOptions) options.push(Json(o));
    d["syncOptions"] = std::move(options);
    d["syncSelected"] = a.syncSelected;
    Json regs = Json(Json::Array{});
    for (auto& g : a.registers) {
        Json j;
        j["address"] = g.address;
        j["value"] = g.value;
        j["writable"] = g.writable;
        regs.push(std::move(j));
    }
    d["registers"] = std::move(regs);
    return d;
}

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

#define SUPPLY_DEVICE_OR_FAIL(ok)                                                                  \
    ZORV_REQUIRE_CTX(ctx);                                                                         \
    if (!(ok)) return call_.fail(-5, "%s: null argument", __func__);                             \
    auto lk = lock();                                                                              \
    Device* dev = open_device(ctx);                                                                \
    if (!dev) return call_.fail(-2, "%s: no device is open on this context", __func__)

extern "C" {

// ---- hardware versions ----

int zorv_revision_count(zorv_ctx_t* ctx, int* count) {
    ZORV_ENTER(ctx);
    SUPPLY_DEVICE_OR_FAIL(count);
    *count = int(dev->supplies.revisions.size());
    return call_.done(0, count);
}

int zorv_revision_id(zorv_ctx_t* ctx, int idx, const char** id) {
    ZORV_ENTER(ctx, idx);
    SUPPLY_DEVICE_OR_FAIL(id);
    const auto& list = dev->supplies.revisions;
    if (idx < 0 || size_t(idx) >= list.size())
        return call_.fail(-3, "revision index %d is out of range (%zu revisions)", idx, list.size());
    *id = list[size_t(idx)].id.c_str();
    return call_.done(0, id);
}

int zorv_revision_string(zorv_ctx_t* ctx, const char* id, const char** version) {
    ZORV_ENTER(ctx, id);
    SUPPLY_DEVICE_OR_FAIL(id && version);
    for (auto& v : dev->supplies.revisions)
        if (v.id == id) {
            *version = v.version.c_str();
            return call_.done(0, version);
        }
    return call_.fail(-3, "no revision with the identifier '%s'", id);
}

// ---- external synchronisation options ----

int zorv_syncmode_option_count(zorv_ctx_t* ctx, int* count) {
    ZORV_ENTER(ctx);
    SUPPLY_DEVICE_OR_FAIL(count);
    *count = int(dev->supplies.syncOptions.size());
    return call_.done(0, count);
}

int zorv_syncmode_option_id(zorv_ctx_t* ctx, int idx, const char** id) {
    ZORV_ENTER(ctx, idx);
    SUPPLY_DEVICE_OR_FAIL(id);
    const auto& list = dev->supplies.syncOptions;
    if (idx < 0 || size_t(idx) >= list.size())
        return call_.fail(-3, "sync option index %d is out of range (%zu options)", idx, list.size());
    *id = list[size_t(idx)].c_str();
    return call_.done(0, id);
}

int zorv_syncmode_option_select(zorv_ctx_t* ctx, const char* id) {
    ZORV_ENTER(ctx, id);
    SUPPLY_DEVICE_OR_FAIL(id);
    for (auto& o : dev->supplies.syncOptions)
        if (o == id) {
            dev->supplies.syncSelected = o;
            return call_.done(0);
        }
    return call_.fail(-3, "no sync option with the identifier '%s'", id);
}

// ---- AXI register map ----

}  // extern "C"

namespace {

// The register at `address`, or null with the failure recorded (102 unaligned, 103 unmapped).
sim::Register* find_register(sim::Call& call_, sim::Device& dev, uint32_t address, int& status) {
    if (address % 4 != 0) {
        status = call_.fail(102, "unaligned AXI address 0x%08" PRIX32, address);
        return nullptr;
    }
    for (auto& g : dev.supplies.registers)
        if (g.address == address) return &g;
    status = call_.fail(103, "no AXI register is mapped at address 0x%08" PRIX32, address);
    return nullptr;
}

}  // namespace

extern "C" {

int zorv_axi_read(zorv_ctx_t* ctx, uint32_t address, uint32_t* data) {
    ZORV_ENTER(ctx, address);
    SUPPLY_DEVICE_OR_FAIL(data);
    int status = 0;
    Register* g = find_register(call_, *dev, address, status);
    if (!g) return status;
    *data = g->value;
    return call_.done(0, data);
}

int zorv_axi_write(zorv_ctx_t* ctx, uint32_t address, uint32_t data) {
    ZORV_ENTER(ctx, address, data);
    SUPPLY_DEVICE_OR_FAIL(true);
    int status = 0;
    Register* g = find_register(call_, *dev, address, status);
    if (!g) return status;
    if (!g->writable) return call_.fail(-3, "the AXI register at address 0x%08" PRIX32 " is read-only", address);
    g->value = data;
    return call_.done(0);
}

}  // extern "C"

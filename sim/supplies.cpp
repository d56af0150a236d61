// Virtual device: boards, bias supplies, cooling units, hardware versions, sync options and AXI
// registers.
#include "sim.hpp"

namespace sim {

void defaults(SupplyArea& a, int) {
    a.boards = {{"board-0", false}, {"board-1", false}};
    a.powerOnOpen = true;
}

void load(SupplyArea& a, const Json& doc, const std::string& path, Reader& r) {
    r.only(doc, path, {"boards", "powerOnOpen"});
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

// Virtual device: the chip side.
#include "sim.hpp"

namespace sim {

void defaults(ChipArea&, int) {}
void load(ChipArea&, const Json& doc, const std::string& path, Reader& r) { r.only(doc, path, {}); }
Json dump(const ChipArea&) { return Json(Json::Object{}); }
void on_open_chip(Device&) {}
void on_close_chip(Device&) {}


}  // namespace sim

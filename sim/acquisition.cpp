// Virtual device: the acquisition side.
#include "sim.hpp"

namespace sim {

void defaults(AcqArea&, int) {}
void load(AcqArea&, const Json& doc, const std::string& path, Reader& r) { r.only(doc, path, {}); }
Json dump(const AcqArea&) { return Json(Json::Object{}); }
void on_open_acq(Device&) {}
void on_close_acq(Device&) {}
bool acquiring(const Device&) { return false; }

}  // namespace sim

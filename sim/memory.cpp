// Virtual device: the memory side.
#include "sim.hpp"

namespace sim {

void defaults(MemoryArea&, int) {}
void load(MemoryArea&, const Json& doc, const std::string& path, Reader& r) { r.only(doc, path, {}); }
Json dump(const MemoryArea&) { return Json(Json::Object{}); }
void on_open_memory(Device&) {}
void on_close_memory(Device&) {}


}  // namespace sim

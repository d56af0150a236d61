// The virtual device's core: what its files share among themselves (the areas see sim.hpp only).
//   world.cpp       the world of attached devices, the default devices, replacing and resetting it
//   model.cpp       model documents: loading, dumping, reading and replacing members, model files
//   context.cpp     contexts, versions
//   call.cpp        the call step: its checks, and the faults, forced values and delays it applies
//   journal.cpp     the journal of calls and its records of buffers
//   last_error.cpp  the last error of each handle and thread
//   control.cpp     what every control function shares: failure reasons, texts handed out
//   log.cpp         log lines
//   clock.cpp       the clock
//   fork.cpp        every lock of the library across fork
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim.hpp"

namespace sim {

// ---- world.cpp ----
// The world itself (null until first used), the default model's device `index` and world.
std::unique_ptr<World>& world_ptr();
std::unique_ptr<Device> default_device(int index);
std::unique_ptr<World> default_world();
// A model file named by ZORVSIM_MODEL that was refused; contexts cannot be created then.
std::string& model_file_error();
// Swaps in a new world; contexts keep their open device where `keep_open` and the index still exists.
int install(std::unique_ptr<World> w, bool keep_open);

// ---- model.cpp ----
// A world from a model document's text; null with the reason (after `where`) in `error`.
std::unique_ptr<World> world_from_text(const std::string& text, const std::string& where, std::string& error);
bool read_model_file(const char* path, std::string& out, std::string& error);

// ---- context.cpp ----
// The live contexts (with the world locked).
std::vector<zorv_ctx_t*>& contexts();

// ---- journal.cpp ----
// Forgets every entry (the journal's switch is left as it is).
void clear_journal();

// ---- last_error.cpp ----
// The handle's last error is a null text.
void set_null_last_error(const void* handle);

// ---- control.cpp ----
// A text for the caller to release with zorvsim_free; null, with the reason, when memory is short.
char* copy_out(const std::string& s);

// ---- fork ----
// The mutexes of the core's parts, which fork.cpp takes before a fork (after the world's and the
// acquisitions' locks, in this order), releases in the parent and makes anew in the child.
std::mutex& controls_mutex();
std::mutex& journal_mutex();
std::mutex& clock_mutex();

}  // namespace sim

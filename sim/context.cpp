// Virtual device core: contexts (device sessions) and versions.
#include "core.hpp"

#include "zorv/version_info.h"
#include "zorvsim.h"

namespace sim {

std::vector<zorv_ctx_t*>& contexts() {
    static std::vector<zorv_ctx_t*> c;
    return c;
}

}  // namespace sim

using namespace sim;

extern "C" {

int zorv_ctx_create(zorv_ctx_t** ctx) {
    Call call(__func__, nullptr, ctx);
    if (call.injected()) return call.status();
    if (!ctx) return call.fail(ZORV_POINTER, "zorv_ctx_create: the out-pointer is null");
    auto lk = lock();
    world();
    if (!model_file_error().empty()) return call.fail_text(ZORV_INTERNAL, model_file_error());
    static uint64_t serial = 0;
    auto* c = new zorv_ctx;
    c->serial = ++serial;
    contexts().push_back(c);
    *ctx = c;
    return call.done(0);
}

int zorv_ctx_destroy(zorv_ctx_t* ctx) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    if (!call.context(ctx)) return call.status();
    close_context(ctx);
    auto lk = lock();
    auto& cs = contexts();
    for (auto it = cs.begin(); it != cs.end(); ++it)
        if (*it == ctx) { cs.erase(it); break; }
    delete ctx;
    return call.done(0);
}

int zorv_ctx_get_last_error(zorv_ctx_t* ctx, const char** text) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    if (text) *text = last_error(ctx);
    return call.done(0);
}

void zorv_version(int* major, int* minor, int* patch) {
    Call call(__func__, nullptr);  // journaled, and may be delayed
    auto lk = lock();
    const World& w = world();
    if (major) *major = w.version[0];
    if (minor) *minor = w.version[1];
    if (patch) *patch = w.version[2];
}

int zorvsim_context_count(void) {
    auto lk = lock();
    return int(contexts().size());
}
}  // extern "C"

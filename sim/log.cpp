// Virtual device core: log lines, sent to the log functions of the contexts on the calling thread.
#include "core.hpp"

#include <thread>

#include "zorvsim.h"

namespace sim {

namespace {

std::string format_line(const zorv_log_frmt& f, int severity, const std::string& text) {
    std::string out;
    if (f.preamble_) out += "[zorvsim] ";
    if (f.indentation_) out += "  ";
    if (f.prefix_) {
        const char* name = severity == Debug ? "debug" : severity == Info ? "info" : severity == Warning ? "warning"
                         : severity == Error ? "error" : "fatal";
        out += name;
        out += ": ";
    }
    if (f.message_) out += text;
    return out;
}

}  // namespace

void emit_log(int severity, const std::string& text, zorv_ctx_t* only) {
    struct Target { zorv_log_func func; void* user; std::string line; };
    std::vector<Target> targets;
    {
        auto lk = lock();
        for (zorv_ctx_t* c : contexts())
            if (c->log && (!only || c == only))
                targets.push_back({c->log, c->log_user, format_line(c->format, severity, text)});
    }
    for (auto& t : targets) t.func(t.line.c_str(), Severity(severity), t.user);
}

}  // namespace sim

using namespace sim;

extern "C" {

void zorv_log_set_func(zorv_ctx_t* ctx, zorv_log_func func, void* user, zorv_log_frmt* format) {
    Call call(__func__, ctx, func, user,
              format ? Json(Json::Array{int(format->preamble_), int(format->indentation_), int(format->prefix_),
                                        int(format->message_)})
                     : Json());
    if (!ctx) return;
    auto lk = lock();
    ctx->log = func;
    ctx->log_user = user;
    if (format) ctx->format = *format;
}

int zorvsim_log(int severity, const char* msg, int len, int on_thread) {
    return guarded([&] {
        std::string text = msg && len > 0 ? std::string(msg, size_t(len)) : std::string();
        if (on_thread) std::thread([&] { emit_log(severity, text); }).join();
        else emit_log(severity, text);
        return 0;
    });
}

}  // extern "C"

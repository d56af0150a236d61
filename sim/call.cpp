// Virtual device core: the call step of the library: the checks of its arguments and of the open
// device, and the controls it applies (injected failures, forced out-values, delays, log lines).
#include "core.hpp"

#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "zorvsim.h"

namespace sim {

std::atomic<bool> Call::control_on{false};

namespace {

enum class Kind { Fail, Force, Block, LogOnCall };
struct Control {
    std::string fn;
    Kind kind;
    int status = 0;
    std::string text;
    bool null_text = false;
    Json values;
    int ms = 0;
    int skip = 0;
    int count = -1;
};
std::mutex g_control_mutex;
std::vector<Control> g_controls;

thread_local std::deque<std::string> t_forced_texts;  // keeps forced texts alive after the call

}  // namespace

void Call::apply_control() {
    int block_ms = 0;
    std::vector<std::pair<int, std::string>> logs;
    {
        std::lock_guard<std::mutex> g(g_control_mutex);
        for (auto it = g_controls.begin(); it != g_controls.end();) {
            Control& c = *it;
            if (c.fn != fn_ || (injected_ && c.kind == Kind::Fail)) { ++it; continue; }
            if (c.skip > 0) { --c.skip; ++it; continue; }
            switch (c.kind) {
            case Kind::Fail:
                injected_ = true;
                status_ = c.status;
                if (c.null_text) set_null_last_error(handle_);
                else set_last_error(handle_, c.text);
                break;
            case Kind::Force: forced_ = c.values; break;
            case Kind::Block: block_ms += c.ms; break;
            case Kind::LogOnCall: logs.emplace_back(c.status, c.text); break;
            }
            if (c.count > 0 && --c.count == 0) it = g_controls.erase(it);
            else ++it;
        }
        if (g_controls.empty()) control_on.store(false);
    }
    if (block_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(block_ms));
    for (auto& [sev, text] : logs) emit_log(sev, text);
    if (injected_) note("injected", status_);
}

int Call::fail_text(int status, std::string text) {
    set_last_error(handle_, std::move(text));
    return status_ = status;
}

int Call::fail(int status, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return fail_text(status, buf);
}

bool Call::context(const zorv_ctx_t* ctx) {
    if (ctx) return true;
    fail(ZORV_POINTER, "%s: the context is null", fn_);
    return false;
}

bool Call::require(bool ok) {
    if (ok) return true;
    fail(ZORV_POINTER, "%s: null argument", fn_);
    return false;
}

OpenDevice Call::device(zorv_ctx_t* ctx, bool ok, Boards boards) {
    if (!context(ctx) || !require(ok)) return {};
    OpenDevice open{{open_device(ctx)}, lock()};
    if (!open) fail(ZORV_INVALID_OPERATION, "%s: no device is open on this context", fn_);
    else if (boards == Boards::Powered && !boards_powered(*open)) {
        fail(ZORV_INVALID_OPERATION, "%s: the boards of the device are not powered", fn_);
        open.found = nullptr;
    }
    return open;
}

namespace {

template <class T>
void force_integer(const Json& forced, int i, T* p) {
    if (!p || !forced.is_array() || size_t(i) >= forced.as_array().size()) return;
    const Json& v = forced.as_array()[i];
    if (v.is_int()) *p = T(v.as_int());
}

}  // namespace

void Call::force_one(int i, int* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned short* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned long* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned long long* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, zorv_chip_polarity_t* p) { force_integer(forced_, i, p); }

void Call::force_one(int i, float* p) {
    if (!p || !forced_.is_array() || size_t(i) >= forced_.as_array().size()) return;
    const Json& v = forced_.as_array()[i];
    if (v.is_number()) *p = float(v.as_double());
}

void Call::force_one(int i, const char** p) {
    if (!p || !forced_.is_array() || size_t(i) >= forced_.as_array().size()) return;
    const Json& v = forced_.as_array()[i];
    std::string text, problem;
    if (const Json* h = v.find("hex"); h && h->is_string()) hex_bytes(h->as_string(), text);
    else if (const Json* n = v.find("null"); n) { *p = nullptr; return; }
    else if (!text_from(v, text, problem)) return;
    t_forced_texts.push_back(std::move(text));
    if (t_forced_texts.size() > 64) t_forced_texts.pop_front();
    *p = t_forced_texts.back().c_str();
}

std::mutex& controls_mutex() { return g_control_mutex; }

namespace {

int add_control(Control c) {
    if (!c.fn.empty() && c.fn.rfind("zorv_", 0) != 0) return control_fail("not a library function: " + c.fn);
    std::lock_guard<std::mutex> g(g_control_mutex);
    g_controls.push_back(std::move(c));
    Call::control_on.store(true);
    return 0;
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

int zorvsim_fail(const char* fn, int status, const char* msg, int len, int skip, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Fail;
    c.status = status;
    if (len < 0 || !msg) c.null_text = true;
    else c.text.assign(msg, size_t(len));
    c.skip = skip;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_force(const char* fn, const char* json, int skip, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Force;
    std::string error;
    if (!parse_json(json ? json : "", c.values, error)) return control_fail("values" + error);
    if (!c.values.is_array()) return control_fail("values: expected an array of out-values");
    c.skip = skip;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_block(const char* fn, int ms, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Block;
    c.ms = ms;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_log_on_call(const char* fn, int severity, const char* msg, int len) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::LogOnCall;
    c.status = severity;
    if (msg && len > 0) c.text.assign(msg, size_t(len));
    return add_control(std::move(c));
}

void zorvsim_clear_controls(void) {
    std::lock_guard<std::mutex> g(g_control_mutex);
    g_controls.clear();
    Call::control_on.store(false);
}

}  // extern "C"

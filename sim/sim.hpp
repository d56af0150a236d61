// The virtual device: shared state of every zorv_* function and the control API behind zorvsim.
//
// One process-wide world holds the attached devices (each an aggregate of the area models) and the
// live contexts. Every zorv_* function starts with ZORV_ENTER, which journals the call, applies the
// faults, forced out-values, delays and log lines that the control API arranged, and ends with
// call_.done(...) or call_.fail(...). The world is guarded by one recursive mutex; nothing holds it
// while calling back into the user of the library.
#pragma once

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "json.hpp"
#include "zorv/device_context.h"
#include "zorv/enumeration.h"
#include "zorv/chip.h"
#include "zorv/logging.h"

#include "area_acquisition.hpp"
#include "area_chip.hpp"
#include "area_memory.hpp"
#include "area_supplies.hpp"

namespace sim {

struct Descriptor {
    std::string connectionString, product, manufacturer, serialNumber, instancePath;
    int vid = 0, pid = 0;
    int highSpeed = 0, superSpeed = 0;
};

struct Device {
    int index = 0;
    Descriptor desc;
    ChipArea chip;
    SupplyArea supplies;
    MemoryArea memory;
    AcqArea acq;
    zorv_ctx_t* owner = nullptr;  // the context that has it open
};

// Which device a context has open is kept by index, so that a model reload keeps it open.
struct World {
    std::vector<std::unique_ptr<Device>> devices;
    int version[3] = {0, 2, 1};
};

std::recursive_mutex& world_mutex();
World& world();
using Lock = std::unique_lock<std::recursive_mutex>;
inline Lock lock() { return Lock(world_mutex()); }

// The device open on a context, or null. Call with the world locked.
Device* open_device(zorv_ctx_t* ctx);
// Closes the device open on a context (stopping its acquisitions); call without the world lock.
void close_context(zorv_ctx_t* ctx);

// ---- the journal's record of a buffer ----
// Buffers of up to kJournalBytes are recorded whole: {"length": n, "hex": "..."}; larger ones as
// {"length": n, "sha256": "...", "head": "<hex of the first 64 bytes>"}.
constexpr size_t kJournalBytes = size_t(1) << 20;
Json bytes_record(const void* data, size_t length);

// ---- files named by models ----
enum class FileRead { Ok, Missing, Refused };
// Reads a whole regular file of at most `limit` bytes. Anything else (a directory, a FIFO, a
// device, a larger file) is refused with `error` naming the file, without reading from it and
// without waiting for a writer; `limit_text` says what the limit is ("of the memory").
FileRead read_regular_file(const std::string& path, uint64_t limit, const char* limit_text, std::string& out,
                           std::string& error);

// ---- virtual clock: real monotonic seconds, or a manual clock driven by the control API ----
double now();

// ---- last error, per thread and handle ----
void set_last_error(const void* handle, std::string text);
const char* last_error(const void* handle);  // null when a fault asked for a null text

// ---- failures of the control interface (zorvsim.h) ----
// Leaves `text` as the calling thread's reason, read back by zorvsim_error(), and returns -1.
int control_fail(std::string text);

// Runs a control call whose work may exhaust memory or threads: no exception may cross the C
// interface, so one becomes a refusal (-1, or null for a pointer) with its reason.
template <class F>
auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::exception& e) {
        control_fail(std::string("the virtual device cannot do this: ") + e.what());
        using R = decltype(f());
        if constexpr (std::is_pointer_v<R>) return R(nullptr);
        else return R(-1);
    }
}

// ---- log lines ----
// Sends one line to every context with a log function (or to `only`), on the calling thread.
void emit_log(int severity, const std::string& text, zorv_ctx_t* only = nullptr);

// ---- the call step of the library ----
class Call {
public:
    template <class... A>
    Call(const char* fn, const void* handle, const A&... args) : fn_(fn), handle_(handle) {
        if (journal_on.load(std::memory_order_relaxed)) {
            Json::Array a;
            (a.push_back(arg(args)), ...);
            journal(std::move(a));
        }
        if (control_on.load(std::memory_order_relaxed)) apply_control();
    }

    bool injected() const { return injected_; }
    int status() const { return status_; }

    // Records `text` as the handle's last error and returns `status`.
    int fail(int status, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    int fail_text(int status, std::string text);

    // Applies forced out-values (in the order of the function's out-parameters) and returns `status`.
    template <class... Out>
    int done(int status, Out*... outs) {
        if (!forced_.is_null()) {
            int i = 0;
            (force_one(i++, outs), ...);
        }
        return status;
    }

    // Adds members to this call's journal entry (for in/out parameters worth recording).
    void note(const char* key, Json value);
    // Records a buffer the call received, when journaling (see bytes_record).
    void note_bytes(const char* key, const void* data, size_t length) {
        if (entry_ >= 0) note(key, bytes_record(data, length));
    }

    static std::atomic<bool> journal_on;
    static std::atomic<bool> control_on;

private:
    static Json arg(const char* s) { return s ? text_arg(s) : Json(); }
    static Json arg(char* s) { return s ? text_arg(s) : Json(); }
    static Json arg(const std::string& s) { return Json(s); }
    static Json arg(bool b) { return Json(b); }
    static Json arg(int v) { return Json(v); }
    static Json arg(unsigned v) { return Json(v); }
    static Json arg(long v) { return Json(v); }
    static Json arg(unsigned long v) { return Json(v); }
    static Json arg(long long v) { return Json(v); }
    static Json arg(unsigned long long v) { return Json(v); }
    static Json arg(float v) { return Json(v); }
    static Json arg(double v) { return Json(v); }
    static Json arg(const Json& v) { return v; }
    template <class T>
    static Json arg(T* p) { return p ? Json("<ptr>") : Json(); }

    // A text as received: a string, or {"hex": ...} when its bytes are not valid UTF-8.
    static Json text_arg(const char* s);
    void journal(Json::Array args);
    void apply_control();
    void force_one(int i, int* p);
    void force_one(int i, unsigned* p);
    void force_one(int i, unsigned short* p);
    void force_one(int i, unsigned long* p);
    void force_one(int i, unsigned long long* p);
    void force_one(int i, float* p);
    void force_one(int i, const char** p);
    void force_one(int i, zorv_chip_polarity_t* p);
    template <class T>
    void force_one(int, T*) {}

    const char* fn_;
    const void* handle_;
    bool injected_ = false;
    int status_ = 0;
    long entry_ = -1;  // index of the journal entry, when journaling
    Json forced_;
    std::vector<std::string> forced_texts_;
};

}  // namespace sim

// A device session of the library.
struct zorv_ctx {
    uint64_t serial = 0;
    int device = -1;  // index of the open device in the world, or -1
    zorv_log_func log = nullptr;
    void* log_user = nullptr;
    zorv_log_frmt format{0, 0, 0, 1};
};

// First statement of every zorv_* function: the arguments as received follow the handle.
#define ZORV_ENTER(handle, ...)                                    \
    ::sim::Call call_(__func__, (handle) __VA_OPT__(,) __VA_ARGS__); \
    if (call_.injected()) return call_.status()

// Failure texts used across areas.
#define ZORV_REQUIRE_CTX(ctx) \
    if (!(ctx)) return call_.fail(ZORV_POINTER, "%s: the context is null", __func__)

// Start of an area function that needs the device open on `ctx`: checks the out-pointers (`ok`),
// locks the world and binds `dev`.
#define ZORV_DEVICE_OR_FAIL(ok)                                                                    \
    ZORV_REQUIRE_CTX(ctx);                                                                         \
    if (!(ok)) return call_.fail(ZORV_POINTER, "%s: null argument", __func__);                             \
    auto lk = ::sim::lock();                                                                       \
    ::sim::Device* dev = ::sim::open_device(ctx);                                                  \
    if (!dev) return call_.fail(ZORV_INVALID_OPERATION, "%s: no device is open on this context", __func__)

// The same for chip and acquisition functions, which also need the boards powered.
#define ZORV_POWERED_DEVICE_OR_FAIL(ok)                                                            \
    ZORV_DEVICE_OR_FAIL(ok);                                                                       \
    if (!::sim::boards_powered(*dev))                                                              \
    return call_.fail(ZORV_INVALID_OPERATION, "%s: the boards of the device are not powered", __func__)

// Fails the call unless `idx` indexes `list`; `what` names one of its items ("board").
#define ZORV_INDEX_OR_FAIL(list, idx, what)                                                        \
    if ((idx) < 0 || size_t(idx) >= (list).size())                                                 \
    return call_.fail(ZORV_INVALID_ARGUMENT, what " index %d is out of range (%zu in all)", idx, (list).size())

namespace sim {

// The identifier of a listed item: its `id`, its `name`, or the item itself when it is a text.
template <class T>
const std::string& identifier(const T& x) {
    if constexpr (requires { x.id; }) return x.id;
    else if constexpr (requires { x.name; }) return x.name;
    else return x;
}

// The item of `list` whose identifier is `key`, or null.
template <class List, class Key>
auto find_item(List& list, const Key& key) -> decltype(&*list.begin()) {
    for (auto& x : list)
        if (identifier(x) == key) return &x;
    return nullptr;
}

}  // namespace sim

// Fails the call unless `list` has an item with the identifier `key`, bound to `var`; `what`
// names one of its items ("board").
#define ZORV_FIND_OR_FAIL(var, list, key, what)                                                    \
    auto* var = ::sim::find_item(list, key);                                                       \
    if (!var) return call_.fail(ZORV_INVALID_ARGUMENT, "no " what " with the identifier '%s'", key)

// Start of a function on the item of a list of the open device named by its argument `id`:
// checks the out-pointers (`ok`) and binds the item to `var`.
#define ZORV_ITEM_OR_FAIL(ok, var, list, what)                                                     \
    ZORV_DEVICE_OR_FAIL(id && (ok));                                                               \
    ZORV_FIND_OR_FAIL(var, list, id, what)

// A function that writes one value of the item named by its argument `id`: `OR_FAIL(ok)` checks
// the out-pointers and binds the item (ZORV_ITEM_OR_FAIL or an area's shorthand of it), `value` is
// read from it.
#define ZORV_ITEM_VALUE(fn, OR_FAIL, T, value)                                                     \
    int fn(zorv_ctx_t* ctx, const char* id, T* out) {                                              \
        ZORV_ENTER(ctx, id);                                                                       \
        OR_FAIL(out);                                                                              \
        *out = value;                                                                              \
        return call_.done(0, out);                                                                 \
    }

// The same for the two ends of a range of the item.
#define ZORV_ITEM_RANGE(fn, OR_FAIL, T, low, high)                                                 \
    int fn(zorv_ctx_t* ctx, const char* id, T* min, T* max) {                                     \
        ZORV_ENTER(ctx, id);                                                                       \
        OR_FAIL(min && max);                                                                       \
        *min = low;                                                                                \
        *max = high;                                                                               \
        return call_.done(0, min, max);                                                            \
    }

// The count and identifier functions of a list of the open device: `OR_FAIL` is
// ZORV_DEVICE_OR_FAIL or ZORV_POWERED_DEVICE_OR_FAIL, `list` the list in the device
// (`supplies.boards`), `what` names one of its items.
#define ZORV_LIST_FUNCTIONS(count_fn, id_fn, OR_FAIL, list, what)                                  \
    int count_fn(zorv_ctx_t* ctx, int* count) {                                                    \
        ZORV_ENTER(ctx);                                                                           \
        OR_FAIL(count);                                                                            \
        *count = int(dev->list.size());                                                            \
        return call_.done(0, count);                                                               \
    }                                                                                              \
    int id_fn(zorv_ctx_t* ctx, int idx, const char** id) {                                         \
        ZORV_ENTER(ctx, idx);                                                                      \
        OR_FAIL(id);                                                                               \
        ZORV_INDEX_OR_FAIL(dev->list, idx, what);                                                  \
        *id = ::sim::identifier(dev->list[size_t(idx)]).c_str();                                   \
        return call_.done(0, id);                                                                  \
    }

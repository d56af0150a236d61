// The virtual device: shared state of every zorv_* function and the control API behind zorvsim.
//
// One process-wide world holds the attached devices (each an aggregate of the area models) and the
// live contexts. Every zorv_* function starts with its Call, which journals the call and applies the
// faults, forced out-values, delays and log lines that the control API arranged, and ends with
// call.done(...) or call.fail(...):
//
//   int zorv_board_power_on(zorv_ctx_t* ctx, const char* id) {
//       Call call(__func__, ctx, id);
//       if (call.injected()) return call.status();
//       auto board = call.item(kBoards, ctx, id);  // checks, locks the world, finds the item
//       if (!board) return call.status();           // the failure it recorded
//       board->powered = true;
//       return call.done(0);
//   }
//
// The world is guarded by one recursive mutex; nothing holds it while calling back into the user of
// the library.
#pragma once

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
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

// What a function needs of the boards of the open device.
enum class Boards { Any, Powered };

// What a check of a call found, empty when the call failed.
template <class T>
struct Checked {
    T* found = nullptr;
    explicit operator bool() const { return found != nullptr; }
    T* operator->() const { return found; }
    T& operator*() const { return *found; }
};

// The device open on a context, with the world locked for as long as this is held (`lock` may be
// released earlier).
struct OpenDevice : Checked<Device> {
    Lock lock;
};

// A list of items of a device: where it is, what one item is called ("board"), and what the boards
// must be for its functions. `of` is a function of the Device giving the container:
//   constexpr List kBoards{[](Device& d) -> auto& { return d.supplies.boards; }, "board"};
template <class Of>
struct List {
    Of of;
    const char* what;
    Boards boards = Boards::Any;
};
template <class Of>
List(Of, const char*, Boards = Boards::Any) -> List<Of>;

// The item of a list of the open device, found by its identifier, with the world locked while this
// is held.
template <class T>
struct Found : Checked<T> {
    OpenDevice device;
};

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

// ---- the call step of the library ----
// A function's Call is made first, with the function's name and its arguments as received (the
// handle first); a failure injected by the control API then answers the call at once. The checks
// below record their failure in the call (its last error, and status()) and return false or an
// empty value, so that the function returns call.status().
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

    // An injected failure answers the call: the function returns status().
    bool injected() const { return injected_; }
    // The status of the injected failure, or of the last failure recorded.
    int status() const { return status_; }
    const char* fn() const { return fn_; }

    // Records `text` as the handle's last error and returns `status`.
    int fail(int status, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    int fail_text(int status, std::string text);

    // The context is not null: "<fn>: the context is null".
    bool context(const zorv_ctx_t* ctx);
    // Arguments the function cannot do without (its out-pointers): "<fn>: null argument".
    bool require(bool ok);
    // The device open on `ctx` (a null context, `ok` false, no open device, or unpowered boards
    // where `boards` asks for power, fail), with the world locked.
    OpenDevice device(zorv_ctx_t* ctx, bool ok, Boards boards = Boards::Any);
    // `idx` indexes `items`; `what` names one ("board").
    template <class V>
    bool index(const V& items, int idx, const char* what) {
        if (idx >= 0 && size_t(idx) < items.size()) return true;
        fail(ZORV_INVALID_ARGUMENT, "%s index %d is out of range (%zu in all)", what, idx, items.size());
        return false;
    }
    // The item of `list` named `id` (`id` null or `ok` false fail, as the device's checks).
    template <class L>
    auto item(const L& list, zorv_ctx_t* ctx, const char* id, bool ok = true) {
        using T = std::remove_pointer_t<decltype(find_item(list.of(std::declval<Device&>()), id))>;
        Found<T> item{{}, device(ctx, id && ok, list.boards)};
        if (!item.device) return item;
        item.found = find_item(list.of(*item.device), id);
        if (!item.found) fail(ZORV_INVALID_ARGUMENT, "no %s with the identifier '%s'", list.what, id);
        return item;
    }

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

namespace sim {

// The functions of a list of the open device and of its items that are one value each, written as
// one line over these:
//   int zorv_board_count(zorv_ctx_t* ctx, int* count) { return list_count(kBoards, __func__, ctx, count); }
//   int zorv_board_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kBoards, __func__, ctx, idx, id); }
//   int zorv_board_is_powered(zorv_ctx_t* ctx, const char* id, int* powered) {
//       return item_value(kBoards, __func__, ctx, id, powered, [](const Board& b) { return b.powered ? 1 : 0; });
//   }
template <class L>
int list_count(const L& list, const char* fn, zorv_ctx_t* ctx, int* count) {
    Call call(fn, ctx);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, count, list.boards);
    if (!dev) return call.status();
    *count = int(list.of(*dev).size());
    return call.done(0, count);
}

template <class L>
int list_id(const L& list, const char* fn, zorv_ctx_t* ctx, int idx, const char** id) {
    Call call(fn, ctx, idx);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, id, list.boards);
    if (!dev) return call.status();
    const auto& items = list.of(*dev);
    if (!call.index(items, idx, list.what)) return call.status();
    *id = identifier(items[size_t(idx)]).c_str();
    return call.done(0, id);
}

// A value of the item named by `id`: value(item).
template <class L, class T, class Value>
int item_value(const L& list, const char* fn, zorv_ctx_t* ctx, const char* id, T* out, Value value) {
    Call call(fn, ctx, id);
    if (call.injected()) return call.status();
    auto item = call.item(list, ctx, id, out);
    if (!item) return call.status();
    *out = value(*item);
    return call.done(0, out);
}

// The two ends of a range of the item named by `id`: range(item) as a pair.
template <class L, class T, class Range>
int item_range(const L& list, const char* fn, zorv_ctx_t* ctx, const char* id, T* min, T* max, Range range) {
    Call call(fn, ctx, id);
    if (call.injected()) return call.status();
    auto item = call.item(list, ctx, id, min && max);
    if (!item) return call.status();
    auto [low, high] = range(*item);
    *min = low;
    *max = high;
    return call.done(0, min, max);
}

}  // namespace sim

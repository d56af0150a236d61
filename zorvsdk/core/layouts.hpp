// Native layouts that cross modules: every module reads the context handle out of a _Context, the
// acquisition module reads the chip object's selected mode, and Device.finalize releases the
// callables held by the acquisition and monitor objects.
#pragma once

#include "deliveries.hpp"
#include "ref.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zorv/acquisition.h"
#include "zorv/device_context.h"

namespace zorv {

// The readout-mode lock of a device: held by the chip's mode selection around its SDK call and its
// record of the mode, and by the acquisition object from reading the mode to the SDK call that acts
// on it (registration, begin), so that an acquisition never runs in a mode other than the one its
// registration decodes. Taken without the interpreter lock (core/wait.hpp, ModeHold).
struct ModeLock {
    std::timed_mutex mutex;
    std::atomic<unsigned long> owner{0};  // the thread holding it (its Python ident), 0: none
    int depth = 0;                        // its holds, touched by the owner only
};

// zorvsdk.context._Context
struct ContextObject {
    PyObject_HEAD
    zorv_ctx_t* c_zorvCtx;
    ModeLock* mode_lock;  // made with the context, for its life
};

// What every component object starts with (Device and NonVolatileMemory too).
struct ComponentObject {
    PyObject_HEAD
    PyObject* context;  // _Context or None
};

// Capacity of the selected mode identifier, with its NUL.
constexpr size_t kModeCapacity = 30;

// zorvsdk.chip.__Chip
struct ChipObject {
    PyObject_HEAD
    PyObject* context;
    char mode[kModeCapacity];  // identifier of the mode last selected through this object
};

// Holder of one strong reference, made with new and destroyed with delete (with the lock held).
class PyRef {
public:
    explicit PyRef(PyObject* o) : obj(o) { Py_XINCREF(obj); }
    ~PyRef() { Py_XDECREF(obj); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyObject* get() const { return obj; }
    // Releases the reference now (idempotent; with the lock held).
    void reset() { Py_XDECREF(std::exchange(obj, nullptr)); }

    PyObject* obj;
};

using ModeTable = std::unordered_map<std::string, zorv_acq_data_func>;

// One registration of a data callable (or sink) for a channel. Its address is the user pointer
// that the SDK hands back with every delivery, so it lives for as long as the SDK may deliver to
// it: the latest of each channel until the device is known to be closed; one replaced by a later
// registration until no acquisition runs on its channel (at once when none does, else when the
// channel's acquisition is ended or aborted, or the device closed). Touched with the interpreter
// lock held.
//
// A delivery may still be running when a registration is released (one whose callable closed the
// device, or one the SDK let go of): such a registration keeps its memory for the life of the
// process (it is small; its callable is what matters), and its callable until the last delivery
// in progress has left.
struct Registration {
    explicit Registration(PyObject* f) : func(f) {}
    PyRef func;
    std::atomic<int> inflight{0};       // deliveries in progress, counted without the lock
    std::atomic<bool> released{false};  // the device was closed: the callable goes
    std::string channel;
    std::string mode;  // the readout mode selected when it was made
    bool raw = false;
    zorv_acq_data_func callback = nullptr;
    const SinkApi* sink = nullptr;  // when `func` is a native sink
    bool handed = false;            // the SDK was given it (its registration succeeded)
    bool running = false;           // its acquisition has begun and not yet stopped
    bool unsettled = false;         // the last end or abort of its channel did not return cleanly
    bool fed = false;               // a sink's: registered or begun, and not stopped since
    bool warned = false;            // a kept array was reported
    unsigned long long failures = 0;
};

// Every registration of an acquisition object, and the latest one of each channel.
struct Registrations {
    std::vector<std::unique_ptr<Registration>> all;
    std::unordered_map<std::string, Registration*> latest;
};

// zorvsdk.acquisition.__Acquisition
struct AcquisitionObject {
    PyObject_HEAD
    PyObject* context;
    PyRef* data_func_ref;  // callable of the latest registration
    PyObject* chip;        // __Chip or None
    ModeTable* modeToCallback;
    Registrations* registrations;
};

// A registration's acquisition begins or stops; a sink hears of it (lock held).
inline void set_running(Registration* reg, bool running) {
    if (!reg || reg->running == running) return;
    reg->running = running;
    if (reg->sink) reg->sink->acquiring(reg->func.get(), running ? 1 : 0);
}

// A sink's registration is handed to the SDK (registered, begun) or stopped (end, abort, close,
// release): its waits for deliveries end once none of its registrations is fed (lock held).
inline void set_fed(Registration* reg, bool fed) {
    if (!reg || !reg->sink || reg->fed == fed) return;
    reg->fed = fed;
    reg->sink->fed(reg->func.get(), fed ? 1 : 0);
}

// Lets go of registrations the SDK can no longer deliver to: the callable now, or when the last
// delivery still in progress leaves (which then keeps the registration's memory).
inline void release(std::vector<std::unique_ptr<Registration>>& gone) {
    for (auto& reg : gone) {
        set_running(reg.get(), false);
        set_fed(reg.get(), false);
        reg->released.store(true);
    }
    for (auto& reg : gone)
        if (reg->inflight.load() != 0) reg.release();  // the last delivery in progress resets the callable
    gone.clear();  // the callables last: their destructors may come back to the object
}

// Whether an acquisition on `channel` may still deliver to its registrations.
inline bool channel_running(const Registrations& r, const std::string& channel) {
    for (const auto& reg : r.all)
        if ((reg->running || reg->unsettled) && reg->channel == channel) return true;
    return false;
}

// Releases the registrations of `channel` (of every channel: null) that a later one replaced, when
// no acquisition runs on it.
inline void release_replaced(AcquisitionObject* a, const std::string* channel) {
    if (!a->registrations) return;
    Registrations& r = *a->registrations;
    std::vector<std::unique_ptr<Registration>> gone;
    for (auto it = r.all.begin(); it != r.all.end();) {
        Registration* reg = it->get();
        auto latest = r.latest.find(reg->channel);
        if (reg->handed && (!channel || reg->channel == *channel) && latest != r.latest.end() &&
            latest->second != reg && !channel_running(r, reg->channel)) {
            gone.push_back(std::move(*it));
            it = r.all.erase(it);
        } else {
            ++it;
        }
    }
    release(gone);
}

// The acquisition of `channel` (of every channel, at a close: null) has stopped: so have its
// registrations. Those that were replaced go when `settled` says that the SDK is done with them
// (the stop returned cleanly, or the device was closed); else they stay until a later stop of the
// channel is.
inline void stop_channel(AcquisitionObject* a, const std::string* channel, bool settled) {
    if (!a->registrations) return;
    for (auto& reg : a->registrations->all)
        if (!channel || reg->channel == *channel) {
            set_running(reg.get(), false);
            set_fed(reg.get(), false);
            reg->unsettled = !settled;
        }
    release_replaced(a, channel);
}

// The device was closed: every acquisition has stopped, and only the latest registrations stay.
inline void stop_sinks(AcquisitionObject* a) { stop_channel(a, nullptr, true); }

// Releases every callable held for the SDK. Only once the device is closed: the SDK can no longer
// deliver to any of them. The object forgets them first, so that a callable's destructor that
// comes back here finds nothing to release twice.
inline void release_registrations(AcquisitionObject* a) {
    a->data_func_ref = nullptr;
    if (!a->registrations) return;
    Registrations gone;
    std::swap(gone, *a->registrations);
    for (auto& reg : gone.all) {
        set_running(reg.get(), false);
        set_fed(reg.get(), false);
        reg->released.store(true);
        if (reg->inflight.load() == 0) reg->func.reset();  // else the last delivery in progress does it
        reg.release();  // kept: a delivery in progress may still read it
    }
}

using CallableTable = std::unordered_map<std::string, PyRef*>;

// zorvsdk.monitor.__Monitor
struct MonitorObject {
    PyObject_HEAD
    PyObject* context;
    CallableTable* onValueChanged;
    CallableTable* onAvailChanged;
};

}  // namespace zorv

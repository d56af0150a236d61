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
// it: until the device is known to be closed. Touched with the interpreter lock held.
//
// A delivery may still be running when the device is known to be closed (one whose callable closed
// it, or one the SDK let go of): a released registration keeps its memory for the life of the
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
    bool running = false;           // a sink's acquisition has begun and not yet stopped
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

// The device was closed: every sink's acquisition has stopped.
inline void stop_sinks(AcquisitionObject* a) {
    if (!a->registrations) return;
    for (auto& reg : a->registrations->all)
        if (reg->sink && reg->running) {
            reg->running = false;
            reg->sink->acquiring(reg->func.get(), 0);
        }
}

// Releases every callable held for the SDK. Only once the device is closed: the SDK can no longer
// deliver to any of them. The object forgets them first, so that a callable's destructor that
// comes back here finds nothing to release twice.
inline void release_registrations(AcquisitionObject* a) {
    a->data_func_ref = nullptr;
    if (!a->registrations) return;
    Registrations gone;
    std::swap(gone, *a->registrations);
    for (auto& reg : gone.all) {
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

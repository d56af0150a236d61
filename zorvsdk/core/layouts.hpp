// Native layouts that cross modules: every module reads the context handle out of a _Context, the
// acquisition module reads the chip object's selected mode, and Device.finalize releases the
// callables held by the acquisition and monitor objects.
#pragma once

#include "ref.hpp"

#include <string>
#include <unordered_map>

#include "zorv/acquisition.h"
#include "zorv/device_context.h"

namespace zorv {

// zorvsdk.context._Context
struct ContextObject {
    PyObject_HEAD
    zorv_ctx_t* c_zorvCtx;
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

    PyObject* obj;
};

using ModeTable = std::unordered_map<std::string, zorv_acq_data_func>;

// zorvsdk.acquisition.__Acquisition
struct AcquisitionObject {
    PyObject_HEAD
    PyObject* context;
    PyRef* data_func_ref;  // callable of the latest registration
    PyObject* chip;        // __Chip or None
    ModeTable* modeToCallback;
};

using CallableTable = std::unordered_map<std::string, PyRef*>;

// zorvsdk.monitor.__Monitor
struct MonitorObject {
    PyObject_HEAD
    PyObject* context;
    CallableTable* onValueChanged;
    CallableTable* onAvailChanged;
};

}  // namespace zorv

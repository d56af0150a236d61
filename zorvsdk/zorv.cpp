// zorvsdk.zorv: the Device, device enumeration, SDK versions and the bridge from SDK log lines to
// the logger "zorvsdk".
#include "core/component.hpp"
#include "core/gil.hpp"
#include "core/wait.hpp"

#include <string>

#include "zorv/enumeration.h"
#include "zorv/identity.h"
#include "zorv/logging.h"
#include "zorv/version_info.h"

using namespace zorv;

namespace {

// ---------------------------------------------------------------------------------------------
// The component attributes, in field and construction order.

struct Attribute {
    const char* name;       // the Device's attribute
    const char* module;     // "bias": zorvsdk.bias
    const char* type_name;  // "__Bias"
    const char* doc;        // the attribute's text
    size_t layout = sizeof(ComponentObject);
    PyTypeObject* type = nullptr;

    std::string qualified() const { return std::string("zorvsdk.") + module; }
};

Attribute kAttributes[] = {
    {"bias", "bias", "__Bias",
     ":obj:`~zorvsdk.bias.__Bias`: Use this to access bias functionality."},
    {"board", "board", "__Board",
     ":obj:`~zorvsdk.board.__Board`: Use this to access board functionality."},
    {"chip", "chip", "__Chip",
     ":obj:`~zorvsdk.chip.__Chip`: Use this to access chip functionality.", sizeof(ChipObject)},
    {"config", "configuration", "__Configuration",
     ":obj:`~zorvsdk.configuration.__Configuration`: Use this to access configuration functionality."},
    {"monitor", "monitor", "__Monitor",
     ":obj:`~zorvsdk.monitor.__Monitor`: Use this to access monitor functionality.", sizeof(MonitorObject)},
    {"trigger", "trigger", "__Trigger",
     ":obj:`~zorvsdk.trigger.__Trigger`: Use this to access trigger functionality."},
    {"syncmode", "syncmode", "__SyncMode",
     ":obj:`~zorvsdk.syncmode.__SyncMode`: Use this to access external sync functionality."},
    {"cooling", "cooling", "__Cooling",
     ":obj:`~zorvsdk.cooling.__Cooling`: Use this to access cooling functionality."},
    {"acq", "acquisition", "__Acquisition",
     ":obj:`~zorvsdk.acquisition.__Acquisition`: Use this to access acquisition functionality.",
     sizeof(AcquisitionObject)},
    {"revision", "revision", "__Revision",
     ":obj:`~zorvsdk.revision.__Revision`: Use this to access HW versions."},
    {"props", "identity", "__Identity",
     ":obj:`~zorvsdk.identity.__Identity`: Use this to access device properties."},
    {"axi", "axi", "__Axi",
     ":obj:`~zorvsdk.axi.__Axi`: Use this to access axi functionality."},
    {"flashmem", "flashmem", "__Flashmem",
     ":obj:`~zorvsdk.flashmem.__Flashmem`: Use this to access non-volatile memory functionality."},
};
constexpr int kCount = int(sizeof kAttributes / sizeof kAttributes[0]);
enum { kChip = 2, kMonitor = 4, kAcq = 8 };

struct DeviceObject {
    PyObject_HEAD
    PyObject* context;
    PyObject* attrs[kCount];
};

DeviceObject* as_device(PyObject* self) { return reinterpret_cast<DeviceObject*>(self); }

Name s_setLogger("_Device__setLogger");
Name s_isOpened("isOpened");
Name s_close("close");

// ---------------------------------------------------------------------------------------------
// Construction and destruction

PyObject* device_new(PyTypeObject* type, PyObject*, PyObject*) {  // arguments are accepted and ignored
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    DeviceObject* d = as_device(self.get());
    d->context = Py_NewRef(Py_None);
    for (auto& a : d->attrs) a = Py_NewRef(Py_None);

    PyObject* context = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(imported().context_type));
    if (!context) return nullptr;
    Py_SETREF(d->context, context);
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(self.get(), s_setLogger));
    if (!r) return nullptr;
    for (int i = 0; i < kCount; ++i) {
        PyObject* type_obj = reinterpret_cast<PyObject*>(kAttributes[i].type);
        PyObject* obj = i == kAcq ? PyObject_CallFunctionObjArgs(type_obj, d->context, d->attrs[kChip], nullptr)
                                  : PyObject_CallOneArg(type_obj, d->context);
        if (!obj) return nullptr;
        Py_SETREF(d->attrs[i], obj);
    }
    return self.release();
}

// Reports an exception of __del__: its full traceback printed, then the unraisable hook.
void report_del_failure() {
    PyObject* failure = compat::take_exception();
    compat::set_exception(Py_XNewRef(failure));
    PyErr_PrintEx(0);  // prints and clears one copy
    Ref where = Ref::steal(PyUnicode_FromString("zorvsdk.zorv.Device.__del__"));
    compat::set_exception(failure);
    PyErr_WriteUnraisable(where.get());
}

// __del__: closes the device if the SDK reports it open.
// Once the interpreter exits, its atexit step has closed every device that could be closed, and
// one whose close did not finish must not be waited for again.
void device_finalize(PyObject* self) {
    if (as_device(self)->context == Py_None) return;  // the context was never made: nothing to ask
    if (exiting()) return;
    ErrorScope outer;
    Ref opened = Ref::steal(PyObject_CallMethodNoArgs(self, s_isOpened));
    int truth = opened ? PyObject_IsTrue(opened.get()) : -1;
    if (truth > 0) {
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(self, s_close));
        if (!r) truth = -1;
    }
    if (truth < 0) report_del_failure();
}

int device_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_device(self)->context);
    for (PyObject* a : as_device(self)->attrs) Py_VISIT(a);
    return 0;
}

int device_clear(PyObject* self) {
    DeviceObject* d = as_device(self);
    Py_XSETREF(d->context, Py_NewRef(Py_None));
    for (auto& a : d->attrs) Py_XSETREF(a, Py_NewRef(Py_None));
    return 0;
}

void device_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by __del__
    DeviceObject* d = as_device(self);
    Py_CLEAR(d->context);
    for (auto& a : d->attrs) Py_CLEAR(a);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Attributes

PyObject* get_attr(PyObject* self, void* closure) noexcept {
    return Py_NewRef(as_device(self)->attrs[reinterpret_cast<intptr_t>(closure)]);
}

int set_attr(PyObject* self, PyObject* value, void* closure) {
    intptr_t i = reinterpret_cast<intptr_t>(closure);
    if (!value) value = Py_None;  // deleting stores None
    if (!check_instance(value, kAttributes[i].type)) return -1;
    Py_XSETREF(as_device(self)->attrs[i], Py_NewRef(value));
    return 0;
}

PyGetSetDef g_getset[kCount + 1];

// ---------------------------------------------------------------------------------------------
// Enumeration

struct Enumeration {
    PyObject* list;
    Ref failure;  // the first failure, raised afterwards

    void keep_failure() {
        if (failure) {
            PyErr_Clear();
            return;
        }
        failure = Ref::steal(compat::take_exception());
    }
};

Name s_DeviceDescriptor("DeviceDescriptor");

// Called once per device inside zorv_dev_enumerate, without the interpreter lock.
void enumeration_callback(zorv_enum_t* dev, void* user) {
    auto* e = static_cast<Enumeration*>(user);
    const char *connection = "", *product = "", *manufacturer = "", *serial = "", *path = "";
    unsigned short vid = 0, pid = 0;
    int high = 0, super = 0;
    auto ok = [&](int status) {
        if (status >= 0) return true;
        Gil gil;
        if (!gil.ok()) return false;
        const char* text = "";
        zorv_enum_get_last_error(dev, &text);
        if (!throw_status(status, text)) return true;
        e->keep_failure();
        return false;
    };
    if (!ok(zorv_enum_get_connection_string(dev, &connection)) || !ok(zorv_enum_get_product(dev, &product)) ||
        !ok(zorv_enum_get_manufacturer(dev, &manufacturer)) || !ok(zorv_enum_get_serial_number(dev, &serial)) ||
        !ok(zorv_enum_usb_get_vid_pid(dev, &vid, &pid)) || !ok(zorv_enum_usb_get_instance_path(dev, &path)) ||
        !ok(zorv_enum_usb_is_high_speed(dev, &high)) || !ok(zorv_enum_usb_is_super_speed(dev, &super)))
        return;
    Gil gil;
    if (!gil.ok()) return;
    Ref descriptor = Ref::steal(make_record(
        s_DeviceDescriptor, {from_utf8(connection), from_utf8(product), from_utf8(manufacturer), from_utf8(serial),
                             PyLong_FromUnsignedLong(vid), PyLong_FromUnsignedLong(pid), from_utf8(path),
                             PyLong_FromLong(high), PyLong_FromLong(super)}));
    if (!descriptor || PyList_Append(e->list, descriptor.get()) < 0) e->keep_failure();
}

// ---------------------------------------------------------------------------------------------
// Log bridge

Name s_logging("logging");
Name s_getLogger("getLogger");
Name s_zorvsdk("zorvsdk");
Name s_strip("strip");
Name s_debug("debug"), s_info("info"), s_warning("warning"), s_error("error"), s_critical("critical");

bool forward_log(const char* message, int severity) {
    Ref text = Ref::steal(from_utf8(message));
    if (!text) return false;
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(text.get(), s_strip));
    Ref logging = stripped ? Ref::steal(global(s_logging)) : Ref();
    Ref logger = logging ? Ref::steal(PyObject_CallMethodOneArg(logging.get(), s_getLogger, s_zorvsdk)) : Ref();
    if (!logger) return false;
    PyObject* method = severity == Debug ? s_debug.get() : severity == Info ? s_info.get()
                     : severity == Warning ? s_warning.get() : severity == Error ? s_error.get() : s_critical.get();
    Ref r = Ref::steal(PyObject_CallMethodOneArg(logger.get(), method, stripped.get()));
    return bool(r);
}

// Called on any thread, at any time after registration, without the interpreter lock.
void log_callback(const char* message, Severity severity, void*) {
    Gil gil;
    if (!gil.ok()) return;  // a line arriving while the interpreter finalizes is dropped
    ErrorScope waiting;  // a thread waiting in an SDK call keeps its own state
    if (!forward_log(message, int(severity))) {
        Ref where = Ref::steal(PyUnicode_FromString("zorvsdk log bridge"));
        PyErr_WriteUnraisable(where.get());  // reports and clears
    }
}

// ---------------------------------------------------------------------------------------------
// Methods

Methods methods;

ZORV_SDK_METHOD(methods, open, (command<zorv_dev_open>), {"locator"}, R"(
        Opens the device.
        Has a corresponding close device method :func:`~close`.

        Args:
            locator (str): Device locator of the chosen device.
                Typically retrieved from :func:`~enumerate`.
        )");

// Closing waits for the deliveries in progress: made so that Ctrl-C reaches the caller. False
// with an exception set when it was interrupted or failed with a mapped status; `status` is the
// SDK's otherwise.
bool close_device(PyObject* self, int& status) {
    zorv_ctx_t* ctx = handle_of(self);
    CallResult result;
    if (!ctx || !call_blocking({as_device(self)->context, ctx, [ctx] { return zorv_dev_close(ctx); }}, result))
        return false;
    status = result.status;
    if (!result.check()) return false;
    PyObject* acq = as_device(self)->attrs[kAcq];
    if (status >= 0 && PyObject_TypeCheck(acq, kAttributes[kAcq].type))
        stop_sinks(reinterpret_cast<AcquisitionObject*>(acq));
    return true;
}

PyObject* close(PyObject* self) {
    int status;
    if (!close_device(self, status)) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, close, {}, R"(
        Closes the open device.
        Must be called after a corresponding open device method :func:`~open`.
        )");

ZORV_SDK_METHOD(methods, isOpened, (value_of<zorv_dev_is_opened, from_bool>), {}, R"(
        Checks whether there is an open device.

        Returns:
            A bool value. True if the device is open, False otherwise.
        )");

PyObject* enumerate(PyObject* self) {
    zorv_ctx_t* ctx = handle_of(self);
    if (!ctx) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    Enumeration e{list.get(), Ref()};
    int count = 0;
    bool ok = call_ctx(ctx, zorv_dev_enumerate, enumeration_callback, static_cast<void*>(&e), &count);
    if (e.failure) {  // a failure inside the callback is raised now; the partial list is dropped
        if (ok) compat::set_exception(e.failure.release());
        return nullptr;
    }
    return ok ? list.release() : nullptr;
}
ZORV_METHOD(methods, enumerate, {}, R"(
        Performs device enumeration.

        Returns:
            A list of :obj:`~DeviceDescriptor` objects.
        )");

// Releases the callables held by the monitor, and those held for the SDK by the acquisition
// object once its device is known to be closed (`closed` tells for the Device's own context).
void release_holders(DeviceObject* d, bool closed) {
    PyObject* acq = d->attrs[kAcq];
    if (PyObject_TypeCheck(acq, kAttributes[kAcq].type)) {
        auto* a = reinterpret_cast<AcquisitionObject*>(acq);
        if (a->context != d->context)
            closed = PyObject_TypeCheck(a->context, imported().context_type) &&
                     known_closed(reinterpret_cast<ContextObject*>(a->context)->c_zorvCtx);
        if (closed) release_registrations(a);
    }
    PyObject* monitor = d->attrs[kMonitor];
    if (PyObject_TypeCheck(monitor, kAttributes[kMonitor].type)) {
        auto* m = reinterpret_cast<MonitorObject*>(monitor);
        for (CallableTable* table : {m->onValueChanged, m->onAvailChanged}) {
            if (!table) continue;
            CallableTable held;
            held.swap(*table);  // emptied first: a callable's destructor may run Python code
            for (auto& [key, ref] : held) delete ref;
        }
    }
}

// A device still open is closed first, so that the SDK stops calling back before the callables it
// was given are released. Anything but a clear "closed" counts as open: a callable is never
// released while the SDK may still deliver to it.
PyObject* finalize(PyObject* self) {
    bool closed = true;  // without a context nothing was opened
    if (as_device(self)->context != Py_None) {
        zorv_ctx_t* ctx = handle_of(self);
        if (!ctx) return nullptr;
        int opened = 1;
        int status = sdk_call(ctx, zorv_dev_is_opened, &opened);
        if (status < 0 && !check_failure(ctx, status)) return nullptr;
        closed = status >= 0 && !opened;
        if (!closed) {
            if (!close_device(self, status)) return nullptr;
            closed = status >= 0;
        }
    }
    release_holders(as_device(self), closed);
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, finalize, {}, R"(
        Performs cleanup operations on the Device object.
        Must be explicitly called at the end of the workflow.
        After the method is invoked,
        calls of other Device methods result in undefined behavior.
        )");

// ---------------------------------------------------------------------------------------------
// Context manager and repr

Name s_finalize("finalize");
Name s_module("__module__");

PyObject* enter_block(PyObject* self) { return Py_NewRef(self); }
ZORV_METHOD_AS(methods, "__enter__", enter_block, {}, R"(
        Enters a ``with`` block.

        Returns:
            The :obj:`~zorvsdk.zorv.Device` itself.
        )");

// Raises the exception taken earlier (taken over); if another one is pending, that one is raised
// instead with the earlier one as its context, so neither is lost.
void raise_taken(PyObject* earlier) {
    if (!PyErr_Occurred()) return compat::set_exception(earlier);
    PyObject* later = compat::take_exception();
    PyException_SetContext(later, earlier);  // takes the reference
    compat::set_exception(later);
}

// __exit__: closes the device if it is open, then finalize(), whether or not the block raised.
// Returns False, so an exception of the block goes on; a failure here is raised once finalize()
// has run, and the interpreter chains it to the block's exception.
PyObject* exit_block(PyObject* self, PyObject*, PyObject*, PyObject*) {
    Ref opened = Ref::steal(PyObject_CallMethodNoArgs(self, s_isOpened));
    int truth = opened ? PyObject_IsTrue(opened.get()) : -1;
    if (truth > 0 && !Ref::steal(PyObject_CallMethodNoArgs(self, s_close))) truth = -1;
    PyObject* failure = truth < 0 ? compat::take_exception() : nullptr;
    Ref finalized = Ref::steal(PyObject_CallMethodNoArgs(self, s_finalize));
    if (failure) {
        raise_taken(failure);
        return nullptr;
    }
    return finalized ? Py_NewRef(Py_False) : nullptr;
}
ZORV_METHOD_AS(methods, "__exit__", exit_block, {"exc_type", "exc_value", "traceback"}, R"(
        Leaves a ``with`` block: closes the device if it is open, then calls :func:`~finalize`.
        Runs also when the block raised; that exception is never suppressed.

        Returns:
            False.
        )");

// repr(): the locator of the open device as the SDK reports it, or "not open". A repr answers
// whatever the state: an SDK failure shows as "state unknown" instead of raising.
PyObject* device_repr(PyObject* self) {
    Ref module = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), s_module));
    Ref name = module ? Ref::steal(PyType_GetQualName(Py_TYPE(self))) : Ref();
    if (!name) return nullptr;
    int opened = 0;
    const char* locator = "";
    if (as_device(self)->context != Py_None &&
        (!call(self, zorv_dev_is_opened, &opened) ||
         (opened && !call(self, zorv_dev_prop_get_connection_string, &locator)))) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<%S.%S, state unknown>", module.get(), name.get());
    }
    if (!opened) return PyUnicode_FromFormat("<%S.%S, not open>", module.get(), name.get());
    Ref text = Ref::steal(from_utf8(locator ? locator : ""));
    return text ? PyUnicode_FromFormat("<%S.%S, open %R>", module.get(), name.get(), text.get()) : nullptr;
}

PyObject* setLogger(PyObject* self) {
    zorv_ctx_t* ctx = handle_of(self);
    if (!ctx) return nullptr;
    zorv_log_frmt format = {0, 0, 0, 1};  // the bare message: no preamble, indentation or prefix
    zorv_log_set_func(ctx, log_callback, nullptr, &format);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Device__setLogger", setLogger, {}, R"(
        Sets a logger.
        Log lines of the SDK are forwarded to the logger "zorvsdk" of the standard logging module.
        )");

const char kDeviceDoc[] = R"(
    Device object.
    Only the Device object should be used to access functionality of the SDK, e.g:

    .. code-block:: python

        device = Device()
        descriptors = device.enumerate()
        device.open(descriptors[0].connectionString)
        # perform acquisition
        device.close()
        device.finalize()
    )";

// ---------------------------------------------------------------------------------------------
// Module functions

Name s_SdkVersion("SdkVersion");

PyObject* make_version(int major, int minor, int patch) {
    return make_record(s_SdkVersion, {PyLong_FromLong(major), PyLong_FromLong(minor), PyLong_FromLong(patch)});
}

Methods functions;

PyObject* getRuntimeVersion(PyObject*) {
    int major = 0, minor = 0, patch = 0;
    zorv_version(&major, &minor, &patch);
    return make_version(major, minor, patch);
}
ZORV_FUNCTION(functions, getRuntimeVersion, {}, R"(
    Retrieves runtime version of the SDK.

    Returns:
        An :obj:`~SdkVersion` object.
    )");

PyObject* getCompileTimeVersion(PyObject*) { return make_version(0, 2, 1); }
ZORV_FUNCTION(functions, getCompileTimeVersion, {}, R"(
    Retrieves compile version of the SDK.

    Returns:
        An :obj:`~SdkVersion` object.
    )");

int exec(PyObject* m) {
    for (int i = 0; i < kCount; ++i)
        g_getset[i] = {kAttributes[i].name, get_attr, set_attr, kAttributes[i].doc,
                       reinterpret_cast<void*>(intptr_t(i))};
    PyTypeObject* type = make_type("zorvsdk.zorv.Device", kDeviceDoc, sizeof(DeviceObject), methods.table(),
                                   {{Py_tp_new, reinterpret_cast<void*>(device_new)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(device_dealloc)},
                                    {Py_tp_traverse, reinterpret_cast<void*>(device_traverse)},
                                    {Py_tp_clear, reinterpret_cast<void*>(device_clear)},
                                    {Py_tp_finalize, reinterpret_cast<void*>(device_finalize)},
                                    {Py_tp_repr, reinterpret_cast<void*>(device_repr)},
                                    {Py_tp_getset, g_getset}});
    // Log lines and enumeration enter through the gate shared by the package (core/gil.hpp).
    if (!type || !add_type(m, type) || !import_common(m) || !bind_gate()) return -1;
    for (auto& a : kAttributes)
        if (!(a.type = import_type(a.qualified().c_str(), a.type_name, a.layout))) return -1;
    if (PyModule_AddFunctions(m, functions.table(false)) < 0) return -1;
    return add_imports(m, {{"typing", {"NamedTuple"}},
                           {"logging"},
                           {"zorvsdk._records", {"DeviceDescriptor", "SdkVersion"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(zorv, "Device session: the Device, enumeration, SDK versions and the log bridge.", exec)

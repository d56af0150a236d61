// zorvsdk.monitor: the monitor object of a Device, which holds the callables given for value and
// availability changes until Device.finalize() releases them.
#include "core/component.hpp"

#include <memory>
#include <new>
#include <utility>

using namespace zorv;

namespace {

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* self = component_new(type, args, kwds);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<MonitorObject*>(self);
    o->onValueChanged = new (std::nothrow) CallableTable;
    o->onAvailChanged = new (std::nothrow) CallableTable;
    if (!o->onValueChanged || !o->onAvailChanged) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

// Empties a table, then releases its holders: a callable's destructor may come back to it.
void release(CallableTable* table) {
    if (!table) return;
    CallableTable held;
    held.swap(*table);
    for (auto& [key, ref] : held) delete ref;
}

// The library never calls these callables: the collector may see and release them.
int monitor_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* o = reinterpret_cast<MonitorObject*>(self);
    for (CallableTable* table : {o->onValueChanged, o->onAvailChanged})
        if (table)
            for (auto& [key, ref] : *table) Py_VISIT(ref->get());
    return ComponentSlots::traverse(self, visit, arg);
}

int monitor_clear(PyObject* self) {
    auto* o = reinterpret_cast<MonitorObject*>(self);
    release(o->onValueChanged);
    release(o->onAvailChanged);
    return ComponentSlots::clear(self);
}

void monitor_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<MonitorObject*>(self);
    PyObject_GC_UnTrack(self);
    release(o->onValueChanged);
    release(o->onAvailChanged);
    delete o->onValueChanged;
    delete o->onAvailChanged;
    o->onValueChanged = o->onAvailChanged = nullptr;
    ComponentSlots::dealloc(self);
}

Methods methods;

// Stores `func` under `key` in the table `Table`.
template <CallableTable* MonitorObject::*Table>
PyObject* hold(PyObject* self, const Text& key, PyObject* func) {
    CallableTable* table = reinterpret_cast<MonitorObject*>(self)->*Table;
    // The holder it replaces is released once the table holds the new one: the old callable's
    // destructor may run Python code that comes back to this table (Device.finalize empties it).
    std::unique_ptr<PyRef> old;
    try {
        auto held = std::make_unique<PyRef>(func);
        PyRef*& slot = (*table)[std::string(key.c_str(), size_t(key.size()))];
        old.reset(std::exchange(slot, held.release()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    old.reset();
    Py_RETURN_NONE;
}

constexpr auto setValueChangedCallback = hold<&MonitorObject::onValueChanged>;
ZORV_METHOD(methods, setValueChangedCallback, {"key", "func"}, R"(
        Holds a callable for value changes of the monitored item.

        The callable stays referenced until :func:`~zorvsdk.zorv.Device.finalize` releases it.

        Args:
            key (str): Monitored item identifier.
            func (Callable): Callable to hold.
        )");

constexpr auto setAvailChangedCallback = hold<&MonitorObject::onAvailChanged>;
ZORV_METHOD(methods, setAvailChangedCallback, {"key", "func"}, R"(
        Holds a callable for availability changes of the monitored item.

        The callable stays referenced until :func:`~zorvsdk.zorv.Device.finalize` releases it.

        Args:
            key (str): Monitored item identifier.
            func (Callable): Callable to hold.
        )");

const char kMonitorDoc[] = R"(
    Monitor object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.monitor.__Monitor", kMonitorDoc, methods, sizeof(MonitorObject),
                         {monitor_new, monitor_dealloc, monitor_traverse, monitor_clear})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(monitor, "Monitor functionality of the device.", exec)

// The Python face that every sink shares: an object over its native part (a SinkPart, part.hpp),
// its lifetime, its call path and its published interface, made into a type by add_sink<Part>; the
// arguments the sinks' constructors share; and the registry of the module's sinks.
#pragma once

#include "call.hpp"
#include "part.hpp"

#include "zorvsdk/core/component.hpp"
#include "zorvsdk/core/deliveries.hpp"

#include <cstdint>
#include <memory>

namespace zorv::sinks {

inline PyObject* from_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// A sink object owns its native part (a Ring or a Map), made before the object and deleted with
// it. The SDK's threads reach the part through the interface published on the type.
template <SinkPart Part>
struct SinkObject {
    PyObject_HEAD
    Part* part;
};

template <SinkPart Part>
Part& part_of(PyObject* self) {
    return *reinterpret_cast<SinkObject<Part>*>(self)->part;
}

template <SinkPart Part>
PyObject* new_sink(PyTypeObject* type, Part* part) {
    std::unique_ptr<Part> owned(part);
    if (!part || !part->ok()) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<SinkObject<Part>*>(self)->part = owned.release();
    return self;
}

template <SinkPart Part>
void sink_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SinkObject<Part>*>(self)->part;
    type->tp_free(self);
    Py_DECREF(type);
}

template <SinkPart Part>
PyObject* sink_call(PyObject* self, PyObject* args, PyObject* kwds) {
    return call_sink(Part::kName, args, kwds, Part::kTakesRaw, [&](const DeliveredData& d) { part_of<Part>(self).deliver(d); });
}

template <SinkPart Part>
void sink_deliver(void* sink, const DeliveredData* data) noexcept {
    part_of<Part>(static_cast<PyObject*>(sink)).deliver(*data);
}

template <SinkPart Part>
void sink_acquiring(void* sink, int running) noexcept {
    part_of<Part>(static_cast<PyObject*>(sink)).acquiring(running);
}

template <SinkPart Part>
void sink_fed(void* sink, int fed) noexcept {
    part_of<Part>(static_cast<PyObject*>(sink)).fed(fed);
}

template <SinkPart Part>
constexpr SinkApi kApi{kSinkApiVersion, sizeof(SinkApi), sink_deliver<Part>, sink_acquiring<Part>, sink_fed<Part>};

// An int from 1 to `max`.
bool to_positive(PyObject* value, const char* what, uint64_t max, uint64_t& out);

// The memory a sink reserves fits in the machine's: more would be granted on paper and end the
// process once used.
bool fits_in_memory(const char* what, uint64_t bytes);

// Every pixel of a `what` ("detector", "map") of width x height has a 32-bit address.
bool fits_32bit_addresses(const char* what, uint64_t width, uint64_t height);

// A number of seconds in (0, max]: else ValueError naming the range and the value as Python shows it.
bool in_seconds(const char* what, double value, double max);

// Publishes a sink type's interface under the type attribute the acquisition module looks up.
bool publish(PyTypeObject* type, const SinkApi& api);

// Makes a sink type over its native part, publishes its interface and adds it to the module. A
// sink with `next` iterates over what it holds.
template <SinkPart Part>
bool add_sink(PyObject* m, const char* name, const char* doc, PyMethodDef* methods, newfunc make, PyGetSetDef* getset,
              iternextfunc next = nullptr) {
    PyTypeObject* type = make_type(name, doc, sizeof(SinkObject<Part>), methods,
                                   {{Py_tp_new, reinterpret_cast<void*>(make)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(sink_dealloc<Part>)},
                                    {Py_tp_traverse, nullptr},
                                    {Py_tp_clear, nullptr},
                                    {Py_tp_call, reinterpret_cast<void*>(sink_call<Part>)},
                                    {Py_tp_iter, next ? reinterpret_cast<void*>(PyObject_SelfIter) : nullptr},
                                    {Py_tp_iternext, reinterpret_cast<void*>(next)},
                                    {Py_tp_getset, getset}},
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
    return type && publish(type, kApi<Part>) && add_type(m, type);
}

// The sinks of the module: the file of each sink registers the function that adds its type (and
// whatever else it needs) to the module; the module calls them when it loads.
using AddSink = bool (*)(PyObject* module);
bool register_sink(AddSink add);
bool add_sinks(PyObject* module);

// ZORV_SINK(add): registers `add`, in the file of its sink.
#define ZORV_SINK(add) [[maybe_unused]] const bool zorv_sink_##add = ::zorv::sinks::register_sink(add)

}  // namespace zorv::sinks

// The call path of every sink, sink(*arrays, metadata, kind=None): the delivery that a call's
// arguments make, handed to the sink's part as the SDK's threads hand theirs.
#pragma once

#include "places.hpp"

#include "zorvsdk/core/ref.hpp"

#include <string>

namespace zorv::sinks {

// A delivery built from the arguments of a call: the arrays a data callable of one kind receives
// (made contiguous where they are not) and the DeliveredData over their memory. An empty array
// stands for an empty place of any type, as the callable's empty float64 arrays do; the kind is
// the one that the arrays' types and count and the presence of metadata leave, or the one named by
// `kind` when they leave more than one.
class Called {
public:
    bool parse(const char* sink, PyObject* args, PyObject* kwds);
    const DeliveredData& data() const { return dd_; }

private:
    static bool parse_keywords(const char* sink, PyObject* kwds, PyObject*& wanted);
    static bool fits(const KindInfo& k, PyObject* const* arrays, Py_ssize_t n, bool meta);
    static bool pick_kind(PyObject* wanted, PyObject* const* arrays, Py_ssize_t n, bool meta, int& kind);
    static std::string kind_names();

    // Keeps a contiguous version of the array of a place.
    bool hold(int place, PyObject* array, DeliveredArray& out);
    bool parse_metadata(PyObject* meta);

    Ref held_[kPlaces];
    DeliveredData dd_{};
};

// Calls `deliver` with the delivery the arguments make, with the interpreter lock released.
template <class Deliver>
PyObject* call_sink(const char* sink, PyObject* args, PyObject* kwds, bool takes_raw, Deliver deliver) {
    Called called;
    if (!called.parse(sink, args, kwds)) return nullptr;
    if (!takes_raw && called.data().kind == DeliveryKind::Raw)
        return PyErr_Format(PyExc_TypeError, "a %s cannot read raw data: its format is the SDK's own", sink);
    Py_BEGIN_ALLOW_THREADS
    deliver(called.data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace zorv::sinks

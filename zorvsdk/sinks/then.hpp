// The native sink that a sink hands every delivery on to (`then=`), with what goes on with them:
// the deliveries, the acquisition's start and stop, and whether the sink is fed.
#pragma once

#include "zorvsdk/core/deliveries.hpp"
#include "zorvsdk/core/ref.hpp"
#include "zorvsdk/core/sink_api.hpp"

namespace zorv::sinks {

class Then {
public:
    // `then=` as given: None or left out (null) for no sink, else a native sink of zorvsdk.sinks;
    // false with TypeError set for any other object.
    bool parse(PyObject* arg) {
        if (!arg || arg == Py_None) return true;
        api_ = sink_api_of(arg);
        if (!api_) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'then' is a native sink of zorvsdk.sinks, not %R", arg);
            return false;
        }
        sink_ = Ref::borrow(arg);
        return true;
    }

    void deliver(const DeliveredData& d) const noexcept {
        if (api_) api_->deliver(sink_.get(), &d);
    }
    void acquiring(int running) const noexcept {
        if (api_) api_->acquiring(sink_.get(), running);
    }
    void fed(int on) const noexcept {
        if (api_) api_->fed(sink_.get(), on);
    }
    // The sink, or None (a new reference).
    PyObject* object() const { return Py_NewRef(sink_ ? sink_.get() : Py_None); }

private:
    Ref sink_;
    const SinkApi* api_ = nullptr;
};

}  // namespace zorv::sinks

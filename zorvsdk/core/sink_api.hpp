// Finding the interface of a native sink (deliveries.hpp) on an object's type.
#pragma once

#include "deliveries.hpp"
#include "ref.hpp"

namespace zorv {

// The sink interface of `object`'s type, when it is a native sink; null otherwise, or with an
// exception set for a sink of an interface this module does not know.
const SinkApi* sink_api_of(PyObject* object);

}  // namespace zorv

// NumPy's C interface for the modules that use it (imported by import_numpy when the module loads).
#pragma once

#include "ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zorv_numpy_api
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

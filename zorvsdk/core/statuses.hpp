// The one table from SDK statuses to the exception classes of zorvsdk.errors: the errors module
// makes the classes from it, every module finds them by it, and the call step and the delivery path
// raise by it.
#pragma once

#include "zorv/device_context.h"

namespace zorv {

struct ExceptionClass {
    const char* name;
    const char* doc;
    int statuses[2];  // the statuses that raise it (the second repeats the first when alone)
};

inline constexpr ExceptionClass kExceptionClasses[] = {
    {"ZorvSdkInternalException", "Internal failure of the SDK (status -1).", {ZORV_INTERNAL, ZORV_INTERNAL}},
    {"ZorvSdkInvalidOperationError", "Operation not possible in the present state (status -2).",
     {ZORV_INVALID_OPERATION, ZORV_INVALID_OPERATION}},
    {"ZorvSdkInvalidArgumentError", "Argument refused by the SDK (status -3).",
     {ZORV_INVALID_ARGUMENT, ZORV_INVALID_ARGUMENT}},
    {"ZorvSdkNoMemoryException", "The SDK ran out of memory (status -4).", {ZORV_NO_MEMORY, ZORV_NO_MEMORY}},
    {"ZorvSdkPointerException", "Null or invalid pointer given to the SDK (status -5).", {ZORV_POINTER, ZORV_POINTER}},
    {"ZorvSdkAxiException", "AXI register access failed (statuses 102 and 103).",
     {ZORV_AXI_UNALIGNED, ZORV_AXI_UNMAPPED}},
};

inline constexpr int kExceptionCount = int(sizeof kExceptionClasses / sizeof kExceptionClasses[0]);

// The index in kExceptionClasses of the class that `status` raises, or -1 for a status that raises
// nothing.
inline constexpr int exception_index(int status) {
    for (int i = 0; i < kExceptionCount; ++i)
        if (kExceptionClasses[i].statuses[0] == status || kExceptionClasses[i].statuses[1] == status) return i;
    return -1;
}

// The statuses that are failures of a call: below ZORV_OK, and for the AXI calls also the AXI ones.
enum class Failing { Negative, NegativeOrAxi };
inline constexpr bool is_failure(int status, Failing which) {
    return status < ZORV_OK ||
           (which == Failing::NegativeOrAxi && (status == ZORV_AXI_UNALIGNED || status == ZORV_AXI_UNMAPPED));
}

}  // namespace zorv

/* zorvsdk C interface: library version */
#ifndef ZORV_VERSION_INFO_H
#define ZORV_VERSION_INFO_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API void zorv_version(int* major, int* minor, int* patch);

ZORV_EXTERN_C_END

#endif

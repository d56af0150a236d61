/* zorvsdk C interface: DACs */
#ifndef ZORV_CHIP_DAC_H
#define ZORV_CHIP_DAC_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_chip_dac_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_chip_dac_name(zorv_ctx_t* ctx, int idx, const char** name);
ZORV_API int zorv_chip_dac_value_get(zorv_ctx_t* ctx, const char* name, int* value);
ZORV_API int zorv_chip_dac_value_set(zorv_ctx_t* ctx, const char* name, int value);
ZORV_API int zorv_chip_dac_limits(zorv_ctx_t* ctx, const char* name, int* min, int* max);

ZORV_EXTERN_C_END

#endif

/* zorvsdk C interface: sensor bias supplies */
#ifndef ZORV_BIAS_H
#define ZORV_BIAS_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_bias_supply_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_bias_supply_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_bias_get(zorv_ctx_t* ctx, const char* id, float* volts);
ZORV_API int zorv_bias_set(zorv_ctx_t* ctx, const char* id, float volts);
ZORV_API int zorv_bias_range(zorv_ctx_t* ctx, const char* id, float* min, float* max);

ZORV_EXTERN_C_END

#endif

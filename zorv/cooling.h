/* zorvsdk C interface: cooling units */
#ifndef ZORV_COOLING_H
#define ZORV_COOLING_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_cooling_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_cooling_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_cooling_value_unit(zorv_ctx_t* ctx, const char* id, const char** unit);
ZORV_API int zorv_cooling_get_actual(zorv_ctx_t* ctx, const char* id, float* value);
ZORV_API int zorv_cooling_get_desired(zorv_ctx_t* ctx, const char* id, float* value);
ZORV_API int zorv_cooling_set_desired(zorv_ctx_t* ctx, const char* id, float value);
ZORV_API int zorv_cooling_limits(zorv_ctx_t* ctx, const char* id, float* min, float* max);

ZORV_EXTERN_C_END

#endif

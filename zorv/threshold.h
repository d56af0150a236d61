/* zorvsdk C interface: energy thresholds */
#ifndef ZORV_THRESHOLD_H
#define ZORV_THRESHOLD_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_chip_threshold_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_chip_threshold_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_chip_threshold_is_calibrated(zorv_ctx_t* ctx, const char* id, int* calibrated);
ZORV_API int zorv_chip_threshold_get(zorv_ctx_t* ctx, const char* id, float* kev);
ZORV_API int zorv_chip_threshold_set(zorv_ctx_t* ctx, const char* id, float kev);
ZORV_API int zorv_chip_threshold_range(zorv_ctx_t* ctx, const char* id, float* min, float* max, float* noise);
ZORV_API int zorv_chip_threshold_raw_get(zorv_ctx_t* ctx, const char* id, int* raw);
ZORV_API int zorv_chip_threshold_raw_set(zorv_ctx_t* ctx, const char* id, int raw);
ZORV_API int zorv_chip_threshold_raw_range(zorv_ctx_t* ctx, const char* id, int* min, int* max);

ZORV_EXTERN_C_END

#endif

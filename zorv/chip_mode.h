/* zorvsdk C interface: readout modes */
#ifndef ZORV_CHIP_MODE_H
#define ZORV_CHIP_MODE_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

/* Parameters of a binned readout mode, handed over by address. */
typedef struct scan_params {
    uint32_t width_;
    uint32_t height_;
    uint64_t dwell_time_;
} scan_params;

ZORV_API int zorv_chip_mode_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_chip_mode_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_chip_mode_select(zorv_ctx_t* ctx, const char* id);
ZORV_API int zorv_chip_mode_select_ex(zorv_ctx_t* ctx, const char* id, void* params);

ZORV_EXTERN_C_END

#endif

/* zorvsdk C interface: sense DACs */
#ifndef ZORV_CHIP_SENSEDAC_H
#define ZORV_CHIP_SENSEDAC_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_chip_sense_dac_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_chip_sense_dac_name(zorv_ctx_t* ctx, int idx, const char** name);
ZORV_API int zorv_chip_sense_dac_sel(zorv_ctx_t* ctx, const char* name);

ZORV_EXTERN_C_END

#endif

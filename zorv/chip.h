/* zorvsdk C interface: chips and polarity */
#ifndef ZORV_CHIP_H
#define ZORV_CHIP_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

typedef enum zorv_chip_polarity_t {
    positive_polarity = 0,
    negative_polarity = 1
} zorv_chip_polarity_t;

ZORV_API int zorv_chip_refresh(zorv_ctx_t* ctx);
ZORV_API int zorv_chip_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_chip_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_chip_get_polarity(zorv_ctx_t* ctx, int idx, zorv_chip_polarity_t* polarity);
ZORV_API int zorv_chip_set_polarity(zorv_ctx_t* ctx, int idx, zorv_chip_polarity_t polarity);

ZORV_EXTERN_C_END

#endif

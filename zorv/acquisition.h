/* zorvsdk C interface: acquisition channels and data deliveries */
#ifndef ZORV_ACQUISITION_H
#define ZORV_ACQUISITION_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

/* One data delivery; valid only inside a data callback. */
typedef struct zorv_acq zorv_acq_t;
typedef void (*zorv_acq_data_func)(zorv_acq_t* acq, void* user);

ZORV_API int zorv_acq_ch_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_acq_ch_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_acq_begin(zorv_ctx_t* ctx, const char* channel);
ZORV_API int zorv_acq_abort(zorv_ctx_t* ctx, const char* channel);
ZORV_API int zorv_acq_end(zorv_ctx_t* ctx, const char* channel);
ZORV_API int zorv_acq_set_data_callback(zorv_ctx_t* ctx, const char* channel, zorv_acq_data_func func, void* user);
ZORV_API int zorv_acq_get_last_error(zorv_acq_t* acq, const char** text);
/* Raw bytes of a delivery: *data receives the buffer, *size its length in bytes. */
ZORV_API int zorv_acq_raw_get_data(zorv_acq_t* acq, void* data, unsigned long long* size);

ZORV_EXTERN_C_END

#endif

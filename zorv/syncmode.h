/* zorvsdk C interface: external synchronisation options */
#ifndef ZORV_SYNCMODE_H
#define ZORV_SYNCMODE_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_syncmode_option_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_syncmode_option_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_syncmode_option_select(zorv_ctx_t* ctx, const char* id);

ZORV_EXTERN_C_END

#endif

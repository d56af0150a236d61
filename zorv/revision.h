/* zorvsdk C interface: hardware versions */
#ifndef ZORV_REVISION_H
#define ZORV_REVISION_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_revision_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_revision_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_revision_string(zorv_ctx_t* ctx, const char* id, const char** version);

ZORV_EXTERN_C_END

#endif

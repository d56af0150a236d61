/* zorvsdk C interface: board power */
#ifndef ZORV_BOARD_H
#define ZORV_BOARD_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_board_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_board_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_board_power_on(zorv_ctx_t* ctx, const char* id);
ZORV_API int zorv_board_power_off(zorv_ctx_t* ctx, const char* id);
ZORV_API int zorv_board_is_powered(zorv_ctx_t* ctx, const char* id, int* powered);

ZORV_EXTERN_C_END

#endif

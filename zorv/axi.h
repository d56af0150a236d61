/* zorvsdk C interface: AXI register access */
#ifndef ZORV_AXI_H
#define ZORV_AXI_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

/* Besides the negative statuses these fail with 102 and 103. */
ZORV_API int zorv_axi_read(zorv_ctx_t* ctx, uint32_t address, uint32_t* data);
ZORV_API int zorv_axi_write(zorv_ctx_t* ctx, uint32_t address, uint32_t data);

ZORV_EXTERN_C_END

#endif

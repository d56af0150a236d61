/* zorvsdk C interface: flash memories */
#ifndef ZORV_FLASH_H
#define ZORV_FLASH_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_flash_count(zorv_ctx_t* ctx, int* count);
ZORV_API int zorv_flash_id(zorv_ctx_t* ctx, int idx, const char** id);
ZORV_API int zorv_flash_part_nr(zorv_ctx_t* ctx, const char* id, const char** part);
ZORV_API int zorv_flash_regions(zorv_ctx_t* ctx, const char* id, int* count);
ZORV_API int zorv_flash_sector_count(zorv_ctx_t* ctx, const char* id, int region, int* count);
ZORV_API int zorv_flash_sector_size(zorv_ctx_t* ctx, const char* id, int region, int* size);
ZORV_API int zorv_flash_sector_address_range(zorv_ctx_t* ctx, const char* id, int sector, uint32_t* start, uint32_t* end);
ZORV_API int zorv_flash_read(zorv_ctx_t* ctx, const char* id, uint32_t address, void* data, size_t* length);
ZORV_API int zorv_flash_program(zorv_ctx_t* ctx, const char* id, uint32_t address, const void* data, size_t* length);

ZORV_EXTERN_C_END

#endif

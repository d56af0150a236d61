/* zorvsdk C interface: configuration documents and the pixel mask */
#ifndef ZORV_CONFIGURATION_H
#define ZORV_CONFIGURATION_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

typedef struct pixel_mask_size {
    size_t width;
    size_t height;
} pixel_mask_size;

/* width x height bytes, the height bytes of one column together. */
typedef struct pixel_mask {
    uint8_t* data;
    size_t data_len;
} pixel_mask;

ZORV_API int zorv_load_configuration(zorv_ctx_t* ctx, const char* type, const char* content);
ZORV_API int zorv_get_pixel_mask_size(zorv_ctx_t* ctx, pixel_mask_size* size);
ZORV_API int zorv_get_pixel_mask(zorv_ctx_t* ctx, pixel_mask* mask, size_t* delivered);
ZORV_API int zorv_set_pixel_mask(zorv_ctx_t* ctx, const pixel_mask* mask);

ZORV_EXTERN_C_END

#endif

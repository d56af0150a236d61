/* zorvsdk C interface: properties of the open device */
#ifndef ZORV_IDENTITY_H
#define ZORV_IDENTITY_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_dev_prop_get_manufacturer(zorv_ctx_t* ctx, const char** text);
ZORV_API int zorv_dev_prop_get_product(zorv_ctx_t* ctx, const char** text);
ZORV_API int zorv_dev_prop_get_serial_number(zorv_ctx_t* ctx, const char** text);
ZORV_API int zorv_dev_prop_get_connection_string(zorv_ctx_t* ctx, const char** text);
ZORV_API int zorv_dev_prop_usb_get_vid_pid(zorv_ctx_t* ctx, unsigned short* vid, unsigned short* pid);
ZORV_API int zorv_dev_prop_usb_get_instance_path(zorv_ctx_t* ctx, const char** text);
ZORV_API int zorv_dev_prop_usb_is_high_speed(zorv_ctx_t* ctx, int* flag);
ZORV_API int zorv_dev_prop_usb_is_super_speed(zorv_ctx_t* ctx, int* flag);

ZORV_EXTERN_C_END

#endif

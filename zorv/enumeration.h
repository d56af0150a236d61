/* zorvsdk C interface: device enumeration */
#ifndef ZORV_ENUMERATION_H
#define ZORV_ENUMERATION_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

/* One found device; valid only inside an enumeration callback. */
typedef struct zorv_enum zorv_enum_t;
typedef void (*zorv_enum_func)(zorv_enum_t* dev, void* user);

ZORV_API int zorv_dev_enumerate(zorv_ctx_t* ctx, zorv_enum_func func, void* user, int* count);
ZORV_API int zorv_enum_get_connection_string(zorv_enum_t* dev, const char** text);
ZORV_API int zorv_enum_get_product(zorv_enum_t* dev, const char** text);
ZORV_API int zorv_enum_get_manufacturer(zorv_enum_t* dev, const char** text);
ZORV_API int zorv_enum_get_serial_number(zorv_enum_t* dev, const char** text);
ZORV_API int zorv_enum_usb_get_vid_pid(zorv_enum_t* dev, unsigned short* vid, unsigned short* pid);
ZORV_API int zorv_enum_usb_get_instance_path(zorv_enum_t* dev, const char** text);
ZORV_API int zorv_enum_usb_is_high_speed(zorv_enum_t* dev, int* flag);
ZORV_API int zorv_enum_usb_is_super_speed(zorv_enum_t* dev, int* flag);
ZORV_API int zorv_enum_get_last_error(zorv_enum_t* dev, const char** text);

ZORV_EXTERN_C_END

#endif

/* zorvsdk C interface: device context, last error and device session */
#ifndef ZORV_DEVICE_CONTEXT_H
#define ZORV_DEVICE_CONTEXT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ZORV_EXTERN_C_BEGIN extern "C" {
#define ZORV_EXTERN_C_END }
#else
#define ZORV_EXTERN_C_BEGIN
#define ZORV_EXTERN_C_END
#endif

#define ZORV_API __attribute__((visibility("default")))

ZORV_EXTERN_C_BEGIN

/* Every function returns one of these, or another status of its own at or above ZORV_OK that is
   not a failure. The AXI functions also fail with ZORV_AXI_UNALIGNED and ZORV_AXI_UNMAPPED. */
enum zorv_status {
    ZORV_OK = 0,
    ZORV_INTERNAL = -1,          /* internal failure of the library */
    ZORV_INVALID_OPERATION = -2, /* not possible in the present state */
    ZORV_INVALID_ARGUMENT = -3,  /* an argument was refused */
    ZORV_NO_MEMORY = -4,         /* the library ran out of memory */
    ZORV_POINTER = -5,           /* a null or invalid pointer */
    ZORV_AXI_UNALIGNED = 102,    /* an AXI address that is not a multiple of 4 */
    ZORV_AXI_UNMAPPED = 103      /* no AXI register at the address */
};

/* One device session. Created by zorv_ctx_create, released by zorv_ctx_destroy. */
typedef struct zorv_ctx zorv_ctx_t;

/* Creates a context; *ctx receives the new handle. */
ZORV_API int zorv_ctx_create(zorv_ctx_t** ctx);
/* Releases a context; closes its device and stops its acquisitions first. */
ZORV_API int zorv_ctx_destroy(zorv_ctx_t* ctx);
/* Text of the last failure on this context and thread; owned by the library. */
ZORV_API int zorv_ctx_get_last_error(zorv_ctx_t* ctx, const char** text);

ZORV_API int zorv_dev_open(zorv_ctx_t* ctx, const char* locator);
ZORV_API int zorv_dev_close(zorv_ctx_t* ctx);
ZORV_API int zorv_dev_is_opened(zorv_ctx_t* ctx, int* opened);

ZORV_EXTERN_C_END

#endif

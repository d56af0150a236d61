/* zorvsdk C interface: log lines */
#ifndef ZORV_LOGGING_H
#define ZORV_LOGGING_H

#include "device_context.h"

ZORV_EXTERN_C_BEGIN

typedef enum Severity {
    Debug = 9,
    Info = 0,
    Warning = -1,
    Error = -2,
    Fatal = -3
} Severity;

typedef struct zorv_log_frmt {
    unsigned char preamble_;
    unsigned char indentation_;
    unsigned char prefix_;
    unsigned char message_;
} zorv_log_frmt;

typedef void (*zorv_log_func)(const char* message, Severity severity, void* user);

/* Registers the log function of a context; the format record is copied. */
ZORV_API void zorv_log_set_func(zorv_ctx_t* ctx, zorv_log_func func, void* user, zorv_log_frmt* format);

ZORV_EXTERN_C_END

#endif

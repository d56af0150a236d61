/* Control API of the virtual device. Used by the Python package zorvsim and by tests; a real SDK
 * library has none of it. Texts returned as char* are allocated and released with zorvsim_free.
 * Functions returning int give 0 on success and -1 on failure, with the reason in zorvsim_error(). */
#ifndef ZORVSIM_H
#define ZORVSIM_H

#include "zorv/device_context.h"

ZORV_EXTERN_C_BEGIN

ZORV_API const char* zorvsim_error(void);
ZORV_API void zorvsim_free(char* text);

/* The default model: two attached devices; closes every open device and clears every control. */
ZORV_API int zorvsim_reset(void);
/* Replaces the attached devices by a model document (JSON); members left out keep their default
 * values. Nothing changes when the document is refused. */
ZORV_API int zorvsim_load_model(const char* json);
ZORV_API int zorvsim_load_model_file(const char* path);
/* The current state of every device as a model document. */
ZORV_API char* zorvsim_get_model(void);
/* Reads or replaces one member of the model by its path, for example "/devices/0/chip". */
ZORV_API char* zorvsim_get(const char* path);
ZORV_API int zorvsim_set(const char* path, const char* json);

/* Makes calls of `fn` fail with `status` and the last-error bytes `msg` (len bytes; len < 0 leaves
 * the last-error text null): after `skip` calls, `count` calls in a row (count < 0: every call). */
ZORV_API int zorvsim_fail(const char* fn, int status, const char* msg, int len, int skip, int count);
/* Makes calls of `fn` write the out-values of a JSON array (one per out-parameter, null to leave one
 * alone; texts as strings, or {"hex": "..."} for arbitrary bytes). */
ZORV_API int zorvsim_force(const char* fn, const char* json, int skip, int count);
/* Makes calls of `fn` take `ms` milliseconds longer. */
ZORV_API int zorvsim_block(const char* fn, int ms, int count);
/* Makes calls of `fn` emit a log line inside the call, before doing their work. */
ZORV_API int zorvsim_log_on_call(const char* fn, int severity, const char* msg, int len);
ZORV_API void zorvsim_clear_controls(void);

/* The call journal: function, arguments as received, interpreter lock held, thread. */
ZORV_API void zorvsim_journal(int on);
ZORV_API char* zorvsim_journal_take(void);

/* Emits a log line to every context with a log function, on the calling thread or on a library
 * thread (waited for). */
ZORV_API int zorvsim_log(int severity, const char* msg, int len, int on_thread);

/* The virtual clock of ramps and lags: manual mode stops real time; advance moves it on. */
ZORV_API void zorvsim_clock_manual(int on);
ZORV_API void zorvsim_clock_advance(double seconds);
ZORV_API double zorvsim_clock_now(void);

/* Number of live contexts (for leak checks). */
ZORV_API int zorvsim_context_count(void);

ZORV_EXTERN_C_END

#endif

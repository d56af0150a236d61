/* Control API of the virtual device. Used by the Python package zorvsim and by tests; a real SDK
 * library has none of it. Texts returned as char* are allocated and released with zorvsim_free.
 *
 * One failure convention for every function that can fail: an int function gives 0 on success
 * and -1 on failure (one that returns a count or a state gives it, or -1), a function returning a
 * pointer gives null on failure; the reason is then left in zorvsim_error(), a text of the calling
 * thread valid until its next control call. Functions returning void or double cannot fail. */
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

/* Erases sector `sector` (-1: every sector) of the flash memory `id` of device number `device`:
 * its bytes read 0xFF again and can be programmed. */
ZORV_API int zorvsim_flash_erase(int device, const char* id, int sector);

/* Scripted acquisitions. A script is built delivery by delivery and installed for the next
 * acquisition on one channel of a device (by index), in place of the synthetic detector. Buffer
 * names: "packets", "pixel_address_vec", "toa_vec", "tot_vec", "event_vec", "itot_vec", "tdc0",
 * "tdc1", "tdc2", "bin_descriptors", "binned_hitcounters", "binned_itots", "frames", "raw". */
typedef struct zorvsim_script zorvsim_script_t;
/* A new empty script, or null when memory is short. */
ZORV_API zorvsim_script_t* zorvsim_script_create(void);
ZORV_API void zorvsim_script_discard(zorvsim_script_t* script);
/* Appends an empty delivery (every count 0, every buffer null); the setters below act on the last. */
ZORV_API int zorvsim_script_add_delivery(zorvsim_script_t* script);
/* A copy of `size` bytes at `data` becomes the named buffer (data null: a null pointer). */
ZORV_API int zorvsim_script_buffer(zorvsim_script_t* script, const char* name, const void* data,
                                   unsigned long long size);
/* The count of a buffer (records; "vec_length" for the vectors). A count left out or below 0 is
 * derived from the buffer's size by the record size of the mode selected when the acquisition
 * begins; a buffer shorter than its count is padded with zeros. */
ZORV_API int zorvsim_script_count(zorvsim_script_t* script, const char* name, long long count);
ZORV_API int zorvsim_script_shutter(zorvsim_script_t* script, unsigned long long ticks);
/* The deliveries of the script are handed out `times` times over, in order (1 to 2^40; default 1). */
ZORV_API int zorvsim_script_repeat(zorvsim_script_t* script, long long times);
/* Makes a getter of the last delivery fail with `status` and the last-error bytes `msg` (len < 0:
 * a null text). */
ZORV_API int zorvsim_script_fail(zorvsim_script_t* script, const char* fn, int status, const char* msg, int len);
/* Installs the script (taking it over, also on failure); `hold` keeps the acquisition running
 * after the last delivery until it is aborted. */
ZORV_API int zorvsim_script_install(zorvsim_script_t* script, int device, const char* channel, int hold);
ZORV_API int zorvsim_script_clear(int device, const char* channel);
/* Deliveries handed to a callback on a channel since the last reset (-1: no such channel). */
ZORV_API long long zorvsim_delivery_count(int device, const char* channel);
/* Waits until `count` deliveries were made or `timeout` seconds have passed; returns the count. */
ZORV_API long long zorvsim_wait_deliveries(int device, const char* channel, long long count, double timeout);
/* Reads back a buffer of delivery `delivery` (an index into the script) of the last scripted
 * acquisition that ended on a channel: copies up to `size` bytes of it to `out` (null: none) and
 * returns its length in bytes, as delivered (zero-padded to its count of records), or -1. The
 * buffers stay allocated until the next script is installed on the channel or a reset. */
ZORV_API long long zorvsim_delivered_buffer(int device, const char* channel, long long delivery, const char* name,
                                            void* out, unsigned long long size);
/* 1 while an acquisition runs on the channel, 0 when not, -1 for no such channel. */
ZORV_API int zorvsim_acquiring(int device, const char* channel);

/* The truth of the synthetic detector: what its sources made. While `deliveries` > 0 for a channel
 * (0, the default, switches it off), each synthetic acquisition that begins on it keeps the truth
 * of its last `deliveries` deliveries, at most 1 GiB in all (older ones are let go first). It is
 * kept until the next acquisition begins on the channel, or a reset. The truth of a delivery is
 * there from the moment its callback is called. */
ZORV_API int zorvsim_truth_keep(int device, const char* channel, long long deliveries);
/* One particle of a delivery's truth. Positions are in pixels of the detector, the centre of the
 * pixel in column x and row y at (x, y). */
typedef struct zorvsim_particle {
    long long id;          /* in time order over the deliveries of the acquisition, from 0 */
    double x, y;           /* where it crossed the sensor (a track: its middle) */
    unsigned long long toa; /* when, in ticks of 1.5625 ns (its hits follow by their time walk) */
    double kev;            /* the energy it deposited in the pixels of the detector */
    unsigned int deposits; /* the pixels it deposited energy in */
    unsigned int hits;     /* those of them recorded: the hits of the delivery with its id */
    int kind;              /* 0 photon, 1 blob (a heavy particle), 2 track (a minimum-ionising one) */
    int reserved;
} zorvsim_particle_t;
/* The particle id of each hit of delivery `delivery` (its index in the acquisition) of the last
 * acquisition on the channel, in the order of the delivery's hits (-1: a noise hit), or its
 * particles: copies up to `capacity` of them to the array `out` (null: none) and returns how many
 * there are, or -1. In the modes that deliver sums by pixel, the hits are those summed, in time
 * order. */
ZORV_API long long zorvsim_truth_hits(int device, const char* channel, long long delivery, long long* out,
                                      unsigned long long capacity);
ZORV_API long long zorvsim_truth_particles(int device, const char* channel, long long delivery,
                                           zorvsim_particle_t* out, unsigned long long capacity);

ZORV_EXTERN_C_END

#endif

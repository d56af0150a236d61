/* zorvsdk C interface: packets, vectors and binned data of a delivery */
#ifndef ZORV_ACQUISITION_TPX3_H
#define ZORV_ACQUISITION_TPX3_H

#include "acquisition.h"

ZORV_EXTERN_C_BEGIN

/* The void* out-parameters receive the address of the library's buffer. */
ZORV_API int zorv_acq_tpx3_get_packet_count(zorv_acq_t* acq, unsigned long long* count);
ZORV_API int zorv_acq_tpx3_get_packets(zorv_acq_t* acq, void* packets);
ZORV_API int zorv_acq_tpx3_get_vec_length(zorv_acq_t* acq, unsigned long long* length);
ZORV_API int zorv_acq_tpx3_get_pixel_address_vec(zorv_acq_t* acq, void* vec);
ZORV_API int zorv_acq_tpx3_get_toa_vec(zorv_acq_t* acq, void* vec);
ZORV_API int zorv_acq_tpx3_get_tot_vec(zorv_acq_t* acq, void* vec);
ZORV_API int zorv_acq_tpx3_get_event_vec(zorv_acq_t* acq, void* vec);
ZORV_API int zorv_acq_tpx3_get_itot_vec(zorv_acq_t* acq, void* vec);
ZORV_API int zorv_acq_tpx3_get_binned_hitcounters_count(zorv_acq_t* acq, unsigned long long* count);
ZORV_API int zorv_acq_tpx3_get_binned_hitcounters(zorv_acq_t* acq, uint64_t** counters);
ZORV_API int zorv_acq_tpx3_get_binned_itots_count(zorv_acq_t* acq, unsigned long long* count);
ZORV_API int zorv_acq_tpx3_get_binned_itots(zorv_acq_t* acq, uint64_t** itots);

ZORV_EXTERN_C_END

#endif

/* zorvsdk C interface: frames of a delivery */
#ifndef ZORV_ACQUISITION_TPX_H
#define ZORV_ACQUISITION_TPX_H

#include "acquisition.h"

ZORV_EXTERN_C_BEGIN

/* A frame is 256 x 256 values of 16 bits. */
ZORV_API int zorv_acq_tpx_get_frame_count(zorv_acq_t* acq, unsigned long long* count);
ZORV_API int zorv_acq_tpx_get_frames(zorv_acq_t* acq, void* frames);

ZORV_EXTERN_C_END

#endif

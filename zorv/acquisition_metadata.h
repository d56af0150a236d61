/* zorvsdk C interface: shutter time, TDC time stamps and bin descriptors of a delivery */
#ifndef ZORV_ACQUISITION_METADATA_H
#define ZORV_ACQUISITION_METADATA_H

#include "acquisition.h"

ZORV_EXTERN_C_BEGIN

ZORV_API int zorv_acq_meta_get_shutter_rising_time_ticks(zorv_acq_t* acq, unsigned long long* ticks);
ZORV_API int zorv_acq_meta_get_tdc_toas_count(zorv_acq_t* acq, int tdc, uint64_t* count);
ZORV_API int zorv_acq_meta_get_tdc_toas(zorv_acq_t* acq, int tdc, const uint64_t** toas);
ZORV_API int zorv_acq_meta_get_bin_descriptor_count(zorv_acq_t* acq, unsigned long long* count);
ZORV_API int zorv_acq_meta_get_bin_descriptors(zorv_acq_t* acq, void* descriptors);

ZORV_EXTERN_C_END

#endif

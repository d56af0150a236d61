// The device's time stamps as the outputs hold them: ToA ticks of 1.5625 ns in whole ns, and 32-bit
// ToA extended to 64 bits. Shared by the file writer and the streamer.
#pragma once

#include <cstdint>

namespace zorv::writer {

// ToA ticks of 1.5625 ns (25/16 ns) in whole ns, rounded: distinct ticks give distinct ns, so the
// tick can always be told back (round(ns / 1.5625)). Exact up to 2^60 ticks (57 years).
inline int64_t ns_of(uint64_t ticks) { return int64_t(ticks + ((ticks * 9 + 8) >> 4)); }

// The 64-bit ToA nearest to `ref` whose low 32 bits are `low`: a 32-bit ToA wraps every 6.7 s, and
// the hits of a delivery lie within 3.3 s of the previous delivery's last hit.
inline uint64_t extend(uint64_t ref, uint32_t low) {
    const int64_t step = int32_t(low - uint32_t(ref));
    return step < 0 && uint64_t(-step) > ref ? low : ref + uint64_t(step);
}

}  // namespace zorv::writer

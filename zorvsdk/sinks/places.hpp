// The places of a delivery: its arrays, then the TDC time stamps of a kind with metadata, each with
// its element type and count.
#pragma once

#include "zorvsdk/core/deliveries.hpp"

#include <cstddef>
#include <cstdint>

namespace zorv::sinks {

inline constexpr int kPlaces = kMaxArrays + kTdcInputs;

// One place of a delivery: one of its arrays, or the time stamps of one TDC input.
struct Place {
    const ElementType* type;
    const void* data;
    uint64_t count;  // 0 for a null buffer
};

inline bool known(DeliveryKind kind) { return unsigned(kind) < unsigned(DeliveryKind::Count); }

inline uint64_t count_of(const DeliveredArray& a) { return a.data ? a.count : 0; }

inline int places_in(DeliveryKind kind) {
    const KindInfo& k = info(kind);
    return k.arrays + (k.metadata ? kTdcInputs : 0);
}

// The places of a delivery in the order the callable receives them: its arrays, then the TDC inputs
// of a kind with metadata.
inline int places_of(const DeliveredData& d, Place (&out)[kPlaces]) {
    const KindInfo& k = info(d.kind);
    int n = 0;
    for (int i = 0; i < k.arrays; ++i) out[n++] = {k.types[i], d.arrays[i].data, count_of(d.arrays[i])};
    if (k.metadata)
        for (const DeliveredArray& t : d.tdcs) out[n++] = {&kU64, t.data, count_of(t)};
    return n;
}

// Every place of a delivery fits in the address space (an SDK count can be anything).
inline bool addressable(const DeliveredData& d) {
    Place places[kPlaces];
    for (int p = 0, n = places_of(d, places); p < n; ++p)
        if (places[p].count > uint64_t(PTRDIFF_MAX) / uint64_t(places[p].type->itemsize)) return false;
    return true;
}

inline const ElementType* place_type(DeliveryKind kind, int place) {
    const KindInfo& k = info(kind);
    return place < k.arrays ? k.types[place] : &kU64;
}

}  // namespace zorv::sinks

// The places of a delivery: its arrays, then the TDC time stamps of a kind with metadata, each with
// its element type and count.
#pragma once

#include "zorvsdk/core/deliveries.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// A value of a kind's hit rule, read from element i of a delivery's arrays (a constant: kOne 1,
// kNone 0).
template <readout::Located L>
uint64_t read_value(const DeliveredArray* a, uint64_t i) {
    if constexpr (L.place == readout::kOne.place) {
        return 1;
    } else if constexpr (L.place < 0) {
        return 0;
    } else {
        const char* at = static_cast<const char*>(a[L.place].data) + i * L.stride + L.offset;
        auto load = [at]<class T>(T v) {
            std::memcpy(&v, at, sizeof v);
            return uint64_t(v);
        };
        if constexpr (L.width == 2) return load(uint16_t());
        else if constexpr (L.width == 4) return load(uint32_t());
        else return load(uint64_t());
    }
}

inline const ElementType* place_type(DeliveryKind kind, int place) {
    const KindInfo& k = info(kind);
    return place < k.arrays ? k.types[place] : &kU64;
}

}  // namespace zorv::sinks

// What a data delivery is made of, for every module that handles deliveries: one delivery as the
// SDK reported it, and the C-level interface through which the acquisition module hands a delivery
// to a native sink (zorvsdk.sinks) without the interpreter lock.
//
// Modules share no native state: a sink type publishes its interface as a capsule named
// kSinkCapsule under the type attribute kSinkAttribute; the acquisition module looks it up when a
// sink is registered and checks its version and size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "readout/modes.hpp"

namespace zorv {

// The element types, delivery kinds and readout modes are the project's table (readout/modes.hpp),
// shared with the virtual device.
using readout::DeliveryKind;
using readout::ElementType;
using readout::info;
using readout::KindInfo;
using readout::kKinds;
using readout::kMaxArrays;
using readout::kTdcInputs;
using readout::kU16;
using readout::kU32;
using readout::kU64;
using readout::kU8;

// One array of a delivery as the SDK reported it: `count` elements of the kind's type for that
// place at `data`. A count of 0 or a null `data` is an empty array.
struct DeliveredArray {
    const void* data;
    unsigned long long count;
};

// One delivery, valid only during the call that hands it over.
struct DeliveredData {
    DeliveryKind kind;
    DeliveredArray arrays[kMaxArrays];      // info(kind).arrays of them
    unsigned long long shutter;             // with metadata only
    DeliveredArray tdcs[kTdcInputs];        // with metadata only: uint64 time stamps
};

inline constexpr const char* kSinkAttribute = "_zorv_sink_api_";
inline constexpr const char* kSinkCapsule = "zorvsdk.sinks.api";
inline constexpr uint32_t kSinkApiVersion = 2;  // 2: fed

// The interface of a native sink. `sink` is the registered object itself (a PyObject*), which the
// acquisition module keeps alive for as long as the SDK may deliver to it.
struct SinkApi {
    uint32_t version;  // kSinkApiVersion
    uint32_t size;     // sizeof(SinkApi)
    // A delivery, on a thread of the SDK, without the interpreter lock: copy or reduce what is
    // needed and return; never block and never touch interpreter objects.
    void (*deliver)(void* sink, const DeliveredData* data) noexcept;
    // An acquisition on a channel registered with this sink has begun (running = 1) or has ended,
    // been aborted or stopped by a close (running = 0). With the interpreter lock held.
    void (*acquiring)(void* sink, int running) noexcept;
    // A registration of this sink has been handed to the SDK, by a registration or a begin (fed = 1),
    // or has been stopped by an end, an abort or a close, or released (fed = 0): once none is fed,
    // the SDK delivers nothing more to the sink, and waits for its deliveries end. With the
    // interpreter lock held.
    void (*fed)(void* sink, int fed) noexcept;
};

}  // namespace zorv

// What a data delivery is made of, declared once for every module that handles deliveries: the
// element types of the arrays (plain integers and the packed record layouts), the delivery kinds
// with the arrays each hands over in the callable's order, and the C-level interface through which
// the acquisition module hands a delivery to a native sink (zorvsdk.sinks) without the interpreter
// lock.
//
// Modules share no native state: a sink type publishes its interface as a capsule named
// kSinkCapsule under the type attribute kSinkAttribute; the acquisition module looks it up when a
// sink is registered and checks its version and size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

// The element type of one array of a delivery: its buffer format (as the buffer protocol states
// it, through which NumPy reads the element type) and its item size in bytes.
struct ElementType {
    const char* format;
    int itemsize;
};

inline constexpr ElementType kU8{"B", 1};
inline constexpr ElementType kU16{"H", 2};
inline constexpr ElementType kU32{"I", 4};
inline constexpr ElementType kU64{"Q", 8};
inline constexpr ElementType kToaTotRecord{"T{^I:address:^I:tot:^Q:toa:}", 16};
inline constexpr ElementType kItotEventRecord{"T{^I:address:^I:itot:^Q:event:}", 16};
inline constexpr ElementType kBinnedRecord{"T{^I:address:^I:count:^I:itot:}", 12};
inline constexpr ElementType kBinDescriptorRecord{"T{^I:offset:^I:packet_count:}", 8};

// The kinds of deliveries, one per data callback of the acquisition module.
enum class DeliveryKind : int {
    SeqToaTot,
    SeqItotEvent,
    SeqToaTotVec,
    SeqItotEventVec,
    DdToaTot,
    DdToaTotVec,
    BinnedPackets,
    BinnedCountSums,
    BinnedItotSums,
    Medipix,
    Raw,
    Count
};

inline constexpr int kMaxArrays = 4;
inline constexpr int kTdcInputs = 3;

// The arrays a kind hands to the callable, in order, and whether a metadata dictionary (shutter
// time and TDC time stamps) follows them.
struct KindInfo {
    const char* name;
    int arrays;
    const ElementType* types[kMaxArrays];
    bool metadata;
};

inline constexpr KindInfo kKinds[int(DeliveryKind::Count)] = {
    {"seq-toa-tot", 1, {&kToaTotRecord}, false},
    {"seq-itot-event", 1, {&kItotEventRecord}, false},
    {"seq-toa-tot-vec", 3, {&kU32, &kU32, &kU16}, false},
    {"seq-itot-event-vec", 3, {&kU32, &kU16, &kU16}, false},
    {"dd-toa-tot", 1, {&kToaTotRecord}, true},
    {"dd-toa-tot-vec", 3, {&kU32, &kU64, &kU16}, true},
    {"binned-packets", 4, {&kBinnedRecord, &kBinDescriptorRecord, &kU64, &kU64}, false},
    {"binned-count-sums", 1, {&kU64}, false},
    {"binned-itot-sums", 1, {&kU64}, false},
    {"medipix", 1, {&kU16}, false},
    {"raw", 1, {&kU8}, false},
};

inline const KindInfo& info(DeliveryKind kind) { return kKinds[int(kind)]; }

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
inline constexpr uint32_t kSinkApiVersion = 1;

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
};

}  // namespace zorv

// The readout modes and what their deliveries hold, declared once for the bindings (zorvsdk/) and
// the virtual device (sim/):
//
// - element types: the plain unsigned integers and the packed records of the SDK's buffers, with
//   their fields and offsets; the buffer format through which NumPy reads each is made from them;
// - delivery kinds: the arrays a delivery of the kind hands over, in the data callable's order,
//   each with its element type and the SDK buffer it is read from, whether a metadata dictionary
//   (shutter time and TDC time stamps) follows them, and what a hit map counts in them;
// - modes: the identifier, its kind, and what the virtual device generates for it.
//
// Adding a readout mode over an existing kind is one row of kModes (and its documentation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace readout {

// ---- element types ----

// A field of a record: its name, its buffer-protocol type code ('B', 'H', 'I', 'Q': unsigned 8, 16,
// 32 and 64 bits, native byte order) and its offset in the record.
struct Field {
    const char* name;
    char code;
    uint32_t offset;
};

constexpr uint32_t code_size(char code) {
    return code == 'B' ? 1 : code == 'H' ? 2 : code == 'I' ? 4 : code == 'Q' ? 8 : 0;
}

inline constexpr int kMaxFields = 3;

// The element type of one array: a plain unsigned integer, or a packed record of such fields (no
// padding: each field lies where the one before it ends). `format` is the buffer-protocol format:
// the type code of a plain type; for a record "T{", then per field "^" (packed), its code, ":", its
// name and ":", then "}".
struct ElementType {
    const char* name;
    int nfields = 0;  // 0: a plain integer
    Field fields[kMaxFields] = {};
    uint32_t itemsize = 0;
    char format[64] = {};

    // A plain unsigned integer.
    constexpr ElementType(const char* n, char code) : name(n), itemsize(code_size(code)) {
        if (!itemsize) throw "an element type's code is one of B, H, I, Q";
        format[0] = code;
    }
    // A packed record. A field that does not start where the one before ends does not compile.
    template <int N>
    constexpr ElementType(const char* n, const Field (&f)[N]) : name(n), nfields(N) {
        static_assert(N >= 1 && N <= kMaxFields);
        int at = 0;
        auto put = [&](char c) {
            if (at + 1 >= int(sizeof format)) throw "a record's format is longer than 63 bytes";
            format[at++] = c;
        };
        put('T');
        put('{');
        for (int i = 0; i < N; ++i) {
            if (f[i].offset != itemsize || !code_size(f[i].code)) throw "a record's fields lie back to back";
            fields[i] = f[i];
            itemsize += code_size(f[i].code);
            put('^');
            put(f[i].code);
            put(':');
            for (const char* c = f[i].name; *c; ++c) put(*c);
            put(':');
        }
        put('}');
    }

    // The field named `n`; one that the record does not have does not compile.
    constexpr const Field& field(std::string_view n) const {
        for (int i = 0; i < nfields; ++i)
            if (n == fields[i].name) return fields[i];
        throw "a record has no field of that name";
    }
};

inline constexpr ElementType kU8{"uint8", 'B'};
inline constexpr ElementType kU16{"uint16", 'H'};
inline constexpr ElementType kU32{"uint32", 'I'};
inline constexpr ElementType kU64{"uint64", 'Q'};
inline constexpr ElementType kToaTotRecord{"toa_tot", {{"address", 'I', 0}, {"tot", 'I', 4}, {"toa", 'Q', 8}}};
inline constexpr ElementType kItotEventRecord{"itot_event", {{"address", 'I', 0}, {"itot", 'I', 4}, {"event", 'Q', 8}}};
inline constexpr ElementType kBinnedRecord{"binned", {{"address", 'I', 0}, {"count", 'I', 4}, {"itot", 'I', 8}}};
inline constexpr ElementType kBinDescriptorRecord{"bin_descriptor", {{"offset", 'I', 0}, {"packet_count", 'I', 4}}};

// Every element type, in this order wherever they are listed.
inline constexpr const ElementType* kElements[] = {&kU8,           &kU16,           &kU32,          &kU64,
                                                   &kToaTotRecord, &kItotEventRecord, &kBinnedRecord,
                                                   &kBinDescriptorRecord};

// The records as C++ writes them (the virtual device): checked against their element types below.
#pragma pack(push, 1)
struct ToaTotRecord {
    uint32_t address, tot;
    uint64_t toa;
};
struct ItotEventRecord {
    uint32_t address, itot;
    uint64_t event;
};
struct BinnedRecord {
    uint32_t address, count, itot;
};
struct BinDescriptorRecord {
    uint32_t offset, packet_count;
};
#pragma pack(pop)

#define READOUT_FIELD(R, T, f) (offsetof(R, f) == T.field(#f).offset && sizeof(R::f) == code_size(T.field(#f).code))
static_assert(sizeof(ToaTotRecord) == kToaTotRecord.itemsize && READOUT_FIELD(ToaTotRecord, kToaTotRecord, address) &&
              READOUT_FIELD(ToaTotRecord, kToaTotRecord, tot) && READOUT_FIELD(ToaTotRecord, kToaTotRecord, toa));
static_assert(sizeof(ItotEventRecord) == kItotEventRecord.itemsize &&
              READOUT_FIELD(ItotEventRecord, kItotEventRecord, address) &&
              READOUT_FIELD(ItotEventRecord, kItotEventRecord, itot) &&
              READOUT_FIELD(ItotEventRecord, kItotEventRecord, event));
static_assert(sizeof(BinnedRecord) == kBinnedRecord.itemsize && READOUT_FIELD(BinnedRecord, kBinnedRecord, address) &&
              READOUT_FIELD(BinnedRecord, kBinnedRecord, count) && READOUT_FIELD(BinnedRecord, kBinnedRecord, itot));
static_assert(sizeof(BinDescriptorRecord) == kBinDescriptorRecord.itemsize &&
              READOUT_FIELD(BinDescriptorRecord, kBinDescriptorRecord, offset) &&
              READOUT_FIELD(BinDescriptorRecord, kBinDescriptorRecord, packet_count));
#undef READOUT_FIELD

// ---- delivery kinds ----

// The SDK buffers a delivery's arrays are read from, each by a count and a buffer getter. The
// vectors share one length (zorv_acq_tpx3_get_vec_length); a frame count counts frames of
// kFrameValues values; the raw data is a byte count and its buffer in one call.
enum class Source : uint8_t {
    Packets,         // zorv_acq_tpx3_get_packet_count, _get_packets
    Addresses,       // zorv_acq_tpx3_get_pixel_address_vec
    Toas,            // zorv_acq_tpx3_get_toa_vec
    Tots,            // zorv_acq_tpx3_get_tot_vec
    Events,          // zorv_acq_tpx3_get_event_vec
    Itots,           // zorv_acq_tpx3_get_itot_vec
    BinDescriptors,  // zorv_acq_meta_get_bin_descriptor_count, _get_bin_descriptors
    BinnedHits,      // zorv_acq_tpx3_get_binned_hitcounters_count, _get_binned_hitcounters
    BinnedItots,     // zorv_acq_tpx3_get_binned_itots_count, _get_binned_itots
    Frames,          // zorv_acq_tpx_get_frame_count, _get_frames
    Raw,             // zorv_acq_raw_get_data
    Count
};

constexpr bool is_vector(Source s) { return s >= Source::Addresses && s <= Source::Itots; }

inline constexpr uint64_t kFrameSide = 256;
inline constexpr uint64_t kFrameValues = kFrameSide * kFrameSide;

// Elements of the array per unit of the SDK's count.
constexpr uint64_t per_count(Source s) { return s == Source::Frames ? kFrameValues : 1; }

// What a hit map counts in the elements of a delivery:
// - Hits: each element is a hit at a pixel address, with its ToT;
// - PixelSums: each element is a pixel address with its hits (events) and summed ToT (iToT);
// - BinSums: element i of the arrays is bin i: its hits and summed iToT;
// - FrameValues: frames of kFrameSide x kFrameSide counter values, value j of a frame at row
//   j / kFrameSide and column j % kFrameSide;
// - Nothing: the data cannot be read (raw bytes of the SDK's own format).
enum class Counts : uint8_t { Nothing, Hits, PixelSums, BinSums, FrameValues };

// A value read from each element: the array at `place` (its element, or the record field
// `field`), or the constants kOne (a hit per element) and kNone (nothing).
struct Value {
    int place;
    const char* field = nullptr;
};
inline constexpr Value kOne{-1}, kNone{-2};

// Where the kind's address, hits and ToT lie; and, for hits, their ToA (what a Clusterer reads).
struct HitRule {
    Counts counts = Counts::Nothing;
    Value address = kNone, hits = kNone, tot = kNone, toa = kNone;
};

inline constexpr int kMaxArrays = 4;
inline constexpr int kTdcInputs = 3;

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

struct KindInfo {
    const char* name;
    int arrays;
    const ElementType* types[kMaxArrays];
    Source sources[kMaxArrays];
    bool metadata;
    HitRule hits;
};

inline constexpr int kKindCount = int(DeliveryKind::Count);

inline constexpr KindInfo kKinds[kKindCount] = {
    {"seq-toa-tot", 1, {&kToaTotRecord}, {Source::Packets}, false,
     {Counts::Hits, {0, "address"}, kOne, {0, "tot"}, {0, "toa"}}},
    {"seq-itot-event", 1, {&kItotEventRecord}, {Source::Packets}, false,
     {Counts::PixelSums, {0, "address"}, {0, "event"}, {0, "itot"}}},
    {"seq-toa-tot-vec", 3, {&kU32, &kU32, &kU16}, {Source::Addresses, Source::Toas, Source::Tots}, false,
     {Counts::Hits, {0}, kOne, {2}, {1}}},
    {"seq-itot-event-vec", 3, {&kU32, &kU16, &kU16}, {Source::Addresses, Source::Events, Source::Itots}, false,
     {Counts::PixelSums, {0}, {1}, {2}}},
    {"dd-toa-tot", 1, {&kToaTotRecord}, {Source::Packets}, true,
     {Counts::Hits, {0, "address"}, kOne, {0, "tot"}, {0, "toa"}}},
    {"dd-toa-tot-vec", 3, {&kU32, &kU64, &kU16}, {Source::Addresses, Source::Toas, Source::Tots}, true,
     {Counts::Hits, {0}, kOne, {2}, {1}}},
    {"binned-packets", 4, {&kBinnedRecord, &kBinDescriptorRecord, &kU64, &kU64},
     {Source::Packets, Source::BinDescriptors, Source::BinnedHits, Source::BinnedItots}, false,
     {Counts::BinSums, kNone, {2}, {3}}},
    {"binned-count-sums", 1, {&kU64}, {Source::BinnedHits}, false, {Counts::BinSums, kNone, {0}, kNone}},
    {"binned-itot-sums", 1, {&kU64}, {Source::BinnedItots}, false, {Counts::BinSums, kNone, kNone, {0}}},
    {"medipix", 1, {&kU16}, {Source::Frames}, false, {Counts::FrameValues, kNone, {0}, kNone}},
    {"raw", 1, {&kU8}, {Source::Raw}, false, {}},
};

constexpr const KindInfo& info(DeliveryKind kind) { return kKinds[int(kind)]; }

// Where a hit rule's value lies: `width` bytes at `offset` in elements of `stride` bytes of the
// array at `place` (a negative place: the constant kOne or kNone).
struct Located {
    int place;
    uint32_t width, offset, stride;
};

constexpr Located locate(const KindInfo& k, Value v) {
    if (v.place < 0) return {v.place, 0, 0, 0};
    if (v.place >= k.arrays) throw "a hit rule reads an array the kind does not have";
    const ElementType& t = *k.types[v.place];
    if (!v.field) {
        if (t.nfields) throw "a hit rule reads a field of a record, not the whole record";
        return {v.place, t.itemsize, 0, t.itemsize};
    }
    const Field& f = t.field(v.field);
    return {v.place, code_size(f.code), f.offset, t.itemsize};
}

// The largest element of any delivery, in bytes.
constexpr uint32_t largest_element() {
    uint32_t most = 0;
    for (const ElementType* t : kElements) most = t->itemsize > most ? t->itemsize : most;
    return most;
}

// ---- readout modes ----

// What the virtual device generates for a mode, laid out as the mode's kind reads it: the hits as
// they were detected (time-ordered), per pixel its hit count and summed ToT, per bin of the
// selected binning its hit count and summed ToT (and the pixels grouped by bin, where the kind
// has packets), or per chip a frame of hit counts. None: no readout mode (the raw key).
enum class Generates : uint8_t { None, Hits, PixelSums, BinSums, Frames };

struct Mode {
    const char* id;  // as the SDK lists it (getModeIds), with its "0:"
    DeliveryKind kind;
    Generates generates;

    constexpr const KindInfo& kind_info() const { return info(kind); }
};

// The key of every raw registration, whatever mode is selected: not a mode of the device.
inline constexpr const char* kRawKey = "0:raw-data";

// In the order the virtual device lists its modes; the raw key among them, as the acquisition
// module's table has it.
inline constexpr Mode kModes[] = {
    {"0:tpx3-seq-toa-tot", DeliveryKind::SeqToaTot, Generates::Hits},
    {"0:tpx3-seq-toa-tot-vec", DeliveryKind::SeqToaTotVec, Generates::Hits},
    {"0:tpx3-seq-itot-event", DeliveryKind::SeqItotEvent, Generates::PixelSums},
    {"0:tpx3-seq-itot-event-vec", DeliveryKind::SeqItotEventVec, Generates::PixelSums},
    {"0:tpx3-dd-toa-tot-vec", DeliveryKind::DdToaTotVec, Generates::Hits},
    {"0:tpx3-dd-toa-tot", DeliveryKind::DdToaTot, Generates::Hits},
    {"0:tpx-medipix", DeliveryKind::Medipix, Generates::Frames},
    {kRawKey, DeliveryKind::Raw, Generates::None},
    {"0:tpx3-sorted-dd-toa-tot", DeliveryKind::DdToaTot, Generates::Hits},
    {"0:tpx3-binned-packets", DeliveryKind::BinnedPackets, Generates::BinSums},
    {"0:tpx3-binned-count-sums", DeliveryKind::BinnedCountSums, Generates::BinSums},
    {"0:tpx3-binned-itot-sums", DeliveryKind::BinnedItotSums, Generates::BinSums},
};

// The mode of an identifier, or null.
constexpr const Mode* find_mode(std::string_view id) {
    for (const Mode& m : kModes)
        if (id == m.id) return &m;
    return nullptr;
}

// What the device generates is what the kind's arrays can hold.
constexpr bool generates_fit() {
    for (const Mode& m : kModes) {
        const Counts c = m.kind_info().hits.counts;
        const Generates g = m.generates;
        if (!(g == Generates::None ? c == Counts::Nothing
              : g == Generates::Hits ? c == Counts::Hits
              : g == Generates::PixelSums ? c == Counts::PixelSums
              : g == Generates::BinSums ? c == Counts::BinSums
                                        : c == Counts::FrameValues))
            return false;
    }
    return true;
}
static_assert(generates_fit(), "a mode generates what its kind cannot hold");

// The hit rules read what their kinds hold (locate() does not compile otherwise).
constexpr bool rules_located() {
    for (const KindInfo& k : kKinds) {
        locate(k, k.hits.address);
        locate(k, k.hits.hits);
        locate(k, k.hits.tot);
        locate(k, k.hits.toa);
        if ((k.hits.counts == Counts::Hits) != (k.hits.toa.place >= 0)) throw "the kinds of hits, and only they, have a ToA";
    }
    return true;
}
static_assert(rules_located());

// Bytes of one unit of the SDK's count of `source` in a delivery of `kind` (an element, or a
// frame); for a kind that does not read that buffer (or none given), the largest any kind reads.
constexpr uint64_t unit_bytes(Source source, const KindInfo* kind = nullptr) {
    uint64_t widest = 0;
    for (const KindInfo& k : kKinds)
        for (int i = 0; i < k.arrays; ++i)
            if (k.sources[i] == source) {
                const uint64_t bytes = k.types[i]->itemsize * per_count(source);
                if (&k == kind) return bytes;
                widest = bytes > widest ? bytes : widest;
            }
    return widest;
}

}  // namespace readout

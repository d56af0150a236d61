#include "ev44.hpp"

#include <cstring>

namespace zorv::stream {

namespace {

// Where each part of the flatbuffer lies. Offsets within a flatbuffer point forward (from a
// table's field to its vector) or, for the table's vtable, backward; every scalar lies at a
// multiple of its size from the buffer's start, as verifiers require.
//
//   0  uint32  the root table's offset (kTable)
//   4  "ev44"  the file identifier
//   8  vtable: its size (16), the table's size (36), the six fields' offsets in the table
//  24  table: int32 to the vtable (16), padding, int64 message_id at +8, then the uint32
//      offsets of source_name (+16), reference_time (+20), reference_time_index (+24),
//      time_of_flight (+28) and pixel_id (+32)
//  60  the vectors, each a uint32 length and its elements (int64 ones at a multiple of 8), and
//      the source name (length, bytes, NUL)
constexpr uint32_t kVtable = 8, kTable = 24, kTableSize = 36, kFields = 6;
constexpr uint16_t kFieldAt[kFields] = {16, 8, 20, 24, 28, 32};  // in the schema's order
enum Field { kSource, kMessageId, kReferenceTime, kReferenceIndex, kTimeOfFlight, kPixelId };

struct Layout {
    size_t reference_time, reference_index, time_of_flight, pixel_id, source, end;
};

size_t align(size_t at, size_t to) { return (at + to - 1) / to * to; }

Layout layout_of(const Batch& b, const std::string& source) {
    Layout l{};
    l.reference_time = align(kTable + kTableSize + 4, 8) - 4;  // the elements at a multiple of 8
    l.reference_index = l.reference_time + 4 + 8 * b.reference_time.size();
    l.time_of_flight = l.reference_index + 4 + 4 * b.reference_index.size();
    l.pixel_id = l.time_of_flight + 4 + 4 * b.time_of_flight.size();
    l.source = l.pixel_id + 4 + 4 * b.pixel_id.size();
    l.end = align(l.source + 4 + source.size() + 1, 8);
    return l;
}

template <class T>
void put(unsigned char* out, size_t at, T v) {
    std::memcpy(out + at, &v, sizeof v);  // the target is little-endian, as flatbuffers are
}

template <class T>
void put_vector(unsigned char* out, size_t at, const std::vector<T>& v) {
    put(out, at, uint32_t(v.size()));
    if (!v.empty()) std::memcpy(out + at + 4, v.data(), v.size() * sizeof(T));
}

}  // namespace

Batch::Batch(size_t capacity) {
    time_of_flight.reserve(capacity);
    pixel_id.reserve(capacity);
    tot.reserve(capacity);
    reference_time.reserve(1024);
    reference_index.reserve(1024);
}

void Batch::clear() {
    reference_time.clear();
    reference_index.clear();
    time_of_flight.clear();
    pixel_id.clear();
    tot.clear();
    tot_max = 0;
    flags = 0;
}

size_t ev44_size(const Batch& b, const std::string& source) { return layout_of(b, source).end; }

void write_ev44(const Batch& b, const std::string& source, unsigned char* out) {
    const Layout l = layout_of(b, source);
    std::memset(out, 0, l.reference_time);
    put(out, 0, kTable);
    std::memcpy(out + 4, "ev44", 4);
    put(out, kVtable, uint16_t(4 + 2 * kFields));
    put(out, kVtable + 2, uint16_t(kTableSize));
    for (uint32_t f = 0; f < kFields; ++f) put(out, kVtable + 4 + 2 * f, kFieldAt[f]);
    put(out, kTable, int32_t(kTable - kVtable));
    put(out, kTable + kFieldAt[kMessageId], int64_t(b.id));
    const size_t targets[] = {l.source, 0, l.reference_time, l.reference_index, l.time_of_flight, l.pixel_id};
    for (uint32_t f = 0; f < kFields; ++f)
        if (f != kMessageId) put(out, kTable + kFieldAt[f], uint32_t(targets[f] - (kTable + kFieldAt[f])));
    put_vector(out, l.reference_time, b.reference_time);
    put_vector(out, l.reference_index, b.reference_index);
    put_vector(out, l.time_of_flight, b.time_of_flight);
    put_vector(out, l.pixel_id, b.pixel_id);
    put(out, l.source, uint32_t(source.size()));
    std::memcpy(out + l.source + 4, source.data(), source.size());
    std::memset(out + l.source + 4 + source.size(), 0, l.end - (l.source + 4 + source.size()));
}

size_t tot_size(const Batch& b) { return kTotHeader + b.hits() * (b.tot_max > 0xFFFF ? 4 : 2); }

void write_tot(const Batch& b, uint32_t width, uint32_t height, unsigned char* out) {
    const bool wide = b.tot_max > 0xFFFF;
    std::memcpy(out, kTotMagic, 4);
    put(out, 4, kTotVersion);
    put(out, 6, uint16_t(wide ? 4 : 2));
    put(out, 8, uint32_t(b.hits()));
    put(out, 12, b.flags);
    put(out, 16, b.id);
    put(out, 24, width);
    put(out, 28, height);
    unsigned char* values = out + kTotHeader;
    if (wide) {
        std::memcpy(values, b.tot.data(), b.hits() * 4);
    } else {
        for (size_t i = 0; i < b.hits(); ++i) put(values, 2 * i, uint16_t(b.tot[i]));
    }
}

}  // namespace zorv::stream

// The messages of the event stream: a batch of hits as the SDK's threads fill it, and its two
// frames on the wire: an ev44 flatbuffer (written here by hand, without a flatbuffers library) and
// the companion frame with the hits' ToT. The layout is docs/stream.md's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorv::stream {

// The companion frame's header (little-endian), then `hits` ToT values of `tot_bytes` each.
inline constexpr char kTotMagic[4] = {'z', 't', 'o', 't'};
inline constexpr uint16_t kTotVersion = 1;
inline constexpr size_t kTotHeader = 32;
inline constexpr uint32_t kContinues = 1;  // flags: the first reference goes on with the last of the message before

// The hits of one message, column by column, with room for `capacity` hits reserved once.
struct Batch {
    std::vector<int64_t> reference_time;   // ns, one per reference
    std::vector<int32_t> reference_index;  // the reference's first hit
    std::vector<int32_t> time_of_flight;   // ns after the hit's reference
    std::vector<int32_t> pixel_id;         // y * width + x
    std::vector<uint32_t> tot;             // ticks of the chip
    uint32_t tot_max = 0;
    uint32_t flags = 0;
    uint64_t id = 0;

    explicit Batch(size_t capacity);
    size_t hits() const { return pixel_id.size(); }
    void clear();
};

// The sizes of the two frames of a batch, and the frames written into memory of those sizes.
size_t ev44_size(const Batch& b, const std::string& source);
void write_ev44(const Batch& b, const std::string& source, unsigned char* out);
size_t tot_size(const Batch& b);
void write_tot(const Batch& b, uint32_t width, uint32_t height, unsigned char* out);

}  // namespace zorv::stream

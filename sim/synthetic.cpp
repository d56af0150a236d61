// Virtual device: the synthetic detector.
//
// Pixel addresses number the pixels of the whole detector row by row: y * width + x, with x and y
// the pixel's column and row on the detector (the chip grid laid out row-major, chip by chip).
#include "synthetic.hpp"

#include "readout/modes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

// The SDK buffer a slot holds (readout::Source::Count: the TDC time stamps).
readout::Source source_of(Slot slot) {
    using readout::Source;
    static constexpr Source kSources[kSlots] = {
        Source::Packets, Source::Addresses,      Source::Toas,       Source::Tots,        Source::Events,
        Source::Itots,   Source::Count,          Source::Count,      Source::Count,       Source::BinDescriptors,
        Source::BinnedHits, Source::BinnedItots, Source::Frames,     Source::Raw,
    };
    return kSources[slot];
}

}  // namespace

uint64_t record_size(Slot slot, const std::string& mode) {
    const readout::Source source = source_of(slot);
    if (source == readout::Source::Count) return sizeof(uint64_t);  // a TDC time stamp
    const readout::Mode* m = readout::find_mode(mode);
    return readout::unit_bytes(source, m ? &m->kind_info() : nullptr);
}

namespace {

// ---- random numbers: xoshiro256** seeded through splitmix64 ----

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& v : s_) v = splitmix(seed);
    }
    uint64_t next() {
        uint64_t result = rotl(s_[1] * 5, 7) * 9;
        uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    uint64_t below(uint64_t n) { return n ? uint64_t(uniform() * double(n)) % n : 0; }
    double normal() {
        double u = 1.0 - uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
    double exponential(double mean) { return -mean * std::log(1.0 - uniform()); }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

// ---- stopping a build ----

// Thrown out of a build whose acquisition was stopped meanwhile.
struct Stopped {};

// Looks at the stop flag, in the inner loops of a build: a flag that nobody writes stays in the
// cache, so a look costs about as little as a counter would.
class StopCheck {
public:
    explicit StopCheck(const std::atomic<bool>& stop) : stop_(stop) {}
    void operator()() const {
        if (stop_.load(std::memory_order_relaxed)) throw Stopped{};
    }

private:
    const std::atomic<bool>& stop_;
};

// ---- hits ----

struct Hit {
    uint64_t toa;
    uint32_t address;
    uint32_t tot;
};

// The chip of a detector pixel (its place on the grid), or -1 where the grid has no chip.
int chip_at(const SynthConfig& c, long x, long y) {
    long i = (y / c.chipHeight) * std::max(1, c.chipsPerRow) + x / c.chipWidth;
    return i < long(c.chipResponse.size()) ? int(i) : -1;
}

uint32_t address_of(const SynthConfig& c, long x, long y) {
    return uint32_t(uint64_t(y) * uint64_t(c.width) + uint64_t(x));
}

bool masked(const SynthConfig& c, uint32_t address) { return address < c.masked.size() && c.masked[address]; }

struct Clusters {
    const SynthConfig& c;
    Rng& rng;
    std::vector<Hit>& hits;
    uint64_t deposits = 0;  // pixel deposits so far, recorded or not: hitsPerDelivery of them

    // A pixel records `kev` arriving at `t`: ToT through its chip's calibration with a little
    // noise (1 to 1023 ticks), and ToA with a time walk that is longer for small signals. The
    // random parts are drawn whether the pixel records or not, so that every setting sees the
    // same deposits.
    void record(uint32_t address, double kev, const TotCalibration* cal, uint64_t t) {
        double spread = 1.5 * rng.normal();
        uint64_t jitter = rng.below(4);
        if (!cal) return;
        long tot = std::clamp(std::lround(tot_ticks(*cal, kev) + spread), 1L, 1023L);
        uint64_t walk = uint64_t(std::min(200.0, 60.0 / std::max(kev, 0.3))) + jitter;
        hits.push_back({t + walk, address, uint32_t(tot)});
    }

    // A deposit of `kev` in a pixel: it counts against the delivery's deposits, and is recorded
    // when the pixel lies on a chip whose polarity matches the carriers, is not masked, and the
    // charge the sensor collects reaches the chip's threshold.
    void pixel(long x, long y, double kev, uint64_t t) {
        if (x < 0 || y < 0 || x >= c.width || y >= c.height || deposits >= c.hits) return;
        ++deposits;
        int chip = chip_at(c, x, y);
        const ChipResponse* r = chip < 0 ? nullptr : &c.chipResponse[size_t(chip)];
        double collected = kev * c.collection;
        uint32_t address = address_of(c, x, y);
        bool recorded = r && r->live && collected > 0 && collected >= r->threshold && !masked(c, address);
        record(address, collected, recorded ? &r->tot : nullptr, t);
    }

    // A photon of one of three lines (8.0, 17.5 and 59.5 keV), its charge shared among up to four
    // neighbouring pixels.
    void photon(uint64_t t) {
        static const int kNeighbours[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
        double u = rng.uniform();
        double kev = (u < 0.6 ? 8.04 : u < 0.85 ? 17.48 : 59.54) + 0.3 * rng.normal();
        long x = long(rng.below(uint64_t(c.width))), y = long(rng.below(uint64_t(c.height)));
        double v = rng.uniform();
        int n = v < 0.55 ? 1 : v < 0.85 ? 2 : v < 0.95 ? 3 : 4;
        double w[4] = {1.0, 0, 0, 0}, sum = 1.0;
        for (int i = 1; i < n; ++i) sum += (w[i] = 0.1 + 0.5 * rng.uniform());
        int first = int(rng.below(8));
        pixel(x, y, kev * w[0] / sum, t);
        for (int i = 1; i < n; ++i) {
            const int* d = kNeighbours[(first + i) % 8];
            pixel(x + d[0], y + d[1], kev * w[i] / sum, t);
        }
    }

    // A heavy particle of about 5 MeV: a round blob of 1.5 to 3.5 pixels radius, brightest at its
    // centre (most pixels saturate).
    void blob(uint64_t t) {
        double r = 1.5 + 2.0 * rng.uniform(), sigma = r / 1.5;
        double kev = 5000.0 + 300.0 * rng.normal();
        double cx = rng.uniform() * c.width, cy = rng.uniform() * c.height;
        long x0 = long(std::floor(cx - r)), x1 = long(std::floor(cx + r));
        long y0 = long(std::floor(cy - r)), y1 = long(std::floor(cy + r));
        double w[100];
        long px[100], py[100];
        int n = 0;
        double sum = 0;
        for (long y = y0; y <= y1; ++y)
            for (long x = x0; x <= x1 && n < 100; ++x) {
                double dx = x + 0.5 - cx, dy = y + 0.5 - cy, d2 = dx * dx + dy * dy;
                if (d2 > r * r) continue;
                w[n] = std::exp(-d2 / (2 * sigma * sigma));
                sum += w[n];
                px[n] = x;
                py[n++] = y;
            }
        for (int i = 0; i < n; ++i) pixel(px[i], py[i], kev * w[i] / sum, t);
    }

    // A minimum-ionising particle crossing the sensor: a straight track of 8 to 108 pixels in any
    // direction, 14 keV and an exponential tail per pixel.
    void track(uint64_t t) {
        double length = 8.0 + 100.0 * rng.uniform(), angle = 6.283185307179586 * rng.uniform();
        double dx = std::cos(angle), dy = std::sin(angle);
        double x = rng.uniform() * c.width, y = rng.uniform() * c.height;
        long lastX = -1, lastY = -1;
        for (int i = 0, steps = int(2 * length); i <= steps; ++i) {
            long ix = long(std::floor(x + 0.5 * i * dx)), iy = long(std::floor(y + 0.5 * i * dy));
            if (ix == lastX && iy == lastY) continue;
            lastX = ix;
            lastY = iy;
            pixel(ix, iy, 14.0 + rng.exponential(8.0), t + rng.below(24));
        }
    }
};

// A count of events with mean `mean`.
uint64_t poisson(Rng& rng, double mean) {
    if (!(mean > 0)) return 0;
    if (mean > 30) return uint64_t(std::max(0.0, std::round(mean + std::sqrt(mean) * rng.normal())));
    double limit = std::exp(-mean), p = rng.uniform();
    uint64_t n = 0;
    while (p > limit) {
        p *= rng.uniform();
        ++n;
    }
    return n;
}

// Firing rate per second of a pixel at threshold `kev` with noise `sigma`.
double noise_rate(double peak, double kev, double sigma) {
    return sigma > 0 ? peak * std::exp(-kev * kev / (2 * sigma * sigma)) : 0.0;
}

// Mean noise hits of one delivery by chip (unscaled) and of the hot pixels, and the factor that
// keeps their sum within the readout's limit.
struct NoiseBudget {
    std::vector<double> chip;
    std::vector<double> hot;
    double scale = 1;

    explicit NoiseBudget(const SynthConfig& c) : chip(c.chipResponse.size()), hot(c.hotPixels.size()) {
        if (!(c.collection > 0) || c.width <= 0 || c.height <= 0 || c.chipWidth <= 0 || c.chipHeight <= 0)
            return;  // an unbiased sensor records nothing
        const double seconds = double(c.span) / kTicksPerSecond;
        const double pixels = double(c.chipWidth) * double(c.chipHeight);
        double total = 0;
        for (size_t i = 0; i < chip.size(); ++i) {
            const ChipResponse& r = c.chipResponse[i];
            if (r.live) total += chip[i] = noise_rate(kNoiseRate, r.threshold, r.noise) * pixels * seconds;
        }
        for (size_t k = 0; k < hot.size(); ++k) {
            uint32_t a = c.hotPixels[k];
            int i = chip_at(c, long(a % uint32_t(c.width)), long(a / uint32_t(c.width)));
            if (a >= uint64_t(c.width) * uint64_t(c.height) || i < 0) continue;
            const ChipResponse& r = c.chipResponse[size_t(i)];
            if (r.live) total += hot[k] = noise_rate(kHotRate, r.threshold, kHotNoiseFactor * r.noise) * seconds;
        }
        if (total > kMaxNoise) scale = kMaxNoise / total;
    }
    double total() const {
        double t = 0;
        for (double m : chip) t += m;
        for (double m : hot) t += m;
        return t * scale;
    }
};

// Noise hits in [start, start + window): the pixels of each chip fire at random, the hot pixels
// more often; masked pixels stay silent. A noise hit's charge lies just above the threshold.
void noise(const SynthConfig& c, uint64_t start, uint64_t window, Rng& rng, Clusters& g) {
    NoiseBudget budget(c);
    auto fire = [&](uint32_t address, const ChipResponse& r, double sigma) {
        if (masked(c, address)) return;
        double kev = std::max(r.threshold, 0.0) + sigma * std::fabs(rng.normal()) * 0.5;
        g.record(address, kev, &r.tot, start + rng.below(window));
    };
    int perRow = std::max(1, c.chipsPerRow);
    for (size_t i = 0; i < budget.chip.size(); ++i) {
        long ox = long(i % size_t(perRow)) * c.chipWidth, oy = long(i / size_t(perRow)) * c.chipHeight;
        const ChipResponse& r = c.chipResponse[i];
        for (uint64_t n = poisson(rng, budget.chip[i] * budget.scale); n > 0; --n) {
            long x = ox + long(rng.below(uint64_t(c.chipWidth))), y = oy + long(rng.below(uint64_t(c.chipHeight)));
            if (x < c.width && y < c.height) fire(address_of(c, x, y), r, r.noise);
        }
    }
    for (size_t k = 0; k < budget.hot.size(); ++k) {
        uint32_t a = c.hotPixels[k];
        if (!(budget.hot[k] > 0)) continue;
        const ChipResponse& r = c.chipResponse[size_t(chip_at(c, long(a % uint32_t(c.width)), long(a / uint32_t(c.width))))];
        for (uint64_t n = poisson(rng, budget.hot[k] * budget.scale); n > 0; --n) fire(a, r, kHotNoiseFactor * r.noise);
    }
}

// The hits of one delivery with ToA in [start, start + span), sorted by time (then address): the
// clusters that make hitsPerDelivery deposits, as the settings record them, and the noise.
void make_hits(const SynthConfig& c, uint64_t start, Rng& rng, std::vector<Hit>& hits, StopCheck& check) {
    hits.clear();
    if (c.width <= 0 || c.height <= 0 || c.chipWidth <= 0 || c.chipHeight <= 0) return;
    hits.reserve(size_t(c.hits + uint64_t(expected_noise(c) * 1.1) + 256));
    const uint64_t guard = 256;  // room for time walk and track jitter before the block ends
    uint64_t window = c.span > 2 * guard ? c.span - guard : 1;
    double total = c.photons + c.blobs + c.tracks;
    if (!(total > 0)) total = 1;
    Clusters g{c, rng, hits};
    while (g.deposits < c.hits) {
        check();
        uint64_t t = start + rng.below(window);
        double u = rng.uniform() * total;
        if (u < c.photons) g.photon(t);
        else if (u < c.photons + c.blobs) g.blob(t);
        else g.track(t);
    }
    noise(c, start, window, rng, g);
    std::sort(hits.begin(), hits.end(), [&](const Hit& a, const Hit& b) {
        check();
        return a.toa != b.toa ? a.toa < b.toa : a.address < b.address;
    });
}

// ---- layouts ----

unsigned char* alloc(Block& b, Slot s, uint64_t count, uint64_t record, Patch patch) {
    b.count[s] = count;
    b.bytes[s] = count * record;
    b.patch[s] = patch;
    b.data[s].assign((b.bytes[s] + 7) / 8, 0);
    return reinterpret_cast<unsigned char*>(b.data[s].data());
}

template <class T>
void put(unsigned char* p, uint64_t index, T v) {
    std::memcpy(p + index * sizeof(T), &v, sizeof(T));
}

using readout::BinnedRecord;
using readout::ItotEventRecord;
using readout::ToaTotRecord;

void toa_tot_records(Block& b, Slot s, const std::vector<Hit>& hits, StopCheck& check) {
    unsigned char* p = alloc(b, s, hits.size(), 16, Patch::ToaTotRecords);
    for (size_t i = 0; i < hits.size(); ++i) {
        check();
        put(p, i, ToaTotRecord{hits[i].address, hits[i].tot, hits[i].toa});
    }
}

enum class Kind { ToaTot, ToaTotVec32, ToaTotVec64, ItotEvent, ItotEventVec, BinnedPackets, BinnedCounts, BinnedItots, Frames };

// The layout of a mode: what the table says it generates, laid out as its kind reads it. A mode
// the table does not know delivers the ToA/ToT packets of its hits.
Kind kind_of(const std::string& mode) {
    using readout::Generates;
    using readout::Source;
    const readout::Mode* m = readout::find_mode(mode);
    if (!m) return Kind::ToaTot;
    const readout::KindInfo& k = m->kind_info();
    const bool vectors = readout::is_vector(k.sources[0]);
    switch (m->generates) {
    case Generates::PixelSums: return vectors ? Kind::ItotEventVec : Kind::ItotEvent;
    case Generates::BinSums:
        return k.sources[0] == Source::Packets      ? Kind::BinnedPackets
               : k.sources[0] == Source::BinnedHits ? Kind::BinnedCounts
                                                    : Kind::BinnedItots;
    case Generates::Frames: return Kind::Frames;
    default:
        if (!vectors) return Kind::ToaTot;
        return readout::unit_bytes(Source::Toas, &k) == sizeof(uint32_t) ? Kind::ToaTotVec32 : Kind::ToaTotVec64;
    }
}

// Hits and summed ToT per pixel of the detector.
struct PixelSums {
    std::vector<uint32_t> count;
    std::vector<uint64_t> itot;
    PixelSums(const SynthConfig& c, const std::vector<Hit>& hits, StopCheck& check)
        : count(size_t(c.width) * size_t(c.height)), itot(count.size()) {
        for (const Hit& h : hits) {
            check();
            ++count[h.address];
            itot[h.address] += h.tot;
        }
    }
};

uint32_t sat32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }
uint16_t sat16(uint64_t v) { return v > UINT16_MAX ? UINT16_MAX : uint16_t(v); }

void itot_event(Block& b, const SynthConfig& c, const std::vector<Hit>& hits, bool vectors, StopCheck& check) {
    PixelSums sums(c, hits, check);
    uint64_t n = 0;
    for (uint32_t k : sums.count) n += k ? 1 : 0;
    Slot records = vectors ? kRaw : kPackets;
    unsigned char* p = alloc(b, records, n, 16, Patch::None);
    unsigned char *addr = nullptr, *event = nullptr, *itot = nullptr;
    if (vectors) {
        addr = alloc(b, kAddress, n, 4, Patch::None);
        event = alloc(b, kEvent, n, 2, Patch::None);
        itot = alloc(b, kItot, n, 2, Patch::None);
        b.vecLength = n;
    }
    uint64_t i = 0;
    for (size_t a = 0; a < sums.count.size(); ++a) {
        if (!sums.count[a]) continue;
        put(p, i, ItotEventRecord{uint32_t(a), sat32(sums.itot[a]), sums.count[a]});
        if (vectors) {
            put(addr, i, uint32_t(a));
            put(event, i, sat16(sums.count[a]));
            put(itot, i, sat16(sums.itot[a]));
        }
        ++i;
    }
    b.count[kRaw] = b.bytes[kRaw];
}

// Bins of binWidth x binHeight pixels over the whole detector, row by row.
void binned(Block& b, const SynthConfig& c, const std::vector<Hit>& hits, Kind kind, StopCheck& check) {
    PixelSums sums(c, hits, check);
    int bw = int(std::max<uint32_t>(1, c.binWidth)), bh = int(std::max<uint32_t>(1, c.binHeight));
    int columns = c.width / bw, rows = c.height / bh;
    uint64_t bins = uint64_t(std::max(0, columns)) * uint64_t(std::max(0, rows));
    unsigned char* counters = kind != Kind::BinnedItots ? alloc(b, kHitcounters, bins, 8, Patch::None) : nullptr;
    unsigned char* itots = kind != Kind::BinnedCounts ? alloc(b, kItots, bins, 8, Patch::None) : nullptr;
    unsigned char *packets = nullptr, *descriptors = nullptr;
    if (kind == Kind::BinnedPackets) {
        uint64_t n = 0;
        for (uint32_t k : sums.count) n += k ? 1 : 0;
        packets = alloc(b, kPackets, n, 12, Patch::None);
        descriptors = alloc(b, kDescriptors, bins, 8, Patch::None);
    }
    uint64_t bin = 0, next = 0;
    for (int r = 0; r < rows; ++r)
        for (int col = 0; col < columns; ++col, ++bin) {
            uint64_t first = next, count = 0, itot = 0;
            for (int y = r * bh; y < (r + 1) * bh; ++y)
                for (int x = col * bw; x < (col + 1) * bw; ++x) {
                    size_t a = size_t(y) * size_t(c.width) + size_t(x);
                    if (!sums.count[a]) continue;
                    count += sums.count[a];
                    itot += sums.itot[a];
                    if (packets) put(packets, next++, BinnedRecord{uint32_t(a), sums.count[a], sat32(sums.itot[a])});
                }
            if (counters) put(counters, bin, count);
            if (itots) put(itots, bin, itot);
            if (descriptors) {
                put(descriptors, 2 * bin, uint32_t(first));
                put(descriptors, 2 * bin + 1, uint32_t(next - first));
            }
        }
}

// One frame of 256 x 256 counts per chip, in chip order; a chip larger than a frame is cropped.
void frames(Block& b, const SynthConfig& c, const std::vector<Hit>& hits, StopCheck& check) {
    PixelSums sums(c, hits, check);
    unsigned char* p = alloc(b, kFrames, uint64_t(std::max(0, c.chips)), 256 * 256 * 2, Patch::None);
    int perRow = std::max(1, c.chipsPerRow);
    for (int chip = 0; chip < c.chips; ++chip) {
        int ox = (chip % perRow) * c.chipWidth, oy = (chip / perRow) * c.chipHeight;
        for (int y = 0; y < std::min(256, c.chipHeight); ++y)
            for (int x = 0; x < std::min(256, c.chipWidth); ++x) {
                size_t a = size_t(oy + y) * size_t(c.width) + size_t(ox + x);
                if (a < sums.count.size() && sums.count[a])
                    put(p, uint64_t(chip) * 65536 + uint64_t(y) * 256 + uint64_t(x), sat16(sums.count[a]));
            }
    }
}

void tdcs(Block& b, const SynthConfig& c, uint64_t start, Rng& rng) {
    for (int i = 0; i < 3; ++i) {
        std::vector<uint64_t> stamps(size_t(std::max(0, c.tdc[i])));
        for (auto& s : stamps) s = start + rng.below(c.span);
        std::sort(stamps.begin(), stamps.end());
        unsigned char* p = alloc(b, Slot(kTdc0 + i), stamps.size(), 8, Patch::U64);
        for (size_t k = 0; k < stamps.size(); ++k) put(p, k, stamps[k]);
    }
}

void build_block(Block& b, const SynthConfig& c, uint64_t start, Rng& rng, std::vector<Hit>& hits,
                 StopCheck& check) {
    make_hits(c, start, rng, hits, check);
    switch (Kind kind = kind_of(c.mode)) {
    case Kind::ToaTot: toa_tot_records(b, kPackets, hits, check); break;
    case Kind::ToaTotVec32:
    case Kind::ToaTotVec64: {
        bool wide = kind == Kind::ToaTotVec64;
        unsigned char* addr = alloc(b, kAddress, hits.size(), 4, Patch::None);
        unsigned char* toa = alloc(b, kToa, hits.size(), wide ? 8 : 4, wide ? Patch::U64 : Patch::U32);
        unsigned char* tot = alloc(b, kTot, hits.size(), 2, Patch::None);
        for (size_t i = 0; i < hits.size(); ++i) {
            check();
            put(addr, i, hits[i].address);
            if (wide) put(toa, i, hits[i].toa);
            else put(toa, i, uint32_t(hits[i].toa));
            put(tot, i, uint16_t(hits[i].tot));
        }
        b.vecLength = hits.size();
        toa_tot_records(b, kRaw, hits, check);
        b.count[kRaw] = b.bytes[kRaw];
        break;
    }
    case Kind::ItotEvent: itot_event(b, c, hits, false, check); break;
    case Kind::ItotEventVec: itot_event(b, c, hits, true, check); break;
    case Kind::BinnedPackets:
    case Kind::BinnedCounts:
    case Kind::BinnedItots: binned(b, c, hits, kind, check); break;
    case Kind::Frames: frames(b, c, hits, check); break;
    }
    tdcs(b, c, start, rng);
}

Slot raw_source(const std::string& mode) {
    switch (kind_of(mode)) {
    case Kind::ToaTotVec32:
    case Kind::ToaTotVec64:
    case Kind::ItotEventVec: return kRaw;
    case Kind::BinnedCounts: return kHitcounters;
    case Kind::BinnedItots: return kItots;
    case Kind::Frames: return kFrames;
    default: return kPackets;
    }
}

}  // namespace

double tot_ticks(const TotCalibration& cal, double kev) {
    if (!(kev > cal.t)) return 0;
    return std::max(0.0, cal.a * kev + cal.b - cal.c / (kev - cal.t));
}

double tot_kev(const TotCalibration& cal, double tot) {
    // a E^2 + (b - a t - tot) E + (tot t - b t - c) = 0
    double p = cal.b - cal.a * cal.t - tot, q = tot * cal.t - cal.b * cal.t - cal.c;
    return (-p + std::sqrt(std::max(0.0, p * p - 4 * cal.a * q))) / (2 * cal.a);
}

double expected_noise(const SynthConfig& c) { return NoiseBudget(c).total(); }

std::shared_ptr<const Synth> build_synth(const SynthConfig& config, const std::atomic<bool>& stop) {
    auto s = std::make_shared<Synth>();
    s->config = config;
    s->rawFrom = raw_source(config.mode);
    s->blocks.resize(size_t(std::max(1, config.blocks)));
    std::vector<Hit> hits;
    StopCheck check(stop);
    try {
        for (size_t i = 0; i < s->blocks.size(); ++i) {
            if (stop.load()) return nullptr;
            Rng rng(config.seed * 0x9E3779B97F4A7C15ull + i);
            build_block(s->blocks[i], config, uint64_t(i) * config.span, rng, hits, check);
            for (int k = 0; k < kSlots; ++k) s->maxBytes[k] = std::max(s->maxBytes[k], s->blocks[i].bytes[k]);
        }
    } catch (const Stopped&) {
        return nullptr;
    }
    return s;
}

namespace {

// Copies the records R of `bytes` from `src` to `out`, moving each on in time with `move_on`.
template <class R, class F>
void move_records(unsigned char* out, const unsigned char* src, uint64_t bytes, F move_on) {
    for (uint64_t i = 0; i < bytes / sizeof(R); ++i) {
        R r;
        std::memcpy(&r, src + sizeof(R) * i, sizeof(R));
        move_on(r);
        std::memcpy(out + sizeof(R) * i, &r, sizeof(R));
    }
}

}  // namespace

void replay(const Block& block, Slot slot, uint64_t offset, void* dst) {
    const auto* src = reinterpret_cast<const unsigned char*>(block.data[slot].data());
    auto* out = static_cast<unsigned char*>(dst);
    uint64_t bytes = block.bytes[slot];
    switch (offset ? block.patch[slot] : Patch::None) {
    case Patch::None: std::memcpy(out, src, bytes); break;
    case Patch::U64: move_records<uint64_t>(out, src, bytes, [&](uint64_t& t) { t += offset; }); break;
    case Patch::U32: move_records<uint32_t>(out, src, bytes, [&](uint32_t& t) { t += uint32_t(offset); }); break;
    case Patch::ToaTotRecords: move_records<ToaTotRecord>(out, src, bytes, [&](ToaTotRecord& r) { r.toa += offset; }); break;
    }
}

}  // namespace sim

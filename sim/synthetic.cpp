// Virtual device: the synthetic detector.
//
// Pixel addresses number the pixels of the whole detector row by row: y * width + x, with x and y
// the pixel's column and row on the detector (the chip grid laid out row-major, chip by chip).
//
// A configuration's pool holds particles drawn from the sources, each as the pixel deposits it
// makes around a reference pixel and what the chips record of them at the settings (ToT and time
// walk), in segments: rows of particles at the configuration's rate with their hits in time order.
// A delivery draws segments at random until their particles make the configuration's deposits, lays
// them end to end over the delivery, moves every particle to a random place of those that keep its
// deposits on their chips, and merges the noise in (fresh too: the pixels of each chip fire at
// random, the hot pixels at their own addresses).
#include "synthetic.hpp"

#include "readout/modes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

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
    // The stream `stream` of item `item` of a seed: streams of different items are unrelated.
    Rng(uint64_t seed, uint64_t item, uint64_t stream) : Rng(seed ^ splitmix(item) ^ (stream * 0xD1B54A32D192ED03ull)) {}
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

// A random word from a counter: its bits mixed (a moderate mixer, enough for places on a chip).
inline uint64_t mixed(uint64_t z) {
    z = (z ^ (z >> 32)) * 0xD6E8FEB86659FD93ull;
    return z ^ (z >> 32);
}

// The 32 high bits of a random word, scaled to [0, n).
inline uint32_t scaled(uint64_t random, uint32_t n) { return uint32_t(((random >> 32) * uint64_t(n)) >> 32); }

// An exponential variate of mean 1 from 32 random bits: the inverse of its distribution, tabulated
// at 4096 points and interpolated, and computed in the last interval (its tail).
class Exponential {
public:
    Exponential() {
        for (int i = 0; i < kPoints; ++i) table_[i] = float(-std::log1p(-double(i) / kPoints));
    }
    float operator()(uint32_t bits) const {
        uint32_t i = bits >> 20;
        float f = float(bits & 0xFFFFF) * 0x1.0p-20f;
        if (i + 1 < kPoints) return table_[i] + f * (table_[i + 1] - table_[i]);
        return float(-std::log1p(-(double(i) + double(f)) / kPoints));
    }

private:
    static constexpr int kPoints = 4096;
    float table_[kPoints];
};

const Exponential& exponential() {
    static const Exponential e;
    return e;
}

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

// A hit, in the layout of the 16-byte ToA/ToT records.
// A hit as the ToA/ToT records of the table of readout modes hold it.
using Hit = readout::ToaTotRecord;

// The chip of a detector pixel (its place on the grid), or -1 where the grid has no chip.
int chip_at(const SynthConfig& c, long x, long y) {
    long i = (y / c.chipHeight) * std::max(1, c.chipsPerRow) + x / c.chipWidth;
    return i < long(c.chipResponse.size()) ? int(i) : -1;
}

uint32_t address_of(const SynthConfig& c, long x, long y) {
    return uint32_t(uint64_t(y) * uint64_t(c.width) + uint64_t(x));
}

bool has_pixels(const SynthConfig& c) { return c.width > 0 && c.height > 0 && c.chipWidth > 0 && c.chipHeight > 0; }

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
        if (!(c.collection > 0) || !has_pixels(c)) return;  // an unbiased sensor records nothing
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

}  // namespace

// ---- the pool ----
//
// The pool's particles come in segments of up to 256, each a row of particles at exponential
// spacings of the configuration's mean, its recorded hits merged in time order. A delivery lays
// segments drawn at random end to end, stretching the spaces between them to fill the delivery.
//
// A segment's hits are kept in the layout of a delivery's hits, relative to their particle (its
// index in the segment beside each), so that one vector addition moves a hit to its particle's
// place and time: the address holds kBias plus the hit's offset from the particle's reference pixel
// (dy * width + dx), the ToA its delay after the particle (time walk, a track's spread). Moving the
// address and the ToT as one 64-bit word by the reference pixel's address minus kBias leaves the
// ToT alone: the sum of address and offset is a pixel address.
constexpr uint64_t kBias = uint64_t(1) << 31;

// When a particle comes, in ticks from the start of its segment (a whole number), and where it may
// lie: its reference pixel at (x + i, y + j), i < xSpan, j < ySpan. Each of its deposits stays on the
// chip it was drawn on, so that the chip records it alike; a particle that crosses chips, or the
// detector's edge, in one direction stays in its place in that direction (on a chip wider than
// 65535 pixels, it moves within the first 65535 places).
struct Where {
    float at;
    uint32_t x, y;
    uint16_t xSpan, ySpan;
};

// A particle as the truth tells it: where it crossed the sensor from the centre of its reference
// pixel, the energy of each of its deposits (kev[first, first + deposits) of the pool) and all.
struct ParticleTruth {
    float x, y, kev;
    uint32_t first;
    uint16_t deposits;
    uint8_t kind;
};

struct Segment {
    uint32_t firstHit, hits;            // its recorded hits, in time order
    uint32_t firstParticle, particles;  // its particles, in time order
    uint32_t deposits;                  // the deposits of its particles, recorded or not
    uint64_t length;                    // ticks to its last particle
};

// A noise hit: its ToT and its delay after the moment the pixel fired.
struct NoiseHit {
    uint16_t tot;
    uint8_t delay;
};

// A source of noise: the pixels of one chip (fire at random pixels of it) or one hot pixel.
struct NoiseSource {
    double cumulative;  // mean hits per delivery of the sources up to this one
    uint32_t address;   // the hot pixel's
    int chip;
    bool hot;
    uint32_t table;  // first of its kNoiseTable noise hits
};

constexpr uint32_t kNoiseTable = 1024;

// The ticks of a delivery in which particles and noise come: all but the last 256, so that their
// hits (at most 226 ticks later) stay in the delivery.
uint64_t window_of(const SynthConfig& c) { return c.span > 512 ? c.span - 256 : 1; }

// A delivery's noise is a Poisson count of mean `mean`: far beyond it, ten deviations on, it is cut.
uint64_t noise_cap(double mean) { return uint64_t(std::ceil(mean + 10 * std::sqrt(mean) + 16)); }

struct Pool {
    std::vector<Segment> segments;
    std::vector<Hit> hits;
    std::vector<uint8_t> particle;  // of each hit: its particle's index in its segment
    std::vector<uint16_t> deposit;  // of each hit: the index of its deposit in its segment
    std::vector<Where> where;       // of each particle
    std::vector<uint16_t> before;   // of each particle: the deposits of its segment before it
    double spacing = 1;             // ticks between particles, on average
    std::vector<ParticleTruth> truth;
    std::vector<float> kev;
    std::vector<NoiseSource> noise;
    std::vector<NoiseHit> noiseHits;
    uint64_t noiseCap = 0;  // noise hits of a delivery at the most
};

namespace {

// The deposits of the pool drawn for a configuration of `hits` deposits per delivery: as many (so
// that a segment comes back about once a delivery), within limits of build time and memory.
uint64_t pool_deposits(const SynthConfig& c) { return std::clamp<uint64_t>(c.hits, uint64_t(1) << 16, uint64_t(1) << 18); }

// A drawn deposit: its pixel from the particle's reference pixel, its energy and the random parts
// of what a pixel records of it.
struct Draft {
    int dx, dy;
    double kev;
    uint64_t spread;  // a track's time spread, ticks
    double noise;     // of its ToT, ticks
    uint64_t jitter;  // of its time walk, ticks
};

// A drawn particle: its kind, its reference pixel on the detector, where it crossed the sensor
// from the pixel's centre, and its deposits drafts[first, first + count).
struct Drawn {
    int kind;
    long x, y;
    double cx, cy;
    size_t first, count;
    bool clipped[2];  // it lost deposits off the detector in x, in y
};

// Draws the particles of the pool as the source mix gives them, each at a random pixel of the
// detector. Nothing here depends on the settings, so that every setting sees the same deposits.
class Sources {
public:
    Sources(const SynthConfig& c, Rng& rng) : c_(c), rng_(rng) {}

    void draw(uint64_t deposits, StopCheck& check) {
        double total = c_.photons + c_.blobs + c_.tracks;
        if (!(total > 0)) total = 1;
        while (drafts.size() < deposits) {
            check();
            double u = rng_.uniform() * total;
            if (u < c_.photons) photon();
            else if (u < c_.photons + c_.blobs) blob();
            else track();
        }
    }

    std::vector<Drawn> drawn;
    std::vector<Draft> drafts;

private:
    // A photon of one of three lines (8.0, 17.5 and 59.5 keV) converting at a random point of its
    // pixel: its charge cloud (a Gaussian of kCloud pixels) spreads over the pixels that take at
    // least kShare of it, up to four.
    void photon() {
        constexpr double kCloud = 0.065, kShare = 0.02;
        double u = rng_.uniform();
        double kev = (u < 0.6 ? 8.04 : u < 0.85 ? 17.48 : 59.54) + 0.3 * rng_.normal();
        double fx = rng_.uniform(), fy = rng_.uniform();
        auto shares = [&](double f, double (&s)[3]) {
            s[0] = 0.5 * std::erfc(f / (kCloud * std::sqrt(2.0)));
            s[2] = 0.5 * std::erfc((1 - f) / (kCloud * std::sqrt(2.0)));
            s[1] = 1 - s[0] - s[2];
        };
        double sx[3], sy[3], sum = 0;
        shares(fx, sx);
        shares(fy, sy);
        size_t first = drafts.size();
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i)
                if (double s = sx[i] * sy[j]; s >= kShare) {
                    add(i - 1, j - 1, s);
                    sum += s;
                }
        for (size_t i = first; i < drafts.size(); ++i) drafts[i].kev *= kev / sum;
        finish(0, first, fx - 0.5, fy - 0.5);
    }

    // A heavy particle of about 5 MeV: a round blob of 1.5 to 3.5 pixels radius, brightest at its
    // centre (most pixels saturate).
    void blob() {
        double r = 1.5 + 2.0 * rng_.uniform(), sigma = r / 1.5;
        double kev = 5000.0 + 300.0 * rng_.normal();
        double cx = rng_.uniform(), cy = rng_.uniform(), sum = 0;
        size_t first = drafts.size();
        for (int y = int(std::floor(cy - r)); y <= int(std::floor(cy + r)); ++y)
            for (int x = int(std::floor(cx - r)); x <= int(std::floor(cx + r)); ++x) {
                double dx = x + 0.5 - cx, dy = y + 0.5 - cy, d2 = dx * dx + dy * dy;
                if (d2 > r * r) continue;
                double w = std::exp(-d2 / (2 * sigma * sigma));
                add(x, y, w);
                sum += w;
            }
        for (size_t i = first; i < drafts.size(); ++i) drafts[i].kev *= kev / sum;
        finish(1, first, cx - 0.5, cy - 0.5);
    }

    // A minimum-ionising particle crossing the sensor: a straight track of 8 to 108 pixels in any
    // direction, 14 keV and an exponential tail per pixel, each pixel's charge up to 24 ticks late.
    // Its place is its middle.
    void track() {
        double length = 8.0 + 100.0 * rng_.uniform(), angle = 6.283185307179586 * rng_.uniform();
        double dx = std::cos(angle), dy = std::sin(angle);
        double mx = rng_.uniform(), my = rng_.uniform();
        double x = mx - 0.5 * length * dx, y = my - 0.5 * length * dy;
        size_t first = drafts.size();
        int lastX = INT32_MIN, lastY = INT32_MIN;
        for (int i = 0, steps = int(2 * length); i <= steps; ++i) {
            int ix = int(std::floor(x + 0.5 * i * dx)), iy = int(std::floor(y + 0.5 * i * dy));
            if (ix == lastX && iy == lastY) continue;
            lastX = ix;
            lastY = iy;
            const double kev = 14.0 + rng_.exponential(8.0);
            add(ix, iy, kev, rng_.below(24));
        }
        finish(2, first, mx - 0.5, my - 0.5);
    }

    void add(int dx, int dy, double kev, uint64_t spread = 0) {
        drafts.push_back({dx, dy, kev, spread, 1.5 * rng_.normal(), rng_.below(4)});
    }

    // Places the particle at a random pixel; the deposits off the detector are not made.
    void finish(int kind, size_t first, double cx, double cy) {
        long x = long(rng_.below(uint64_t(c_.width))), y = long(rng_.below(uint64_t(c_.height)));
        bool clipped[2] = {false, false};
        auto off = [&](const Draft& d) {
            bool ox = x + d.dx < 0 || x + d.dx >= c_.width, oy = y + d.dy < 0 || y + d.dy >= c_.height;
            clipped[0] |= ox;
            clipped[1] |= oy;
            return ox || oy;
        };
        drafts.erase(std::remove_if(drafts.begin() + long(first), drafts.end(), off), drafts.end());
        if (drafts.size() > first) drawn.push_back({kind, x, y, cx, cy, first, drafts.size() - first, {clipped[0], clipped[1]}});
    }

    const SynthConfig& c_;
    Rng& rng_;
};

// The positions that a particle drawn at `at`, with deposits from `lo` to `hi` from it, may take in
// one direction on chips of `chip` pixels: (first, count).
std::pair<uint32_t, uint32_t> span_of(long at, long lo, long hi, long chip, bool clipped) {
    long cell = at / chip * chip;
    if (clipped || at + lo < cell || at + hi >= cell + chip) return {uint32_t(at), 1};
    return {uint32_t(cell - lo), uint32_t(chip - (hi - lo))};
}

// Makes the segments of the pool from the drawn particles: what each chip records of their
// deposits, their times and their hits in time order.
void make_segments(const SynthConfig& c, const Sources& s, Rng& rng, Pool& p, StopCheck& check) {
    const uint64_t deposits = s.drafts.size(), particles = s.drawn.size();
    if (!particles) return;
    // Ticks between particles at the rate that makes the configuration's deposits in a delivery.
    const double spacing = p.spacing = double(window_of(c)) * double(deposits) / double(particles) / double(c.hits);
    const uint64_t perSegment = std::clamp<uint64_t>(uint64_t(double(c.hits) * double(particles) / double(deposits) / 8), 8, 256);
    const Exponential& exp = exponential();
    struct Pending {
        uint64_t time;
        uint32_t order;
        Hit hit;
        uint8_t particle;
        uint16_t deposit;
    };
    std::vector<Pending> pending;
    for (size_t first = 0; first < particles; first += perSegment) {
        check();
        Segment seg{uint32_t(p.hits.size()), 0, uint32_t(p.where.size()), 0, 0, 0};
        pending.clear();
        double units = 0;
        uint64_t t = 0;
        for (size_t i = first; i < std::min<size_t>(particles, first + perSegment); ++i) {
            const Drawn& d = s.drawn[i];
            units += exp(uint32_t(rng.next()));
            t = uint64_t(float(std::round(units * spacing)));  // as kept: a float's whole number
            long lo[2] = {0, 0}, hi[2] = {0, 0};
            double kev = 0;
            for (size_t k = 0; k < d.count; ++k) {
                const Draft& f = s.drafts[d.first + k];
                lo[0] = std::min<long>(lo[0], f.dx), hi[0] = std::max<long>(hi[0], f.dx);
                lo[1] = std::min<long>(lo[1], f.dy), hi[1] = std::max<long>(hi[1], f.dy);
                kev += f.kev;
                p.kev.push_back(float(f.kev));
                const long px = d.x + f.dx, py = d.y + f.dy;
                const int chip = chip_at(c, px, py);
                const double collected = f.kev * c.collection;
                const uint16_t deposit = uint16_t(seg.deposits + k);
                if (chip < 0) continue;
                const ChipResponse& r = c.chipResponse[size_t(chip)];
                if (!r.live || !(collected > 0) || collected < r.threshold) continue;
                const long tot = std::clamp(std::lround(tot_ticks(r.tot, collected) + f.noise), 1L, 1023L);
                const uint64_t delay = uint64_t(std::min(200.0, 60.0 / std::max(collected, 0.3))) + f.jitter + f.spread;
                const Hit h{uint32_t(kBias + uint64_t(int64_t(f.dy) * c.width + f.dx)), uint32_t(tot), delay};
                pending.push_back({t + delay, uint32_t(pending.size()), h, uint8_t(seg.particles), deposit});
            }
            auto [x, xSpan] = span_of(d.x, lo[0], hi[0], c.chipWidth, d.clipped[0]);
            auto [y, ySpan] = span_of(d.y, lo[1], hi[1], c.chipHeight, d.clipped[1]);
            p.where.push_back({float(t), x, y, uint16_t(std::min<uint32_t>(xSpan, UINT16_MAX)),
                               uint16_t(std::min<uint32_t>(ySpan, UINT16_MAX))});
            p.before.push_back(uint16_t(seg.deposits));
            p.truth.push_back({float(d.cx), float(d.cy), float(kev), uint32_t(p.kev.size() - d.count), uint16_t(d.count),
                               uint8_t(d.kind)});
            seg.deposits += uint32_t(d.count);
            ++seg.particles;
        }
        std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
            return a.time != b.time ? a.time < b.time : a.order < b.order;
        });
        for (const Pending& h : pending) {
            p.hits.push_back(h.hit);
            p.particle.push_back(h.particle);
            p.deposit.push_back(h.deposit);
        }
        seg.hits = uint32_t(pending.size());
        seg.length = t;
        p.segments.push_back(seg);
    }
}

// Noise hits come from the pixels of each chip, at random, and the hot pixels, more often; a noise
// hit's charge lies just above the threshold. Each source draws its hits from a table of its own.
void make_noise(const SynthConfig& c, Rng& rng, Pool& p) {
    NoiseBudget budget(c);
    double cumulative = 0;
    auto add = [&](double mean, int chip, bool hot, uint32_t address) {
        if (!(mean > 0)) return;
        const ChipResponse& r = c.chipResponse[size_t(chip)];
        double sigma = hot ? kHotNoiseFactor * r.noise : r.noise;
        p.noise.push_back({cumulative += mean * budget.scale, address, chip, hot, uint32_t(p.noiseHits.size())});
        for (uint32_t i = 0; i < kNoiseTable; ++i) {
            double kev = std::max(r.threshold, 0.0) + sigma * std::fabs(rng.normal()) * 0.5;
            long tot = std::clamp(std::lround(tot_ticks(r.tot, kev) + 1.5 * rng.normal()), 1L, 1023L);
            uint64_t walk = uint64_t(std::min(200.0, 60.0 / std::max(kev, 0.3))) + rng.below(4);
            p.noiseHits.push_back({uint16_t(tot), uint8_t(walk)});
        }
    };
    for (size_t i = 0; i < budget.chip.size(); ++i) add(budget.chip[i], int(i), false, 0);
    for (size_t k = 0; k < budget.hot.size(); ++k) {
        uint32_t a = c.hotPixels[k];
        if (budget.hot[k] > 0) add(budget.hot[k], chip_at(c, long(a % uint32_t(c.width)), long(a / uint32_t(c.width))), true, a);
    }
    p.noiseCap = noise_cap(cumulative);
}

}  // namespace

// ---- laying a delivery out ----

namespace {

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

// The slot that carries a mode's hits as 16-byte ToA/ToT records (the hits are made there), or
// kSlots where none does.
Slot hit_slot(Kind kind) {
    switch (kind) {
    case Kind::ToaTot: return kPackets;
    case Kind::ToaTotVec32:
    case Kind::ToaTotVec64: return kRaw;
    default: return kSlots;
    }
}

// Where the layouts write: the work buffers, into the delivery's slots.
struct Layout {
    Delivery& d;
    unsigned char* const (&work)[kSlots];

    // `count` records of `record` bytes in slot `s`.
    unsigned char* slot(Slot s, uint64_t count, uint64_t record) {
        d.count[s] = count;
        d.bytes[s] = count * record;
        return d.data[s] = d.bytes[s] ? work[s] : nullptr;
    }
};

template <class T>
void put(unsigned char* p, uint64_t index, T v) {
    std::memcpy(p + index * sizeof(T), &v, sizeof(T));
}

using readout::BinnedRecord;
using readout::ItotEventRecord;

// Hits and summed ToT per pixel of the detector.
struct PixelSums {
    std::vector<uint32_t> count;
    std::vector<uint64_t> itot;
    PixelSums(const SynthConfig& c, const Hit* hits, uint64_t n)
        : count(size_t(c.width) * size_t(c.height)), itot(count.size()) {
        for (uint64_t i = 0; i < n; ++i) {
            ++count[hits[i].address];
            itot[hits[i].address] += hits[i].tot;
        }
    }
    uint64_t pixels_hit() const {
        uint64_t n = 0;
        for (uint32_t k : count) n += k ? 1 : 0;
        return n;
    }
};

uint32_t sat32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }
uint16_t sat16(uint64_t v) { return v > UINT16_MAX ? UINT16_MAX : uint16_t(v); }

void itot_event(Layout& out, const PixelSums& sums, bool vectors) {
    uint64_t n = sums.pixels_hit();
    unsigned char* p = out.slot(vectors ? kRaw : kPackets, n, sizeof(ItotEventRecord));
    unsigned char *addr = nullptr, *event = nullptr, *itot = nullptr;
    if (vectors) {
        addr = out.slot(kAddress, n, sizeof(uint32_t));
        event = out.slot(kEvent, n, sizeof(uint16_t));
        itot = out.slot(kItot, n, sizeof(uint16_t));
        out.d.vecLength = n;
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
    out.d.count[kRaw] = out.d.bytes[kRaw];
}

// Bins of binWidth x binHeight pixels over the whole detector, row by row.
void binned(Layout& out, const SynthConfig& c, const PixelSums& sums, Kind kind) {
    int bw = int(std::max<uint32_t>(1, c.binWidth)), bh = int(std::max<uint32_t>(1, c.binHeight));
    int columns = c.width / bw, rows = c.height / bh;
    uint64_t bins = uint64_t(std::max(0, columns)) * uint64_t(std::max(0, rows));
    unsigned char* counters = kind != Kind::BinnedItots ? out.slot(kHitcounters, bins, 8) : nullptr;
    unsigned char* itots = kind != Kind::BinnedCounts ? out.slot(kItots, bins, 8) : nullptr;
    unsigned char *packets = nullptr, *descriptors = nullptr;
    if (kind == Kind::BinnedPackets) {
        packets = out.slot(kPackets, sums.pixels_hit(), 12);
        descriptors = out.slot(kDescriptors, bins, 8);
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
void frames(Layout& out, const SynthConfig& c, const PixelSums& sums) {
    unsigned char* p = out.slot(kFrames, uint64_t(std::max(0, c.chips)), 256 * 256 * 2);
    if (p) std::memset(p, 0, out.d.bytes[kFrames]);
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

// Lays `n` hits out in the record layout of the configuration's mode (hits made in the mode's hit
// slot are there already).
void lay_out(Layout& out, const SynthConfig& c, const Hit* hits, uint64_t n) {
    switch (Kind kind = kind_of(c.mode)) {
    case Kind::ToaTot: out.slot(kPackets, n, sizeof(Hit)); break;
    case Kind::ToaTotVec32:
    case Kind::ToaTotVec64: {
        bool wide = kind == Kind::ToaTotVec64;
        unsigned char* addr = out.slot(kAddress, n, record_size(kAddress, c.mode));
        unsigned char* toa = out.slot(kToa, n, record_size(kToa, c.mode));
        unsigned char* tot = out.slot(kTot, n, record_size(kTot, c.mode));
        for (uint64_t i = 0; i < n; ++i) {
            put(addr, i, hits[i].address);
            if (wide) put(toa, i, hits[i].toa);
            else put(toa, i, uint32_t(hits[i].toa));
            put(tot, i, uint16_t(hits[i].tot));
        }
        out.d.vecLength = n;
        out.slot(kRaw, sizeof(Hit) * n, 1);
        break;
    }
    case Kind::ItotEvent:
    case Kind::ItotEventVec: itot_event(out, PixelSums(c, hits, n), kind == Kind::ItotEventVec); break;
    case Kind::BinnedPackets:
    case Kind::BinnedCounts:
    case Kind::BinnedItots: binned(out, c, PixelSums(c, hits, n), kind); break;
    case Kind::Frames: frames(out, c, PixelSums(c, hits, n)); break;
    }
}

// Bytes of each slot that a delivery of at most `hits` hits fills.
void capacities(const SynthConfig& c, uint64_t hits, uint64_t (&bytes)[kSlots]) {
    const Kind kind = kind_of(c.mode);
    const uint64_t pixels = uint64_t(std::max(0, c.width)) * uint64_t(std::max(0, c.height));
    const uint64_t hit = std::min(hits, pixels);  // records of the modes that sum by pixel
    const uint64_t bins = uint64_t(std::max(0, c.width / int(std::max<uint32_t>(1, c.binWidth)))) *
                          uint64_t(std::max(0, c.height / int(std::max<uint32_t>(1, c.binHeight))));
    std::fill(std::begin(bytes), std::end(bytes), 0);
    switch (kind) {
    case Kind::ToaTot: bytes[kPackets] = sizeof(Hit) * hits; break;
    case Kind::ToaTotVec32:
    case Kind::ToaTotVec64:
        for (Slot s : {kAddress, kToa, kTot}) bytes[s] = record_size(s, c.mode) * hits;
        bytes[kRaw] = sizeof(Hit) * hits;
        break;
    case Kind::ItotEvent: bytes[kPackets] = sizeof(ItotEventRecord) * hit; break;
    case Kind::ItotEventVec:
        bytes[kRaw] = sizeof(ItotEventRecord) * hit;
        for (Slot s : {kAddress, kEvent, kItot}) bytes[s] = record_size(s, c.mode) * hit;
        break;
    case Kind::BinnedPackets:
    case Kind::BinnedCounts:
    case Kind::BinnedItots:
        bytes[kHitcounters] = bytes[kItots] = bytes[kDescriptors] = 8 * bins;
        bytes[kPackets] = 12 * hit;
        break;
    case Kind::Frames: bytes[kFrames] = uint64_t(std::max(0, c.chips)) * 256 * 256 * 2; break;
    }
    for (int i = 0; i < 3; ++i) bytes[kTdc0 + i] = 8 * uint64_t(std::max(0, c.tdc[i]));
}

void tdcs(Layout& out, const SynthConfig& c, uint64_t start, Rng& rng) {
    for (int i = 0; i < 3; ++i) {
        unsigned char* p = out.slot(Slot(kTdc0 + i), uint64_t(std::max(0, c.tdc[i])), 8);
        uint64_t* stamps = reinterpret_cast<uint64_t*>(p);
        for (int k = 0; k < c.tdc[i]; ++k) stamps[k] = start + rng.below(c.span);
        if (p) std::sort(stamps, stamps + c.tdc[i]);
    }
}

}  // namespace

// ---- making a delivery ----

struct Generator::Scratch {
    std::vector<uint32_t> segments;  // of a delivery, in order
    std::vector<Hit> hits;           // where a mode whose slots hold no hit records makes the hits
    std::vector<Hit> noise;          // of a delivery, merged into its hits last
    int64_t nextId = 0;
};

Generator::Generator() : s_(std::make_unique<Scratch>()) {}
Generator::~Generator() = default;

namespace {

// Where hits are written, in time order: a hit earlier than the last one written moves back to its
// place (rarely far: hits come at most a time walk after their particle, and particles come in
// order). With kIds, the particle of each hit goes along in `ids`.
template <bool kIds>
struct HitWriter {
    Hit* begin;
    Hit* end;
    int64_t* ids;
    uint64_t last = 0;

    uint64_t count() const { return uint64_t(end - begin); }

    void operator()(const Hit& h, int64_t id) {
        if (h.toa >= last) {
            last = h.toa;
            if constexpr (kIds) ids[end - begin] = id;
            *end++ = h;
        } else {
            insert(h, id);
        }
    }

    __attribute__((noinline)) void insert(const Hit& h, int64_t id) {
        Hit* p = end++;
        for (; p > begin && p[-1].toa > h.toa; --p) {
            *p = p[-1];
            if constexpr (kIds) ids[p - begin] = ids[p - 1 - begin];
        }
        *p = h;
        if constexpr (kIds) ids[p - begin] = id;
    }
};

// The noise of a delivery in time order: a Poisson process of the sources' summed rate, each hit
// from a source drawn by its rate (a hot pixel's, or a random pixel of a chip's) unless masked.
template <class W>
void write_noise(const SynthConfig& c, const Pool& p, uint64_t start, Rng& rng, W& out) {
    const double total = p.noise.empty() ? 0 : p.noise.back().cumulative;
    if (!(total > 0)) return;
    const double window = double(window_of(c)), perHit = window / total;
    const int perRow = std::max(1, c.chipsPerRow);
    const Exponential& exp = exponential();
    uint64_t left = p.noiseCap;
    for (double t = exp(uint32_t(rng.next())) * perHit; t < window && left; t += exp(uint32_t(rng.next())) * perHit) {
        const uint64_t r = rng.next();
        const double pick = double(r >> 11) * 0x1.0p-53 * total;
        auto s = std::upper_bound(p.noise.begin(), p.noise.end(), pick,
                                  [](double v, const NoiseSource& n) { return v < n.cumulative; });
        if (s == p.noise.end()) --s;
        uint32_t address = s->address;
        if (!s->hot) {
            const uint64_t q = rng.next();
            uint32_t x = uint32_t((s->chip % perRow) * c.chipWidth) + scaled(q, uint32_t(c.chipWidth));
            uint32_t y = uint32_t((s->chip / perRow) * c.chipHeight) + scaled(q << 32, uint32_t(c.chipHeight));
            address = address_of(c, x, y);
        }
        if (!c.masked.empty() && c.masked[address]) continue;
        const NoiseHit& h = p.noiseHits[s->table + uint32_t(r & (kNoiseTable - 1))];
        out(Hit{address, h.tot, start + uint64_t(t) + h.delay}, -1);
        --left;
    }
}

// Merges the time-ordered `n` hits at `noise` into the `count` hits written at `hits`, which have
// room for them: from the back, each hit moves at most once.
void merge_noise(Hit* hits, int64_t* ids, uint64_t count, const Hit* noise, uint64_t n) {
    uint64_t i = count, j = n, k = count + n;
    while (j > 0) {
        if (i > 0 && hits[i - 1].toa > noise[j - 1].toa) {
            hits[--k] = hits[--i];
            if (ids) ids[k] = ids[i];
        } else {
            hits[--k] = noise[--j];
            if (ids) ids[k] = -1;
        }
    }
}

using Move = uint64_t __attribute__((vector_size(16)));

// Lays segment `seg` out from tick `from` of the delivery with its times stretched by `stretch`,
// making the first `cut` of its deposits (kCut), each particle at a random place of those it may
// take, and writes its hits with `out`; returns its particles made. Its hits come in time order but
// where the stretch brings two of different particles closer than their delays part them, so they
// are moved in bulk, each checked against the one before. Meanwhile the segment `next` is fetched
// into the cache.
template <bool kCut, bool kTruth, class W>
uint32_t write_segment(const SynthConfig& c, const Pool& p, const Segment& seg, const Segment& next, uint32_t cut,
                       uint64_t from, double stretch, Rng& places, int64_t firstId, W& out, std::vector<Particle>* truth) {
    uint32_t made = seg.particles;
    if constexpr (kCut)
        while (made > 0 && p.before[seg.firstParticle + made - 1] >= cut) --made;
    const uint32_t width = uint32_t(c.width);
    Move move[256];  // of each particle: to its address, minus kBias, and to its time
    const Where* where = p.where.data() + seg.firstParticle;
    const char* const nextWhere = reinterpret_cast<const char*>(p.where.data() + next.firstParticle);
    const char* const nextHits = reinterpret_cast<const char*>(p.hits.data() + next.firstHit);
    // Each particle at a random place of those it may take, from 32 bits of a cheap counter-based
    // mixer seeded by the delivery's generator (the particles of a segment need no more), and at
    // its time. Meanwhile the next segment's particles and hits are fetched.
    uint64_t key = places.next();
    auto lay = [&](uint32_t i, uint32_t r) {
        const Where& w = where[i];
        const uint32_t x = w.x + (((r & 0xFFFF) * w.xSpan) >> 16), y = w.y + (((r >> 16) * w.ySpan) >> 16);
        move[i] = Move{uint64_t(y * width + x) - kBias, from + uint64_t(int64_t(double(w.at) * stretch))};
    };
    uint32_t i = 0;
    for (; i + 1 < made; i += 2) {
        __builtin_prefetch(nextWhere + i * sizeof(Where));
        __builtin_prefetch(nextHits + i * 40);  // about 2.5 hits a particle
        const uint64_t r = mixed(key += 0x9E3779B97F4A7C15ull);
        lay(i, uint32_t(r));
        lay(i + 1, uint32_t(r >> 32));
    }
    if (i < made) lay(i, uint32_t(mixed(key + 0x9E3779B97F4A7C15ull)));
    const Hit* const h = p.hits.data() + seg.firstHit;
    const uint8_t* const of = p.particle.data() + seg.firstHit;
    auto moved = [&](uint32_t i) {
        Move m;
        std::memcpy(&m, &h[i], sizeof m);
        m += move[of[i]];
        Hit to;
        std::memcpy(&to, &m, sizeof to);
        return to;
    };
    uint32_t hits[256];
    if constexpr (kTruth) std::fill_n(hits, made, 0);
    const uint32_t n = seg.hits;
    uint32_t j = 0;
    auto write = [&](uint32_t i) {
        out(moved(i), firstId + of[i]);
        if constexpr (kTruth) ++hits[of[i]];
    };
    if (kCut || !c.masked.empty()) {  // each hit on its own: cut short, masked pixels silent
        const uint16_t* deposit = p.deposit.data() + seg.firstHit;
        for (; j < n; ++j)
            if (!(kCut && deposit[j] >= cut) && (c.masked.empty() || !c.masked[moved(j).address])) write(j);
    } else {
        while (j < n) {
            for (; j < n && moved(j).toa < out.last; ++j) write(j);
            // Then as they come, up to one that comes before the one written before it.
            Hit* const end = out.end;
            uint64_t last = out.last;
            uint32_t i = j;
            for (; i < n; ++i) {
                const Hit m = moved(i);
                if (m.toa < last) break;
                end[i - j] = m;
                last = m.toa;
            }
            if constexpr (kTruth)
                for (uint32_t k = j; k < i; ++k) {
                    out.ids[end - out.begin + (k - j)] = firstId + of[k];
                    ++hits[of[k]];
                }
            out.end += i - j;
            out.last = last;
            j = i;
        }
    }
    if constexpr (kTruth) {
        for (uint32_t i = 0; i < made; ++i) {
            const uint32_t q = seg.firstParticle + i;
            const ParticleTruth& t = p.truth[q];
            const uint32_t deposits = kCut ? std::min<uint32_t>(t.deposits, cut - p.before[q]) : t.deposits;
            double kev = t.kev;
            if (deposits < t.deposits) kev = std::accumulate(p.kev.data() + t.first, p.kev.data() + t.first + deposits, 0.0);
            const uint32_t base = uint32_t(move[i][0] + kBias);
            truth->push_back({firstId + int64_t(i), double(base % width) + t.x, double(base / width) + t.y, move[i][1], kev,
                              deposits, hits[i], t.kind, 0});
        }
    }
    return made;
}

// The particles of a delivery from tick `start`, in time order, written with `out`: segments drawn
// at random until their particles make the configuration's deposits, the last one cut short, laid
// end to end with the spaces between them stretched to fill the delivery.
template <bool kTruth, class W>
void write_particles(const SynthConfig& c, const Pool& p, uint64_t start, Rng& rng, std::vector<uint32_t>& segments,
                     int64_t& nextId, W& out, std::vector<Particle>* truth, StopCheck& check) {
    segments.clear();
    double length = 0;  // ticks at the mean rate
    uint32_t last = 0;  // deposits the last segment makes
    for (uint64_t made = 0; made < c.hits && !p.segments.empty();) {
        const uint32_t index = scaled(rng.next(), uint32_t(p.segments.size()));
        const Segment& s = p.segments[index];
        last = uint32_t(std::min<uint64_t>(s.deposits, c.hits - made));
        segments.push_back(index);
        made += last;
        uint32_t lastParticle = s.particles;
        while (last < s.deposits && p.before[s.firstParticle + lastParticle - 1] >= last) --lastParticle;
        length += double(p.where[s.firstParticle + lastParticle - 1].at);
    }
    length += double(exponential()(uint32_t(rng.next()))) * p.spacing;  // to the end of the delivery
    const double stretch = double(window_of(c)) / length;
    double from = double(start);
    for (size_t j = 0; j < segments.size(); ++j) {
        if (j % 64 == 0) check();
        const Segment& s = p.segments[segments[j]];
        const Segment& next = p.segments[segments[std::min(j + 1, segments.size() - 1)]];
        auto write = j + 1 == segments.size() && last < s.deposits ? write_segment<true, kTruth, W>
                                                                   : write_segment<false, kTruth, W>;
        nextId += write(c, p, s, next, last, uint64_t(from), stretch, rng, nextId, out, truth);
        from += double(s.length) * stretch;
    }
}

}  // namespace

bool Generator::make(const Synth& synth, uint64_t k, unsigned char* const (&work)[kSlots], Delivery& out, Truth* truth,
                     const std::atomic<bool>& stop) {
    const SynthConfig& c = synth.config;
    const Pool& p = *synth.pool;
    out = Delivery{};
    out.shutter = k * c.span;
    Layout layout{out, work};
    const uint64_t start = k * c.span, cap = c.hits + p.noiseCap;
    const Slot hs = hit_slot(kind_of(c.mode));
    Hit* hits = nullptr;
    if (hs != kSlots) {
        hits = reinterpret_cast<Hit*>(work[hs]);
    } else {
        if (s_->hits.size() < cap) s_->hits.resize(cap);
        hits = s_->hits.data();
    }
    if (s_->noise.size() < p.noiseCap) s_->noise.resize(p.noiseCap);
    uint64_t n = 0;
    if (truth) {
        truth->delivery = k;
        truth->particles.clear();
        truth->ids.resize(cap);
    }
    StopCheck check(stop);
    try {
        if (has_pixels(c)) {
            Rng rng(c.seed, k, 0), noise(c.seed, k, 1);
            HitWriter<false> quiet{s_->noise.data(), s_->noise.data(), nullptr};
            write_noise(c, p, start, noise, quiet);
            if (truth) {
                HitWriter<true> w{hits, hits, truth->ids.data()};
                write_particles<true>(c, p, start, rng, s_->segments, s_->nextId, w, &truth->particles, check);
                n = w.count();
            } else {
                HitWriter<false> w{hits, hits, nullptr};
                write_particles<false>(c, p, start, rng, s_->segments, s_->nextId, w, nullptr, check);
                n = w.count();
            }
            merge_noise(hits, truth ? truth->ids.data() : nullptr, n, quiet.begin, quiet.count());
            n += quiet.count();
        }
    } catch (const Stopped&) {
        return false;
    }
    if (truth) truth->ids.resize(n);
    lay_out(layout, c, hits, n);
    Rng tdc(c.seed, k, 2);
    tdcs(layout, c, start, tdc);
    return true;
}

double tot_ticks(const TotCalibration& cal, double kev) {
    if (!(kev > cal.t)) return 0;
    return std::max(0.0, cal.a * kev + cal.b - cal.c / (kev - cal.t));
}

double tot_kev(const TotCalibration& cal, double tot) {
    // a E^2 + (b - a t - tot) E + (tot t - b t - c) = 0
    double p = cal.b - cal.a * cal.t - tot, q = tot * cal.t - cal.b * cal.t - cal.c;
    return (-p + std::sqrt(std::max(0.0, p * p - 4 * cal.a * q))) / (2 * cal.a);
}

std::shared_ptr<const Synth> build_synth(const SynthConfig& config, const std::atomic<bool>& stop) {
    auto s = std::make_shared<Synth>();
    s->config = config;
    s->rawFrom = raw_source(config.mode);
    auto pool = std::make_shared<Pool>();
    StopCheck check(stop);
    try {
        if (has_pixels(config)) {
            if (config.hits) {
                Rng rng(config.seed, 0, 3);
                Sources sources(config, rng);
                sources.draw(pool_deposits(config), check);
                make_segments(config, sources, rng, *pool, check);
            }
            Rng noise(config.seed, 0, 4);
            make_noise(config, noise, *pool);
        }
    } catch (const Stopped&) {
        return nullptr;
    }
    // The buffers hold the most hits that any charge collection gives (the noise does not depend on
    // it, unless nothing is collected), so that they keep their place while the bias ramps.
    SynthConfig collecting = config;
    collecting.collection = 1.0;
    capacities(config, config.hits + noise_cap(NoiseBudget(collecting).total()), s->capacity);
    s->pool = std::move(pool);
    return s;
}

}  // namespace sim

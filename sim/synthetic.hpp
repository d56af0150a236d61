// Virtual device: the buffers of a data delivery and the synthetic detector that fills them.
//
// The generator builds a pool of particles once per configuration (single photons, blobs and
// straight tracks, each the pixel deposits it makes, with their ToT as every chip of the detector
// records them and their time walk) and the noise the settings give. Every delivery is then laid out
// afresh from the pool: a new draw of particles, each at a new place on the detector and a new time
// in the delivery, merged in time with fresh noise, in the record layout of the readout mode. A
// delivery never repeats another, and its hits stay in time order within and across deliveries.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// The buffers a delivery can carry. kRaw is the byte stream of zorv_acq_raw_get_data.
enum Slot : int {
    kPackets,
    kAddress,
    kToa,
    kTot,
    kEvent,
    kItot,
    kTdc0,
    kTdc1,
    kTdc2,
    kDescriptors,
    kHitcounters,
    kItots,
    kFrames,
    kRaw,
    kSlots
};

// Bytes of one record of a slot in a delivery of a readout mode, as the table of modes has them
// (packets and the ToA vector depend on the mode); for a mode the table does not know, or a
// buffer the mode's kind does not read, the widest of any mode.
uint64_t record_size(Slot slot, const std::string& mode);

// Detector time: ToA ticks of 1.5625 ns.
constexpr double kTicksPerSecond = 640e6;

// How a chip turns deposited energy into time over threshold: ToT = a E + b - c / (E - t) ticks for
// a deposit of E keV above t (a ticks per keV, b ticks, c tick-keV, t keV), and 0 at or below t.
struct TotCalibration {
    static constexpr const char* rule = "expected a > 0, c >= 0 and t >= 0";
    double a = 5.0, b = 10.0, c = 30.0, t = 2.0;
    bool operator==(const TotCalibration&) const = default;
};
double tot_ticks(const TotCalibration& cal, double kev);
// The deposit that gives `tot` ticks (the larger root of the calibration's quadratic).
double tot_kev(const TotCalibration& cal, double tot);

// How one chip of the detector responds to its settings: a pixel records a deposit whose collected
// charge reaches the threshold; noise hits come at a rate set by threshold and noise (keV); a chip
// whose polarity does not match the sensor's carriers records nothing.
struct ChipResponse {
    double threshold = 0;
    double noise = 0;
    bool live = true;
    TotCalibration tot;
    bool operator==(const ChipResponse&) const = default;
};

// Noise: a pixel fires at kNoiseRate x exp(-T^2 / 2 sigma^2) per second for a threshold of T keV and
// a noise of sigma keV; a hot pixel at kHotRate with twice its chip's noise. The noise of one
// delivery saturates the readout at kMaxNoise hits.
constexpr double kNoiseRate = 100.0;
constexpr double kHotRate = 10000.0;
constexpr double kHotNoiseFactor = 2.0;
constexpr double kMaxNoise = 2e6;

struct SynthConfig {
    std::string mode;
    int width = 0, height = 0;  // detector pixels
    int chipWidth = 0, chipHeight = 0, chipsPerRow = 1, chips = 0;
    uint32_t binWidth = 0, binHeight = 0;
    uint64_t hits = 0;
    uint64_t span = 0;  // ticks of one delivery
    uint64_t seed = 0;
    double photons = 0, blobs = 0, tracks = 0;
    int tdc[3] = {0, 0, 0};
    // The settings of the detector: one response per chip (in chip order, row-major on the grid),
    // the fraction of the deposited charge that the sensor collects (its bias), the masked pixels
    // (non-zero by pixel address; empty: none) and the hot pixels (addresses).
    std::vector<ChipResponse> chipResponse;
    double collection = 1.0;
    std::vector<uint8_t> masked;
    std::vector<uint32_t> hotPixels;
    bool operator==(const SynthConfig&) const = default;
};

// The particles of a configuration, built once (defined in synthetic.cpp).
struct Pool;

struct Synth {
    SynthConfig config;
    Slot rawFrom = kRaw;  // the slot whose bytes the raw path delivers (kRaw: its own)
    uint64_t capacity[kSlots] = {};  // bytes of each slot that every delivery fits in
    std::shared_ptr<const Pool> pool;
};

// Builds the pool of a configuration; null when `stop` became true meanwhile.
std::shared_ptr<const Synth> build_synth(const SynthConfig& config, const std::atomic<bool>& stop);

// What a delivery's buffers hold: where each lies (null: none), its records (for kRaw bytes) and
// bytes.
struct Delivery {
    unsigned char* data[kSlots] = {};
    uint64_t count[kSlots] = {};
    uint64_t bytes[kSlots] = {};
    uint64_t vecLength = 0;
    uint64_t shutter = 0;
};

// One particle that the sources made, as the truth of a delivery tells it (the layout of
// zorvsim_particle_t). Positions are in pixels, the centre of pixel (x, y) at (x, y).
struct Particle {
    int64_t id;         // in time order across the deliveries of an acquisition, from 0
    double x, y;        // where it crossed the sensor (a track: its middle)
    uint64_t toa;       // when, in ticks (its hits come later by their time walk)
    double kev;         // the energy it deposited in the sensor's pixels
    uint32_t deposits;  // pixels it deposited energy in
    uint32_t hits;      // of them recorded: hits of the delivery with its id
    int32_t kind;       // 0 photon, 1 blob, 2 track
    int32_t reserved;
};
static_assert(sizeof(Particle) == 56);

// What the sources made for one delivery: the particle of each hit (-1: noise), in the order of
// the delivery's hits, and the particles.
struct Truth {
    uint64_t delivery = 0;
    std::vector<int64_t> ids;
    std::vector<Particle> particles;
};

// Makes the deliveries of one acquisition, in turn, into buffers of the configuration's capacity;
// keeps its working memory from one delivery to the next.
class Generator {
public:
    Generator();
    ~Generator();
    // Makes delivery `k` (the deliveries of an acquisition are made in order from 0): the same
    // configuration and k give the same delivery. With `truth`, also says what made each hit.
    // False when `stop` became true meanwhile.
    bool make(const Synth& synth, uint64_t k, unsigned char* const (&work)[kSlots], Delivery& out, Truth* truth,
              const std::atomic<bool>& stop);

private:
    struct Scratch;
    std::unique_ptr<Scratch> s_;
};

}  // namespace sim

// Virtual device: the buffers of a data delivery and the synthetic detector that fills them.
//
// The generator builds a few blocks of hits once per configuration (clusters from single photons,
// small blobs and straight tracks, and noise, time-ordered, as the detector's settings record
// them) and lays each block out in the record layout of the readout mode. An acquisition replays the blocks in turn, moving their time stamps on by the
// detector time of the blocks already delivered, so that time stays ordered across deliveries
// without generating hits again.
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

// How a replayed block is moved on in time.
enum class Patch : uint8_t { None, U64, U32, ToaTotRecords };

struct Block {
    std::vector<uint64_t> data[kSlots];  // 8-byte aligned storage
    uint64_t bytes[kSlots] = {};
    uint64_t count[kSlots] = {};  // records; for kRaw bytes
    Patch patch[kSlots] = {};
    uint64_t vecLength = 0;
};

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

struct SynthConfig;
// The noise hits a delivery carries on average (before masking).
double expected_noise(const SynthConfig& c);

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
    int blocks = 1;
    // The settings of the detector: one response per chip (in chip order, row-major on the grid),
    // the fraction of the deposited charge that the sensor collects (its bias), the masked pixels
    // (non-zero by pixel address; empty: none) and the hot pixels (addresses).
    std::vector<ChipResponse> chipResponse;
    double collection = 1.0;
    std::vector<uint8_t> masked;
    std::vector<uint32_t> hotPixels;
    bool operator==(const SynthConfig&) const = default;
};

struct Synth {
    SynthConfig config;
    std::vector<Block> blocks;
    Slot rawFrom = kRaw;  // the slot whose bytes the raw path delivers (kRaw: its own)
    uint64_t maxBytes[kSlots] = {};
};

// Builds the blocks of a configuration; null when `stop` became true meanwhile.
std::shared_ptr<const Synth> build_synth(const SynthConfig& config, const std::atomic<bool>& stop);

// Copies `bytes` of a block's slot to `dst`, moving time stamps on by `offset` ticks.
void replay(const Block& block, Slot slot, uint64_t offset, void* dst);

}  // namespace sim

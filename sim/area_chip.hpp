// Virtual device: the chip model of one device.
//
// A device carries a row-major grid of chips (two per row by default: four chips of 256 x 256 make a
// detector of 512 x 512 pixels), named DACs with limits and defaults, energy thresholds with a raw
// value and a per-threshold linear calibration to keV, sense DACs and readout modes.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "area.hpp"
#include "json.hpp"
#include "synthetic.hpp"

namespace sim {

struct Chip {
    static constexpr const char* rule = "expected a polarity of 0 (positive) or 1 (negative)";
    static constexpr bool replaces = true;  // a chip left without a ToT calibration keeps the one it replaces
    std::string id;
    int polarity = 0;  // 0 positive, 1 negative
    TotCalibration tot;
};

// The sensor on the chips: the carriers it delivers (holes need positive polarity, electrons
// negative), the bias supply that depletes it and the voltage at which it is fully depleted.
struct Sensor {
    std::string carriers = "holes";
    std::string biasSupply = "hv";
    double depletionVoltage = 50.0;
};

struct Pixel {
    static constexpr const char* rule = "expected the column x and row y of a pixel";
    int x = -1, y = -1;  // -1: not given
};

struct Dac {
    static constexpr const char* rule = "expected min <= default <= max";
    std::string name;
    int min = 0;
    int max = 0;
    int def = 0;    // restored by zorv_chip_refresh
    int value = 0;
};

// keV = offset + slope * raw for a calibrated threshold; an uncalibrated one has no keV view.
struct Threshold {
    static constexpr const char* rule = "expected rawMin <= rawMax and a non-zero slope";
    std::string id;
    int rawMin = 0;
    int rawMax = 0;
    int rawDefault = 0;
    int raw = 0;
    bool calibrated = true;
    double offset = 0;
    double slope = 1;
    double noise = 0;  // keV
    double kev = NAN;  // the keV value last set, kept exactly; NAN: follows the raw value
};

struct ChipArea {
    static constexpr const char* rule = "expected a positive chip size and chips per row";
    std::vector<Chip> chips;
    int chipWidth = 256;
    int chipHeight = 256;
    int chipsPerRow = 2;
    std::vector<std::string> senseDacs;
    std::string senseSelected;
    std::vector<std::string> modes;
    std::vector<Dac> dacs;
    std::vector<Threshold> thresholds;
    Sensor sensor;
    std::vector<Pixel> hotPixels;  // detector pixels that fire first as the threshold comes down
    // The readout mode selected last (empty: none) and, for a binned mode, its parameters.
    std::string mode;
    uint32_t binWidth = 0;
    uint32_t binHeight = 0;
    uint64_t dwellTime = 0;
};

// A binned readout mode needs binning parameters (width and height dividing the chip, a dwell time).
bool binned_mode(const std::string& mode);
// Pixel size of the whole detector: the chip grid times the chip size.
int detector_width(const ChipArea& area);
int detector_height(const ChipArea& area);
// The pixel address that deliveries carry: y * detector_width + x over the whole detector, with
// (0, 0) the first pixel of chip 0 and chips laid out row by row.
inline uint32_t pixel_address(const ChipArea& area, int x, int y) { return uint32_t(y) * uint32_t(detector_width(area)) + uint32_t(x); }

// An uncalibrated threshold stands for kUncalibratedSpan keV times its raw value's position in its
// raw range (rawMin: 0 keV, rawMax: kUncalibratedSpan keV).
constexpr double kUncalibratedSpan = 80.0;

// The settings of the device that shape the synthetic detector's data (thresholds, noise, polarity
// against the carriers, ToT calibration, mask, hot pixels and the charge collected at time `t`).
// Call with the world locked.
void detector_settings(const Device& dev, double t, SynthConfig& config);
// The fraction of a deposit's charge that the sensor collects at time `t` (by the read-back
// voltage of its bias supply), in steps of 1/64.
double charge_collection(const Device& dev, double t);

// Changes made by a configuration document. Each returns 0 or a negative status with `error` set
// to a last-error text naming the DAC or threshold.
int set_dac(ChipArea& area, const std::string& name, int value, std::string& error);
int set_threshold_raw(ChipArea& area, const std::string& id, int raw, std::string& error);
int set_threshold_kev(ChipArea& area, const std::string& id, double kev, std::string& error);

SIM_AREA_FUNCTIONS(ChipArea, chip);

}  // namespace sim

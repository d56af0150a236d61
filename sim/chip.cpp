// Virtual device: chips, polarity, sense DACs, readout modes, DACs and thresholds.
#include "schema.hpp"
#include "sim.hpp"
#include "zorv/chip.h"
#include "zorv/chip_dac.h"
#include "zorv/chip_mode.h"
#include "zorv/chip_sensedac.h"
#include "zorv/threshold.h"

#include "readout/modes.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

double kev_of(const Threshold& t, int raw) { return t.offset + t.slope * raw; }
double kev_now(const Threshold& t) { return std::isnan(t.kev) ? kev_of(t, t.raw) : t.kev; }

}  // namespace

bool binned_mode(const std::string& mode) { return mode.find("binned") != std::string::npos; }

namespace {

// The detector's width and height in pixels, computed wide: the chip grid times the chip size.
std::pair<int64_t, int64_t> detector_pixels(const ChipArea& a) {
    const int64_t chips = int64_t(a.chips.size());
    if (chips == 0 || a.chipsPerRow <= 0) return {0, 0};
    const int64_t columns = std::min<int64_t>(a.chipsPerRow, chips), rows = (chips + a.chipsPerRow - 1) / a.chipsPerRow;
    return {columns * a.chipWidth, rows * a.chipHeight};
}

}  // namespace

// Within int: the model refuses a detector larger than its pixel addresses reach (check, below).
int detector_width(const ChipArea& a) { return int(detector_pixels(a).first); }
int detector_height(const ChipArea& a) { return int(detector_pixels(a).second); }

int set_dac(ChipArea& a, const std::string& name, int value, std::string& error) {
    Dac* d = find_item(a.dacs, name);
    if (!d) {
        error = "no DAC named '" + name + "'";
        return ZORV_INVALID_ARGUMENT;
    }
    if (value < d->min || value > d->max) {
        error = "value " + std::to_string(value) + " of DAC '" + name + "' is outside its limits [" +
                std::to_string(d->min) + ", " + std::to_string(d->max) + "]";
        return ZORV_INVALID_ARGUMENT;
    }
    d->value = value;
    return 0;
}

int set_threshold_raw(ChipArea& a, const std::string& id, int raw, std::string& error) {
    Threshold* t = find_item(a.thresholds, id);
    if (!t) {
        error = "no threshold with the identifier '" + id + "'";
        return ZORV_INVALID_ARGUMENT;
    }
    if (raw < t->rawMin || raw > t->rawMax) {
        error = "raw value " + std::to_string(raw) + " of threshold '" + id + "' is outside its range [" +
                std::to_string(t->rawMin) + ", " + std::to_string(t->rawMax) + "]";
        return ZORV_INVALID_ARGUMENT;
    }
    t->raw = raw;
    t->kev = NAN;
    return 0;
}

int set_threshold_kev(ChipArea& a, const std::string& id, double kev, std::string& error) {
    Threshold* t = find_item(a.thresholds, id);
    if (!t) {
        error = "no threshold with the identifier '" + id + "'";
        return ZORV_INVALID_ARGUMENT;
    }
    if (!t->calibrated) {
        error = "threshold '" + id + "' is not calibrated";
        return ZORV_INVALID_OPERATION;
    }
    // Compared in single precision: the range that zorv_chip_threshold_range reports is accepted whole.
    double lo = kev_of(*t, t->rawMin), hi = kev_of(*t, t->rawMax);
    if (!(float(kev) >= float(std::min(lo, hi)) && float(kev) <= float(std::max(lo, hi)))) {
        char text[200];
        std::snprintf(text, sizeof text, "%g keV for threshold '%s' is outside its range [%g, %g] keV", kev,
                      id.c_str(), std::min(lo, hi), std::max(lo, hi));
        error = text;
        return ZORV_INVALID_ARGUMENT;
    }
    t->raw = std::clamp(int(std::lround((kev - t->offset) / t->slope)), t->rawMin, t->rawMax);
    t->kev = kev;
    return 0;
}

void defaults(ChipArea& a, int index) {
    a = ChipArea{};
    static const char* const kColumns = "CDEF";
    for (int i = 0; i < 4; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "W%04d_%c%02d", 17 + index, kColumns[i], 4 + i);
        a.chips.push_back({id, 0, {}});
    }
    a.senseDacs = {"bandgap", "temperature", "preamp_bias", "threshold_fine"};
    a.senseSelected = "bandgap";
    for (const readout::Mode& m : readout::kModes)  // the readout modes of the table (not the raw key)
        if (m.generates != readout::Generates::None) a.modes.push_back(m.id);
    a.dacs = {
        {"preamp_bias", 0, 255, 150, 150},    {"preamp_feedback", 0, 255, 10, 10},
        {"discriminator_bias", 0, 255, 128, 128}, {"threshold_coarse", 0, 15, 7, 7},
        {"threshold_fine", 0, 511, 256, 256},  {"test_pulse_coarse", 0, 255, 64, 64},
        {"test_pulse_fine", 0, 511, 128, 128}, {"pll_control", 0, 255, 128, 128},
    };
    // Thresholds about 5 keV, well above the noise and below the lowest photon line; chip 3 has not
    // been through an energy calibration. Each chip has a ToT calibration of its own.
    for (int i = 0; i < 4; ++i) {
        Threshold t;
        t.id = std::to_string(i) + ":threshold";
        t.rawMin = 0;
        t.rawMax = 1023;
        t.rawDefault = t.raw = 75;
        t.calibrated = i != 3;
        t.offset = -1.0 + 0.1 * i;
        t.slope = 0.08;
        t.noise = 0.45 + 0.05 * i;
        a.thresholds.push_back(t);
        a.chips[size_t(i)].tot = {4.7 + 0.2 * i, 9.0 + 2.0 * i, 30.0, 2.0};
    }
    // A sensor that collects holes, fully depleted at 50 V (its bias supply runs at 100 V).
    a.sensor = Sensor{};
    // A handful of hot pixels, at places of their own on each device.
    static const Pixel kHot[] = {{41, 97}, {203, 388}, {300, 12}, {389, 451}, {470, 230}};
    for (Pixel p : kHot) a.hotPixels.push_back({(p.x + 7 * index) % 512, p.y});
}

// ---- the model's members ----

template <class V>
void members(V& v, TotCalibration& c) {
    v("a", c.a);
    v("b", c.b);
    v("c", c.c);
    v("t", c.t);
}
static bool valid(const TotCalibration& c) { return c.a > 0 && c.c >= 0 && c.t >= 0 && std::isfinite(c.b); }

template <class V>
void members(V& v, Chip& c) {
    v("id", c.id);
    v("polarity", c.polarity);
    v("tot", c.tot);
}
static bool valid(const Chip& c) { return c.polarity == positive_polarity || c.polarity == negative_polarity; }

template <class V>
void members(V& v, Dac& d) {
    v("name", d.name);
    v("min", d.min);
    v("max", d.max);
    v("default", d.def);
    v.fallback("value", d.value, d.def);
}
static bool valid(const Dac& d) { return d.min <= d.max && d.def >= d.min && d.def <= d.max; }

template <class V>
void members(V& v, Threshold& t) {
    v("id", t.id);
    v("rawMin", t.rawMin);
    v("rawMax", t.rawMax);
    v("rawDefault", t.rawDefault);
    v.fallback("raw", t.raw, t.rawDefault);
    v("calibrated", t.calibrated);
    v("offset", t.offset);
    v("slope", t.slope);
    v("noise", t.noise, [](double n) { return n >= 0; }, "expected a noise of at least 0 keV");
}
static bool valid(const Threshold& t) { return t.rawMin <= t.rawMax && t.slope != 0; }

template <class V>
void members(V& v, Sensor& s) {
    v("carriers", s.carriers, [](const std::string& c) { return c == "holes" || c == "electrons"; },
      "expected \"holes\" or \"electrons\"");
    v("biasSupply", s.biasSupply);
    v("depletionVoltage", s.depletionVoltage, [](double d) { return d > 0 && std::isfinite(d); },
      "expected a positive number of volts");
}

template <class V>
void members(V& v, Pixel& p) {
    v("x", p.x);
    v("y", p.y);
}
static bool valid(const Pixel& p) { return p.x >= 0 && p.y >= 0; }

template <class V>
void members(V& v, ChipArea& a) {
    v("chips", a.chips);
    v("chipWidth", a.chipWidth);
    v("chipHeight", a.chipHeight);
    v("chipsPerRow", a.chipsPerRow);
    v("senseDacs", a.senseDacs);
    v("senseSelected", a.senseSelected);
    v("modes", a.modes);
    v("mode", a.mode);
    v.group("binning", "expected 32-bit width and height and a non-negative dwell time", [&](auto& g) {
        g("width", a.binWidth);
        g("height", a.binHeight);
        g("dwellTime", a.dwellTime);
    });
    v("dacs", a.dacs);
    v("thresholds", a.thresholds);
    v("sensor", a.sensor);
    v("hotPixels", a.hotPixels);
}
static bool valid(const ChipArea& a) { return a.chipWidth > 0 && a.chipHeight > 0 && a.chipsPerRow > 0; }

// Deliveries carry a pixel's address, y * width + x over the whole detector, in a 32-bit field: the
// detector may have at most 2^32 pixels (and each side fits the model's integers).
static void check(Reader& r, const std::string& path, const ChipArea& a) {
    constexpr int64_t kMaxSide = INT32_MAX, kMaxPixels = int64_t(1) << 32;
    auto [width, height] = detector_pixels(a);
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        r.fail(path, "a detector of " + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels (the chip grid times the chip size) is beyond the 32-bit pixel addresses of its "
                         "deliveries: y * width + x must stay below 2^32, each side below 2^31");
}

void load(ChipArea& a, const Json& doc, const std::string& path, Reader& r) { load_model(a, doc, path, r); }

Json dump(const ChipArea& a) { return dump_model(a); }

// ---- the settings that shape the synthetic detector's data ----

namespace {

// The threshold of chip `chip`: the first whose identifier starts with "<chip index>:".
const Threshold* chip_threshold(const ChipArea& a, size_t chip) {
    std::string prefix = std::to_string(chip) + ":";
    for (auto& t : a.thresholds)
        if (t.id.compare(0, prefix.size(), prefix) == 0) return &t;
    return nullptr;
}

// The energy a threshold stands for: its keV value, or for an uncalibrated one its raw value's
// position in the raw range times kUncalibratedSpan.
double effective_kev(const Threshold& t) {
    if (t.calibrated) return kev_now(t);
    if (t.rawMax == t.rawMin) return 0;
    return kUncalibratedSpan * double(t.raw - t.rawMin) / double(t.rawMax - t.rawMin);
}

}  // namespace

double charge_collection(const Device& dev, double t) {
    const Sensor& s = dev.chip.sensor;
    for (auto& b : dev.supplies.biases)
        if (b.id == s.biasSupply) {
            // The depleted depth grows with the square root of the bias.
            double f = std::min(1.0, std::sqrt(std::fabs(bias_voltage(b, t)) / s.depletionVoltage));
            return std::round(f * 64) / 64;
        }
    return 1.0;  // no such supply: a sensor that needs none
}

void detector_settings(const Device& dev, double t, SynthConfig& config) {
    const ChipArea& a = dev.chip;
    const int carriers = a.sensor.carriers == "electrons" ? negative_polarity : positive_polarity;
    config.chipResponse.clear();
    for (size_t i = 0; i < a.chips.size(); ++i) {
        ChipResponse r;
        r.live = a.chips[i].polarity == carriers;
        r.tot = a.chips[i].tot;
        if (const Threshold* th = chip_threshold(a, i)) {
            r.threshold = effective_kev(*th);
            r.noise = th->noise;
        }
        config.chipResponse.push_back(r);
    }
    config.collection = charge_collection(dev, t);
    // The mask holds the height bytes of a column together, at its own size.
    const int width = detector_width(a), height = detector_height(a);
    size_t mw, mh;
    mask_size(dev, mw, mh);
    const std::vector<uint8_t>& bytes = dev.memory.mask;
    config.masked.clear();
    if (std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; })) {
        config.masked.assign(size_t(width) * size_t(height), 0);
        for (size_t x = 0; x < std::min(mw, size_t(width)); ++x)
            for (size_t y = 0; y < std::min(mh, size_t(height)); ++y)
                if (size_t k = x * mh + y; k < bytes.size() && bytes[k]) config.masked[y * size_t(width) + x] = 1;
    }
    config.hotPixels.clear();
    for (auto& p : a.hotPixels)
        if (p.x < width && p.y < height) config.hotPixels.push_back(pixel_address(a, p.x, p.y));
}

void on_open_chip(Device&) {}
void on_close_chip(Device&) {}

}  // namespace sim

using namespace sim;

namespace {

constexpr List kChips{[](Device& d) -> auto& { return d.chip.chips; }, "chip", Boards::Powered};
constexpr List kSenseDacs{[](Device& d) -> auto& { return d.chip.senseDacs; }, "sense DAC", Boards::Powered};
constexpr List kReadoutModes{[](Device& d) -> auto& { return d.chip.modes; }, "readout mode", Boards::Powered};
constexpr List kDacs{[](Device& d) -> auto& { return d.chip.dacs; }, "DAC", Boards::Powered};
constexpr List kThresholds{[](Device& d) -> auto& { return d.chip.thresholds; }, "threshold", Boards::Powered};

// A setter through one of the area's changes (set_dac, set_threshold_raw, set_threshold_kev), which
// configuration documents make too.
template <class T, class Change>
int chip_setter(const char* fn, zorv_ctx_t* ctx, const char* id, T value, Change change) {
    Call call(fn, ctx, id, value);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, id, Boards::Powered);
    if (!dev) return call.status();
    std::string error;
    if (int status = change(dev->chip, id, value, error)) return call.fail_text(status, error);
    return call.done(0);
}

// The keV calls of a threshold need it calibrated.
bool calibrated(Call& call, const Threshold& t) {
    if (t.calibrated) return true;
    call.fail(ZORV_INVALID_OPERATION, "threshold '%s' is not calibrated", t.id.c_str());
    return false;
}

}  // namespace

extern "C" {

int zorv_chip_refresh(zorv_ctx_t* ctx) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, true, Boards::Powered);
    if (!dev) return call.status();
    for (auto& d : dev->chip.dacs) d.value = d.def;
    for (auto& t : dev->chip.thresholds) {
        t.raw = t.rawDefault;
        t.kev = NAN;
    }
    return call.done(0);
}

// ---- chips and polarity ----

int zorv_chip_count(zorv_ctx_t* ctx, int* count) { return list_count(kChips, __func__, ctx, count); }
int zorv_chip_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kChips, __func__, ctx, idx, id); }

int zorv_chip_get_polarity(zorv_ctx_t* ctx, int idx, zorv_chip_polarity_t* polarity) {
    Call call(__func__, ctx, idx);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, polarity, Boards::Powered);
    if (!dev || !call.index(dev->chip.chips, idx, "chip")) return call.status();
    *polarity = zorv_chip_polarity_t(dev->chip.chips[size_t(idx)].polarity);
    return call.done(0, polarity);
}

int zorv_chip_set_polarity(zorv_ctx_t* ctx, int idx, zorv_chip_polarity_t polarity) {
    Call call(__func__, ctx, idx, int(polarity));
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, true, Boards::Powered);
    if (!dev || !call.index(dev->chip.chips, idx, "chip")) return call.status();
    if (polarity != positive_polarity && polarity != negative_polarity)
        return call.fail(ZORV_INVALID_ARGUMENT, "polarity %d is neither positive (0) nor negative (1)", int(polarity));
    dev->chip.chips[size_t(idx)].polarity = int(polarity);
    return call.done(0);
}

// ---- sense DACs ----

int zorv_chip_sense_dac_count(zorv_ctx_t* ctx, int* count) { return list_count(kSenseDacs, __func__, ctx, count); }
int zorv_chip_sense_dac_name(zorv_ctx_t* ctx, int idx, const char** name) { return list_id(kSenseDacs, __func__, ctx, idx, name); }

int zorv_chip_sense_dac_sel(zorv_ctx_t* ctx, const char* name) {
    Call call(__func__, ctx, name);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, name, Boards::Powered);
    if (!dev) return call.status();
    const auto& list = dev->chip.senseDacs;
    if (std::find(list.begin(), list.end(), name) == list.end())
        return call.fail(ZORV_INVALID_ARGUMENT, "no sense DAC named '%s'", name);
    dev->chip.senseSelected = name;
    return call.done(0);
}

// ---- readout modes ----

int zorv_chip_mode_count(zorv_ctx_t* ctx, int* count) { return list_count(kReadoutModes, __func__, ctx, count); }
int zorv_chip_mode_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kReadoutModes, __func__, ctx, idx, id); }

}  // extern "C"

namespace {

// Selects a mode with (`params` not null) or without parameters; world locked.
int select_mode(Call& call, Device& dev, const char* id, const scan_params* params) {
    ChipArea& a = dev.chip;
    if (std::find(a.modes.begin(), a.modes.end(), id) == a.modes.end())
        return call.fail(ZORV_INVALID_ARGUMENT, "no readout mode with the identifier '%s'", id);
    if (sim::acquiring(dev)) return call.fail(ZORV_INVALID_OPERATION, "the readout mode cannot change while acquiring");
    if (binned_mode(id)) {
        if (!params) return call.fail(ZORV_INVALID_OPERATION, "readout mode '%s' needs binning parameters", id);
        if (params->width_ == 0 || params->height_ == 0 || a.chipWidth % params->width_ != 0 ||
            a.chipHeight % params->height_ != 0)
            return call.fail(ZORV_INVALID_ARGUMENT, "bin size %ux%u does not divide the chip size %dx%d", params->width_,
                              params->height_, a.chipWidth, a.chipHeight);
        if (params->dwell_time_ == 0) return call.fail(ZORV_INVALID_ARGUMENT, "the dwell time of a binned mode must not be 0");
        a.binWidth = params->width_;
        a.binHeight = params->height_;
        a.dwellTime = params->dwell_time_;
    } else {
        a.binWidth = a.binHeight = 0;
        a.dwellTime = 0;
    }
    a.mode = id;
    return call.done(0);
}

}  // namespace

extern "C" {

int zorv_chip_mode_select(zorv_ctx_t* ctx, const char* id) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, id, Boards::Powered);
    if (!dev) return call.status();
    return select_mode(call, *dev, id, nullptr);
}

int zorv_chip_mode_select_ex(zorv_ctx_t* ctx, const char* id, void* params) {
    auto* p = static_cast<const scan_params*>(params);
    Json record;
    if (p) {
        record["width"] = p->width_;
        record["height"] = p->height_;
        record["dwellTime"] = (unsigned long long)p->dwell_time_;
    }
    Call call(__func__, ctx, id, record);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, id && p, Boards::Powered);
    if (!dev) return call.status();
    return select_mode(call, *dev, id, p);
}

// ---- DACs ----

int zorv_chip_dac_count(zorv_ctx_t* ctx, int* count) { return list_count(kDacs, __func__, ctx, count); }
int zorv_chip_dac_name(zorv_ctx_t* ctx, int idx, const char** name) { return list_id(kDacs, __func__, ctx, idx, name); }

int zorv_chip_dac_value_get(zorv_ctx_t* ctx, const char* name, int* value) {
    return item_value(kDacs, __func__, ctx, name, value, [](const Dac& d) { return d.value; });
}

int zorv_chip_dac_value_set(zorv_ctx_t* ctx, const char* name, int value) { return chip_setter(__func__, ctx, name, value, set_dac); }

int zorv_chip_dac_limits(zorv_ctx_t* ctx, const char* name, int* min, int* max) {
    return item_range(kDacs, __func__, ctx, name, min, max, [](const Dac& d) { return std::pair{d.min, d.max}; });
}

// ---- thresholds ----

int zorv_chip_threshold_count(zorv_ctx_t* ctx, int* count) { return list_count(kThresholds, __func__, ctx, count); }
int zorv_chip_threshold_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kThresholds, __func__, ctx, idx, id); }

int zorv_chip_threshold_is_calibrated(zorv_ctx_t* ctx, const char* id, int* calibrated) {
    return item_value(kThresholds, __func__, ctx, id, calibrated, [](const Threshold& t) { return t.calibrated ? 1 : 0; });
}

int zorv_chip_threshold_get(zorv_ctx_t* ctx, const char* id, float* kev) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    auto t = call.item(kThresholds, ctx, id, kev);
    if (!t || !calibrated(call, *t)) return call.status();
    *kev = float(kev_now(*t));
    return call.done(0, kev);
}

int zorv_chip_threshold_set(zorv_ctx_t* ctx, const char* id, float kev) { return chip_setter(__func__, ctx, id, kev, set_threshold_kev); }

int zorv_chip_threshold_range(zorv_ctx_t* ctx, const char* id, float* min, float* max, float* noise) {
    Call call(__func__, ctx, id);
    if (call.injected()) return call.status();
    auto t = call.item(kThresholds, ctx, id, min && max && noise);
    if (!t || !calibrated(call, *t)) return call.status();
    double lo = kev_of(*t, t->rawMin), hi = kev_of(*t, t->rawMax);
    *min = float(std::min(lo, hi));
    *max = float(std::max(lo, hi));
    *noise = float(t->noise);
    return call.done(0, min, max, noise);
}

int zorv_chip_threshold_raw_get(zorv_ctx_t* ctx, const char* id, int* raw) {
    return item_value(kThresholds, __func__, ctx, id, raw, [](const Threshold& t) { return t.raw; });
}

int zorv_chip_threshold_raw_set(zorv_ctx_t* ctx, const char* id, int raw) {
    return chip_setter(__func__, ctx, id, raw, set_threshold_raw);
}

int zorv_chip_threshold_raw_range(zorv_ctx_t* ctx, const char* id, int* min, int* max) {
    return item_range(kThresholds, __func__, ctx, id, min, max, [](const Threshold& t) { return std::pair{t.rawMin, t.rawMax}; });
}

}  // extern "C"

// Clusters of one chip: hits that are neighbours on the chip and close in time, joined as they come.
//
// Two hits are linked when their pixels lie within `radius` columns and rows of each other (the
// same pixel too; radius 1: the 8 neighbours) and their ToAs differ by at most `window` ticks; a
// cluster is a connected set of linked hits. The chip keeps a grid of the latest hit of every
// pixel (its ToA and the label of its cluster, 8 bytes) with a border of `radius` empty pixels, so
// that a hit reads its neighbours without a bound check; the open clusters lie in a table indexed
// by label, joined by union-find when a hit links several. With hits in time order, linking a hit
// to the latest hit of each neighbouring pixel finds every link (an earlier hit of that pixel
// within the window is within the window of the latest one, and linked to it), so the clusters are
// exactly the connected sets.
//
// A cluster is closed, and handed out, once the stream's time has passed its last hit by the
// window and by `order`, the disorder tolerated: a hit that arrives later than that (it is older
// than the stream by more than window + order) is counted in late() and starts a cluster of its
// own where its neighbours are closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorv::cluster {

inline constexpr double kTickNs = 1.5625;  // one ToA tick

// A hit of one chip: its column and row on the chip, its ToT and its ToA in ticks.
struct Hit {
    uint16_t x, y;
    uint32_t tot;
    uint64_t toa;
};
static_assert(sizeof(Hit) == 16);

// A cluster as it is handed out: packed, little-endian, the fields of kClusterFields.
#pragma pack(push, 1)
struct Cluster {
    float x, y;                    // ToT-weighted centroid, in pixels of the detector
    uint64_t toa, toa_peak;        // ToA of the first hit and of the largest-ToT hit, ticks
    double time_ns, time_peak_ns;  // the same in ns
    uint32_t tot_sum, tot_max, size;
    float kev;  // summed energy of the hits, NaN where the chip's ToT calibration is not known
    uint32_t chip;
};
#pragma pack(pop)

struct ClusterField {
    const char* name;
    const char* format;  // NumPy's type string
    uint32_t offset;
};

inline constexpr ClusterField kClusterFields[] = {
    {"x", "<f4", offsetof(Cluster, x)},
    {"y", "<f4", offsetof(Cluster, y)},
    {"toa", "<u8", offsetof(Cluster, toa)},
    {"toa_peak", "<u8", offsetof(Cluster, toa_peak)},
    {"time_ns", "<f8", offsetof(Cluster, time_ns)},
    {"time_peak_ns", "<f8", offsetof(Cluster, time_peak_ns)},
    {"tot_sum", "<u4", offsetof(Cluster, tot_sum)},
    {"tot_max", "<u4", offsetof(Cluster, tot_max)},
    {"size", "<u4", offsetof(Cluster, size)},
    {"kev", "<f4", offsetof(Cluster, kev)},
    {"chip", "<u4", offsetof(Cluster, chip)},
};

// A chip's ToT calibration: ToT = a E + b - c / (E - t) ticks for E keV above t.
struct TotCalibration {
    double a, b, c, t;
    // keV of a ToT: the larger root of a E^2 + (b - a t - ToT) E + (ToT t - b t - c) = 0.
    double kev(double tot) const;
};

struct Rule {
    uint32_t chip_width, chip_height;
    uint32_t radius;  // in pixels, rows and columns
    uint64_t window;  // ticks
    uint64_t order;   // ticks of disorder tolerated
};

class ChipGrid {
public:
    static constexpr uint32_t kTable = 1 << 15;  // open clusters (and clusters merged into them) at most
    static constexpr uint32_t kFifo = 2 * kTable;  // labels in opening order, some of them closed
    static constexpr uint32_t kLutTots = 1024;     // ToTs whose energy is looked up

    // The chip numbered `chip`, whose pixel (0, 0) is pixel (x0, y0) of the detector; `cal` null:
    // no calibration.
    ChipGrid(const Rule& rule, uint32_t chip, uint32_t x0, uint32_t y0, const TotCalibration* cal);
    ChipGrid(const ChipGrid&) = delete;
    ChipGrid& operator=(const ChipGrid&) = delete;
    ChipGrid(ChipGrid&&) = default;

    // Adds hits in (rough) time order; the clusters that close meanwhile are appended to `out`.
    void add(const Hit* hits, size_t n, std::vector<Cluster>& out);
    // Closes the clusters that no hit up to stream time `now` can join any more.
    void close_before(uint64_t now, std::vector<Cluster>& out);
    // Closes every open cluster and starts the clock afresh (a new acquisition).
    void close_all(std::vector<Cluster>& out);
    // Forgets everything (in a forked child, where a thread may have stopped half-way).
    void reset();

    uint64_t late() const { return late_; }
    uint64_t forced() const { return forced_; }

private:
    struct Entry {
        uint32_t time;   // the low 32 bits of the ToA
        uint32_t label;  // 0: none
    };
    struct Open {
        uint32_t label;   // 0: a free slot
        uint32_t parent;  // itself for a root, else the cluster it was merged into
        uint32_t next, tail;  // the members merged into a root, as a list
        uint32_t size, tot_max;
        uint64_t first, last, peak;
        uint64_t tot, sx, sy, ux, uy;
        double kev;
    };

    template <int R>
    void add_within(const Hit* hits, size_t n, std::vector<Cluster>& out);
    Open& slot(uint32_t label) { return table_[label & (kTable - 1)]; }
    uint32_t find(uint32_t label);
    uint32_t unite(uint32_t a, uint32_t b);
    uint32_t open_cluster(uint64_t toa, std::vector<Cluster>& out);
    void emit(uint32_t root, std::vector<Cluster>& out);
    bool is_root(uint32_t label) { return slot(label).label == label && slot(label).parent == label; }
    void push(uint32_t label);
    bool closable(const Open& c, uint64_t now) const { return c.last + rule_.window + rule_.order < now; }
    float energy(uint32_t tot) const;

    Rule rule_;
    uint32_t chip_, x0_, y0_, stride_;
    bool calibrated_;
    TotCalibration cal_{};
    std::vector<float> lut_;
    std::vector<Entry> grid_;
    std::vector<Open> table_;
    std::vector<uint32_t> fifo_;  // labels in the order they opened (closed ones go when met)
    uint32_t fifo_head_ = 0, fifo_size_ = 0, used_ = 0, next_label_ = 1;
    uint64_t now_ = 0, closed_ = 0;  // the latest ToA seen, and the time before which clusters closed
    uint64_t late_ = 0, forced_ = 0;
};

}  // namespace zorv::cluster

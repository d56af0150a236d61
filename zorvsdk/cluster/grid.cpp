#include "grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zorv::cluster {

double TotCalibration::kev(double tot) const {
    const double p = b - a * t - tot, q = tot * t - b * t - c;
    return (-p + std::sqrt(std::max(0.0, p * p - 4 * a * q))) / (2 * a);
}

ChipGrid::ChipGrid(const Rule& rule, uint32_t chip, uint32_t x0, uint32_t y0, const TotCalibration* cal)
    : rule_(rule), chip_(chip), x0_(x0), y0_(y0), stride_(rule.chip_width + 2 * rule.radius), calibrated_(cal != nullptr),
      grid_(uint64_t(stride_) * (rule.chip_height + 2 * rule.radius)), table_(kTable), fifo_(kFifo) {
    if (cal) {
        cal_ = *cal;
        lut_.resize(kLutTots);
        for (uint32_t tot = 0; tot < kLutTots; ++tot) lut_[tot] = float(cal->kev(tot));
    }
}

float ChipGrid::energy(uint32_t tot) const {
    if (!calibrated_) return 0;
    return tot < kLutTots ? lut_[tot] : float(cal_.kev(tot));
}

// The root of an open label, halving the path on the way; 0 for a closed one.
uint32_t ChipGrid::find(uint32_t label) {
    if (slot(label).label != label) return 0;
    for (;;) {
        Open& c = slot(label);
        if (c.parent == label) return label;
        Open& p = slot(c.parent);
        if (p.parent != c.parent) c.parent = p.parent;
        label = c.parent;
    }
}

// Joins two roots: the later-opened one goes into the other, with its sums and members.
uint32_t ChipGrid::unite(uint32_t a, uint32_t b) {
    if (a == b) return a;
    Open *ra = &slot(a), *rb = &slot(b);
    if (rb->first < ra->first) std::swap(ra, rb), std::swap(a, b);
    rb->parent = a;
    ra->size += rb->size;
    if (rb->tot_max > ra->tot_max || (rb->tot_max == ra->tot_max && rb->peak < ra->peak))
        ra->tot_max = rb->tot_max, ra->peak = rb->peak;  // the earliest of the largest
    ra->first = std::min(ra->first, rb->first);
    ra->last = std::max(ra->last, rb->last);
    ra->tot += rb->tot, ra->sx += rb->sx, ra->sy += rb->sy, ra->ux += rb->ux, ra->uy += rb->uy, ra->kev += rb->kev;
    slot(ra->tail).next = b;  // b's list follows a's
    ra->tail = rb->tail;
    return a;
}

// A new root for a hit at `toa`. The table full, the oldest cluster is closed first (counted).
uint32_t ChipGrid::open_cluster(uint64_t toa, std::vector<Cluster>& out) {
    while (used_ == kTable) {
        const uint32_t label = fifo_[fifo_head_];
        fifo_head_ = (fifo_head_ + 1) % kFifo, --fifo_size_;
        if (is_root(label)) {
            emit(label, out);
            ++forced_;
        }
    }
    uint32_t label;
    do {
        label = next_label_++;
        if (!next_label_) next_label_ = 1;
    } while (!label || slot(label).label);
    Open& c = slot(label);
    c = Open{label, label, 0, label, 0, 0, toa, toa, toa, 0, 0, 0, 0, 0, 0.0};
    ++used_;
    push(label);
    return label;
}

// Appends a label to the order; the order full, the labels of closed clusters and of clusters
// merged into others (at most kTable are open) are let go first.
void ChipGrid::push(uint32_t label) {
    if (fifo_size_ == kFifo) {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < fifo_size_; ++i) {
            const uint32_t l = fifo_[(fifo_head_ + i) % kFifo];
            if (is_root(l)) fifo_[kept++] = l;
        }
        fifo_head_ = 0, fifo_size_ = kept;
    }
    fifo_[(fifo_head_ + fifo_size_++) % kFifo] = label;
}

// Hands a root out and frees it with its members.
void ChipGrid::emit(uint32_t root, std::vector<Cluster>& out) {
    const Open& c = slot(root);
    const bool weighted = c.tot > 0;
    const double w = weighted ? double(c.tot) : double(c.size);
    const double x = double(weighted ? c.sx : c.ux) / w, y = double(weighted ? c.sy : c.uy) / w;
    out.push_back(Cluster{float(x0_ + x), float(y0_ + y), c.first, c.peak, double(c.first) * kTickNs,
                          double(c.peak) * kTickNs, uint32_t(std::min<uint64_t>(c.tot, UINT32_MAX)), c.tot_max, c.size,
                          calibrated_ ? float(c.kev) : std::numeric_limits<float>::quiet_NaN(), chip_});
    for (uint32_t m = root; m;) {
        Open& s = slot(m);
        m = s.next;
        s.label = 0;
        --used_;
    }
}

void ChipGrid::add(const Hit* hits, size_t n, std::vector<Cluster>& out) {
    if (rule_.radius == 1) return add_within<1>(hits, n, out);
    return add_within<0>(hits, n, out);
}

// R: the radius when known when compiling (1, the default: 8 neighbours unrolled), 0 when not.
template <int R>
void ChipGrid::add_within(const Hit* hits, size_t n, std::vector<Cluster>& out) {
    const int r = R ? R : int(rule_.radius);
    const uint32_t window = uint32_t(std::min<uint64_t>(rule_.window, INT32_MAX));
    constexpr size_t kCloseEvery = 256;  // hits between two looks for clusters to close
    constexpr size_t kAhead = 8;         // hits whose neighbours are fetched ahead
    auto centre_of = [&](const Hit& h) { return grid_.data() + uint64_t(h.y + r) * stride_ + (h.x + r); };
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            const Entry* ahead = centre_of(hits[i + kAhead]);
            for (int dy = -r; dy <= r; ++dy) {
                __builtin_prefetch(ahead + int64_t(dy) * stride_ - r, 1);
                __builtin_prefetch(ahead + int64_t(dy) * stride_ + r, 1);
            }
        }
        const Hit& h = hits[i];
        const uint64_t t = h.toa;
        const uint32_t t32 = uint32_t(t);
        if (t > now_) now_ = t;
        if (t + rule_.window + rule_.order < closed_) ++late_;
        Entry* centre = centre_of(h);
        // The neighbours' labels within the window (0 for the others), read at once, then joined.
        constexpr int kMost = R ? (2 * R + 1) * (2 * R + 1) : 1;
        uint32_t near[kMost];
        int found = 0;
        if constexpr (R > 0) {
#pragma GCC unroll 9
            for (int k = 0; k < kMost; ++k) {
                const Entry e = centre[int64_t(k / (2 * R + 1) - R) * stride_ + (k % (2 * R + 1) - R)];
                near[k] = uint32_t(t32 - e.time + window) <= 2 * window ? e.label : 0;  // |dt| <= window
                found |= near[k] != 0;
            }
        } else {
            found = 1;
        }
        uint32_t root = 0, seen = 0;  // the root found, and the last label that led to it
        auto join = [&](uint32_t label) {
            if (!label || label == seen) return;
            const uint32_t got = find(label);
            if (got) root = root ? unite(root, got) : got, seen = label;
        };
        if constexpr (R > 0) {
            if (found)
                for (int k = 0; k < kMost; ++k) join(near[k]);
        } else {
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const Entry e = centre[int64_t(dy) * stride_ + dx];
                    if (uint32_t(t32 - e.time + window) <= 2 * window) join(e.label);
                }
        }
        if (!root) root = open_cluster(t, out);
        Open& c = slot(root);
        ++c.size;
        if (h.tot > c.tot_max || c.size == 1) c.tot_max = h.tot, c.peak = t;
        if (t < c.first) c.first = t;
        if (t > c.last) c.last = t;
        c.tot += h.tot, c.sx += uint64_t(h.x) * h.tot, c.sy += uint64_t(h.y) * h.tot, c.ux += h.x, c.uy += h.y;
        if (calibrated_) c.kev += energy(h.tot);
        // The pixel keeps its latest hit: one that came out of order leaves a later one of an
        // open cluster in place.
        if (int32_t(t32 - centre->time) >= 0 || !centre->label || !find(centre->label)) *centre = {t32, root};
        if (i % kCloseEvery == kCloseEvery - 1) close_before(now_, out);
    }
}

void ChipGrid::close_before(uint64_t now, std::vector<Cluster>& out) {
    if (now > now_) now_ = now;
    now = now_;
    // Labels in the order they opened: a root that cannot close yet and opened within the last
    // window + order stops the look (those after it opened later still); one open for longer (a
    // pixel that keeps firing) goes to the back, so that it holds up no other. Hits out of time
    // order (deliveries of two streams) open clusters in another order: with many open, the look
    // goes on over all of them.
    const bool many = fifo_size_ >= kTable / 4;
    for (uint32_t looked = 0, n = fifo_size_; looked < n && fifo_size_; ++looked) {
        const uint32_t label = fifo_[fifo_head_];
        const Open& c = slot(label);
        const bool root = is_root(label);
        if (root && !closable(c, now)) {
            if (c.first + rule_.window + rule_.order >= now && !many) break;
            fifo_[(fifo_head_ + fifo_size_) % kFifo] = label;  // to the back
        } else {
            if (root) emit(label, out);
            --fifo_size_;
        }
        fifo_head_ = (fifo_head_ + 1) % kFifo;
    }
    if (now > closed_) closed_ = now;
}

void ChipGrid::close_all(std::vector<Cluster>& out) {
    for (; fifo_size_; --fifo_size_, fifo_head_ = (fifo_head_ + 1) % kFifo) {
        const uint32_t label = fifo_[fifo_head_];
        if (is_root(label)) emit(label, out);
    }
    fifo_head_ = 0;
    now_ = closed_ = 0;
}

void ChipGrid::reset() {
    std::fill(grid_.begin(), grid_.end(), Entry{0, 0});
    std::fill(table_.begin(), table_.end(), Open{});
    fifo_head_ = fifo_size_ = used_ = 0;
    next_label_ = 1;
    now_ = closed_ = 0;
}

}  // namespace zorv::cluster

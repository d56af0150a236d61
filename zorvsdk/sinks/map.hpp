// The native part of a HitMap.
#pragma once

#include "fork.hpp"
#include "places.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace zorv::sinks {

struct Pixel {
    uint64_t count, tot;
};

// Per-pixel counts and ToT. Deliveries add into `live` with the mutex held; a snapshot swaps in
// the zeroed `spare` (so a delivery waits only for the swap) and adds what it took into `total`:
// three accumulators of 16 bytes per pixel.
class Map final : public Sink {
public:
    Map(uint64_t width, uint64_t height)
        : width_(width), height_(height), pixels_(width * height), live_(zeroed()), spare_(zeroed()), total_(zeroed()) {}
    ~Map() override {
        std::free(live_);
        std::free(spare_);
        std::free(total_);
    }
    static constexpr const char* kName = "HitMap";
    static constexpr bool kTakesRaw = false;

    bool ok() const { return live_ && spare_ && total_; }
    void acquiring(int) noexcept {}

    uint64_t width() const { return width_; }
    uint64_t height() const { return height_; }
    uint64_t pixels() const { return pixels_; }
    uint64_t outside() const { return outside_.load(std::memory_order_relaxed); }
    uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
    uint64_t ignored() const { return ignored_.load(std::memory_order_relaxed); }

    void deliver(const DeliveredData& d) noexcept {
        if (!known(d.kind)) return;
        if (info(d.kind).hits.counts == readout::Counts::Nothing || !addressable(d)) {  // raw bytes, or counts no buffer has
            ignored_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Adder add{nullptr, pixels_};
        {
            std::lock_guard<std::mutex> lock(mu_);
            add.px = live_;
            (this->*kAccumulate[int(d.kind)])(d, add);
        }
        if (add.outside) outside_.fetch_add(add.outside, std::memory_order_relaxed);
        delivered_.fetch_add(1, std::memory_order_relaxed);
    }

    // The totals of every delivery taken in so far, into `counts` and `tot` (either may be null).
    void snapshot(uint64_t* counts, uint64_t* tot) {
        std::lock_guard<std::mutex> lock(snap_);
        Pixel* taken = swap();
        for (uint64_t i = 0; i < pixels_; ++i) {
            total_[i].count += taken[i].count;
            total_[i].tot += taken[i].tot;
            if (counts) counts[i] = total_[i].count;
            if (tot) tot[i] = total_[i].tot;
        }
        std::memset(taken, 0, pixels_ * sizeof(Pixel));
        spare_ = taken;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(snap_);
        Pixel* taken = swap();
        std::memset(taken, 0, pixels_ * sizeof(Pixel));
        std::memset(total_, 0, pixels_ * sizeof(Pixel));
        spare_ = taken;
        outside_.store(0, std::memory_order_relaxed);
        delivered_.store(0, std::memory_order_relaxed);
        ignored_.store(0, std::memory_order_relaxed);
    }

protected:
    void lock() override {
        snap_.lock();
        mu_.lock();
    }
    void unlock() override {
        mu_.unlock();
        snap_.unlock();
    }
    void repair_child() override {}  // with both locks taken, nothing was half-way

private:
    // Adds hits and ToT at an address, or counts an address outside the map.
    struct Adder {
        Pixel* px;
        uint64_t pixels, outside = 0;
        void prefetch(uint64_t address) const {
            if (address < pixels) __builtin_prefetch(px + address, 1);
        }
        void operator()(uint64_t address, uint64_t hits, uint64_t tot) {
            if (address < pixels) {
                px[address].count += hits;
                px[address].tot += tot;
            } else {
                ++outside;
            }
        }
    };

    // The elements of the places that a value reads (a constant reads none: `none`).
    static uint64_t count_at(const DeliveredArray* a, readout::Located l, uint64_t none) {
        return l.place < 0 ? none : count_of(a[l.place]);
    }

    // What a delivery of kind K adds to the map, by its hit rule (readout/modes.hpp): hits and
    // pixel sums by pixel address, bin sums by bin index, frame values by their row and column.
    template <DeliveryKind K>
    void accumulate(const DeliveredData& d, Adder& add) const {
        using readout::Counts;
        constexpr const KindInfo& k = info(K);
        constexpr readout::Located address = readout::locate(k, k.hits.address), hits = readout::locate(k, k.hits.hits),
                                   tot = readout::locate(k, k.hits.tot);
        const DeliveredArray* a = d.arrays;
        if constexpr (k.hits.counts == Counts::Hits || k.hits.counts == Counts::PixelSums) {
            // Hit records fetch the pixel of a hit a few records on ahead; the vectors and the
            // per-pixel sums go without (it costs them more than it brings).
            constexpr bool ahead = k.hits.counts == Counts::Hits && k.types[address.place]->nfields > 0;
            const uint64_t n = std::min({count_of(a[address.place]), count_at(a, hits, UINT64_MAX), count_at(a, tot, UINT64_MAX)});
            for (uint64_t i = 0; i < n; ++i) {
                if (ahead && i + 16 < n) add.prefetch(read_value<address>(a, i + 16));
                add(read_value<address>(a, i), read_value<hits>(a, i), read_value<tot>(a, i));
            }
        } else if constexpr (k.hits.counts == Counts::BinSums) {
            const uint64_t nhits = count_at(a, hits, 0), ntot = count_at(a, tot, 0);
            for (uint64_t i = 0, n = std::max(nhits, ntot); i < n; ++i)
                add(i, i < nhits ? read_value<hits>(a, i) : 0, i < ntot ? read_value<tot>(a, i) : 0);
        } else if constexpr (k.hits.counts == Counts::FrameValues) {
            constexpr uint64_t side = readout::kFrameSide;
            for (uint64_t i = 0, n = count_of(a[hits.place]); i < n; ++i) {  // value j of a frame: row j / side, column j % side
                const uint64_t j = i % readout::kFrameValues, row = j / side, column = j % side;
                add(row < height_ && column < width_ ? row * width_ + column : pixels_, read_value<hits>(a, i), read_value<tot>(a, i));
            }
        }
    }

    using Accumulate = void (Map::*)(const DeliveredData&, Adder&) const;
    static constexpr auto kAccumulate = []<size_t... K>(std::index_sequence<K...>) {
        return std::array<Accumulate, sizeof...(K)>{&Map::accumulate<DeliveryKind(K)>...};
    }(std::make_index_sequence<size_t(readout::kKindCount)>{});

    Pixel* zeroed() const { return pixels_ ? static_cast<Pixel*>(std::calloc(pixels_, sizeof(Pixel))) : nullptr; }

    // With snap_ held: the accumulator deliveries add into from now on is the spare one.
    Pixel* swap() {
        std::lock_guard<std::mutex> lock(mu_);
        return std::exchange(live_, spare_);
    }

    const uint64_t width_, height_, pixels_;
    std::mutex mu_, snap_;  // snap_ first when both are taken
    Pixel *live_, *spare_, *total_;
    std::atomic<uint64_t> outside_{0}, delivered_{0}, ignored_{0};
};

}  // namespace zorv::sinks

// The clusters of a detector at its rate: hits put in by the SDK's threads, split by chip into
// rings, clustered by threads of the pipeline's own (each chip by one of them, ChipGrid) and handed
// out in batches to a reader.
//
// A producer (put) never waits for the threads or the reader: it copies a delivery's hits into
// the rings of their chips with the producers' mutex held, or drops the delivery whole when a ring
// has no room (counted). A thread takes the hits of its chips in chunks; a chunk that is not in
// time order is sorted first. The stream's time (the latest ToA put in) closes the clusters of
// every chip, also of a chip that got no hits, so that a cluster is handed out within the window
// (and the disorder tolerated) plus one delivery after its last hit. The end of an acquisition
// (flush) closes every cluster of the hits put in before it. Clusters wait for the reader in a
// buffer of `clusters` records; while it is full the threads wait, the rings fill, and deliveries
// are dropped at the door, so that no cluster is ever cut by a loss inside the pipeline.
#pragma once

#include "grid.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorv::cluster {

struct Settings {
    uint32_t width, height;  // of the detector, in pixels
    Rule rule;
    std::vector<std::optional<TotCalibration>> calibration;  // by chip; chips past its end have none
    uint64_t capacity;  // hits held between the producers and the threads
    uint64_t clusters;  // clusters held for the reader
    int threads;
};

struct Counts {
    uint64_t delivered, dropped, hits, dropped_hits, outside, clusters, late, forced;
};

class Pipeline {
public:
    explicit Pipeline(const Settings& s);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    bool ok() const { return ok_; }
    uint32_t chips() const { return uint32_t(chips_.size()); }
    int threads() const { return nthreads_; }
    const Settings& settings() const { return s_; }
    Counts counts() const;

    // A delivery of `n` hits: read(i, address, tot, toa) gives hit i; `toa32`: its ToA holds the
    // low 32 bits only (they are unwrapped against the stream's time).
    template <class Read>
    void put(uint64_t n, bool toa32, Read read);

    // An acquisition begun (+1) or ended (-1): when the last one ends, a flush.
    void acquiring(bool running);
    // Closes every cluster of the hits put in so far; returns the flush's number for flushed().
    uint64_t flush();

    // For the reader, with mutex() held: the clusters ready, swapped out into `got` (true), or
    // false when none are (or another reader takes them); then taken() once they are copied.
    bool take(const std::vector<Cluster>*& got);
    void taken();
    // With mutex() held: flush `ticket` is done and its clusters are handed out.
    bool flushed(uint64_t ticket) const;
    // With mutex() held: the clusters ready fill the reader's buffer.
    bool full() const { return ready_.size() >= s_.clusters; }
    // With mutex() held: no acquisition runs, and every cluster of what was put in is taken.
    bool ended() const;
    std::mutex& mutex() { return out_mu_; }
    std::condition_variable& ready() { return ready_cv_; }
    int& waiters() { return waiters_; }

    // Fork: the locks, and the child, where the threads do not exist.
    void lock();
    void unlock();
    void repair_child();

private:
    struct Chip {
        explicit Chip(ChipGrid g) : grid(std::move(g)) {}
        ChipGrid grid;
        std::unique_ptr<Hit[]> ring;
        std::atomic<uint64_t> head{0}, tail{0};  // taken by its thread, put in
        uint64_t filling = 0;                    // the producers' tail, with in_mu_ held
        uint64_t mark = 0;                       // where the latest flush is, with in_mu_ held
        std::atomic<uint64_t> flushed{0};        // the latest flush its thread has closed
        std::atomic<uint64_t> late{0}, forced{0};
        uint64_t count = 0;  // hits of the delivery being put in
    };

    bool locate(uint64_t address, uint32_t& chip, uint16_t& x, uint16_t& y) const {
        if (address >= pixels_) return false;
        uint64_t col, row;
        if (pow2_) {
            col = address & (s_.width - 1), row = address >> width_shift_;
            chip = uint32_t((row >> ch_shift_) * per_row_ + (col >> cw_shift_));
            x = uint16_t(col & (s_.rule.chip_width - 1)), y = uint16_t(row & (s_.rule.chip_height - 1));
        } else {
            col = address % s_.width, row = address / s_.width;
            chip = uint32_t(row / s_.rule.chip_height * per_row_ + col / s_.rule.chip_width);
            x = uint16_t(col % s_.rule.chip_width), y = uint16_t(row % s_.rule.chip_height);
        }
        return true;
    }
    uint64_t room(const Chip& c) const { return ring_size_ - (c.filling - c.head.load(std::memory_order_acquire)); }
    void start_locked();
    void wake();
    void work(int w, int step);
    void hand_out(std::vector<Cluster>& out);

    const Settings s_;
    bool ok_ = false, pow2_ = false;
    uint64_t pixels_, per_row_, ring_size_;
    int width_shift_ = 0, cw_shift_ = 0, ch_shift_ = 0, nthreads_;
    std::vector<std::unique_ptr<Chip>> chips_;

    std::mutex in_mu_;  // the producers'
    std::atomic<uint64_t> stream_time_{0}, flush_seq_{0};
    std::atomic<int> running_{0};
    bool started_ = false;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;

    std::mutex wake_mu_;
    std::condition_variable wake_cv_;
    std::atomic<int> sleepers_{0};

    std::mutex out_mu_;  // the reader's
    std::condition_variable ready_cv_, room_cv_;
    int waiters_ = 0;
    bool reading_ = false;
    std::vector<Cluster> ready_, spare_;

    std::atomic<uint64_t> delivered_{0}, dropped_{0}, hits_{0}, dropped_hits_{0}, outside_{0}, clusters_{0};
};

template <class Read>
void Pipeline::put(uint64_t n, bool toa32, Read read) {
    std::lock_guard<std::mutex> lock(in_mu_);
    if (!started_) start_locked();
    uint64_t address, tot, toa;
    uint32_t chip;
    uint16_t x, y;
    // Mostly every ring has room for the whole delivery; otherwise count what each chip gets.
    bool fits = true;
    for (const auto& c : chips_) fits = fits && room(*c) >= n;
    if (!fits) {
        for (const auto& c : chips_) c->count = 0;
        for (uint64_t i = 0; i < n; ++i) {
            read(i, address, tot, toa);
            if (locate(address, chip, x, y)) ++chips_[chip]->count;
        }
        fits = true;
        for (const auto& c : chips_) fits = fits && room(*c) >= c->count;
        if (!fits) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            dropped_hits_.fetch_add(n, std::memory_order_relaxed);
            return;
        }
    }
    const uint64_t mask = ring_size_ - 1;
    uint64_t latest = stream_time_.load(std::memory_order_relaxed), reference = latest, outside = 0;
    for (uint64_t i = 0; i < n; ++i) {
        read(i, address, tot, toa);
        if (!locate(address, chip, x, y)) {
            ++outside;
            continue;
        }
        if (toa32) {  // the value of the low 32 bits nearest the hit before
            toa |= reference & ~uint64_t(UINT32_MAX);
            if (toa + (uint64_t(1) << 31) < reference) toa += uint64_t(1) << 32;
            else if (toa > reference + (uint64_t(1) << 31) && toa >= (uint64_t(1) << 32)) toa -= uint64_t(1) << 32;
            reference = toa;
        }
        if (toa > latest) latest = toa;
        Chip& c = *chips_[chip];
        c.ring[c.filling++ & mask] = Hit{x, y, uint32_t(std::min<uint64_t>(tot, UINT32_MAX)), toa};
    }
    for (const auto& c : chips_) c->tail.store(c->filling, std::memory_order_release);
    stream_time_.store(latest, std::memory_order_release);
    delivered_.fetch_add(1, std::memory_order_relaxed);
    hits_.fetch_add(n - outside, std::memory_order_relaxed);
    if (outside) outside_.fetch_add(outside, std::memory_order_relaxed);
    wake();
}

}  // namespace zorv::cluster

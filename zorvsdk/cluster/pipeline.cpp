#include "pipeline.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <new>

namespace zorv::cluster {

namespace {

constexpr uint64_t kChunk = 1 << 14;  // hits a thread takes at a time
constexpr size_t kBatch = 1 << 13;    // clusters a thread hands out at a time, at least

bool in_time_order(const Hit* h, uint64_t n) {
    for (uint64_t i = 1; i < n; ++i)
        if (h[i].toa < h[i - 1].toa) return false;
    return true;
}

}  // namespace

Pipeline::Pipeline(const Settings& s) : s_(s) {
    const Rule& r = s.rule;
    per_row_ = (s.width + r.chip_width - 1) / r.chip_width;
    const uint64_t rows = (s.height + r.chip_height - 1) / r.chip_height, chips = per_row_ * rows;
    pixels_ = uint64_t(s.width) * s.height;
    pow2_ = std::has_single_bit(s.width) && std::has_single_bit(r.chip_width) && std::has_single_bit(r.chip_height);
    width_shift_ = std::countr_zero(s.width), cw_shift_ = std::countr_zero(r.chip_width), ch_shift_ = std::countr_zero(r.chip_height);
    ring_size_ = std::bit_ceil(std::max<uint64_t>((s.capacity + chips - 1) / chips, kChunk));
    nthreads_ = int(std::clamp<uint64_t>(uint64_t(s.threads), 1, chips));
    try {
        for (uint64_t c = 0; c < chips; ++c) {
            const TotCalibration* cal = c < s.calibration.size() && s.calibration[c] ? &*s.calibration[c] : nullptr;
            auto chip = std::make_unique<Chip>(
                ChipGrid(r, uint32_t(c), uint32_t(c % per_row_ * r.chip_width), uint32_t(c / per_row_ * r.chip_height), cal));
            chip->ring.reset(new (std::nothrow) Hit[ring_size_]);  // left unwritten: mapped as it fills
            if (!chip->ring) return;
            chips_.push_back(std::move(chip));
        }
        ready_.reserve(s.clusters);
        spare_.reserve(s.clusters);
    } catch (const std::bad_alloc&) {
        return;
    }
    ok_ = true;
}

Pipeline::~Pipeline() {
    stop_.store(true);
    {
        std::lock_guard<std::mutex> a(wake_mu_), b(out_mu_);
    }
    wake_cv_.notify_all();
    room_cv_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

Counts Pipeline::counts() const {
    Counts c{delivered_.load(std::memory_order_relaxed), dropped_.load(std::memory_order_relaxed),
             hits_.load(std::memory_order_relaxed), dropped_hits_.load(std::memory_order_relaxed),
             outside_.load(std::memory_order_relaxed), clusters_.load(std::memory_order_relaxed), 0, 0};
    for (const auto& chip : chips_) {
        c.late += chip->late.load(std::memory_order_relaxed);
        c.forced += chip->forced.load(std::memory_order_relaxed);
    }
    return c;
}

// With in_mu_ held. Fewer threads where the system makes fewer (none: tried again later).
void Pipeline::start_locked() {
    for (int want = nthreads_; want > 0 && !started_; want = int(threads_.size())) {
        threads_.clear();
        try {
            for (int w = 0; w < want; ++w) threads_.emplace_back(&Pipeline::work, this, w, want);
            nthreads_ = want;
            started_ = true;
        } catch (const std::system_error&) {
            stop_.store(true);
            wake_cv_.notify_all();
            for (std::thread& t : threads_) t.join();
            stop_.store(false);
        }
    }
}

void Pipeline::wake() {
    if (sleepers_.load() == 0) return;
    { std::lock_guard<std::mutex> lock(wake_mu_); }
    wake_cv_.notify_all();
}

void Pipeline::acquiring(bool running) {
    bool last;
    {
        std::lock_guard<std::mutex> lock(in_mu_);
        const int now = running ? running_.load() + 1 : std::max(running_.load() - 1, 0);
        running_.store(now);
        last = !running && now == 0;
    }
    if (last) flush();
    std::lock_guard<std::mutex> lock(out_mu_);
    ready_cv_.notify_all();
}

uint64_t Pipeline::flush() {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(in_mu_);
        if (!started_) start_locked();
        for (const auto& c : chips_) c->mark = c->filling;
        stream_time_.store(0, std::memory_order_relaxed);  // the next acquisition's clock starts anew
        ticket = flush_seq_.fetch_add(1, std::memory_order_release) + 1;
    }
    { std::lock_guard<std::mutex> lock(wake_mu_); }
    wake_cv_.notify_all();
    return ticket;
}

bool Pipeline::take(const std::vector<Cluster>*& got) {
    if (reading_ || ready_.empty()) return false;
    std::swap(ready_, spare_);
    reading_ = true;
    got = &spare_;
    room_cv_.notify_all();
    return true;
}

void Pipeline::taken() {
    {
        std::lock_guard<std::mutex> lock(out_mu_);
        spare_.clear();
        reading_ = false;
    }
    ready_cv_.notify_all();
}

bool Pipeline::flushed(uint64_t ticket) const {
    for (const auto& c : chips_)
        if (c->flushed.load(std::memory_order_acquire) < ticket) return false;
    return true;
}

bool Pipeline::ended() const {
    if (running_ != 0 || !ready_.empty() || reading_ || !flushed(flush_seq_.load(std::memory_order_acquire))) return false;
    for (const auto& c : chips_)
        if (c->head.load(std::memory_order_acquire) != c->tail.load(std::memory_order_acquire)) return false;
    return true;
}

// Appends a thread's clusters to the reader's, waiting while that is full.
void Pipeline::hand_out(std::vector<Cluster>& out) {
    std::unique_lock<std::mutex> lock(out_mu_);
    for (size_t at = 0; at < out.size() && !stop_.load(std::memory_order_relaxed);) {
        const size_t room = s_.clusters - ready_.size();
        if (!room) {
            room_cv_.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        const size_t n = std::min(room, out.size() - at);
        ready_.insert(ready_.end(), out.begin() + ptrdiff_t(at), out.begin() + ptrdiff_t(at + n));
        at += n;
        clusters_.fetch_add(n, std::memory_order_relaxed);
        if (waiters_) ready_cv_.notify_all();
    }
    out.clear();
}

void Pipeline::work(int w, int step) {
    std::vector<Cluster> out;
    std::vector<Hit> sorted;
    out.reserve(2 * kBatch);
    sorted.reserve(kChunk);
    const uint64_t mask = ring_size_ - 1;
    while (!stop_.load(std::memory_order_relaxed)) {
        // The flush, then the stream's time, then the rings: all a flush marked, and every hit
        // of the time read, is in the rings as read.
        const uint64_t flush = flush_seq_.load(std::memory_order_acquire);
        const uint64_t now = stream_time_.load(std::memory_order_acquire);
        bool busy = false;
        for (uint32_t ci = uint32_t(w); ci < chips(); ci += uint32_t(step)) {
            Chip& c = *chips_[ci];
            uint64_t mark = UINT64_MAX;
            if (c.flushed.load(std::memory_order_relaxed) < flush) {
                std::lock_guard<std::mutex> lock(in_mu_);
                mark = c.mark;
            }
            const uint64_t head = c.head.load(std::memory_order_relaxed), tail = std::min(c.tail.load(std::memory_order_acquire), mark);
            if (head < tail) {
                const uint64_t at = head & mask, n = std::min({tail - head, kChunk, ring_size_ - at});
                const Hit* hits = c.ring.get() + at;
                if (!in_time_order(hits, n)) {
                    sorted.assign(hits, hits + n);
                    std::sort(sorted.begin(), sorted.end(), [](const Hit& a, const Hit& b) { return a.toa < b.toa; });
                    hits = sorted.data();
                }
                c.grid.add(hits, n, out);
                c.head.store(head + n, std::memory_order_release);
                c.late.store(c.grid.late(), std::memory_order_relaxed);
                c.forced.store(c.grid.forced(), std::memory_order_relaxed);
                busy = true;
            } else if (mark != UINT64_MAX) {
                c.grid.close_all(out);
                hand_out(out);
                c.flushed.store(flush, std::memory_order_release);
                std::lock_guard<std::mutex> lock(out_mu_);
                ready_cv_.notify_all();
            } else if (flush == c.flushed.load(std::memory_order_relaxed)) {
                c.grid.close_before(now, out);
            }
        }
        if (out.size() >= kBatch || (!busy && !out.empty())) hand_out(out);
        if (busy) continue;
        std::unique_lock<std::mutex> lock(wake_mu_);
        sleepers_.fetch_add(1);
        bool work = stop_.load() || flush_seq_.load() != flush || stream_time_.load() != now;
        for (uint32_t ci = uint32_t(w); ci < chips() && !work; ci += uint32_t(step))
            work = chips_[ci]->head.load() != chips_[ci]->tail.load();
        if (!work) wake_cv_.wait_for(lock, std::chrono::milliseconds(20));
        sleepers_.fetch_sub(1);
    }
}

void Pipeline::lock() {
    in_mu_.lock();
    wake_mu_.lock();
    out_mu_.lock();
}

void Pipeline::unlock() {
    out_mu_.unlock();
    wake_mu_.unlock();
    in_mu_.unlock();
}

// The threads are the parent's: what they held half-way (hits taken, open clusters) is let go,
// and the next delivery or flush starts threads of the child's own.
void Pipeline::repair_child() {
    for (std::thread& t : threads_) new (&t) std::thread();
    threads_.clear();
    started_ = false;
    const uint64_t flush = flush_seq_.load();
    for (const auto& c : chips_) {
        c->grid.reset();
        c->head.store(0), c->tail.store(0);
        c->filling = c->mark = 0;
        c->flushed.store(flush);
    }
    stream_time_.store(0);
    running_ = 0;
    reading_ = false;
    spare_.clear();
    waiters_ = 0;
    sleepers_.store(0);
    new (&ready_cv_) std::condition_variable;
    new (&room_cv_) std::condition_variable;
    new (&wake_cv_) std::condition_variable;
}

}  // namespace zorv::cluster

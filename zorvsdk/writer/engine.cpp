#include "engine.hpp"
#include "times.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace zorv::writer {

namespace {

using Clock = std::chrono::steady_clock;

enum Column { kId, kOffset, kTot };
constexpr uint64_t kMaxPulses = uint64_t(1) << 22;   // deliveries held at most (their times and indices)
constexpr uint64_t kMaxStamps = uint64_t(1) << 22;   // TDC stamps held at most, per input
constexpr auto kCycle = std::chrono::milliseconds(50);  // between two looks of the committer

template <class T>
T load(const void* base, uint64_t i, size_t stride = sizeof(T), size_t offset = 0) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + i * stride + offset, sizeof v);
    return v;
}

uint64_t count_of(const DeliveredArray& a) { return a.data ? a.count : 0; }

bool is_record_kind(DeliveryKind k) { return k == DeliveryKind::SeqToaTot || k == DeliveryKind::DdToaTot; }
bool is_vector_kind(DeliveryKind k) { return k == DeliveryKind::SeqToaTotVec || k == DeliveryKind::DdToaTotVec; }

// Elements [first, end) of a stream, chunk by chunk: each chunk's values (zero-padded to whole
// chunks) compressed into a frame, with its offset in the dataset.
struct ChunkFrames {
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> frames;
    uint64_t end = 0;  // the dataset's extent once written
};

bool stream_frames(const Blosc2& b2, const Codec& codec, const std::vector<int64_t>& values, uint64_t base,
                   uint64_t end, uint64_t chunk, ChunkFrames& out) {
    out.end = end;
    std::vector<int64_t> buf(chunk);
    for (uint64_t at = base; at < end; at += chunk) {
        const uint64_t n = std::min(chunk, end - at);
        std::copy_n(values.begin() + (at - base), n, buf.begin());
        std::fill(buf.begin() + n, buf.end(), 0);
        out.frames.emplace_back(at, std::vector<uint8_t>());
        if (!compress_frame(b2, codec, buf.data(), chunk * sizeof(int64_t), out.frames.back().second)) return false;
    }
    return true;
}

}  // namespace

Engine::Engine(const Hdf5& hdf5, const Blosc2& blosc2, const Datasets& datasets, const Settings& settings,
               std::unique_ptr<Session> session)
    : h5_(hdf5), b2_(blosc2), ds_(datasets), st_(settings), session_(std::move(session)),
      pixels_(settings.width * settings.height), chunk_(settings.chunk_events) {
    // Per column the filter that measured best: the bits of pixel ids and ToT, the bytes of time
    // offsets.
    codec_[kId] = {4, st_.level, true};
    codec_[kOffset] = {8, st_.level, false};
    codec_[kTot] = {4, st_.level, true};
    const uint64_t chunks = std::max<uint64_t>(2, (st_.capacity + chunk_ - 1) / chunk_);
    ring_bytes_ = chunks * chunk_ * sizeof(Record);
    // Mapped in whole now, so that the SDK's threads never wait for the system to map a page.
    void* p = mmap(nullptr, ring_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p != MAP_FAILED) ring_ = static_cast<Record*>(p);
    encoded_.assign(chunks, 0);
}

Engine::~Engine() { abandon(); }

bool Engine::start(std::string& error) {
    try {
        workers_.resize(size_t(std::max(1, st_.threads)));
        for (Worker& w : workers_) {
            w.counts.assign(pixels_, 0);
            w.tot.assign(pixels_, 0);
        }
        for (Worker& w : workers_) threads_.emplace_back([this, &w] { work(w); });
        threads_.emplace_back([this] { commit(); });
    } catch (const std::exception& e) {
        error = std::string("the writer's threads could not start: ") + e.what();
        abandon();
        return false;
    }
    return true;
}

void Engine::deliver(const DeliveredData& d) noexcept {
    const DeliveredArray* a = d.arrays;
    const bool records = is_record_kind(d.kind), vectors = is_vector_kind(d.kind);
    const uint64_t ring_hits = ring_bytes_ / sizeof(Record);
    uint64_t n = records ? count_of(a[0]) : vectors ? std::min({count_of(a[0]), count_of(a[1]), count_of(a[2])}) : 0;
    const bool wide = d.kind == DeliveryKind::DdToaTotVec;  // 64-bit ToA vector
    const bool meta = d.kind == DeliveryKind::DdToaTot || d.kind == DeliveryKind::DdToaTotVec;
    uint64_t stamps = 0;
    if (meta)
        for (const DeliveredArray& t : d.tdcs) stamps = std::max(stamps, count_of(t));
    auto toa_at = [&](uint64_t i) -> uint64_t {
        return records ? load<uint64_t>(a[0].data, i, 16, 8) : wide ? load<uint64_t>(a[1].data, i) : load<uint32_t>(a[1].data, i);
    };
    uint64_t first = 0, ref = 0, index = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!records && !vectors) {
            ++counts_.ignored;
            return;
        }
        bool stamps_fit = true;
        for (int i = 0; i < kTdcInputs; ++i) stamps_fit = stamps_fit && stamps_[i].size() + stamps <= kMaxStamps;
        if (st_.limit && counts_.delivered >= st_.limit) return;
        const uint64_t room = std::min(ring_hits, st_.capacity);
        if (finishing_ || stopping_ || !error_.empty() || n > room || ingested_ + n - released_ > room ||
            pulses_.size() >= kMaxPulses || !stamps_fit) {
            ++counts_.dropped;
            return;
        }
        first = ingested_;
        ingested_ += n;
        // The ToA reference of 32-bit ToA: the previous delivery's last hit (the first hit, at first).
        if (!toa_seen_ && n) toa_ref_ = toa_at(0);
        ref = toa_ref_;
        uint64_t first_toa = ref;
        if (n) {
            first_toa = wide || records ? toa_at(0) : extend(ref, uint32_t(toa_at(0)));
            toa_ref_ = wide || records ? toa_at(n - 1) : extend(ref, uint32_t(toa_at(n - 1)));
            toa_seen_ = true;
        }
        // A delivery's time zero: its shutter where the mode tells it, else its first hit's ToA.
        Pulse p{first, first + n, meta ? ns_of(d.shutter) : ns_of(first_toa), {}};
        for (int i = 0; i < kTdcInputs; ++i) {
            const uint64_t c = meta && ds_.tdc[i] >= 0 ? count_of(d.tdcs[i]) : 0;
            for (uint64_t j = 0; j < c; ++j) stamps_[i].push_back(load<uint64_t>(d.tdcs[i].data, j));
            stamp_count_[i] += c;
            p.stamps_end[i] = stamp_count_[i];
        }
        pulses_.push_back(p);
        copied_.push_back(0);
        ++copying_;
        index = pulse_count_++;
        ++counts_.delivered;
        counts_.hits += n;
    }
    // The copy, without the mutex: the hits' place in the ring is theirs until they are encoded.
    for (uint64_t done = 0; done < n;) {
        const uint64_t at = (first + done) % ring_hits, m = std::min(n - done, ring_hits - at);
        Record* out = ring_ + at;
        if (records) {
            std::memcpy(out, static_cast<const char*>(a[0].data) + done * 16, m * 16);
        } else {
            for (uint64_t i = 0; i < m; ++i) {
                const uint64_t j = done + i;
                out[i].address = load<uint32_t>(a[0].data, j);
                out[i].tot = load<uint16_t>(a[2].data, j);
                out[i].toa = wide ? load<uint64_t>(a[1].data, j) : extend(ref, load<uint32_t>(a[1].data, j));
            }
        }
        done += m;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        copied_[index - copy_base_] = 1;
        if (--copying_ == 0 && stopping_) copied_cv_.notify_all();
        while (!copied_.empty() && copied_.front()) {
            copied_.pop_front();
            ++copy_base_;
        }
        const uint64_t before = ready_;
        ready_ = copy_base_ == pulse_count_ ? ingested_ : pulses_[copy_base_ - pulse_base_].first;
        wake = ready_ / chunk_ != before / chunk_ && idle_workers_ > 0;
    }
    if (wake) work_cv_.notify_one();
}

void Engine::spans_of(uint64_t from, uint64_t to, std::vector<Span>& out) const {
    out.clear();
    auto it = std::upper_bound(pulses_.begin(), pulses_.end(), from, [](uint64_t v, const Pulse& p) { return v < p.end; });
    for (; it != pulses_.end() && it->first < to; ++it)
        if (it->end > it->first) out.push_back({std::max(it->first, from), std::min(it->end, to), it->zero});
}

bool Engine::encode(uint64_t from, uint64_t to, const std::vector<Span>& spans, Worker* w, Encoded& buf, Frames& out) {
    const uint64_t ring_hits = ring_bytes_ / sizeof(Record);
    buf.id.assign(chunk_, 0);
    buf.offset.assign(chunk_, 0);
    buf.tot.assign(chunk_, 0);
    for (const Span& s : spans) {
        for (uint64_t e = s.first; e < s.end; ++e) {
            const Record& r = ring_[e % ring_hits];
            const uint64_t j = e - from;
            buf.id[j] = r.address;
            buf.offset[j] = ns_of(r.toa) - s.zero;
            buf.tot[j] = r.tot;
            if (!w) continue;
            if (r.address < pixels_) {
                ++w->counts[r.address];
                w->tot[r.address] += r.tot;
            } else {
                ++w->outside;
            }
        }
    }
    (void)to;
    return compress_frame(b2_, codec_[kId], buf.id.data(), chunk_ * 4, out.column[kId]) &&
           compress_frame(b2_, codec_[kOffset], buf.offset.data(), chunk_ * 8, out.column[kOffset]) &&
           compress_frame(b2_, codec_[kTot], buf.tot.data(), chunk_ * 4, out.column[kTot]);
}

void Engine::release() {
    const uint64_t slots = encoded_.size();
    for (;;) {
        const uint64_t k = released_ / chunk_, end = std::min((k + 1) * chunk_, ingested_);
        if (!encoded_[k % slots] || end > pinned_ || end <= released_) return;
        encoded_[k % slots] = 0;
        released_ = end;
        if (end % chunk_) return;  // the last, partial chunk of a finished run
    }
}

bool Engine::end_reached() const {
    return finishing_ && ready_ == ingested_ && next_chunk_ * chunk_ >= ready_ && encoding_ == 0;
}

void Engine::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    stopping_ = true;
    done_ = true;
    work_cv_.notify_all();
    commit_cv_.notify_all();
    done_cv_.notify_all();
}

void Engine::work(Worker& w) {
    std::vector<Span> spans;
    Encoded buf;
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        const uint64_t k = next_chunk_, from = k * chunk_;
        uint64_t to = from + chunk_;
        const bool full = to <= ready_, last = finishing_ && from < ready_ && ready_ == ingested_;
        if (!full && !last) {
            ++idle_workers_;
            work_cv_.wait(lock);
            --idle_workers_;
            continue;
        }
        if (!full) to = ready_;
        ++next_chunk_;
        ++encoding_;
        spans_of(from, to, spans);
        lock.unlock();
        Frames frames;
        bool ok;
        try {
            ok = encode(from, to, spans, &w, buf, frames);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        lock.lock();
        --encoding_;
        if (!ok) {
            fail("the hits could not be compressed (out of memory?)");
            break;
        }
        frames_.emplace(k, std::move(frames));
        encoded_[k % encoded_.size()] = 1;
        release();
        commit_cv_.notify_one();
    }
}

void Engine::commit() {
    constexpr int kLocalScope = 0;  // H5F_SCOPE_LOCAL
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(st_.flush_seconds));
    auto next_flush = Clock::now() + period;
    const Codec stamp_codec{8, st_.level, false};
    std::vector<std::pair<uint64_t, Frames>> batch;
    std::vector<Span> spans;
    Encoded buf;
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        commit_cv_.wait_until(lock, std::min(Clock::now() + kCycle, next_flush));
        if (stopping_) break;
        batch.clear();
        while (true) {
            auto it = frames_.find(final_chunks_ + batch.size());
            if (it == frames_.end()) break;
            batch.emplace_back(it->first, std::move(it->second));
            frames_.erase(it);
        }
        const bool end = end_reached() && frames_.empty();
        const bool flush = end || flush_asked_ || Clock::now() >= next_flush;
        if (batch.empty() && !flush) continue;
        // The hits written for good after this cycle, and the partial chunk after them.
        const uint64_t written = std::min((final_chunks_ + batch.size()) * chunk_, ready_);
        const bool tail = flush && !end && written % chunk_ == 0 && ready_ > written && ready_ - written < chunk_ &&
                          ready_ != last_tail_;
        const uint64_t tail_to = ready_, events = std::max(event_extent_, tail ? tail_to : written);
        if (tail) {
            pinned_ = written;
            spans_of(written, tail_to, spans);
        }
        // The deliveries whose hits are all in the file after this cycle, with their TDC stamps.
        ChunkFrames index, zero, stamps[kTdcInputs];
        std::vector<int64_t> index_values, zero_values, stamp_values[kTdcInputs];
        uint64_t pulses = flushed_pulses_, pulse_from = 0, stamp_from[kTdcInputs] = {}, stamp_to[kTdcInputs] = {};
        if (flush) {
            auto it = std::upper_bound(pulses_.begin(), pulses_.end(), events, [](uint64_t v, const Pulse& p) { return v < p.end; });
            pulses = pulse_base_ + uint64_t(it - pulses_.begin());
            pulse_from = flushed_pulses_ / st_.chunk_pulses * st_.chunk_pulses;
            for (uint64_t p = pulse_from; p < pulses; ++p) {
                index_values.push_back(int64_t(pulses_[p - pulse_base_].first));
                zero_values.push_back(pulses_[p - pulse_base_].zero);
            }
            for (int i = 0; i < kTdcInputs; ++i) {
                stamp_to[i] = pulses > pulse_base_ ? pulses_[pulses - 1 - pulse_base_].stamps_end[i] : flushed_stamps_[i];
                stamp_from[i] = flushed_stamps_[i] / st_.chunk_stamps * st_.chunk_stamps;
                for (uint64_t s = stamp_from[i]; s < stamp_to[i]; ++s)
                    stamp_values[i].push_back(ns_of(stamps_[i][s - stamp_base_[i]]));
            }
        }
        lock.unlock();
        Frames tail_frames;
        std::string failure;
        bool ok = true;
        try {
            ok = (!tail || encode(written, tail_to, spans, nullptr, buf, tail_frames)) &&
                 (!flush || (stream_frames(b2_, stamp_codec, index_values, pulse_from, pulses, st_.chunk_pulses, index) &&
                             stream_frames(b2_, stamp_codec, zero_values, pulse_from, pulses, st_.chunk_pulses, zero)));
            for (int i = 0; ok && flush && i < kTdcInputs; ++i)
                ok = ds_.tdc[i] < 0 || stream_frames(b2_, stamp_codec, stamp_values[i], stamp_from[i], stamp_to[i],
                                                     st_.chunk_stamps, stamps[i]);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        if (!ok) failure = "the hits could not be compressed (out of memory?)";
        if (ok && !session_->enter(failure)) ok = false;
        if (ok) {
            // Extents first (a chunk is written only inside them), then the chunks, then the flush.
            auto extend_to = [&](hid_t dataset, hsize_t size) { return h5_.set_extent(dataset, &size) >= 0; };
            auto write = [&](hid_t dataset, uint64_t at, const std::vector<uint8_t>& frame) {
                const hsize_t offset = at;
                return h5_.write_chunk(dataset, 0, 0, &offset, frame.size(), frame.data()) >= 0;
            };
            const hid_t columns[3] = {ds_.event_id, ds_.event_time_offset, ds_.event_tot};
            if (events > event_extent_)
                for (hid_t c : columns) ok = ok && extend_to(c, events);
            for (auto& [k, frames] : batch)
                for (int c = 0; c < 3 && ok; ++c) ok = write(columns[c], k * chunk_, frames.column[c]);
            if (tail)
                for (int c = 0; c < 3 && ok; ++c) ok = write(columns[c], written, tail_frames.column[c]);
            if (flush) {
                auto append = [&](hid_t dataset, const ChunkFrames& f) {
                    if (dataset < 0 || f.frames.empty()) return true;
                    bool fine = extend_to(dataset, f.end);
                    for (auto& [at, frame] : f.frames) fine = fine && write(dataset, at, frame);
                    return fine;
                };
                ok = ok && append(ds_.event_index, index) && append(ds_.event_time_zero, zero);
                for (int i = 0; i < kTdcInputs; ++i) ok = ok && append(ds_.tdc[i], stamps[i]);
                ok = ok && h5_.flush(ds_.file, kLocalScope) >= 0;
            }
            if (!ok) failure = "writing the file failed: " + h5_.last_error();
            session_->leave();
        }
        lock.lock();
        pinned_ = UINT64_MAX;
        if (!ok) {
            fail(failure);
            break;
        }
        final_chunks_ += batch.size();
        event_extent_ = events;
        if (tail) last_tail_ = tail_to;
        release();
        if (flush) {
            counts_.written = events;
            counts_.deliveries_written = flushed_pulses_ = pulses;
            ++counts_.flushes;
            for (int i = 0; i < kTdcInputs; ++i) flushed_stamps_[i] = stamp_to[i];
            // What is in whole chunks of the file for good is no longer held.
            const uint64_t final_pulses = pulses / st_.chunk_pulses * st_.chunk_pulses;
            while (pulse_base_ < final_pulses && pulse_base_ < copy_base_ && pulses_.front().end <= released_) {
                pulses_.pop_front();
                ++pulse_base_;
            }
            for (int i = 0; i < kTdcInputs; ++i)
                for (const uint64_t final_stamps = stamp_to[i] / st_.chunk_stamps * st_.chunk_stamps;
                     stamp_base_[i] < final_stamps; ++stamp_base_[i])
                    stamps_[i].pop_front();
            next_flush = Clock::now() + period;
            // Hits of the request still to be written (a whole chunk waiting for a worker, or its
            // frames for this thread): the next cycle flushes again.
            flush_asked_ = flush_asked_ && flush_to_ > events;
        }
        if (end) {
            done_ = true;
            done_cv_.notify_all();
            break;
        }
    }
}

void Engine::finish() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        finishing_ = true;
    }
    work_cv_.notify_all();
    commit_cv_.notify_all();
}

void Engine::flush() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        flush_asked_ = true;
        flush_to_ = std::max(flush_to_, ingested_);
    }
    commit_cv_.notify_all();
}

void Engine::abandon() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        if (!done_) {
            done_ = true;
            if (error_.empty()) error_ = "abandoned";
        }
    }
    work_cv_.notify_all();
    commit_cv_.notify_all();
    done_cv_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    // Deliveries that came after the stop were dropped; one being copied holds its place in the
    // ring until it is done.
    std::unique_lock<std::mutex> lock(mu_);
    copied_cv_.wait(lock, [&] { return copying_ == 0; });
    if (freed_) return;
    freed_ = true;
    if (ring_) munmap(ring_, ring_bytes_);
    ring_ = nullptr;
    for (Worker& w : workers_) {
        std::vector<uint64_t>().swap(w.counts);
        std::vector<uint64_t>().swap(w.tot);
    }
}

bool Engine::wait_done(double seconds) {
    std::unique_lock<std::mutex> lock(mu_);
    return done_cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done_; });
}

bool Engine::done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
}

bool Engine::released() const {
    std::lock_guard<std::mutex> lock(mu_);
    return freed_;
}

Counts Engine::counts() const {
    std::lock_guard<std::mutex> lock(mu_);
    Counts c = counts_;
    for (const Worker& w : workers_) c.outside += w.outside;
    return c;
}

std::string Engine::error() const {
    std::lock_guard<std::mutex> lock(mu_);
    return error_ == "abandoned" ? std::string() : error_;
}

void Engine::maps(uint64_t* counts, uint64_t* tot) const {
    std::fill_n(counts, pixels_, 0);
    std::fill_n(tot, pixels_, 0);
    for (const Worker& w : workers_)
        for (uint64_t i = 0; i < pixels_; ++i) {
            counts[i] += w.counts[i];
            tot[i] += w.tot[i];
        }
}

void Engine::orphan() {
    // The threads were the parent's: their handles are dropped without a join.
    for (std::thread& t : threads_) new (&t) std::thread();
    threads_.clear();
    stopping_ = true;
    done_ = true;
    copying_ = 0;  // the copies in progress were the parent's threads'
    if (error_.empty()) error_ = "the writer's threads are the parent process's: a forked child cannot write";
    new (&copied_cv_) std::condition_variable;
    new (&work_cv_) std::condition_variable;
    new (&commit_cv_) std::condition_variable;
    new (&done_cv_) std::condition_variable;
}

}  // namespace zorv::writer

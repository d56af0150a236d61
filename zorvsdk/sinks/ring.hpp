// The native part of a Recorder.
#pragma once

#include "fork.hpp"
#include "places.hpp"
#include "runs.hpp"
#include "wait.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace zorv::sinks {

// The ring of a Recorder: a slot per delivery held, and the deliveries' bytes in runs, one stream
// of runs per place, in which the bytes of that place of consecutive deliveries lie back to back
// (so that a batch of them can be handed out as a view of the run). A producer (an SDK thread, or
// the call path) reserves a slot and its bytes with the mutex held, copies without it and marks the
// slot ready; readers claim ready slots in order, take their bytes without the mutex (as views or
// copies) and mark them done, which frees the oldest done slots and their references to runs. Slot
// indices count up for the life of the ring and are taken modulo the number of slots.
class Ring final : public Sink {
public:
    static constexpr const char* kName = "Recorder";
    static constexpr bool kTakesRaw = true;
    static constexpr uint64_t kRecordBytes = readout::largest_element();
    static constexpr uint64_t kMaxSlots = 1 << 16;
    static constexpr uint64_t kMaxCapacity = uint64_t(1) << 40;

    struct Slot {
        enum State : uint8_t { Writing, Ready, Reading, Done } state;
        DeliveryKind kind;
        uint64_t records, shutter;
        uint64_t counts[kPlaces];
        Run* runs[kPlaces];    // where the bytes of each place lie (null: it has none), a reference each
        uint64_t at[kPlaces];  // their offset in the run's data
    };

    explicit Ring(uint64_t capacity)
        : capacity_(capacity), nslots_(std::min(capacity, kMaxSlots)),
          stream_room_(std::min(kStreamRun, whole_runs(capacity * kRecordBytes + kHeader)) - kHeader),
          slots_(new (std::nothrow) Slot[nslots_]) {}
    ~Ring() override {
        for (uint64_t i = head_; i < tail_; ++i) drop_runs(at(i));
        for (Stream& s : streams_) runs.unref(s.run);
        runs.unreserve(reserved_);
        delete[] slots_;
    }
    bool ok() const { return slots_ != nullptr; }

    double idle = 1.0;  // seconds without a delivery that end an iteration (set from Python)

    // Maps the runs that the capacity fills and keeps them for reuse, so that the SDK's threads
    // find their memory mapped. False when the system has not that much memory.
    bool reserve() {
        const uint64_t n = (capacity_ * kRecordBytes + stream_room_ - 1) / stream_room_, bytes = stream_room_ + kHeader;
        reserved_ = runs.reserve(n, bytes);
        return reserved_ == n * bytes;
    }

    uint64_t capacity() const { return capacity_; }
    uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // A delivery: copied in whole, or dropped whole and counted when it does not fit.
    void deliver(const DeliveredData& d) noexcept {
        if (!known(d.kind)) return;
        Place places[kPlaces];
        const int n = places_of(d, places);
        uint64_t records = 0, bytes[kPlaces] = {};
        bool fits = true;
        for (int p = 0; p < n && fits; ++p) {
            fits = places[p].count <= capacity_;  // and the sums below cannot wrap
            records += places[p].count;
            bytes[p] = places[p].count * uint64_t(places[p].type->itemsize);
        }
        records = std::max<uint64_t>(records, 1);
        uint64_t index = 0;
        Run* fresh = nullptr;  // a run taken for the stream of place `short_of`, which had no room
        int short_of = -1;
        while (fits) {
            bool reserved = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (fresh && !room_for(streams_[short_of], places[short_of].type, bytes[short_of])) {
                    runs.unref(streams_[short_of].run);  // the slots in it hold it while they are held
                    streams_[short_of] = {std::exchange(fresh, nullptr), 0};
                }
                fits = records_ + records <= capacity_ && tail_ - head_ < nslots_;
                short_of = -1;
                for (int p = 0; fits && p < n && short_of < 0; ++p)
                    if (!room_for(streams_[p], places[p].type, bytes[p])) short_of = p;
                if (fits && short_of < 0) {
                    index = reserve_slot(d, places, n, bytes, records);
                    reserved = true;
                }
            }
            runs.unref(std::exchange(fresh, nullptr));  // another producer gave the stream a run meanwhile
            if (reserved || !fits) break;
            fresh = runs.take(std::max(stream_room_, bytes[short_of]));  // without the mutex: it may map memory
            fits = fresh != nullptr;
        }
        if (!fits) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const Slot& s = at(index);
        for (int p = 0; p < n; ++p)
            if (bytes[p]) std::memcpy(s.runs[p]->data() + s.at[p], places[p].data, bytes[p]);
        bool wake;
        {
            std::lock_guard<std::mutex> lock(mu_);
            at(index).state = Slot::Ready;
            wake = waiters_ > 0;
        }
        delivered_.fetch_add(1, std::memory_order_relaxed);
        if (wake) cv_.notify_all();
    }

    // An acquisition on a channel registered with the recorder has begun or ended.
    void acquiring(int running) noexcept {
        {
            std::lock_guard<std::mutex> lock(mu_);
            running_ = running ? running_ + 1 : std::max(running_ - 1, 0);
        }
        cv_.notify_all();
    }

    // Waits as wait_for does; `attempt` runs with the ring's mutex held.
    template <class Attempt>
    int wait(double timeout, Attempt attempt) {
        return wait_for(this, mu_, cv_, waiters_, timeout, attempt);
    }

    // With the mutex held (in an attempt): claims up to `max` ready slots of one kind whose places
    // each lie in one run, in order, and returns how many (none while the oldest unclaimed one is
    // still being written).
    uint64_t claim(uint64_t max, uint64_t& first) {
        if (read_ < tail_ && at(read_).state == Slot::Done) {  // dropped in a forked child
            while (read_ < tail_ && at(read_).state == Slot::Done) ++read_;
            release();
        }
        first = read_;
        Run* in[kPlaces] = {};
        uint64_t n = 0;
        while (n < max && read_ < tail_ && at(read_).state == Slot::Ready && at(read_).kind == at(first).kind &&
               same_runs(at(read_), in)) {
            at(read_++).state = Slot::Reading;
            ++n;
        }
        return n;
    }

    // With the mutex held: nothing is ready or being written, and no acquisition runs.
    bool ended() const { return read_ == tail_ && running_ == 0; }
    bool settled() const override { return ended(); }

    // Claimed slots are done: their references to runs go once the slots before them are done.
    void finish(uint64_t first, uint64_t n) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (uint64_t i = first; i < first + n; ++i) at(i).state = Slot::Done;
            release();
        }
        runs.collect();
    }

    // Claimed slots that could not be handed out (no memory for their arrays) are ready again when
    // no later slot was claimed since, else lost and counted as dropped.
    void unclaim(uint64_t first, uint64_t end) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            const bool last = read_ == end;
            for (uint64_t i = first; i < end; ++i) at(i).state = last ? Slot::Ready : Slot::Done;
            if (last) {
                read_ = first;
            } else {
                dropped_.fetch_add(end - first, std::memory_order_relaxed);
                release();
            }
        }
        cv_.notify_all();
        runs.collect();
    }

    // Drops what is ready and resets the counts. Deliveries being written arrive after it.
    void clear() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            while (read_ < tail_ && at(read_).state != Slot::Writing) {
                if (at(read_).state == Slot::Ready) at(read_).state = Slot::Done;
                ++read_;
            }
            release();
            delivered_.store(0, std::memory_order_relaxed);
            dropped_.store(0, std::memory_order_relaxed);
        }
        runs.collect();
    }

    const Slot& slot(uint64_t i) const { return slots_[i % nslots_]; }  // of a claimed slot

    // The run in which the bytes of place p of the claimed slots first..first+n lie back to back,
    // and where they start in it; null when they do not (they lie in several runs, or apart).
    Run* span(uint64_t first, uint64_t n, int p, uint64_t& start) const {
        Run* run = nullptr;
        uint64_t next = 0;
        for (uint64_t i = first; i < first + n; ++i) {
            const Slot& s = slot(i);
            if (!s.runs[p]) continue;
            if (!run) run = s.runs[p], start = next = s.at[p];
            if (s.runs[p] != run || s.at[p] != next) return nullptr;
            next += s.counts[p] * uint64_t(place_type(s.kind, p)->itemsize);
        }
        return run;
    }

protected:
    void lock() override { mu_.lock(); }
    void unlock() override { mu_.unlock(); }
    // The slots being written or read by threads that the child lacks are dropped.
    void repair_child() override {
        for (uint64_t i = head_; i < tail_; ++i)
            if (at(i).state == Slot::Writing || at(i).state == Slot::Reading) at(i).state = Slot::Done;
        release();
        waiters_ = 0;
        running_ = 0;
        new (&cv_) std::condition_variable;
    }

private:
    // The run a place's bytes go to next, and how far it is filled.
    struct Stream {
        Run* run = nullptr;
        uint64_t fill = 0;
    };

    Slot& at(uint64_t i) { return slots_[i % nslots_]; }

    // Where `bytes` of elements of `type` start in a stream filled up to `fill`: elements of one type
    // lie back to back, and each is aligned as far as its size allows.
    static uint64_t aligned(uint64_t fill, const ElementType* type) {
        const uint64_t align = std::min<uint64_t>(uint64_t(type->itemsize) & -uint64_t(type->itemsize), 16);
        return (fill + align - 1) / align * align;
    }
    static bool room_for(const Stream& s, const ElementType* type, uint64_t bytes) {
        return !bytes || (s.run && aligned(s.fill, type) + bytes <= s.run->room());
    }

    // With the mutex held: the slot of a delivery that fits, its bytes reserved in the streams.
    uint64_t reserve_slot(const DeliveredData& d, const Place* places, int n, const uint64_t* bytes, uint64_t records) {
        const uint64_t index = tail_++;
        Slot& s = at(index);
        s.state = Slot::Writing;
        s.kind = d.kind;
        s.records = records;
        s.shutter = info(d.kind).metadata ? d.shutter : 0;
        for (int p = 0; p < kPlaces; ++p) {
            s.counts[p] = p < n ? places[p].count : 0;
            s.runs[p] = nullptr;
            s.at[p] = 0;
            if (p >= n || !bytes[p]) continue;
            Stream& stream = streams_[p];
            s.at[p] = aligned(stream.fill, places[p].type);
            s.runs[p] = stream.run;
            Runs::ref(stream.run);
            stream.fill = s.at[p] + bytes[p];
        }
        records_ += records;
        return index;
    }

    // Whether a slot's places lie in the runs that the slots claimed before it use (`in`, which it
    // completes).
    static bool same_runs(const Slot& s, Run* (&in)[kPlaces]) {
        for (int p = 0; p < kPlaces; ++p)
            if (s.runs[p] && in[p] && in[p] != s.runs[p]) return false;
        for (int p = 0; p < kPlaces; ++p)
            if (s.runs[p]) in[p] = s.runs[p];
        return true;
    }

    static void drop_runs(Slot& s) {
        for (Run*& r : s.runs) runs.unref(std::exchange(r, nullptr));
    }

    // With the mutex held: frees the oldest slots that are done.
    void release() {
        while (head_ < read_ && at(head_).state == Slot::Done) {
            records_ -= at(head_).records;
            drop_runs(at(head_));
            ++head_;
        }
    }

    const uint64_t capacity_, nslots_, stream_room_;
    Slot* const slots_;
    uint64_t reserved_ = 0;
    Stream streams_[kPlaces];
    std::mutex mu_;
    std::condition_variable cv_;
    int waiters_ = 0, running_ = 0;
    uint64_t head_ = 0, read_ = 0, tail_ = 0;  // slots: oldest held, next to hand out, next to fill
    uint64_t records_ = 0;
    std::atomic<uint64_t> dropped_{0}, delivered_{0};
};

}  // namespace zorv::sinks

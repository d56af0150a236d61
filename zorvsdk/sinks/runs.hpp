// Runs of memory: what a Recorder copies deliveries into, and what large arrays handed out view or
// live in.
#pragma once

#include "zorvsdk/core/arrays.hpp"
#include "zorvsdk/core/numpy.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace zorv::sinks {

// The element types of deliveries as NumPy reads their buffer formats (from the core), so that the
// arrays handed out have exactly the types a data callable receives.
inline PyArray_Descr* descr_of(const ElementType* type) { return reinterpret_cast<PyArray_Descr*>(element_type(*type)); }

// Deliveries are copied into runs of memory, and large arrays handed out are views of those runs
// or live in runs of their own. A run is mapped in whole 2 MB, in 4 KB pages mapped when the run is
// (writing memory new to the process is bounded by the system mapping its pages; measured on a
// 2-core VM, one thread writing 16-byte hits into memory it keeps: 4 KB pages mapped with the run
// 180-200 M hits/s steadily, mapped one by one as the copy reaches them 110-120, 2 MB pages
// 28-750 depending on whether the VM had to fetch them from its host). A run starts with its
// header: its size and its references (the ring's slots and stream, and the arrays that view it).
// Runs no longer referred to are kept for reuse, as many as the live recorders reserved plus
// kKeptRuns, so that a reader letting its batches go never waits for new memory.
inline constexpr uint64_t kRun = uint64_t(2) << 20;
inline constexpr uint64_t kStreamRun = uint64_t(4) << 20;  // what a ring's stream fills at a time
inline constexpr uint64_t kKeptRuns = uint64_t(32) << 20;
inline constexpr uint64_t kHeader = 64;  // keeps what follows aligned for every element type

constexpr uint64_t whole_runs(uint64_t bytes) { return (bytes + kRun - 1) / kRun * kRun; }

struct Run {
    uint64_t bytes;  // of the whole mapping
    std::atomic<uint64_t> refs;
    Run* next;  // in the kept list

    char* data() { return reinterpret_cast<char*>(this) + kHeader; }
    uint64_t room() const { return bytes - kHeader; }
};

class Runs {
public:
    // A kept run with room for `room` bytes (no larger than twice what is needed), or a new one, with
    // one reference; null when the system has no memory.
    Run* take(uint64_t room) {
        collect();
        const uint64_t bytes = whole_runs(room + kHeader);
        {
            std::lock_guard<std::mutex> lock(mu_);
            Run** best = nullptr;
            for (Run** r = &first_; *r; r = &(*r)->next)
                if ((*r)->bytes >= bytes && (*r)->bytes <= 2 * bytes && (!best || (*r)->bytes < (*best)->bytes)) {
                    best = r;
                    if ((*r)->bytes == bytes) break;
                }
            if (best) {
                Run* run = *best;
                *best = run->next;
                kept_ -= run->bytes;
                run->refs.store(1, std::memory_order_relaxed);
                return run;
            }
        }
        return map(bytes, false);
    }
    static void ref(Run* run) { run->refs.fetch_add(1, std::memory_order_relaxed); }
    // A reference less. A run without any is kept for reuse, or else left for collect() to give back:
    // never here, where the caller may hold a ring's mutex.
    void unref(Run* run) {
        if (!run || run->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        std::lock_guard<std::mutex> lock(mu_);
        const bool keep = kept_ + run->bytes <= limit_;
        run->next = std::exchange(keep ? first_ : doomed_, run);
        if (keep) kept_ += run->bytes;
    }
    // Gives back to the system the runs that are not kept. Called with no ring's mutex held.
    void collect() {
        Run* doomed;
        {
            std::lock_guard<std::mutex> lock(mu_);
            doomed = std::exchange(doomed_, nullptr);
        }
        while (doomed) {
            Run* run = std::exchange(doomed, doomed->next);
            munmap(run, run->bytes);
        }
    }
    // A recorder's reservation: `n` new runs of `bytes` in 2 MB pages, kept for reuse and counted in
    // what may be kept. Returns the bytes reserved, fewer than asked when the system has not that
    // much memory.
    uint64_t reserve(uint64_t n, uint64_t bytes) {
        Run* fresh = nullptr;
        uint64_t got = 0;
        for (; got < n; ++got) {
            Run* run = map(bytes, true);
            if (!run) break;
            run->refs.store(0, std::memory_order_relaxed);
            run->next = std::exchange(fresh, run);
        }
        std::lock_guard<std::mutex> lock(mu_);
        limit_ += got * bytes;
        kept_ += got * bytes;
        while (fresh) {
            Run* run = std::exchange(fresh, fresh->next);
            run->next = std::exchange(first_, run);
        }
        return got * bytes;
    }
    // A recorder's reservation given back: runs kept beyond what may now be kept go.
    void unreserve(uint64_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            limit_ -= bytes;
            while (kept_ > limit_) {
                Run* run = std::exchange(first_, first_->next);
                kept_ -= run->bytes;
                run->next = std::exchange(doomed_, run);
            }
        }
        collect();
    }
    void lock() { mu_.lock(); }
    void unlock() { mu_.unlock(); }

private:
    // A new run of `bytes` (whole runs) with one reference, or null: in 4 KB pages mapped with it,
    // or (`huge`) aligned and advised for 2 MB pages, every page touched.
    static Run* map(uint64_t bytes, bool huge) {
        if (!huge) {
            void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            return p == MAP_FAILED ? nullptr : new (p) Run{bytes, {1}, nullptr};
        }
        const uint64_t span = bytes + kRun;
        void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        const uintptr_t base = uintptr_t(p), start = (base + kRun - 1) & ~uintptr_t(kRun - 1);
        if (start > base) munmap(p, start - base);
        if (base + span > start + bytes) munmap(reinterpret_cast<void*>(start + bytes), base + span - start - bytes);
        madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // advice: its failure changes nothing
        std::memset(reinterpret_cast<void*>(start), 0, bytes);
        return new (reinterpret_cast<void*>(start)) Run{bytes, {1}, nullptr};
    }

    std::mutex mu_;
    Run *first_ = nullptr, *doomed_ = nullptr;  // kept for reuse; to be given back
    uint64_t kept_ = 0, limit_ = kKeptRuns;
};

extern Runs runs;  // shared by every sink of the module

// An array of `count` elements of `type` over `data` in `run`, which it holds a reference to (taken
// here); null with an exception set.
PyObject* view_of(Run* run, const ElementType* type, char* data, uint64_t count);

// A new array of `count` elements of `type` (count 0: an empty array of that type); a large one
// in a run of its own.
PyObject* new_array(const ElementType* type, uint64_t count);

// What a data callable receives for an empty place: np.empty(0).
PyObject* empty_place();

inline char* data_of(PyObject* array) { return static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))); }

}  // namespace zorv::sinks

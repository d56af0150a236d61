// zorvsdk.sinks: native sinks of data deliveries.
//
// A sink is registered like a data callable (setDataCallback, setRawDataCallback). Its type
// publishes the interface of deliveries.hpp as a capsule, through which the acquisition module
// hands it every delivery on the SDK's thread without the interpreter lock. A sink is also an
// ordinary callable, sink(*arrays, metadata), for scripted and mixed use: that path builds the same
// delivery over the arrays and hands it to the same code.
//
// - Recorder: a bounded ring of deliveries, each copied in whole or dropped whole (and counted),
//   pulled from Python as arrays it owns, one delivery or a batch at a time.
// - HitMap: per-pixel hit counts and summed ToT, accumulated on the SDK's thread.
//
// Locks: a sink's mutexes are held only for short, bounded work and never while waiting for the
// interpreter lock, so Python threads may take them with the lock held. Every sink is registered
// for fork: its mutexes are taken before a fork and given back on both sides, and in the child,
// where the SDK's threads and the other Python threads do not exist, what they had begun is dropped.
#include "core/arrays.hpp"
#include "core/component.hpp"
#include "core/deliveries.hpp"
#include "core/method.hpp"
#include "core/numpy.hpp"
#include "core/gil.hpp"
#include "writer/engine.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

using namespace zorv;

namespace {

using Clock = std::chrono::steady_clock;

Name s_kind("kind"), s_shutterStart("shutterStart"), s_tdcs("tdcs"), s_queue("queue"), s_Empty("Empty"),
    s_Batch("Batch");

// ---- element types ----

// The element types of deliveries as NumPy reads their buffer formats (from the core), so that the
// arrays handed out have exactly the types a data callable receives.
PyArray_Descr* descr_of(const ElementType* type) { return reinterpret_cast<PyArray_Descr*>(element_type(*type)); }

// ---- runs of memory ----

// Deliveries are copied into runs of memory, and large arrays handed out are views of those runs
// or live in runs of their own. A run is mapped in whole 2 MB, in 4 KB pages mapped when the run is
// (writing memory new to the process is bounded by the system mapping its pages; measured on a
// 2-core VM, one thread writing 16-byte hits into memory it keeps: 4 KB pages mapped with the run
// 180-200 M hits/s steadily, mapped one by one as the copy reaches them 110-120, 2 MB pages
// 28-750 depending on whether the VM had to fetch them from its host). A run starts with its
// header: its size and its references (the ring's slots and stream, and the arrays that view it).
// Runs no longer referred to are kept for reuse, as many as the live recorders reserved plus
// kKeptRuns, so that a reader letting its batches go never waits for new memory.
constexpr uint64_t kRun = uint64_t(2) << 20;
constexpr uint64_t kStreamRun = uint64_t(4) << 20;  // what a ring's stream fills at a time
constexpr uint64_t kKeptRuns = uint64_t(32) << 20;
constexpr uint64_t kHeader = 64;  // keeps what follows aligned for every element type

uint64_t whole_runs(uint64_t bytes) { return (bytes + kRun - 1) / kRun * kRun; }

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
} runs;

constexpr char kRunCapsule[] = "zorvsdk.sinks.run";

void release_run(PyObject* capsule) {
    runs.unref(static_cast<Run*>(PyCapsule_GetPointer(capsule, kRunCapsule)));
    runs.collect();
}

// An array of `count` elements of `type` over `data` in `run`, which it holds a reference to (taken
// here); null with an exception set.
PyObject* view_of(Run* run, const ElementType* type, char* data, uint64_t count) {
    Runs::ref(run);
    Ref owner = Ref::steal(PyCapsule_New(run, kRunCapsule, release_run));
    if (!owner) {
        runs.unref(run);
        return nullptr;
    }
    npy_intp dims = npy_intp(count);
    PyArray_Descr* descr = descr_of(type);
    Py_INCREF(descr);  // stolen
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr);
    if (array && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) Py_CLEAR(array);
    return array;
}

// A new array of `count` elements of `type` (count 0: an empty array of that type); a large one
// in a run of its own.
PyObject* new_array(const ElementType* type, uint64_t count) {
    npy_intp dims = npy_intp(count);
    const uint64_t bytes = count * uint64_t(type->itemsize);
    if (bytes + kHeader < kRun) {
        PyArray_Descr* descr = descr_of(type);
        Py_INCREF(descr);  // stolen
        return PyArray_NewFromDescr(&PyArray_Type, descr, 1, &dims, nullptr, nullptr, 0, nullptr);
    }
    Run* run = runs.take(bytes);
    if (!run) return PyErr_NoMemory();
    PyObject* array = view_of(run, type, run->data(), count);
    runs.unref(run);  // the array's reference is the one left
    return array;
}

// What a data callable receives for an empty place: np.empty(0).
PyObject* empty_place() {
    npy_intp zero = 0;
    return PyArray_EMPTY(1, &zero, NPY_DOUBLE, 0);
}

char* data_of(PyObject* array) { return static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))); }

// ---- what a delivery holds ----

constexpr int kPlaces = kMaxArrays + kTdcInputs;

// One place of a delivery: one of its arrays, or the time stamps of one TDC input.
struct Place {
    const ElementType* type;
    const void* data;
    uint64_t count;  // 0 for a null buffer
};

bool known(DeliveryKind kind) { return unsigned(kind) < unsigned(DeliveryKind::Count); }

uint64_t count_of(const DeliveredArray& a) { return a.data ? a.count : 0; }

int places_in(DeliveryKind kind) {
    const KindInfo& k = info(kind);
    return k.arrays + (k.metadata ? kTdcInputs : 0);
}

// The places of a delivery in the order the callable receives them: its arrays, then the TDC inputs
// of a kind with metadata.
int places_of(const DeliveredData& d, Place (&out)[kPlaces]) {
    const KindInfo& k = info(d.kind);
    int n = 0;
    for (int i = 0; i < k.arrays; ++i) out[n++] = {k.types[i], d.arrays[i].data, count_of(d.arrays[i])};
    if (k.metadata)
        for (const DeliveredArray& t : d.tdcs) out[n++] = {&kU64, t.data, count_of(t)};
    return n;
}

// Every place of a delivery fits in the address space (an SDK count can be anything).
bool addressable(const DeliveredData& d) {
    Place places[kPlaces];
    for (int p = 0, n = places_of(d, places); p < n; ++p)
        if (places[p].count > uint64_t(PTRDIFF_MAX) / uint64_t(places[p].type->itemsize)) return false;
    return true;
}

const ElementType* place_type(DeliveryKind kind, int place) {
    const KindInfo& k = info(kind);
    return place < k.arrays ? k.types[place] : &kU64;
}

// ---- waiting ----

// Waits until `attempt` (run with `mu` held) returns non-zero, `timeout` seconds pass (negative:
// never) or a signal handler raises. Called with the interpreter lock held; it is given up while
// waiting, in slices, so that Ctrl-C is answered. Returns what attempt returned, 0 on timeout, or -1
// with the handler's exception set.
template <class Attempt>
int wait_for(std::mutex& mu, std::condition_variable& cv, int& waiters, double timeout, Attempt attempt) {
    constexpr double kSlice = 0.05;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (int got = attempt()) return got;
    }
    const auto start = Clock::now();
    for (;;) {
        double left = timeout < 0 ? kSlice : timeout - std::chrono::duration<double>(Clock::now() - start).count();
        if (left <= 0) return 0;
        int got = 0;
        PyThreadState* ts = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(mu);
            ++waiters;
            cv.wait_for(lock, std::chrono::duration<double>(std::min(left, kSlice)), [&] { return (got = attempt()) != 0; });
            --waiters;
        }
        PyEval_RestoreThread(ts);
        if (got) return got;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// None (or left out): wait for ever (-1); else a number of seconds, as queue.Queue takes it.
bool to_timeout(PyObject* value, double& out, const char* what = "timeout") {
    out = -1;
    if (!value || value == Py_None) return true;
    out = PyFloat_AsDouble(value);
    if (out == -1 && PyErr_Occurred()) return false;
    if (!(out >= 0)) {
        PyErr_Format(PyExc_ValueError, "'%s' must be a non-negative number", what);
        return false;
    }
    return true;
}

// An int from 1 to `max`.
bool to_positive(PyObject* value, const char* what, uint64_t max, uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 1 || uint64_t(v) > max) {
        PyErr_Format(PyExc_ValueError, "%s must be from 1 to %llu, not %R", what, (unsigned long long)max, index.get());
        return false;
    }
    out = uint64_t(v);
    return true;
}

// The memory a sink reserves fits in the machine's: more would be granted on paper and end the
// process once used.
bool fits_in_memory(const char* what, uint64_t bytes) {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0 || bytes <= uint64_t(pages) * uint64_t(page)) return true;
    PyErr_Format(PyExc_MemoryError, "%s needs %llu bytes, more than this machine's memory (%llu bytes)", what,
                 (unsigned long long)bytes, (unsigned long long)pages * (unsigned long long)page);
    return false;
}

// ---- fork ----

// What every sink gives the fork handlers: its locks, taken before a fork so that no thread is
// half-way through its work when the process is copied, given back after it, and the repair of the
// child, where the SDK's threads and the other Python threads do not exist.
class Sink {
public:
    Sink() {
        std::lock_guard<std::mutex> lock(registry_);
        next_ = first_;
        if (first_) first_->prev_ = this;
        first_ = this;
    }
    virtual ~Sink() {
        std::lock_guard<std::mutex> lock(registry_);
        (prev_ ? prev_->next_ : first_) = next_;
        if (next_) next_->prev_ = prev_;
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    static void before_fork() {
        registry_.lock();
        for (Sink* s = first_; s; s = s->next_) s->lock();
        runs.lock();  // after the sinks': a ring gives runs back with its mutex held
    }
    static void after_fork_parent() {
        runs.unlock();
        for (Sink* s = first_; s; s = s->next_) s->unlock();
        registry_.unlock();
    }
    static void after_fork_child() {
        runs.unlock();
        for (Sink* s = first_; s; s = s->next_) {
            s->repair_child();
            s->unlock();
        }
        registry_.unlock();
    }

protected:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual void repair_child() = 0;  // with the locks held

private:
    static inline std::mutex registry_;
    static inline Sink* first_ = nullptr;
    Sink *prev_ = nullptr, *next_ = nullptr;
};

// ---- Recorder ----

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
    static constexpr uint64_t kRecordBytes = 16;  // the largest element of any delivery
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
        return wait_for(mu_, cv_, waiters_, timeout, attempt);
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

// ---- HitMap ----

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
        if (d.kind == DeliveryKind::Raw || !addressable(d)) {  // bytes of the SDK's own format, or counts no buffer has
            ignored_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Adder add{nullptr, pixels_};
        {
            std::lock_guard<std::mutex> lock(mu_);
            add.px = live_;
            accumulate(d, add);
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

    template <class T>
    static T load(const void* base, uint64_t i, size_t stride, size_t offset = 0) {
        T v;
        std::memcpy(&v, static_cast<const char*>(base) + i * stride + offset, sizeof v);
        return v;
    }
    template <class T>
    static T at(const DeliveredArray& a, uint64_t i) {
        return load<T>(a.data, i, sizeof(T));
    }

    // What a delivery adds to the map, by kind: records and vectors by pixel address; binned data
    // by bin index; frames (256 x 256 values each, frame after frame) by their row and column.
    void accumulate(const DeliveredData& d, Adder& add) const {
        const DeliveredArray* a = d.arrays;
        switch (d.kind) {
        case DeliveryKind::SeqToaTot:
        case DeliveryKind::DdToaTot:  // {u32 address, u32 tot, u64 toa}
            for (uint64_t i = 0, n = count_of(a[0]); i < n; ++i) {
                if (i + 16 < n) add.prefetch(load<uint32_t>(a[0].data, i + 16, 16));  // the pixel a few hits on
                add(load<uint32_t>(a[0].data, i, 16), 1, load<uint32_t>(a[0].data, i, 16, 4));
            }
            break;
        case DeliveryKind::SeqItotEvent:  // {u32 address, u32 itot, u64 event}: hits are the events
            for (uint64_t i = 0, n = count_of(a[0]); i < n; ++i)
                add(load<uint32_t>(a[0].data, i, 16), load<uint64_t>(a[0].data, i, 16, 8),
                    load<uint32_t>(a[0].data, i, 16, 4));
            break;
        case DeliveryKind::SeqToaTotVec:
        case DeliveryKind::DdToaTotVec:  // addresses, ToA, ToT
            for (uint64_t i = 0, n = std::min(count_of(a[0]), count_of(a[2])); i < n; ++i)
                add(at<uint32_t>(a[0], i), 1, at<uint16_t>(a[2], i));
            break;
        case DeliveryKind::SeqItotEventVec:  // addresses, events, iToT
            for (uint64_t i = 0, n = std::min({count_of(a[0]), count_of(a[1]), count_of(a[2])}); i < n; ++i)
                add(at<uint32_t>(a[0], i), at<uint16_t>(a[1], i), at<uint16_t>(a[2], i));
            break;
        case DeliveryKind::BinnedPackets: {  // the per-bin hit counters and iToT sums
            const uint64_t hits = count_of(a[2]), itots = count_of(a[3]);
            for (uint64_t i = 0, n = std::max(hits, itots); i < n; ++i)
                add(i, i < hits ? at<uint64_t>(a[2], i) : 0, i < itots ? at<uint64_t>(a[3], i) : 0);
            break;
        }
        case DeliveryKind::BinnedCountSums:
            for (uint64_t i = 0, n = count_of(a[0]); i < n; ++i) add(i, at<uint64_t>(a[0], i), 0);
            break;
        case DeliveryKind::BinnedItotSums:
            for (uint64_t i = 0, n = count_of(a[0]); i < n; ++i) add(i, 0, at<uint64_t>(a[0], i));
            break;
        case DeliveryKind::Medipix:  // value j of a frame: its row j / 256, its column j % 256
            for (uint64_t i = 0, n = count_of(a[0]); i < n; ++i) {
                const uint64_t row = (i & 0xFFFF) >> 8, column = i & 0xFF;
                add(row < height_ && column < width_ ? row * width_ + column : pixels_, at<uint16_t>(a[0], i), 0);
            }
            break;
        default: break;
        }
    }

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

}  // namespace

namespace {

// ---- the call path: sink(*arrays, metadata, kind=None) ----

// A delivery built from the arguments of a call: the arrays a data callable of one kind receives
// (made contiguous where they are not) and the DeliveredData over their memory. An empty array
// stands for an empty place of any type, as the callable's empty float64 arrays do; the kind is
// the one that the arrays' types and count and the presence of metadata leave, or the one named by
// `kind` when they leave more than one.
class Called {
public:
    bool parse(const char* sink, PyObject* args, PyObject* kwds) {
        PyObject* wanted = nullptr;
        if (kwds && !parse_keywords(sink, kwds, wanted)) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        PyObject* meta = n && PyDict_Check(PyTuple_GET_ITEM(args, n - 1)) ? PyTuple_GET_ITEM(args, n - 1) : nullptr;
        const Py_ssize_t narrays = n - (meta ? 1 : 0);
        PyObject* const* arrays = &PyTuple_GET_ITEM(args, 0);
        for (Py_ssize_t i = 0; i < narrays; ++i)
            if (!PyArray_Check(arrays[i])) {
                PyErr_Format(PyExc_TypeError,
                             "a sink takes the NumPy arrays a data callable receives (and the metadata dictionary), "
                             "not %.200s",
                             Py_TYPE(arrays[i])->tp_name);
                return false;
            }
        int kind = -1;
        if (!pick_kind(wanted, arrays, narrays, meta != nullptr, kind)) return false;
        dd_.kind = DeliveryKind(kind);
        for (Py_ssize_t i = 0; i < narrays; ++i)
            if (!hold(int(i), arrays[i], dd_.arrays[i])) return false;
        if (narrays == 3 && !(dd_.arrays[0].count == dd_.arrays[1].count && dd_.arrays[1].count == dd_.arrays[2].count)) {
            PyErr_Format(PyExc_ValueError, "the three vectors of a %s delivery have one length, not %llu, %llu and %llu",
                         info(dd_.kind).name, dd_.arrays[0].count, dd_.arrays[1].count, dd_.arrays[2].count);
            return false;
        }
        return !meta || parse_metadata(meta);
    }

    const DeliveredData& data() const { return dd_; }

private:
    static bool parse_keywords(const char* sink, PyObject* kwds, PyObject*& wanted) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (PyUnicode_Check(key) && PyUnicode_Compare(key, s_kind) == 0) {
                wanted = value;
                continue;
            }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sink, key);
            return false;
        }
        return true;
    }

    static bool fits(const KindInfo& k, PyObject* const* arrays, Py_ssize_t n, bool meta) {
        if (k.arrays != n || k.metadata != meta) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto* a = reinterpret_cast<PyArrayObject*>(arrays[i]);
            if (PyArray_SIZE(a) && !PyArray_EquivTypes(PyArray_DESCR(a), descr_of(k.types[i]))) return false;
        }
        return true;
    }

    static bool pick_kind(PyObject* wanted, PyObject* const* arrays, Py_ssize_t n, bool meta, int& kind) {
        int named = -1;
        if (wanted && wanted != Py_None) {
            for (int k = 0; k < int(DeliveryKind::Count) && named < 0; ++k)
                if (PyUnicode_Check(wanted) && PyUnicode_CompareWithASCIIString(wanted, kKinds[k].name) == 0) named = k;
            if (named < 0) {
                PyErr_Format(PyExc_ValueError, "unknown delivery kind %R: %s", wanted, kind_names().c_str());
                return false;
            }
        }
        std::string found;
        int count = 0;
        for (int k = 0; k < int(DeliveryKind::Count); ++k)
            if ((named < 0 || k == named) && fits(kKinds[k], arrays, n, meta)) {
                found += std::string(count++ ? ", " : "") + kKinds[k].name;
                kind = k;
            }
        if (count == 1) return true;
        Ref types = Ref::steal(PyTuple_New(n));
        if (!types) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(types.get(), i, Py_NewRef(reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(arrays[i])))));
        const char* with = meta ? "with" : "without";
        if (count > 1)
            PyErr_Format(PyExc_TypeError, "arrays of %R %s metadata fit more than one kind of delivery (%s): pass kind= to choose",
                         types.get(), with, found.c_str());
        else if (named >= 0)
            PyErr_Format(PyExc_TypeError, "arrays of %R %s metadata are not a %s delivery", types.get(), with, kKinds[named].name);
        else
            PyErr_Format(PyExc_TypeError, "no readout mode delivers arrays of %R %s metadata", types.get(), with);
        return false;
    }

    static std::string kind_names() {
        std::string names;
        for (const KindInfo& k : kKinds) names += std::string(names.empty() ? "" : ", ") + k.name;
        return names;
    }

    // Keeps a contiguous version of the array of a place.
    bool hold(int place, PyObject* array, DeliveredArray& out) {
        held_[place] = Ref::steal(PyArray_FromAny(array, nullptr, 0, 0, NPY_ARRAY_C_CONTIGUOUS, nullptr));
        if (!held_[place]) return false;
        auto* a = reinterpret_cast<PyArrayObject*>(held_[place].get());
        out = {PyArray_SIZE(a) ? PyArray_DATA(a) : nullptr, uint64_t(PyArray_SIZE(a))};
        return true;
    }

    bool parse_metadata(PyObject* meta) {
        PyObject* shutter = PyDict_GetItemWithError(meta, s_shutterStart);
        PyObject* tdcs = shutter ? PyDict_GetItemWithError(meta, s_tdcs) : nullptr;
        if (!shutter || !tdcs) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError,
                                "metadata holds 'shutterStart' (int) and 'tdcs' (three uint64 arrays), as a data "
                                "callable receives it");
            return false;
        }
        uint64_t time;
        if (!to_uint64(shutter, time)) return false;
        dd_.shutter = time;
        Ref seq = Ref::steal(PySequence_Fast(tdcs, "metadata['tdcs'] is a list of three uint64 arrays"));
        if (!seq) return false;
        if (PySequence_Fast_GET_SIZE(seq.get()) != kTdcInputs) {
            PyErr_Format(PyExc_ValueError, "metadata['tdcs'] holds three arrays (TDC inputs 0, 1, 2), not %zd",
                         PySequence_Fast_GET_SIZE(seq.get()));
            return false;
        }
        const int first = info(dd_.kind).arrays;
        for (int i = 0; i < kTdcInputs; ++i) {
            PyObject* t = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyArray_Check(t) || (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(t)) &&
                                      !PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(t)), descr_of(&kU64)))) {
                PyErr_Format(PyExc_TypeError, "metadata['tdcs'][%d] is a uint64 array, not %R", i, t);
                return false;
            }
            if (!hold(first + i, t, dd_.tdcs[i])) return false;
        }
        return true;
    }

    Ref held_[kPlaces];
    DeliveredData dd_{};
};

// Calls `deliver` with the delivery the arguments make, with the interpreter lock released.
template <class Deliver>
PyObject* call_sink(const char* sink, PyObject* args, PyObject* kwds, bool takes_raw, Deliver deliver) {
    Called called;
    if (!called.parse(sink, args, kwds)) return nullptr;
    if (!takes_raw && called.data().kind == DeliveryKind::Raw)
        return PyErr_Format(PyExc_TypeError, "a %s cannot read raw data: its format is the SDK's own", sink);
    Py_BEGIN_ALLOW_THREADS
    deliver(called.data());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* from_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// ---- sink objects ----

// A sink object owns its native part (a Ring or a Map), made before the object and deleted with
// it. The SDK's threads reach the part through the interface published on the type.
template <class Part>
struct SinkObject {
    PyObject_HEAD
    Part* part;
};

template <class Part>
Part& part_of(PyObject* self) {
    return *reinterpret_cast<SinkObject<Part>*>(self)->part;
}

template <class Part>
PyObject* new_sink(PyTypeObject* type, Part* part) {
    std::unique_ptr<Part> owned(part);
    if (!part || !part->ok()) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<SinkObject<Part>*>(self)->part = owned.release();
    return self;
}

template <class Part>
void sink_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SinkObject<Part>*>(self)->part;
    type->tp_free(self);
    Py_DECREF(type);
}

template <class Part>
PyObject* sink_call(PyObject* self, PyObject* args, PyObject* kwds) {
    return call_sink(Part::kName, args, kwds, Part::kTakesRaw, [&](const DeliveredData& d) { part_of<Part>(self).deliver(d); });
}

template <class Part>
void sink_deliver(void* sink, const DeliveredData* data) noexcept {
    part_of<Part>(static_cast<PyObject*>(sink)).deliver(*data);
}

template <class Part>
void sink_acquiring(void* sink, int running) noexcept {
    part_of<Part>(static_cast<PyObject*>(sink)).acquiring(running);
}

template <class Part>
constexpr SinkApi kApi{kSinkApiVersion, sizeof(SinkApi), sink_deliver<Part>, sink_acquiring<Part>};

// ---- Recorder objects ----

Ring& ring_of(PyObject* self) { return part_of<Ring>(self); }

// Seconds without a delivery that end an iteration: a number, never None.
bool to_idle(PyObject* value, double& out) {
    if (value != Py_None) return to_timeout(value, out, "idle");
    PyErr_SetString(PyExc_TypeError, "'idle' is a number of seconds, not None");
    return false;
}

PyObject* recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("Recorder", {"capacity", "idle"}, 1);
    PyObject* a[2];
    uint64_t capacity;
    double idle = 1.0;
    if (!params.parse_tuple(args, kwds, a) || !to_positive(a[0], "capacity", Ring::kMaxCapacity, capacity) ||
        (a[1] && !to_idle(a[1], idle)) || !fits_in_memory("the ring", capacity * Ring::kRecordBytes))
        return nullptr;
    PyObject* self = new_sink(type, new (std::nothrow) Ring(capacity));
    if (!self) return nullptr;
    Ring& r = ring_of(self);
    r.idle = idle;
    bool reserved;
    Py_BEGIN_ALLOW_THREADS
    reserved = r.reserve();
    Py_END_ALLOW_THREADS
    if (reserved) return self;
    Py_DECREF(self);
    return PyErr_NoMemory();
}

constexpr uint64_t kCopyWithoutLock = 1 << 23;  // bytes copied out with the interpreter lock held

// Claimed slots, done once copied out (one by one in a long copy without the interpreter lock, so
// that their room is free for the SDK's threads at once); what is left when the claim ends (an
// array could not be made) is given back unread.
class Claim {
public:
    Claim(Ring& r, uint64_t first, uint64_t n) : r_(r), first_(first), next_(first), end_(first + n) {}
    ~Claim() {
        if (next_ < end_) r_.unclaim(next_, end_);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    // Copies the places of the slots that are not views into `out`: place p of slot first + j goes
    // to out[p] (null for a view) at the element offset at[p][j]. With the interpreter lock released
    // when the bytes are many.
    void copy_out(char* const* out, const uint64_t* const* at, uint64_t bytes) {
        if (bytes < kCopyWithoutLock) return copy(out, at, false);
        Py_BEGIN_ALLOW_THREADS
        copy(out, at, true);
        Py_END_ALLOW_THREADS
    }

private:
    void copy(char* const* out, const uint64_t* const* at, bool one_by_one) {
        const uint64_t from = next_;
        for (; next_ < end_; ++next_) {
            const Ring::Slot& s = r_.slot(next_);
            for (int p = 0, places = places_in(s.kind); p < places; ++p)
                if (out[p] && s.runs[p]) {
                    const uint64_t itemsize = uint64_t(place_type(s.kind, p)->itemsize);
                    std::memcpy(out[p] + at[p][next_ - first_] * itemsize, s.runs[p]->data() + s.at[p],
                                s.counts[p] * itemsize);
                }
            if (one_by_one) r_.finish(next_, 1);
        }
        if (!one_by_one) r_.finish(from, end_ - from);
    }

    Ring& r_;
    const uint64_t first_;
    uint64_t next_;
    const uint64_t end_;
};

constexpr uint64_t kViewBytes = uint64_t(1) << 20;  // a place of a batch this large may be a view

// The array of place p of the claimed slots first..first+n, of `count` elements: a view of the run
// where they lie back to back when they are many (`out` null), else a new array for the claim to
// copy them into (`out` its data). Null with an exception set.
PyObject* place_array(const Ring& r, uint64_t first, uint64_t n, int p, uint64_t count, char*& out) {
    const ElementType* type = place_type(r.slot(first).kind, p);
    uint64_t start = 0;
    Run* run = count * uint64_t(type->itemsize) >= kViewBytes ? r.span(first, n, p, start) : nullptr;
    out = nullptr;
    if (run) return view_of(run, type, run->data() + start, count);
    PyObject* array = new_array(type, count);
    if (array) out = data_of(array);
    return array;
}

PyObject* metadata_of(uint64_t shutter, PyObject* const* tdcs) {
    Ref list = Ref::steal(PyList_New(kTdcInputs));
    if (!list) return nullptr;
    for (int i = 0; i < kTdcInputs; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(tdcs[i]));
    Ref value = Ref::steal(from_u64(shutter));
    Ref dict = Ref::steal(value ? PyDict_New() : nullptr);
    if (!dict || PyDict_SetItem(dict.get(), s_shutterStart, value.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_tdcs, list.get()) < 0)
        return nullptr;
    return dict.release();
}

// One claimed delivery as the data callable receives it: (arrays..., metadata) or (arrays...).
PyObject* take_one(Ring& r, uint64_t first) {
    Claim claim(r, first, 1);
    const Ring::Slot s = r.slot(first);  // a copy: the slot is free once copied out
    const KindInfo& k = info(s.kind);
    const int places = places_in(s.kind);
    Ref arrays[kPlaces];
    char* out[kPlaces] = {};
    uint64_t zero = 0, bytes = 0;
    const uint64_t* at[kPlaces] = {};
    for (int p = 0; p < places; ++p) {
        arrays[p] = Ref::steal(s.counts[p] ? place_array(r, first, 1, p, s.counts[p], out[p]) : empty_place());
        if (!arrays[p]) return nullptr;
        at[p] = &zero;
        if (out[p]) bytes += s.counts[p] * uint64_t(place_type(s.kind, p)->itemsize);
    }
    claim.copy_out(out, at, bytes);
    Ref result = Ref::steal(PyTuple_New(k.arrays + (k.metadata ? 1 : 0)));
    if (!result) return nullptr;
    for (int p = 0; p < k.arrays; ++p) PyTuple_SET_ITEM(result.get(), p, arrays[p].release());
    if (k.metadata) {
        PyObject* tdcs[kTdcInputs] = {arrays[k.arrays].get(), arrays[k.arrays + 1].get(), arrays[k.arrays + 2].get()};
        PyObject* meta = metadata_of(s.shutter, tdcs);
        if (!meta) return nullptr;
        PyTuple_SET_ITEM(result.get(), k.arrays, meta);
    }
    return result.release();
}

// An int64 array of `rows` x (n + 1) offsets of the deliveries in each place, and the element
// counts of the places: row p holds where slot j starts in place (first_place + p).
PyObject* offsets_of(const Ring& r, uint64_t first, uint64_t n, int first_place, int rows, uint64_t* totals,
                     const uint64_t** at) {
    npy_intp dims[2] = {rows, npy_intp(n + 1)};
    PyObject* offsets = PyArray_EMPTY(2, dims, NPY_INT64, 0);
    if (!offsets) return nullptr;
    auto* o = reinterpret_cast<int64_t*>(data_of(offsets));
    for (int p = 0; p < rows; ++p) {
        int64_t* row = o + p * (n + 1);
        row[0] = 0;
        for (uint64_t j = 0; j < n; ++j) row[j + 1] = row[j] + int64_t(r.slot(first + j).counts[first_place + p]);
        totals[p] = uint64_t(row[n]);
        at[first_place + p] = reinterpret_cast<const uint64_t*>(row);  // offsets are never negative
    }
    return offsets;
}

PyObject* tuple_of(Ref* items, int n) {
    PyObject* t = PyTuple_New(n);
    if (t)
        for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, items[i].release());
    return t;
}

// Claimed deliveries of one kind as a Batch: each place's elements concatenated, with offsets.
PyObject* take_batch(Ring& r, uint64_t first, uint64_t n) {
    Claim claim(r, first, n);
    const DeliveryKind kind = r.slot(first).kind;
    const KindInfo& k = info(kind);
    const int places = places_in(kind);
    uint64_t totals[kPlaces] = {}, bytes = 0;
    const uint64_t* at[kPlaces] = {};
    Ref offsets = Ref::steal(offsets_of(r, first, n, 0, k.arrays, totals, at));
    Ref tdc_offsets = Ref::borrow(Py_None), shutters = Ref::borrow(Py_None);
    if (!offsets || (k.metadata && !(tdc_offsets = Ref::steal(offsets_of(r, first, n, k.arrays, kTdcInputs, totals + k.arrays, at)))))
        return nullptr;
    Ref arrays[kPlaces];
    char* out[kPlaces] = {};
    for (int p = 0; p < places; ++p) {
        arrays[p] = Ref::steal(place_array(r, first, n, p, totals[p], out[p]));
        if (!arrays[p]) return nullptr;
        if (out[p]) bytes += totals[p] * uint64_t(place_type(kind, p)->itemsize);
    }
    if (k.metadata) {
        shutters = Ref::steal(new_array(&kU64, n));
        if (!shutters) return nullptr;
        auto* times = reinterpret_cast<uint64_t*>(data_of(shutters.get()));
        for (uint64_t j = 0; j < n; ++j) times[j] = r.slot(first + j).shutter;
    }
    claim.copy_out(out, at, bytes);
    Ref tdcs = k.metadata ? Ref::steal(tuple_of(arrays + k.arrays, kTdcInputs)) : Ref::borrow(Py_None);
    Ref data = Ref::steal(tuple_of(arrays, k.arrays));
    if (!tdcs || !data) return nullptr;
    return make_record(s_Batch, {PyUnicode_FromString(k.name), from_u64(n), data.release(), offsets.release(),
                                 shutters.release(), tdcs.release(), tdc_offsets.release()});
}

PyObject* raise_empty() {
    Ref queue = Ref::steal(global(s_queue));
    Ref empty = Ref::steal(queue ? PyObject_GetAttr(queue.get(), s_Empty) : nullptr);
    if (empty) PyErr_SetNone(empty.get());
    return nullptr;
}

Methods recorder_methods;

PyObject* recorder_get(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    Ring& r = ring_of(self);
    uint64_t first = 0;
    int got = r.wait(timeout, [&] { return r.claim(1, first) ? 1 : 0; });
    if (got <= 0) return got < 0 ? nullptr : raise_empty();
    return take_one(r, first);
}
ZORV_METHOD_AS(recorder_methods, "get", recorder_get, {"timeout=None"}, R"(
        Takes the oldest delivery held, waiting for one if there is none.

        The wait releases the interpreter lock and answers Ctrl-C.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            A tuple of the arguments a data callable of the delivery's readout mode receives (its
            arrays, owned by Python, and the metadata dictionary where the mode has one). An empty
            place is an empty float64 array, as for the callable.

        Raises:
            queue.Empty: no delivery arrived within the timeout.
        )");

PyObject* recorder_get_batch(PyObject* self, PyObject* timeout_arg, PyObject* most_arg) {
    double timeout;
    uint64_t most = UINT64_MAX;
    if (!to_timeout(timeout_arg, timeout) ||
        (most_arg && most_arg != Py_None && !to_positive(most_arg, "max_deliveries", UINT64_MAX >> 1, most)))
        return nullptr;
    Ring& r = ring_of(self);
    uint64_t first = 0, n = 0;
    int got = r.wait(timeout, [&] { return (n = r.claim(most, first)) ? 1 : 0; });
    if (got <= 0) return got < 0 ? nullptr : raise_empty();
    return take_batch(r, first, n);
}
ZORV_METHOD_AS(recorder_methods, "get_batch", recorder_get_batch, {"timeout=None", "max_deliveries=None"}, R"(
        Takes the oldest deliveries held, as many as are ready, in one go.

        A batch holds consecutive deliveries of one kind (a sink registered on channels of
        different readout modes hands them out in separate batches) that lie in one run of the
        recorder's memory (at most 4 MB, or one larger delivery). It waits, as :func:`~get` does, only
        when no delivery is held.

        Args:
            timeout (float): Seconds to wait at most for the first delivery; None waits for as
                long as it takes.
            max_deliveries (int): The most deliveries to take; None takes every one that is ready.

        Returns:
            A :obj:`Batch` of the deliveries' arrays, concatenated place by place, with the
            offsets where each delivery starts.

        Raises:
            queue.Empty: no delivery arrived within the timeout.
        )");

PyObject* recorder_next(PyObject* self) {
    Ring& r = ring_of(self);
    uint64_t first = 0;
    enum { Got = 1, Ended = 2 };
    int got = r.wait(ring_of(self).idle,
                     [&] { return r.claim(1, first) ? Got : r.ended() ? Ended : 0; });
    return got == Got ? take_one(r, first) : nullptr;  // nothing set: the iteration ends
}

PyObject* recorder_clear(PyObject* self) {
    ring_of(self).clear();
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(recorder_methods, "clear", recorder_clear, {},
               docstring("Drops every delivery held and sets :attr:`delivered` and :attr:`dropped` to 0.",
                         {}, "None"));

PyObject* recorder_capacity(PyObject* self, void*) { return from_u64(ring_of(self).capacity()); }
PyObject* recorder_delivered(PyObject* self, void*) { return from_u64(ring_of(self).delivered()); }
PyObject* recorder_dropped(PyObject* self, void*) { return from_u64(ring_of(self).dropped()); }
PyObject* recorder_idle(PyObject* self, void*) { return PyFloat_FromDouble(ring_of(self).idle); }

int recorder_set_idle(PyObject* self, PyObject* value, void*) {
    double idle;
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete 'idle'");
        return -1;
    }
    if (!to_idle(value, idle)) return -1;
    ring_of(self).idle = idle;
    return 0;
}

PyGetSetDef kRecorderGetSet[] = {
    {"capacity", recorder_capacity, nullptr, "Records the ring holds at most (int).", nullptr},
    {"delivered", recorder_delivered, nullptr, "Deliveries taken in since creation or :func:`~clear` (int).", nullptr},
    {"dropped", recorder_dropped, nullptr,
     "Deliveries dropped whole because the ring had no room for them, since creation or :func:`~clear` (int).", nullptr},
    {"idle", recorder_idle, recorder_set_idle,
     "Seconds without a delivery after which an iteration ends (float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- HitMap objects ----

Map& map_of(PyObject* self) { return part_of<Map>(self); }

PyObject* hitmap_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("HitMap", {"width", "height"});
    constexpr uint64_t kMaxPixels = uint64_t(1) << 32;  // pixel addresses are 32-bit
    PyObject* a[2];
    uint64_t width, height;
    if (!params.parse_tuple(args, kwds, a) || !to_positive(a[0], "width", kMaxPixels, width) ||
        !to_positive(a[1], "height", kMaxPixels, height))
        return nullptr;
    if (width * height > kMaxPixels)
        return PyErr_Format(PyExc_ValueError, "a map of %llu x %llu pixels is beyond 32-bit pixel addresses",
                            (unsigned long long)width, (unsigned long long)height);
    if (!fits_in_memory("the map", 3 * width * height * sizeof(Pixel))) return nullptr;
    return new_sink(type, new (std::nothrow) Map(width, height));
}

// A new (height, width) uint64 array.
PyObject* new_map_array(const Map& m) {
    npy_intp dims[2] = {npy_intp(m.height()), npy_intp(m.width())};
    return PyArray_EMPTY(2, dims, NPY_UINT64, 0);
}

Methods hitmap_methods;

// New arrays of one snapshot: the counts, the summed ToT, or both.
PyObject* snapshot_of(PyObject* self, bool counts, bool tot) {
    Map& m = map_of(self);
    Ref c = counts ? Ref::steal(new_map_array(m)) : Ref(), t = tot ? Ref::steal(new_map_array(m)) : Ref();
    if ((counts && !c) || (tot && !t)) return nullptr;
    auto* cd = counts ? reinterpret_cast<uint64_t*>(data_of(c.get())) : nullptr;
    auto* td = tot ? reinterpret_cast<uint64_t*>(data_of(t.get())) : nullptr;
    Py_BEGIN_ALLOW_THREADS
    m.snapshot(cd, td);
    Py_END_ALLOW_THREADS
    if (counts && tot) return PyTuple_Pack(2, c.get(), t.get());
    return (counts ? c : t).release();
}

PyObject* counts(PyObject* self) { return snapshot_of(self, true, false); }
ZORV_METHOD(hitmap_methods, counts, {},
            docstring("Retrieves the hit count of every pixel (bin, in the binned modes).",
                      {}, "A new uint64 array of shape (height, width)."));

PyObject* tot(PyObject* self) { return snapshot_of(self, false, true); }
ZORV_METHOD(hitmap_methods, tot, {},
            docstring("Retrieves the summed ToT (iToT in the iToT and binned modes) of every pixel or bin.",
                      {}, "A new uint64 array of shape (height, width), in ToT ticks."));

PyObject* snapshot(PyObject* self) { return snapshot_of(self, true, true); }
ZORV_METHOD(hitmap_methods, snapshot, {},
            docstring("Retrieves the counts and the summed ToT of one and the same set of deliveries.",
                      {}, "A tuple (counts, tot) of new uint64 arrays of shape (height, width)."));

PyObject* hitmap_clear(PyObject* self) {
    Map& m = map_of(self);
    Py_BEGIN_ALLOW_THREADS
    m.clear();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(hitmap_methods, "clear", hitmap_clear, {},
               docstring("Sets every count and sum to 0, and :attr:`outside`, :attr:`delivered` and :attr:`ignored`.",
                         {}, "None"));

PyObject* hitmap_width(PyObject* self, void*) { return from_u64(map_of(self).width()); }
PyObject* hitmap_height(PyObject* self, void*) { return from_u64(map_of(self).height()); }
PyObject* hitmap_outside(PyObject* self, void*) { return from_u64(map_of(self).outside()); }
PyObject* hitmap_delivered(PyObject* self, void*) { return from_u64(map_of(self).delivered()); }
PyObject* hitmap_ignored(PyObject* self, void*) { return from_u64(map_of(self).ignored()); }

PyGetSetDef kHitMapGetSet[] = {
    {"width", hitmap_width, nullptr, "Pixels (or bins) per row (int).", nullptr},
    {"height", hitmap_height, nullptr, "Rows (int).", nullptr},
    {"outside", hitmap_outside, nullptr,
     "Records, vector entries, frame values or bins whose address lay outside the map, not written (int).", nullptr},
    {"delivered", hitmap_delivered, nullptr, "Deliveries added to the map (int).", nullptr},
    {"ignored", hitmap_ignored, nullptr,
     "Deliveries the map cannot read, raw data and counts beyond any address space (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Writer objects ----

#include "writer/sink.hpp"

// ---- the module ----

// Publishes a sink type's interface under the type attribute the acquisition module looks up.
// The type is immutable, so the capsule cannot be replaced from Python.
bool publish(PyTypeObject* type, const SinkApi& api) {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<SinkApi*>(&api), kSinkCapsule, nullptr));
    if (!capsule || PyDict_SetItemString(type->tp_dict, kSinkAttribute, capsule.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

// Makes a sink type over its native part, publishes its interface and adds it to the module. A
// sink with `next` iterates over what it holds.
template <class Part>
bool add_sink(PyObject* m, const char* name, const char* doc, PyMethodDef* methods, newfunc make, PyGetSetDef* getset,
              iternextfunc next = nullptr) {
    PyTypeObject* type = make_type(name, doc, sizeof(SinkObject<Part>), methods,
                                   {{Py_tp_new, reinterpret_cast<void*>(make)},
                                    {Py_tp_dealloc, reinterpret_cast<void*>(sink_dealloc<Part>)},
                                    {Py_tp_traverse, nullptr},
                                    {Py_tp_clear, nullptr},
                                    {Py_tp_call, reinterpret_cast<void*>(sink_call<Part>)},
                                    {Py_tp_iter, next ? reinterpret_cast<void*>(PyObject_SelfIter) : nullptr},
                                    {Py_tp_iternext, reinterpret_cast<void*>(next)},
                                    {Py_tp_getset, getset}},
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
    return type && publish(type, kApi<Part>) && add_type(m, type);
}

const char kRecorderDoc[] = R"(Recorder(capacity, idle=1.0)
--

    A ring of deliveries, copied in on the SDK's threads and pulled from Python.

    Register it like a data callable (``device.acq.setDataCallback(channelId, recorder)``, or
    setRawDataCallback). Each delivery is copied in whole by one copy of its bytes, without the
    interpreter lock; a delivery that does not fit is dropped whole and counted in
    :attr:`dropped`, so the SDK's thread never waits for a reader. Arrays of 1 MB or more are
    handed out without a copy, as views of the recorder's memory: they are yours to keep, and keep
    the run of memory they lie in (at most 4 MB, or one larger delivery) until they go. Take deliveries with
    :func:`~get` or :func:`~get_batch`, or iterate: ``for data, metadata in recorder:`` yields
    deliveries until the ring is drained and no acquisition on a channel registered with the
    recorder runs, or until none has arrived for :attr:`idle` seconds.

    Calling it, ``recorder(*arrays, metadata)`` with the arguments a data callable receives,
    records a delivery the same way; ``kind=`` names the delivery kind where the arrays leave more
    than one (an empty array fits any place).

    Args:
        capacity (int): Records the ring holds at most: a record is one element of a delivery's
            arrays (a packet, a vector entry, a sum, a frame value or a raw byte; TDC time stamps
            too), and every delivery counts at least one. 16 bytes per record are reserved when
            the recorder is made, and at most 65,536 deliveries are held at a time.
        idle (float): Seconds without a delivery after which an iteration ends.
    )";

const char kHitMapDoc[] = R"(HitMap(width, height)
--

    Per-pixel hit counts and summed ToT, accumulated on the SDK's threads.

    Register it like a data callable (``device.acq.setDataCallback(channelId, hitmap)``). Each
    delivery adds into the map without the interpreter lock: by pixel address (``y * width + x``)
    the records and vectors of the ToA/ToT modes (a hit and its ToT) and of the iToT/event modes
    (their events and iToT); by bin index the binned modes (hit counters and iToT sums); and the
    frames of the medipix mode by row and column (256 x 256 values per frame, every frame of a
    delivery added at the map's top left). Addresses outside the map are counted in
    :attr:`outside` and never written; raw deliveries are counted in :attr:`ignored`.

    Calling it, ``hitmap(*arrays, metadata)`` with the arguments a data callable receives, adds a
    delivery the same way; ``kind=`` names the delivery kind where the arrays leave more than one.

    Args:
        width (int): Pixels (or bins) per row.
        height (int): Rows.
    )";

const Record kBatch{"Batch",
                    "Consecutive deliveries of one kind, taken at once by :func:`Recorder.get_batch`.",
                    {{"kind", "str", "The kind of delivery, such as \"dd-toa-tot\", \"medipix\" or \"raw\"."},
                     {"deliveries", "int", "How many deliveries the batch holds."},
                     {"arrays", "tuple",
                      "One array per argument of the data callable (metadata aside), each the concatenation of that "
                      "argument over the deliveries, of its element type even when empty."},
                     {"offsets", "numpy.ndarray",
                      "int64, one row per array and deliveries + 1 columns: delivery ``i`` is "
                      "``arrays[p][offsets[p, i]:offsets[p, i + 1]]``."},
                     {"shutters", "numpy.ndarray",
                      "The uint64 shutter times of the deliveries; None for a kind without metadata."},
                     {"tdcs", "tuple",
                      "The time stamps of TDC inputs 0, 1 and 2, each concatenated; None for a kind without metadata."},
                     {"tdc_offsets", "numpy.ndarray",
                      "int64 offsets of the deliveries in ``tdcs``, as ``offsets``; None for a kind without "
                      "metadata."}}};

int exec(PyObject* m) {
    PyMethodDef* recorder_table = recorder_methods.table(false);
    PyMethodDef* hitmap_table = hitmap_methods.table(false);
    PyMethodDef* writer_table = writer_methods.table(false);
    if (!recorder_table || !hitmap_table || !writer_table || !import_common(m) || !import_numpy() ||
        !init_arrays("zorvsdk.sinks.SdkBuffer"))
        return -1;
    if (!add_sink<Ring>(m, "zorvsdk.sinks.Recorder", kRecorderDoc, recorder_table, recorder_new, kRecorderGetSet,
                        recorder_next) ||
        !add_sink<Map>(m, "zorvsdk.sinks.HitMap", kHitMapDoc, hitmap_table, hitmap_new, kHitMapGetSet) ||
        !add_sink<FileWriter>(m, "zorvsdk.sinks.Writer", kWriterDoc, writer_table, writer_new, kWriterGetSet))
        return -1;
    if (int err = pthread_atfork(Sink::before_fork, Sink::after_fork_parent, Sink::after_fork_child)) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return add_records(m, {kBatch}) && run_body(m, "import queue\n") ? 0 : -1;
}

}  // namespace

ZORV_MODULE(sinks, "Native sinks of data deliveries: a recorder, a hit map and a file writer.", exec)

// The file writer's engine: hits from the SDK's threads to the event datasets of an HDF5 file,
// without the interpreter.
//
// - The SDK's thread copies each delivery of a ToA/ToT mode into a ring of hit records (address,
//   ToT, ToA extended to 64 bits), in whole or not at all: a delivery that finds no room is dropped
//   and counted, so the SDK's thread never waits. The ring is indexed by the hit's place in the
//   file (hit e lies at e mod capacity), so the hits of a chunk of the file lie together.
// - Worker threads encode whole chunks of hits into the columns of the file (event_id,
//   event_time_offset in ns from the delivery's time zero, ToT), add them into per-pixel maps and
//   compress each column into a Blosc2 frame.
// - One committer thread appends the frames to the datasets by direct chunk writes, and at least
//   once a second writes the last, partial chunk, the deliveries' time zeros and event indices and
//   the TDC stamps, and flushes the file: after a crash, the file holds every hit up to the last
//   flush. Its HDF5 calls are made inside a Session, which serialises them with every other user of
//   the library in the process.
#pragma once

#include "../core/deliveries.hpp"
#include "libraries.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorv::writer {

// The datasets appended to, made (chunked, extensible, with the Blosc2 filter) by the caller, who
// keeps them open for as long as the engine runs.
struct Datasets {
    hid_t file;
    hid_t event_id, event_time_offset, event_tot;  // one element per hit
    hid_t event_time_zero, event_index;            // one per delivery
    hid_t tdc[kTdcInputs];                         // one per time stamp; -1: not written
};

struct Settings {
    uint64_t width, height;  // of the detector: the maps' size
    uint64_t capacity;       // hits held between the SDK's threads and the file (whole chunks)
    uint64_t chunk_events, chunk_pulses, chunk_stamps;  // elements per chunk of each kind of dataset
    int threads;             // encoding and compressing
    double flush_seconds;    // at most between two flushes
    int level;               // LZ4's compression level
    uint64_t limit;          // deliveries taken at most (0: no limit); later ones are let go uncounted
};

// Serialises the engine's HDF5 calls with the other users of the library in the process.
class Session {
public:
    virtual ~Session() = default;
    // False, with the reason, when the calls may not be made (the interpreter is exiting).
    virtual bool enter(std::string& error) = 0;
    virtual void leave() = 0;
};

struct Counts {
    uint64_t delivered = 0;   // deliveries taken in
    uint64_t dropped = 0;     // deliveries dropped whole (no room, or after the end or a failure)
    uint64_t ignored = 0;     // deliveries of kinds that hold no hits with a ToA
    uint64_t hits = 0;        // hits taken in
    uint64_t written = 0;     // hits in the file as of its last flush
    uint64_t deliveries_written = 0;
    uint64_t outside = 0;     // hits encoded whose address lies outside the detector
    uint64_t flushes = 0;
};

class Engine {
public:
    Engine(const Hdf5& hdf5, const Blosc2& blosc2, const Datasets& datasets, const Settings& settings,
           std::unique_ptr<Session> session);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool ok() const { return ring_ != nullptr; }  // the memory was had
    bool start(std::string& error);               // the threads

    // A delivery, on a thread of the SDK: copied in whole, or dropped whole.
    void deliver(const DeliveredData& d) noexcept;

    // Takes no more deliveries: everything held is written and the file flushed, then done().
    void finish();
    // Flushes at the committer's next look rather than at the end of the period: what was taken in
    // reaches the file within a few cycles.
    void flush();
    // Stops at once, leaving the file as last flushed, and gives back the memory of the hits and the
    // maps: a sink stays registered for as long as its device is open, long after its file.
    void abandon();
    // Waits up to `seconds` for the end of the work (finished, failed or abandoned); true once it has.
    bool wait_done(double seconds);
    bool done() const;
    bool released() const;  // abandoned: the maps are gone

    Counts counts() const;
    std::string error() const;  // empty while nothing failed
    // The hits and summed ToT of every pixel encoded so far (row-major, width x height each).
    void maps(uint64_t* counts, uint64_t* tot) const;

    // For fork: the child has none of the threads.
    void lock() { mu_.lock(); }
    void unlock() { mu_.unlock(); }
    void orphan();  // in the child, with the lock held

private:
    struct Record {
        uint32_t address, tot;
        uint64_t toa;  // ticks, extended
    };
    struct Pulse {
        uint64_t first, end;                 // the delivery's hits in the file
        int64_t zero;                        // its time zero, ns
        uint64_t stamps_end[kTdcInputs];     // its TDC stamps' end in each input's stream
    };
    struct Span {  // a delivery's hits within a chunk being encoded
        uint64_t first, end;
        int64_t zero;
    };
    struct Frames {
        std::vector<uint8_t> column[3];
    };
    struct Worker {
        std::vector<uint64_t> counts, tot;
        uint64_t outside = 0;
    };
    struct Encoded {
        std::vector<uint32_t> id, tot;
        std::vector<int64_t> offset;
    };

    void work(Worker& w);
    void commit();
    // Encodes hits [from, to) of the ring into one chunk's columns (padded with zeros to a whole
    // chunk), adding them into `w`'s maps when given, and compresses them.
    bool encode(uint64_t from, uint64_t to, const std::vector<Span>& spans, Worker* w, Encoded& buf, Frames& out);
    void spans_of(uint64_t from, uint64_t to, std::vector<Span>& out) const;  // with mu_ held
    void fail(const std::string& why);  // with mu_ held
    void release();                     // with mu_ held: frees the ring up to the oldest hit still needed
    bool end_reached() const;           // with mu_ held: finishing, and every hit taken in is encoded

    const Hdf5& h5_;
    const Blosc2& b2_;
    const Datasets ds_;
    const Settings st_;
    const std::unique_ptr<Session> session_;
    const uint64_t pixels_, chunk_;
    Codec codec_[3];

    Record* ring_ = nullptr;
    uint64_t ring_bytes_ = 0;

    mutable std::mutex mu_;
    std::condition_variable work_cv_, commit_cv_, done_cv_;
    int idle_workers_ = 0;
    bool finishing_ = false, stopping_ = false, done_ = false;
    bool flush_asked_ = false;  // flush() was called: flush at every look until the file has ...
    uint64_t flush_to_ = 0;     // ... the hits taken in by then
    std::string error_;

    // Hits: taken in (reserved), copied (a prefix of the reserved), and freed in the ring.
    uint64_t ingested_ = 0, ready_ = 0, released_ = 0, pinned_ = UINT64_MAX;
    uint64_t copying_ = 0;            // deliveries being copied into the ring, outside the mutex
    std::condition_variable copied_cv_;
    bool freed_ = false;              // the ring and the maps were given back
    std::deque<Pulse> pulses_;        // from pulse_base_: those not yet final in the file
    std::deque<uint8_t> copied_;      // per pulse from copy_base_: its hits are in the ring
    uint64_t pulse_base_ = 0, copy_base_ = 0, pulse_count_ = 0;
    std::deque<uint64_t> stamps_[kTdcInputs];  // from stamp_base_: ticks
    uint64_t stamp_base_[kTdcInputs] = {}, stamp_count_[kTdcInputs] = {};
    uint64_t toa_ref_ = 0;            // the last hit's extended ToA, for 32-bit ToA
    bool toa_seen_ = false;

    // Chunks of hits: the next to encode, those encoded (their frames waiting for the committer).
    uint64_t next_chunk_ = 0, encoding_ = 0;
    std::map<uint64_t, Frames> frames_;
    std::vector<uint8_t> encoded_;     // per chunk of the ring: encoded for good
    uint64_t final_chunks_ = 0;        // chunks written for good, in order
    // What the file holds as of its last flush, and the datasets' extents.
    uint64_t flushed_pulses_ = 0, flushed_stamps_[kTdcInputs] = {};
    uint64_t event_extent_ = 0, last_tail_ = 0;

    Counts counts_;
    std::vector<Worker> workers_;
    std::vector<std::thread> threads_;
};

}  // namespace zorv::writer

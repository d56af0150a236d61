// Streamer: the hits of every delivery sent off the machine as ev44 messages over ZeroMQ
// (zorvsdk/stream/), by a thread of its own.
//
// The SDK's thread encodes each delivery's hits into the message being filled (pixel id, time of
// flight in ns after the delivery's time zero, ToT) and returns; a full message is sealed with the
// next message id and queued. The sending thread writes each queued message's two frames straight
// into ZeroMQ's memory and sends them without waiting; when a PUSH socket has no room it waits for
// room, never the SDK's thread. A message that finds the queue full is dropped whole and counted:
// its id is spent, so the receivers see the gap.
#include "object.hpp"
#include "then.hpp"
#include "wait.hpp"

#include "zorvsdk/core/method.hpp"
#include "zorvsdk/core/sink_api.hpp"
#include "zorvsdk/stream/ev44.hpp"
#include "zorvsdk/stream/zmq.hpp"
#include "zorvsdk/writer/times.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorv::sinks {

namespace {

using stream::Batch;
using stream::Pattern;
using writer::ns_of;

constexpr size_t kMaxReferences = 4096;  // per message: a batch of many small deliveries is sealed early

struct StreamSettings {
    std::string source;
    Pattern pattern;
    uint32_t width, height;  // of the detector, told to the receivers (0: not told)
    uint64_t batch;          // hits per message at most
    uint64_t queue;          // sealed messages held at most for the sending thread
    int hwm;                 // messages ZeroMQ holds per receiver
    double latency;          // seconds a message is filled at most before it is sent
};

struct StreamCounts {
    uint64_t delivered = 0, hits = 0, ignored = 0, late = 0;
    uint64_t messages = 0, dropped = 0, dropped_hits = 0, bytes = 0;
    uint64_t next_id = 0, settled = 0;  // ids given; messages sent or dropped (in id order)
};

template <class T>
T load(const void* base, uint64_t i, size_t stride = sizeof(T), size_t offset = 0) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + i * stride + offset, sizeof v);
    return v;
}

class StreamSink final : public Sink {
public:
    static constexpr const char* kName = "Streamer";
    static constexpr bool kTakesRaw = false;

    StreamSink(const stream::Zmq& z, const StreamSettings& s, Then&& then) : st_(s), sender_(z), then_(std::move(then)) {
        try {
            for (uint64_t i = 0; i < s.queue + 2; ++i) pool_.push_back(std::make_unique<Batch>(s.batch));
            for (auto& b : pool_) free_.push_back(b.get());
        } catch (const std::bad_alloc&) {
            pool_.clear();
            free_.clear();
        }
    }
    ~StreamSink() override { close(0); }

    bool ok() const { return !pool_.empty(); }

    bool start(const std::string& endpoint, std::string& error) {
        if (!sender_.open(st_.pattern, endpoint, st_.hwm, error)) return false;
        try {
            thread_ = std::thread([this] { send_loop(); });
        } catch (const std::exception& e) {
            error = std::string("the streamer's thread could not start: ") + e.what();
            sender_.close(0);
            return false;
        }
        return true;
    }

    void deliver(const DeliveredData& d) noexcept {
        encode(d);
        then_.deliver(d);
    }

    void acquiring(int running) noexcept {
        if (!running) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                flush_asked_ = true;  // the end of an acquisition: what is filled goes now
            }
            cv_.notify_all();
        }
        then_.acquiring(running);
    }
    void fed(int on) noexcept {
        Sink::fed(on);
        then_.fed(on);
    }
    PyObject* then() const { return then_.object(); }

    // The hits of a delivery into the message being filled, with the mutex held.
    void encode(const DeliveredData& d) noexcept {
        const DeliveredArray* a = d.arrays;
        const bool records = d.kind == DeliveryKind::SeqToaTot || d.kind == DeliveryKind::DdToaTot;
        const bool vectors = d.kind == DeliveryKind::SeqToaTotVec || d.kind == DeliveryKind::DdToaTotVec;
        const bool wide = d.kind == DeliveryKind::DdToaTotVec, meta = wide || d.kind == DeliveryKind::DdToaTot;
        const uint64_t n = records ? count_of(a[0]) : vectors ? std::min({count_of(a[0]), count_of(a[1]), count_of(a[2])}) : 0;
        std::lock_guard<std::mutex> lock(mu_);
        if (!records && !vectors) return void(++c_.ignored);
        if (closing_) return void(++c_.late);
        ++c_.delivered;
        c_.hits += n;
        // The hit's ToA extended to 64 bits: a 32-bit ToA by the previous delivery's last hit.
        const bool narrow = vectors && !wide;
        const uint64_t ref = toa_seen_ || !n || !narrow ? toa_ref_ : load<uint32_t>(a[1].data, 0);
        auto toa_at = [&](uint64_t i) -> uint64_t {
            if (records) return load<uint64_t>(a[0].data, i, 16, 8);
            return wide ? load<uint64_t>(a[1].data, i) : writer::extend(ref, load<uint32_t>(a[1].data, i));
        };
        // The delivery's time zero, as in the file: its shutter where the mode tells it, else its
        // first hit's ToA (without hits, the previous delivery's last).
        const int64_t zero = meta ? ns_of(d.shutter) : ns_of(n ? toa_at(0) : ref);
        refer(zero, false);
        if (n) {
            toa_ref_ = toa_at(n - 1);
            toa_seen_ = true;
        }
        int64_t at = zero;
        for (uint64_t i = 0; i < n; ++i) {
            if (open_->hits() == st_.batch) {
                seal();
                refer(at, true);
            }
            const int64_t ns = ns_of(toa_at(i));
            int64_t offset = ns - at;
            if (offset < std::numeric_limits<int32_t>::min() || offset > std::numeric_limits<int32_t>::max()) {
                refer(at = ns, false);  // beyond the reach of an int32 offset: a reference of its own
                offset = 0;
            }
            const uint32_t address = load<uint32_t>(a[0].data, i, records ? 16 : 4);
            const uint32_t tot = records ? load<uint32_t>(a[0].data, i, 16, 4) : load<uint16_t>(a[2].data, i);
            open_->time_of_flight.push_back(int32_t(offset));
            open_->pixel_id.push_back(int32_t(address));
            open_->tot.push_back(tot);
            open_->tot_max = std::max(open_->tot_max, tot);
        }
        if (!opened_) opened_ = Clock::now();
    }

    // Seals the message being filled; true once every message sealed so far is sent or dropped, false
    // when `timeout` seconds passed first (negative: no limit). With the interpreter lock held.
    int flush(double timeout) {
        uint64_t target;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (open_ && !open_->reference_time.empty()) seal();
            target = c_.next_id;
        }
        cv_.notify_all();
        return wait_for(nullptr, mu_, settled_cv_, waiters_, timeout, [&] { return c_.settled >= target || stopped_ ? 1 : 0; });
    }

    // Takes no more deliveries, sends what is held (for up to `timeout` seconds; what is left then
    // is dropped and counted) and closes the socket. True when nothing was left.
    bool close(double timeout) {
        uint64_t dropped;
        {
            std::lock_guard<std::mutex> lock(mu_);
            dropped = c_.dropped;
            if (!closing_ && open_ && !open_->reference_time.empty()) seal();
            closing_ = true;
            give_up_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                          timeout < 0 ? 1e9 : timeout));
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(mu_);
        for (Batch* b : sealed_) settle_dropped(*b);
        free_.insert(free_.end(), sealed_.begin(), sealed_.end());
        sealed_.clear();
        stopped_ = true;
        settled_cv_.notify_all();
        return c_.dropped == dropped;
    }

    StreamCounts counts() const {
        std::lock_guard<std::mutex> lock(mu_);
        return c_;
    }
    uint64_t pending() const {
        std::lock_guard<std::mutex> lock(mu_);
        return sealed_.size() + (sending_ ? 1 : 0);
    }
    std::string error() const {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }
    bool closed() const {
        std::lock_guard<std::mutex> lock(mu_);
        return closing_;
    }
    std::string endpoint() const { return sender_.endpoint(); }
    const StreamSettings& settings() const { return st_; }
    std::mutex& mutex() { return mu_; }

protected:
    void lock() override { mu_.lock(); }
    void unlock() override { mu_.unlock(); }
    void repair_child() override {
        // The thread and the sockets are the parent's: dropped without a join or a close.
        new (&thread_) std::thread();
        sender_.forget();
        closing_ = stopped_ = true;
        sending_ = nullptr;
        if (error_.empty()) error_ = "the streamer's thread is the parent process's: a forked child cannot send";
        new (&cv_) std::condition_variable;
        new (&settled_cv_) std::condition_variable;
        waiters_ = 0;
    }

private:
    static uint64_t count_of(const DeliveredArray& a) { return a.data ? a.count : 0; }

    // A reference at the next hit of the message being filled (`again`: the one before, carried on).
    void refer(int64_t ns, bool again) {
        if (!open_) open_ = take_free();
        if (open_->reference_time.size() == kMaxReferences || open_->hits() == st_.batch) seal();
        if (open_->reference_time.empty() && again) open_->flags |= stream::kContinues;
        open_->reference_time.push_back(ns);
        open_->reference_index.push_back(int32_t(open_->hits()));
    }

    Batch* take_free() {
        Batch* b = free_.back();  // there is one: queue + 2 batches, at most queue sealed and one sending
        free_.pop_back();
        b->clear();
        return b;
    }

    // With mu_ held: the message being filled gets its id and is queued, or dropped when the queue
    // is full or sending has failed; a new one is begun.
    void seal() {
        Batch* b = open_;
        b->id = c_.next_id++;
        opened_.reset();
        if (sealed_.size() >= st_.queue || !error_.empty() || closing_) {
            settle_dropped(*b);
            b->clear();
            return;
        }
        sealed_.push_back(b);
        open_ = take_free();
        cv_.notify_one();
    }

    void settle_dropped(const Batch& b) {
        ++c_.dropped;
        c_.dropped_hits += b.hits();
        ++c_.settled;
    }

    void send_loop() {
        std::unique_lock<std::mutex> lock(mu_);
        const auto latency = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(st_.latency));
        for (;;) {
            if (open_ && !open_->reference_time.empty() &&
                (flush_asked_ || closing_ || (opened_ && Clock::now() - *opened_ >= latency)))
                seal();
            flush_asked_ = false;
            if (sealed_.empty()) {
                if (closing_) break;
                cv_.wait_for(lock, std::min<Clock::duration>(latency, std::chrono::milliseconds(20)));
                continue;
            }
            Batch* b = sealed_.front();
            sealed_.pop_front();
            sending_ = b;
            lock.unlock();
            std::string why;
            const size_t first = stream::ev44_size(*b, st_.source), second = stream::tot_size(*b);
            int r;
            for (;;) {
                r = sender_.send(first, second, [&](unsigned char* f, unsigned char* s) {
                    stream::write_ev44(*b, st_.source, f);
                    stream::write_tot(*b, st_.width, st_.height, s);
                }, why);
                if (r != 0) break;
                sender_.wait_room(10);  // no room: wait for it (never the SDK's thread), or give up at close
                std::lock_guard<std::mutex> check(mu_);
                if (closing_ && Clock::now() >= give_up_) break;
            }
            lock.lock();
            sending_ = nullptr;
            if (r == 1) {
                ++c_.messages;
                ++c_.settled;
                c_.bytes += first + second;
            } else {
                if (r < 0 && error_.empty()) error_ = why;
                settle_dropped(*b);
            }
            free_.push_back(b);
            settled_cv_.notify_all();
            if (closing_ && Clock::now() >= give_up_) break;
        }
        lock.unlock();
        const auto left = std::chrono::duration<double>(give_up_ - Clock::now()).count();
        sender_.close(int(std::clamp(left * 1000, 0.0, 2000.0)));  // what ZeroMQ holds goes out meanwhile
    }

    const StreamSettings st_;
    stream::Sender sender_;
    const Then then_;
    std::vector<std::unique_ptr<Batch>> pool_;
    mutable std::mutex mu_;
    std::condition_variable cv_, settled_cv_;
    int waiters_ = 0;
    std::vector<Batch*> free_;
    std::deque<Batch*> sealed_;
    Batch* open_ = nullptr;
    Batch* sending_ = nullptr;
    std::optional<Clock::time_point> opened_;
    Clock::time_point give_up_{};
    bool flush_asked_ = false, closing_ = false, stopped_ = false;
    uint64_t toa_ref_ = 0;
    bool toa_seen_ = false;
    StreamCounts c_;
    std::string error_;
    std::thread thread_;
};

StreamSink& streamer_of(PyObject* self) { return part_of<StreamSink>(self); }

bool to_text(PyObject* value, const char* what, std::string& out) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &n) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'%s' is a str, not %R", what, value);
        return false;
    }
    if (std::strlen(text) != size_t(n)) return PyErr_Format(PyExc_ValueError, "'%s' holds a NUL character", what), false;
    out.assign(text, size_t(n));
    return true;
}

// The path of the ZeroMQ library pyzmq loaded, from zorvsdk.stream.
bool default_libzmq(std::string& out) {
    Ref module = Ref::steal(PyImport_ImportModule("zorvsdk.stream"));
    Ref path = Ref::steal(module ? PyObject_CallMethod(module.get(), "libzmq", nullptr) : nullptr);
    return path && to_text(path.get(), "libzmq", out);
}

PyObject* streamer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<11> params("Streamer", {"endpoint", "source", "pattern", "width", "height", "batch", "queue", "hwm",
                                          "latency", "libzmq", "then"},
                             1);
    PyObject* a[11];
    StreamSettings s{"zorvsdk", Pattern::Pub, 0, 0, uint64_t(1) << 16, 32, 16, 0.05};
    std::string endpoint, pattern = "pub", libzmq;
    uint64_t width = 0, height = 0, hwm = 16;
    if (!params.parse_tuple(args, kwds, a) || !to_text(a[0], "endpoint", endpoint) ||
        (a[1] && !to_text(a[1], "source", s.source)) || (a[2] && !to_text(a[2], "pattern", pattern)) ||
        (a[3] && a[3] != Py_None && !to_positive(a[3], "width", uint64_t(1) << 31, width)) ||
        (a[4] && a[4] != Py_None && !to_positive(a[4], "height", uint64_t(1) << 31, height)) ||
        (a[5] && !to_positive(a[5], "batch", uint64_t(1) << 26, s.batch)) ||
        (a[6] && !to_positive(a[6], "queue", 65536, s.queue)) || (a[7] && !to_positive(a[7], "hwm", 1 << 20, hwm)) ||
        (a[8] && !to_timeout(a[8], s.latency, "latency")) ||
        (a[9] && a[9] != Py_None ? !to_text(a[9], "libzmq", libzmq) : !default_libzmq(libzmq)))
        return nullptr;
    if (pattern != "pub" && pattern != "push")
        return PyErr_Format(PyExc_ValueError, "'pattern' is \"pub\" or \"push\", not %R", a[2]);
    if (s.source.empty()) return PyErr_Format(PyExc_ValueError, "'source' is not empty");
    Then then;
    if ((a[8] && !in_seconds("latency", s.latency, 10)) || !fits_32bit_addresses("detector", width, height) ||
        !then.parse(a[10]))
        return nullptr;
    s.pattern = pattern == "pub" ? Pattern::Pub : Pattern::Push;
    s.width = uint32_t(width), s.height = uint32_t(height), s.hwm = int(hwm);
    if (!fits_in_memory("the streamer", (s.queue + 2) * s.batch * 12)) return nullptr;
    std::string error;
    const stream::Zmq* z = stream::load_zmq(libzmq, error);
    if (!z) return PyErr_Format(PyExc_ImportError, "%s", error.c_str());
    StreamSink* part;
    Py_BEGIN_ALLOW_THREADS
    part = new (std::nothrow) StreamSink(*z, s, std::move(then));
    Py_END_ALLOW_THREADS
    PyObject* self = new_sink(type, part);
    if (self && !streamer_of(self).start(endpoint, error)) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_OSError, "%s", error.c_str());
    }
    return self;
}

Methods streamer_methods;

PyObject* streamer_flush(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    const int r = streamer_of(self).flush(timeout);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}
ZORV_METHOD_AS(streamer_methods, "flush", streamer_flush, {"timeout=None"}, R"(
        Sends the message being filled now, and waits until every message so far is sent or
        dropped.

        The wait releases the interpreter lock and answers Ctrl-C.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            True once every message is sent or dropped, False when the timeout passed first (a
            PUSH stream whose receivers take nothing).
        )");

PyObject* streamer_close(PyObject* self, PyObject* timeout_arg) {
    double timeout;
    if (!to_timeout(timeout_arg, timeout)) return nullptr;
    bool all;
    StreamSink& s = streamer_of(self);
    Py_BEGIN_ALLOW_THREADS
    all = s.close(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(all);
}
ZORV_METHOD_AS(streamer_methods, "close", streamer_close, {"timeout=None"}, R"(
        Takes no more deliveries (later ones are counted in :attr:`late`), sends every message held
        and closes the socket. Messages not sent within the timeout are dropped and counted.

        Args:
            timeout (float): Seconds to wait at most; None waits for as long as it takes.

        Returns:
            True when every message was sent, False when some were dropped.
        )");

template <uint64_t StreamCounts::*Member>
PyObject* streamer_count(PyObject* self, void*) {
    return from_u64(streamer_of(self).counts().*Member);
}
PyObject* streamer_pending(PyObject* self, void*) { return from_u64(streamer_of(self).pending()); }
PyObject* streamer_error(PyObject* self, void*) {
    const std::string error = streamer_of(self).error();
    if (error.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(error.data(), Py_ssize_t(error.size()), "replace");
}
PyObject* streamer_endpoint(PyObject* self, void*) {
    const std::string e = streamer_of(self).endpoint();
    return PyUnicode_DecodeUTF8(e.data(), Py_ssize_t(e.size()), "replace");
}
PyObject* streamer_source(PyObject* self, void*) {
    const std::string& s = streamer_of(self).settings().source;
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict");
}
PyObject* streamer_pattern(PyObject* self, void*) {
    return PyUnicode_FromString(streamer_of(self).settings().pattern == Pattern::Pub ? "pub" : "push");
}
PyObject* streamer_closed(PyObject* self, void*) { return PyBool_FromLong(streamer_of(self).closed()); }
PyObject* streamer_then(PyObject* self, void*) { return streamer_of(self).then(); }

PyGetSetDef kStreamerGetSet[] = {
    {"delivered", streamer_count<&StreamCounts::delivered>, nullptr, "Deliveries taken in (int).", nullptr},
    {"hits", streamer_count<&StreamCounts::hits>, nullptr, "Hits taken in (int).", nullptr},
    {"ignored", streamer_count<&StreamCounts::ignored>, nullptr,
     "Deliveries of readout modes without hits and ToA, not streamed (int).", nullptr},
    {"late", streamer_count<&StreamCounts::late>, nullptr, "Deliveries that came after close(), not streamed (int).", nullptr},
    {"messages", streamer_count<&StreamCounts::messages>, nullptr, "Messages sent (int).", nullptr},
    {"message_ids", streamer_count<&StreamCounts::next_id>, nullptr, "Message ids given so far, to messages sent and dropped (int).", nullptr},
    {"dropped", streamer_count<&StreamCounts::dropped>, nullptr,
     "Messages dropped whole, because the queue was full, sending failed or close() gave up on them (int).", nullptr},
    {"dropped_hits", streamer_count<&StreamCounts::dropped_hits>, nullptr, "Hits of the dropped messages (int).", nullptr},
    {"bytes", streamer_count<&StreamCounts::bytes>, nullptr, "Bytes of the messages sent, both frames (int).", nullptr},
    {"pending", streamer_pending, nullptr, "Messages sealed and not yet sent (int).", nullptr},
    {"error", streamer_error, nullptr, "Why sending stopped (str), or None.", nullptr},
    {"endpoint", streamer_endpoint, nullptr, "The endpoint bound, with the port the system chose for \"*\" (str).", nullptr},
    {"source", streamer_source, nullptr, "The messages' source name (str).", nullptr},
    {"pattern", streamer_pattern, nullptr, "\"pub\" or \"push\" (str).", nullptr},
    {"closed", streamer_closed, nullptr, "Whether close() was called (bool).", nullptr},
    {"then", streamer_then, nullptr, "The sink every delivery goes on to, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kStreamerDoc[] = R"(Streamer(endpoint, source='zorvsdk', pattern='pub', width=None, height=None, batch=65536, queue=32, hwm=16, latency=0.05, libzmq=None, then=None)
--

    Hits streamed off the machine as ev44 messages over ZeroMQ by a thread of its own.

    Register it like a data callable in a readout mode whose deliveries are hits with ToA and ToT
    (``dtypes.HIT_MODES``). The SDK's thread encodes each delivery's hits into the message being
    filled, without the interpreter lock, and returns: every ``batch`` hits, or ``latency``
    seconds after its first delivery, a message is sealed with the next message id and queued for
    the sending thread. A message that finds ``queue`` messages waiting is dropped whole and
    counted in :attr:`dropped`; its id is spent, so the receivers see the gap. The wire format is
    described in the package's stream documentation: an ev44 flatbuffer (pixel ids, times of
    flight in ns after each delivery's time zero) and a frame with the ToT.

    Args:
        endpoint (str): Where to bind, such as ``"tcp://*:5556"`` (``"tcp://127.0.0.1:*"``: a
            port the system chooses, see :attr:`endpoint`).
        source (str): The messages' source name.
        pattern (str): ``"pub"``: every subscriber gets every message (a slow one loses
            messages, which it sees as gaps); ``"push"``: each message goes to one of the
            receivers, which share the load (the sending thread waits while they are all full).
        width (int): Pixels per row of the detector, told to the receivers.
        height (int): Rows of the detector, told to the receivers.
        batch (int): Hits per message at most.
        queue (int): Messages held at most for the sending thread (``batch`` hits of 12 bytes
            each).
        hwm (int): Messages ZeroMQ holds per receiver.
        latency (float): Seconds a message is filled at most before it is sent.
        libzmq (str): The path of the ZeroMQ library; None: the one pyzmq loaded.
        then (object): A native sink that every delivery goes on to once its hits are encoded (a
            Recorder or a Writer, to keep the hits as well), on the same thread; None: none.
    )";

bool add_streamer(PyObject* m) {
    PyMethodDef* table = streamer_methods.table(false);
    return table && add_sink<StreamSink>(m, "zorvsdk.sinks.Streamer", kStreamerDoc, table, streamer_new, kStreamerGetSet);
}
ZORV_SINK(add_streamer);

}  // namespace

}  // namespace zorv::sinks

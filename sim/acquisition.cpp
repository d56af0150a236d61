// Virtual device: acquisition channels, the library's delivery threads, the getters of a delivery,
// scripted acquisitions and the synthetic detector's model.
//
// Each channel that was ever used has a state of its own, kept by device index and channel name for
// the life of the process (so that a delivery thread never outlives what it points at). An
// acquisition runs on a thread of the library: it takes the channel's script, or a synthetic
// detector built for the selected readout mode, and calls the registered callback once per
// delivery with a delivery handle that lives on the thread. Locks are taken in the order world,
// registry, channel, waits; no lock is held while the callback runs or while a thread is joined.
//
// A delivery's buffers outlive it: when an acquisition ends, its channel keeps the synthetic work
// buffers (for the next acquisition to reuse, until the device is closed or a reset) and the script
// (until the next script is installed or a reset), so that an array kept beyond its callback reads
// stale data instead of freed memory, and a test can read back what a callback wrote.
#include "schema.hpp"
#include "sim.hpp"
#include "synthetic.hpp"
#include "zorv/acquisition.h"
#include "zorv/acquisition_metadata.h"
#include "zorv/acquisition_tpx.h"
#include "zorv/acquisition_tpx3.h"
#include "zorvsim.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <thread>

namespace sim::acq {

// A failure of one getter in one scripted delivery.
struct ScriptFail {
    std::string fn;
    int status = 0;
    std::string text;
    bool nullText = false;
};

// Marks a scripted failure whose last-error text is a null pointer.
constexpr const char* kNullText = "\x1b<null last error>";

struct ScriptDelivery {
    std::vector<uint64_t> data[kSlots];
    bool present[kSlots] = {};  // the getter returns a buffer (else a null pointer)
    uint64_t bytes[kSlots] = {};
    int64_t count[kSlots];  // records (-1: derived from the bytes when the acquisition begins)
    int64_t vecLength = -1;
    uint64_t shutter = 0;
    std::vector<ScriptFail> fails;
    ScriptDelivery() { std::fill(std::begin(count), std::end(count), int64_t(-1)); }
};

struct Script {
    std::vector<ScriptDelivery> deliveries;
    bool hold = false;
    uint64_t repeat = 1;  // the deliveries are handed out this many times over, in order
};

// What one acquisition runs, copied from the model when it begins.
struct Run {
    std::unique_ptr<Script> script;  // null: the synthetic detector
    std::vector<uint64_t> work[kSlots];  // where synthetic deliveries are replayed
    SynthConfig config;
    int device = 0;  // whose bias supply sets the charge collected at each delivery
    int64_t deliveries = 0;
    double period = 0;
    bool realTime = false;
    bool scrub = false;
    uint64_t truth = 0;  // deliveries whose truth the channel keeps (0: none)
    std::string mode;
};

// The truth of the synthetic deliveries of a channel's last acquisition: of its last deliveries, at
// most kTruthBytes in all.
constexpr uint64_t kTruthBytes = uint64_t(1) << 30;

struct TruthRing {
    bool kept = false;  // the last acquisition begun on the channel kept its truth
    std::deque<Truth> deliveries;
    uint64_t bytes = 0;
};

struct Channel {
    std::mutex m;
    std::condition_variable cv;
    zorv_acq_data_func func = nullptr;
    void* user = nullptr;
    bool registered = false;
    bool begun = false;    // an acquisition was begun since the device was opened
    bool running = false;  // its thread has not finished
    std::atomic<bool> stop{false};
    uint64_t generation = 0;
    std::thread thread;
    std::thread::id threadId;
    std::unique_ptr<Script> pending;
    // The buffers of the last acquisition that ended: its script, and the synthetic work buffers.
    std::unique_ptr<Script> lastScript;
    std::vector<uint64_t> work[kSlots];
    std::shared_ptr<const Synth> cache;
    uint64_t keepTruth = 0;  // deliveries whose truth the next synthetic acquisitions keep
    TruthRing truth;
    uint64_t delivered = 0;
    int countWaiters = 0;  // callers of zorvsim_wait_deliveries waiting on cv for `delivered`
    // The channel whose acquisition this channel's delivery thread waits for (guarded by the waits
    // mutex, not by m).
    Channel* waitingFor = nullptr;
};

}  // namespace sim::acq

// One delivery, handed to the callback; lives on the delivery thread.
struct zorv_acq {
    unsigned char* data[sim::kSlots] = {};
    uint64_t count[sim::kSlots] = {};
    uint64_t bytes[sim::kSlots] = {};
    uint64_t vecLength = 0;
    uint64_t shutter = 0;
    const std::vector<sim::acq::ScriptFail>* fails = nullptr;
    sim::Slot rawFrom = sim::kRaw;
};

namespace sim {

using namespace acq;

namespace {

// ---- channel states ----

std::mutex& registry_mutex() {
    static std::mutex m;
    return m;
}

// Never destroyed: a thread still running at exit must find its channel.
std::map<std::pair<int, std::string>, std::unique_ptr<Channel>>& registry() {
    static auto* r = new std::map<std::pair<int, std::string>, std::unique_ptr<Channel>>;
    return *r;
}

Channel& channel_state(int device, const std::string& id) {
    std::lock_guard<std::mutex> g(registry_mutex());
    auto& slot = registry()[{device, id}];
    if (!slot) slot = std::make_unique<Channel>();
    return *slot;
}

// The states of one device's channels (device < 0: of every device).
std::vector<Channel*> states_of(int device) {
    std::lock_guard<std::mutex> g(registry_mutex());
    std::vector<Channel*> out;
    for (auto& [key, ch] : registry())
        if (device < 0 || key.first == device) out.push_back(ch.get());
    return out;
}

bool has_channel(const AcqArea& a, const char* id) {
    return std::find(a.channels.begin(), a.channels.end(), id) != a.channels.end();
}

// ---- waiting for the end of an acquisition ----
//
// A wait for an acquisition to end is a wait for its delivery thread. When the waiter is itself a
// delivery thread (a callback that ends, aborts or closes), the wait is recorded on its channel, so
// that a wait which would close a cycle is never made: one for the caller's own thread, or for a
// thread that waits, directly or through other channels, for the caller.

std::mutex& waits_mutex() {
    static std::mutex m;
    return m;
}

thread_local Channel* t_channel = nullptr;  // the channel whose delivery thread this is

// Made: the wait was made (or needed none); otherwise why it was refused.
enum class Wait { Made, OwnThread, Cycle };

// Records that the calling thread waits for `target`'s delivery thread, unless that would close a
// cycle.
Wait start_waiting(Channel& target) {
    if (!t_channel) return Wait::Made;  // the library never waits for a thread of the program: no cycle
    std::lock_guard<std::mutex> g(waits_mutex());
    if (&target == t_channel) return Wait::OwnThread;
    for (const Channel* c = target.waitingFor; c; c = c->waitingFor)
        if (c == t_channel) return Wait::Cycle;
    t_channel->waitingFor = &target;
    return Wait::Made;
}

void stop_waiting() {
    if (!t_channel) return;
    std::lock_guard<std::mutex> g(waits_mutex());
    t_channel->waitingFor = nullptr;
}

// Waits, with `l` held on ch.m, until acquisition `gen` has ended, and joins its thread; returns at
// once, without waiting, when the wait would close a cycle.
Wait join_finished(Channel& ch, std::unique_lock<std::mutex>& l, uint64_t gen) {
    auto ended = [&] { return !ch.running || ch.generation != gen; };
    if (!ended()) {
        if (Wait w = start_waiting(ch); w != Wait::Made) return w;
        ch.cv.wait(l, ended);
        stop_waiting();
    }
    std::thread t;
    if (ch.generation == gen) t = std::move(ch.thread);
    l.unlock();
    if (t.joinable()) t.join();
    return Wait::Made;
}

// Stops the channel's acquisition and joins its thread. A thread that cannot be waited for (the
// caller's own, or one that waits for the caller) is let go: it ends once its callback returns.
void stop_and_join(Channel& ch, std::unique_lock<std::mutex> l) {
    ch.stop = true;
    ch.cv.notify_all();
    join_finished(ch, l, ch.generation);
}

// Stops every acquisition of `channels` before joining any: a callback that waits for another of
// them must not be left waiting for one not stopped yet.
void stop_and_join(const std::vector<Channel*>& channels) {
    for (Channel* ch : channels) {
        std::lock_guard<std::mutex> l(ch->m);
        ch->stop = true;
        ch->cv.notify_all();
    }
    for (Channel* ch : channels) stop_and_join(*ch, std::unique_lock<std::mutex>(ch->m));
}

// Forgets the registration and the begun acquisition of a session, and the synthetic blocks kept
// for it.
void forget_session(Channel& ch) {
    std::lock_guard<std::mutex> l(ch.m);
    ch.cache.reset();
    ch.func = nullptr;
    ch.user = nullptr;
    ch.registered = false;
    ch.begun = false;
}

// ---- deliveries ----

// Derives the counts of a scripted delivery that were left open, by the record sizes of `mode`, and
// pads every buffer with zeros to its count of records, so that a reader stays inside it.
void resolve_counts(ScriptDelivery& d, const std::string& mode) {
    for (int s = 0; s < kSlots; ++s)
        if (d.count[s] < 0) d.count[s] = d.present[s] ? int64_t(d.bytes[s] / record_size(Slot(s), mode)) : 0;
    d.count[kRaw] = int64_t(d.bytes[kRaw]);
    if (d.vecLength < 0) {
        d.vecLength = 0;
        for (Slot s : {kAddress, kTot, kEvent, kItot, kToa})
            if (d.present[s]) {
                d.vecLength = int64_t(d.bytes[s] / record_size(s, mode));
                break;
            }
    }
    for (int s = kAddress; s <= kItot; ++s) d.count[s] = d.vecLength;
    for (int s = 0; s < kRaw; ++s) {
        uint64_t need = uint64_t(d.count[s]) * record_size(Slot(s), mode);
        if (!d.present[s] || need <= d.bytes[s]) continue;
        d.bytes[s] = need;
        if (need > d.data[s].size() * 8) d.data[s].resize((need + 7) / 8, 0);
    }
}

void prepare_scripted(zorv_acq& a, ScriptDelivery& d) {
    for (int s = 0; s < kSlots; ++s) {
        a.data[s] = d.present[s] ? reinterpret_cast<unsigned char*>(d.data[s].data()) : nullptr;
        a.count[s] = uint64_t(d.count[s]);
        a.bytes[s] = d.present[s] ? d.data[s].size() * 8 : 0;
    }
    a.bytes[kRaw] = d.bytes[kRaw];
    a.vecLength = uint64_t(d.vecLength);
    a.shutter = d.shutter;
    a.fails = &d.fails;
    a.rawFrom = kRaw;
}

void prepare_synthetic(zorv_acq& a, const Delivery& d, Slot rawFrom) {
    for (int s = 0; s < kSlots; ++s) {
        a.data[s] = d.data[s];
        a.count[s] = d.count[s];
        a.bytes[s] = d.bytes[s];
    }
    a.vecLength = d.vecLength;
    a.shutter = d.shutter;
    a.fails = nullptr;
    a.rawFrom = rawFrom;
}

unsigned char* buffer(zorv_acq* a, Slot s) { return a->data[s]; }

// Overwrites what the callback may have kept: buffers handed out are valid only during the call.
void scrub(zorv_acq& a) {
    for (int s = 0; s < kSlots; ++s)
        if (a.data[s] && a.bytes[s]) std::memset(a.data[s], 0xA5, a.bytes[s]);
}

void wait_stop(Channel& ch) {
    std::unique_lock<std::mutex> l(ch.m);
    ch.cv.wait(l, [&] { return ch.stop.load(); });
}

// The pool of a configuration, kept by the channel or built (null when the acquisition was stopped
// meanwhile), with the work buffers sized for its deliveries.
std::shared_ptr<const Synth> synth_for(Channel& ch, const SynthConfig& config, std::vector<uint64_t> (&work)[kSlots],
                                       unsigned char* (&buffers)[kSlots]) {
    std::shared_ptr<const Synth> synth;
    {
        std::lock_guard<std::mutex> l(ch.m);
        if (ch.cache && ch.cache->config == config) synth = ch.cache;
    }
    if (!synth) {
        synth = build_synth(config, ch.stop);
        if (!synth) return nullptr;
        std::lock_guard<std::mutex> l(ch.m);
        ch.cache = synth;
    }
    for (int s = 0; s < kSlots; ++s) {
        work[s].resize(std::max<size_t>(work[s].size(), synth->capacity[s] / 8 + 1));
        buffers[s] = reinterpret_cast<unsigned char*>(work[s].data());
    }
    return synth;
}

// Publishes the truth of a delivery, before its callback runs; hands back the memory of one let go.
void keep_truth(Channel& ch, uint64_t keep, Truth& made) {
    auto size = [](const Truth& t) { return t.ids.size() * sizeof(int64_t) + t.particles.size() * sizeof(Particle); };
    Truth spare;
    std::lock_guard<std::mutex> l(ch.m);
    TruthRing& r = ch.truth;
    r.bytes += size(made);
    r.deliveries.push_back(std::move(made));
    while (r.deliveries.size() > 1 && (r.deliveries.size() > keep || r.bytes > kTruthBytes)) {
        r.bytes -= size(r.deliveries.front());
        spare = std::move(r.deliveries.front());
        r.deliveries.pop_front();
    }
    made = std::move(spare);
}

// The charge collection of a device at this moment.
double collection_now(int device) {
    auto lk = lock();
    auto& devs = world().devices;
    return size_t(device) < devs.size() ? charge_collection(*devs[size_t(device)], now()) : 1.0;
}

// ---- the sources of deliveries ----
//
// An acquisition delivers from one source: the channel's script or the synthetic detector. The
// delivery loop asks it for one delivery after another and hands each to the callback; the source
// alone knows what a delivery holds, when it is due and when there are no more.

using Clock = std::chrono::steady_clock;

class Source {
public:
    virtual ~Source() = default;
    // Fills `acq` with the next delivery once it is due; false when there is none left or the
    // acquisition was stopped.
    virtual bool next(zorv_acq& acq) = 0;
};

// The deliveries of a script in order, `repeat` times over; then, for a held script, none until
// the acquisition is stopped.
class ScriptedSource final : public Source {
public:
    ScriptedSource(Channel& ch, Script& script, const std::string& mode, bool scrub) : ch_(ch), script_(script) {
        for (auto& d : script.deliveries) resolve_counts(d, mode);
        total_ = script.deliveries.empty() ? 0 : script.deliveries.size() * script.repeat;
        // Scrubbing overwrites a delivery's own buffers: a repeated script keeps their contents to
        // restore them before each later round.
        if (scrub && script.repeat > 1)
            for (auto& d : script.deliveries)
                for (auto& data : d.data) pristine_.push_back(data);
    }

    bool next(zorv_acq& acq) override {
        if (k_ == total_ || ch_.stop.load()) {
            if (script_.hold) wait_stop(ch_);
            return false;
        }
        const uint64_t n = script_.deliveries.size(), i = k_ % n;
        ScriptDelivery& d = script_.deliveries[i];
        if (!pristine_.empty() && k_ >= n)
            for (int s = 0; s < kSlots; ++s) {
                const std::vector<uint64_t>& saved = pristine_[i * kSlots + uint64_t(s)];
                std::copy(saved.begin(), saved.end(), d.data[s].begin());
            }
        prepare_scripted(acq, d);
        ++k_;
        return true;
    }

private:
    Channel& ch_;
    Script& script_;
    uint64_t k_ = 0, total_ = 0;
    std::vector<std::vector<uint64_t>> pristine_;
};

// The synthetic detector: a delivery made afresh from the pool of the configuration, every `period`
// in real time or as fast as the callback takes them; the pool is built again when the charge
// collected changes (the bias ramps on while acquiring).
class SyntheticSource final : public Source {
public:
    SyntheticSource(Channel& ch, Run& run) : ch_(ch), run_(run) {
        if (run.deliveries == 0 || !(synth_ = synth_for(ch, run.config, run.work, work_))) return;  // (aborted while building)
        total_ = run.deliveries < 0 ? UINT64_MAX : uint64_t(run.deliveries);
        start_ = Clock::now();
    }

    bool next(zorv_acq& acq) override {
        if (k_ == total_ || !due()) return false;
        run_.config.collection = collection_now(run_.device);
        if (run_.config.collection != synth_->config.collection && !(synth_ = synth_for(ch_, run_.config, run_.work, work_)))
            return false;
        Delivery d;
        if (!generator_.make(*synth_, k_, work_, d, run_.truth ? &truth_ : nullptr, ch_.stop)) return false;
        if (run_.truth) keep_truth(ch_, run_.truth, truth_);
        prepare_synthetic(acq, d, synth_->rawFrom);
        ++k_;
        return true;
    }

private:
    // Waits, in real time, until the detector time of the next delivery has passed; false once the
    // acquisition is stopped.
    bool due() {
        if (!run_.realTime) return !ch_.stop.load();
        auto at = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(run_.period * double(k_ + 1)));
        std::unique_lock<std::mutex> l(ch_.m);
        return !ch_.cv.wait_until(l, at, [&] { return ch_.stop.load(); });
    }

    Channel& ch_;
    Run& run_;
    std::shared_ptr<const Synth> synth_;
    unsigned char* work_[kSlots] = {};
    Generator generator_;
    Truth truth_;
    uint64_t k_ = 0, total_ = 0;
    Clock::time_point start_;
};

std::unique_ptr<Source> source_of(Channel& ch, Run& run) {
    if (run.script) return std::make_unique<ScriptedSource>(ch, *run.script, run.mode, run.scrub);
    return std::make_unique<SyntheticSource>(ch, run);
}

// Hands one delivery to the callback registered now (none: skipped) and counts it.
void hand_out(Channel& ch, zorv_acq& acq) {
    zorv_acq_data_func func;
    void* user;
    {
        std::lock_guard<std::mutex> l(ch.m);
        func = ch.func;
        user = ch.user;
    }
    if (!func) return;
    func(&acq, user);
    std::lock_guard<std::mutex> l(ch.m);
    ++ch.delivered;
    if (ch.countWaiters) ch.cv.notify_all();  // no wake-up per delivery for the other waiters
}

void deliver_all(Channel& ch, Run& run) {
    zorv_acq acq;
    for (auto source = source_of(ch, run); source->next(acq);) {
        hand_out(ch, acq);
        if (run.scrub) scrub(acq);
    }
}

void run_channel(Channel* ch, std::unique_ptr<Run> run, std::string name) {
    t_channel = ch;
    try {
        deliver_all(*ch, *run);
    } catch (const std::exception& e) {
        emit_log(Error, "acquisition on channel '" + name + "' stopped: " + e.what());
    }
    std::lock_guard<std::mutex> l(ch->m);
    for (int s = 0; s < kSlots; ++s) ch->work[s] = std::move(run->work[s]);
    if (run->script) ch->lastScript = std::move(run->script);
    ch->running = false;
    ch->cv.notify_all();
    t_channel = nullptr;
}

SynthConfig synth_config(const Device& dev, const std::string& channel) {
    const AcqArea& a = dev.acq;
    const ChipArea& c = dev.chip;
    SynthConfig s;
    s.mode = c.mode;
    s.width = detector_width(c);
    s.height = detector_height(c);
    s.chipWidth = c.chipWidth;
    s.chipHeight = c.chipHeight;
    s.chipsPerRow = c.chipsPerRow;
    s.chips = int(c.chips.size());
    if (binned_mode(c.mode)) {
        s.binWidth = c.binWidth;
        s.binHeight = c.binHeight;
    }
    s.hits = uint64_t(std::max<int64_t>(0, a.hitsPerDelivery));
    s.span = std::max<uint64_t>(1024, uint64_t(std::llround(a.period * kTicksPerSecond)));
    auto index = std::find(a.channels.begin(), a.channels.end(), channel) - a.channels.begin();
    s.seed = uint64_t(a.seed) * 1000003u + uint64_t(index);
    s.photons = a.photons;
    s.blobs = a.blobs;
    s.tracks = a.tracks;
    for (int i = 0; i < 3; ++i) s.tdc[i] = a.tdcPerDelivery[i];
    detector_settings(dev, now(), s);
    return s;
}

}  // namespace

// ---- the model ----

void defaults(AcqArea& a, int index) {
    a = AcqArea{};
    a.channels = {"ch0", "ch1"};
    a.seed = 1 + index;
}

template <class V>
void members(V& v, AcqArea& a) {
    v("channels", a.channels);
    v("deliveries", a.deliveries, [](int64_t n) { return n >= -1; }, "expected a count, or -1 for deliveries until aborted");
    v("hitsPerDelivery", a.hitsPerDelivery, [](int64_t n) { return n >= 0 && n <= 16000000; },
      "expected a value from 0 to 16000000");
    v("period", a.period, [](double s) { return s > 0 && s <= 3600; }, "expected a positive number of seconds (at most 3600)");
    v("realTime", a.realTime);
    v("seed", a.seed);
    v.group("sources", "expected weights of at least 0 with a positive sum", [&](auto& g) {
        g("photon", a.photons);
        g("blob", a.blobs);
        g("track", a.tracks);
    }, [&] { return a.photons >= 0 && a.blobs >= 0 && a.tracks >= 0 && a.photons + a.blobs + a.tracks > 0; });
    v("tdcPerDelivery", a.tdcPerDelivery, [](int64_t n) { return n >= 0 && n <= 100000; },
      "expected a count from 0 to 100000", "expected the counts of TDC inputs 0, 1 and 2");
    v("scrub", a.scrub);
}

// Channel identifiers are named by the calls: each one non-empty and unique.
static void check(Reader& r, const std::string& path, const AcqArea& a) {
    for (size_t i = 0; i < a.channels.size() && r.ok(); ++i) {
        std::string p = path + "/channels/" + std::to_string(i);
        if (a.channels[i].empty()) r.fail(p, "expected a non-empty identifier");
        for (size_t j = 0; j < i && r.ok(); ++j)
            if (a.channels[j] == a.channels[i]) r.fail(p, "another channel has the same identifier");
    }
}

void load(AcqArea& a, const Json& doc, const std::string& path, Reader& r) { load_model(a, doc, path, r); }

Json dump(const AcqArea& a) { return dump_model(a); }

// A registration belongs to the session that made it: a new session starts with none.
void on_open_acq(Device& dev) {
    for (Channel* ch : states_of(dev.index)) forget_session(*ch);
}

void on_close_acq(Device& dev) {
    std::vector<Channel*> channels = states_of(dev.index);
    stop_and_join(channels);
    for (Channel* ch : channels) {
        forget_session(*ch);
        std::lock_guard<std::mutex> l(ch->m);
        for (auto& w : ch->work) std::vector<uint64_t>().swap(w);
    }
}

void reset_acquisitions() {
    std::vector<Channel*> channels = states_of(-1);
    stop_and_join(channels);
    for (Channel* ch : channels) {
        forget_session(*ch);
        std::lock_guard<std::mutex> l(ch->m);
        ch->pending.reset();
        ch->lastScript.reset();
        for (auto& w : ch->work) std::vector<uint64_t>().swap(w);
        ch->keepTruth = 0;
        ch->truth = TruthRing{};
        ch->delivered = 0;
        ch->cv.notify_all();
    }
}

// A child process has only the thread that forked: before the fork that thread takes the locks of
// the acquisitions (after the world's), so that none is held by a thread that the child lacks.
void acq_before_fork() {
    registry_mutex().lock();
    for (auto& [key, ch] : registry()) ch->m.lock();
    waits_mutex().lock();
}

void acq_after_fork_in_parent() {
    waits_mutex().unlock();
    for (auto& [key, ch] : registry()) ch->m.unlock();
    registry_mutex().unlock();
}

// In the child the locks are made anew (a lock or a condition taken by the forking thread, or
// waited on by threads that are gone, cannot be released there), and the delivery threads of the
// parent are forgotten without being joined: their acquisitions are not running in the child.
void acq_after_fork_in_child() {
    new (&waits_mutex()) std::mutex;
    for (auto& [key, ch] : registry()) {
        new (&ch->m) std::mutex;
        new (&ch->cv) std::condition_variable;
        ch->waitingFor = nullptr;
        ch->countWaiters = 0;
        if (ch->running && ch->threadId == std::this_thread::get_id()) continue;  // forked from its callback
        ch->running = false;
        new (&ch->thread) std::thread;  // ends the handle's life without a join
    }
    new (&registry_mutex()) std::mutex;
}

bool acquiring(const Device& dev) {
    for (Channel* ch : states_of(dev.index)) {
        std::lock_guard<std::mutex> l(ch->m);
        if (ch->running) return true;
    }
    return false;
}

}  // namespace sim

using namespace sim;

namespace {

// A failure that the delivery's script gives the getter of the call: recorded in the call.
bool scripted_failure(Call& call, const zorv_acq* acq) {
    if (!acq->fails) return false;
    for (const ScriptFail& f : *acq->fails)
        if (f.fn == call.fn()) {
            call.fail_text(f.status, f.nullText ? std::string(kNullText) : f.text);
            return true;
        }
    return false;
}

void put_out(void* out, unsigned char* p) { *static_cast<void**>(out) = p; }
void put_out(uint64_t** out, unsigned char* p) { *out = reinterpret_cast<uint64_t*>(p); }

// The first checks of a getter of a delivery: the handle, a failure its script gives the getter,
// and the out-pointers (`ok`).
bool delivery_ok(Call& call, const zorv_acq* acq, bool ok) {
    if (!acq) {
        call.fail(ZORV_POINTER, "%s: the delivery handle is null", call.fn());
        return false;
    }
    return !scripted_failure(call, acq) && call.require(ok);
}

// A count of a delivery: value(delivery).
template <class T, class Value>
int delivery_count(const char* fn, zorv_acq_t* acq, T* count, Value value) {
    Call call(fn, acq);
    if (call.injected()) return call.status();
    if (!delivery_ok(call, acq, count)) return call.status();
    *count = value(*acq);
    return call.done(0, count);
}

// A buffer of a delivery.
template <class Out>
int delivery_buffer(const char* fn, zorv_acq_t* acq, Out out, Slot slot) {
    Call call(fn, acq);
    if (call.injected()) return call.status();
    if (!delivery_ok(call, acq, out)) return call.status();
    put_out(out, buffer(acq, slot));
    return call.done(0);
}

// A TDC input of a delivery: 0, 1 or 2.
bool tdc_ok(Call& call, int tdc) {
    if (tdc >= 0 && tdc <= 2) return true;
    call.fail(ZORV_INVALID_ARGUMENT, "TDC input %d does not exist (inputs 0, 1 and 2)", tdc);
    return false;
}

constexpr List kChannels{[](Device& d) -> auto& { return d.acq.channels; }, "acquisition channel", Boards::Powered};

// The state of acquisition channel `channel` of `dev`, or null with the failure recorded.
Channel* channel_of(Call& call, Device& dev, const char* channel) {
    if (has_channel(dev.acq, channel)) return &channel_state(dev.index, channel);
    call.fail(ZORV_INVALID_ARGUMENT, "no acquisition channel with the identifier '%s'", channel);
    return nullptr;
}

// A channel on which an acquisition was begun since the device was opened, locked, with the world
// unlocked: what end and abort act on. They need no powered boards (an acquisition can always be
// waited for or stopped).
struct Begun {
    Channel* ch = nullptr;
    std::unique_lock<std::mutex> lock;
    explicit operator bool() const { return ch != nullptr; }
};

Begun begun_channel(Call& call, zorv_ctx_t* ctx, const char* channel) {
    OpenDevice dev = call.device(ctx, channel);
    if (!dev) return {};
    Channel* ch = channel_of(call, *dev, channel);
    if (!ch) return {};
    dev.lock.unlock();
    std::unique_lock<std::mutex> l(ch->m);
    if (!ch->begun) {
        call.fail(ZORV_INVALID_OPERATION, "no acquisition was begun on channel '%s'", channel);
        return {};
    }
    return {ch, std::move(l)};
}

}  // namespace

extern "C" {

// ---- channels ----

int zorv_acq_ch_count(zorv_ctx_t* ctx, int* count) { return list_count(kChannels, __func__, ctx, count); }
int zorv_acq_ch_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kChannels, __func__, ctx, idx, id); }

int zorv_acq_set_data_callback(zorv_ctx_t* ctx, const char* channel, zorv_acq_data_func func, void* user) {
    Call call(__func__, ctx, channel, func, user);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, channel, Boards::Powered);
    if (!dev) return call.status();
    Channel* ch = channel_of(call, *dev, channel);
    if (!ch) return call.status();
    std::lock_guard<std::mutex> l(ch->m);
    ch->func = func;
    ch->user = user;
    ch->registered = true;
    return call.done(0);
}

int zorv_acq_begin(zorv_ctx_t* ctx, const char* channel) {
    Call call(__func__, ctx, channel);
    if (call.injected()) return call.status();
    OpenDevice dev = call.device(ctx, channel, Boards::Powered);
    if (!dev) return call.status();
    Channel* found = channel_of(call, *dev, channel);
    if (!found) return call.status();
    Channel& ch = *found;
    std::unique_lock<std::mutex> l(ch.m);
    if (ch.running) return call.fail(ZORV_INVALID_OPERATION, "an acquisition is already running on channel '%s'", channel);
    if (!ch.registered) return call.fail(ZORV_INVALID_OPERATION, "no data callback is registered for channel '%s'", channel);
    auto run = std::make_unique<Run>();
    run->mode = dev->chip.mode;
    if (!ch.pending) {
        if (dev->chip.mode.empty())
            return call.fail(ZORV_INVALID_OPERATION, "no readout mode is selected: select one before beginning an acquisition");
        run->config = synth_config(*dev, channel);
        run->device = dev->index;
        run->deliveries = dev->acq.deliveries;
        run->period = dev->acq.period;
        run->realTime = dev->acq.realTime;
        run->truth = ch.keepTruth;
    }
    run->scrub = dev->acq.scrub;
    if (ch.thread.joinable()) ch.thread.join();  // an acquisition that has finished
    run->script = std::move(ch.pending);
    for (int s = 0; s < kSlots; ++s) run->work[s] = std::move(ch.work[s]);
    ch.truth = TruthRing{};
    ch.truth.kept = run->truth > 0;
    ch.stop = false;
    ch.running = true;
    ch.begun = true;
    ++ch.generation;
    try {
        ch.thread = std::thread(run_channel, &ch, std::move(run), std::string(channel));
    } catch (const std::exception& e) {
        ch.running = false;
        return call.fail(ZORV_INTERNAL, "the acquisition thread of channel '%s' cannot start: %s", channel, e.what());
    }
    ch.threadId = ch.thread.get_id();
    return call.done(0);
}

int zorv_acq_end(zorv_ctx_t* ctx, const char* channel) {
    Call call(__func__, ctx, channel);
    if (call.injected()) return call.status();
    Begun begun = begun_channel(call, ctx, channel);
    if (!begun) return call.status();
    switch (join_finished(*begun.ch, begun.lock, begun.ch->generation)) {
    case Wait::Made: return call.done(0);
    case Wait::OwnThread:
        return call.fail(ZORV_INVALID_OPERATION, "the acquisition on channel '%s' cannot be waited for from its own data callback",
                         channel);
    case Wait::Cycle: break;
    }
    return call.fail(ZORV_INVALID_OPERATION,
                     "the acquisition on channel '%s' cannot be waited for from this data callback: its "
                     "delivery thread waits for this thread (directly or through other channels)",
                     channel);
}

int zorv_acq_abort(zorv_ctx_t* ctx, const char* channel) {
    Call call(__func__, ctx, channel);
    if (call.injected()) return call.status();
    Begun begun = begun_channel(call, ctx, channel);
    if (!begun) return call.status();
    // From the channel's own callback, or one its thread waits for, the acquisition stops once that
    // callback returns.
    stop_and_join(*begun.ch, std::move(begun.lock));
    return call.done(0);
}

// ---- the getters of a delivery ----

int zorv_acq_get_last_error(zorv_acq_t* acq, const char** text) {
    Call call(__func__, acq);
    if (call.injected()) return call.status();
    if (text) {
        const char* t = last_error(acq);
        *text = t && std::strcmp(t, kNullText) == 0 ? nullptr : t;
    }
    return call.done(0);
}

int zorv_acq_raw_get_data(zorv_acq_t* acq, void* data, unsigned long long* size) {
    Call call(__func__, acq);
    if (call.injected()) return call.status();
    if (!delivery_ok(call, acq, data && size)) return call.status();
    Slot from = acq->rawFrom;
    *static_cast<void**>(data) = buffer(acq, from);
    *size = acq->bytes[from];
    return call.done(0, static_cast<void**>(data), size);
}

int zorv_acq_tpx3_get_packet_count(zorv_acq_t* acq, unsigned long long* count) {
    return delivery_count(__func__, acq, count, [](const zorv_acq& a) { return a.count[kPackets]; });
}
int zorv_acq_tpx3_get_packets(zorv_acq_t* acq, void* packets) { return delivery_buffer(__func__, acq, packets, kPackets); }
int zorv_acq_tpx3_get_vec_length(zorv_acq_t* acq, unsigned long long* length) {
    return delivery_count(__func__, acq, length, [](const zorv_acq& a) { return a.vecLength; });
}
int zorv_acq_tpx3_get_pixel_address_vec(zorv_acq_t* acq, void* vec) { return delivery_buffer(__func__, acq, vec, kAddress); }
int zorv_acq_tpx3_get_toa_vec(zorv_acq_t* acq, void* vec) { return delivery_buffer(__func__, acq, vec, kToa); }
int zorv_acq_tpx3_get_tot_vec(zorv_acq_t* acq, void* vec) { return delivery_buffer(__func__, acq, vec, kTot); }
int zorv_acq_tpx3_get_event_vec(zorv_acq_t* acq, void* vec) { return delivery_buffer(__func__, acq, vec, kEvent); }
int zorv_acq_tpx3_get_itot_vec(zorv_acq_t* acq, void* vec) { return delivery_buffer(__func__, acq, vec, kItot); }
int zorv_acq_tpx3_get_binned_hitcounters_count(zorv_acq_t* acq, unsigned long long* count) {
    return delivery_count(__func__, acq, count, [](const zorv_acq& a) { return a.count[kHitcounters]; });
}
int zorv_acq_tpx3_get_binned_hitcounters(zorv_acq_t* acq, uint64_t** counters) {
    return delivery_buffer(__func__, acq, counters, kHitcounters);
}
int zorv_acq_tpx3_get_binned_itots_count(zorv_acq_t* acq, unsigned long long* count) {
    return delivery_count(__func__, acq, count, [](const zorv_acq& a) { return a.count[kItots]; });
}
int zorv_acq_tpx3_get_binned_itots(zorv_acq_t* acq, uint64_t** itots) { return delivery_buffer(__func__, acq, itots, kItots); }
int zorv_acq_meta_get_shutter_rising_time_ticks(zorv_acq_t* acq, unsigned long long* ticks) {
    return delivery_count(__func__, acq, ticks, [](const zorv_acq& a) { return a.shutter; });
}
int zorv_acq_meta_get_bin_descriptor_count(zorv_acq_t* acq, unsigned long long* count) {
    return delivery_count(__func__, acq, count, [](const zorv_acq& a) { return a.count[kDescriptors]; });
}
int zorv_acq_meta_get_bin_descriptors(zorv_acq_t* acq, void* descriptors) {
    return delivery_buffer(__func__, acq, descriptors, kDescriptors);
}
int zorv_acq_tpx_get_frame_count(zorv_acq_t* acq, unsigned long long* count) {
    return delivery_count(__func__, acq, count, [](const zorv_acq& a) { return a.count[kFrames]; });
}
int zorv_acq_tpx_get_frames(zorv_acq_t* acq, void* frames) { return delivery_buffer(__func__, acq, frames, kFrames); }

int zorv_acq_meta_get_tdc_toas_count(zorv_acq_t* acq, int tdc, uint64_t* count) {
    Call call(__func__, acq, tdc);
    if (call.injected()) return call.status();
    if (!delivery_ok(call, acq, count) || !tdc_ok(call, tdc)) return call.status();
    *count = acq->count[kTdc0 + tdc];
    return call.done(0, count);
}

int zorv_acq_meta_get_tdc_toas(zorv_acq_t* acq, int tdc, const uint64_t** toas) {
    Call call(__func__, acq, tdc);
    if (call.injected()) return call.status();
    if (!delivery_ok(call, acq, toas) || !tdc_ok(call, tdc)) return call.status();
    *toas = reinterpret_cast<const uint64_t*>(buffer(acq, Slot(kTdc0 + tdc)));
    return call.done(0);
}

}  // extern "C"

// =============================================================================================
// Control API: scripts and delivery counts

struct zorvsim_script {
    Script script;
};

namespace {

const char* const kSlotNames[kSlots] = {
    "packets", "pixel_address_vec", "toa_vec", "tot_vec", "event_vec", "itot_vec", "tdc0",
    "tdc1", "tdc2", "bin_descriptors", "binned_hitcounters", "binned_itots", "frames", "raw",
};

int slot_of(const char* name) {
    for (int s = 0; s < kSlots; ++s)
        if (name && std::strcmp(name, kSlotNames[s]) == 0) return s;
    return -1;
}

// The widest record of a slot in any mode.
uint64_t widest_record(int s) { return record_size(Slot(s), ""); }

constexpr uint64_t kMaxScriptBuffer = uint64_t(1) << 30;

// A count whose records would need more than kMaxScriptBuffer bytes is refused (the buffer is
// padded to its count when the acquisition begins).
int check_count(const char* name, int s, long long count) {
    if (count > 0 && uint64_t(count) > kMaxScriptBuffer / widest_record(s))
        return control_fail(std::string("the count of ") + name + " needs a buffer of more than 1 GiB");
    return 0;
}

const char* const kGetters[] = {
    "zorv_acq_raw_get_data", "zorv_acq_tpx3_get_packet_count", "zorv_acq_tpx3_get_packets",
    "zorv_acq_tpx3_get_vec_length", "zorv_acq_tpx3_get_pixel_address_vec", "zorv_acq_tpx3_get_toa_vec",
    "zorv_acq_tpx3_get_tot_vec", "zorv_acq_tpx3_get_event_vec", "zorv_acq_tpx3_get_itot_vec",
    "zorv_acq_tpx3_get_binned_hitcounters_count", "zorv_acq_tpx3_get_binned_hitcounters",
    "zorv_acq_tpx3_get_binned_itots_count", "zorv_acq_tpx3_get_binned_itots",
    "zorv_acq_meta_get_shutter_rising_time_ticks", "zorv_acq_meta_get_tdc_toas_count",
    "zorv_acq_meta_get_tdc_toas", "zorv_acq_meta_get_bin_descriptor_count", "zorv_acq_meta_get_bin_descriptors",
    "zorv_acq_tpx_get_frame_count", "zorv_acq_tpx_get_frames",
};

ScriptDelivery* last_delivery(zorvsim_script_t* s) {
    if (!s || s->script.deliveries.empty()) {
        control_fail(s ? "the script has no delivery yet" : "the script is null");
        return nullptr;
    }
    return &s->script.deliveries.back();
}

// The state of a channel of device `device` of the model; null with the reason set.
Channel* control_channel(int device, const char* channel) {
    auto lk = lock();
    auto& devs = world().devices;
    if (device < 0 || size_t(device) >= devs.size()) {
        control_fail("no device " + std::to_string(device) + " is attached");
        return nullptr;
    }
    if (!channel || !has_channel(devs[size_t(device)]->acq, channel)) {
        control_fail("device " + std::to_string(device) + " has no acquisition channel '" + (channel ? channel : "(null)") + "'");
        return nullptr;
    }
    return &channel_state(device, channel);
}

// Copies up to `capacity` items of the truth of delivery `delivery` of the channel's last
// acquisition (its hits' particles, or its particles) to `out`; returns how many it has, or -1.
template <class T, class Out>
long long copy_truth(int device, const char* channel, long long delivery, std::vector<T> Truth::*items, Out* out,
                     unsigned long long capacity) {
    static_assert(sizeof(T) == sizeof(Out));
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    std::lock_guard<std::mutex> l(ch->m);
    const TruthRing& r = ch->truth;
    if (!r.kept)
        return control_fail(std::string("the last acquisition on channel '") + channel +
                            "' kept no truth: keep it (zorvsim_truth_keep) before a synthetic acquisition begins");
    const std::string ch_text = std::string("channel '") + channel + "'";
    if (r.deliveries.empty())
        return control_fail("no delivery " + std::to_string(delivery) + " yet: " + ch_text + " has made none");
    const uint64_t first = r.deliveries.front().delivery, last = r.deliveries.back().delivery;
    const std::string keeps = ch_text + " keeps the truth of deliveries " + std::to_string(first) + " to " + std::to_string(last);
    if (delivery < 0 || uint64_t(delivery) < first)
        return control_fail("the truth of delivery " + std::to_string(delivery) + " is not kept: " + keeps);
    if (uint64_t(delivery) > last) return control_fail("no delivery " + std::to_string(delivery) + " yet: " + keeps);
    const std::vector<T>& v = r.deliveries[size_t(uint64_t(delivery) - first)].*items;
    if (out && !v.empty()) std::memcpy(out, v.data(), std::min<uint64_t>(capacity, v.size()) * sizeof(T));
    return (long long)v.size();
}

static_assert(sizeof(zorvsim_particle_t) == sizeof(Particle) && offsetof(zorvsim_particle_t, toa) == offsetof(Particle, toa) &&
              offsetof(zorvsim_particle_t, kind) == offsetof(Particle, kind));

}  // namespace

extern "C" {

zorvsim_script_t* zorvsim_script_create(void) {
    auto* s = new (std::nothrow) zorvsim_script;
    if (!s) control_fail("no memory for the script");
    return s;
}

void zorvsim_script_discard(zorvsim_script_t* s) { delete s; }

int zorvsim_script_add_delivery(zorvsim_script_t* s) {
    if (!s) return control_fail("the script is null");
    s->script.deliveries.emplace_back();
    return 0;
}

int zorvsim_script_buffer(zorvsim_script_t* s, const char* name, const void* data, unsigned long long size) {
    ScriptDelivery* d = last_delivery(s);
    if (!d) return -1;
    int slot = slot_of(name);
    if (slot < 0) return control_fail(std::string("no delivery buffer is named '") + (name ? name : "(null)") + "'");
    if (size > kMaxScriptBuffer) return control_fail("a scripted buffer is limited to 1 GiB");
    return guarded([&] {
        d->data[slot].assign(data ? std::max<uint64_t>(1, (size + 7) / 8) : 0, 0);  // an empty buffer is not null
        if (data && size) std::memcpy(d->data[slot].data(), data, size);
        d->present[slot] = data != nullptr;
        d->bytes[slot] = data ? size : 0;
        return 0;
    });
}

int zorvsim_script_count(zorvsim_script_t* s, const char* name, long long count) {
    ScriptDelivery* d = last_delivery(s);
    if (!d) return -1;
    if (name && std::strcmp(name, "vec_length") == 0) {
        if (check_count(name, kToa, count) < 0) return -1;
        d->vecLength = count < 0 ? -1 : count;
        return 0;
    }
    int slot = slot_of(name);
    if (slot < 0 || slot == kRaw || (slot >= kAddress && slot <= kItot))
        return control_fail(std::string("no delivery count is named '") + (name ? name : "(null)") + "'");
    if (check_count(name, slot, count) < 0) return -1;
    d->count[slot] = count < 0 ? -1 : count;
    return 0;
}

int zorvsim_script_repeat(zorvsim_script_t* s, long long times) {
    if (!s) return control_fail("the script is null");
    if (times < 1 || uint64_t(times) > (uint64_t(1) << 40))
        return control_fail("a script is repeated from 1 to 2^40 times");
    s->script.repeat = uint64_t(times);
    return 0;
}

int zorvsim_script_shutter(zorvsim_script_t* s, unsigned long long ticks) {
    ScriptDelivery* d = last_delivery(s);
    if (!d) return -1;
    d->shutter = ticks;
    return 0;
}

int zorvsim_script_fail(zorvsim_script_t* s, const char* fn, int status, const char* msg, int len) {
    ScriptDelivery* d = last_delivery(s);
    if (!d) return -1;
    if (!fn || std::none_of(std::begin(kGetters), std::end(kGetters), [&](const char* g) { return std::strcmp(g, fn) == 0; }))
        return control_fail(std::string("not a getter of a delivery: ") + (fn ? fn : "(null)"));
    ScriptFail f;
    f.fn = fn;
    f.status = status;
    f.nullText = !msg || len < 0;
    if (!f.nullText) f.text.assign(msg, size_t(len));
    d->fails.push_back(std::move(f));
    return 0;
}

int zorvsim_script_install(zorvsim_script_t* s, int device, const char* channel, int hold) {
    std::unique_ptr<zorvsim_script> owned(s);
    if (!s) return control_fail("the script is null");
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    auto script = std::make_unique<Script>(std::move(s->script));
    script->hold = hold != 0;
    std::lock_guard<std::mutex> l(ch->m);
    ch->pending = std::move(script);
    ch->lastScript.reset();
    return 0;
}

int zorvsim_script_clear(int device, const char* channel) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    std::lock_guard<std::mutex> l(ch->m);
    ch->pending.reset();
    return 0;
}

long long zorvsim_delivery_count(int device, const char* channel) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    std::lock_guard<std::mutex> l(ch->m);
    return (long long)ch->delivered;
}

long long zorvsim_wait_deliveries(int device, const char* channel, long long count, double timeout) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    std::unique_lock<std::mutex> l(ch->m);
    auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::clamp(timeout, 0.0, 86400.0)));
    ++ch->countWaiters;
    ch->cv.wait_for(l, limit, [&] { return (long long)ch->delivered >= count; });
    --ch->countWaiters;
    return (long long)ch->delivered;
}

long long zorvsim_delivered_buffer(int device, const char* channel, long long delivery, const char* name, void* out,
                                   unsigned long long size) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    int slot = slot_of(name);
    if (slot < 0) return control_fail(std::string("no delivery buffer is named '") + (name ? name : "(null)") + "'");
    std::lock_guard<std::mutex> l(ch->m);
    if (ch->running)
        return control_fail(std::string("an acquisition is running on channel '") + channel +
                        "': its buffers can be read back once it has ended");
    if (!ch->lastScript)
        return control_fail(std::string("no scripted acquisition has ended on channel '") + channel +
                        "' since its last script was installed or the last reset");
    const auto& deliveries = ch->lastScript->deliveries;
    if (delivery < 0 || uint64_t(delivery) >= deliveries.size())
        return control_fail("no delivery " + std::to_string(delivery) + ": the last script of channel '" + channel +
                        "' had " + std::to_string(deliveries.size()));
    const ScriptDelivery& d = deliveries[size_t(delivery)];
    if (!d.present[slot])
        return control_fail(std::string("buffer '") + name + "' of delivery " + std::to_string(delivery) +
                        " was a null pointer");
    if (out) std::memcpy(out, d.data[slot].data(), std::min<uint64_t>(size, d.bytes[slot]));
    return (long long)d.bytes[slot];
}

int zorvsim_acquiring(int device, const char* channel) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    std::lock_guard<std::mutex> l(ch->m);
    return ch->running ? 1 : 0;
}

int zorvsim_truth_keep(int device, const char* channel, long long deliveries) {
    Channel* ch = control_channel(device, channel);
    if (!ch) return -1;
    if (deliveries < 0 || deliveries > (1ll << 40)) return control_fail("the truth is kept for 0 (none) to 2^40 deliveries");
    std::lock_guard<std::mutex> l(ch->m);
    ch->keepTruth = uint64_t(deliveries);
    return 0;
}

long long zorvsim_truth_hits(int device, const char* channel, long long delivery, long long* ids,
                             unsigned long long capacity) {
    return copy_truth(device, channel, delivery, &Truth::ids, ids, capacity);
}

long long zorvsim_truth_particles(int device, const char* channel, long long delivery, zorvsim_particle_t* particles,
                                  unsigned long long capacity) {
    return copy_truth(device, channel, delivery, &Truth::particles, particles, capacity);
}

}  // extern "C"

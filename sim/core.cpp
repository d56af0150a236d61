// Virtual device core: the world, contexts, last errors, the call step with its journal and
// controls, log lines, the virtual clock, model documents and the control API.
#include "schema.hpp"
#include "sim.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>
#include <type_traits>
#include <unordered_set>

#include "zorv/version_info.h"
#include "zorvsim.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// World

std::recursive_mutex& world_mutex() {
    static std::recursive_mutex m;
    return m;
}

static std::vector<zorv_ctx_t*>& contexts() {
    static std::vector<zorv_ctx_t*> c;
    return c;
}

static thread_local std::string t_control_error;

int control_fail(std::string text) {
    t_control_error = std::move(text);
    return -1;
}

static Descriptor default_descriptor(int index) {
    Descriptor d;
    d.connectionString = "zorvsim:" + std::to_string(index);
    d.product = index == 0 ? "ZQ4 Quad Readout" : "ZQ4 Quad Readout Lite";
    d.manufacturer = "Zorv Instruments";
    char serial[32];
    std::snprintf(serial, sizeof serial, "ZQ4-%06d", 417 + index);
    d.serialNumber = serial;
    d.vid = 0x6A5A;
    d.pid = 0x0401 + index;
    d.instancePath = "usb:1-2." + std::to_string(index + 1);
    d.highSpeed = 1;
    d.superSpeed = index == 0 ? 1 : 0;
    return d;
}

static std::unique_ptr<Device> default_device(int index) {
    auto dev = std::make_unique<Device>();
    dev->index = index;
    dev->desc = default_descriptor(index);
    defaults(dev->chip, index);
    defaults(dev->supplies, index);
    defaults(dev->memory, index);
    defaults(dev->acq, index);
    return dev;
}

static std::unique_ptr<World> default_world() {
    auto w = std::make_unique<World>();
    for (int i = 0; i < 2; ++i) w->devices.push_back(default_device(i));
    return w;
}

static bool usb_id(int id) { return id >= 0 && id <= 0xFFFF; }

template <class V>
void members(V& v, Device& d) {
    Descriptor& s = d.desc;
    v("connectionString", s.connectionString);
    v("product", s.product);
    v("manufacturer", s.manufacturer);
    v("serialNumber", s.serialNumber);
    v("usbVid", s.vid, usb_id, "expected a value from 0 to 65535");
    v("usbPid", s.pid, usb_id, "expected a value from 0 to 65535");
    v("usbInstancePath", s.instancePath);
    v("isHighSpeed", s.highSpeed);
    v("isSuperSpeed", s.superSpeed);
    v("chip", d.chip);
    v("supplies", d.supplies);
    v("memory", d.memory);
    v("acquisition", d.acq);
}

static Json dump_world(const World& w) {
    Json doc;
    doc["version"] = Json(Json::Array{w.version[0], w.version[1], w.version[2]});
    Json devices = Json(Json::Array{});
    double t = now();
    for (auto& dev : w.devices) devices.push(Dumper::object(*dev, t));
    doc["devices"] = std::move(devices);
    return doc;
}

// Builds a world from a model document; on failure returns null with the reason in reader.
static std::unique_ptr<World> build_world(const Json& doc, Reader& r) {
    auto w = default_world();
    r.only(doc, "", {"version", "devices"});
    if (const Json::Array* v = r.array(doc, "", "version")) {
        if (v->size() != 3) r.fail("/version", "expected [major, minor, patch]");
        for (size_t k = 0; k < v->size() && k < 3 && r.ok(); ++k) {
            if (!(*v)[k].is_int()) r.fail("/version/" + std::to_string(k), "expected an integer");
            else w->version[k] = int((*v)[k].as_int());
        }
    }
    if (const Json::Array* devs = r.array(doc, "", "devices")) {
        w->devices.clear();
        std::unordered_set<std::string> locators;
        for (size_t i = 0; i < devs->size() && r.ok(); ++i) {
            const Json& d = (*devs)[i];
            std::string path = "/devices/" + std::to_string(i);
            auto dev = default_device(int(i));
            Loader::object(r, d, path, *dev);
            if (!r.ok()) break;
            if (!locators.insert(dev->desc.connectionString).second)
                r.fail(path + "/connectionString", "another device has the same locator");
            w->devices.push_back(std::move(dev));
        }
    }
    if (!r.ok()) return nullptr;
    return w;
}

static std::unique_ptr<World>& world_ptr() {
    static std::unique_ptr<World> w;
    return w;
}

// A model file named by ZORVSIM_MODEL that was refused; contexts cannot be created then.
static std::string& model_file_error() {
    static std::string e;
    return e;
}

FileRead read_regular_file(const std::string& path, uint64_t limit, const char* limit_text, std::string& out,
                           std::string& error) {
    auto refuse = [&](const std::string& why) {
        error = "'" + path + "' " + why;
        return FileRead::Refused;
    };
    // Opened without blocking, so that a FIFO without a writer cannot hold the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? FileRead::Missing : refuse(std::string("cannot be read: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse("is not a regular file");
    if (uint64_t(st.st_size) > limit)
        return refuse("holds " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(limit) + " " +
                      limit_text);
    out.assign(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
        if (n == 0) break;  // shrank meanwhile
        done += size_t(n);
    }
    out.resize(done);
    return FileRead::Ok;
}

// Model documents are read whole; a larger one is refused before it is read.
constexpr uint64_t kMaxModelFile = uint64_t(1) << 30;

static bool read_model_file(const char* path, std::string& out, std::string& error) {
    FileRead r = read_regular_file(path ? path : "", kMaxModelFile, "bytes a model may have", out, error);
    if (r == FileRead::Missing) error = std::string("'") + (path ? path : "") + "' does not exist";
    return r == FileRead::Ok;
}

static std::unique_ptr<World> world_from_text(const std::string& text, const std::string& where, std::string& error) {
    Json doc;
    std::string perr;
    if (!parse_json(text, doc, perr)) {
        error = where + perr;
        return nullptr;
    }
    Reader r(where);
    auto w = build_world(doc, r);
    if (!w) error = r.error();
    return w;
}

World& world() {
    auto& w = world_ptr();
    if (!w) {
        const char* file = std::getenv("ZORVSIM_MODEL");
        if (file && *file) {
            std::string text, error;
            try {
                if (read_model_file(file, text, error)) w = world_from_text(text, file, error);
            } catch (const std::exception& e) {
                error = std::string(file) + ": cannot be loaded: " + e.what();
            }
            if (!w) model_file_error() = "ZORVSIM_MODEL: " + error;
        }
        if (!w) w = default_world();
    }
    return *w;
}

Device* open_device(zorv_ctx_t* ctx) {
    if (!ctx || ctx->device < 0) return nullptr;
    auto& devs = world().devices;
    if (size_t(ctx->device) >= devs.size()) return nullptr;
    return devs[ctx->device].get();
}

// ---------------------------------------------------------------------------------------------
// Clock

static std::atomic<bool> g_manual_clock{false};
static std::mutex g_clock_mutex;
static double g_manual_now = 0;

static double real_now() {
    using namespace std::chrono;
    static const auto start = steady_clock::now();
    return duration<double>(steady_clock::now() - start).count();
}

double now() {
    if (!g_manual_clock.load()) return real_now();
    std::lock_guard<std::mutex> g(g_clock_mutex);
    return g_manual_now;
}

// ---------------------------------------------------------------------------------------------
// Last errors: a few recent handles per thread

namespace {
struct LastError {
    const void* handle = nullptr;
    std::string text;
    bool null = false;
    unsigned long stamp = 0;
};
struct ErrorSlots {
    LastError slots[16];
    unsigned long clock = 0;
    LastError& slot(const void* handle) {
        LastError* oldest = &slots[0];
        for (auto& s : slots) {
            if (s.handle == handle && s.stamp) return s;
            if (s.stamp < oldest->stamp) oldest = &s;
        }
        oldest->handle = handle;
        oldest->text.clear();
        oldest->null = false;
        return *oldest;
    }
};
thread_local ErrorSlots t_errors;
}  // namespace

void set_last_error(const void* handle, std::string text) {
    LastError& s = t_errors.slot(handle);
    s.text = std::move(text);
    s.null = false;
    s.stamp = ++t_errors.clock;
}

static void set_null_last_error(const void* handle) {
    LastError& s = t_errors.slot(handle);
    s.text.clear();
    s.null = true;
    s.stamp = ++t_errors.clock;
}

const char* last_error(const void* handle) {
    for (auto& s : t_errors.slots)
        if (s.handle == handle && s.stamp) return s.null ? nullptr : s.text.c_str();
    return "";
}

// ---------------------------------------------------------------------------------------------
// Log lines

static std::string format_line(const zorv_log_frmt& f, int severity, const std::string& text) {
    std::string out;
    if (f.preamble_) out += "[zorvsim] ";
    if (f.indentation_) out += "  ";
    if (f.prefix_) {
        const char* name = severity == Debug ? "debug" : severity == Info ? "info" : severity == Warning ? "warning"
                         : severity == Error ? "error" : "fatal";
        out += name;
        out += ": ";
    }
    if (f.message_) out += text;
    return out;
}

void emit_log(int severity, const std::string& text, zorv_ctx_t* only) {
    struct Target { zorv_log_func func; void* user; std::string line; };
    std::vector<Target> targets;
    {
        auto lk = lock();
        for (zorv_ctx_t* c : contexts())
            if (c->log && (!only || c == only))
                targets.push_back({c->log, c->log_user, format_line(c->format, severity, text)});
    }
    for (auto& t : targets) t.func(t.line.c_str(), Severity(severity), t.user);
}

// ---------------------------------------------------------------------------------------------
// Journal and controls

std::atomic<bool> Call::journal_on{false};
std::atomic<bool> Call::control_on{false};

namespace {
std::mutex g_journal_mutex;
std::vector<Json> g_journal;
unsigned long g_journal_epoch = 0;

int (*gil_check)() = nullptr;
std::once_flag gil_once;

enum class Kind { Fail, Force, Block, LogOnCall };
struct Control {
    std::string fn;
    Kind kind;
    int status = 0;
    std::string text;
    bool null_text = false;
    Json values;
    int ms = 0;
    int skip = 0;
    int count = -1;
};
std::mutex g_control_mutex;
std::vector<Control> g_controls;

thread_local std::deque<std::string> t_forced_texts;  // keeps forced texts alive after the call

Json gil_state() {
    std::call_once(gil_once, [] { gil_check = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "PyGILState_Check")); });
    if (!gil_check) return Json();
    return Json(gil_check() != 0);
}
}  // namespace

// ---- records of received buffers ----

namespace {

// SHA-256 (FIPS 180-4) of a byte run, as 64 hexadecimal digits.
std::string sha256_hex(const unsigned char* p, size_t n) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](uint32_t x, int r) { return (x >> r) | (x << (32 - r)); };
    auto block = [&](const unsigned char* b) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 | uint32_t(b[4 * i + 2]) << 8 | b[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b_ = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b_) ^ (a & c) ^ (b_ & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b_;
            b_ = a;
            a = t1 + t2;
        }
        uint32_t add[8] = {a, b_, c, d, e, f, g, hh};
        for (int i = 0; i < 8; ++i) h[i] += add[i];
    };
    size_t whole = n / 64 * 64;
    for (size_t i = 0; i < whole; i += 64) block(p + i);
    unsigned char tail[128] = {};
    size_t rest = n - whole;
    if (rest) std::memcpy(tail, p + whole, rest);
    tail[rest] = 0x80;
    size_t last = rest < 56 ? 64 : 128;
    uint64_t bits = uint64_t(n) * 8;
    for (int i = 0; i < 8; ++i) tail[last - 1 - i] = uint8_t(bits >> (8 * i));
    block(tail);
    if (last == 128) block(tail + 64);
    char out[65];
    for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
    return std::string(out, 64);
}

std::string hex_of(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

}  // namespace

Json bytes_record(const void* data, size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (!p) length = 0;
    Json r;
    r["length"] = (unsigned long long)length;
    if (length <= kJournalBytes) {
        r["hex"] = hex_of(p, length);
    } else {
        r["sha256"] = sha256_hex(p, length);
        r["head"] = hex_of(p, 64);
    }
    return r;
}

Json Call::text_arg(const char* s) {
    std::string_view text(s);
    if (utf8_prefix(text) == text.size()) return Json(text);
    Json r;
    r["hex"] = hex_of(reinterpret_cast<const unsigned char*>(s), text.size());
    return r;
}

void Call::journal(Json::Array args) {
    Json e;
    e["fn"] = fn_;
    e["args"] = Json(std::move(args));
    e["gil"] = gil_state();
    e["thread"] = long(syscall(SYS_gettid));
    std::lock_guard<std::mutex> g(g_journal_mutex);
    entry_ = long(g_journal.size()) | (long(g_journal_epoch & 0xFFFF) << 40);
    g_journal.push_back(std::move(e));
}

void Call::note(const char* key, Json value) {
    if (entry_ < 0) return;
    std::lock_guard<std::mutex> g(g_journal_mutex);
    if (((entry_ >> 40) & 0xFFFF) != long(g_journal_epoch & 0xFFFF)) return;
    size_t i = size_t(entry_ & ((1L << 40) - 1));
    if (i < g_journal.size()) g_journal[i][key] = std::move(value);
}

void Call::apply_control() {
    int block_ms = 0;
    std::vector<std::pair<int, std::string>> logs;
    {
        std::lock_guard<std::mutex> g(g_control_mutex);
        for (auto it = g_controls.begin(); it != g_controls.end();) {
            Control& c = *it;
            if (c.fn != fn_ || (injected_ && c.kind == Kind::Fail)) { ++it; continue; }
            if (c.skip > 0) { --c.skip; ++it; continue; }
            switch (c.kind) {
            case Kind::Fail:
                injected_ = true;
                status_ = c.status;
                if (c.null_text) set_null_last_error(handle_);
                else set_last_error(handle_, c.text);
                break;
            case Kind::Force: forced_ = c.values; break;
            case Kind::Block: block_ms += c.ms; break;
            case Kind::LogOnCall: logs.emplace_back(c.status, c.text); break;
            }
            if (c.count > 0 && --c.count == 0) it = g_controls.erase(it);
            else ++it;
        }
        if (g_controls.empty()) control_on.store(false);
    }
    if (block_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(block_ms));
    for (auto& [sev, text] : logs) emit_log(sev, text);
    if (injected_) note("injected", status_);
}

int Call::fail_text(int status, std::string text) {
    set_last_error(handle_, std::move(text));
    return status;
}

int Call::fail(int status, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return fail_text(status, buf);
}

template <class T>
static void force_integer(const Json& forced, int i, T* p) {
    if (!p || !forced.is_array() || size_t(i) >= forced.as_array().size()) return;
    const Json& v = forced.as_array()[i];
    if (v.is_int()) *p = T(v.as_int());
}

void Call::force_one(int i, int* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned short* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned long* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, unsigned long long* p) { force_integer(forced_, i, p); }
void Call::force_one(int i, zorv_chip_polarity_t* p) { force_integer(forced_, i, p); }

void Call::force_one(int i, float* p) {
    if (!p || !forced_.is_array() || size_t(i) >= forced_.as_array().size()) return;
    const Json& v = forced_.as_array()[i];
    if (v.is_number()) *p = float(v.as_double());
}

static bool hex_bytes(const std::string& hex, std::string& out) {
    out.clear();
    int nib = -1;
    for (char c : hex) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c == ' ') continue;
        else return false;
        if (nib < 0) nib = d;
        else { out += char(nib * 16 + d); nib = -1; }
    }
    return nib < 0;
}

void Call::force_one(int i, const char** p) {
    if (!p || !forced_.is_array() || size_t(i) >= forced_.as_array().size()) return;
    const Json& v = forced_.as_array()[i];
    std::string text;
    if (v.is_string()) text = v.as_string();
    else if (const Json* h = v.find("hex"); h && h->is_string()) hex_bytes(h->as_string(), text);
    else if (const Json* n = v.find("null"); n) { *p = nullptr; return; }
    else return;
    t_forced_texts.push_back(std::move(text));
    if (t_forced_texts.size() > 64) t_forced_texts.pop_front();
    *p = t_forced_texts.back().c_str();
}

// ---------------------------------------------------------------------------------------------
// fork: a child process has only the thread that called fork, so no lock of the library may be held
// there by another thread. That thread takes every lock in the library's order before the fork; the
// parent then releases them, and the child makes them anew (locks taken by a thread of another id,
// and conditions that gone threads waited on, cannot be released there).

static void before_fork() {
    world_mutex().lock();
    acq_before_fork();
    g_control_mutex.lock();
    g_journal_mutex.lock();
    g_clock_mutex.lock();
}

static void after_fork_in_parent() {
    g_clock_mutex.unlock();
    g_journal_mutex.unlock();
    g_control_mutex.unlock();
    acq_after_fork_in_parent();
    world_mutex().unlock();
}

static void after_fork_in_child() {
    new (&g_clock_mutex) std::mutex;
    new (&g_journal_mutex) std::mutex;
    new (&g_control_mutex) std::mutex;
    acq_after_fork_in_child();
    new (&world_mutex()) std::recursive_mutex;
}

[[maybe_unused]] static const int g_fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace sim

// =============================================================================================
// Control API

using namespace sim;

namespace {

// A text for the caller to release with zorvsim_free; null, with the reason, when memory is short.
char* copy_out(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    else control_fail("the virtual device cannot do this: no memory for a text of " + std::to_string(s.size()) + " bytes");
    return p;
}

// Stops every acquisition and closes every device, without the world lock held while joining.
void close_all() {
    std::vector<Device*> open;
    {
        auto lk = lock();
        for (zorv_ctx_t* c : contexts())
            if (Device* d = open_device(c)) open.push_back(d);
    }
    for (Device* d : open) on_close_acq(*d);
    auto lk = lock();
    for (zorv_ctx_t* c : contexts()) {
        if (Device* d = open_device(c)) {
            on_close_chip(*d);
            on_close_memory(*d);
            on_close_supplies(*d);
            d->owner = nullptr;
        }
        c->device = -1;
    }
}

// Swaps in a new world; contexts keep their open device where `keep_open` and the index still exists.
int install(std::unique_ptr<World> w, bool keep_open) {
    auto lk = lock();
    for (auto& d : world().devices)
        if (acquiring(*d)) return control_fail("the model cannot be changed while an acquisition runs");
    if (!keep_open) {
        lk.unlock();
        close_all();
        lk.lock();
    }
    world_ptr() = std::move(w);
    for (zorv_ctx_t* c : contexts()) {
        if (c->device < 0) continue;
        if (size_t(c->device) < world().devices.size()) world().devices[c->device]->owner = c;
        else c->device = -1;
    }
    return 0;
}

// Walks a path such as "/devices/0/chip" through a document.
Json* walk(Json& doc, const std::string& path, std::string& error) {
    Json* cur = &doc;
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '/') { ++i; continue; }
        size_t j = path.find('/', i);
        std::string key = path.substr(i, j == std::string::npos ? std::string::npos : j - i);
        i = j == std::string::npos ? path.size() : j;
        if (cur->is_array()) {
            char* end = nullptr;
            unsigned long k = std::strtoul(key.c_str(), &end, 10);
            if (key.empty() || *end || k >= cur->as_array().size()) {
                error = path + ": no element '" + key + "'";
                return nullptr;
            }
            cur = &cur->as_array()[k];
        } else if (cur->is_object()) {
            bool found = false;
            for (auto& [k, v] : cur->as_object())
                if (k == key) { cur = &v; found = true; break; }
            if (!found) {
                error = path + ": no member '" + key + "'";
                return nullptr;
            }
        } else {
            error = path + ": '" + key + "' is inside a value that has no members";
            return nullptr;
        }
    }
    return cur;
}

int add_control(Control c) {
    if (!c.fn.empty() && c.fn.rfind("zorv_", 0) != 0) return control_fail("not a library function: " + c.fn);
    std::lock_guard<std::mutex> g(g_control_mutex);
    g_controls.push_back(std::move(c));
    Call::control_on.store(true);
    return 0;
}

}  // namespace

extern "C" {

const char* zorvsim_error(void) { return t_control_error.c_str(); }

void zorvsim_free(char* text) { std::free(text); }

int zorvsim_reset(void) {
    zorvsim_clear_controls();
    zorvsim_journal(0);
    zorvsim_clock_manual(0);
    {
        std::lock_guard<std::mutex> g(g_journal_mutex);
        g_journal.clear();
        ++g_journal_epoch;
    }
    close_all();
    reset_acquisitions();
    auto lk = lock();
    world_ptr() = default_world();
    return 0;
}

int zorvsim_load_model(const char* json) {
    return guarded([&] {
        std::string error;
        auto w = world_from_text(json ? json : "", "model", error);
        if (!w) return control_fail(error);
        return install(std::move(w), false);
    });
}

int zorvsim_load_model_file(const char* path) {
    return guarded([&] {
        std::string text, error;
        if (!read_model_file(path, text, error)) return control_fail(error);
        auto w = world_from_text(text, path, error);
        if (!w) return control_fail(error);
        return install(std::move(w), false);
    });
}

char* zorvsim_get_model(void) {
    return guarded([&]() -> char* {
        auto lk = lock();
        return copy_out(dump_world(world()).dump());
    });
}

char* zorvsim_get(const char* path) {
    return guarded([&]() -> char* {
        auto lk = lock();
        Json doc = dump_world(world());
        std::string error;
        Json* v = walk(doc, path ? path : "", error);
        if (!v) {
            control_fail(error);
            return nullptr;
        }
        return copy_out(v->dump());
    });
}

int zorvsim_set(const char* path, const char* json) {
    return guarded([&] {
        Json value;
        std::string error;
        if (!parse_json(json ? json : "", value, error)) return control_fail("value" + error);
        auto lk = lock();
        Json doc = dump_world(world());
        Json* target = walk(doc, path ? path : "", error);
        if (!target) return control_fail(error);
        *target = std::move(value);
        Reader r(path ? path : "");
        auto w = build_world(doc, r);
        if (!w) return control_fail(r.error());
        return install(std::move(w), true);
    });
}

int zorvsim_fail(const char* fn, int status, const char* msg, int len, int skip, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Fail;
    c.status = status;
    if (len < 0 || !msg) c.null_text = true;
    else c.text.assign(msg, size_t(len));
    c.skip = skip;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_force(const char* fn, const char* json, int skip, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Force;
    std::string error;
    if (!parse_json(json ? json : "", c.values, error)) return control_fail("values" + error);
    if (!c.values.is_array()) return control_fail("values: expected an array of out-values");
    c.skip = skip;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_block(const char* fn, int ms, int count) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::Block;
    c.ms = ms;
    c.count = count;
    return add_control(std::move(c));
}

int zorvsim_log_on_call(const char* fn, int severity, const char* msg, int len) {
    Control c;
    c.fn = fn ? fn : "";
    c.kind = Kind::LogOnCall;
    c.status = severity;
    if (msg && len > 0) c.text.assign(msg, size_t(len));
    return add_control(std::move(c));
}

void zorvsim_clear_controls(void) {
    std::lock_guard<std::mutex> g(g_control_mutex);
    g_controls.clear();
    Call::control_on.store(false);
}

void zorvsim_journal(int on) { Call::journal_on.store(on != 0); }

char* zorvsim_journal_take(void) {
    std::vector<Json> taken;
    {
        std::lock_guard<std::mutex> g(g_journal_mutex);
        taken.swap(g_journal);
        ++g_journal_epoch;
    }
    return copy_out(Json(Json::Array(std::move(taken))).dump());
}

int zorvsim_log(int severity, const char* msg, int len, int on_thread) {
    return guarded([&] {
        std::string text = msg && len > 0 ? std::string(msg, size_t(len)) : std::string();
        if (on_thread) std::thread([&] { emit_log(severity, text); }).join();
        else emit_log(severity, text);
        return 0;
    });
}

void zorvsim_clock_manual(int on) {
    std::lock_guard<std::mutex> g(g_clock_mutex);
    if (on && !g_manual_clock.load()) g_manual_now = real_now();
    g_manual_clock.store(on != 0);
}

void zorvsim_clock_advance(double seconds) {
    std::lock_guard<std::mutex> g(g_clock_mutex);
    if (seconds > 0) g_manual_now += seconds;
}

double zorvsim_clock_now(void) { return now(); }

int zorvsim_context_count(void) {
    auto lk = lock();
    return int(contexts().size());
}

}  // extern "C"

// =============================================================================================
// Contexts, versions and log registration

extern "C" {

int zorv_ctx_create(zorv_ctx_t** ctx) {
    ZORV_ENTER(nullptr, ctx);
    if (!ctx) return call_.fail(ZORV_POINTER, "zorv_ctx_create: the out-pointer is null");
    auto lk = lock();
    world();
    if (!model_file_error().empty()) return call_.fail_text(ZORV_INTERNAL, model_file_error());
    static uint64_t serial = 0;
    auto* c = new zorv_ctx;
    c->serial = ++serial;
    contexts().push_back(c);
    *ctx = c;
    return call_.done(0);
}

int zorv_ctx_destroy(zorv_ctx_t* ctx) {
    ZORV_ENTER(ctx);
    ZORV_REQUIRE_CTX(ctx);
    close_context(ctx);
    auto lk = lock();
    auto& cs = contexts();
    for (auto it = cs.begin(); it != cs.end(); ++it)
        if (*it == ctx) { cs.erase(it); break; }
    delete ctx;
    return call_.done(0);
}

int zorv_ctx_get_last_error(zorv_ctx_t* ctx, const char** text) {
    ZORV_ENTER(ctx);
    if (text) *text = last_error(ctx);
    return call_.done(0);
}

void zorv_version(int* major, int* minor, int* patch) {
    sim::Call call_(__func__, nullptr);
    auto lk = lock();
    const World& w = world();
    if (major) *major = w.version[0];
    if (minor) *minor = w.version[1];
    if (patch) *patch = w.version[2];
}

void zorv_log_set_func(zorv_ctx_t* ctx, zorv_log_func func, void* user, zorv_log_frmt* format) {
    sim::Call call_(__func__, ctx, func, user,
                    format ? Json(Json::Array{int(format->preamble_), int(format->indentation_), int(format->prefix_),
                                              int(format->message_)})
                           : Json());
    if (!ctx) return;
    auto lk = lock();
    ctx->log = func;
    ctx->log_user = user;
    if (format) ctx->format = *format;
}

}  // extern "C"

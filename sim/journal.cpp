// Virtual device core: the journal of calls, and its records of the buffers calls receive.
#include "core.hpp"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "zorvsim.h"

namespace sim {

std::atomic<bool> Call::journal_on{false};

namespace {

std::mutex g_journal_mutex;
std::vector<Json> g_journal;
unsigned long g_journal_epoch = 0;

int (*gil_check)() = nullptr;
std::once_flag gil_once;

// Whether the caller holds the interpreter lock, when the library runs inside one (null otherwise).
Json gil_state() {
    std::call_once(gil_once, [] { gil_check = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "PyGILState_Check")); });
    if (!gil_check) return Json();
    return Json(gil_check() != 0);
}

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

void clear_journal() {
    std::lock_guard<std::mutex> g(g_journal_mutex);
    g_journal.clear();
    ++g_journal_epoch;
}

std::mutex& journal_mutex() { return g_journal_mutex; }

}  // namespace sim

using namespace sim;

extern "C" {

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

}  // extern "C"

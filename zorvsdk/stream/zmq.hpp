// The ZeroMQ library the streamer sends through, loaded at run time by path (the one pyzmq ships,
// found by zorvsdk.stream.libzmq()), and a sending socket over it. The few functions and constants
// used are declared here: they are those of libzmq's stable interface since 4.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zorv::stream {

struct ZmqMessage {  // zmq_msg_t
    alignas(8) unsigned char opaque[64];
};

struct Zmq {
    void (*version)(int*, int*, int*);
    void* (*ctx_new)();
    int (*ctx_term)(void*);
    void* (*socket)(void*, int);
    int (*close)(void*);
    int (*setsockopt)(void*, int, const void*, size_t);
    int (*getsockopt)(void*, int, void*, size_t*);
    int (*bind)(void*, const char*);
    int (*msg_init_size)(ZmqMessage*, size_t);
    void* (*msg_data)(ZmqMessage*);
    int (*msg_send)(ZmqMessage*, void*, int);
    int (*msg_close)(ZmqMessage*);
    int (*poll)(void*, int, long);
    int (*errno_)();
    const char* (*strerror)(int);
    int major = 0, minor = 0, patch = 0;
};

// The library at `path`, loaded once per process; null with the reason in `error`.
const Zmq* load_zmq(const std::string& path, std::string& error);

enum class Pattern { Pub, Push };

// A bound PUB or PUSH socket of a context of its own, used by one thread at a time.
class Sender {
public:
    Sender(const Zmq& z) : z_(z) {}
    ~Sender() { close(0); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Binds to `endpoint` (tcp://*:5556, ipc://..., inproc://...); false with the reason.
    bool open(Pattern pattern, const std::string& endpoint, int hwm, std::string& error);
    std::string endpoint() const { return bound_; }  // as bound: a port chosen by the system filled in

    // The two frames of one message, written by `fill` into memory of the sizes given, sent as one
    // without waiting. 1: sent; 0: no room now (a PUSH socket's receivers are all full or absent);
    // -1: failed, with the reason.
    template <class Fill>
    int send(size_t first, size_t second, Fill fill, std::string& error);
    // Waits up to `ms` for room to send; true when there is.
    bool wait_room(int ms);
    // Closes the socket, letting it send what it holds for up to `linger_ms`, and ends the context.
    void close(int linger_ms);
    // In a forked child: the socket and its context are the parent's, left alone.
    void forget() { ctx_ = socket_ = nullptr; }

private:
    const Zmq& z_;
    void* ctx_ = nullptr;
    void* socket_ = nullptr;
    std::string bound_;
};

inline constexpr int kZmqSndMore = 2, kZmqDontWait = 1, kZmqEagain = 11, kZmqPollOut = 2;

template <class Fill>
int Sender::send(size_t first, size_t second, Fill fill, std::string& error) {
    ZmqMessage a, b;
    if (z_.msg_init_size(&a, first) != 0) return error = "no memory for a message", -1;
    if (z_.msg_init_size(&b, second) != 0) {
        z_.msg_close(&a);
        return error = "no memory for a message", -1;
    }
    fill(static_cast<unsigned char*>(z_.msg_data(&a)), static_cast<unsigned char*>(z_.msg_data(&b)));
    int r = 1;
    if (z_.msg_send(&a, socket_, kZmqSndMore | kZmqDontWait) < 0) {
        const int e = z_.errno_();
        r = e == kZmqEagain ? 0 : -1;
        if (r < 0) error = std::string("sending failed: ") + z_.strerror(e);
        z_.msg_close(&a);
    } else if (z_.msg_send(&b, socket_, kZmqDontWait) < 0) {  // the second part goes with the first
        error = std::string("sending failed: ") + z_.strerror(z_.errno_());
        r = -1;
    }
    z_.msg_close(&b);  // a sent message is left empty: closing it is a no-op
    return r;
}

}  // namespace zorv::stream

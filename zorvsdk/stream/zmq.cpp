#include "zmq.hpp"

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>

namespace zorv::stream {

namespace {

constexpr int kPub = 1, kPush = 8;
constexpr int kSndHwm = 23, kLinger = 17, kLastEndpoint = 32;

struct PollItem {  // zmq_pollitem_t
    void* socket;
    int fd;
    short events, revents;
};

template <class F>
bool symbol(void* handle, const char* name, F& out, const std::string& path, std::string& error) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    if (!out) error = path + " lacks " + name;
    return out != nullptr;
}

}  // namespace

const Zmq* load_zmq(const std::string& path, std::string& error) {
    static std::mutex mu;
    static std::map<std::string, std::unique_ptr<Zmq>> loaded;
    std::lock_guard<std::mutex> lock(mu);
    if (auto it = loaded.find(path); it != loaded.end()) return it->second.get();
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // stays loaded: its table is handed out freely
    if (!h) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown reason");
        return nullptr;
    }
    auto t = std::make_unique<Zmq>();
    if (!symbol(h, "zmq_version", t->version, path, error) || !symbol(h, "zmq_ctx_new", t->ctx_new, path, error) ||
        !symbol(h, "zmq_ctx_term", t->ctx_term, path, error) || !symbol(h, "zmq_socket", t->socket, path, error) ||
        !symbol(h, "zmq_close", t->close, path, error) || !symbol(h, "zmq_setsockopt", t->setsockopt, path, error) ||
        !symbol(h, "zmq_getsockopt", t->getsockopt, path, error) || !symbol(h, "zmq_bind", t->bind, path, error) ||
        !symbol(h, "zmq_msg_init_size", t->msg_init_size, path, error) ||
        !symbol(h, "zmq_msg_data", t->msg_data, path, error) || !symbol(h, "zmq_msg_send", t->msg_send, path, error) ||
        !symbol(h, "zmq_msg_close", t->msg_close, path, error) || !symbol(h, "zmq_poll", t->poll, path, error) ||
        !symbol(h, "zmq_errno", t->errno_, path, error) || !symbol(h, "zmq_strerror", t->strerror, path, error))
        return nullptr;
    t->version(&t->major, &t->minor, &t->patch);
    if (t->major != 4) {
        error = "ZeroMQ " + std::to_string(t->major) + "." + std::to_string(t->minor) + " at " + path +
                " is not supported (4.x is)";
        return nullptr;
    }
    return (loaded[path] = std::move(t)).get();
}

bool Sender::open(Pattern pattern, const std::string& endpoint, int hwm, std::string& error) {
    auto fail = [&](const std::string& what) {
        error = what + ": " + z_.strerror(z_.errno_());
        close(0);
        return false;
    };
    if (!(ctx_ = z_.ctx_new())) return fail("no ZeroMQ context");
    if (!(socket_ = z_.socket(ctx_, pattern == Pattern::Pub ? kPub : kPush))) return fail("no ZeroMQ socket");
    if (z_.setsockopt(socket_, kSndHwm, &hwm, sizeof hwm) != 0) return fail("the send queue's size was refused");
    if (z_.bind(socket_, endpoint.c_str()) != 0) return fail("cannot bind " + endpoint);
    char bound[1024] = {};
    size_t size = sizeof bound - 1;
    bound_ = z_.getsockopt(socket_, kLastEndpoint, bound, &size) == 0 ? std::string(bound) : endpoint;
    return true;
}

bool Sender::wait_room(int ms) {
    PollItem item{socket_, 0, kZmqPollOut, 0};
    return z_.poll(&item, 1, ms) > 0 && (item.revents & kZmqPollOut);
}

void Sender::close(int linger_ms) {
    if (socket_) {
        z_.setsockopt(socket_, kLinger, &linger_ms, sizeof linger_ms);
        z_.close(socket_);
        socket_ = nullptr;
    }
    if (ctx_) {
        z_.ctx_term(ctx_);  // waits for the linger at most
        ctx_ = nullptr;
    }
}

}  // namespace zorv::stream

// Virtual device core: model documents. A document is loaded into a new world (each device
// starting from the default device of its index), dumped from the current one, read and replaced
// member by member; model files are read whole, and only regular files are.
#include "core.hpp"
#include "schema.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "zorvsim.h"

namespace sim {

namespace {
bool usb_id(int id) { return id >= 0 && id <= 0xFFFF; }
}  // namespace

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

namespace {

Json dump_world(const World& w) {
    Json doc;
    doc["version"] = Json(Json::Array{w.version[0], w.version[1], w.version[2]});
    Json devices = Json(Json::Array{});
    double t = now();
    for (auto& dev : w.devices) devices.push(Dumper::object(*dev, t));
    doc["devices"] = std::move(devices);
    return doc;
}

// Builds a world from a model document; on failure returns null with the reason in reader.
std::unique_ptr<World> build_world(const Json& doc, Reader& r) {
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

}  // namespace

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

bool read_model_file(const char* path, std::string& out, std::string& error) {
    FileRead r = read_regular_file(path ? path : "", kMaxModelFile, "bytes a model may have", out, error);
    if (r == FileRead::Missing) error = std::string("'") + (path ? path : "") + "' does not exist";
    return r == FileRead::Ok;
}

std::unique_ptr<World> world_from_text(const std::string& text, const std::string& where, std::string& error) {
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

namespace {

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


}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

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


}  // extern "C"

#include "libraries.hpp"

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace zorv::writer {

namespace {

std::mutex g_mu;

// dlopen'ed libraries stay loaded for the life of the process: their tables are handed out freely.
void* open_library(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown reason");
    }
    return handle;
}

template <class F>
bool symbol(void* handle, const char* name, F& out, const std::string& path, std::string& error) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    if (!out) error = path + " lacks " + name;
    return out != nullptr;
}

template <class Table, class Fill>
const Table* load(std::map<std::string, std::unique_ptr<Table>>& loaded, const std::string& path, std::string& error,
                  Fill fill) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = loaded.find(path);
    if (it != loaded.end()) return it->second.get();
    void* handle = open_library(path, error);
    if (!handle) return nullptr;
    auto table = std::make_unique<Table>();
    if (!fill(handle, *table)) return nullptr;  // the library stays loaded: it may be h5py's or blosc2's own
    return (loaded[path] = std::move(table)).get();
}

}  // namespace

const Hdf5* load_hdf5(const std::string& path, std::string& error) {
    static std::map<std::string, std::unique_ptr<Hdf5>> loaded;
    return load(loaded, path, error, [&](void* h, Hdf5& t) {
        if (!symbol(h, "H5get_libversion", t.get_libversion, path, error) ||
            !symbol(h, "H5Dwrite_chunk", t.write_chunk, path, error) ||
            !symbol(h, "H5Dset_extent", t.set_extent, path, error) || !symbol(h, "H5Fflush", t.flush, path, error) ||
            !symbol(h, "H5Ewalk2", t.walk_errors, path, error) || !symbol(h, "H5Eclear2", t.clear_errors, path, error))
            return false;
        if (t.get_libversion(&t.version[0], &t.version[1], &t.version[2]) < 0) {
            error = path + ": H5get_libversion failed";
            return false;
        }
        // Direct chunk writes with this signature came with 1.10.3; the types declared here are those
        // of 1.10 to 2.x.
        const unsigned v = t.version[0] * 10000 + t.version[1] * 100 + t.version[2];
        if (v < 11003 || t.version[0] > 2) {
            error = "HDF5 " + std::to_string(t.version[0]) + "." + std::to_string(t.version[1]) + "." +
                    std::to_string(t.version[2]) + " at " + path + " is not supported (1.10.3 to 2.x are)";
            return false;
        }
        return true;
    });
}

const Blosc2* load_blosc2(const std::string& path, std::string& error) {
    static std::map<std::string, std::unique_ptr<Blosc2>> loaded;
    return load(loaded, path, error, [&](void* h, Blosc2& t) {
        if (!symbol(h, "blosc2_init", t.init, path, error) ||
            !symbol(h, "blosc2_get_version_string", t.version, path, error) ||
            !symbol(h, "blosc2_schunk_new", t.schunk_new, path, error) ||
            !symbol(h, "blosc2_schunk_append_buffer", t.append_buffer, path, error) ||
            !symbol(h, "blosc2_schunk_to_buffer", t.to_buffer, path, error) ||
            !symbol(h, "blosc2_schunk_free", t.schunk_free, path, error))
            return false;
        t.init();  // does nothing when the blosc2 package initialised the library already
        return true;
    });
}

std::string Hdf5::last_error() const {
    struct Texts {
        std::string inner, outer;
    } texts;
    constexpr hid_t kDefaultStack = 0;  // H5E_DEFAULT
    walk_errors(kDefaultStack, 0 /* H5E_WALK_UPWARD: innermost first */, [](unsigned n, const ErrorRecord* e, void* d) -> herr_t {
        auto* t = static_cast<Texts*>(d);
        std::string text = e->desc ? e->desc : "";
        if (n == 0) t->inner = text;
        t->outer = text;
        return 0;
    }, &texts);
    clear_errors(kDefaultStack);
    // The system's reason ends with a line break and a description of the write; the first line
    // says what failed and why.
    // The system's reason is told as "... error message = 'File too large', ..." after a long
    // description of the write: kept alone.
    auto first_line = [](std::string s) {
        const std::string mark = "error message = '";
        const size_t at = s.find(mark), end = at == std::string::npos ? at : s.find('\'', at + mark.size());
        if (end != std::string::npos) {
            const size_t head = s.find(':');
            s = (head < at ? s.substr(0, head) + ": " : std::string()) + s.substr(at + mark.size(), end - at - mark.size());
        }
        for (char& c : s)
            if (c == '\n') c = ' ';
        return s;
    };
    if (texts.inner.empty()) return texts.outer.empty() ? "the HDF5 library reported a failure" : first_line(texts.outer);
    if (texts.outer.empty() || texts.outer == texts.inner) return first_line(texts.inner);
    return first_line(texts.outer) + ": " + first_line(texts.inner);
}

bool compress_frame(const Blosc2& lib, const Codec& codec, const void* data, size_t bytes, std::vector<uint8_t>& out) {
    blosc2_cparams cparams = BLOSC2_CPARAMS_DEFAULTS;
    cparams.compcode = BLOSC_LZ4;
    cparams.clevel = uint8_t(codec.level);
    cparams.typesize = int32_t(codec.typesize);
    cparams.nthreads = 1;  // chunks are compressed in parallel, one per thread
    for (uint8_t& f : cparams.filters) f = BLOSC_NOFILTER;
    cparams.filters[BLOSC2_MAX_FILTERS - 1] = codec.bitshuffle ? BLOSC_BITSHUFFLE : BLOSC_SHUFFLE;
    blosc2_dparams dparams = BLOSC2_DPARAMS_DEFAULTS;
    dparams.nthreads = 1;
    blosc2_storage storage = BLOSC2_STORAGE_DEFAULTS;
    storage.contiguous = true;
    storage.cparams = &cparams;
    storage.dparams = &dparams;
    blosc2_schunk* schunk = lib.schunk_new(&storage);
    if (!schunk) return false;
    bool ok = lib.append_buffer(schunk, data, int32_t(bytes)) >= 0;
    if (ok) {
        uint8_t* frame = nullptr;
        bool needs_free = false;
        const int64_t n = lib.to_buffer(schunk, &frame, &needs_free);
        ok = n > 0;
        if (ok) out.assign(frame, frame + n);
        if (needs_free) free(frame);
    }
    lib.schunk_free(schunk);
    return ok;
}

}  // namespace zorv::writer

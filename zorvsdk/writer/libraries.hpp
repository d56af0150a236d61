// The two libraries the file writer works through, loaded at run time by path: the HDF5 library
// that h5py loaded (the very same instance, so that the file h5py made is the one written to) and
// the Blosc2 library of the blosc2 package (whose headers the build takes from the same package).
//
// HDF5 ships no headers on the package index, so the few functions used are declared here with the
// library's own types (stable since 1.10.3, the first release with direct chunk writes).
#pragma once

#include <blosc2.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorv::writer {

using hid_t = int64_t;
using herr_t = int;
using hsize_t = unsigned long long;

struct Hdf5 {
    struct ErrorRecord {  // H5E_error2_t
        hid_t cls_id, maj_num, min_num;
        unsigned line;
        const char *func_name, *file_name, *desc;
    };
    using Walk = herr_t (*)(unsigned, const ErrorRecord*, void*);

    herr_t (*get_libversion)(unsigned*, unsigned*, unsigned*);
    herr_t (*write_chunk)(hid_t dataset, hid_t dxpl, uint32_t filters, const hsize_t* offset, size_t bytes,
                          const void* data);
    herr_t (*set_extent)(hid_t dataset, const hsize_t* size);
    herr_t (*flush)(hid_t object, int scope);
    herr_t (*walk_errors)(hid_t stack, int direction, Walk walk, void* data);
    herr_t (*clear_errors)(hid_t stack);
    unsigned version[3];

    // The text of the library's error stack of this thread (the innermost error first, where the
    // system's reason, such as a full disk, is told), then the stack cleared.
    std::string last_error() const;
};

struct Blosc2 {
    decltype(&blosc2_init) init;
    decltype(&blosc2_get_version_string) version;
    decltype(&blosc2_schunk_new) schunk_new;
    decltype(&blosc2_schunk_append_buffer) append_buffer;
    decltype(&blosc2_schunk_to_buffer) to_buffer;
    decltype(&blosc2_schunk_free) schunk_free;
};

// The library at `path`, loaded once per process (later calls with the same path get the same
// table); null with the reason in `error`.
const Hdf5* load_hdf5(const std::string& path, std::string& error);
const Blosc2* load_blosc2(const std::string& path, std::string& error);

// How one column is compressed: LZ4 at a level, after a shuffle of its bytes or bits.
struct Codec {
    int typesize;
    int level;
    bool bitshuffle;
};

// `bytes` of `data` compressed into a contiguous frame of one Blosc2 super-chunk (the form in which
// the HDF5 Blosc2 filter stores a chunk), into `out`; false when Blosc2 refused.
bool compress_frame(const Blosc2& lib, const Codec& codec, const void* data, size_t bytes, std::vector<uint8_t>& out);

}  // namespace zorv::writer

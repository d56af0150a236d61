// Virtual device: flash memories and the pixel mask's storage.
#include "schema.hpp"
#include "sim.hpp"
#include "zorv/flash.h"
#include "zorvsim.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint64_t kAddressSpace = uint64_t(UINT32_MAX) + 1;

// ---- runs of bytes in a model document: [{"address": a, "hex": "..."}] ----

const char kHex[] = "0123456789abcdef";

std::string to_hex(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

bool from_hex(const std::string& hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2) return false;
    out.clear();
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = hex[k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out.push_back(uint8_t(v));
    }
    return true;
}

// Appends the runs of `bytes` (placed at `base`) that differ from `background`; gaps shorter than
// 16 bytes are kept inside a run so that scattered bytes make few runs.
void dump_runs(const uint8_t* bytes, size_t n, uint64_t base, uint8_t background, Json& runs) {
    size_t i = 0;
    while (i < n) {
        while (i < n && bytes[i] == background) ++i;
        if (i == n) break;
        size_t start = i, end = i;
        while (i < n) {
            if (bytes[i] != background) end = ++i;
            else if (i - end >= 16) break;
            else ++i;
        }
        Json run;
        run["address"] = (unsigned long long)(base + start);
        run["hex"] = to_hex(bytes + start, end - start);
        runs.push(std::move(run));
    }
}

// Reads the runs of a model document and hands each to `put(address, bytes)`, which checks its place.
template <class Put>
void load_runs(const Json::Array& runs, const std::string& path, Reader& r, Put put) {
    for (size_t i = 0; i < runs.size() && r.ok(); ++i) {
        std::string p = path + "/" + std::to_string(i);
        int64_t address = -1;
        std::string hex;
        r.only(runs[i], p, {"address", "hex"});
        r.get(runs[i], p, "address", address);
        r.get(runs[i], p, "hex", hex);
        if (!r.ok()) return;
        std::vector<uint8_t> bytes;
        if (address < 0) r.fail(p + "/address", "expected a non-negative address");
        else if (!from_hex(hex, bytes)) r.fail(p + "/hex", "expected an even number of hexadecimal digits");
        else if (std::string problem = put(uint64_t(address), bytes); !problem.empty()) r.fail(p, problem);
    }
}

// ---- layout ----

// The sector holding `address`: memory-wide index, first address and size.
bool locate(const Flash& f, uint64_t address, int& sector, uint64_t& start, uint32_t& size) {
    uint64_t base = 0;
    int index = 0;
    for (auto& r : f.regions) {
        uint64_t span = uint64_t(r.sectorSize) * uint64_t(r.sectors);
        if (address < base + span) {
            uint64_t k = (address - base) / r.sectorSize;
            sector = index + int(k);
            start = base + k * r.sectorSize;
            size = r.sectorSize;
            return true;
        }
        base += span;
        index += r.sectors;
    }
    return false;
}

std::string range_text(const Flash& f) {
    char text[96];
    uint64_t size = flash_size(f);
    if (size == 0) std::snprintf(text, sizeof text, "the memory has no sectors");
    else std::snprintf(text, sizeof text, "the memory spans 0x%08" PRIX64 " to 0x%08" PRIX64, uint64_t(0), size - 1);
    return text;
}

// Checks that [address, address + length) lies inside the memory (written so that no length, however
// large, can wrap the sum around).
bool in_range(const Flash& f, uint32_t address, size_t length, const char* what, std::string& error) {
    const uint64_t size = flash_size(f);
    if (length == 0 || (uint64_t(length) <= size && uint64_t(address) <= size - uint64_t(length))) return true;
    char text[160];
    std::snprintf(text, sizeof text, "flash '%s': %s of %zu bytes at 0x%08" PRIX32 " is outside the memory (", f.id.c_str(),
                  what, length, address);
    error = text + range_text(f) + ")";
    return false;
}

// Calls `visit(sector, offset_in_sector, sector_size, position_in_range, count)` for each piece of
// a range that lies inside the memory.
template <class Visit>
void for_each_piece(const Flash& f, uint32_t address, size_t length, Visit visit) {
    size_t done = 0;
    while (done < length) {
        int sector;
        uint64_t start;
        uint32_t size;
        if (!locate(f, uint64_t(address) + done, sector, start, size)) return;
        uint64_t offset = uint64_t(address) + done - start;
        size_t count = size_t(std::min<uint64_t>(size - offset, length - done));
        visit(sector, size_t(offset), size, done, count);
        done += count;
    }
}

// ---- backing files ----

// Writes `n` bytes at `address` of the file, padding a short file with erased bytes. The file is
// created when missing; anything but a regular file is refused (opening never waits on a FIFO).
bool write_file(const std::string& path, uint64_t address, const uint8_t* bytes, size_t n, std::string& error) {
    auto fail = [&](const char* why) {
        error = "the backing file '" + path + "' cannot be written: " + why;
        return false;
    };
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return fail(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail("it is not a regular file");
    auto put = [&](const uint8_t* p, size_t count, uint64_t at) {
        while (count > 0) {
            ssize_t w = ::pwrite(fd, p, count, off_t(at));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            p += w;
            at += uint64_t(w);
            count -= size_t(w);
        }
        return true;
    };
    static const std::vector<uint8_t> blank(65536, kErased);
    for (uint64_t at = uint64_t(st.st_size); at < address;) {
        size_t count = size_t(std::min<uint64_t>(blank.size(), address - at));
        if (!put(blank.data(), count, at)) return fail(std::strerror(errno));
        at += count;
    }
    if (!put(bytes, n, address)) return fail(std::strerror(errno));
    return true;
}

// Loads a memory's contents from its backing file (a missing file is an erased memory).
std::string read_file(Flash& f) {
    std::string data, error;
    switch (read_regular_file(f.file, flash_size(f), "of the memory", data, error)) {
    case FileRead::Missing: return "";
    case FileRead::Refused: return "the backing file " + error;
    case FileRead::Ok: break;
    }
    f.sectors.clear();
    for_each_piece(f, 0, data.size(), [&](int sector, size_t offset, uint32_t size, size_t pos, size_t count) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + pos;
        bool erased = true;
        for (size_t i = 0; i < count && erased; ++i) erased = p[i] == kErased;
        if (erased && !f.sectors.count(sector)) return;
        auto& bytes = f.sectors[sector];
        if (bytes.empty()) bytes.assign(size, kErased);
        std::memcpy(bytes.data() + offset, p, count);
    });
    return "";
}

Flash make_flash(const char* id, const char* part, std::vector<FlashRegion> regions) {
    Flash f;
    f.id = id;
    f.partNumber = part;
    f.regions = std::move(regions);
    return f;
}

}  // namespace

int sector_count(const Flash& f) {
    int n = 0;
    for (auto& r : f.regions) n += r.sectors;
    return n;
}

uint64_t flash_size(const Flash& f) {
    uint64_t n = 0;
    for (auto& r : f.regions) n += uint64_t(r.sectorSize) * uint64_t(r.sectors);
    return n;
}

bool sector_place(const Flash& f, int sector, uint32_t& start, uint32_t& size) {
    if (sector < 0) return false;
    uint64_t base = 0;
    int index = 0;
    for (auto& r : f.regions) {
        if (sector < index + r.sectors) {
            start = uint32_t(base + uint64_t(sector - index) * r.sectorSize);
            size = r.sectorSize;
            return true;
        }
        base += uint64_t(r.sectorSize) * uint64_t(r.sectors);
        index += r.sectors;
    }
    return false;
}

bool flash_read(const Flash& f, uint32_t address, uint8_t* out, size_t length, std::string& error) {
    if (!in_range(f, address, length, "a read", error)) return false;
    for_each_piece(f, address, length, [&](int sector, size_t offset, uint32_t, size_t pos, size_t count) {
        auto it = f.sectors.find(sector);
        if (it == f.sectors.end()) std::memset(out + pos, kErased, count);
        else std::memcpy(out + pos, it->second.data() + offset, count);
    });
    return true;
}

int flash_program(Flash& f, uint32_t address, const uint8_t* data, size_t length, std::string& error) {
    if (!in_range(f, address, length, "a program", error)) return ZORV_INVALID_ARGUMENT;
    // The whole range is checked before anything is written.
    bool ok = true;
    for_each_piece(f, address, length, [&](int sector, size_t offset, uint32_t, size_t pos, size_t count) {
        auto it = f.sectors.find(sector);
        if (!ok || it == f.sectors.end()) return;
        for (size_t i = 0; i < count; ++i) {
            uint8_t old = it->second[offset + i], want = data[pos + i];
            if ((old & want) != want) {
                char text[200];
                std::snprintf(text, sizeof text,
                              "flash '%s': programming 0x%02X over 0x%02X at 0x%08" PRIX64
                              " would set bits that are 0; erase sector %d first",
                              f.id.c_str(), want, old, uint64_t(address) + pos + i, sector);
                error = text;
                ok = false;
                return;
            }
        }
    });
    if (!ok) return ZORV_INVALID_ARGUMENT;
    if (!f.file.empty() && !write_file(f.file, address, data, length, error)) return -1;
    for_each_piece(f, address, length, [&](int sector, size_t offset, uint32_t size, size_t pos, size_t count) {
        auto& bytes = f.sectors[sector];
        if (bytes.empty()) bytes.assign(size, kErased);
        std::memcpy(bytes.data() + offset, data + pos, count);
    });
    return 0;
}

int flash_erase(Flash& f, int sector, std::string& error) {
    std::vector<int> written;  // only sectors that are not erased hold anything to erase
    if (sector == -1) {
        for (auto& entry : f.sectors) written.push_back(entry.first);
    } else if (sector < 0 || sector >= sector_count(f)) {
        error = "flash '" + f.id + "': sector " + std::to_string(sector) + " is out of range (" +
                std::to_string(sector_count(f)) + " sectors)";
        return ZORV_INVALID_ARGUMENT;
    } else if (f.sectors.count(sector)) {
        written.push_back(sector);
    }
    for (int s : written) {
        uint32_t start = 0, size = 0;
        sector_place(f, s, start, size);
        if (!f.file.empty()) {
            std::vector<uint8_t> blank(size, kErased);
            if (!write_file(f.file, start, blank.data(), size, error)) return -1;
        }
        f.sectors.erase(s);
    }
    return 0;
}

void mask_size(const Device& dev, size_t& width, size_t& height) {
    const MemoryArea& m = dev.memory;
    if (m.maskWidth > 0 && m.maskHeight > 0) {
        width = size_t(m.maskWidth);
        height = size_t(m.maskHeight);
    } else {
        width = size_t(std::max(0, detector_width(dev.chip)));
        height = size_t(std::max(0, detector_height(dev.chip)));
    }
}

std::vector<uint8_t>& mask_bytes(Device& dev) {
    size_t w, h;
    mask_size(dev, w, h);
    auto& mask = dev.memory.mask;
    if (mask.size() != w * h) mask.resize(w * h, 0);
    return mask;
}

void defaults(MemoryArea& a, int index) {
    a = MemoryArea{};
    // The FPGA image: 4 KiB parameter sectors, one 32 KiB sector, then 64 KiB sectors (16 MiB).
    a.flashes.push_back(make_flash("fpga", "ZN25F128B", {{4096, 8}, {32768, 1}, {65536, 255}}));
    // Calibration data: 4 KiB sectors, then 64 KiB sectors (1 MiB).
    a.flashes.push_back(make_flash("calibration", "ZN25F008A", {{4096, 16}, {65536, 15}}));
    // The image starts with its header.
    std::string header = "ZQ4 bitstream 2.4.1 unit " + std::to_string(index);
    std::vector<uint8_t> sector0(4096, kErased);
    std::memcpy(sector0.data(), header.data(), header.size());
    a.flashes[0].sectors[0] = std::move(sector0);
}

// ---- the model's members ----

template <class V>
void members(V& v, FlashRegion& r) {
    v("sectorSize", r.sectorSize);
    v("sectors", r.sectors);
}
static bool valid(const FlashRegion& r) { return r.sectorSize > 0 && r.sectorSize <= INT32_MAX && r.sectors >= 0; }

// A memory's contents come from the document's runs or else from its backing file, once its layout
// is known to fit the address space.
static void load_contents(Flash& f, const Json& doc, const std::string& p, Reader& r) {
    if (!r.ok()) return;
    int64_t sectors = 0;
    for (auto& region : f.regions) sectors += region.sectors;
    if (flash_size(f) > kAddressSpace) r.fail(p + "/regions", "the memory is larger than the 32-bit address space");
    if (sectors > INT32_MAX) r.fail(p + "/regions", "the memory has more than 2147483647 sectors");
    const Json::Array* contents = r.array(doc, p, "contents");
    if (contents && !f.file.empty()) r.fail(p, "a memory backed by a file takes its contents from the file");
    if (!r.ok()) return;
    if (contents) {
        load_runs(*contents, p + "/contents", r, [&](uint64_t address, const std::vector<uint8_t>& bytes) {
            if (address + bytes.size() > flash_size(f)) return "the bytes lie outside the memory (" + range_text(f) + ")";
            for_each_piece(f, uint32_t(address), bytes.size(), [&](int sector, size_t offset, uint32_t size, size_t pos, size_t count) {
                auto& s = f.sectors[sector];
                if (s.empty()) s.assign(size, kErased);
                std::memcpy(s.data() + offset, bytes.data() + pos, count);
            });
            return std::string();
        });
    } else if (!f.file.empty()) {
        if (std::string problem = read_file(f); !problem.empty()) r.fail(p + "/file", problem);
    }
}

static Json dump_contents(const Flash& f) {
    Json runs = Json(Json::Array{});
    for (auto& [sector, bytes] : f.sectors) {
        uint32_t start = 0, size = 0;
        if (sector_place(f, sector, start, size)) dump_runs(bytes.data(), bytes.size(), start, kErased, runs);
    }
    return runs;
}

// A memory backed by a file shows the file's name in place of its contents.
template <class V>
void members(V& v, Flash& f) {
    v("id", f.id);
    v("partNumber", f.partNumber);
    v("regions", f.regions);
    v.own("file", [&](const Json& doc, const std::string& p, Reader& r) { r.get(doc, p, "file", f.file); },
          [&] { return f.file.empty() ? Json() : Json(f.file); });
    v.own("contents", [&](const Json& doc, const std::string& p, Reader& r) { load_contents(f, doc, p, r); },
          [&] { return f.file.empty() ? dump_contents(f) : Json(); });
}

static_assert(kMaxMaskSide == 4096, "the pixel mask's rule names its largest side");

template <class V>
void members(V& v, MemoryArea& a) {
    v("flash", a.flashes);
    v.group("pixelMask", "expected width and height from 1 to 4096, or both 0 for the detector's size", [&](auto& g) {
        g("width", a.maskWidth);
        g("height", a.maskHeight);
        g.own("contents", [&](const Json& doc, const std::string& p, Reader& r) {
            const Json::Array* contents = r.array(doc, p, "contents");
            if (!contents) return;
            a.mask.clear();
            constexpr uint64_t kMaxMask = uint64_t(kMaxMaskSide) * kMaxMaskSide;
            load_runs(*contents, p + "/contents", r, [&](uint64_t address, const std::vector<uint8_t>& bytes) {
                if (address + bytes.size() > kMaxMask) return std::string("the bytes lie outside the largest mask");
                if (a.mask.size() < address + bytes.size()) a.mask.resize(size_t(address + bytes.size()), 0);
                std::memcpy(a.mask.data() + address, bytes.data(), bytes.size());
                return std::string();
            });
        }, [&] {
            Json runs = Json(Json::Array{});
            dump_runs(a.mask.data(), a.mask.size(), 0, 0, runs);
            return runs;
        });
    }, [&] {
        auto side = [](int n) { return n >= 0 && n <= kMaxMaskSide; };
        return side(a.maskWidth) && side(a.maskHeight) && (a.maskWidth == 0) == (a.maskHeight == 0);
    });
}

// Identifiers name the memories in the calls: each one unique.
static void check(Reader& r, const std::string& path, const MemoryArea& a) {
    for (size_t i = 0; i < a.flashes.size() && r.ok(); ++i)
        for (size_t j = 0; j < i && r.ok(); ++j)
            if (a.flashes[j].id == a.flashes[i].id)
                r.fail(path + "/flash/" + std::to_string(i) + "/id", "another memory has the same identifier");
}

void load(MemoryArea& a, const Json& doc, const std::string& path, Reader& r) { load_model(a, doc, path, r); }

Json dump(const MemoryArea& a) { return dump_model(a); }

void on_open_memory(Device&) {}
void on_close_memory(Device&) {}

}  // namespace sim

using namespace sim;

namespace {

Json length_arg(const size_t* length) { return length ? Json((unsigned long long)*length) : Json(); }

constexpr List kFlashes{[](Device& d) -> auto& { return d.memory.flashes; }, "flash memory"};

// A value of region `region` of flash `id`: value(region).
template <class Value>
int region_value(const char* fn, zorv_ctx_t* ctx, const char* id, int region, int* out, Value value) {
    Call call(fn, ctx, id, region);
    if (call.injected()) return call.status();
    auto f = call.item(kFlashes, ctx, id, out);
    if (!f) return call.status();
    if (region < 0 || size_t(region) >= f->regions.size())
        return call.fail(ZORV_INVALID_ARGUMENT, "region index %d of flash '%s' is out of range (%zu regions)", region, id,
                         f->regions.size());
    *out = value(f->regions[size_t(region)]);
    return call.done(0, out);
}

}  // namespace

extern "C" {

int zorv_flash_count(zorv_ctx_t* ctx, int* count) { return list_count(kFlashes, __func__, ctx, count); }
int zorv_flash_id(zorv_ctx_t* ctx, int idx, const char** id) { return list_id(kFlashes, __func__, ctx, idx, id); }

int zorv_flash_part_nr(zorv_ctx_t* ctx, const char* id, const char** part) {
    return item_value(kFlashes, __func__, ctx, id, part, [](const Flash& f) { return f.partNumber.c_str(); });
}

int zorv_flash_regions(zorv_ctx_t* ctx, const char* id, int* count) {
    return item_value(kFlashes, __func__, ctx, id, count, [](const Flash& f) { return int(f.regions.size()); });
}

int zorv_flash_sector_count(zorv_ctx_t* ctx, const char* id, int region, int* count) {
    return region_value(__func__, ctx, id, region, count, [](const FlashRegion& r) { return r.sectors; });
}

int zorv_flash_sector_size(zorv_ctx_t* ctx, const char* id, int region, int* size) {
    return region_value(__func__, ctx, id, region, size, [](const FlashRegion& r) { return int(r.sectorSize); });
}

int zorv_flash_sector_address_range(zorv_ctx_t* ctx, const char* id, int sector, uint32_t* start, uint32_t* end) {
    Call call(__func__, ctx, id, sector);
    if (call.injected()) return call.status();
    auto f = call.item(kFlashes, ctx, id, start && end);
    if (!f) return call.status();
    uint32_t first = 0, size = 0;
    if (!sector_place(*f, sector, first, size))
        return call.fail(ZORV_INVALID_ARGUMENT, "sector index %d of flash '%s' is out of range (%d sectors)", sector, id, sector_count(*f));
    *start = first;
    *end = uint32_t(uint64_t(first) + size - 1);
    return call.done(0, start, end);
}

// The one out-value of a read or program is the byte count written back.
int zorv_flash_read(zorv_ctx_t* ctx, const char* id, uint32_t address, void* data, size_t* length) {
    Call call(__func__, ctx, id, address, length_arg(length));
    if (call.injected()) return call.status();
    auto f = call.item(kFlashes, ctx, id, length && (data || *length == 0));
    if (!f) return call.status();
    std::string error;
    if (!flash_read(*f, address, static_cast<uint8_t*>(data), *length, error)) return call.fail_text(ZORV_INVALID_ARGUMENT, error);
    return call.done(0, length);
}

int zorv_flash_program(zorv_ctx_t* ctx, const char* id, uint32_t address, const void* data, size_t* length) {
    Call call(__func__, ctx, id, address, length_arg(length));
    if (call.injected()) return call.status();
    auto f = call.item(kFlashes, ctx, id, length && (data || *length == 0));
    if (!f) return call.status();
    call.note_bytes("data", data, *length);
    std::string error;
    if (int status = flash_program(*f, address, static_cast<const uint8_t*>(data), *length, error))
        return call.fail_text(status, error);
    return call.done(0, length);
}

int zorvsim_flash_erase(int device, const char* id, int sector) {
    auto lk = lock();
    auto& devs = world().devices;
    if (device < 0 || size_t(device) >= devs.size())
        return control_fail("device index " + std::to_string(device) + " is out of range (" + std::to_string(devs.size()) + " devices)");
    Flash* f = find_item(devs[size_t(device)]->memory.flashes, id ? id : "");
    if (!f) return control_fail(std::string("no flash memory with the identifier '") + (id ? id : "") + "'");
    std::string error;
    if (flash_erase(*f, sector, error)) return control_fail(error);
    return 0;
}

}  // extern "C"

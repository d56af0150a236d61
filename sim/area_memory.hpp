// Virtual device: the memory model of one device.
//
// Flash memories: each has an identifier, an ordering part number and a layout of regions, each
// region a run of sectors of one size. Sectors are numbered across the whole memory from 0 and lie
// back to back from address 0; a sector's address range is [start, end] with `end` its last byte.
//
// Contents follow the rule of NOR flash: an erased byte reads 0xFF, and programming can only clear
// bits (1 to 0). A program that would have to set a bit that is 0 is refused with -3 and writes
// nothing; the sector must be erased first (zorvsim_flash_erase). Contents are kept per sector and
// only for sectors that are not erased, so a memory of gigabytes costs nothing until it is written.
// A memory may be backed by a file named in the model: it is read when the model is loaded, and
// every program and erase is written through to it.
//
// The pixel mask of the whole detector: one byte per pixel, the height bytes of a column together.
// Its size follows the detector (ChipArea) unless a configuration document has set one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "area.hpp"
#include "json.hpp"

namespace sim {

struct FlashRegion {
    static constexpr const char* rule = "expected a sector size from 1 to 2147483647 and a non-negative sector count";
    uint32_t sectorSize = 0;
    int sectors = 0;
};

struct Flash {
    std::string id;
    std::string partNumber;
    std::vector<FlashRegion> regions;
    std::string file;  // backing file, or empty
    // Contents of the sectors that are not erased, by memory-wide sector index.
    std::map<int, std::vector<uint8_t>> sectors;
};

struct MemoryArea {
    std::vector<Flash> flashes;
    // Pixel mask size set by a configuration document (0 x 0: the detector's size).
    int maskWidth = 0;
    int maskHeight = 0;
    std::vector<uint8_t> mask;
};

// Layout queries of a memory.
int sector_count(const Flash& f);
uint64_t flash_size(const Flash& f);
// The region and the first address of a memory-wide sector index (false when out of range).
bool sector_place(const Flash& f, int sector, uint32_t& start, uint32_t& size);

// Reads `length` bytes at `address`; false with `error` set when the range is outside the memory.
bool flash_read(const Flash& f, uint32_t address, uint8_t* out, size_t length, std::string& error);
// Programs by the rule above; returns 0 or a negative status with `error` set.
int flash_program(Flash& f, uint32_t address, const uint8_t* data, size_t length, std::string& error);
// Erases one sector (or every sector for -1); returns 0 or a negative status with `error` set.
int flash_erase(Flash& f, int sector, std::string& error);

// The largest pixel mask side a configuration may set.
constexpr int kMaxMaskSide = 4096;
// The pixel mask size of the device, and its bytes sized to it (a mask made for another size is
// cut or padded with unmasked pixels).
void mask_size(const Device& dev, size_t& width, size_t& height);
std::vector<uint8_t>& mask_bytes(Device& dev);

SIM_AREA_FUNCTIONS(MemoryArea, memory);

}  // namespace sim

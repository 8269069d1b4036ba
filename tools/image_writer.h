// Writers of guest images: LE and PMW1 executables behind an MS-DOS stub, and
// the LZ77 encoder of the PMW1 stream format. Used by the tests, the benchmarks
// and the build of the sample guest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ImageFixup {
    uint8_t type;           // LE: 2, 6, 7, 8; PMW1: 2, 6, 7
    uint32_t source_offset; // offset of the fixed-up field within its object
    uint32_t target_object; // 1-based
    uint32_t target_offset; // offset within the target object (unused for type 2)
};

struct ImageObject {
    std::vector<uint8_t> data; // initialised bytes; the rest of virtual_size is zero
    uint32_t virtual_size = 0; // 0 means data.size()
    std::vector<ImageFixup> fixups;
    bool packed = true;        // PMW1 only: store the object packed
};

// Encodes bytes as one PMW1 stream, end marker included.
std::vector<uint8_t> pmw1_pack(const uint8_t *data, size_t size);

std::vector<uint8_t> write_le_image(const std::vector<ImageObject> &objects);
std::vector<uint8_t> write_pmw1_image(const std::vector<ImageObject> &objects);

// Writes bytes to a file; returns false on failure.
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

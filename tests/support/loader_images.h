// Loader tests: images written by the project's writers, loaded from a file
// the way load_guest_image hands them over (header offset from the stub),
// and given back after each test so that repeated loads do not leak.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "loader/loader.h"
#include "support/process.h"
#include "tools/image_writer.h"

// Reads H from offset 60 and calls load_le or load_pmw1 on the signature.
GuestObject *load_image_file(const std::string &path);

// Address of byte k of an object, and little-endian values there.
uint8_t *object_byte(const GuestObject &object, uint32_t k);
uint32_t object_u32(const GuestObject &object, uint32_t k);
uint16_t object_u16(const GuestObject &object, uint32_t k);
// Offset of an object's first byte from the start of object_block.
uint32_t block_offset(const GuestObject &object);

void patch_u8(std::vector<uint8_t> &bytes, size_t at, uint8_t v);
void patch_u16(std::vector<uint8_t> &bytes, size_t at, uint16_t v);
void patch_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t v);
uint32_t file_u32(const std::vector<uint8_t> &bytes, size_t at);

// A fixture whose load() writes the image into a temporary directory and
// loads it; death tests call it in the child, the directory stays the
// parent's.
struct ImageLoad : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("lumox.exe");
    struct Loaded {
        GuestObject *objects;
        uint8_t *block;
        size_t block_size;
    };
    std::vector<Loaded> loaded;

    GuestObject *load(const std::vector<uint8_t> &image);
    GuestObject *load_file(const std::string &file);
    void TearDown() override;
};

// Checks every object's place against what the writer was given: the
// initialised bytes, zeros up to the next multiple of 32, and each fixup's
// value computed from the loaded bases. Bytes of data beyond the virtual
// size are expected as zero: they are never loaded.
void expect_loaded(const std::vector<ImageObject> &objects, const GuestObject *loaded);

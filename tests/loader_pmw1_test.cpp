// The PMW1 loader on images from the PMW1 writer: placement, packed and
// stored objects, packed fixup blocks of 10-byte records, and damaged images
// that must end with a message and status 1.
#include <gtest/gtest.h>

#include "support/loader_images.h"
#include "tools/sample_bytes.h"

using ::testing::ExitedWithCode;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = static_cast<uint8_t>(1 + (i * 13 + seed + i / 251) % 255);
    }
    return b;
}

ImageObject object(Bytes data, uint32_t virtual_size = 0, std::vector<ImageFixup> fixups = {},
                   bool packed = true) {
    ImageObject o;
    o.data = std::move(data);
    o.virtual_size = virtual_size;
    o.fixups = std::move(fixups);
    o.packed = packed;
    return o;
}

struct Pmw1 : ImageLoad {
    Pmw1Layout layout;
    Bytes image(const std::vector<ImageObject> &objects, const Pmw1Options &options = {}) {
        return write_pmw1_image(objects, options, &layout);
    }
    GuestObject *load_and_check(const std::vector<ImageObject> &objects,
                                const Pmw1Options &options = {}) {
        GuestObject *loaded = load(image(objects, options));
        expect_loaded(objects, loaded);
        return loaded;
    }
    size_t entry(uint32_t k) const { return layout.object_table + 24 * k; }
    // The lengths in front of an object's first fixup block.
    size_t packed_length_at(uint32_t k) const { return layout.first_block_offsets[k]; }
    size_t unpacked_length_at(uint32_t k) const { return layout.first_block_offsets[k] + 2; }
};
using Pmw1DeathTest = Pmw1;

TEST_F(Pmw1, ObjectsLieAtMultiplesOf32InABlockOfExactlyTheirPlaces) {
    GuestObject *o = load_and_check({object(pattern(10, 1)), object(pattern(40, 2))});
    EXPECT_EQ(block_offset(o[0]), 0u);
    EXPECT_EQ(block_offset(o[1]), 32u);
    EXPECT_EQ(object_block_size, 96u);
}

TEST_F(Pmw1, PackedAndStoredObjects) {
    Bytes code = exe_like_bytes(10000, 3);
    code.resize(12000, 0); // trailing zeros are not packed
    const std::vector<ImageObject> objects = {
        object(code, 16000),
        object(pattern(300, 4), 0, {}, false),
        object(exe_like_bytes(5000, 5)),
        object(pattern(1, 6), 100, {}, false),
    };
    const Bytes file = image(objects);
    EXPECT_NE(file_u32(file, entry(0) + 4), 0u);
    EXPECT_EQ(file_u32(file, entry(1) + 4), 0u);
    // The data follow one another: a packed object takes its packed size,
    // a stored one its virtual size.
    EXPECT_EQ(layout.data_offsets[1] - layout.data_offsets[0], file_u32(file, entry(0) + 4));
    EXPECT_EQ(layout.data_offsets[2] - layout.data_offsets[1], 300u);
    EXPECT_EQ(file.size() - layout.data_offsets[3], 100u);
    load_and_check(objects);
}

TEST_F(Pmw1, AStreamShorterThanTheObjectLeavesTheRestZero) {
    GuestObject *o = load_and_check({object(pattern(100, 7), 1000)});
    EXPECT_EQ(*object_byte(o[0], 100), 0);
    EXPECT_EQ(*object_byte(o[0], 1023), 0);
}

TEST_F(Pmw1, EveryRecordType) {
    const std::vector<ImageObject> objects = {
        object(pattern(64, 8), 0, {{7, 0, 2, 0x10}, {2, 8, 2, 0x12345678}, {6, 12, 3, 0x20}}),
        object(pattern(64, 9), 200, {{7, 4, 1, 0x30}, {6, 190, 2, 0}, {7, 220, 3, 0x80000000}}),
        object(pattern(64, 10), 0, {{7, 60, 3, 0}}),
    };
    GuestObject *o = load_and_check(objects);
    EXPECT_EQ(object_u32(o[0], 0), o[1].host_base + 0x10);
    EXPECT_EQ(object_u16(o[0], 8), 0xFFFF);
    EXPECT_EQ(object_u16(o[0], 10), file_u32(pattern(64, 8), 10) & 0xFFFF);
    EXPECT_EQ(object_u32(o[0], 12), o[2].host_base + 0x20);
    EXPECT_EQ(object_u16(o[0], 16), 0xFFFF);
    EXPECT_EQ(object_u32(o[1], 220), o[2].host_base + 0x80000000u); // in the zero tail
}

TEST_F(Pmw1, FixupsInSeveralBlocks) {
    std::vector<ImageFixup> fixups;
    for (uint32_t i = 0; i < 10; i++) {
        fixups.push_back({7, 8 * i, 1 + i % 2, i});
    }
    const std::vector<ImageObject> objects = {object(pattern(100, 11), 0, fixups),
                                              object(pattern(100, 12), 0, fixups)};
    Pmw1Options options;
    options.records_per_block = 3;
    const Bytes file = image(objects, options);
    EXPECT_EQ(file_u32(file, entry(0) + 16), 4u);
    load_and_check(objects, options);
}

TEST_F(Pmw1, ProgramLikeImagesLoad) {
    for (uint32_t seed = 1; seed <= 3; seed++) {
        std::vector<ImageObject> objects = exe_like_objects(200000, seed, false);
        objects[1].packed = false;
        load_and_check(objects);
    }
}

TEST_F(Pmw1DeathTest, AnObjectWithoutFixupBlocksStillSeeksToThem) {
    const std::vector<ImageObject> objects = {object(pattern(64, 13))};
    Bytes file = image(objects);
    ASSERT_EQ(file_u32(file, entry(0) + 16), 0u);
    patch_u32(file, entry(0) + 12, 0x90000000);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^seek: ");
    patch_u32(file, entry(0) + 12, 0xFFFFFFF0); // the sum passes 32 bits
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^seek: Value too large");
}

TEST_F(Pmw1DeathTest, RecordTypesOtherThan2_6_7) {
    EXPECT_EXIT(load(image({object(pattern(64, 14), 0, {{8, 0, 1, 0}})})), ExitedWithCode(1),
                "^rel1 t1=8\n$");
    // A block that claims more records than its stream holds: the rest of
    // the record buffer is zero, type 0.
    Bytes file = image({object(pattern(64, 14), 0, {{7, 0, 1, 0}})});
    patch_u16(file, unpacked_length_at(0), 20);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^rel1 t1=0\n$");
}

TEST_F(Pmw1DeathTest, RecordBuffersOfWholeRecordsOnly) {
    Bytes file = image({object(pattern(64, 15), 0, {{7, 0, 1, 0}})});
    patch_u16(file, unpacked_length_at(0), 15);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^pmw1 records\n$");
}

// Refused as reads, each naming what was empty.
TEST_F(Pmw1DeathTest, EmptyReadsFail) {
    EXPECT_EXIT(load(image({object({}, 0, {}, false)})), ExitedWithCode(1),
                "^read: empty stored object\n$");
    Bytes file = image({object(pattern(64, 16), 0, {{7, 0, 1, 0}})});
    patch_u16(file, packed_length_at(0), 0);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^read: empty fixup block\n$");
}

TEST_F(Pmw1DeathTest, TargetObjectsMustExist) {
    auto with_target = [&](uint8_t type, uint32_t target) {
        return image({object(pattern(64, 17), 0, {{type, 0, target, 0}}), object(pattern(8, 18))});
    };
    EXPECT_EXIT(load(with_target(7, 0)), ExitedWithCode(1), "^pmw1 target 0\n$");
    EXPECT_EXIT(load(with_target(6, 3)), ExitedWithCode(1), "^pmw1 target 3\n$");
    EXPECT_EXIT(load(with_target(7, 255)), ExitedWithCode(1), "^pmw1 target 255\n$");
    GuestObject *o = load(with_target(2, 0)); // a selector does not use its target
    EXPECT_EQ(object_u16(o[0], 0), 0xFFFF);
}

TEST_F(Pmw1DeathTest, FieldsMustLieInTheirObjectsPlace) {
    // 40 bytes: the place is 64 bytes, the zero tail included.
    auto with_field = [&](uint8_t type, uint32_t at) {
        return image({object(pattern(40, 19), 0, {{type, at, 2, 0}}), object(pattern(64, 20))});
    };
    GuestObject *o = load(with_field(7, 60));
    EXPECT_EQ(object_u32(o[0], 60), o[1].host_base);
    o = load(with_field(6, 58));
    EXPECT_EQ(object_u16(o[0], 62), 0xFFFF);
    EXPECT_EXIT(load(with_field(7, 61)), ExitedWithCode(1), "^pmw1 source\n$");
    EXPECT_EXIT(load(with_field(6, 59)), ExitedWithCode(1), "^pmw1 source\n$");
    EXPECT_EXIT(load(with_field(2, 63)), ExitedWithCode(1), "^pmw1 source\n$");
    EXPECT_EXIT(load(with_field(7, 0xFFFFFFFE)), ExitedWithCode(1), "^pmw1 source\n$");
}

TEST_F(Pmw1DeathTest, RunawayStreams) {
    const std::vector<ImageObject> objects = {object(exe_like_bytes(3000, 21), 0, {{7, 0, 1, 0}})};
    // The object's stream cut short: no end marker within its bytes.
    Bytes file = image(objects);
    patch_u32(file, entry(0) + 4, file_u32(file, entry(0) + 4) - 3);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^unpack input\n$");
    // More output than the object's place.
    EXPECT_EXIT(load(image({object(pattern(100, 22), 40)})), ExitedWithCode(1),
                "^unpack output\n$");
    // More records than the block's unpacked length.
    file = image({object(pattern(64, 23), 0, {{7, 0, 1, 0}, {7, 8, 1, 0}})});
    patch_u16(file, unpacked_length_at(0), 10);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^unpack output\n$");
}

TEST_F(Pmw1DeathTest, TruncatedAndOutOfRangeTables) {
    const Bytes good = image({object(exe_like_bytes(3000, 24), 0, {{7, 0, 1, 0}})});
    EXPECT_EXIT(load(Bytes(good.begin(), good.end() - 1)), ExitedWithCode(1), "^read: ");
    EXPECT_EXIT(load(Bytes(good.begin(), good.begin() + layout.header + 20)), ExitedWithCode(1),
                "^read: ");
    EXPECT_EXIT(load(Bytes(good.begin(), good.begin() + layout.first_block_offsets[0] + 1)),
                ExitedWithCode(1), "^read: ");
    Bytes file = good;
    // The block's first length field is the file's last byte.
    patch_u32(file, entry(0) + 12, static_cast<uint32_t>(file.size() - 1 - layout.fixup_area));
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^getus: ");
    file = good;
    patch_u32(file, layout.header + 28, 0x0AAAAAAB); // a table larger than memory
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^malloc: Cannot allocate memory\n$");
    file = good;
    patch_u32(file, layout.header + 24, 0xFFFFFFF0); // beyond any 32-bit position
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^seek: Value too large");
    file = good;
    patch_u32(file, layout.header + 36, 0x7FFFFF00); // data beyond the end of the file
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^(read|seek): ");
}

// Objects sharing fixup blocks would expand the same blocks again and again.
TEST_F(Pmw1DeathTest, EachObjectsFixupBlocksFollowThePreviousObjects) {
    const std::vector<ImageObject> objects = {object(pattern(64, 25), 0, {{7, 0, 2, 0}}),
                                              object(pattern(64, 26)),
                                              object(pattern(64, 27), 0, {{7, 4, 1, 0}})};
    const Bytes good = image(objects);
    expect_loaded(objects, load(good));
    Bytes file = good;
    patch_u32(file, entry(2) + 12, file_u32(file, entry(0) + 12)); // object 1's blocks again
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^pmw1 fixups\n$");
}

// Sizes taken from the file are compared with it before they are allocated
// or the block is mapped: none of these files allocates what it claims.
TEST_F(Pmw1DeathTest, SizesFromTheFileAreCheckedBeforeAllocation) {
    const Bytes good = image({object(pattern(64, 28)), object(pattern(64, 29), 0, {}, false)});
    auto patched = [&](size_t at, uint32_t v) {
        Bytes b = good;
        patch_u32(b, at, v);
        return b;
    };
    const char *end = "^read: end of file\n$";
    EXPECT_EXIT(load(patched(layout.header + 28, 0x0AAAAAAA)), ExitedWithCode(1), end);
    EXPECT_EXIT(load(patched(entry(0) + 4, 0xFFFFFF00)), ExitedWithCode(1), end); // packed size
    EXPECT_EXIT(load(patched(entry(1), 0xC0000000)), ExitedWithCode(1), end);     // stored size
}

} // namespace

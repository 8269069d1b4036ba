// The LE loader on images from the LE writer: placement, the page read with
// its last-page rule, every fixup kind and field width, the record checks in
// their order, and damaged images that must end with a message and status 1.
#include <gtest/gtest.h>

#include "support/loader_images.h"
#include "tools/sample_bytes.h"

using ::testing::ExitedWithCode;
using Bytes = std::vector<uint8_t>;

namespace {

// Distinct non-zero bytes, so that a byte loaded from the wrong place shows.
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = static_cast<uint8_t>(1 + (i * 13 + seed + i / 251) % 255);
    }
    return b;
}

ImageObject object(Bytes data, uint32_t virtual_size = 0, std::vector<ImageFixup> fixups = {}) {
    ImageObject o;
    o.data = std::move(data);
    o.virtual_size = virtual_size;
    o.fixups = std::move(fixups);
    return o;
}

struct Le : ImageLoad {
    LeLayout layout;
    Bytes image(const std::vector<ImageObject> &objects, const LeOptions &options = {}) {
        return write_le_image(objects, options, &layout);
    }
    // Loads and compares with what the writer was given.
    GuestObject *load_and_check(const std::vector<ImageObject> &objects,
                                const LeOptions &options = {}) {
        GuestObject *loaded = load(image(objects, options));
        expect_loaded(objects, loaded);
        return loaded;
    }
    size_t entry(uint32_t k) const { return layout.object_table + 24 * k; }
};
using LeDeathTest = Le;

TEST_F(Le, ObjectsLieAtMultiplesOf32InOneBlock) {
    GuestObject *o = load_and_check({object(pattern(10, 1)), object(pattern(40, 2))});
    EXPECT_EQ(block_offset(o[0]), 0u);
    EXPECT_EQ(block_offset(o[1]), 32u);
    EXPECT_EQ(object_block_size, 127u); // 72 rounded to 96, plus 31
}

TEST_F(Le, EveryFixupKindIsWritten) {
    const std::vector<ImageObject> objects = {
        object(pattern(9000, 3), 12000,
               {{7, 0x10, 2, 0x20},
                {6, 0x100, 3, 0x4},
                {8, 0x200, 1, 0x300},
                {2, 0x300, 2, 0},
                {7, 10000, 1, 5},     // in the zero tail, on a page of its own
                {8, 0x400, 3, 69000}, // a later object, a 32-bit target offset
                {7, 0x500, 1, 0}}),   // the object itself
        object(pattern(100, 4), 0, {{7, 96, 1, 0x12345}}),
        object(pattern(16, 5), 70000),
    };
    GuestObject *o = load_and_check(objects);
    EXPECT_EQ(object_u32(o[0], 0x10), o[1].host_base + 0x20);
    EXPECT_EQ(object_u32(o[0], 0x100), o[2].host_base + 4);
    EXPECT_EQ(object_u16(o[0], 0x104), 0xFFFF);
    EXPECT_EQ(object_u32(o[0], 0x200), o[0].host_base + 0x300 - (o[0].host_base + 0x200 + 4));
    EXPECT_EQ(object_u16(o[0], 0x300), 0xFFFF);
    EXPECT_EQ(*object_byte(o[0], 0x302), pattern(9000, 3)[0x302]);
    EXPECT_EQ(object_u32(o[0], 10000), o[0].host_base + 5);
    EXPECT_EQ(object_u32(o[1], 96), o[0].host_base + 0x12345);
}

TEST_F(Le, FieldWidthsFollowTheFlags) {
    const std::vector<ImageObject> objects = {
        object(pattern(64, 6), 0, {{7, 0, 2, 0x10}, {2, 8, 2, 0}, {6, 16, 2, 0x20}, {8, 32, 1, 4}}),
        object(pattern(64, 7)),
    };
    // 8-bit object numbers and 16-bit offsets: flags 0x00.
    load_and_check(objects);
    Bytes file = image(objects);
    EXPECT_EQ(file[layout.record_offsets[0] + 1], 0x00);
    // 16-bit object numbers and 32-bit offsets: flags 0x50. The type-2
    // record in between has no offset field in either form; the records
    // after it are read from the right place only if it is skipped right.
    LeOptions wide;
    wide.wide_object_numbers = true;
    wide.wide_offsets = true;
    load_and_check(objects, wide);
    file = image(objects, wide);
    EXPECT_EQ(file[layout.record_offsets[0] + 1], 0x50);
    EXPECT_EQ(file[layout.record_offsets[0] + 10], 2);     // type-2 record after 4+2+4 bytes
    EXPECT_EQ(file[layout.record_offsets[0] + 10 + 6], 6); // next after 4+2 bytes
}

TEST_F(Le, ObjectNumbersAbove255TakeSixteenBits) {
    std::vector<ImageObject> objects;
    for (int k = 0; k < 300; k++) {
        objects.push_back(object(pattern(8, static_cast<uint8_t>(k))));
    }
    objects[0].fixups = {{7, 0, 300, 4}, {6, 4, 256, 1}};
    GuestObject *o = load_and_check(objects);
    EXPECT_EQ(object_u32(o[0], 0), o[299].host_base + 4);
    EXPECT_EQ(file_u32(read_bytes(path), layout.record_offsets[0]) & 0xFF00, 0x4000u);
}

TEST_F(Le, TheObjectHoldingTheLastPageReadsOnlyItsBytes) {
    // Three pages, the last holding 100 bytes: 8292 bytes, and the file ends
    // there, so a longer read would fail.
    const std::vector<ImageObject> objects = {object(pattern(4096, 8)), object(pattern(8292, 9))};
    const Bytes file = image(objects);
    EXPECT_EQ(file_u32(file, layout.header + 0x2C), 100u);
    EXPECT_EQ(file.size(), layout.data_pages + 4096 + 8292);
    load_and_check(objects);
    // With a smaller virtual size, only that much is read.
    const std::vector<ImageObject> smaller = {object(pattern(4096, 8)),
                                              object(pattern(8292, 9), 8000)};
    load_and_check(smaller);
}

TEST_F(Le, BytesBeyondTheVirtualSizeAreNotRead) {
    // Two full pages in the file, 5000 bytes in memory; the next object
    // begins at 5024 with its own bytes.
    const std::vector<ImageObject> objects = {object(pattern(8192, 10), 5000),
                                              object(pattern(300, 11))};
    GuestObject *o = load_and_check(objects);
    EXPECT_EQ(block_offset(o[1]), 5024u);
    EXPECT_EQ(*object_byte(o[0], 5000), 0);
}

TEST_F(Le, FixupsOfAnObjectComeBeforeTheNextObjectIsRead) {
    // Object 1's field lies past its end, in object 2's place: object 2's
    // pages, read afterwards, overwrite it.
    const std::vector<ImageObject> objects = {object(pattern(40, 12), 0, {{7, 64, 1, 0}}),
                                              object(pattern(64, 13))};
    GuestObject *o = load(image(objects));
    EXPECT_EQ(object_u32(o[1], 0), file_u32(pattern(64, 13), 0));
}

TEST_F(Le, APageNumberOfZeroMeansNoFixups) {
    const std::vector<ImageObject> objects = {
        object(pattern(8192, 14), 0, {{7, 16, 1, 0}, {7, 4096 + 16, 1, 0}})};
    Bytes file = image(objects);
    patch_u16(file, layout.object_page_table + 4 * 1 + 1, 0); // page 2's entry
    GuestObject *o = load(file);
    EXPECT_EQ(object_u32(o[0], 16), o[0].host_base);
    EXPECT_EQ(object_u32(o[0], 4096 + 16), file_u32(pattern(8192, 14), 4096 + 16));
}

// Pages may name fixup pages in any order: page 1 takes page 2's records
// and page 2 page 1's, whose ranges then come in the reverse of their order.
TEST_F(Le, PagesNameFixupPagesOutOfOrder) {
    const std::vector<ImageObject> objects = {
        object(pattern(8192, 43), 0, {{7, 16, 1, 0}, {7, 4096 + 32, 1, 4}})};
    Bytes file = image(objects);
    patch_u16(file, layout.object_page_table + 1, 0x0200);
    patch_u16(file, layout.object_page_table + 4 + 1, 0x0100);
    GuestObject *o = load(file);
    EXPECT_EQ(object_u32(o[0], 32), o[0].host_base + 4);
    EXPECT_EQ(object_u32(o[0], 4096 + 16), o[0].host_base);
}

TEST_F(Le, FieldsCrossingAPageBoundaryLoadFromEitherPage) {
    // A field of each width across each boundary; written from the first
    // page, from the next page with a negative offset, or from both.
    const std::vector<ImageObject> objects = {
        object(pattern(20480, 15), 0,
               {{7, 4094, 2, 8}, {6, 8190, 2, 16}, {8, 12287, 1, 4}, {2, 16383, 2, 0}}),
        object(pattern(64, 16))};
    for (CrossingFixups crossing : {CrossingFixups::both_pages, CrossingFixups::first_page_only,
                                    CrossingFixups::next_page_only}) {
        LeOptions options;
        options.crossing = crossing;
        load_and_check(objects, options);
    }
    LeOptions next_only;
    next_only.crossing = CrossingFixups::next_page_only;
    const Bytes file = image(objects, next_only);
    EXPECT_EQ(static_cast<int16_t>(file[layout.record_offsets[1] + 2] |
                                   file[layout.record_offsets[1] + 3] << 8),
              -2);
}

TEST_F(Le, ANegativeOffsetMayReachIntoTheObjectBefore) {
    const std::vector<ImageObject> objects = {object(pattern(40, 17)),
                                              object(pattern(64, 18), 0, {{7, 0, 1, 0}})};
    Bytes file = image(objects);
    patch_u16(file, layout.record_offsets[1] + 2, static_cast<uint16_t>(-8));
    GuestObject *o = load(file);
    EXPECT_EQ(object_u32(o[0], 56), o[0].host_base); // object 1's zero tail
    EXPECT_EQ(object_u32(o[1], 0), file_u32(pattern(64, 18), 0));
}

TEST_F(Le, AdditiveBitsAreNotExamined) {
    const std::vector<ImageObject> objects = {
        object(pattern(64, 19), 0, {{7, 0, 1, 8, 0x04}, {7, 8, 1, 8, 0x20}, {7, 16, 1, 8, 0x80}})};
    load_and_check(objects);
}

TEST_F(Le, FixupTablesFoundInTheLoaderSectionOrBeyondIt) {
    const std::vector<ImageObject> objects = {object(pattern(5000, 20), 0, {{7, 4, 1, 0}}),
                                              object(pattern(64, 21), 0, {{6, 8, 1, 2}})};
    LeOptions inside;
    inside.fixups_in_loader_section = true;
    load_and_check(objects, inside);
    load_and_check(objects); // beyond: read on through the fixup section
    // A fixup section size reaching past the end of the file: read to the end.
    Bytes file = image(objects);
    patch_u32(file, layout.header + 0x30, 0xFFFFFF00);
    expect_loaded(objects, load(file));
}

TEST_F(Le, ProgramLikeImagesLoad) {
    for (uint32_t seed = 1; seed <= 3; seed++) {
        load_and_check(exe_like_objects(200000, seed, true));
    }
}

TEST_F(LeDeathTest, RecordChecksInTheirOrder) {
    auto with_flags = [&](uint8_t extra) {
        return image({object(pattern(64, 22), 0, {{7, 0, 1, 0, extra}})});
    };
    EXPECT_EXIT(load(with_flags(0x0B)), ExitedWithCode(1), "^rel2 t2=11\n$");
    EXPECT_EXIT(load(with_flags(0x08)), ExitedWithCode(1), "^rel2 t2=8\n$");
    EXPECT_EXIT(load(with_flags(0x03)), ExitedWithCode(1), "^rel3 t2=3\n$");
    EXPECT_EXIT(load(with_flags(0x43)), ExitedWithCode(1), "^rel3 t2=67\n$");
    EXPECT_EXIT(load(with_flags(0x01)), ExitedWithCode(1), "^rel4 t2=1\n$");
    EXPECT_EXIT(load(with_flags(0x02)), ExitedWithCode(1), "^rel4 t2=2\n$");
    EXPECT_EXIT(load(image({object(pattern(64, 23), 0, {{0x27, 0, 1, 0, 0x0B}})})),
                ExitedWithCode(1), "^rel1 t1=39\n$");
    EXPECT_EXIT(load(image({object(pattern(64, 23), 0, {{9, 0, 1, 0}})})), ExitedWithCode(1),
                "^rel1 t1=9\n$");
}

TEST_F(LeDeathTest, EmptyReadsFail) {
    const std::vector<ImageObject> objects = {object(pattern(64, 24))};
    Bytes file = image(objects);
    patch_u32(file, entry(0) + 16, 0); // no pages: known before any read
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le pages\n$");
    file = image(objects);
    patch_u32(file, entry(0), 0); // virtual size 0: nothing failed but the request
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^read: empty page run\n$");
}

TEST_F(LeDeathTest, TruncatedFilesFail) {
    const Bytes file = image({object(pattern(5000, 25), 0, {{7, 4, 1, 0}})});
    EXPECT_EXIT(load(Bytes(file.begin(), file.end() - 1)), ExitedWithCode(1), "^read: ");
    EXPECT_EXIT(load(Bytes(file.begin(), file.begin() + layout.header + 100)), ExitedWithCode(1),
                "^read: ");
    EXPECT_EXIT(load(Bytes(file.begin(), file.begin() + layout.object_page_table)),
                ExitedWithCode(1), "^read: ");
}

TEST_F(LeDeathTest, TablesOutsideTheBytesRead) {
    const std::vector<ImageObject> objects = {object(pattern(5000, 26), 0, {{7, 4, 1, 0}}),
                                              object(pattern(64, 27))};
    const Bytes good = image(objects);
    const uint32_t h = layout.header;
    auto patched = [&](size_t at, uint32_t v) {
        Bytes b = good;
        patch_u32(b, at, v);
        return b;
    };
    EXPECT_EXIT(load(patched(h + 0x38, 0xFFFFFFF0)), ExitedWithCode(1), "^le header\n$");
    EXPECT_EXIT(load(patched(h + 0x44, 0x10000000)), ExitedWithCode(1), "^le objects\n$");
    EXPECT_EXIT(load(patched(h + 0x40, 0x7FFFFFFF)), ExitedWithCode(1), "^le objects\n$");
    EXPECT_EXIT(load(patched(h + 0x48, 0x00FFFFFF)), ExitedWithCode(1), "^le page table\n$");
    // Without the fixup section's size, the fixup tables lie beyond the
    // loader section's bytes.
    EXPECT_EXIT(load(patched(h + 0x30, 0)), ExitedWithCode(1), "^le fixup table\n$");
    EXPECT_EXIT(load(patched(h + 0x68, 0xFFFFFFF0)), ExitedWithCode(1), "^le fixup table\n$");
    EXPECT_EXIT(load(patched(h + 0x6C, 0xFFFFFFF0)), ExitedWithCode(1), "^le fixup range\n$");
}

TEST_F(LeDeathTest, PagesThatCannotBeRead) {
    const Bytes good = image({object(pattern(64, 28))});
    Bytes file = good;
    patch_u32(file, entry(0) + 12, 0); // page index 0
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le pages\n$");
    file = good;
    patch_u32(file, entry(0) + 16, 0x00200000); // more pages than 32 bits address
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le pages\n$");
    file = good;
    patch_u32(file, entry(0) + 12, 0x00100001); // 4 GiB into the page data
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le page run\n$");
    file = good;
    // The page's entry straddles the end of the fixup section, where the
    // bytes read end (this object has no fixup records).
    patch_u32(file, layout.header + 0x48, layout.fixup_records - layout.header - 2);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le page table\n$");
}

TEST_F(LeDeathTest, FixupRangesOutsideTheRecords) {
    const Bytes good = image({object(pattern(64, 29), 0, {{7, 4, 1, 0}, {7, 12, 1, 0}})});
    Bytes file = good;
    patch_u16(file, layout.object_page_table + 1, 0xFFFF); // page number far beyond the table
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le fixup table\n$");
    file = good;
    patch_u32(file, layout.fixup_page_table + 4, 0x00FFFFFF); // range ends beyond the buffer
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le fixup range\n$");
    file = good;
    patch_u32(file, layout.fixup_page_table, 9); // starts after it ends
    patch_u32(file, layout.fixup_page_table + 4, 2);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le fixup range\n$");
    file = good;
    // The last record claims a 32-bit offset: it would end past the bytes held.
    patch_u8(file, layout.record_offsets[0] + 7 + 1, 0x10);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le record\n$");
}

TEST_F(LeDeathTest, TargetObjectsMustExist) {
    auto with_target = [&](uint8_t type, uint32_t target) {
        return image({object(pattern(64, 30), 0, {{type, 0, target, 0}}), object(pattern(8, 31))});
    };
    EXPECT_EXIT(load(with_target(7, 0)), ExitedWithCode(1), "^le target 0\n$");
    EXPECT_EXIT(load(with_target(6, 3)), ExitedWithCode(1), "^le target 3\n$");
    EXPECT_EXIT(load(with_target(8, 300)), ExitedWithCode(1), "^le target 300\n$");
    // A selector fixup does not use its target: nothing to check.
    GuestObject *o = load(with_target(2, 0));
    EXPECT_EQ(object_u16(o[0], 0), 0xFFFF);
}

TEST_F(LeDeathTest, FieldsMustLieInTheBlock) {
    // One object of 100 bytes: the block is 128 + 31 bytes.
    auto with_field = [&](uint8_t type, uint32_t at) {
        return image({object(pattern(100, 32), 0, {{type, at, 1, 0}})});
    };
    GuestObject *o = load(with_field(6, 153)); // ends exactly at the block's end
    EXPECT_EQ(object_u16(o[0], 157), 0xFFFF);
    EXPECT_EXIT(load(with_field(6, 154)), ExitedWithCode(1), "^le source\n$");
    EXPECT_EXIT(load(with_field(7, 4000)), ExitedWithCode(1), "^le source\n$");
    Bytes file = with_field(7, 0);
    patch_u16(file, layout.record_offsets[0] + 2, static_cast<uint16_t>(-4)); // before the block
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le source\n$");
}

// The block is a mapping of its own, so making it executable makes nothing
// else executable.
TEST_F(Le, TheBlockHasExecutablePagesOfItsOwn) {
    load_and_check({object(pattern(5000, 33)), object(pattern(100, 34))});
    const uintptr_t block = reinterpret_cast<uintptr_t>(object_block);
    FILE *maps = fopen("/proc/self/maps", "r");
    ASSERT_NE(maps, nullptr);
    bool found = false;
    unsigned long start, end;
    char perms[8];
    while (fscanf(maps, "%lx-%lx %7s%*[^\n]", &start, &end, perms) == 3) {
        if (start <= block && block < end) {
            found = true;
            EXPECT_EQ(start, block);
            EXPECT_GE(end, block + object_block_size);
            EXPECT_STREQ(perms, "rwxp");
        }
    }
    fclose(maps);
    EXPECT_TRUE(found);
}

TEST_F(LeDeathTest, PlacementBeyond32BitsOrMemoryIsAMappingFailure) {
    // Two objects of 2 GiB: the running offset reaches 4 GiB and must not wrap.
    Bytes file = image({object(pattern(64, 35)), object(pattern(64, 36))});
    patch_u32(file, entry(0), 0x80000000);
    patch_u32(file, entry(1), 0x80000000);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^mmap: Cannot allocate memory\n$");
    file = image({object(pattern(64, 37))});
    patch_u32(file, entry(0), 0xFFFFFF00); // fits 32 bits, not the address space
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^mmap: Cannot allocate memory\n$");
}

// Shared page runs and shared fixup pages would apply the same records many
// times over (loading time growing with the cube of the file size).
TEST_F(LeDeathTest, PageRunsAndFixupPagesAreUsedOnce) {
    const std::vector<ImageObject> objects = {object(pattern(4096, 38), 0, {{7, 4, 2, 0}}),
                                              object(pattern(4096, 39), 0, {{7, 8, 1, 0}})};
    const Bytes good = image(objects);
    expect_loaded(objects, load(good));
    Bytes file = good;
    patch_u32(file, entry(1) + 12, file_u32(file, entry(0) + 12)); // the same run
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le page overlap\n$");
    file = good;
    patch_u32(file, entry(0) + 16, 2); // object 1 runs into object 2's page
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le page overlap\n$");
    file = good;
    patch_u32(file, layout.header + 0x14, 1); // object 2's page is not the module's
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le page run\n$");
    file = good;
    patch_u8(file, layout.object_page_table + 4 + 1, 0); // page 2 names fixup page 1
    patch_u8(file, layout.object_page_table + 4 + 2, 1);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le fixup page\n$");
}

// Sizes taken from the file are compared with it before they are allocated.
TEST_F(LeDeathTest, SizesFromTheFileAreCheckedBeforeAllocation) {
    Bytes file = image({object(pattern(64, 40))});
    patch_u32(file, layout.header + 0x38, 0xFFFFF000); // a loader section beyond memory
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^read: end of file\n$");
    file = image({object(pattern(5000, 41))});
    file.resize(file.size() - 1);          // the page run ends past the file...
    patch_u32(file, entry(0), 0xFFFFFF00); // ...of an object that could not be mapped
    EXPECT_EXIT(
        {
            errno = ENOMEM; // stale, from an earlier call
            load(file);
        },
        ExitedWithCode(1), "^read: end of file\n$");
}

} // namespace

namespace {

// More bytes on the last page than a page holds would lengthen the last
// object's run past the module's end.
TEST_F(LeDeathTest, LastPageOfMoreThanAPageIsRefused) {
    Bytes file = image({object(pattern(8192, 42))});
    EXPECT_EQ(file_u32(file, layout.header + 0x2C), 4096u);
    patch_u32(file, layout.header + 0x2C, 4097);
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le last page 4097\n$");
}

// A large image, one object of 2048 pages with four fields each: every field
// is fixed. Then the first half of its pages name the odd fixup pages, whose
// ranges all span every record: no two of them are neighbours, yet walking
// them would apply all records once per page (quadratic). That is refused.
TEST_F(LeDeathTest, FixupRangesOfPagesThatAreNotNeighboursMustNotOverlap) {
    constexpr uint32_t pages = 2048;
    std::vector<ImageFixup> fixups;
    for (uint32_t i = 0; i < pages; i++) {
        for (uint32_t f = 0; f < 4; f++) {
            fixups.push_back({7, i * 4096 + 16 + 8 * f, 1, i * 4 + f});
        }
    }
    const std::vector<ImageObject> objects = {object(Bytes(pages * 4096, 0x5A), 0, fixups)};
    const Bytes good = image(objects);
    GuestObject *o = load(good);
    uint32_t fixed = 0;
    for (const ImageFixup &f : fixups) {
        fixed += object_u32(o[0], f.source_offset) == o[0].host_base + f.target_offset;
    }
    EXPECT_EQ(fixed, pages * 4);

    Bytes file = good;
    const uint32_t records = file_u32(file, layout.fixup_page_table + 4 * pages);
    for (uint32_t i = 0; i < pages / 2; i++) {
        patch_u8(file, layout.object_page_table + 4 * i + 1,
                 static_cast<uint8_t>((2 * i + 1) >> 8));
        patch_u8(file, layout.object_page_table + 4 * i + 2, static_cast<uint8_t>(2 * i + 1));
        patch_u32(file, layout.fixup_page_table + 4 * (2 * i), 0);
        patch_u32(file, layout.fixup_page_table + 4 * (2 * i + 1), records);
    }
    for (uint32_t i = pages / 2; i < pages; i++) {
        patch_u16(file, layout.object_page_table + 4 * i + 1, 0); // no fixups
    }
    EXPECT_EXIT(load(file), ExitedWithCode(1), "^le fixup overlap\n$");
}

} // namespace

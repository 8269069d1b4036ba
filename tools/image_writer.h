// Writers of guest images: LE and PMW1 executables behind an MS-DOS stub, and
// the LZ77 encoder of the PMW1 stream format. Used by the tests, the benchmarks
// and the build of the sample guest.
//
// The writers write what they are asked, including records and sizes that a
// loader refuses (tests rely on that); they throw std::invalid_argument only
// for what the format cannot express at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ImageFixup {
    uint8_t type;            // LE: 2, 6, 7, 8; PMW1: 2, 6, 7
    uint32_t source_offset;  // offset of the fixed-up field within its object
    uint32_t target_object;  // 1-based
    uint32_t target_offset;  // offset within the target object (unused for type 2)
    uint8_t extra_flags = 0; // LE only: OR-ed into the record's target flags byte
};

struct ImageObject {
    std::vector<uint8_t> data; // initialised bytes; the rest of virtual_size is zero
    uint32_t virtual_size = 0; // 0 means data.size()
    std::vector<ImageFixup> fixups;
    bool packed = true; // PMW1 only: store the object packed
};

// ---- PMW1 stream format ---------------------------------------------------

// The ways a match can be written. Short matches copy 2 bytes, long ones 3
// to 270; each form reaches a different range of distances.
enum class Pmw1Form {
    short_low,  // distance 1 to 255, no high part
    short_high, // distance 1 to 2048, 3-bit high part
    long_near,  // distance 1 to 256
    long_mid,   // distance 1 to 1024, 2-bit high part
    long_far,   // distance 1 to 4096, 4-bit high part
    count
};

// What a stream is made of, for checking that the encoder uses every kind.
struct Pmw1Stats {
    size_t literals = 0;
    size_t matches[static_cast<int>(Pmw1Form::count)] = {};
    size_t long_lengths[271] = {}; // long matches by length (3 to 270)
    size_t end_markers = 0;
};

// A stream being written token by token. Control bits go into 32-bit words
// that are placed where the decoder will need them.
struct Pmw1Stream {
    std::vector<uint8_t> bytes;
    size_t word_at = 0;   // position of the control word being filled
    int bits_free = 0;    // bits of it not yet used
    bool started = false; // the first token's bit (a 0) is implicit
    Pmw1Stats stats;
};

void pmw1_put_literal(Pmw1Stream &s, uint8_t byte);
// Throws when the distance or length is outside the form's range, or when a
// match would be the first token (every stream begins with a literal).
void pmw1_put_match(Pmw1Stream &s, Pmw1Form form, uint32_t distance, uint32_t length);
void pmw1_put_end(Pmw1Stream &s);

// Encodes bytes as one PMW1 stream, end marker included, choosing matches
// through hash chains. No stream expands to nothing (the first token is a
// literal), so an empty input gives an empty result.
std::vector<uint8_t> pmw1_pack(const uint8_t *data, size_t size, Pmw1Stats *stats = nullptr);

// ---- Images -----------------------------------------------------------------

// Which pages get a record for a field that crosses a page boundary.
enum class CrossingFixups {
    both_pages, // as linkers write them: the field's start, then -k on the next page
    first_page_only,
    next_page_only, // only the negative offset reaching back from the next page
};

struct LeOptions {
    bool wide_object_numbers = false; // 16-bit object numbers (flag 0x40) even when 8 bits do
    bool wide_offsets = false;        // 32-bit target offsets (flag 0x10) even below 64 KiB
    CrossingFixups crossing = CrossingFixups::both_pages;
    // Count the fixup tables in the loader section size too. By default the
    // loader section ends before the fixup section, as the format lays out.
    bool fixups_in_loader_section = false;
    uint32_t entry_object = 1, entry_offset = 0;
    uint32_t stack_object = 0, stack_offset = 0;
};

// File offsets of the parts of a written LE image, for tests that damage one.
struct LeLayout {
    uint32_t header = 0; // H
    uint32_t object_table = 0;
    uint32_t object_page_table = 0;
    uint32_t fixup_page_table = 0;
    uint32_t fixup_records = 0;
    uint32_t data_pages = 0;
    uint32_t module_pages = 0;
    std::vector<uint32_t> record_offsets; // file offset of each page's first record
};

struct Pmw1Options {
    uint32_t records_per_block = 4000; // keeps each packed block below 64 KiB
    uint32_t entry_object = 1, entry_offset = 0;
    uint32_t stack_object = 0, stack_offset = 0;
};

struct Pmw1Layout {
    uint32_t header = 0; // H
    uint32_t object_table = 0;
    uint32_t fixup_area = 0;
    uint32_t object_data = 0;
    std::vector<uint32_t> data_offsets;        // file offset of each object's data
    std::vector<uint32_t> first_block_offsets; // file offset of each object's first block
};

std::vector<uint8_t> write_le_image(const std::vector<ImageObject> &objects,
                                    const LeOptions &options = {}, LeLayout *layout = nullptr);
std::vector<uint8_t> write_pmw1_image(const std::vector<ImageObject> &objects,
                                      const Pmw1Options &options = {},
                                      Pmw1Layout *layout = nullptr);

// Writes bytes to a file; returns false on failure.
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

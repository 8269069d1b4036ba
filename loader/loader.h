// Guest image loading: identification by digest, the MS-DOS stub checks, the
// LE and PMW1 loaders and the PMW1 decompressor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The format-specific words 1 to 4 of an object table entry.
struct LeObjectFields {
    uint32_t relocation_base; // not used
    uint32_t flags;           // not used
    uint32_t page_index;      // 1-based first entry in the object page table
    uint32_t page_count;      // 4096-byte pages of the object
};
struct Pmw1ObjectFields {
    uint32_t packed_size;       // bytes of packed data; 0: stored as is
    uint32_t unused;            //
    uint32_t fixup_offset;      // first fixup block, from the fixup area
    uint32_t fixup_block_count; // packed fixup blocks of the object
};

// One loaded guest object: exactly one 24-byte entry of the file's object
// table, read as the layout of its format; host_base is overwritten with the
// host address of the object's first byte.
struct GuestObject {
    uint32_t virtual_size; // bytes of the object in memory
    union {
        LeObjectFields le;
        Pmw1ObjectFields pmw1;
    };
    uint32_t host_base; // host address of byte 0 once loaded
};
static_assert(sizeof(LeObjectFields) == 16 && sizeof(Pmw1ObjectFields) == 16);
static_assert(sizeof(GuestObject) == 24);
static_assert(offsetof(GuestObject, le.page_index) == 12);
static_assert(offsetof(GuestObject, le.page_count) == 16);
static_assert(offsetof(GuestObject, pmw1.packed_size) == 4);
static_assert(offsetof(GuestObject, pmw1.fixup_offset) == 12);
static_assert(offsetof(GuestObject, pmw1.fixup_block_count) == 16);
static_assert(offsetof(GuestObject, host_base) == 20);

struct GuestRelease;

// File and allocation helpers (loader/file_io.cpp): each succeeds or ends the
// process.
uint16_t read_u16(FILE *file);
uint32_t read_u32(FILE *file);
void seek_to(FILE *file, uint32_t offset);
void read_exact(FILE *file, void *buf, size_t n);
void *xmalloc(size_t n);
void *xcalloc(size_t n);
// Size of the open file (its position is kept).
uint64_t file_length(FILE *file);
// Ends with "read: end of file" unless [offset, offset + n) lies in a file of
// the given size.
void need_in_file(uint64_t file_size, uint64_t offset, uint64_t n);

// Opens, identifies and loads the guest file; stores the object array and its
// length into the matched release and returns its index in the
// null-terminated list.
int load_guest_image(const char *path, GuestRelease *const *releases);

// Each returns the object array and stores its length in *object_count.
GuestObject *load_le(FILE *file, uint32_t header_offset, uint32_t *object_count);
GuestObject *load_pmw1(FILE *file, uint32_t header_offset, uint32_t *object_count);

// Expands one packed PMW1 stream. The decoder stays inside src[0, src_len) and
// dst[0, dst_len), and ends the process on a stream that would leave either.
// Returns the number of bytes written.
size_t pmw1_unpack(uint8_t *dst, size_t dst_len, const uint8_t *src, size_t src_len);

// The block all objects of the loaded image lie in (set by the loaders): pages
// of its own, zero-filled, readable, writable and executable.
extern uint8_t *object_block;
extern size_t object_block_size;
// Unmaps object_block (for tests and tools that load more than once).
void free_object_block();

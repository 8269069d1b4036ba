// Guest image loading: identification by digest, the MS-DOS stub checks, the
// LE and PMW1 loaders and the PMW1 decompressor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One loaded guest object: exactly one 24-byte entry of the file's object
// table. Words 1 to 4 keep their format-specific meaning; host_base is
// overwritten with the host address of the object's first byte.
struct GuestObject {
    uint32_t virtual_size; // bytes of the object in memory
    uint32_t word1;        // LE: relocation base; PMW1: packed size
    uint32_t word2;        // LE: flags; PMW1: unused
    uint32_t word3;        // LE: page index (1-based); PMW1: fixup offset
    uint32_t word4;        // LE: page count; PMW1: fixup block count
    uint32_t host_base;    // host address of byte 0 once loaded
};
static_assert(sizeof(GuestObject) == 24);
static_assert(offsetof(GuestObject, host_base) == 20);

struct GuestRelease;

// File and allocation helpers: each succeeds or ends the process.
uint16_t read_u16(FILE *file);
uint32_t read_u32(FILE *file);
void seek_to(FILE *file, uint32_t offset);
void read_exact(FILE *file, void *buf, size_t n);
void *xmalloc(size_t n);
void *xcalloc(size_t n);

// Lets guest code run in place: marks the pages spanning [p, p + n) readable,
// writable and executable. Ends the process on failure.
void make_executable(void *p, size_t n);

// Opens, identifies and loads the guest file; stores the object array into the
// matched release and returns its index in the null-terminated list.
int load_guest_image(const char *path, GuestRelease *const *releases);

GuestObject *load_le(FILE *file, uint32_t header_offset);
GuestObject *load_pmw1(FILE *file, uint32_t header_offset);

// Expands one packed PMW1 stream. The decoder stays inside src[0, src_len) and
// dst[0, dst_len), and ends the process on a stream that would leave either.
// Returns the number of bytes written.
size_t pmw1_unpack(uint8_t *dst, size_t dst_len, const uint8_t *src, size_t src_len);

// The block all objects of the loaded image lie in (set by the loaders).
extern uint8_t *object_block;
extern size_t object_block_size;

// Helpers shared by the LE and PMW1 loaders: little-endian field access,
// bounds arithmetic that cannot wrap, positions beyond 32 bits, and the
// placement of all objects in one block.
#pragma once

#include <cstring>

#include "loader/loader.h"

inline uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t get_u32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4); // the host is little-endian like the file
    return v;
}

inline void put_u16(uint8_t *p, uint16_t v) {
    memcpy(p, &v, 2);
}
inline void put_u32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}

// True when [off, off + len) lies inside [0, size). 64-bit operands cannot
// wrap for any 32-bit field values.
inline bool inside(uint64_t off, uint64_t len, uint64_t size) {
    return off <= size && len <= size - off;
}

// Seeks to a position computed from several 32-bit fields; a sum that no
// longer fits the 32-bit file position is a seek failure like any other.
void seek_to_position(FILE *file, uint64_t position);
// The stream's position; a failure is reported as "tell" with its error.
uint64_t tell_position(FILE *file);
// Ends with "read: empty <what>": a block read of 0 bytes is refused.
[[noreturn]] void empty_read(const char *what);

// Gives every object its host_base (in order, at 32-byte multiples) and
// allocates the zero-filled, executable object_block of the placement size
// plus slack bytes. Sets object_block and object_block_size.
void place_objects(GuestObject *objects, uint32_t count, uint32_t slack);

// Bytes an object occupies in the block: its virtual size up to the next
// multiple of 32, the place its fields must lie in.
inline uint64_t place_size(const GuestObject &object) {
    return (static_cast<uint64_t>(object.virtual_size) + 31) & ~static_cast<uint64_t>(31);
}

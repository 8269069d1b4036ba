// The one block every guest object lies in, shared by both loaders.
#include <cerrno>

#include "loader/loader_internal.h"
#include "shell/fatal.h"

uint8_t *object_block = nullptr;
size_t object_block_size = 0;

void seek_to_position(FILE *file, uint64_t position) {
    if (position > 0xFFFFFFFF) {
        errno = EOVERFLOW;
        fatal_errno("seek");
    }
    seek_to(file, static_cast<uint32_t>(position));
}

void place_objects(GuestObject *objects, uint32_t count, uint32_t slack) {
    uint64_t r = 0;
    for (uint32_t i = 0; i < count; i++) {
        objects[i].host_base = static_cast<uint32_t>(r);
        r = (r + objects[i].virtual_size + 31) & ~static_cast<uint64_t>(31);
        // Sizes that cannot be addressed at all fail like an allocation
        // the system refuses, before any offset could wrap.
        if (r + slack > 0xFFFFFFFF) {
            errno = ENOMEM;
            fatal_errno("calloc");
        }
    }
    const size_t size = static_cast<size_t>(r + slack);
    object_block = static_cast<uint8_t *>(xcalloc(size));
    object_block_size = size;
    // Guest code runs in place, so the block must be executable too.
    make_executable(object_block, size);
    const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object_block));
    for (uint32_t i = 0; i < count; i++) {
        objects[i].host_base += base;
    }
}

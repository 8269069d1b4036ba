// The one block every guest object lies in, shared by both loaders.
#include <cerrno>
#include <sys/mman.h>

#include "loader/loader_internal.h"
#include "shell/fatal.h"

uint8_t *object_block = nullptr;
size_t object_block_size = 0;

void place_objects(GuestObject *objects, uint32_t count, uint32_t slack) {
    uint64_t r = 0;
    for (uint32_t i = 0; i < count; i++) {
        objects[i].host_base = static_cast<uint32_t>(r);
        r = (r + objects[i].virtual_size + 31) & ~static_cast<uint64_t>(31);
        // Sizes that cannot be addressed at all fail like a mapping the
        // system refuses, before any offset could wrap.
        if (r + slack > 0xFFFFFFFF) {
            errno = ENOMEM;
            fatal_errno("mmap");
        }
    }
    const size_t size = static_cast<size_t>(r + slack);
    // Guest code runs in place: the block gets executable pages of its own,
    // so no neighbouring heap data becomes executable with it. An empty
    // placement still maps one page, so the block has an address.
    void *block = mmap(nullptr, size ? size : 1, PROT_READ | PROT_WRITE | PROT_EXEC,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        fatal_errno("mmap");
    }
    object_block = static_cast<uint8_t *>(block);
    object_block_size = size;
    const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object_block));
    for (uint32_t i = 0; i < count; i++) {
        objects[i].host_base += base;
    }
}

void free_object_block() {
    if (object_block) {
        munmap(object_block, object_block_size ? object_block_size : 1);
    }
    object_block = nullptr;
    object_block_size = 0;
}

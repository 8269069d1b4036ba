// Binding a loaded guest to the host: symbol relocation, stubs and redirects
// through generated register-to-stack adapters; and the start of the guest.
#include "binding/bind.h"

#include <cstring>
#include <sys/mman.h>

#include "binding/run_state.h"
#include "loader/loader.h"
#include "shell/fatal.h"

// Adapter templates, each with its terminating zero byte; the E8 is followed
// by the rel32 to the host routine when written.
static constexpr uint8_t two_register_adapter[] = {
    0x51, // push ecx
    0x52, // push edx
    0x50, // push eax
    0xE8, // call host routine
    0x59, // pop ecx (the slot of EAX)
    0x5A, // pop edx
    0x59, // pop ecx
    0,
};
static_assert(sizeof two_register_adapter == 8);
static constexpr uint8_t four_register_adapter[] = {
    0x51, // push ecx
    0x53, // push ebx
    0x52, // push edx
    0x50, // push eax
    0xE8, // call host routine
    0x59, // pop ecx (the slot of EAX)
    0x5A, // pop edx
    0x5B, // pop ebx
    0x59, // pop ecx
    0,
};
static_assert(sizeof four_register_adapter == 10);
// The block of an adapter: its template without the zero byte, 4 bytes of
// call displacement and 3 of the longer return form.
constexpr size_t adapter_block_bytes(size_t template_size) {
    return template_size - 1 + 4 + 3;
}
static_assert(adapter_block_bytes(sizeof two_register_adapter) == 14);
static_assert(adapter_block_bytes(sizeof four_register_adapter) == 16);

// Templates end in a zero byte that is counted but never written; every E8 is
// followed by a rel32 to the hook's host routine when written.
const uint8_t solid_palette_hook[10] = {
    0x60,             // pusha
    0xE8,             // call fill_palette_solid (the PUSHA frame as parameters)
    0x61,             // popa
    0x41,             // inc ecx
    0x83, 0xC3, 0x03, // add ebx, 3
    0xEB, 0x1C,       // jmp short +0x1C
    0,
};
const uint8_t frame_copy_hook[10] = {
    0x53,             // push ebx (count)
    0x52,             // push edx (destination)
    0x50,             // push eax (source)
    0xE8,             // call copy_frame
    0x83, 0xC4, 0x0C, // add esp, 12
    0x61,             // popa (the guest routine's own)
    0xC3,             // ret to the routine's caller
    0,
};
const uint8_t blank_palette_hook[7] = {
    0x60,       // pusha
    0xE8,       // call blank_palette
    0x61,       // popa
    0xB7, 0x03, // mov bh, 3
    0x90,       // nop
    0,
};

static void put_u32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, 4);
}

static void put_rel32(uint8_t *field, const void *target) {
    put_u32(field, reinterpret_cast<uint32_t>(target) - (reinterpret_cast<uint32_t>(field) + 4));
}

// Adapters come from executable pages carved into blocks of exactly the size
// the template needs; the pages are never unmapped, so a block stays valid and
// unmoved until exit. An executable heap would expose all host data to
// execution, which the platform no longer allows by default.
static uint8_t *adapter_block(size_t size) {
    static uint8_t *arena = nullptr;
    static size_t arena_left = 0;
    if (arena_left < size) {
        void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            fatal_errno("mmap");
        }
        arena = static_cast<uint8_t *>(page);
        arena_left = 4096;
    }
    uint8_t *block = arena;
    arena += size;
    arena_left -= size;
    return block;
}

uint8_t *write_redirect(uint8_t *site, void *host_routine, int16_t arg_code) {
    site[0] = 0xE9;
    if (arg_code == -2) {
        put_rel32(site + 1, host_routine);
        return nullptr;
    }
    const bool two = arg_code <= 2;
    const uint8_t *tmpl = two ? two_register_adapter : four_register_adapter;
    const int count = two ? sizeof two_register_adapter : sizeof four_register_adapter;
    const size_t block_bytes = adapter_block_bytes(count);
    uint8_t *block = adapter_block(block_bytes);
    write_code_template(block, host_routine, tmpl, count);
    uint8_t *out = block + count - 1 + 4;
    if (arg_code >= 5) {
        const uint16_t pop_bytes = static_cast<uint16_t>(arg_code * 4 - 16);
        *out++ = 0xC2; // ret imm16
        *out++ = static_cast<uint8_t>(pop_bytes);
        *out++ = static_cast<uint8_t>(pop_bytes >> 8);
    } else {
        *out++ = 0xC3; // ret
    }
    put_rel32(site + 1, block);
    return block;
}

void write_code_template(uint8_t *dst, void *host_routine, const uint8_t *tmpl, int count) {
    uint8_t *out = dst;
    for (int i = 0; i < count - 1; i++) {
        *out++ = tmpl[i];
        if (tmpl[i] == 0xE8) {
            put_rel32(out, host_routine);
            out += 4;
        }
    }
}

uint8_t *guest_site(const GuestObject *objects, uint32_t object_count, uint32_t object,
                    uint32_t offset, uint32_t length, const char *kind) {
    if (object == 0 || object > object_count) {
        fatal("site %s %#x+%u in object %u, not among the image's %u objects", kind, offset, length,
              object, object_count);
    }
    const uint32_t size = objects[object - 1].virtual_size;
    if (offset > size || length > size - offset) {
        fatal("site %s %#x+%u outside object %u of %#x bytes", kind, offset, length, object, size);
    }
    return reinterpret_cast<uint8_t *>(objects[object - 1].host_base + offset);
}

int start_guest() {
    call_guest_eax(255, guest_symbol(sym::guest_prestart));
    using GuestMain = int (*)(int, const char **);
    const GuestMain entry = reinterpret_cast<GuestMain>(guest_symbol(sym::entry_stub));
    return entry(1, guest_argv);
}

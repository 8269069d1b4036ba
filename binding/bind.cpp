// Binding a loaded guest to the host: symbol relocation, stubs and redirects
// through generated register-to-stack adapters; and the start of the guest.
#include "binding/bind.h"

#include <cstring>
#include <sys/mman.h>

#include "loader/loader.h"
#include "shell/fatal.h"
#include "shell/host.h"

// PUSH ECX; PUSH EDX; PUSH EAX; CALL host; POP ECX; POP EDX; POP ECX
static const uint8_t two_register_adapter[] = {0x51, 0x52, 0x50, 0xE8, 0x59, 0x5A, 0x59, 0};
// PUSH ECX; PUSH EBX; PUSH EDX; PUSH EAX; CALL host; POP ECX; POP EDX; POP EBX; POP ECX
static const uint8_t four_register_adapter[] = {0x51, 0x53, 0x52, 0x50, 0xE8,
                                                0x59, 0x5A, 0x5B, 0x59, 0};

// Templates end in a zero byte that is counted but never written; every E8 is
// followed by a rel32 to the hook's host routine when written.
const uint8_t solid_palette_hook[10] = {0x60, 0xE8, 0x61, 0x41, 0x83, 0xC3, 0x03, 0xEB, 0x1C, 0};
const uint8_t frame_copy_hook[10] = {0x53, 0x52, 0x50, 0xE8, 0x83, 0xC4, 0x0C, 0x61, 0xC3, 0};
const uint8_t blank_palette_hook[7] = {0x60, 0xE8, 0x61, 0xB7, 0x03, 0x90, 0};

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
            fatal_errno("malloc");
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
    const uint8_t *tmpl = arg_code <= 2 ? two_register_adapter : four_register_adapter;
    const size_t length = strlen(reinterpret_cast<const char *>(tmpl));
    uint8_t *block = adapter_block(length + 7);
    uint8_t *out = block;
    for (const uint8_t *t = tmpl; *t; t++) {
        *out++ = *t;
        if (*t == 0xE8) {
            put_rel32(out, host_routine);
            out += 4;
        }
    }
    if (arg_code >= 5) {
        const uint16_t pop_bytes = static_cast<uint16_t>(arg_code * 4 - 16);
        *out++ = 0xC2;
        *out++ = static_cast<uint8_t>(pop_bytes);
        *out++ = static_cast<uint8_t>(pop_bytes >> 8);
    } else {
        *out++ = 0xC3;
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

int start_guest() {
    call_guest_eax(255, guest_symbol(sym::guest_prestart));
    using GuestMain = int (*)(int, const char **);
    const GuestMain entry = reinterpret_cast<GuestMain>(guest_symbol(sym::entry_stub));
    return entry(1, guest_argv);
}

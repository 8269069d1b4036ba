// Release code patches: the entry adapter, the tick operands, the palette and
// frame hooks and the NOP bytes, at the sites the release catalogue lists for
// the matched release.
#include <cstring>

#include "binding/bind.h"
#include "binding/run_state.h"
#include "loader/loader.h"
#include "machine/display.h"
#include "machine/events.h"

// MOV EAX,[ESP+4]; MOV EDX,[ESP+8]; JMP guest_main: the guest's main routine
// called as a host routine of two stack arguments.
struct [[gnu::packed]] EntryAdapter {
    uint8_t load_argc[4]; // mov eax, [esp+4]
    uint8_t load_argv[4]; // mov edx, [esp+8]
    uint8_t jmp;          // jmp rel32
    uint32_t to_main;     // guest_main - end of this record
};
static_assert(sizeof(EntryAdapter) == 13);

// Bytes a hook template writes: its bytes without the zero, and a rel32
// after its one E8.
constexpr uint32_t hook_bytes(size_t template_size) {
    return static_cast<uint32_t>(template_size - 1 + 4);
}
static_assert(hook_bytes(sizeof solid_palette_hook) == 13);
static_assert(hook_bytes(sizeof frame_copy_hook) == 13);
static_assert(hook_bytes(sizeof blank_palette_hook) == 10);

static void write_hook(uint32_t offset, void *host_routine, const uint8_t *tmpl, int count,
                       const char *kind) {
    write_code_template(guest_site(guest_objects, 1, offset, hook_bytes(count), kind), host_routine,
                        tmpl, count);
}

void apply_release_patches() {
    // The matched release is the one host_main bound: Party or Fix.
    const ReleasePatches &patches = *known_releases[is_party_release ? 1 : 0]->patches;
    const GuestSymbol &entry_symbol = guest_symbols[sym::entry_stub];
    const uint32_t entry_offset =
        entry_symbol.location - guest_objects[entry_symbol.object - 1].host_base;
    uint8_t *entry = guest_site(guest_objects, entry_symbol.object, entry_offset,
                                sizeof(EntryAdapter), "entry adapter");
    EntryAdapter adapter = {{0x8B, 0x44, 0x24, 0x04}, {0x8B, 0x54, 0x24, 0x08}, 0xE9, 0};
    adapter.to_main =
        guest_symbol(sym::guest_main) - (reinterpret_cast<uint32_t>(entry) + sizeof adapter);
    memcpy(entry, &adapter, sizeof adapter);

    const uint32_t ticks = reinterpret_cast<uint32_t>(&tick_counter);
    for (uint32_t site : patches.tick_operands) {
        memcpy(guest_site(guest_objects, 1, site, 4, "tick operand"), &ticks, 4);
    }

    write_hook(patches.solid_palette_hook, reinterpret_cast<void *>(&fill_palette_solid),
               solid_palette_hook, sizeof solid_palette_hook, "solid palette hook");
    write_hook(patches.frame_copy_hook, reinterpret_cast<void *>(&copy_frame), frame_copy_hook,
               sizeof frame_copy_hook, "frame copy hook");
    for (const uint32_t *nop = patches.nop_offsets; *nop; nop++) {
        *guest_site(guest_objects, 1, *nop, 1, "nop") = 0x90;
    }
    // Each blank-palette hook starts one byte before its listed site.
    for (const uint32_t *s = patches.blank_hook_sites; *s; s++) {
        write_hook(*s - 1, reinterpret_cast<void *>(&blank_palette), blank_palette_hook,
                   sizeof blank_palette_hook, "blank palette hook");
    }
}

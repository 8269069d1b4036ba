// Release code patches: the entry adapter, the tick operands, the palette and
// frame hooks and the NOP bytes, at the sites the release catalogue lists for
// the matched release.
#include <cstring>

#include "binding/bind.h"
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

// The release being patched: its loaded objects and, for the sites, object 1.
struct PatchTarget {
    const GuestObject *objects;
    uint32_t object_count;
};

static uint8_t *code_site(const PatchTarget &t, uint32_t offset, uint32_t length,
                          const char *kind) {
    return guest_site(t.objects, t.object_count, 1, offset, length, kind);
}

static void write_hook(const PatchTarget &t, uint32_t offset, void *host_routine,
                       const uint8_t *tmpl, int count, const char *kind) {
    write_code_template(code_site(t, offset, hook_bytes(count), kind), host_routine, tmpl, count);
}

void apply_release_patches(const GuestRelease &release) {
    // The lists of the release that was bound, whatever its place in the
    // catalogue.
    const ReleasePatches &patches = *release.patches;
    const PatchTarget t = {release.objects, release.object_count};
    const GuestSymbol &entry_symbol = release.symbols[sym::entry_stub];
    const GuestSymbol &main_symbol = release.symbols[sym::guest_main];
    // The symbols hold host addresses: the entry site's offset comes from its
    // object's base, where that object exists (guest_site refuses it if not).
    const uint32_t entry_index = entry_symbol.object - 1;
    const uint32_t entry_base = entry_index < t.object_count ? t.objects[entry_index].host_base : 0;
    const uint32_t entry_offset = entry_symbol.location - entry_base;
    uint8_t *entry = guest_site(t.objects, t.object_count, entry_symbol.object, entry_offset,
                                sizeof(EntryAdapter), "entry adapter");
    EntryAdapter adapter = {{0x8B, 0x44, 0x24, 0x04}, {0x8B, 0x54, 0x24, 0x08}, 0xE9, 0};
    adapter.to_main = main_symbol.location - (reinterpret_cast<uint32_t>(entry) + sizeof adapter);
    memcpy(entry, &adapter, sizeof adapter);

    const uint32_t ticks = reinterpret_cast<uint32_t>(&tick_counter);
    for (uint32_t site : patches.tick_operands) {
        memcpy(code_site(t, site, 4, "tick operand"), &ticks, 4);
    }

    write_hook(t, patches.solid_palette_hook, reinterpret_cast<void *>(&fill_palette_solid),
               solid_palette_hook, sizeof solid_palette_hook, "solid palette hook");
    write_hook(t, patches.frame_copy_hook, reinterpret_cast<void *>(&copy_frame), frame_copy_hook,
               sizeof frame_copy_hook, "frame copy hook");
    for (const uint32_t *nop = patches.nop_offsets; *nop; nop++) {
        *code_site(t, *nop, 1, "nop") = 0x90;
    }
    // Each blank-palette hook starts one byte before its listed site.
    for (const uint32_t *s = patches.blank_hook_sites; *s; s++) {
        write_hook(t, *s - 1, reinterpret_cast<void *>(&blank_palette), blank_palette_hook,
                   sizeof blank_palette_hook, "blank palette hook");
    }
}

// The catalogue of the two known guest releases: symbols, redirects, stubs,
// code patches and digests: every guest site the host touches, one table per
// release. Static data; only the matched release's symbol table and objects
// field change at run time.
#pragma once

#include <cstdint>

struct GuestObject;

// A guest location: 1-based object number and offset; after binding the
// location word holds the host address.
struct GuestSymbol {
    uint32_t object;   // 1-based; 0 ends the table
    uint32_t location; // offset before binding, host address after
};
static_assert(sizeof(GuestSymbol) == 8);

// Host routines that replace guest routines. The redirect lists name them by
// this index; host_routine_address() turns it into the routine's address.
enum class HostRoutine : uint16_t {
    none,
    dma_buffer_position,
    dma_stop,
    dma_play_buffer,
    dma_free_buffer,
    dma_alloc_buffer,
    console_puts,
    report_zero,
    console_putc,
    timer_set_rate,
    timer_set_callbacks,
    timer_stop_player,
    timer_play_player,
    timer_close,
    timer_init,
    report_fourteen,
    succeed_noop,
    console_flush,
    read_key,
    poll_events,
    ftell,
    fseek,
    guest_exit,
    pool_alloc,
    console_printf,
    int386_service,
    guest_memset,
    ignore_one,
    fread,
    fclose,
    fopen,
    fade_palette,
    count
};

// Address of a host routine (binding/host_routines.cpp).
void *host_routine_address(HostRoutine routine);

struct Redirect {
    uint32_t offset;          // entry point within the object; 0xFFFFFFFF ends the list
    HostRoutine host_routine; // routine that takes the guest routine's place
    int16_t arg_code;         // -2 plain jump; below 5 adapter with RET; 5+ RET imm16
};

struct RedirectGroup {
    uint32_t object; // 1-based; 0 ends the array
    const Redirect *redirects;
};

struct StubGroup {
    uint32_t object;         // 1-based; 0 ends the array
    const uint32_t *offsets; // ended by 0xFFFFFFFF
};

// Code patches inside guest routines, all in object 1 (the entry adapter
// goes to the entry_stub symbol).
struct ReleasePatches {
    uint32_t tick_operands[3];        // 32-bit operands pointed at tick_counter
    uint32_t solid_palette_hook;      // fill_palette_solid hook, 13 bytes
    uint32_t frame_copy_hook;         // copy_frame hook, 13 bytes
    const uint32_t *nop_offsets;      // bytes that become NOP; ended by 0
    const uint32_t *blank_hook_sites; // blank_palette hooks, each from one byte
                                      // before the site, 10 bytes; ended by 0
};

struct GuestRelease {
    const RedirectGroup *redirect_groups;
    GuestSymbol *symbols;
    const StubGroup *stub_groups;
    uint8_t digest[16];    // MD5 of the whole guest file
    GuestObject *objects;  // set by the loader for the matched release only
    uint32_t object_count; // length of objects, set with it
    const ReleasePatches *patches;
};

constexpr uint32_t end_of_list = 0xFFFFFFFF;

// Indices into a release's symbol table.
namespace sym {
enum : int {
    entry_stub = 0,
    mix_length = 1,
    unnamed_2 = 2,
    guard_table = 3,
    sound_ready = 4,
    fade_select = 5,
    guest_palette = 6,
    sound_device = 7,
    device_extra = 8,
    device_list = 9,
    fade_scale = 10,
    guest_close_hook = 11,
    guest_mixer_open = 12,
    guest_prestart = 13,
    guest_error_report = 14,
    guest_main = 15,
    count = 16
};
}

extern GuestRelease release_fix;
extern GuestRelease release_party;
extern GuestRelease *const known_releases[3]; // fix, party, null

// Set by host_main once the guest is loaded.
extern GuestSymbol *guest_symbols;
extern GuestObject *guest_objects;
extern uint32_t guest_object_count;

// Host address of bound symbol i.
inline uint32_t guest_symbol(int index) {
    return guest_symbols[index].location;
}

// The two known releases of the guest. Offsets are from the start of the
// object named; the digests come from the build (release_digests.h).
#include "binding/catalogue.h"

#include "release_digests.h"

using enum HostRoutine;

// Rows in descending offset order; the host routine and arg code of a row are
// the same in both releases.
static const Redirect fix_redirects[] = {
    {0x3135C, dma_buffer_position, -2},
    {0x3132C, dma_stop, -2},
    {0x31250, dma_play_buffer, -2},
    {0x31220, dma_free_buffer, -2},
    {0x31160, dma_alloc_buffer, -2},
    {0x2F71A, console_puts, 2},
    {0x2B175, report_zero, -2},
    {0x299E0, console_putc, 2},
    {0x27624, timer_set_rate, -2},
    {0x274F0, timer_set_callbacks, -2},
    {0x274DC, timer_stop_player, -2},
    {0x27494, timer_play_player, -2},
    {0x27464, timer_close, -2},
    {0x27360, timer_init, -2},
    {0x2720C, report_fourteen, -2},
    {0x271C8, succeed_noop, -2},
    {0x2718C, succeed_noop, -2},
    {0x24A0B, console_flush, 0},
    {0x2420D, read_key, 0},
    {0x241F0, poll_events, 0},
    {0x22F9D, ftell, 1},
    {0x22E4E, fseek, 3},
    {0x22DDE, guest_exit, 0},
    {0x22C93, pool_alloc, 1},
    {0x22C71, console_printf, -1},
    {0x22C58, int386_service, 4},
    {0x22C40, guest_memset, 3},
    {0x22AFF, ignore_one, 1},
    {0x22924, fread, 4},
    {0x227E1, fclose, 1},
    {0x2256D, fopen, 2},
    {0x19C, fade_palette, 1},
    {end_of_list, none, 0},
};

static const Redirect party_redirects[] = {
    {0x3123C, dma_buffer_position, -2},
    {0x3120C, dma_stop, -2},
    {0x31130, dma_play_buffer, -2},
    {0x31100, dma_free_buffer, -2},
    {0x31040, dma_alloc_buffer, -2},
    {0x2F5FA, console_puts, 2},
    {0x2B125, report_zero, -2},
    {0x299C0, console_putc, 2},
    {0x27604, timer_set_rate, -2},
    {0x274D0, timer_set_callbacks, -2},
    {0x274BC, timer_stop_player, -2},
    {0x27474, timer_play_player, -2},
    {0x27444, timer_close, -2},
    {0x27340, timer_init, -2},
    {0x271EC, report_fourteen, -2},
    {0x271A8, succeed_noop, -2},
    {0x2716C, succeed_noop, -2},
    {0x249EB, console_flush, 0},
    {0x241ED, read_key, 0},
    {0x241D0, poll_events, 0},
    {0x22F8D, ftell, 1},
    {0x22E3E, fseek, 3},
    {0x22DCE, guest_exit, 0},
    {0x22C83, pool_alloc, 1},
    {0x22C61, console_printf, -1},
    {0x22C48, int386_service, 4},
    {0x22C30, guest_memset, 3},
    {0x22ADB, ignore_one, 1},
    {0x22900, fread, 4},
    {0x227BD, fclose, 1},
    {0x22549, fopen, 2},
    {0x19C, fade_palette, 1},
    {end_of_list, none, 0},
};

static const RedirectGroup fix_redirect_groups[] = {{1, fix_redirects}, {0, nullptr}};
static const RedirectGroup party_redirect_groups[] = {{1, party_redirects}, {0, nullptr}};

static const uint32_t fix_stubs[] = {200913, 199448, 198340, 197607,
                                     176248, 150796, 142710, end_of_list};
static const uint32_t party_stubs[] = {200625, 199128, 198024, 197319,
                                       176168, 150764, 142694, end_of_list};

static const StubGroup fix_stub_groups[] = {{1, fix_stubs}, {0, nullptr}};
static const StubGroup party_stub_groups[] = {{1, party_stubs}, {0, nullptr}};

// The Party release's tick operands lie 32 bytes below the Fix release's; the
// two hooks lie at the same offsets in both.
static const uint32_t fix_nops[] = {12899,  110936, 125277, 126129, 128834, 129365,
                                    129802, 131175, 131669, 136311, 137022, 137936,
                                    138694, 139414, 134977, 135565, 0};
static const uint32_t party_nops[] = {12899,  110896, 125245, 126097, 128802, 129333,
                                      129770, 131143, 131637, 134940, 135530, 136276,
                                      136990, 137903, 138648, 139380, 0};
static const uint32_t fix_blank_sites[] = {125285, 126137, 128842, 129373, 129810,
                                           131183, 131677, 136319, 137030, 137946,
                                           138702, 139422, 134985, 135573, 0};
static const uint32_t party_blank_sites[] = {125253, 126105, 128810, 129341, 129778,
                                             131151, 131645, 134948, 135538, 136284,
                                             136998, 137911, 138663, 139388, 0};

static const ReleasePatches fix_patches = {
    {122674, 122693, 122786}, 12906, 48109, fix_nops, fix_blank_sites};
static const ReleasePatches party_patches = {
    {122642, 122661, 122754}, 12906, 48109, party_nops, party_blank_sites};

// Rewritten in place by the binder: offsets now, host addresses after binding.
static GuestSymbol fix_symbols[] = {
    {1, 0x24A40}, // entry_stub
    {2, 0xFB6B4}, // mix_length
    {2, 0xFB66C}, // (no name)
    {2, 0xFB600}, // guard_table
    {2, 0xFB42C}, // sound_ready
    {2, 0x3EE80}, // fade_select
    {2, 0xFD78},  // guest_palette
    {2, 0xAA88},  // sound_device
    {2, 0x8228},  // device_extra
    {2, 0x817C},  // device_list
    {2, 0x2960},  // fade_scale
    {1, 0x31B64}, // guest_close_hook
    {1, 0x314E8}, // guest_mixer_open
    {1, 0x2F4B8}, // guest_prestart
    {1, 0x242A0}, // guest_error_report
    {1, 0x20ABC}, // guest_main
    {0, 0},
};

static GuestSymbol party_symbols[] = {
    {1, 0x24A20}, // entry_stub
    {2, 0xFB3E4}, // mix_length
    {2, 0xFB39C}, // (no name)
    {2, 0xFB330}, // guard_table
    {2, 0xFB158}, // sound_ready
    {2, 0x3EBB0}, // fade_select
    {2, 0xFAA8},  // guest_palette
    {2, 0xAA38},  // sound_device
    {2, 0x81D8},  // device_extra
    {2, 0x812C},  // device_list
    {2, 0x2920},  // fade_scale
    {1, 0x31A44}, // guest_close_hook
    {1, 0x313C8}, // guest_mixer_open
    {1, 0x2F3A4}, // guest_prestart
    {1, 0x24280}, // guest_error_report
    {1, 0x20AA4}, // guest_main
    {0, 0},
};

GuestRelease release_fix = {
    fix_redirect_groups, fix_symbols, fix_stub_groups, LUMOX_FIX_DIGEST, nullptr, 0, &fix_patches};
GuestRelease release_party = {party_redirect_groups, party_symbols, party_stub_groups,
                              LUMOX_PARTY_DIGEST,    nullptr,       0,
                              &party_patches};

GuestRelease *const known_releases[3] = {&release_fix, &release_party, nullptr};

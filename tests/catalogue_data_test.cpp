// The release catalogue as data: spot checks that catch a swapped row, a
// wrong arg code or a missing end marker.
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <utility>
#include <vector>

#include "binding/catalogue.h"

namespace {

int redirect_count(const Redirect *list) {
    int n = 0;
    while (list[n].offset != end_of_list) {
        n++;
    }
    return n;
}

TEST(Catalogue, ReleasesInLookupOrder) {
    EXPECT_EQ(known_releases[0], &release_fix);
    EXPECT_EQ(known_releases[1], &release_party);
    EXPECT_EQ(known_releases[2], nullptr);
    for (GuestRelease *r : {&release_fix, &release_party}) {
        EXPECT_EQ(r->objects, nullptr);
    }
}

TEST(Catalogue, OneGroupEachForObjectOne) {
    for (GuestRelease *r : {&release_fix, &release_party}) {
        EXPECT_EQ(r->redirect_groups[0].object, 1u);
        EXPECT_EQ(r->redirect_groups[1].object, 0u);
        EXPECT_EQ(r->stub_groups[0].object, 1u);
        EXPECT_EQ(r->stub_groups[1].object, 0u);
    }
}

TEST(Catalogue, ThirtyTwoRedirectsWithTheirArgCodes) {
    for (GuestRelease *r : {&release_fix, &release_party}) {
        const Redirect *list = r->redirect_groups[0].redirects;
        ASSERT_EQ(redirect_count(list), 32);
        EXPECT_EQ(list[32].host_routine, HostRoutine::none);
        EXPECT_EQ(list[32].arg_code, 0);
        std::map<int, int> per_code;
        int noops = 0;
        for (int i = 0; i < 32; i++) {
            per_code[list[i].arg_code]++;
            noops += list[i].host_routine == HostRoutine::succeed_noop;
            if (i > 0) {
                EXPECT_LT(list[i].offset, list[i - 1].offset) << "row " << i + 1;
            }
        }
        EXPECT_EQ(per_code,
                  (std::map<int, int>{{-2, 15}, {-1, 1}, {0, 4}, {1, 5}, {2, 3}, {3, 2}, {4, 2}}));
        EXPECT_EQ(noops, 2);
        EXPECT_EQ(list[31].offset, 0x19Cu);
        EXPECT_EQ(list[31].host_routine, HostRoutine::fade_palette);
        EXPECT_EQ(list[24].host_routine, HostRoutine::console_printf);
        EXPECT_EQ(list[24].arg_code, -1);
        EXPECT_EQ(list[25].host_routine, HostRoutine::int386_service);
        EXPECT_EQ(list[25].arg_code, 4);
    }
}

TEST(Catalogue, RowsCorrespondAndOnlyFadePaletteSharesItsOffset) {
    const Redirect *fix = release_fix.redirect_groups[0].redirects;
    const Redirect *party = release_party.redirect_groups[0].redirects;
    for (int i = 0; i < 32; i++) {
        EXPECT_EQ(fix[i].host_routine, party[i].host_routine) << "row " << i + 1;
        EXPECT_EQ(fix[i].arg_code, party[i].arg_code) << "row " << i + 1;
        if (i != 31) {
            EXPECT_NE(fix[i].offset, party[i].offset) << "row " << i + 1;
        }
    }
    EXPECT_EQ(fix[0].offset, 0x3135Cu);
    EXPECT_EQ(party[0].offset, 0x3123Cu);
    EXPECT_EQ(fix[30].offset, 0x2256Du);
    EXPECT_EQ(party[30].offset, 0x22549u);
}

TEST(Catalogue, SevenStubsPerRelease) {
    const uint32_t *fix = release_fix.stub_groups[0].offsets;
    const uint32_t *party = release_party.stub_groups[0].offsets;
    EXPECT_EQ(fix[0], 200913u);
    EXPECT_EQ(fix[6], 142710u);
    EXPECT_EQ(party[0], 200625u);
    EXPECT_EQ(party[6], 142694u);
    EXPECT_EQ(fix[7], end_of_list);
    EXPECT_EQ(party[7], end_of_list);
}

TEST(Catalogue, SixteenSymbolsCodeInObjectOneDataInObjectTwo) {
    for (GuestRelease *r : {&release_fix, &release_party}) {
        for (int i = 0; i < sym::count; i++) {
            const bool routine = i == sym::entry_stub || i >= sym::guest_close_hook;
            EXPECT_EQ(r->symbols[i].object, routine ? 1u : 2u) << "symbol " << i;
        }
        EXPECT_EQ(r->symbols[sym::count].object, 0u);
    }
    EXPECT_EQ(release_fix.symbols[sym::guest_prestart].location, 0x2F4B8u);
    EXPECT_EQ(release_party.symbols[sym::guest_prestart].location, 0x2F3A4u);
    EXPECT_EQ(release_fix.symbols[sym::unnamed_2].location, 0xFB66Cu);
    EXPECT_EQ(release_party.symbols[sym::fade_scale].location, 0x2920u);
    EXPECT_EQ(release_fix.symbols[sym::guest_main].location, 0x20ABCu);
}

// Every byte range that binding and patching write in object 1, with its
// length; no two may overlap, or one write would undo another.
TEST(Catalogue, NoTwoWrittenRangesOverlap) {
    for (GuestRelease *r : {&release_fix, &release_party}) {
        std::vector<std::pair<uint32_t, uint32_t>> ranges; // [from, to)
        auto add = [&ranges](uint32_t at, uint32_t length) {
            ranges.emplace_back(at, at + length);
        };
        for (const uint32_t *s = r->stub_groups[0].offsets; *s != end_of_list; s++) {
            add(*s, 1);
        }
        for (const Redirect *d = r->redirect_groups[0].redirects; d->offset != end_of_list; d++) {
            add(d->offset, 5);
        }
        add(r->symbols[sym::entry_stub].location, 13);
        const ReleasePatches &p = *r->patches;
        for (uint32_t t : p.tick_operands) {
            add(t, 4);
        }
        add(p.solid_palette_hook, 13);
        add(p.frame_copy_hook, 13);
        for (const uint32_t *n = p.nop_offsets; *n; n++) {
            add(*n, 1);
        }
        for (const uint32_t *b = p.blank_hook_sites; *b; b++) {
            add(*b - 1, 10);
        }
        EXPECT_EQ(ranges.size(), 7u + 32 + 1 + 3 + 2 + 16 + 14);
        std::sort(ranges.begin(), ranges.end());
        for (size_t i = 1; i < ranges.size(); i++) {
            EXPECT_LE(ranges[i - 1].second, ranges[i].first)
                << (r == &release_fix ? "Fix" : "Party") << " at " << ranges[i].first;
        }
    }
}

} // namespace

// The release tables as published for the two releases, typed in here from
// the tables themselves (never copied from the catalogue), and every value of
// the catalogue compared with them. The sample guest is laid out from the
// catalogue, so only this can see an offset that is one byte off.
namespace published {

struct Symbol {
    uint32_t object, fix, party;
};
const Symbol symbols[16] = {
    {1, 0x24A40, 0x24A20}, {2, 0xFB6B4, 0xFB3E4}, {2, 0xFB66C, 0xFB39C}, {2, 0xFB600, 0xFB330},
    {2, 0xFB42C, 0xFB158}, {2, 0x3EE80, 0x3EBB0}, {2, 0xFD78, 0xFAA8},   {2, 0xAA88, 0xAA38},
    {2, 0x8228, 0x81D8},   {2, 0x817C, 0x812C},   {2, 0x2960, 0x2920},   {1, 0x31B64, 0x31A44},
    {1, 0x314E8, 0x313C8}, {1, 0x2F4B8, 0x2F3A4}, {1, 0x242A0, 0x24280}, {1, 0x20ABC, 0x20AA4},
};

struct Row {
    uint32_t fix, party;
    HostRoutine routine;
    int16_t arg_code;
};
using enum HostRoutine;
const Row redirects[32] = {
    {0x3135C, 0x3123C, dma_buffer_position, -2},
    {0x3132C, 0x3120C, dma_stop, -2},
    {0x31250, 0x31130, dma_play_buffer, -2},
    {0x31220, 0x31100, dma_free_buffer, -2},
    {0x31160, 0x31040, dma_alloc_buffer, -2},
    {0x2F71A, 0x2F5FA, console_puts, 2},
    {0x2B175, 0x2B125, report_zero, -2},
    {0x299E0, 0x299C0, console_putc, 2},
    {0x27624, 0x27604, timer_set_rate, -2},
    {0x274F0, 0x274D0, timer_set_callbacks, -2},
    {0x274DC, 0x274BC, timer_stop_player, -2},
    {0x27494, 0x27474, timer_play_player, -2},
    {0x27464, 0x27444, timer_close, -2},
    {0x27360, 0x27340, timer_init, -2},
    {0x2720C, 0x271EC, report_fourteen, -2},
    {0x271C8, 0x271A8, succeed_noop, -2},
    {0x2718C, 0x2716C, succeed_noop, -2},
    {0x24A0B, 0x249EB, console_flush, 0},
    {0x2420D, 0x241ED, read_key, 0},
    {0x241F0, 0x241D0, poll_events, 0},
    {0x22F9D, 0x22F8D, ftell, 1},
    {0x22E4E, 0x22E3E, fseek, 3},
    {0x22DDE, 0x22DCE, guest_exit, 0},
    {0x22C93, 0x22C83, pool_alloc, 1},
    {0x22C71, 0x22C61, console_printf, -1},
    {0x22C58, 0x22C48, int386_service, 4},
    {0x22C40, 0x22C30, guest_memset, 3},
    {0x22AFF, 0x22ADB, ignore_one, 1},
    {0x22924, 0x22900, fread, 4},
    {0x227E1, 0x227BD, fclose, 1},
    {0x2256D, 0x22549, fopen, 2},
    {0x19C, 0x19C, fade_palette, 1},
};

const uint32_t fix_stubs[7] = {200913, 199448, 198340, 197607, 176248, 150796, 142710};
const uint32_t party_stubs[7] = {200625, 199128, 198024, 197319, 176168, 150764, 142694};

struct Fixed {
    uint32_t ticks[3], solid_palette_hook, frame_copy_hook;
};
const Fixed fix_fixed = {{122674, 122693, 122786}, 12906, 48109};
const Fixed party_fixed = {{122642, 122661, 122754}, 12906, 48109};

const uint32_t fix_nops[16] = {12899,  110936, 125277, 126129, 128834, 129365, 129802, 131175,
                               131669, 136311, 137022, 137936, 138694, 139414, 134977, 135565};
const uint32_t party_nops[16] = {12899,  110896, 125245, 126097, 128802, 129333, 129770, 131143,
                                 131637, 134940, 135530, 136276, 136990, 137903, 138648, 139380};
const uint32_t fix_blank_sites[14] = {125285, 126137, 128842, 129373, 129810, 131183, 131677,
                                      136319, 137030, 137946, 138702, 139422, 134985, 135573};
const uint32_t party_blank_sites[14] = {125253, 126105, 128810, 129341, 129778, 131151, 131645,
                                        134948, 135538, 136284, 136998, 137911, 138663, 139388};

} // namespace published

namespace {

// A list ended by `end` holds exactly the published values, in their order.
void expect_list(const uint32_t *list, const uint32_t *published, size_t n, uint32_t end,
                 const char *what) {
    for (size_t i = 0; i < n; i++) {
        EXPECT_EQ(list[i], published[i]) << what << " " << i;
    }
    EXPECT_EQ(list[n], end) << what << " ends after " << n;
}

TEST(Catalogue, EveryValueIsThePublishedOne) {
    for (bool party : {false, true}) {
        SCOPED_TRACE(party ? "Party" : "Fix");
        const GuestRelease &r = party ? release_party : release_fix;
        for (int i = 0; i < 16; i++) {
            EXPECT_EQ(r.symbols[i].object, published::symbols[i].object) << "symbol " << i;
            EXPECT_EQ(r.symbols[i].location,
                      party ? published::symbols[i].party : published::symbols[i].fix)
                << "symbol " << i;
        }
        const Redirect *list = r.redirect_groups[0].redirects;
        for (int i = 0; i < 32; i++) {
            const published::Row &row = published::redirects[i];
            EXPECT_EQ(list[i].offset, party ? row.party : row.fix) << "row " << i + 1;
            EXPECT_EQ(list[i].host_routine, row.routine) << "row " << i + 1;
            EXPECT_EQ(list[i].arg_code, row.arg_code) << "row " << i + 1;
        }
        EXPECT_EQ(list[32].offset, end_of_list);
        expect_list(r.stub_groups[0].offsets, party ? published::party_stubs : published::fix_stubs,
                    7, end_of_list, "stub");
        const ReleasePatches &p = *r.patches;
        const published::Fixed &fixed = party ? published::party_fixed : published::fix_fixed;
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(p.tick_operands[i], fixed.ticks[i]) << "tick operand " << i + 1;
        }
        EXPECT_EQ(p.solid_palette_hook, fixed.solid_palette_hook);
        EXPECT_EQ(p.frame_copy_hook, fixed.frame_copy_hook);
        expect_list(p.nop_offsets, party ? published::party_nops : published::fix_nops, 16, 0,
                    "NOP");
        expect_list(p.blank_hook_sites,
                    party ? published::party_blank_sites : published::fix_blank_sites, 14, 0,
                    "blank-palette site");
    }
}

} // namespace

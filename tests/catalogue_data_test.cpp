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

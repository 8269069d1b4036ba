// Binding a release from the catalogue onto synthetic objects, and the release
// code patches, executed where the written code can run on its own.
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <vector>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "loader/loader.h"
#include "machine/display.h"
#include "machine/events.h"
#include "machine/runtime.h"
#include "shell/host.h"
#include "support/exec_memory.h"
#include "support/guest_call.h"

namespace {

constexpr size_t code_size = 0x40000;  // past the highest code site (200913)
constexpr size_t data_size = 0x100000; // past the highest data symbol (0xFB6B4)
constexpr uint8_t filler = 0xCC;

uint32_t addr(const void *p) {
    return reinterpret_cast<uint32_t>(p);
}

uint32_t u32_at(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

uint32_t jump_target(const uint8_t *site) {
    return addr(site) + 5 + u32_at(site + 1);
}

// Two objects in executable memory, code filled with INT3 so that any stray
// execution traps.
// Object arrays live as long as the test process, as the loader's do; kept
// here so that they stay reachable.
GuestObject *object_pair() {
    static std::vector<std::unique_ptr<GuestObject[]>> pairs;
    pairs.push_back(std::make_unique<GuestObject[]>(2));
    return pairs.back().get();
}

GuestObject *synthetic_objects() {
    GuestObject *objects = object_pair();
    uint8_t *code = exec_memory(code_size);
    memset(code, filler, code_size);
    objects[0].virtual_size = code_size;
    objects[0].host_base = addr(code);
    objects[1].virtual_size = data_size;
    objects[1].host_base = addr(exec_memory(data_size));
    return objects;
}

struct Bound {
    GuestRelease *release;
    GuestSymbol original[sym::count + 1];
    uint8_t *code;
};

// Binds a release once per process (binding is not repeatable).
Bound &bound(GuestRelease *release) {
    static std::map<GuestRelease *, Bound> done;
    auto it = done.find(release);
    if (it == done.end()) {
        Bound b{};
        b.release = release;
        memcpy(b.original, release->symbols, sizeof b.original);
        release->objects = synthetic_objects();
        release->object_count = 2;
        b.code = reinterpret_cast<uint8_t *>(release->objects[0].host_base);
        bind_guest(release);
        it = done.emplace(release, b).first;
    }
    return it->second;
}

class BindRelease : public ::testing::TestWithParam<GuestRelease *> {};

TEST_P(BindRelease, SymbolsHoldHostAddresses) {
    Bound &b = bound(GetParam());
    const GuestObject *objects = b.release->objects;
    for (int i = 0; i < sym::count; i++) {
        const GuestSymbol &s = b.release->symbols[i];
        EXPECT_EQ(s.location, objects[s.object - 1].host_base + b.original[i].location) << i;
    }
    EXPECT_EQ(b.release->symbols[sym::count].object, 0u);
    EXPECT_EQ(b.release->symbols[sym::count].location, 0u);
}

TEST_P(BindRelease, StubsReturnAndRedirectsJumpWithTheCataloguedAdapters) {
    Bound &b = bound(GetParam());
    for (const uint32_t *o = b.release->stub_groups[0].offsets; *o != end_of_list; o++) {
        EXPECT_EQ(b.code[*o], 0xC3) << *o;
        EXPECT_EQ(b.code[*o + 1], filler);
    }
    int plain = 0, two = 0, four = 0, ret_imm = 0;
    for (const Redirect *r = b.release->redirect_groups[0].redirects; r->offset != end_of_list;
         r++) {
        const uint8_t *site = b.code + r->offset;
        ASSERT_EQ(site[0], 0xE9);
        EXPECT_EQ(site[5], filler);
        const uint32_t target = jump_target(site);
        const uint32_t host = addr(host_routine_address(r->host_routine));
        if (target == host) {
            plain++;
            EXPECT_EQ(r->arg_code, -2);
            continue;
        }
        const uint8_t *a = reinterpret_cast<const uint8_t *>(target);
        const int call_at = a[3] == 0xE8 ? 3 : 4;
        (call_at == 3 ? two : four)++;
        EXPECT_EQ(addr(a + call_at) + 5 + u32_at(a + call_at + 1), host);
        const uint8_t ret = a[call_at + 5 + (call_at == 3 ? 3 : 4)];
        ret_imm += ret == 0xC2;
    }
    EXPECT_EQ(plain, 15);
    EXPECT_EQ(two, 13);
    EXPECT_EQ(four, 4);
    EXPECT_EQ(ret_imm, 0);
}

// The real adapter in front of the real runtime routine, called the guest's way.
TEST_P(BindRelease, PoolAllocThroughItsBoundSite) {
    Bound &b = bound(GetParam());
    const Redirect *r = b.release->redirect_groups[0].redirects;
    while (r->host_routine != HostRoutine::pool_alloc) {
        r++;
    }
    for (int esp_mod : {0, 4, 8, 12}) {
        GuestCallRegs regs = {10, 0xB0B0, 0xC0C0, 0xD0D0, 0x5151, 0xD1D1, 0xB9B9};
        const GuestCallRegs before = regs;
        uint8_t *expected = pool_next;
        guest_call(addr(b.code + r->offset), &regs, nullptr, 0, esp_mod);
        EXPECT_EQ(regs.eax, addr(expected));
        EXPECT_EQ(u32_at(expected), 14u);
        regs.eax = before.eax;
        EXPECT_EQ(memcmp(&regs, &before, sizeof regs), 0) << changed_registers(before, regs);
    }
}

INSTANTIATE_TEST_SUITE_P(Releases, BindRelease, ::testing::Values(&release_fix, &release_party),
                         [](const auto &info) {
                             return std::string(info.param == &release_fix ? "Fix" : "Party");
                         });

// Patches are tested on fresh objects with a hand-made symbol table, so that
// code can be planted at the sites first.
struct Patched {
    uint8_t *code;
    std::vector<uint8_t> before;
    GuestSymbol symbols[sym::count + 1];
    GuestObject *objects;
};

// The catalogue's offsets, taken before any test binds a release in place.
struct Offsets {
    GuestSymbol fix[sym::count + 1], party[sym::count + 1];
    Offsets() {
        memcpy(fix, release_fix.symbols, sizeof fix);
        memcpy(party, release_party.symbols, sizeof party);
    }
} const catalogue_offsets;

void patch(Patched &p, bool party, void (*plant)(uint8_t *code)) {
    p.objects = synthetic_objects();
    p.code = reinterpret_cast<uint8_t *>(p.objects[0].host_base);
    if (plant) {
        plant(p.code);
    }
    p.before.assign(p.code, p.code + code_size);
    const GuestSymbol *offsets = party ? catalogue_offsets.party : catalogue_offsets.fix;
    for (int i = 0; i <= sym::count; i++) {
        p.symbols[i] = offsets[i];
        if (p.symbols[i].object) {
            p.symbols[i].location += p.objects[p.symbols[i].object - 1].host_base;
        }
    }
    if (!video_mutex) {
        video_mutex = SDL_CreateMutex(); // as host_main has made it before the guest runs
    }
    GuestRelease release = *(party ? &release_party : &release_fix);
    release.objects = p.objects;
    release.object_count = 2;
    release.symbols = p.symbols;
    apply_release_patches(release);
}

// Byte ranges [from, to) of object 1 that the patches of a release may change.
std::vector<std::pair<uint32_t, uint32_t>> patched_ranges(bool party, const GuestSymbol *syms,
                                                          uint32_t code1) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    const uint32_t entry = syms[sym::entry_stub].location - code1;
    ranges.push_back({entry, entry + 13});
    const uint32_t d = party ? 32 : 0;
    for (uint32_t t : {122674u, 122693u, 122786u}) {
        ranges.push_back({t - d, t - d + 4});
    }
    ranges.push_back({12906, 12919});
    ranges.push_back({48109, 48122});
    return ranges;
}

class Patches : public ::testing::TestWithParam<bool> {};

TEST_P(Patches, WriteExactlyTheirBytesAtTheReleaseSites) {
    const bool party = GetParam();
    Patched p;
    patch(p, party, nullptr);
    const uint32_t code1 = addr(p.code);
    const uint32_t d = party ? 32 : 0;
    for (uint32_t t : {122674u, 122693u, 122786u}) {
        EXPECT_EQ(u32_at(p.code + t - d), addr(&tick_counter)) << t - d;
    }

    uint8_t *entry = reinterpret_cast<uint8_t *>(p.symbols[sym::entry_stub].location);
    const uint8_t entry_head[] = {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x54, 0x24, 0x08, 0xE9};
    EXPECT_EQ(memcmp(entry, entry_head, 9), 0);
    EXPECT_EQ(jump_target(entry + 8), p.symbols[sym::guest_main].location);

    EXPECT_EQ(p.code[12906], 0x60);
    EXPECT_EQ(p.code[12907], 0xE8);
    EXPECT_EQ(jump_target(p.code + 12907), addr(reinterpret_cast<void *>(&fill_palette_solid)));
    EXPECT_EQ(p.code[12918], 0x1C);
    EXPECT_EQ(p.code[48112], 0xE8);
    EXPECT_EQ(jump_target(p.code + 48112), addr(reinterpret_cast<void *>(&copy_frame)));
    EXPECT_EQ(p.code[48121], 0xC3);

    // Every changed byte lies in a listed range; NOPs and blank hooks make up
    // the rest, each blank hook exactly s-1 .. s+8.
    auto ranges = patched_ranges(party, p.symbols, code1);
    int nops = 0, blank_hooks = 0;
    for (uint32_t i = 0; i < code_size; i++) {
        if (p.code[i] == p.before[i]) {
            continue;
        }
        bool listed = false;
        for (auto [from, to] : ranges) {
            listed |= i >= from && i < to;
        }
        if (listed) {
            continue;
        }
        if (p.code[i] == 0x60 && p.code[i + 1] == 0xE8 &&
            jump_target(p.code + i + 1) == addr(reinterpret_cast<void *>(&blank_palette))) {
            const uint8_t tail[] = {0x61, 0xB7, 0x03, 0x90};
            EXPECT_EQ(memcmp(p.code + i + 6, tail, 4), 0);
            EXPECT_EQ(p.code[i + 10], filler);
            blank_hooks++;
            i += 9;
            continue;
        }
        EXPECT_EQ(p.code[i], 0x90) << i;
        nops++;
    }
    EXPECT_EQ(nops, 16);
    EXPECT_EQ(blank_hooks, 14);
    EXPECT_EQ(p.code[12899], 0x90);
    const uint32_t first_blank = party ? 125253 : 125285;
    EXPECT_EQ(p.code[first_blank - 1], 0x60);
}

INSTANTIATE_TEST_SUITE_P(Releases, Patches, ::testing::Values(false, true), [](const auto &info) {
    return std::string(info.param ? "Party" : "Fix");
});

// Plants a routine around the solid palette hook: it keeps the colour at
// S+0x1C/0x18/0x14, points EBX at a buffer, and after the hook's jump to
// 12947 returns.
uint8_t palette_buffer[768];

void plant_solid_palette_routine(uint8_t *code) {
    uint8_t *p = code + 12906 - 32;
    const uint8_t head[] = {0x83, 0xEC, 0x20,                    // sub esp, 32
                            0xC7, 0x44, 0x24, 0x1C, 10, 0, 0, 0, // mov [esp+28], 10
                            0xC7, 0x44, 0x24, 0x18, 20, 0, 0, 0, // mov [esp+24], 20
                            0xC7, 0x44, 0x24, 0x14, 30, 0, 0, 0, // mov [esp+20], 30
                            0xBB};                               // mov ebx, imm32
    memcpy(p, head, sizeof head);
    const uint32_t buffer = addr(palette_buffer);
    memcpy(p + sizeof head, &buffer, 4);
    ASSERT_EQ(p + sizeof head + 4, code + 12906);
    const uint8_t tail[] = {0x83, 0xC4, 0x20, 0xC3}; // add esp, 32; ret
    memcpy(code + 12947, tail, sizeof tail);
}

TEST(PatchesRun, SolidPaletteHookFillsTheBufferAndContinuesAtItsTarget) {
    Patched p;
    patch(p, false, [](uint8_t *code) { plant_solid_palette_routine(code); });
    for (int esp_mod : {0, 4, 8, 12}) {
        memset(palette_buffer, 0, sizeof palette_buffer);
        GuestCallRegs regs = {0xA, 0xB, 5, 0xD, 0x5151, 0xD1D1, 0xB9B9};
        guest_call(addr(p.code + 12906 - 32), &regs, nullptr, 0, esp_mod);
        for (int i = 0; i < 256; i++) {
            ASSERT_EQ(palette_buffer[3 * i], 10);
            ASSERT_EQ(palette_buffer[3 * i + 1], 20);
            ASSERT_EQ(palette_buffer[3 * i + 2], 30);
        }
        EXPECT_EQ(regs.ecx, 6u);
        EXPECT_EQ(regs.ebx, addr(palette_buffer) + 3);
        EXPECT_EQ(regs.eax, 0xAu);
        EXPECT_EQ(regs.edx, 0xDu);
        EXPECT_EQ(regs.esi, 0x5151u);
        EXPECT_EQ(regs.edi, 0xD1D1u);
        EXPECT_EQ(regs.ebp, 0xB9B9u);
        EXPECT_EQ(host_palette[255].r, 40);
        EXPECT_EQ(host_palette[255].g, 80);
        EXPECT_EQ(host_palette[255].b, 120);
    }
}

// A frame-copy routine: PUSHA, then source, destination and count in EAX, EDX,
// EBX, and the hook ends it.
uint8_t copy_source[100], copy_destination[100];

TEST(PatchesRun, FrameCopyHookCopiesAndEndsTheRoutine) {
    Patched p;
    patch(p, true, [](uint8_t *code) {
        uint8_t *r = code + 48109 - 16;
        const uint8_t pusha_movs[] = {0x60, 0xB8, 0, 0, 0, 0, 0xBA, 0, 0, 0, 0, 0xBB, 100, 0, 0, 0};
        memcpy(r, pusha_movs, sizeof pusha_movs);
        const uint32_t src = addr(copy_source), dst = addr(copy_destination);
        memcpy(r + 2, &src, 4);
        memcpy(r + 7, &dst, 4);
    });
    for (int i = 0; i < 100; i++) {
        copy_source[i] = static_cast<uint8_t>(i * 7);
    }
    for (int esp_mod : {0, 4, 8, 12}) {
        memset(copy_destination, 0, sizeof copy_destination);
        GuestCallRegs regs = {0xA, 0xB, 0xC, 0xD, 0x5151, 0xD1D1, 0xB9B9};
        const GuestCallRegs before = regs;
        EXPECT_EQ(guest_call(addr(p.code + 48109 - 16), &regs, nullptr, 0, esp_mod), 0);
        EXPECT_EQ(memcmp(copy_destination, copy_source, 100), 0);
        EXPECT_EQ(memcmp(&regs, &before, sizeof regs), 0) << changed_registers(before, regs);
    }
}

TEST(PatchesRun, BlankPaletteHookBlacksOutAndSetsBh) {
    Patched p;
    patch(p, false, [](uint8_t *code) { code[125285 + 9] = 0xC3; });
    for (int esp_mod : {0, 4, 8, 12}) {
        memset(host_palette, 0x55, sizeof host_palette);
        GuestCallRegs regs = {0xA, 0x1234, 0xC, 0xD, 0x5151, 0xD1D1, 0xB9B9};
        guest_call(addr(p.code + 125285 - 1), &regs, nullptr, 0, esp_mod);
        EXPECT_EQ(regs.ebx, 0x0334u);
        EXPECT_EQ(regs.eax, 0xAu);
        EXPECT_EQ(regs.ecx, 0xCu);
        for (const SDL_Color &c : host_palette) {
            ASSERT_EQ(c.r | c.g | c.b, 0);
        }
    }
}

uint32_t seen_argc, seen_argv;

TEST(PatchesRun, EntryAdapterRunsGuestMainWithArgcInEaxAndArgvInEdx) {
    Patched p;
    patch(p, true, [](uint8_t *code) {
        // guest_main: store EAX and EDX, return EAX + 100
        uint8_t *m = code + 0x20AA4;
        const uint8_t body[] = {0xA3, 0, 0, 0, 0, 0x89, 0x15, 0, 0, 0, 0, 0x83, 0xC0, 100, 0xC3};
        memcpy(m, body, sizeof body);
        const uint32_t a = addr(&seen_argc), v = addr(&seen_argv);
        memcpy(m + 1, &a, 4);
        memcpy(m + 7, &v, 4);
    });
    using Main = int (*)(int, const char **);
    const char *argv[] = {"x", nullptr};
    EXPECT_EQ(reinterpret_cast<Main>(p.symbols[sym::entry_stub].location)(5, argv), 105);
    EXPECT_EQ(seen_argc, 5u);
    EXPECT_EQ(seen_argv, addr(argv));
}

} // namespace

// Sites that do not lie inside their object: binding and patching stop with
// the site's name before writing, as when a digest is configured for the
// other release's file.
class SiteBounds : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

constexpr uint32_t small_size = 0x100;

// Object 1 of small_size bytes, object 2 of 64 bytes, in executable memory
// inside a larger mapping, so a stray write would not fault and only the
// canary above the object could tell.
GuestObject *small_objects() {
    GuestObject *objects = object_pair();
    uint8_t *code = exec_memory(2 * small_size);
    memset(code, filler, 2 * small_size);
    objects[0].virtual_size = small_size;
    objects[0].host_base = addr(code);
    objects[1].virtual_size = 64;
    objects[1].host_base = addr(exec_memory(4096));
    memset(reinterpret_cast<uint8_t *>(objects[1].host_base), filler, 4096);
    return objects;
}

struct SmallRelease {
    Redirect redirects[2] = {{small_size - 5, HostRoutine::succeed_noop, -2},
                             {end_of_list, HostRoutine::none, 0}};
    uint32_t stubs[2] = {63, end_of_list};
    GuestSymbol symbols[3] = {{1, small_size - 1}, {2, 63}, {0, 0}};
    RedirectGroup redirect_groups[2] = {{1, redirects}, {0, nullptr}};
    StubGroup stub_groups[2] = {{2, stubs}, {0, nullptr}};
    GuestRelease release = {redirect_groups, symbols, stub_groups, {}, small_objects(), 2, nullptr};
};

TEST_F(SiteBounds, SitesEndingAtTheObjectsLastByteAreWritten) {
    SmallRelease r;
    bind_guest(&r.release);
    const uint8_t *code = reinterpret_cast<uint8_t *>(r.release.objects[0].host_base);
    const uint8_t *data = reinterpret_cast<uint8_t *>(r.release.objects[1].host_base);
    EXPECT_EQ(code[small_size - 5], 0xE9);
    EXPECT_EQ(code[small_size], filler);
    EXPECT_EQ(data[63], 0xC3);
    EXPECT_EQ(data[64], filler);
    EXPECT_EQ(r.symbols[0].location, r.release.objects[0].host_base + small_size - 1);
    EXPECT_EQ(r.symbols[1].location, r.release.objects[1].host_base + 63);
}

TEST_F(SiteBounds, EachKindOfBindingSiteIsCheckedWithItsLength) {
    const std::string tail = " outside object 1 of 0x100 bytes\n$";
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.redirects[0].offset = small_size - 4;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1), "^site redirect 0xfc\\+5" + tail);
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.stubs[0] = 64;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1), "^site stub 0x40\\+1 outside object 2 of 0x40 bytes\n$");
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.symbols[0].location = small_size;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1), "^site symbol 0x100\\+1" + tail);
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.symbols[1].location = 64;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1), "^site symbol 0x40\\+1 outside object 2 of 0x40 bytes\n$");
    // An offset near 4 GiB must not wrap back into the object.
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.redirects[0].offset = 0xFFFFFFFE;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1), "^site redirect 0xfffffffe\\+5" + tail);
}

// The release's own patch lists on an object 1 that ends just before the
// end of a chosen site; entry_stub is placed at offset 0 unless said.
void patch_sized(bool party, uint32_t code_bytes, uint32_t entry_offset = 0) {
    GuestObject *objects = synthetic_objects();
    objects[0].virtual_size = code_bytes;
    static GuestSymbol symbols[sym::count + 1];
    memcpy(symbols, party ? catalogue_offsets.party : catalogue_offsets.fix, sizeof symbols);
    symbols[sym::entry_stub].location = entry_offset;
    for (int i = 0; i < sym::count; i++) {
        symbols[i].location += objects[symbols[i].object - 1].host_base;
    }
    GuestRelease release = *(party ? &release_party : &release_fix);
    release.objects = objects;
    release.object_count = 2;
    release.symbols = symbols;
    apply_release_patches(release);
}

TEST_F(SiteBounds, PatchesStopAtTheFirstSiteBeyondTheObject) {
    // The last blank-palette hook of each release ends the highest patch.
    patch_sized(false, 139422 + 9);
    patch_sized(true, 139388 + 9);
    EXPECT_EXIT(patch_sized(false, 139422 + 8), testing::ExitedWithCode(1),
                "^site blank palette hook 0x2209d\\+10 outside object 1 of 0x220a6 bytes\n$");
    EXPECT_EXIT(patch_sized(true, 139388 + 8), testing::ExitedWithCode(1),
                "^site blank palette hook 0x2207b\\+10 outside object 1 of 0x22084 bytes\n$");
    // A tick operand needs all four of its bytes.
    EXPECT_EXIT(patch_sized(false, 122786 + 3), testing::ExitedWithCode(1),
                "^site tick operand 0x1dfa2\\+4 outside object 1 of 0x1dfa5 bytes\n$");
    EXPECT_EXIT(patch_sized(false, code_size, code_size - 12), testing::ExitedWithCode(1),
                "^site entry adapter 0x3fff4\\+13 outside object 1 of 0x40000 bytes\n$");
}

// Sites in an object the image does not have, as with a digest assigned to
// the wrong release or an image of fewer objects: refused before the object
// array, exactly as long as the image's, is read past its end.
TEST_F(SiteBounds, SitesInObjectsTheImageLacksAreRefused) {
    EXPECT_EXIT(
        {
            SmallRelease r;
            GuestObject *one = new GuestObject[1]{r.release.objects[0]};
            r.release.objects = one;
            r.release.object_count = 1;
            bind_guest(&r.release); // symbol 1 lies in object 2
        },
        testing::ExitedWithCode(1),
        "^site symbol 0x3f\\+1 in object 2, not among the image's 1 objects\n$");
    EXPECT_EXIT(
        {
            SmallRelease r;
            r.stub_groups[0].object = 3;
            bind_guest(&r.release);
        },
        testing::ExitedWithCode(1),
        "^site stub 0x3f\\+1 in object 3, not among the image's 2 objects\n$");
    EXPECT_EXIT(
        {
            GuestRelease release = release_fix;
            release.objects = synthetic_objects();
            release.object_count = 0;
            GuestSymbol symbols[sym::count + 1]; // unbound: still offsets
            memcpy(symbols, catalogue_offsets.fix, sizeof symbols);
            release.symbols = symbols;
            apply_release_patches(release);
        },
        testing::ExitedWithCode(1),
        "^site entry adapter 0x24a40\\+13 in object 1, not among the image's 0 objects\n$");
}

// The patch lists come with the release that was bound, whatever the Party
// flag says (a release outside the catalogue's two, or a flag set wrongly).
TEST(PatchesRun, ListsComeFromTheBoundReleaseNotTheFlag) {
    is_party_release = 0;
    GuestObject *objects = synthetic_objects();
    GuestRelease release = release_fix;
    release.objects = objects;
    release.object_count = 2;
    release.patches = release_party.patches;
    static GuestSymbol symbols[sym::count + 1];
    memcpy(symbols, catalogue_offsets.fix, sizeof symbols);
    for (int i = 0; i < sym::count; i++) {
        symbols[i].location += objects[symbols[i].object - 1].host_base;
    }
    release.symbols = symbols;
    apply_release_patches(release);
    const uint8_t *code = reinterpret_cast<uint8_t *>(objects[0].host_base);
    for (uint32_t t : {122642u, 122661u, 122754u}) {
        EXPECT_EQ(u32_at(code + t), addr(&tick_counter)) << t;
    }
    EXPECT_EQ(code[122674], filler);
    EXPECT_EQ(code[110896], 0x90);
}

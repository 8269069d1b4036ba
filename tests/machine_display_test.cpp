// Display and palette under SDL's dummy video driver, where the pixels and
// palettes of both surfaces can be read back.
#include <SDL.h>
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "binding/catalogue.h"
#include "machine/display.h"
#include "time/scheduler.h"

namespace {

// The guest variables the fade reads, reached through a synthetic symbol table.
float test_fade_scale = 1.0f;
int32_t test_fade_select = 0;
uint8_t test_guest_palette[768];
GuestSymbol test_symbols[sym::count + 1];

void point_symbols_at_test_data() {
    memset(test_symbols, 0, sizeof test_symbols);
    for (int i = 0; i < sym::count; i++) {
        test_symbols[i].object = 1;
    }
    test_symbols[sym::fade_scale].location = reinterpret_cast<uint32_t>(&test_fade_scale);
    test_symbols[sym::fade_select].location = reinterpret_cast<uint32_t>(&test_fade_select);
    test_symbols[sym::guest_palette].location = reinterpret_cast<uint32_t>(test_guest_palette);
    guest_symbols = test_symbols;
}

class Display : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Children run the test afresh instead of forking a process with SDL up.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        video_mutex = SDL_CreateMutex();
        ASSERT_NE(video_mutex, nullptr);
    }
    void SetUp() override {
        // Each test starts as the guest does: no mode set, windowed.
        screen = nullptr;
        frame_surface = nullptr;
        video_flags = SDL_DOUBLEBUF;
        // The 320x200 picture of square pixels at factor 1, unless a test
        // asks for another layout.
        square_pixels = 1;
        scale_factor = 1;
        memset(host_palette, 0, sizeof host_palette);
        memset(frame_pixels, 0, sizeof frame_pixels);
        test_fade_scale = 1.0f;
        test_fade_select = 0;
        point_symbols_at_test_data();
    }
};

// A palette of 256 distinct colours, all components below 64.
std::array<uint8_t, 768> distinct_palette() {
    std::array<uint8_t, 768> p{};
    for (int i = 0; i < 256; i++) {
        p[3 * i] = static_cast<uint8_t>(i % 64);
        p[3 * i + 1] = static_cast<uint8_t>(i / 4);
        p[3 * i + 2] = static_cast<uint8_t>((i * 7) % 64);
    }
    return p;
}

// Red, green and blue of 256 entries equal host_palette's (SDL keeps its own
// fourth byte).
bool same_colours(const SDL_Color *colours) {
    for (int i = 0; i < 256; i++) {
        if (colours[i].r != host_palette[i].r || colours[i].g != host_palette[i].g ||
            colours[i].b != host_palette[i].b) {
            return false;
        }
    }
    return true;
}

// The display surface's pixel at (x, y) and palette entry i in its format.
uint32_t shown_at(int x, int y) {
    const uint8_t *row = static_cast<const uint8_t *>(screen->pixels) + y * screen->pitch;
    return reinterpret_cast<const uint32_t *>(row)[x];
}
uint32_t colour_of(int i) {
    return SDL_MapRGB(screen->format, host_palette[i].r, host_palette[i].g, host_palette[i].b);
}

void fill_guest_palette(uint8_t value) {
    memset(test_guest_palette, value, sizeof test_guest_palette);
}

// Every red, green and blue byte of host_palette equals expected.
void expect_host_palette_all(uint8_t expected) {
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(host_palette[i].r, expected) << "entry " << i;
        ASSERT_EQ(host_palette[i].g, expected) << "entry " << i;
        ASSERT_EQ(host_palette[i].b, expected) << "entry " << i;
    }
}

// The 8-bit value a fade of one guest component c shows, for each c in cs.
std::vector<int> fade_of(int32_t code, std::initializer_list<uint8_t> cs) {
    std::vector<int> shown;
    for (uint8_t c : cs) {
        fill_guest_palette(c);
        fade_palette(code);
        shown.push_back(host_palette[0].r);
        EXPECT_EQ(host_palette[255].b, host_palette[0].r) << "all entries alike";
    }
    return shown;
}

TEST_F(Display, SetPaletteScalesSixBitValuesAndWrapsAboveSixtyThree) {
    uint8_t colours[768];
    memset(colours, 63, sizeof colours);
    host_palette[7].unused = 0x5A;
    set_palette(colours);
    expect_host_palette_all(252);
    EXPECT_EQ(host_palette[7].unused, 0x5A) << "the fourth byte is not touched";

    colours[0] = 64;
    colours[1] = 65;
    colours[2] = 0;
    set_palette(colours);
    EXPECT_EQ(host_palette[0].r, 0);
    EXPECT_EQ(host_palette[0].g, 4);
    EXPECT_EQ(host_palette[0].b, 0);

    set_palette(nullptr);
    EXPECT_EQ(host_palette[7].unused, 0) << "black clears all 1024 bytes";
    expect_host_palette_all(0);
}

TEST_F(Display, FadeCodesOfEachRange) {
    for (int c = 0; c < 768; c++) {
        test_guest_palette[c] = static_cast<uint8_t>(c % 64);
    }
    fade_palette(0x4000);
    for (int c = 0; c < 768; c++) {
        ASSERT_EQ((&host_palette[c / 3].r)[c % 3], (c % 64) * 4) << "plain, byte " << c;
    }
    EXPECT_EQ(fade_of(0x20FF, {63, 40, 1}), (std::vector<int>{31 * 4, 20 * 4, 0}));
    EXPECT_EQ(fade_of(0x00FF, {63, 0}), (std::vector<int>{0, 0}));
    EXPECT_EQ(fade_of(0x8000, {0, 30, 63}), (std::vector<int>{252, 252, 252}));
    EXPECT_EQ(fade_of(0x4100, {63, 0}), (std::vector<int>{62 * 4, 0}));

    test_fade_select = 1;
    EXPECT_EQ(fade_of(0x8000, {0, 63, 32}), (std::vector<int>{62 * 4, 0, 30 * 4}));
    EXPECT_EQ(fade_of(0x4100, {63, 0}), (std::vector<int>{62 * 4, 0}));
    test_fade_select = 0;
    EXPECT_EQ(fade_of(0x4000, {63}), (std::vector<int>{252})) << "select only matters above 64";
}

TEST_F(Display, FadeScaleClampsFromAboveOnly) {
    test_fade_scale = 2.0f;
    EXPECT_EQ(fade_of(0x4000, {40, 31}), (std::vector<int>{63 * 4, 62 * 4}));
    test_fade_scale = 0.5f;
    EXPECT_EQ(fade_of(0x4000, {63, 1}), (std::vector<int>{31 * 4, 0}));
    // A negative result keeps its low 8 bits: -5 is 0xFB, shown as 0xEC.
    test_fade_scale = -1.0f;
    EXPECT_EQ(fade_of(0x4000, {5, 0}), (std::vector<int>{0xEC, 0}));
    // Products beyond the int32 range do not crash: above clamps, below is 0.
    test_fade_scale = 1e30f;
    EXPECT_EQ(fade_of(0x4000, {1, 0}), (std::vector<int>{252, 0}));
    test_fade_scale = -1e30f;
    EXPECT_EQ(fade_of(0x4000, {1}), (std::vector<int>{0}));
}

TEST_F(Display, NegativeFadeLevelsRoundTowardsMinusInfinity) {
    // Level -1: (c x -1) >> 6 is -1 for every c from 1 to 64, stored as 0xFF.
    EXPECT_EQ(fade_of(-0x100, {10, 0}), (std::vector<int>{0xFC, 0}));
    // Only the bits above the low byte count.
    EXPECT_EQ(fade_of(0x20FF, {50}), fade_of(0x2000, {50}));
}

TEST_F(Display, FillPaletteSolidWritesTheGuestBufferAndUploads) {
    uint8_t guest_stack[0x20] = {};
    guest_stack[0x1C] = 10;
    guest_stack[0x18] = 20;
    guest_stack[0x14] = 30;
    std::vector<uint8_t> buffer(768 + 8, 0xEE);
    const uint32_t b = reinterpret_cast<uint32_t>(buffer.data() + 4);
    fill_palette_solid(1, 2, 3, reinterpret_cast<uint32_t>(guest_stack), b, 6, 7, 8);
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(buffer[4 + 3 * i], 10);
        ASSERT_EQ(buffer[4 + 3 * i + 1], 20);
        ASSERT_EQ(buffer[4 + 3 * i + 2], 30);
        ASSERT_EQ(host_palette[i].r, 40);
        ASSERT_EQ(host_palette[i].g, 80);
        ASSERT_EQ(host_palette[i].b, 120);
    }
    for (int i : {0, 1, 2, 3, 772, 773, 774, 775}) {
        EXPECT_EQ(buffer[i], 0xEE) << "canary " << i;
    }
}

TEST_F(Display, BeforeTheModeSetNothingIsDrawnAndTheKeyOnlyFlipsTheFlag) {
    std::vector<uint8_t> frame(64000, 9);
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    EXPECT_EQ(frame_pixels[0], 0);
    EXPECT_EQ(frame_pixels[63999], 0);
    EXPECT_EQ(guest_memset(video_memory, 3, 64000), 0u);

    auto p = distinct_palette();
    set_palette(p.data());
    EXPECT_EQ(host_palette[255].r, (255 % 64) * 4);

    toggle_fullscreen();
    EXPECT_EQ(video_flags, SDL_DOUBLEBUF | SDL_FULLSCREEN) << "no \"full\" exit";
    EXPECT_EQ(screen, nullptr);
    toggle_fullscreen();
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF));
}

TEST_F(Display, ModeSetShowsEveryPixelInTheLastPalette) {
    auto p = distinct_palette();
    set_palette(p.data()); // before the mode set: host_palette only
    set_mode_13h();
    ASSERT_NE(screen, nullptr);
    ASSERT_NE(frame_surface, nullptr);
    EXPECT_EQ(screen->w, 320);
    EXPECT_EQ(screen->h, 200);
    EXPECT_EQ(screen->format->BitsPerPixel, 32);
    EXPECT_EQ(frame_surface->pixels, frame_pixels);
    EXPECT_EQ(frame_surface->pitch, 320);
    EXPECT_TRUE(same_colours(frame_surface->format->palette->colors));

    std::vector<uint8_t> frame(64000);
    for (int i = 0; i < 64000; i++) {
        frame[i] = static_cast<uint8_t>(i * 31 + i / 320);
    }
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    EXPECT_EQ(memcmp(frame_pixels, frame.data(), 64000), 0);
    for (int y = 0; y < 200; y++) {
        for (int x = 0; x < 320; x++) {
            ASSERT_EQ(shown_at(x, y), colour_of(frame[y * 320 + x])) << x << "," << y;
        }
    }
}

TEST_F(Display, PaletteChangesReachBothSurfaces) {
    set_mode_13h();
    auto p = distinct_palette();
    p[3 * 200] = 37; // (148, 12, 104) in 8 bits
    p[3 * 200 + 1] = 3;
    p[3 * 200 + 2] = 26;
    set_palette(p.data());
    const SDL_Color *on_frame = frame_surface->format->palette->colors;
    EXPECT_EQ(on_frame[200].r, 148);
    EXPECT_EQ(on_frame[200].g, 12);
    EXPECT_EQ(on_frame[200].b, 104);
    std::vector<uint8_t> frame(64000, 200);
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    EXPECT_EQ(shown_at(7, 9), SDL_MapRGB(screen->format, 148, 12, 104));

    blank_palette();
    EXPECT_EQ(on_frame[200].r, 0);
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    EXPECT_EQ(shown_at(7, 9), SDL_MapRGB(screen->format, 0, 0, 0));
}

TEST_F(Display, ScreenClearFillsTheDisplayOnlyWhateverTheCount) {
    auto p = distinct_palette();
    set_palette(p.data());
    set_mode_13h();
    frame_pixels[100] = 77;
    // Only the low byte counts, as in an 8-bit fill.
    EXPECT_EQ(guest_memset(video_memory, 0x305, 1), 0u);
    EXPECT_EQ(shown_at(0, 0), colour_of(5));
    EXPECT_EQ(shown_at(319, 199), colour_of(5));
    EXPECT_EQ(frame_pixels[100], 77);
}

// A player's step ends at the next picture presented, a whole-screen clear
// as much as a frame copy.
TEST_F(Display, AStepEndsAtAClearAsAtACopy) {
    set_mode_13h();
    sched_hold();
    sched_step();
    guest_memset(video_memory, 3, 64000);
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    sched_step();
    std::vector<uint8_t> frame(64000, 1);
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    sched_resume();
}

TEST_F(Display, OtherFillsAndCopiesArePlainMemoryOperations) {
    std::vector<uint8_t> memory(64008, 0xEE);
    const uint32_t dst = reinterpret_cast<uint32_t>(memory.data() + 4);
    EXPECT_EQ(guest_memset(dst, 0x1234, 64000), dst);
    EXPECT_EQ(memory[4], 0x34);
    EXPECT_EQ(memory[64003], 0x34);
    EXPECT_EQ(memory[3], 0xEE);
    EXPECT_EQ(memory[64004], 0xEE);

    set_mode_13h();
    guest_memset(video_memory, 1, 64000);
    std::vector<uint8_t> src(64000, 0x42);
    copy_frame(reinterpret_cast<uint32_t>(src.data()), dst, 64000);
    EXPECT_EQ(memory[4], 0x42);
    EXPECT_EQ(memory[64003], 0x42);
    EXPECT_EQ(memory[64004], 0xEE);
    EXPECT_EQ(frame_pixels[0], 0) << "nothing drawn";
    EXPECT_EQ(shown_at(0, 0), colour_of(1));
    copy_frame(reinterpret_cast<uint32_t>(src.data()), dst, 0);
}

TEST_F(Display, PartialAccessToTheVideoWindowEndsWithAMessage) {
    std::vector<uint8_t> src(64000);
    const uint32_t s = reinterpret_cast<uint32_t>(src.data());
    EXPECT_EXIT(copy_frame(s, video_memory, 320), testing::ExitedWithCode(1), "^vmem 0xa0000\n$");
    EXPECT_EXIT(copy_frame(s, video_memory + 320, 64000), testing::ExitedWithCode(1),
                "^vmem 0xa0140\n$");
    EXPECT_EXIT(guest_memset(video_memory + 1, 0, 10), testing::ExitedWithCode(1),
                "^vmem 0xa0001\n$");
    EXPECT_EXIT(copy_frame(video_memory, s, 64000), testing::ExitedWithCode(1), "^vmem 0xa0000\n$");
}

// The dummy driver's desktop is 1024x768: windows of whole factors within
// nine tenths of it, full screen at its own size.
TEST_F(Display, WindowSizesFollowTheDesktopAndTheOptions) {
    const struct {
        int square, factor, w, h;
    } cases[] = {{0, 0, 640, 480}, {1, 0, 640, 400}, {0, 3, 960, 720}, {1, 1, 320, 200}};
    for (const auto &c : cases) {
        square_pixels = c.square;
        scale_factor = c.factor;
        set_mode_13h();
        EXPECT_EQ(screen->w, c.w) << c.square << " " << c.factor;
        EXPECT_EQ(screen->h, c.h) << c.square << " " << c.factor;
    }
}

// 16:10 full screen: 1024x640 from line 64, guest columns and lines of 3 or
// 4 pixels; black above and below, also after a whole-screen fill.
TEST_F(Display, FullScreenPictureIsCentredInWholeBlocks) {
    auto p = distinct_palette();
    set_palette(p.data());
    video_flags |= SDL_FULLSCREEN;
    scale_factor = 0;
    set_mode_13h();
    ASSERT_EQ(screen->w, 1024);
    ASSERT_EQ(screen->h, 768);
    std::vector<uint8_t> frame(64000);
    for (int i = 0; i < 64000; i++) {
        frame[i] = static_cast<uint8_t>(i * 13 + i / 320 * 5);
    }
    copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
    std::vector<int> column(1024, -1), line(768, -1);
    for (int g = 0; g < 320; g++) {
        for (int X = g * 1024 / 320; X < (g + 1) * 1024 / 320; X++) {
            column[X] = g;
        }
    }
    for (int g = 0; g < 200; g++) {
        for (int Y = g * 640 / 200; Y < (g + 1) * 640 / 200; Y++) {
            line[64 + Y] = g;
        }
    }
    const uint32_t black = SDL_MapRGB(screen->format, 0, 0, 0);
    int wrong = 0;
    for (int Y = 0; Y < 768; Y++) {
        for (int X = 0; X < 1024; X++) {
            const uint32_t want = line[Y] < 0 ? black : colour_of(frame[line[Y] * 320 + column[X]]);
            wrong += shown_at(X, Y) != want;
        }
    }
    EXPECT_EQ(wrong, 0);
    guest_memset(video_memory, 9, 64000);
    EXPECT_EQ(shown_at(0, 63), black);
    EXPECT_EQ(shown_at(0, 64), colour_of(9));
    EXPECT_EQ(shown_at(1023, 703), colour_of(9));
    EXPECT_EQ(shown_at(1023, 704), black);
}

// The host has nothing mapped at these low addresses: a call the check lets
// through faults in the plain memory path. AddressSanitizer reports that fault
// and exits with its own status instead.
static bool faulted(int status) {
#ifdef LUMOX_SANITIZED
    if (WIFEXITED(status) && WEXITSTATUS(status) == LUMOX_ASAN_EXIT_CODE) {
        return true;
    }
#endif
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

TEST_F(Display, TheVideoWindowCheckCoversItsFirstAndLastByteOnly) {
    std::vector<uint8_t> buffer(16);
    const uint32_t b = reinterpret_cast<uint32_t>(buffer.data());
    EXPECT_EXIT(guest_memset(0xAFFFF, 0, 1), testing::ExitedWithCode(1), "^vmem 0xaffff\n$");
    EXPECT_EXIT(guest_memset(0x9FFFF, 0, 2), testing::ExitedWithCode(1), "^vmem 0x9ffff\n$");
    EXPECT_EXIT(copy_frame(b, 0xAFFFF, 1), testing::ExitedWithCode(1), "^vmem 0xaffff\n$");
    EXPECT_EXIT(copy_frame(0x9FFF1, b, 16), testing::ExitedWithCode(1), "^vmem 0x9fff1\n$");
    EXPECT_EXIT(copy_frame(0x9FFF0, b, 16), faulted, "");
    EXPECT_EXIT(guest_memset(0x9FFFF, 0, 1), faulted, "");
    EXPECT_EXIT(guest_memset(0xB0000, 0, 1), faulted, "");
    EXPECT_EXIT(copy_frame(b, 0xB0000, 1), faulted, "");
    EXPECT_EQ(guest_memset(0xA0001, 0, 0), 0xA0001u) << "nothing to fill";
}

// Guest buffers may overlap; the copy keeps the source's bytes.
TEST_F(Display, OverlappingPlainCopiesMoveTheBytes) {
    std::vector<uint8_t> memory(70000);
    for (size_t i = 0; i < memory.size(); i++) {
        memory[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    const std::vector<uint8_t> before = memory;
    const uint32_t base = reinterpret_cast<uint32_t>(memory.data());
    copy_frame(base, base + 3, 64000);
    EXPECT_EQ(memcmp(memory.data() + 3, before.data(), 64000), 0) << "forwards";
    const std::vector<uint8_t> middle = memory;
    copy_frame(base + 5000, base + 4999, 64000);
    EXPECT_EQ(memcmp(memory.data() + 4999, middle.data() + 5000, 64000), 0) << "backwards";
}

TEST_F(Display, ToggleKeepsTheFrameSurfaceAndItsPalette) {
    auto p = distinct_palette();
    set_mode_13h();
    set_palette(p.data());
    SDL_Surface *frame = frame_surface;
    toggle_fullscreen();
    EXPECT_EQ(video_flags, SDL_DOUBLEBUF | SDL_FULLSCREEN);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(frame_surface, frame);
    EXPECT_TRUE(same_colours(frame->format->palette->colors));
    frame_pixels[0] = 17;
    copy_frame(reinterpret_cast<uint32_t>(frame_pixels), video_memory, 64000);
    // The dummy desktop is 1024x768: the 16:10 picture is 1024x640, centred.
    ASSERT_EQ(screen->w, 1024);
    ASSERT_EQ(screen->h, 768);
    EXPECT_EQ(shown_at(0, 64), colour_of(17)) << "the colour table follows the new surface";
    EXPECT_EQ(shown_at(0, 63), SDL_MapRGB(screen->format, 0, 0, 0));
    toggle_fullscreen();
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF));
}

TEST_F(Display, LockFailuresNameTheirSite) {
    set_mode_13h();
    SDL_mutex *real = video_mutex;
    video_mutex = nullptr;
    EXPECT_EXIT(set_palette(nullptr), testing::ExitedWithCode(1), "^ownvmutex at 101 .+\n$");
    EXPECT_EXIT(set_mode_13h(), testing::ExitedWithCode(1), "^ownvmutex at 121 .+\n$");
    EXPECT_EXIT(resize_display(400, 300), testing::ExitedWithCode(1), "^ownvmutex at 251 .+\n$");
    EXPECT_EXIT(guest_memset(video_memory, 0, 1), testing::ExitedWithCode(1),
                "^ownvmutex at 211 .+\n$");
    EXPECT_EXIT(toggle_fullscreen(), testing::ExitedWithCode(1), "^ownvmutex at 234 .+\n$");
    video_mutex = real;
    // Unlocking a mutex this thread does not hold fails.
    EXPECT_EXIT(disown_vmutex(185), testing::ExitedWithCode(1), "^disownvmutex at 185 .+\n$");
}

// Shutdown is final for the process, so these run in child processes.
TEST_F(Display, AfterReleaseFramesClearsAndUploadsLeaveTheSurfacesAlone) {
    EXPECT_EXIT(
        {
            set_mode_13h();
            release_display();
            if (screen || frame_surface) {
                exit(2);
            }
            std::vector<uint8_t> frame(64000, 9);
            copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
            guest_memset(video_memory, 0, 64000);
            auto p = distinct_palette();
            set_palette(p.data());
            set_mode_13h(); // a mode set during shutdown is ignored
            toggle_fullscreen();
            exit(frame_pixels[0] == 0 && host_palette[1].r == 4 && !screen ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Display, ReleaseInsideASectionOfItsOwnThreadDoesNotWait) {
    EXPECT_EXIT(
        {
            set_mode_13h();
            own_vmutex(179);
            const Uint32 start = SDL_GetTicks();
            release_display();
            exit(SDL_GetTicks() - start < 100 && !screen ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Display, ReleaseWaitsForASectionOnAnotherThread) {
    EXPECT_EXIT(
        {
            set_mode_13h();
            std::atomic<int> inside{0};
            std::atomic<int> left{0};
            std::thread other([&] {
                own_vmutex(179);
                inside = 1;
                SDL_Delay(100);
                left = 1;
                disown_vmutex(185);
            });
            while (!inside) {
                SDL_Delay(1);
            }
            release_display();
            const int ok = left && !screen && !frame_surface;
            other.join();
            exit(ok ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
}

// A fatal error on another thread (the audio thread in a player pass) while
// this one holds the mutex and never lets go: the exit must still finish.
TEST_F(Display, FatalOnAnotherThreadWhileTheMutexIsHeldStillExits) {
    EXPECT_EXIT(
        {
            set_mode_13h();
            atexit(release_display);
            own_vmutex(101);
            std::thread audio([] { exit(1); });
            audio.join(); // never returns: the process ends first
            SDL_Delay(10000);
            exit(2);
        },
        testing::ExitedWithCode(1), "");
}

} // namespace

// The video mutex around the display's work: every SDL call that draws, flips
// or sets a mode happens while the mutex is held, and nothing else is locked.
// Recording stand-ins for those SDL calls forward to the library's own.
#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "machine/display.h"

static std::string calls;
static int held = 0;

template <typename F> static F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// SDL's own calls between threads of its own use other mutexes: only the
// video mutex is recorded.
int SDL_mutexP(SDL_mutex *m) {
    static auto next = real<int (*)(SDL_mutex *)>("SDL_mutexP");
    if (m && m == video_mutex) {
        held++;
        calls += "lock ";
    }
    return next(m);
}

int SDL_mutexV(SDL_mutex *m) {
    static auto next = real<int (*)(SDL_mutex *)>("SDL_mutexV");
    if (m && m == video_mutex) {
        held--;
        calls += "unlock ";
    }
    return next(m);
}

static void note(const char *what) {
    calls += held > 0 ? what : std::string("UNLOCKED-") + what;
    calls += ' ';
}

SDL_Surface *SDL_SetVideoMode(int w, int h, int bpp, Uint32 flags) {
    static auto next = real<SDL_Surface *(*)(int, int, int, Uint32)>("SDL_SetVideoMode");
    note("mode");
    return next(w, h, bpp, flags);
}

int SDL_Flip(SDL_Surface *s) {
    static auto next = real<int (*)(SDL_Surface *)>("SDL_Flip");
    note("flip");
    return next(s);
}

int SDL_FillRect(SDL_Surface *s, SDL_Rect *r, Uint32 colour) {
    static auto next = real<int (*)(SDL_Surface *, SDL_Rect *, Uint32)>("SDL_FillRect");
    note("fill");
    return next(s, r, colour);
}

namespace {

// Locked sections holding the expected calls in order (a frame is copied
// under the lock, then drawn under it). The library may make calls of its
// own inside a mode set (the classic one fills and flips there), so others
// may come between them; none may come outside the lock.
void expect_section(const std::vector<std::string> &expected) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : calls) {
        if (c == ' ') {
            tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    ASSERT_GE(tokens.size(), 2u) << calls;
    EXPECT_EQ(tokens.front(), "lock") << calls;
    EXPECT_EQ(tokens.back(), "unlock") << calls;
    size_t next = 0;
    for (size_t i = 1; i + 1 < tokens.size(); i++) {
        EXPECT_TRUE(tokens[i] == "mode" || tokens[i] == "fill" || tokens[i] == "flip" ||
                    tokens[i] == "lock" || tokens[i] == "unlock")
            << calls;
        if (next < expected.size() && tokens[i] == expected[next]) {
            next++;
        }
    }
    EXPECT_EQ(next, expected.size()) << calls;
    calls.clear();
}

TEST(VideoMutex, HeldAroundExactlyTheDisplayWork) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    video_mutex = SDL_CreateMutex();
    square_pixels = 1;
    scale_factor = 1;
    std::vector<uint8_t> frame(64000, 3);
    const uint32_t src = reinterpret_cast<uint32_t>(frame.data());

    // Before the mode set there is nothing to draw on.
    calls.clear();
    copy_frame(src, video_memory, 64000);
    EXPECT_EQ(calls, "");

    calls.clear();
    set_mode_13h();
    expect_section({"mode", "fill", "flip"});

    calls.clear();
    set_palette(nullptr);
    expect_section({});

    // A frame waits for its refresh; it is flipped under the lock then.
    calls.clear();
    copy_frame(src, video_memory, 64000);
    present_waiting_frames();
    expect_section({"flip"});

    calls.clear();
    std::vector<uint8_t> other(64000);
    copy_frame(src, reinterpret_cast<uint32_t>(other.data()), 64000);
    EXPECT_EQ(calls, "") << "a plain copy is no display work";

    calls.clear();
    guest_memset(video_memory, 1, 64000);
    present_waiting_frames();
    expect_section({"flip"});

    // A new surface is drawn again from the frame before it is flipped.
    calls.clear();
    toggle_fullscreen();
    expect_section({"mode", "fill", "flip"});
    calls.clear();
    toggle_fullscreen();
    expect_section({"mode", "fill", "flip"});

    calls.clear();
    copy_frame(src, video_memory, 64000);
    present_waiting_frames();
    expect_section({"flip"});
    resize_display(400, 300);
    expect_section({"mode", "fill", "flip"});

    // The size it has already: nothing to set.
    calls.clear();
    resize_display(400, 300);
    expect_section({});
    EXPECT_EQ(held, 0);
    SDL_Quit();
}

// Shutdown on one thread while another is inside a section for longer than
// shutdown waits: the surfaces are not cleared under the section, which may
// still use them, and no later section touches them. In a child of its own:
// the display stays closed.
TEST(VideoMutexDeathTest, ShutdownLeavesTheSurfacesToASectionItCannotWaitFor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SDL_Init(SDL_INIT_VIDEO);
            video_mutex = SDL_CreateMutex();
            set_mode_13h();
            std::atomic<int> stage{0};
            bool kept = false;
            std::thread section([&] {
                own_vmutex(1);
                stage = 1;
                while (stage.load() != 2) {
                    SDL_Delay(1);
                }
                kept = screen != nullptr && frame_surface != nullptr;
                disown_vmutex(2);
            });
            while (stage.load() != 1) {
                SDL_Delay(1);
            }
            release_display(); // gives up waiting after its limit
            stage = 2;
            section.join();
            calls.clear();
            std::vector<uint8_t> frame(64000, 3);
            copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
            set_palette(nullptr);
            fprintf(stderr, "kept %d, drawn after: %s\n", kept,
                    calls.find("flip") != std::string::npos ? "yes" : "no");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "kept 1, drawn after: no\n");
}

} // namespace

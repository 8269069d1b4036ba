// The exit handler's order, seen from a stand-in SDL_Quit: by then the display
// is released, the muted timer removed, audio paused and the sound lock free
// for the audio or timer thread that SDL_Quit waits for, also when the exit
// comes from inside a locked section.
#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

#include "machine/display.h"
#include "shell/host.h"
#include "sound/sound.h"
#include "sound/timer.h"

using ::testing::ExitedWithCode;

static std::string calls;
static int fake_timer;

// Whether another thread gets the sound lock within a second.
static bool lock_free_elsewhere() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done] {
        sound_lock();
        sound_unlock();
        *done = true;
    }).detach();
    for (int waited = 0; waited < 1000 && !*done; waited++) {
        SDL_Delay(1);
    }
    return *done;
}

void SDL_Quit() {
    calls += "quit ";
    fprintf(stderr, "at quit: screen %s, frame %s, timer %s, lock %s, %s\n",
            screen ? "held" : "released", frame_surface ? "held" : "released",
            timer_id.load() ? "ticking" : "removed", lock_free_elsewhere() ? "free" : "held",
            calls.c_str());
}
SDL_bool SDL_RemoveTimer(SDL_TimerID id) {
    calls += id == reinterpret_cast<SDL_TimerID>(&fake_timer) ? "remove " : "remove-other ";
    return SDL_TRUE;
}
void SDL_PauseAudio(int pause_on) {
    calls += pause_on ? "pause1 " : "pause0 ";
}
SDL_GrabMode SDL_WM_GrabInput(SDL_GrabMode mode) {
    calls += mode == SDL_GRAB_ON ? "grab " : mode == SDL_GRAB_OFF ? "release " : "query ";
    return mode;
}

static SDL_Surface fake_screen, fake_frame;

static void set_up_running_host() {
    mute = 1;
    screen = &fake_screen;
    frame_surface = &fake_frame;
    timer_id = reinterpret_cast<SDL_TimerID>(&fake_timer);
    atexit(shutdown_host);
}

const char expected_line[] = "at quit: screen released, frame released, timer removed, lock free, "
                             "remove pause1 grab release quit \n$";

TEST(Shutdown, EverythingIsLetGoBeforeSdlQuitsAndTheFarewellComesLast) {
    EXPECT_EXIT(
        {
            set_up_running_host();
            exit(0);
        },
        ExitedWithCode(0), std::string("^") + expected_line);
}

TEST(Shutdown, AnExitFromInsideALockedSectionLetsGoOfTheLockFirst) {
    EXPECT_EXIT(
        {
            set_up_running_host();
            sound_lock();
            sound_lock();
            exit(3);
        },
        ExitedWithCode(3), std::string("^") + expected_line);
}

TEST(Shutdown, FarewellLineExactlyOnStdout) {
    EXPECT_EXIT(
        {
            set_up_running_host();
            fflush(stdout);
            // The death test's stderr is what is matched: show stdout there.
            dup2(2, 1);
            exit(0);
        },
        ExitedWithCode(0), "quit \n\nHave a nice day\n$");
}

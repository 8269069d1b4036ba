// The event pump with synthetic SDL events, and the tick formula.
#include <SDL.h>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include "machine/display.h"
#include "machine/events.h"
#include "time/scheduler.h"

namespace {

class EventPump : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Children run the test afresh instead of forking a process with SDL up.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER), 0) << SDL_GetError();
        video_mutex = SDL_CreateMutex();
    }
    void SetUp() override {
        SDL_Event drop;
        while (SDL_PollEvent(&drop)) {
        }
        escape_pending = 0;
        quit_requested = 0;
        screen = nullptr;
        frame_surface = nullptr;
        video_flags = SDL_DOUBLEBUF;
    }
};

void push_key(Uint8 type, SDLKey key) {
    SDL_Event event{};
    event.type = type;
    event.key.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = key;
    ASSERT_EQ(SDL_PushEvent(&event), 0) << SDL_GetError();
}

void push_keystroke(SDLKey key) {
    push_key(SDL_KEYDOWN, key);
    push_key(SDL_KEYUP, key);
}

void push_quit() {
    SDL_Event event{};
    event.type = SDL_QUIT;
    ASSERT_EQ(SDL_PushEvent(&event), 0);
}

// Stands in for the host's shutdown: proves the exit handlers run.
void farewell() {
    fprintf(stderr, "farewell\n");
}

TEST_F(EventPump, EscapeActsOnReleaseAndIsHandedOverOnce) {
    push_key(SDL_KEYDOWN, SDLK_ESCAPE);
    EXPECT_EQ(poll_events(), 0) << "held, not yet released";
    EXPECT_EQ(read_key(), 0);
    push_key(SDL_KEYUP, SDLK_ESCAPE);
    EXPECT_EQ(poll_events(), -1);
    EXPECT_EQ(poll_events(), -1) << "stays pending until read";
    EXPECT_EQ(read_key(), 27);
    EXPECT_EQ(poll_events(), 0);
    EXPECT_EQ(read_key(), 0);
}

TEST_F(EventPump, TwoEscapesBeforeOneReadAreOne) {
    push_keystroke(SDLK_ESCAPE);
    push_keystroke(SDLK_ESCAPE);
    EXPECT_EQ(poll_events(), -1);
    push_keystroke(SDLK_ESCAPE);
    EXPECT_EQ(poll_events(), -1);
    EXPECT_EQ(read_key(), 27);
    EXPECT_EQ(read_key(), 0);
}

TEST_F(EventPump, ReadKeyNeitherPollsNorCounts) {
    push_keystroke(SDLK_ESCAPE);
    tick_counter = -5;
    EXPECT_EQ(read_key(), 0) << "the event is still queued";
    EXPECT_EQ(tick_counter, -5);
    EXPECT_EQ(poll_events(), -1);
}

TEST_F(EventPump, OtherKeysAndEventsChangeNothing) {
    // Enter without Alt, and '.' while not paused, are no keys either.
    for (SDLKey key :
         {SDLK_a, SDLK_RETURN, SDLK_SPACE, SDLK_F1, SDLK_e, SDLK_g, SDLK_h, SDLK_r, SDLK_PERIOD}) {
        push_keystroke(key);
    }
    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    SDL_PushEvent(&motion);
    EXPECT_EQ(poll_events(), 0);
    EXPECT_EQ(read_key(), 0);
    EXPECT_EQ(quit_requested, 0);
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF));
    SDL_Event left;
    EXPECT_EQ(SDL_PollEvent(&left), 0) << "the queue was drained";
}

// Paused, the clock stands still; a step moves it 5 ms a poll, without
// sleeping, and ends at the next frame slot, so steps' frames lie one slot
// (14.27 ms) apart; the resume goes on from there. (A poll while held
// returns only on a queued step or resume.)
TEST_F(EventPump, PauseHoldsTheClockAndStepsEndOnSuccessiveFrameSlots) {
    push_keystroke(SDLK_p);
    push_keystroke(SDLK_PERIOD);
    poll_events();
    const uint32_t stepped_ms = sched_ms();
    SDL_Delay(100);
    EXPECT_EQ(sched_ms(), stepped_ms) << "a step runs on its own clock";
    EXPECT_EQ(sched_live_state(), LiveClock::stepping);
    sched_frame();
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    const uint32_t first_ms = sched_ms();
    uint32_t frame_ms = first_ms;
    for (int step = 0; step < 3; step++) {
        push_keystroke(SDLK_PERIOD);
        poll_events();
        sched_frame();
        EXPECT_EQ(sched_live_state(), LiveClock::held);
        EXPECT_NEAR(sched_ms() - frame_ms, 14.5, 0.5);
        frame_ms = sched_ms();
    }
    EXPECT_NEAR(frame_ms - first_ms, 42.5, 0.5) << "three slots of 1796/125875 s";
    // Running again, the clock gains no more than SDL's since the resume.
    push_keystroke(SDLK_p);
    const Uint32 before = SDL_GetTicks();
    poll_events();
    EXPECT_EQ(sched_live_state(), LiveClock::running);
    EXPECT_LE(sched_ms() - frame_ms, SDL_GetTicks() - before) << "the resume jumped";
}

TEST_F(EventPump, FTogglesOnReleaseEvenBeforeTheModeSet) {
    push_key(SDL_KEYDOWN, SDLK_f);
    poll_events();
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF));
    push_key(SDL_KEYUP, SDLK_f);
    poll_events();
    EXPECT_EQ(video_flags, SDL_DOUBLEBUF | SDL_FULLSCREEN);

    set_mode_13h();
    SDL_Surface *frame = frame_surface;
    push_keystroke(SDLK_f);
    poll_events();
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF));
    EXPECT_NE(screen, nullptr);
    EXPECT_EQ(frame_surface, frame);
}

TEST_F(EventPump, PollRefreshesTheTickCounterAndSleeps) {
    const Uint32 before = SDL_GetTicks();
    poll_events();
    const Uint32 after = SDL_GetTicks();
    EXPECT_GE(tick_counter, ticks_for_ms(before));
    EXPECT_LE(tick_counter, ticks_for_ms(after));
    EXPECT_GE(after - before, 5u);
}

TEST_F(EventPump, QReleaseEndsTheProcessWithStatusZeroAfterTheHandlers) {
    EXPECT_EXIT(
        {
            atexit(farewell);
            push_key(SDL_KEYDOWN, SDLK_q);
            poll_events();
            fprintf(stderr, "survived the press\n");
            push_key(SDL_KEYUP, SDLK_q);
            push_keystroke(SDLK_ESCAPE); // a pending Escape does not hold it up
            poll_events();
            exit(3);
        },
        testing::ExitedWithCode(0), "^survived the press\nfarewell\n$");
}

TEST_F(EventPump, CloseRequestEndsTheProcessWithStatusZero) {
    EXPECT_EXIT(
        {
            atexit(farewell);
            push_quit();
            poll_events();
            exit(3);
        },
        testing::ExitedWithCode(0), "^farewell\n$");
}

TEST_F(EventPump, ToggleAfterQInOneBatchStillRuns) {
    EXPECT_EXIT(
        {
            atexit([] { fprintf(stderr, "flags %x\n", video_flags); });
            push_keystroke(SDLK_q);
            push_keystroke(SDLK_f);
            poll_events();
        },
        testing::ExitedWithCode(0), "^flags c0000000\n$");
}

// The guest's own formula in double precision, for the values it gives.
TEST(Ticks, ValuesOfTheGuestFormula) {
    const std::pair<uint32_t, int32_t> cases[] = {
        {0, 0},        {54, 0},          {55, 1},
        {1000, 18},    {5000, 91},       {10000, 182},
        {60000, 1092}, {3600000, 65520}, {4294967295u, 78168404},
    };
    for (auto [t, ticks] : cases) {
        EXPECT_EQ(ticks_for_ms(t), ticks) << "t = " << t;
    }
}

unsigned short x87_control_word() {
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}

void set_x87_control_word(unsigned short control) {
    __asm__ volatile("fldcw %0" : : "m"(control));
}

// Independent of the quotient in the code: whole 5000 ms periods and the rest.
int32_t reference_ticks(uint32_t t) {
    return static_cast<int32_t>((t / 5000u) * 91u + (t % 5000u) * 91u / 5000u);
}

TEST(Ticks, ExactOverTheWholeRangeAtExtendedPrecision) {
    const unsigned short saved = x87_control_word();
    set_x87_control_word(0x37F); // 64-bit mantissas, as Linux starts a process
    // The naive expression is one tick short here; the counter must not be.
    volatile double t = 5000;
    EXPECT_EQ(static_cast<int32_t>(t * 18.2 / 1000.0), 90) << "x87 not at 64-bit precision";
    EXPECT_EQ(ticks_for_ms(5000), 91);

    int failures = 0;
    auto check = [&](uint32_t ms) {
        if (ticks_for_ms(ms) != reference_ticks(ms) && ++failures <= 5) {
            ADD_FAILURE() << "t = " << ms << ": " << ticks_for_ms(ms) << " vs "
                          << reference_ticks(ms);
        }
    };
    // Every multiple of 5000 and its neighbours, where rounding would slip.
    for (uint64_t m = 0; m <= 0xFFFFFFFFull; m += 5000) {
        for (int d = -1; d <= 1; d++) {
            const uint64_t ms = m + d;
            if (ms <= 0xFFFFFFFFull) {
                check(static_cast<uint32_t>(ms));
            }
        }
    }
    // And a dense stride across the range that meets every residue mod 5000.
    for (uint64_t ms = 0; ms <= 0xFFFFFFFFull; ms += 4093) {
        check(static_cast<uint32_t>(ms));
    }
    check(0xFFFFFFFFu);
    EXPECT_EQ(failures, 0);
    set_x87_control_word(saved);
}

} // namespace

// The scheduler itself: exact steps over hours, the event queue's order, the
// stall watch's accounts, and the live clock's pause and step. Each TEST runs
// in a process of its own (ctest), so each picks its driver.
#include <SDL.h>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "time/scheduler.h"

namespace {

std::string order;
std::vector<DemoTime> stream_calls;

void on_music(DemoTime due) {
    order += "music@" + std::to_string(due) + " ";
    EXPECT_EQ(sched_now(), due);
}
void on_slot(DemoTime due) {
    order += "slot@" + std::to_string(due) + " ";
    // A handler that polls or presents starts no advance of its own.
    sched_poll(nullptr);
    sched_frame();
    EXPECT_EQ(sched_now(), due);
}
void on_escape(DemoTime due) {
    order += "escape@" + std::to_string(due) + " ";
}
void record_stream(DemoTime to) {
    stream_calls.push_back(to);
}

int64_t thread_cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Spins this thread for ms of its own CPU time.
void spin_cpu_ms(int64_t ms) {
    const int64_t until = thread_cpu_ms() + ms;
    while (thread_cpu_ms() < until) {
    }
}

// Demo time: polls and frames move it by exact steps; events at equal times
// run in the queue's order, each at its own time, after the stream has been
// produced up to it; an hour of polls is exactly an hour.
TEST(Scheduler, DemoTimeIsExactAndEventsRunInOrderAtTheirTimes) {
    // The test's own work is host work: the stall watch leaves it alone.
    const HostCall busy;
    sched_start(TimeDriver::demo);
    sched_set_stream(record_stream);
    EXPECT_EQ(sched_ms(), 0u);
    sched_poll(nullptr);
    EXPECT_EQ(sched_now(), 5 * demo_units_per_ms);
    // The next refresh strictly after now, also from a slot boundary.
    EXPECT_EQ(sched_frame(), frame_slot_units);
    EXPECT_EQ(sched_frame(), 2 * frame_slot_units);

    const DemoTime t = 2 * frame_slot_units + 100;
    sched_at(Event::escape, t, on_escape);
    sched_at(Event::video_slot, t, on_slot);
    sched_at(Event::music_tick, t, on_music);
    sched_at(Event::step_end, t + 10 * demo_units_per_ms, on_escape); // stays queued
    stream_calls.clear();
    sched_poll(nullptr);
    const std::string at = std::to_string(t);
    EXPECT_EQ(order, "music@" + at + " slot@" + at + " escape@" + at + " ");
    EXPECT_EQ(stream_calls, (std::vector<DemoTime>{t, t, t, t - 100 + 5 * demo_units_per_ms}));
    sched_cancel(Event::step_end);

    // An hour of polls from a slot boundary: exactly 3600 s more, tick
    // milliseconds included, and the frame slots still whole.
    const DemoTime before = sched_now();
    for (int i = 0; i < 720000; i++) {
        sched_poll(nullptr);
    }
    EXPECT_EQ(sched_now(), before + 3600 * demo_units_per_second);
    EXPECT_EQ(sched_ms(), static_cast<uint32_t>((before / demo_units_per_ms) + 3600000));
    EXPECT_EQ(next_frame_slot(3600 * demo_units_per_second) % frame_slot_units, 0);
    EXPECT_EQ(sched_stall_advances(), 0u);
}

// The timer on demo time: each tick at the interval the last one returned;
// a tick that restarts the timer is not rescheduled on top of it.
std::vector<DemoTime> ticks;
Uint32 tick_every_7(Uint32, void *) {
    ticks.push_back(sched_now());
    return ticks.size() < 4 ? 7 : 0;
}
Uint32 tick_restarting(Uint32, void *) {
    ticks.push_back(sched_now());
    if (ticks.size() == 1) {
        sched_timer_start(3, tick_every_7);
    }
    return 50;
}

TEST(Scheduler, TheTimersTicksOnDemoTime) {
    const HostCall busy;
    sched_start(TimeDriver::demo);
    sched_timer_start(10, tick_every_7);
    for (int i = 0; i < 20; i++) {
        sched_poll(nullptr);
    }
    const DemoTime ms = demo_units_per_ms;
    EXPECT_EQ(ticks, (std::vector<DemoTime>{10 * ms, 17 * ms, 24 * ms, 31 * ms}));
    ticks.clear();
    const DemoTime start = sched_now();
    sched_timer_start(5, tick_restarting);
    for (int i = 0; i < 10; i++) {
        sched_poll(nullptr);
    }
    EXPECT_EQ(ticks, (std::vector<DemoTime>{start + 5 * ms, start + 8 * ms, start + 15 * ms,
                                            start + 22 * ms}));
}

// A poll starts the stall count again; a guest that spins on without one is
// moved on a slot at a time. (Sleep and slow host routines are no stall:
// RenderTime.ReproducibleUnderStarvationAndASlowHostRoutine.)
TEST(Scheduler, TheStallWatchCountsTheGuestsOwnTimeOnly) {
    sched_start(TimeDriver::demo);
    sched_poll(nullptr);
    spin_cpu_ms(300);
    sched_poll(nullptr);
    spin_cpu_ms(300);
    EXPECT_EQ(sched_stall_advances(), 0u) << "a poll is progress";
    // A guest that spins on: demo time moves on by itself, a slot at a time.
    const DemoTime before = sched_now();
    spin_cpu_ms(stall_limit_ns / 1000000 + 400);
    EXPECT_GE(sched_stall_advances(), 1u);
    EXPECT_EQ(sched_now(),
              next_frame_slot(before) + frame_slot_units * (sched_stall_advances() - 1));
}

// Live: SDL's clock; held it stands still; a step runs on its own clock, 5 ms
// a poll, and ends at the next frame (a copy or a clear alike) or after a
// second of polls without one; the resume goes on from the held time.
TEST(Scheduler, TheLiveClockHoldsStepsAndResumes) {
    ASSERT_EQ(SDL_Init(SDL_INIT_TIMER), 0) << SDL_GetError();
    sched_start(TimeDriver::live);
    const Uint32 now_ms = SDL_GetTicks();
    EXPECT_GE(sched_ms(), now_ms);
    EXPECT_LE(sched_ms(), SDL_GetTicks());
    sched_hold();
    const DemoTime held = sched_now();
    SDL_Delay(30);
    EXPECT_EQ(sched_now(), held);
    sched_step();
    sched_poll(nullptr);
    EXPECT_EQ(sched_now(), held + 5 * demo_units_per_ms);
    EXPECT_EQ(sched_frame(), next_frame_slot(held + 5 * demo_units_per_ms));
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    const DemoTime framed = sched_now();
    EXPECT_EQ(framed, next_frame_slot(held + 5 * demo_units_per_ms));

    // Steps asked for while one runs are not lost: each gives its frame.
    sched_step();
    sched_step();
    sched_step();
    for (int frame = 0; frame < 3; frame++) {
        EXPECT_EQ(sched_live_state(), LiveClock::stepping) << "frame " << frame;
        sched_poll(nullptr);
        sched_frame();
    }
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    const DemoTime stepped = sched_now();
    EXPECT_EQ(stepped, framed + 3 * frame_slot_units);

    // A guest that polls and never presents: the step ends on its own.
    sched_step();
    int polls = 0;
    while (sched_live_state() == LiveClock::stepping && polls < 1000) {
        sched_poll(nullptr);
        polls++;
    }
    EXPECT_EQ(sched_live_state(), LiveClock::held);
    EXPECT_EQ(polls, 200) << "a second of polls";
    EXPECT_EQ(sched_now(), stepped + demo_units_per_second);

    const Uint32 before = SDL_GetTicks();
    sched_resume();
    const Uint32 took = SDL_GetTicks() - before;
    EXPECT_EQ(sched_live_state(), LiveClock::running);
    const uint32_t held_ms =
        static_cast<uint32_t>((stepped + demo_units_per_second) / demo_units_per_ms);
    EXPECT_GE(sched_ms(), held_ms);
    EXPECT_LE(sched_ms(), held_ms + took + 1);
    SDL_Quit();
}

} // namespace

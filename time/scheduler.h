// The one owner of time. Everything the host does at a time asks it: the
// music's timer ticks, the audio samples the music passes make, a render's
// video slots and its -seconds Escape, the stall advances and the player's
// single frame step ("run this at t", as an emulator's event queue).
//
// Two drivers move it, chosen once before the guest starts. Live, the wall
// clock moves it, and SDL's audio thread and timer pull the music; in a
// render, demo time moves only by what the guest does (a poll, a presented
// frame) and by the stall watch, and whatever falls due on the way runs as it
// passes. Nothing outside this file asks which driver runs.
#pragma once

#include <SDL.h>
#include <atomic>
#include <cstdint>

// Time counts units of 1/125,875,000 s, in which both the poll's 5 ms
// (629,375 units) and the VGA refresh of mode 13h, 25.175 MHz / (800 x 449) =
// 125875/1796 Hz (a frame slot of 1,796,000 units), are whole numbers: no
// step ever rounds, so nothing drifts over any length.
using DemoTime = int64_t;
constexpr DemoTime demo_units_per_second = 125875000;
constexpr DemoTime demo_units_per_ms = 125875;
constexpr DemoTime frame_slot_units = 1796000;
// The VGA refresh as a frame rate: 125875/1796 frames a second.
constexpr int64_t vga_rate_num = 125875;
constexpr int64_t vga_rate_den = 1796;
// The keyboard poll's pause: it throttles guest loops that poll.
constexpr uint32_t poll_pause_ms = 5;

// Whole samples of a stream at `rate` that lie before time t:
// floor(t x rate / units per second), exact for t below 2^62.
int64_t samples_before(DemoTime t, int64_t rate);
// The first frame slot strictly after t.
DemoTime next_frame_slot(DemoTime t);

enum class TimeDriver { live, demo };
// Once, on the main thread, before the guest starts (live is the default
// until then). The demo driver starts the stall watch.
void sched_start(TimeDriver driver);
// At exit: the stall watch and the live timer stop; nothing more runs.
void sched_stop();

// The time the guest lives in: the wall clock less the time paused (held
// while paused), or demo time. Never blocks.
DemoTime sched_now();
// The same in milliseconds, for the BIOS tick counter.
uint32_t sched_ms();

// What the guest does, on the main thread. The keyboard poll's pause: 5 ms
// of sleep live (while paused, the wait for the resume, calling wait_input
// to keep the window alive), 5 ms of demo time in a render or a step.
void sched_poll(void (*wait_input)());
// A frame presented: the frame slot it is shown at, the first after now, as
// on a display locked to the refresh. On demo time (and in a step) time
// moves there; a step ends there.
DemoTime sched_frame();
// After each poll and presented frame, outside every lock: where a render
// may end the process (an interrupt, the end of its -seconds).
void sched_safe_point();
extern void (*sched_safe_point_hook)();

// The event queue. One pending time per event; equal times run in this
// order. An event runs once time reaches its due time, with sched_now() at
// that time; its handler may schedule again.
enum class Event : int { music_tick, video_slot, escape, step_end };
constexpr int event_count = 4;
using EventHandler = void (*)(DemoTime due);
void sched_at(Event event, DemoTime due, EventHandler handler);
void sched_cancel(Event event);
// What is produced continuously as time passes (the audio samples): called
// with each event's time before that event runs, and with the end of every
// advance, to produce everything that lies before it.
using StreamProducer = void (*)(DemoTime to);
void sched_set_stream(StreamProducer produce);
// From a handler: the advance under way ends after it, at its time (a
// render that must stop soon).
void sched_cut_short();
// A render's end: what is due at or before now runs, and the stream is
// produced up to now. The caller holds the lock.
void sched_finish();

// The player timer, in SDL's style: tick returns the next interval in
// milliseconds, 0 ends it. Live it is an SDL timer (fatal_sdl "timer" when
// it cannot be had); on demo time a queued event. A start replaces the
// timer running; a tick that starts or stops it is not rescheduled.
using TimerTick = Uint32 (*)(Uint32 interval_ms, void *param);
void sched_timer_start(Uint32 first_ms, TimerTick tick);
void sched_timer_stop();
// The live timer's SDL id, null when none (the exit handlers remove it).
extern std::atomic<SDL_TimerID> timer_id;

// The player's pause and single frame step (live play). Held, the clock
// stands still and the timer's ticks run nothing; a step runs on demo time
// from there (5 ms a poll, the music of that time produced as it passes)
// and holds again at the next presented frame, or after a second of polls
// without one.
enum class LiveClock { running, held, stepping };
LiveClock sched_live_state();
void sched_hold();
void sched_resume();
void sched_step();
// The sound's part, set once before the guest starts: hold (1) or let go
// (0) of the music.
void sched_on_hold(void (*listener)(int on));
// Live play's waits (the poll's pause, the pause's idle loop) go through
// this: the output presents what falls due in them. SDL_Delay by default.
void sched_set_live_wait(void (*wait)(uint32_t ms));

// Demo time's lock: around every advance and every change of the queue;
// recursive. A timed take, so that an exit on another thread can give up on
// a holder that was stopped mid-advance.
void sched_lock();
void sched_unlock();
bool sched_try_lock_for_ms(int ms);
// Whether this thread holds it.
bool sched_lock_held();

// The stall watch's view of the guest. A host routine reached from guest
// code on the main thread marks its time, which never counts as the guest's:
// a guest that spends this much of its own CPU time without polling or
// presenting is taken to wait for something only time would change (a busy
// wait on its music), and demo time moves on by a frame slot.
constexpr int64_t stall_limit_ns = 500 * 1000 * 1000;
void host_enter();
void host_leave();
struct HostCall {
    HostCall() { host_enter(); }
    ~HostCall() { host_leave(); }
    HostCall(const HostCall &) = delete;
    HostCall &operator=(const HostCall &) = delete;
};
// Times demo time moved on by itself.
uint64_t sched_stall_advances();
// Called by the stall watch every few milliseconds: first without the lock
// (holding false), and after each stall advance while it holds the lock.
extern void (*sched_watch_hook)(bool holding);
// Test hook: the guest's CPU time as the watch counts it, in nanoseconds.
int64_t sched_guest_cpu_ns();

// The one clock behind all the time the guest sees: the milliseconds behind
// tick_counter, the keyboard poll's pause, the pacing of the music passes.
// Live, it is SDL's clock, and the SDL audio thread or the SDL timer pace the
// music. In a render it is demo time, which advances only by what the guest
// does (a poll, a presented frame), and whatever falls due on the way (music
// passes, audio samples, video slots) runs as it passes.
#pragma once

#include <cstdint>

// Demo time counts units of 1/125,875,000 s, in which both the poll's 5 ms
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
// The poll's pause: it throttles guest loops that poll the keyboard.
constexpr uint32_t poll_pause_ms = 5;

// Set before the guest starts; false: live play.
extern bool demo_clock;

// Milliseconds since the start: SDL's clock less the time spent paused, or
// demo time.
uint32_t clock_ms();
// The keyboard poll's pause: a sleep, or 5 ms of demo time.
void clock_poll_pause();

// Live play only: the player's pause and single frame step. Held, the
// clock stands still; a step runs on demo time (a poll's pause is 5 ms, a
// presented frame ends at the next frame slot) and holds again at the frame.
enum class LiveClock { running, held, stepping };
LiveClock live_clock_state();
void live_clock_hold();
void live_clock_resume();
void live_clock_step();
// A frame presented live: ends a step. True when it did.
bool live_clock_frame();
// The sound's part (device.cpp), set once before the guest starts: hold or
// release the music, and run what a step's demo time covers.
extern void (*live_hold_listener)(int on);
extern void (*live_step_listener)(DemoTime units);

// Demo time only (render mode):
DemoTime demo_now();
// Advances demo time to t (no earlier than now), running what falls due.
void demo_advance_to(DemoTime t);
// A frame presented: demo time moves to the next frame slot after now, as on
// a display locked to the refresh; returns that slot's time.
DemoTime demo_present_frame();
// What runs as demo time passes from `from` to `to`, in this order: the
// sound's (music passes, audio samples), then the render's (video slots).
using DemoListener = void (*)(DemoTime from, DemoTime to);
void set_demo_listeners(DemoListener sound, DemoListener render);
// Around every advance, and whatever must not overlap one; recursive.
void demo_lock();
void demo_unlock();
// For an exit on another thread: false when the holder kept it that long.
bool demo_try_lock_for_ms(int ms);
// Where the render may end the process (an interrupt, the end of -seconds):
// called on the main thread after each poll and presented frame, outside
// every lock. Null when no render runs.
extern void (*demo_checkpoint)();
// How often demo time has advanced (for the render's stall watch).
uint64_t demo_advances();
// For the stall watch: its own thread's locks do not count as the guest's
// activity; wall milliseconds since another thread last let go of the lock.
void demo_mark_watch_thread();
int64_t demo_ms_since_release();

// Whole samples of a stream at `rate` that lie before demo time t:
// floor(t x rate / units per second), exact for t below 2^62.
int64_t samples_before(DemoTime t, int64_t rate);

// The one clock: SDL's in live play, demo time in a render.
#include "machine/clock.h"

#include <SDL.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

bool demo_clock = false;
void (*demo_checkpoint)() = nullptr;

// Demo time and its listeners belong to whoever holds demo_mutex: the main
// thread inside a poll or a frame, or the render's stall watch. A timed
// mutex, so that an exit on another thread can give up on a holder that was
// stopped mid-advance; recursive, as listeners read the time.
static std::timed_mutex demo_mutex;
// Recursive by hand, so that the owner and depth are plain to see.
static std::atomic<std::thread::id> demo_owner{};
static int demo_depth = 0; // touched by the owner only
static DemoTime demo_time = 0;
static std::atomic<uint64_t> advance_count{0};
static DemoListener sound_listener = nullptr;
static DemoListener render_listener = nullptr;
// Set while the listeners run: a guest routine reached from a music pass
// that polls or presents must not start a second advance inside the first.
static bool advancing = false;

// When another thread than the stall watch last let go of demo time: time
// spent in the host (waiting for the encoder, say) is no stall.
static std::atomic<int64_t> last_release_ms{0};
// Not thread_local: valgrind's i386 front end cannot run the code a
// one-byte thread-local compiles to.
static std::atomic<std::thread::id> watch_thread{};

static int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void demo_lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (demo_owner.load() != self) {
        demo_mutex.lock();
        demo_owner.store(self);
    }
    demo_depth++;
}

void demo_unlock() {
    if (--demo_depth == 0) {
        // Only the outermost release counts, and reads the clock once.
        if (std::this_thread::get_id() != watch_thread.load()) {
            last_release_ms.store(steady_ms());
        }
        demo_owner.store(std::thread::id());
        demo_mutex.unlock();
    }
}

void demo_mark_watch_thread() {
    watch_thread.store(std::this_thread::get_id());
}

int64_t demo_ms_since_release() {
    return steady_ms() - last_release_ms.load();
}

bool demo_try_lock_for_ms(int ms) {
    const std::thread::id self = std::this_thread::get_id();
    if (demo_owner.load() != self) {
        if (!demo_mutex.try_lock_for(std::chrono::milliseconds(ms))) {
            return false;
        }
        demo_owner.store(self);
    }
    demo_depth++;
    return true;
}

void set_demo_listeners(DemoListener sound, DemoListener render) {
    demo_lock();
    sound_listener = sound;
    render_listener = render;
    demo_unlock();
}

DemoTime demo_now() {
    demo_lock();
    const DemoTime t = demo_time;
    demo_unlock();
    return t;
}

uint64_t demo_advances() {
    return advance_count.load();
}

void demo_advance_to(DemoTime t) {
    demo_lock();
    if (t > demo_time && !advancing) {
        // Counted first: the stall watch sees an advance that waits for the
        // encoder as progress, not as a stall.
        advance_count++;
        const DemoTime from = demo_time;
        demo_time = t;
        advancing = true;
        if (sound_listener) {
            sound_listener(from, t);
        }
        if (render_listener) {
            render_listener(from, t);
        }
        advancing = false;
    }
    demo_unlock();
}

DemoTime demo_present_frame() {
    demo_lock();
    // Strictly the next slot: every presented frame waits for a refresh,
    // as a copy synchronised to the display does, so a guest that only
    // presents still moves time on.
    const DemoTime slot = (demo_time / frame_slot_units + 1) * frame_slot_units;
    demo_advance_to(slot);
    demo_unlock();
    return slot;
}

// Live play: the clock is SDL's less paused_ms. Held or stepping it is
// held_units, the moment of the pause plus what steps added, kept in demo
// units so that steps of a frame slot add up exactly. Main thread only.
static LiveClock live_state = LiveClock::running;
static uint32_t paused_ms = 0;
static DemoTime held_units = 0;
void (*live_hold_listener)(int on) = nullptr;
void (*live_step_listener)(DemoTime units) = nullptr;

LiveClock live_clock_state() {
    return live_state;
}

void live_clock_hold() {
    if (live_state == LiveClock::running) {
        held_units = static_cast<DemoTime>(SDL_GetTicks() - paused_ms) * demo_units_per_ms;
        if (live_hold_listener) {
            live_hold_listener(1);
        }
    }
    live_state = LiveClock::held;
}

void live_clock_resume() {
    if (live_state == LiveClock::running) {
        return;
    }
    // The clock goes on from where it stood: the guest sees no jump. The
    // part of a millisecond that steps left is dropped (below one tick).
    paused_ms = SDL_GetTicks() - static_cast<uint32_t>(held_units / demo_units_per_ms);
    live_state = LiveClock::running;
    if (live_hold_listener) {
        live_hold_listener(0);
    }
}

void live_clock_step() {
    if (live_state == LiveClock::held) {
        live_state = LiveClock::stepping;
    }
}

static void live_step_by(DemoTime units) {
    held_units += units;
    if (live_step_listener) {
        live_step_listener(units);
    }
}

bool live_clock_frame() {
    if (live_state != LiveClock::stepping) {
        return false;
    }
    // As a render presents it: the frame waits for the next refresh.
    const DemoTime slot = (held_units / frame_slot_units + 1) * frame_slot_units;
    live_step_by(slot - held_units);
    live_state = LiveClock::held;
    return true;
}

uint32_t clock_ms() {
    if (!demo_clock) {
        if (live_state != LiveClock::running) {
            return static_cast<uint32_t>(held_units / demo_units_per_ms);
        }
        return SDL_GetTicks() - paused_ms;
    }
    return static_cast<uint32_t>(demo_now() / demo_units_per_ms);
}

void clock_poll_pause() {
    if (!demo_clock) {
        if (live_state == LiveClock::stepping) {
            live_step_by(poll_pause_ms * demo_units_per_ms);
        }
        SDL_Delay(poll_pause_ms);
        return;
    }
    demo_lock();
    demo_advance_to(demo_time + poll_pause_ms * demo_units_per_ms);
    demo_unlock();
}

int64_t samples_before(DemoTime t, int64_t rate) {
    // Split so that no product leaves 64 bits: the remainder is below 2^27
    // and a rate below 2^31.
    const int64_t whole = t / demo_units_per_second;
    const int64_t rest = t % demo_units_per_second;
    return whole * rate + rest * rate / demo_units_per_second;
}

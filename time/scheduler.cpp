#include "time/scheduler.h"

#include <SDL.h>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <thread>

#include "shell/fatal.h"
#include "time/lock_order.h"

namespace {

TimeDriver driver = TimeDriver::live;
pthread_t main_thread;
std::atomic<bool> stopping{false};

// Demo time's lock. The owner and depth are kept by hand: handlers read the
// time and schedule while an advance holds it, and an exit handler must be
// able to tell whether its own thread holds it.
std::timed_mutex demo_mutex;
std::atomic<std::thread::id> demo_owner{};
int demo_depth = 0; // touched by the owner only

// Demo time, or live play's held clock. Written under the lock, read
// anywhere.
std::atomic<DemoTime> now_units{0};
std::atomic<uint64_t> advance_count{0};

struct Pending {
    bool armed;
    DemoTime due;
    EventHandler handler;
};
Pending queue[event_count];
StreamProducer stream = nullptr;
// Set while an advance runs: guest code reached from a handler that polls
// or presents must not start a second advance inside the first.
bool advancing = false;
bool cut_short = false;

// Live play: SDL's clock less paused_ms while running; held, now_units.
std::atomic<LiveClock> live_state{LiveClock::running};
std::atomic<uint32_t> paused_ms{0};
void (*hold_listener)(int on) = nullptr;
void plain_wait(uint32_t ms) {
    SDL_Delay(ms);
}
void (*live_wait)(uint32_t ms) = plain_wait;

// The player timer.
TimerTick timer_tick_fn = nullptr;
uint32_t timer_generation = 0;           // under the lock
std::atomic<Uint32> live_interval_ms{0}; // the live timer's latest interval

// The stall watch's accounts, in nanoseconds of the main thread's CPU time.
clockid_t main_cpu_clock;
bool tracking = false; // demo driver only; set before the guest starts
int host_depth = 0;    // main thread only
std::atomic<int64_t> host_cpu_ns{0};
std::atomic<int64_t> host_entered_ns{-1};
std::atomic<uint64_t> stall_count{0};
std::thread watch_thread;

int64_t cpu_ns(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool on_main_thread() {
    return pthread_equal(pthread_self(), main_thread) != 0;
}

DemoTime live_clock_now() {
    return static_cast<DemoTime>(SDL_GetTicks() - paused_ms.load()) * demo_units_per_ms;
}

// The earliest armed event at or before t, ties in the queue's order; -1
// when none.
int earliest_due(DemoTime t) {
    int best = -1;
    for (int i = 0; i < event_count; i++) {
        if (queue[i].armed && queue[i].due <= t && (best < 0 || queue[i].due < queue[best].due)) {
            best = i;
        }
    }
    return best;
}

// Moves time to t, running what falls due on the way. The caller holds the
// lock.
void advance_to(DemoTime t) {
    if (t <= now_units.load() || advancing) {
        return;
    }
    // Counted first: the stall watch sees an advance that waits (for the
    // encoder, say) as progress, not as a stall.
    advance_count++;
    advancing = true;
    cut_short = false;
    for (int e; (e = earliest_due(t)) >= 0;) {
        const DemoTime due = queue[e].due > now_units.load() ? queue[e].due : now_units.load();
        if (stream) {
            stream(due);
        }
        now_units.store(due);
        queue[e].armed = false;
        queue[e].handler(due);
        if (cut_short) {
            advancing = false;
            return;
        }
    }
    if (stream) {
        stream(t);
    }
    now_units.store(t);
    advancing = false;
}

// A step that presents nothing for this long of its time ends: a guest that
// polls but never presents would otherwise step for ever. Not one frame
// slot: a guest may wait for the BIOS tick between frames (55 ms), and a
// step is to show its next frame.
constexpr DemoTime step_limit_units = demo_units_per_second;

// Steps asked for while one runs; each gives its own frame.
int steps_owed = 0;

void end_step_event(DemoTime);

// The step ends here; one asked for meanwhile begins at once. Under the
// lock.
void end_step_at_now() {
    if (steps_owed > 0) {
        steps_owed--;
        live_state.store(LiveClock::stepping);
        queue[static_cast<int>(Event::step_end)] = {true, now_units.load() + step_limit_units,
                                                    end_step_event};
        return;
    }
    queue[static_cast<int>(Event::step_end)].armed = false;
    live_state.store(LiveClock::held);
}

void end_step_event(DemoTime) {
    end_step_at_now();
}

// The timer's tick on the queue: on demo time, and in a live step.
void queued_tick(DemoTime due) {
    const uint32_t generation = timer_generation;
    const Uint32 next_ms = timer_tick_fn(0, nullptr);
    // A tick whose pass restarted or stopped the timer leaves it as that left it.
    if (generation == timer_generation && next_ms != 0) {
        sched_at(Event::music_tick, due + static_cast<DemoTime>(next_ms) * demo_units_per_ms,
                 queued_tick);
    }
}

// SDL's timer thread: held or stepping, the ticks go on and run nothing (a
// step runs its own on the queue).
Uint32 live_timer_callback(Uint32 interval_ms, void *param) {
    if (live_state.load() != LiveClock::running) {
        return interval_ms;
    }
    const Uint32 next_ms = timer_tick_fn(interval_ms, param);
    live_interval_ms.store(next_ms);
    return next_ms;
}

// The guest's own CPU time: the main thread's, less what it spent in host
// routines (and the one it is in, if any).
int64_t guest_cpu_now() {
    const int64_t entered = host_entered_ns.load();
    const int64_t in_host = host_cpu_ns.load();
    const int64_t total = cpu_ns(main_cpu_clock);
    return total - in_host - (entered >= 0 ? total - entered : 0);
}

constexpr int watch_period_ms = 5;

void watch_stalls() {
    uint64_t seen = advance_count.load();
    int64_t base_ns = guest_cpu_now();
    while (!stopping.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(watch_period_ms));
        if (sched_watch_hook) {
            sched_watch_hook(false);
        }
        const int64_t guest_ns = guest_cpu_now();
        if (advance_count.load() != seen) {
            seen = advance_count.load();
            base_ns = guest_ns;
            continue;
        }
        // The main thread inside an advance is progress, not a stall.
        if (guest_ns - base_ns < stall_limit_ns || stopping.load() || !sched_try_lock_for_ms(0)) {
            continue;
        }
        if (advance_count.load() == seen && !stopping.load()) {
            stall_count++;
            advance_to(next_frame_slot(now_units.load()));
            if (sched_watch_hook) {
                sched_watch_hook(true);
            }
        }
        seen = advance_count.load();
        base_ns = guest_cpu_now();
        sched_unlock();
    }
}

} // namespace

void (*sched_safe_point_hook)() = nullptr;
void (*sched_watch_hook)(bool holding) = nullptr;
std::atomic<SDL_TimerID> timer_id{nullptr};

int64_t samples_before(DemoTime t, int64_t rate) {
    // Split so that no product leaves 64 bits: the remainder is below 2^27
    // and a rate below 2^31.
    const int64_t whole = t / demo_units_per_second;
    const int64_t rest = t % demo_units_per_second;
    return whole * rate + rest * rate / demo_units_per_second;
}

DemoTime next_frame_slot(DemoTime t) {
    return (t / frame_slot_units + 1) * frame_slot_units;
}

void sched_start(TimeDriver d) {
    driver = d;
    main_thread = pthread_self();
    if (driver == TimeDriver::demo) {
        if (pthread_getcpuclockid(main_thread, &main_cpu_clock) != 0) {
            main_cpu_clock = CLOCK_THREAD_CPUTIME_ID;
        }
        tracking = true;
        // Detached: it stops at the next look once the run ends, and an exit
        // must never wait for a thread that waits for a lock.
        std::thread(watch_stalls).detach();
    }
}

void sched_stop() {
    stopping.store(true);
    if (SDL_TimerID id = timer_id.exchange(nullptr)) {
        SDL_RemoveTimer(id);
    }
}

DemoTime sched_now() {
    if (driver == TimeDriver::live && live_state.load() == LiveClock::running) {
        return live_clock_now();
    }
    return now_units.load();
}

uint32_t sched_ms() {
    return static_cast<uint32_t>(sched_now() / demo_units_per_ms);
}

void sched_poll(void (*wait_input)()) {
    if (driver == TimeDriver::live) {
        // Held, the guest's loop waits here with the window alive, until a
        // resume, a step or an exit.
        constexpr uint32_t held_poll_ms = 10;
        while (live_state.load() == LiveClock::held) {
            live_wait(held_poll_ms);
            if (wait_input) {
                wait_input();
            }
        }
        if (live_state.load() == LiveClock::running) {
            live_wait(poll_pause_ms);
            return;
        }
    }
    sched_lock();
    advance_to(now_units.load() + poll_pause_ms * demo_units_per_ms);
    sched_unlock();
}

DemoTime sched_frame() {
    if (driver == TimeDriver::live && live_state.load() == LiveClock::running) {
        return next_frame_slot(live_clock_now());
    }
    sched_lock();
    // Strictly the next slot: every presented frame waits for a refresh,
    // as a copy synchronised to the display does, so a guest that only
    // presents still moves time on.
    const DemoTime slot = next_frame_slot(now_units.load());
    if (driver == TimeDriver::demo || live_state.load() == LiveClock::stepping) {
        advance_to(slot);
    }
    if (driver == TimeDriver::live && live_state.load() == LiveClock::stepping) {
        end_step_at_now();
    }
    sched_unlock();
    return slot;
}

void sched_safe_point() {
    if (sched_safe_point_hook) {
        sched_safe_point_hook();
    }
}

void sched_at(Event event, DemoTime due, EventHandler handler) {
    sched_lock();
    queue[static_cast<int>(event)] = {true, due, handler};
    sched_unlock();
}

void sched_cancel(Event event) {
    sched_lock();
    queue[static_cast<int>(event)].armed = false;
    sched_unlock();
}

void sched_set_stream(StreamProducer produce) {
    sched_lock();
    stream = produce;
    sched_unlock();
}

void sched_cut_short() {
    cut_short = true;
}

void sched_finish() {
    const DemoTime now = now_units.load();
    for (int e; (e = earliest_due(now)) >= 0;) {
        queue[e].armed = false;
        queue[e].handler(queue[e].due);
    }
    if (stream) {
        stream(now);
    }
}

void sched_timer_start(Uint32 first_ms, TimerTick tick) {
    timer_tick_fn = tick;
    if (driver == TimeDriver::demo) {
        sched_lock();
        timer_generation++;
        sched_at(Event::music_tick,
                 now_units.load() + static_cast<DemoTime>(first_ms) * demo_units_per_ms,
                 queued_tick);
        sched_unlock();
        return;
    }
    // A second start must not leave the first timer ticking beside it.
    // Removing and adding take SDL's timer lock, never one of ours.
    if (SDL_TimerID old = timer_id.exchange(nullptr)) {
        SDL_RemoveTimer(old);
    }
    live_interval_ms.store(first_ms);
    const SDL_TimerID id = SDL_AddTimer(first_ms, live_timer_callback, nullptr);
    if (!id) {
        fatal_sdl("timer");
    }
    timer_id.store(id);
}

void sched_timer_stop() {
    sched_lock();
    timer_generation++;
    queue[static_cast<int>(Event::music_tick)].armed = false;
    sched_unlock();
    // Taken out first, so that the exit handlers never remove it again.
    if (SDL_TimerID id = timer_id.exchange(nullptr)) {
        SDL_RemoveTimer(id);
    }
}

LiveClock sched_live_state() {
    return live_state.load();
}

void sched_hold() {
    if (live_state.load() != LiveClock::running) {
        return;
    }
    sched_lock();
    now_units.store(live_clock_now());
    live_state.store(LiveClock::held);
    // A step's ticks run on the queue, at the interval the live timer keeps.
    if (timer_id.load() && live_interval_ms.load() > 0) {
        timer_generation++;
        queue[static_cast<int>(Event::music_tick)] = {
            true,
            now_units.load() + static_cast<DemoTime>(live_interval_ms.load()) * demo_units_per_ms,
            queued_tick};
    }
    sched_unlock();
    if (hold_listener) {
        hold_listener(1);
    }
}

void sched_resume() {
    if (live_state.load() == LiveClock::running) {
        return;
    }
    sched_lock();
    // The clock goes on from where it stood: the guest sees no jump. The part
    // of a millisecond that steps left is dropped (below one tick).
    paused_ms.store(SDL_GetTicks() - static_cast<uint32_t>(now_units.load() / demo_units_per_ms));
    queue[static_cast<int>(Event::step_end)].armed = false;
    queue[static_cast<int>(Event::music_tick)].armed = false;
    steps_owed = 0;
    live_state.store(LiveClock::running);
    sched_unlock();
    if (hold_listener) {
        hold_listener(0);
    }
}

void sched_step() {
    sched_lock();
    if (live_state.load() == LiveClock::held) {
        live_state.store(LiveClock::stepping);
        queue[static_cast<int>(Event::step_end)] = {true, now_units.load() + step_limit_units,
                                                    end_step_event};
    } else if (live_state.load() == LiveClock::stepping) {
        steps_owed++;
    }
    sched_unlock();
}

void sched_set_live_wait(void (*wait)(uint32_t ms)) {
    live_wait = wait ? wait : plain_wait;
}

void sched_on_hold(void (*listener)(int on)) {
    hold_listener = listener;
}

void sched_lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (demo_owner.load() != self) {
        lock_taking(LockRank::demo);
        demo_mutex.lock();
        demo_owner.store(self);
    }
    demo_depth++;
}

void sched_unlock() {
    if (--demo_depth == 0) {
        demo_owner.store(std::thread::id());
        demo_mutex.unlock();
        lock_released(LockRank::demo);
    }
}

bool sched_try_lock_for_ms(int ms) {
    const std::thread::id self = std::this_thread::get_id();
    if (demo_owner.load() != self) {
        lock_taking(LockRank::demo);
        if (!demo_mutex.try_lock_for(std::chrono::milliseconds(ms))) {
            lock_released(LockRank::demo);
            return false;
        }
        demo_owner.store(self);
    }
    demo_depth++;
    return true;
}

bool sched_lock_held() {
    return demo_owner.load() == std::this_thread::get_id();
}

void host_enter() {
    if (!tracking || !on_main_thread()) {
        return;
    }
    if (host_depth++ == 0) {
        host_entered_ns.store(cpu_ns(CLOCK_THREAD_CPUTIME_ID));
    }
}

void host_leave() {
    if (!tracking || !on_main_thread()) {
        return;
    }
    if (--host_depth == 0) {
        const int64_t entered = host_entered_ns.load();
        host_cpu_ns.store(host_cpu_ns.load() + cpu_ns(CLOCK_THREAD_CPUTIME_ID) - entered);
        host_entered_ns.store(-1);
    }
}

uint64_t sched_stall_advances() {
    return stall_count.load();
}

int64_t sched_guest_cpu_ns() {
    return guest_cpu_now();
}

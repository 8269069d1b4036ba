// The emulated player timer. There is no timer interrupt: player passes run the
// device's mixing routines, the guest's timer callbacks and its players, pulled
// by the audio output or, when muted, by the scheduler's timer.
#include "sound/timer.h"

#include <SDL.h>
#include <atomic>
#include <cstdint>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "binding/run_state.h"
#include "shell/fatal.h"
#include "shell/guest_abi.h"
#include "sound/sound.h"
#include "time/scheduler.h"

// Threads. The main thread runs the guest's timer services below and, with
// sound on, the pass of a registration; passes also run wherever the output
// produces sound or the timer ticks (sound/output.cpp, time/scheduler.cpp). timer_device,
// player_slots, the three callbacks, timer_running, timer_interval_ms and rate_interval_ms are
// shared by them and touched only under the sound lock (output.cpp), which every pass runs under:
// the output's production and timer_tick take it, and so does timer_play_player on the main thread.
SoundDevice *timer_device = nullptr;
uint32_t player_slots[16] = {};
int timer_running = 0;
int timer_interval_ms = 0;
int rate_interval_ms = 0;
uint32_t timer_callback_1 = 0, timer_callback_2 = 0, timer_callback_3 = 0;

constexpr int player_slot_count = 16;
constexpr int guard_first_entry = 1;
constexpr int guard_last_entry = 16;
constexpr int guard_field_offset = 12;
constexpr int32_t guard_value = 37;
constexpr int min_tick_ms = 10;
constexpr int pulled_interval_ms = 10; // pacing field 0
constexpr int paced_interval_ms = 5;   // pacing field non-zero

static int call_guest(uint32_t routine) {
    return reinterpret_cast<int (*)()>(routine)();
}

[[noreturn]] static void guest_error(int code) {
    reinterpret_cast<void (*)(int)>(guest_symbol(sym::guest_error_report))(code);
    // SDL_Quit in the exit handlers waits for the audio or timer thread,
    // which may be waiting for the lock this pass holds.
    sound_unlock_all();
    fatal("midas");
}

static bool guard_raised() {
    const uint32_t *table = reinterpret_cast<const uint32_t *>(guest_symbol(sym::guard_table));
    for (int i = guard_last_entry; i >= guard_first_entry; i--) {
        const uint32_t record = table[i];
        if (record != 0 &&
            *reinterpret_cast<const int32_t *>(record + guard_field_offset) == guard_value) {
            return true;
        }
    }
    return false;
}

// The caller holds the sound lock.
void run_player_pass() {
    if (*reinterpret_cast<const int32_t *>(guest_symbol(sym::sound_ready)) == 0) {
        return;
    }
    SoundDevice *device = timer_device;
    if (!device) {
        return;
    }
    int code = call_guest(device->pass_start);
    if (code != 0) {
        guest_error(code);
    }
    for (;;) {
        // The cycle routine sets it on every call; preset so that one which
        // does not ends the pass instead of cycling on stack garbage.
        int more_cycles = 0;
        code = static_cast<int>(
            call_guest_stack(1, device->cycle, reinterpret_cast<uint32_t>(&more_cycles)));
        if (code != 0) {
            guest_error(code);
        }
        const uint32_t callbacks[3] = {timer_callback_1, timer_callback_2, timer_callback_3};
        for (uint32_t callback : callbacks) {
            if (callback) {
                call_guest(callback);
            }
        }
        if (more_cycles != 0) {
            for (int i = 0; i < player_slot_count; i++) {
                const uint32_t player = player_slots[i];
                if (!player) {
                    continue;
                }
                if (guard_raised()) {
                    return;
                }
                code = call_guest(player);
                if (code != 0) {
                    guest_error(code);
                }
            }
        }
        if (more_cycles == 0 || device->pacing != 0) {
            return;
        }
    }
}

// The caller holds the sound lock.
void timer_next_interval() {
    if (timer_running == 1) {
        timer_interval_ms = rate_interval_ms > min_tick_ms ? rate_interval_ms : min_tick_ms;
    } else {
        timer_interval_ms = 0;
    }
}

// The timer's tick: SDL's timer thread live, the event queue on demo time
// and in a live step (time/scheduler.cpp). A tick that waited here while the
// guest closed the timer still runs its pass, then cancels itself: it had
// begun before the close, so its pass is the one it raced with, and closing
// leaves the device and the players in place for it (as for a pass from the
// audio callback). Once a DMA buffer plays, the audio callback paces the
// passes.
Uint32 timer_tick(Uint32, void *) {
    sound_lock();
    if (!playing_buffer) {
        timer_next_interval();
        run_player_pass();
    }
    // A pass may have changed it through timer_set_callbacks.
    const Uint32 next_ms = static_cast<Uint32>(timer_interval_ms);
    sound_unlock();
    return next_ms;
}

// guest: redirect, arg code -2, stack (SoundDevice *device)
GUEST_ENTRY int timer_init(SoundDevice *device) {
    const HostCall host_call;
    sound_lock();
    timer_device = device;
    for (uint32_t &slot : player_slots) {
        slot = 0;
    }
    rate_interval_ms = device->pacing == 0 ? pulled_interval_ms : paced_interval_ms;
    timer_interval_ms = rate_interval_ms;
    timer_running = 1;
    const Uint32 first_ms = static_cast<Uint32>(timer_interval_ms);
    sound_unlock();
    // Outside the sound lock: the scheduler's comes first.
    if (mute) {
        sched_timer_start(first_ms, timer_tick);
    }
    return 0;
}

// guest: redirect, arg code -2, stack ()
GUEST_ENTRY int timer_close() {
    const HostCall host_call;
    sound_lock();
    timer_running = 0;
    sound_unlock();
    if (mute) {
        sched_timer_stop();
    }
    return 0;
}

// guest: redirect, arg code -2, stack (player routine, int *index_out)
GUEST_ENTRY int timer_play_player(uint32_t routine, int *index_out) {
    const HostCall host_call;
    // The slot and, with sound on, the pass that follows are one locked
    // section, so this pass never overlaps one on the audio thread. Before
    // the device is opened there is no audio thread and the lock does nothing.
    sound_lock();
    int index = 0;
    while (index < player_slot_count && player_slots[index] != 0) {
        index++;
    }
    if (index == player_slot_count) {
        sound_unlock();
        fatal("maxpl");
    }
    player_slots[index] = routine;
    *index_out = index;
    if (!mute) {
        run_player_pass();
    }
    sound_unlock();
    if (!mute) {
        output_play(0);
    }
    return 0;
}

// guest: redirect, arg code -2, stack (int index)
GUEST_ENTRY int timer_stop_player(int index) {
    const HostCall host_call;
    // The guest passes back only indices it was given; anything else would
    // write outside the slots.
    if (index >= 0 && index < player_slot_count) {
        sound_lock();
        player_slots[index] = 0;
        sound_unlock();
    }
    return 0;
}

// guest: redirect, arg code -2, stack (int interval, callback 1, 2, 3)
// Also called by guest code inside a pass, on the thread of that pass, which
// holds the lock already.
GUEST_ENTRY int timer_set_callbacks(int interval_ms, uint32_t callback_1, uint32_t callback_2,
                                    uint32_t callback_3) {
    const HostCall host_call;
    sound_lock();
    timer_callback_1 = callback_1;
    timer_callback_2 = callback_2;
    timer_callback_3 = callback_3;
    timer_interval_ms = interval_ms;
    sound_unlock();
    return 0;
}

// guest: redirect, arg code -2, stack (unsigned rate)
GUEST_ENTRY int timer_set_rate(unsigned rate) {
    const HostCall host_call;
    // Rate 0 keeps the current interval rather than dividing by zero; before
    // timer_init there is no device to ask.
    sound_lock();
    if (timer_device && timer_device->pacing != 0 && rate != 0) {
        rate_interval_ms = static_cast<int>(100000u / rate);
    }
    sound_unlock();
    return 0;
}

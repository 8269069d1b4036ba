// The sound's output: the bytes the guest's mixer makes in its player passes,
// handed to the output sink. SDL's audio thread pulls them in live play;
// as time passes they are produced for exactly the samples it covers (in a
// render, and in a live step).
//
// Threads. Passes run on the SDL audio thread (audio_callback), on the SDL
// timer thread (muted), and on the main thread (a registration's pass, a
// render's advance, a step); in a render also on the stall watch's thread.
// Everything they share with the main thread's sound services is touched
// only under the sound lock: playing_buffer, live_areas and the data areas,
// the guest's mix_length and mixer state, the timer's state (timer.cpp) and
// this file's state. The lock order is time/lock_order.h's.
#include <SDL.h>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "machine/sink.h"
#include "shell/fatal.h"
#include "sound/sound.h"
#include "sound/timer.h"
#include "time/lock_order.h"
#include "time/scheduler.h"

int leftover_bytes = 0;
int leftover_offset = 0;

// The sound lock: one SDL mutex in every mode, recursive by hand so that the
// owner is known (an exit lets go of its own thread's levels).
static SDL_mutex *sound_mutex = nullptr;
static std::once_flag sound_mutex_made;
static std::atomic<Uint32> lock_owner{0};
static int lock_depth = 0; // touched by the owner only

void sound_lock() {
    // Made by whichever thread locks first.
    std::call_once(sound_mutex_made, [] {
        sound_mutex = SDL_CreateMutex();
        if (!sound_mutex) {
            fatal_sdl("smutex");
        }
    });
    const Uint32 self = SDL_ThreadID();
    if (lock_owner.load() == self) {
        lock_depth++;
        return;
    }
    lock_taking(LockRank::sound);
    SDL_mutexP(sound_mutex);
    lock_owner.store(self);
    lock_depth = 1;
}

void sound_unlock() {
    if (--lock_depth == 0) {
        lock_owner.store(0);
        SDL_mutexV(sound_mutex);
        lock_released(LockRank::sound);
    }
}

// For a thread that is about to end the process: the exit handlers close
// audio and stop the timer, and both wait for a thread that may be waiting
// for this lock.
void sound_unlock_all() {
    if (lock_owner.load() != SDL_ThreadID()) {
        return;
    }
    while (lock_depth > 0) {
        sound_unlock();
    }
}

// Passes that yield no bytes are retried, but at most this many times in one
// request; then the rest of it stays silent. Enough to ride out a mixer that
// skips a few passes, few enough that a request made while the guest's sound
// system is not ready (or stuck) returns at once and SDL_Quit never waits on
// it.
constexpr int empty_pass_limit = 32;
// The player's pause fades the music out and back in over this long.
constexpr int fade_ms = 5;

// The format opened (rate 0: none yet) and the sample position that time
// has produced up to. The position is written under the sound lock and read
// outside it to see quickly that nothing is due.
static AudioFormat format = {};
static std::atomic<int> opened_rate{0};
static std::atomic<int64_t> position{0};
static bool playing = false; // the device's switch
static uint8_t silence_byte = 0;

// Bytes of one sample of all channels; before an open (a callback the
// device did not ask for) whole bytes.
static int frame_bytes() {
    const int n = format.channels * format.bytes_per_sample;
    return n > 0 ? n : 1;
}

static int32_t *mix_length_word() {
    return reinterpret_cast<int32_t *>(guest_symbol(sym::mix_length));
}

// Size of a live data area, or -1 when data is not one.
static int32_t live_area_size(const uint8_t *data) {
    if (!data) {
        return -1;
    }
    for (const LiveArea &area : live_areas) {
        if (area.data == data) {
            return area.size;
        }
    }
    return -1;
}

// The playing buffer's data area and its allocated size, or null when it has
// none that may be read.
static uint8_t *readable_data(int32_t *size) {
    DmaBuffer *buffer = playing_buffer;
    uint8_t *data = buffer ? buffer->data : nullptr;
    *size = live_area_size(data);
    return *size < 0 ? nullptr : data;
}

// len bytes of the guest's mix into out, which holds silence: first what the
// last pass left, then passes until len is filled. Under the sound lock.
static void mix_passes(uint8_t *out, int len) {
    if (!playing_buffer) {
        return;
    }
    int32_t size = 0;
    uint8_t *data = readable_data(&size);
    if (!data) {
        return;
    }

    int produced = 0;
    int taken = 0;
    if (leftover_bytes != 0) {
        produced = leftover_bytes;
        // Left bytes from an area since replaced by a smaller one are cut to
        // what the current area holds.
        if (leftover_offset < 0 || leftover_offset > size) {
            produced = 0;
            leftover_offset = 0;
        } else if (produced > size - leftover_offset) {
            produced = size - leftover_offset;
        }
        taken = len < produced ? len : produced;
        memcpy(out, data + leftover_offset, static_cast<size_t>(taken));
        out += taken;
        len -= taken;
    }

    int empty_passes = 0;
    while (len > 0) {
        *mix_length_word() = 0;
        run_player_pass();
        // The pass ran guest code, which may have freed or replaced the area.
        data = readable_data(&size);
        if (!data) {
            produced = 0;
            taken = 0;
            leftover_offset = 0;
            break;
        }
        produced = *mix_length_word();
        if (produced < 0) {
            produced = 0;
        }
        if (produced > size) {
            produced = size;
        }
        taken = len < produced ? len : produced;
        memcpy(out, data, static_cast<size_t>(taken));
        out += taken;
        len -= taken;
        leftover_offset = 0;
        if (produced == 0 && ++empty_passes >= empty_pass_limit) {
            break;
        }
    }
    leftover_offset += taken;
    leftover_bytes = produced - taken;
}

// The player's pause, live. The music neither stops dead (a click) nor
// repeats a buffer: at the hold the next few milliseconds are mixed at once
// and faded out, and the callback plays them, then silence, running no pass
// until the pause ends; then it fades back in from the very next sample, so
// the guest's music loses nothing. A step mixes on from where the fade-out
// took it. Nor does the pause shift the music against the guest's clock:
// SDL pulls a buffer at a time, and the music goes on in the same phase of
// that rhythm as it held in, silence filling the resuming buffer up to
// there. Under the sound lock.
enum class Hold { playing, held, fading_in };
static Hold hold = Hold::playing;
static uint32_t last_pull_ms = 0;  // SDL's clock at the latest callback
static uint32_t buffer_ms = 0;     // what one callback asks for
static uint32_t hold_phase_ms = 0; // the hold's time after its callback
static uint32_t resume_at_ms = 0;  // where the resumed music begins
static uint8_t fade_tail[48000 * 4 * fade_ms / 1000 + 16];
static int fade_tail_bytes = 0;

static int fade_samples() {
    const int n = format.rate * fade_ms / 1000;
    const int room = static_cast<int>(sizeof fade_tail) / frame_bytes();
    return n < room ? n : room;
}

// Scales the first `samples` samples of bytes from gain 0 towards 1 (fading
// in) or from 1 towards 0 (fading out), linearly.
static void ramp(uint8_t *bytes, int samples, bool in) {
    const int n = fade_samples();
    for (int i = 0; i < samples; i++) {
        const int gain = in ? i : n - 1 - i; // of n
        for (int c = 0; c < format.channels; c++) {
            const int k = i * format.channels + c;
            if (format.bytes_per_sample == 2) {
                int16_t v;
                memcpy(&v, bytes + 2 * k, 2);
                v = static_cast<int16_t>(v * gain / n);
                memcpy(bytes + 2 * k, &v, 2);
            } else {
                bytes[k] = static_cast<uint8_t>((bytes[k] - 128) * gain / n + 128);
            }
        }
    }
}

void hold_sound(int on) {
    sound_lock();
    if (on) {
        fade_tail_bytes = 0;
        const uint32_t since_ms = SDL_GetTicks() - last_pull_ms;
        hold_phase_ms = since_ms < buffer_ms ? since_ms : buffer_ms;
        // A fade-in not yet played needs no fade-out: it is silence still.
        if (hold == Hold::playing && opened_rate.load() > 0 && playing) {
            fade_tail_bytes = fade_samples() * frame_bytes();
            memset(fade_tail, silence_byte, static_cast<size_t>(fade_tail_bytes));
            mix_passes(fade_tail, fade_tail_bytes);
            ramp(fade_tail, fade_samples(), false);
        }
        hold = Hold::held;
        // A step's sound runs from the held clock on.
        if (opened_rate.load() > 0) {
            position.store(samples_before(sched_now(), format.rate));
        }
    } else {
        // The faded-out tail was music too: it is not played twice.
        const uint32_t tail_ms = static_cast<uint32_t>(fade_tail_bytes > 0 ? fade_ms : 0);
        resume_at_ms = SDL_GetTicks() + (buffer_ms - hold_phase_ms) + tail_ms;
        hold = Hold::fading_in;
    }
    sound_unlock();
}

// A bounded chunk at a time, whole samples each.
static uint8_t chunk[16384];

static int chunk_samples() {
    return static_cast<int>(sizeof chunk) / frame_bytes();
}

// What SDL asks for, live: the fade-out's tail, silence while held, else
// the mix. Under the sound lock.
static void pull(int len) {
    const int fb = frame_bytes();
    const uint32_t now_ms = SDL_GetTicks();
    last_pull_ms = now_ms;
    if (format.rate > 0) {
        buffer_ms = static_cast<uint32_t>(static_cast<int64_t>(len / fb) * 1000 / format.rate);
    }
    if (hold == Hold::held) {
        const int n = fade_tail_bytes < len ? fade_tail_bytes : len;
        if (n > 0) {
            output_sink->audio(format, fade_tail, static_cast<size_t>(n));
        }
        fade_tail_bytes = 0; // the rest is silence
        return;
    }
    if (hold == Hold::fading_in && format.rate > 0) {
        const int32_t wait_ms = static_cast<int32_t>(resume_at_ms - now_ms);
        const int64_t wait = wait_ms > 0 ? int64_t{wait_ms} * format.rate / 1000 : 0;
        if (wait >= len / fb) {
            return; // silence: the music resumes in a later buffer
        }
        // Silence up to the music's place in this buffer.
        for (int64_t left = wait; left > 0;) {
            const int n = left < chunk_samples() ? static_cast<int>(left) : chunk_samples();
            memset(chunk, silence_byte, static_cast<size_t>(n * fb));
            output_sink->audio(format, chunk, static_cast<size_t>(n * fb));
            left -= n;
            len -= n * fb;
        }
    }
    bool first = true;
    while (len > 0) {
        const int samples = len / fb < chunk_samples() ? len / fb : chunk_samples();
        const int bytes = samples > 0 ? samples * fb : len;
        memset(chunk, silence_byte, static_cast<size_t>(bytes));
        if (playing) {
            mix_passes(chunk, bytes);
        }
        if (first && hold == Hold::fading_in) {
            ramp(chunk, fade_samples() < samples ? fade_samples() : samples, true);
        }
        first = false;
        output_sink->audio(format, chunk, static_cast<size_t>(bytes));
        len -= bytes;
    }
    hold = Hold::playing;
}

// SDL's audio thread, live. SDL holds its audio lock around this call.
void audio_callback(void *, Uint8 *stream, int len) {
    lock_taking(LockRank::sdl_audio);
    sound_lock();
    if (playing_buffer) {
        live_audio_target(stream, len);
        pull(len);
        live_audio_target(nullptr, 0);
    }
    sound_unlock();
    lock_released(LockRank::sdl_audio);
}

// As time passes (a render's advance, a live step): every sample before t.
static void produce_to(DemoTime t) {
    const int rate = opened_rate.load();
    if (rate == 0 || position.load() >= samples_before(t, rate)) {
        return; // no device opened: no stream
    }
    sound_lock();
    const int64_t due = samples_before(t, rate);
    while (position.load() < due) {
        const int64_t left = due - position.load();
        const int samples = left < chunk_samples() ? static_cast<int>(left) : chunk_samples();
        const int bytes = samples * frame_bytes();
        memset(chunk, silence_byte, static_cast<size_t>(bytes));
        if (playing) {
            mix_passes(chunk, bytes);
        }
        output_sink->audio(format, chunk, static_cast<size_t>(bytes));
        position.store(position.load() + samples);
    }
    sound_unlock();
}

void install_sound_output() {
    sched_set_stream(produce_to);
    sched_on_hold(hold_sound);
}

void output_open(SDL_AudioSpec &spec) {
    AudioFormat asked = {spec.freq, spec.channels, spec.format == AUDIO_S16LSB ? 2 : 1};
    output_sink->audio_open(spec, asked, sched_now());
    // The guest mixes in the format SDL granted, which may differ from the one asked.
    sound_lock();
    format = {spec.freq, spec.channels,
              (spec.format == AUDIO_S16LSB || spec.format == AUDIO_U16LSB) ? 2 : 1};
    silence_byte = format.bytes_per_sample == 1 ? 0x80 : 0;
    // The stream begins at the open: what lies before it is silence, and
    // owes no passes.
    position.store(samples_before(sched_now(), format.rate > 0 ? format.rate : 1));
    opened_rate.store(format.rate > 0 ? format.rate : 0);
    sound_unlock();
}

void output_play(int pause_on) {
    // Paused first and let go of last, so that SDL never pulls while the
    // switch is off.
    if (pause_on) {
        output_sink->audio_play(pause_on);
    }
    sound_lock();
    playing = pause_on == 0;
    sound_unlock();
    if (!pause_on) {
        output_sink->audio_play(pause_on);
    }
}

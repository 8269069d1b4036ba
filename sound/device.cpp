// The emulated sound device that the guest's sound system drives, SDL audio
// output that pulls the guest's mixed bytes, and the DMA-buffer services.
#include "sound/sound.h"

#include <SDL.h>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "binding/run_state.h"
#include "machine/capture.h"
#include "machine/clock.h"
#include "shell/fatal.h"
#include "shell/guest_abi.h"
#include "sound/timer.h"

// Threads. The main thread runs the guest and every routine here but
// audio_callback; the SDL audio thread (sound on, once the device is open)
// runs audio_callback and through it player passes, that is guest code.
// Shared between them, and touched only under the sound lock: playing_buffer,
// live_areas, the data areas and the guest's mix_length and mixer state (the
// guest's mixer open and close hook run under it too). leftover_bytes and
// leftover_offset belong to the audio thread. mute, the device record's host
// fields and the guest symbols are set before any other thread exists.
//
// The sound lock: with sound on it is SDL's audio lock, which SDL holds
// around every audio_callback; muted there is no audio thread, and the timer
// thread's ticks (timer.cpp) take pass_mutex instead. So on either road every
// pass and every main-thread change of the shared state exclude each other,
// and nothing waits for a second lock while holding the first. On demo time
// there is no audio device: passes run where demo time advances (the main
// thread, or the render's stall watch), under pass_mutex too.
DmaBuffer *playing_buffer = nullptr;
int leftover_bytes = 0;
int leftover_offset = 0;

// The callback reads a buffer's data only while its area is listed here, with
// the size it was allocated with: the guest may free the buffer that is still
// playing, or change the record, and neither may make the audio thread read
// freed or foreign memory. The guest uses one DMA buffer; a full table is
// answered like a failed allocation.
LiveArea live_areas[live_area_capacity];

static SDL_mutex *pass_mutex = nullptr;
static std::once_flag pass_mutex_made;
// The thread holding the sound lock through sound_lock, and how often; the
// depth is touched only by that thread. On the audio thread inside the
// callback SDL already holds the lock and SDL_LockAudio only counts here.
static std::atomic<Uint32> lock_owner{0};
static int lock_depth = 0;

static bool uses_pass_mutex() {
    return mute || demo_clock;
}

void sound_lock() {
    if (uses_pass_mutex()) {
        // Made by whichever thread locks first.
        std::call_once(pass_mutex_made, [] {
            pass_mutex = SDL_CreateMutex();
            if (!pass_mutex) {
                fatal_sdl("smutex");
            }
        });
        SDL_mutexP(pass_mutex);
    } else {
        SDL_LockAudio();
    }
    const Uint32 self = SDL_ThreadID();
    if (lock_owner.load() == self) {
        lock_depth++;
    } else {
        lock_owner.store(self);
        lock_depth = 1;
    }
}

void sound_unlock() {
    if (--lock_depth == 0) {
        lock_owner.store(0);
    }
    if (uses_pass_mutex()) {
        SDL_mutexV(pass_mutex);
    } else {
        SDL_UnlockAudio();
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
// callback; then the rest of the request stays silent. Enough to ride out a
// mixer that skips a few passes, few enough that a callback made while the
// guest's sound system is not ready (or stuck) returns at once and SDL_Quit
// never waits on it.
constexpr int empty_pass_limit = 32;

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

// The guest's mode bits: 2 stereo, 8 16-bit; 0 means 10.
constexpr int mode_stereo = 2;
constexpr int mode_16bit = 8;
// The mixer's mode word: one channel bit and one width bit.
constexpr int mixer_mono = 1;
constexpr int mixer_stereo = 2;
constexpr int mixer_8bit = 4;
constexpr int mixer_16bit = 8;
constexpr int audio_buffer_samples = 2048;
// Configuration bits of the device record: what the guest's set-up asks of
// this device.
constexpr int32_t device_config_bits = 62;

void install_sound_device() {
    uint32_t *device_list = reinterpret_cast<uint32_t *>(guest_symbol(sym::device_list));
    device_list[1] = guest_symbol(sym::sound_device);
    device_list[2] = guest_symbol(sym::device_extra);

    SoundDevice *device = reinterpret_cast<SoundDevice *>(guest_symbol(sym::sound_device));
    device->pacing = 0;
    device->config_bits = device_config_bits;
    device->card_type = 1;
    device->card_type_count = 1;
    device->output_modes = mixer_mono | mixer_stereo | mixer_16bit;
    device->detect = reinterpret_cast<uint32_t>(&device_detect);
    device->open = reinterpret_cast<uint32_t>(&device_open);
    device->close = reinterpret_cast<uint32_t>(&device_close);
}

// guest: device record offset 48, stack (int *present)
GUEST_ENTRY int device_detect(int *present) {
    *present = mute ? 0 : 1;
    return 0;
}

// On demo time there is no audio device: audio is produced for the samples
// that demo time passes, in the format the guest asked for, and handed to
// the capture. Set by device_open; all of it under the demo lock, except the
// pause flag, which the main thread writes under the sound lock.
static int demo_rate = 0;
static int demo_frame_bytes = 0; // bytes of one sample of all channels
static uint8_t demo_silence = 0;
static int64_t demo_samples_done = 0;
static bool demo_paused = true;

void pause_audio(int on) {
    if (demo_clock) {
        sound_lock();
        demo_paused = on != 0;
        sound_unlock();
        return;
    }
    SDL_PauseAudio(on);
}

// The format device_open asked SDL for, live.
static int live_rate = 0;
static int live_channels = 0;
static bool live_16bit = false;

// Like SDL_OpenAudio, which refuses a second open.
static void open_demo_audio(const SDL_AudioSpec &spec) {
    demo_lock();
    if (demo_rate != 0) {
        demo_unlock();
        SDL_SetError("Audio device is already opened");
        fatal_sdl("aud0");
    }
    if (spec.freq <= 0) {
        demo_unlock();
        SDL_SetError("Invalid sample rate %d", spec.freq);
        fatal_sdl("aud0");
    }
    const int width = spec.format == AUDIO_S16LSB ? 2 : 1;
    demo_rate = spec.freq;
    demo_frame_bytes = width * spec.channels;
    demo_silence = width == 1 ? 0x80 : 0;
    // The samples before the open are silence, produced at the next advance.
    demo_samples_done = 0;
    if (capture_sink) {
        capture_sink->audio_format(spec.freq, spec.channels, width);
    }
    demo_unlock();
}

// guest: device record offset 52, stack (int rate, int mode)
GUEST_ENTRY int device_open(int rate, int mode) {
    if (mute) {
        return 1;
    }
    if (mode == 0) {
        mode = mode_16bit | mode_stereo;
    }

    SDL_AudioSpec spec = {};
    spec.freq = rate;
    spec.format = (mode & mode_16bit) ? AUDIO_S16LSB : AUDIO_U8;
    spec.channels = (mode & mode_stereo) ? 2 : 1;
    spec.samples = audio_buffer_samples;
    spec.callback = audio_callback;
    spec.userdata = nullptr;
    if (demo_clock) {
        open_demo_audio(spec);
    } else {
        // Without an obtained spec SDL converts to the hardware's format, so
        // the guest mixes in exactly the format asked for here.
        // Set before the open, while no audio thread exists to read them;
        // a failed or second open ends the process.
        live_rate = spec.freq;
        live_channels = spec.channels;
        live_16bit = spec.format == AUDIO_S16LSB;
        if (SDL_OpenAudio(&spec, nullptr) < 0) {
            fatal_sdl("aud0");
        }
    }
    pause_audio(1);

    int mode_word = spec.channels == 2 ? mixer_stereo : mixer_mono;
    if (spec.format == AUDIO_S16LSB || spec.format == AUDIO_U16LSB) {
        mode_word |= mixer_16bit;
    } else if (spec.format == AUDIO_U8 || spec.format == AUDIO_S8) {
        mode_word |= mixer_8bit;
    } else {
        fatal("aud1");
    }

    sound_lock();
    const int result = static_cast<int>(call_guest_stack(3, guest_symbol(sym::guest_mixer_open),
                                                         static_cast<uint32_t>(rate),
                                                         static_cast<uint32_t>(mode_word), 1u));
    sound_unlock();
    return result;
}

// guest: device record offset 56, stack ()
GUEST_ENTRY int device_close() {
    pause_audio(1);
    // The SDL device stays open; SDL_Quit closes it at exit. Pausing does not
    // wait for a callback under way; the lock does.
    sound_lock();
    const int result = reinterpret_cast<int (*)()>(guest_symbol(sym::guest_close_hook))();
    sound_unlock();
    return result;
}

// guest: redirect, arg code -2, stack (int size, DmaBuffer *buffer)
GUEST_ENTRY int dma_alloc_buffer(int size, DmaBuffer *buffer) {
    buffer->size = size;
    buffer->allocated = -1;
    // A negative size would become a huge size_t; treat it like a failed
    // allocation instead.
    uint8_t *data = size < 0 ? nullptr : static_cast<uint8_t *>(calloc(size, 1));
    buffer->data = data;
    if (!data) {
        return 1;
    }
    sound_lock();
    LiveArea *slot = nullptr;
    for (LiveArea &area : live_areas) {
        if (!area.data) {
            slot = &area;
            break;
        }
    }
    if (slot) {
        *slot = {data, size, buffer};
    }
    sound_unlock();
    if (!slot) {
        free(data);
        buffer->data = nullptr;
        return 1;
    }
    return 0;
}

// guest: redirect, arg code -2, stack (DmaBuffer *buffer)
GUEST_ENTRY int dma_free_buffer(DmaBuffer *buffer) {
    uint8_t *data = buffer->data;
    sound_lock();
    // Only a live area is freed, through the record it was allocated into.
    // The record keeps its pointer after a free, so a second free of the
    // same buffer finds nothing and is ignored, like a free of nothing: also
    // when the allocator has since handed that address to another buffer.
    for (LiveArea &area : live_areas) {
        if (data && area.data == data && area.owner == buffer) {
            area = {};
            free(data);
        }
    }
    sound_unlock();
    return 0;
}

// guest: redirect, arg code -2, stack (DmaBuffer *buffer)
GUEST_ENTRY int dma_play_buffer(DmaBuffer *buffer) {
    sound_lock();
    playing_buffer = buffer;
    sound_unlock();
    pause_audio(0);
    return 0;
}

// guest: redirect, arg code -2, stack ()
GUEST_ENTRY int dma_stop() {
    pause_audio(1);
    return 0;
}

// guest: redirect, arg code -2, stack (DmaBuffer *buffer, int *position)
GUEST_ENTRY int dma_buffer_position(DmaBuffer *buffer, int *position) {
    *position = buffer->size;
    return 0;
}

// guest: redirect, arg code -2, stack (int *out)
GUEST_ENTRY int report_zero(int *out) {
    *out = 0;
    return 0;
}

// guest: redirect, arg code -2, stack (int *out)
GUEST_ENTRY int report_fourteen(int *out) {
    *out = 14;
    return 0;
}

// The playing buffer's data area and its allocated size, or null when it has
// none that may be read.
static uint8_t *readable_data(int32_t *size) {
    DmaBuffer *buffer = playing_buffer;
    uint8_t *data = buffer ? buffer->data : nullptr;
    *size = live_area_size(data);
    return *size < 0 ? nullptr : data;
}

// Into a stream that holds silence. On demo time every byte of the stream
// is written once, into silence, where mixing at full volume is a copy; and
// with no device open, SDL would not know the format to mix in.
static void mix_bytes(Uint8 *stream, const uint8_t *source, int count) {
    if (demo_clock) {
        memcpy(stream, source, static_cast<size_t>(count));
    } else {
        SDL_MixAudio(stream, source, static_cast<Uint32>(count), SDL_MIX_MAXVOLUME);
    }
}

static void mix_passes(Uint8 *stream, int len);

// The player's pause, live. The music neither stops dead (a click) nor
// repeats a buffer: the callback fades the next few milliseconds out, then
// gives silence and runs no pass until the pause ends, and fades back in
// from the very next sample, so the guest's music loses nothing. Under the
// sound lock.
enum class Hold { playing, fading_out, held, fading_in };
static Hold hold = Hold::playing;
constexpr int fade_ms = 5;

static int fade_samples() {
    return live_rate * fade_ms / 1000;
}

// Scales the first `samples` samples of stream from gain 0 towards 1
// (fading in) or from 1 towards 0 (fading out), linearly.
static void ramp(Uint8 *stream, int samples, bool in) {
    const int n = fade_samples();
    for (int i = 0; i < samples; i++) {
        const int gain = in ? i : n - 1 - i; // of n
        for (int c = 0; c < live_channels; c++) {
            const int k = i * live_channels + c;
            if (live_16bit) {
                int16_t v;
                memcpy(&v, stream + 2 * k, 2);
                v = static_cast<int16_t>(v * gain / n);
                memcpy(stream + 2 * k, &v, 2);
            } else {
                stream[k] = static_cast<Uint8>((stream[k] - 128) * gain / n + 128);
            }
        }
    }
}

void hold_sound(int on) {
    if (mute) {
        // The timer's passes are held in timer_tick; there is no stream.
        sound_lock();
        hold = on ? Hold::held : Hold::playing;
        sound_unlock();
        return;
    }
    sound_lock();
    if (on) {
        // A fade-in not yet played needs no fade-out.
        hold = hold == Hold::fading_in ? Hold::held : Hold::fading_out;
    } else {
        hold = hold == Hold::fading_out ? Hold::playing : Hold::fading_in;
    }
    sound_unlock();
}

bool sound_held() {
    return hold == Hold::held || hold == Hold::fading_out;
}

// A step's audio is produced, so that the music stays with the picture and
// goes on from there on resume, and dropped: the grains of a few steps would
// be clicks, not music, and a step is taken to look at one frame.
static DemoTime step_units = 0;
static int64_t step_samples_done = 0;

void step_sound(DemoTime units) {
    if (mute) {
        timer_live_step(units);
        return;
    }
    static Uint8 scratch[16384];
    sound_lock();
    const int frame_bytes = live_channels * (live_16bit ? 2 : 1);
    step_units += units;
    const int64_t due = live_rate > 0 ? samples_before(step_units, live_rate) : 0;
    while (frame_bytes > 0 && step_samples_done < due) {
        int64_t samples = due - step_samples_done;
        if (samples > static_cast<int64_t>(sizeof scratch) / frame_bytes) {
            samples = static_cast<int64_t>(sizeof scratch) / frame_bytes;
        }
        const int len = static_cast<int>(samples) * frame_bytes;
        memset(scratch, live_16bit ? 0 : 0x80, static_cast<size_t>(len));
        mix_passes(scratch, len);
        step_samples_done += samples;
    }
    sound_unlock();
}

// SDL runs it under the audio lock, which is the sound lock with sound on.
void audio_callback(void *, Uint8 *stream, int len) {
    const int frame_bytes = live_channels * (live_16bit ? 2 : 1);
    if (hold == Hold::held || (hold == Hold::fading_out && frame_bytes == 0)) {
        hold = Hold::held; // SDL hands over a stream of silence
    } else if (hold == Hold::fading_out) {
        int samples = fade_samples() < len / frame_bytes ? fade_samples() : len / frame_bytes;
        mix_passes(stream, samples * frame_bytes);
        ramp(stream, samples, false);
        hold = Hold::held;
    } else {
        mix_passes(stream, len);
        if (hold == Hold::fading_in && frame_bytes > 0) {
            const int samples =
                fade_samples() < len / frame_bytes ? fade_samples() : len / frame_bytes;
            ramp(stream, samples, true);
        }
        hold = Hold::playing;
    }
    if (capture_sink) {
        capture_sink->audio(stream, static_cast<size_t>(len));
    }
}

// Produces the audio of the samples that demo time passed up to `to`:
// silence while paused or before a buffer plays, else what the passes mix,
// the same way the callback serves SDL. The caller holds the demo lock.
static void produce_demo_audio(DemoTime to) {
    if (demo_rate == 0) {
        return; // no device opened: no audio stream
    }
    const int64_t due = samples_before(to, demo_rate);
    // A bounded chunk at a time, whole samples each.
    static Uint8 chunk[16384];
    const int64_t chunk_samples = static_cast<int64_t>(sizeof chunk) / demo_frame_bytes;
    while (demo_samples_done < due) {
        const int64_t samples =
            due - demo_samples_done < chunk_samples ? due - demo_samples_done : chunk_samples;
        const int len = static_cast<int>(samples) * demo_frame_bytes;
        memset(chunk, demo_silence, static_cast<size_t>(len));
        sound_lock();
        if (!demo_paused) {
            mix_passes(chunk, len);
        }
        sound_unlock();
        if (capture_sink) {
            capture_sink->audio(chunk, static_cast<size_t>(len));
        }
        demo_samples_done += samples;
    }
}

void sound_demo_advance(DemoTime from, DemoTime to) {
    if (mute) {
        timer_demo_advance(from, to);
        return;
    }
    produce_demo_audio(to);
}

static void mix_passes(Uint8 *stream, int len) {
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
        mix_bytes(stream, data + leftover_offset, taken);
        stream += taken;
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
        mix_bytes(stream, data, taken);
        stream += taken;
        len -= taken;
        leftover_offset = 0;
        if (produced == 0 && ++empty_passes >= empty_pass_limit) {
            break;
        }
    }
    leftover_offset += taken;
    leftover_bytes = produced - taken;
}

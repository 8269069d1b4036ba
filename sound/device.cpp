// The emulated sound device as the guest's sound system sees it: its record,
// its open and close, and the DMA-buffer services. What it plays leaves
// through the output (output.cpp).
#include "sound/sound.h"

#include <SDL.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "binding/run_state.h"
#include "shell/fatal.h"
#include "shell/guest_abi.h"
#include "sound/timer.h"
#include "time/scheduler.h"

// Threads: everything here runs on the main thread, as guest code calls it;
// what it shares with the passes on other threads is changed under the
// sound lock (output.cpp).
DmaBuffer *playing_buffer = nullptr;

// The callback reads a buffer's data only while its area is listed here, with
// the size it was allocated with: the guest may free the buffer that is still
// playing, or change the record, and neither may make the audio thread read
// freed or foreign memory. The guest uses one DMA buffer; a full table is
// answered like a failed allocation.
LiveArea live_areas[live_area_capacity];

// The guest's mode bits: 2 stereo, 8 16-bit; 0 means 10.
constexpr int mode_stereo = 2;
constexpr int mode_16bit = 8;
// The mixer's mode word: one channel bit and one width bit.
constexpr int mixer_mono = 1;
constexpr int mixer_stereo = 2;
constexpr int mixer_8bit = 4;
constexpr int mixer_16bit = 8;
// SDL's buffer: 2048 samples, halved until it lasts at most 50 ms. The
// picture is shown when its sound is heard, but what a frame shows began
// anywhere in the buffer the mixer last made, so the buffer's length is the
// spread between picture and sound: at 22,050 Hz 2048 samples would spread
// them over 93 ms, 1024 over 46 ms.
constexpr int audio_buffer_samples = 2048;
constexpr int audio_buffer_max_ms = 50;

static Uint16 buffer_samples(int rate) {
    int samples = audio_buffer_samples;
    while (samples > 256 &&
           static_cast<int64_t>(samples) * 1000 > int64_t{audio_buffer_max_ms} * rate) {
        samples /= 2;
    }
    return static_cast<Uint16>(samples);
}
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
    const HostCall host_call;
    *present = mute ? 0 : 1;
    return 0;
}

// guest: device record offset 52, stack (int rate, int mode)
GUEST_ENTRY int device_open(int rate, int mode) {
    const HostCall host_call;
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
    spec.samples = buffer_samples(rate);
    spec.callback = audio_callback;
    spec.userdata = nullptr;
    output_open(spec);
    output_play(1);

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
    const HostCall host_call;
    output_play(1);
    // The SDL device stays open; SDL_Quit closes it at exit. Pausing does not
    // wait for a callback under way; the lock does.
    sound_lock();
    const int result = reinterpret_cast<int (*)()>(guest_symbol(sym::guest_close_hook))();
    sound_unlock();
    return result;
}

// guest: redirect, arg code -2, stack (int size, DmaBuffer *buffer)
GUEST_ENTRY int dma_alloc_buffer(int size, DmaBuffer *buffer) {
    const HostCall host_call;
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
    const HostCall host_call;
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
    const HostCall host_call;
    sound_lock();
    playing_buffer = buffer;
    sound_unlock();
    output_play(0);
    return 0;
}

// guest: redirect, arg code -2, stack ()
GUEST_ENTRY int dma_stop() {
    const HostCall host_call;
    output_play(1);
    return 0;
}

// guest: redirect, arg code -2, stack (DmaBuffer *buffer, int *position)
GUEST_ENTRY int dma_buffer_position(DmaBuffer *buffer, int *position) {
    const HostCall host_call;
    *position = buffer->size;
    return 0;
}

// guest: redirect, arg code -2, stack (int *out)
GUEST_ENTRY int report_zero(int *out) {
    const HostCall host_call;
    *out = 0;
    return 0;
}

// guest: redirect, arg code -2, stack (int *out)
GUEST_ENTRY int report_fourteen(int *out) {
    const HostCall host_call;
    *out = 14;
    return 0;
}

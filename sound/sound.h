// The emulated sound device, SDL audio output and the DMA-buffer services.
#pragma once

#include <SDL.h>
#include <cstddef>
#include <cstdint>

#include "time/scheduler.h"

// The guest's sound-device record; only the fields the host touches.
struct SoundDevice {
    int32_t pacing;      // 0: passes pulled by the audio callback
    int32_t config_bits; // settings the device asks the guest's setup for
    uint8_t unused8[12];
    int32_t card_type;       // the card model chosen, counted from 1
    int32_t card_type_count; // card models the device knows
    int32_t output_modes;    // mixer mode bits it offers (1 mono, 2 stereo, 8 16-bit)
    uint8_t unused32[16];
    uint32_t detect; // device_detect
    uint32_t open;   // device_open
    uint32_t close;  // device_close
    uint8_t unused60[116];
    uint32_t pass_start; // guest routine, no arguments
    uint32_t cycle;      // guest routine, (int *more_cycles)
};
static_assert(offsetof(SoundDevice, config_bits) == 4);
static_assert(offsetof(SoundDevice, card_type) == 20);
static_assert(offsetof(SoundDevice, card_type_count) == 24);
static_assert(offsetof(SoundDevice, output_modes) == 28);
static_assert(offsetof(SoundDevice, detect) == 48);
static_assert(offsetof(SoundDevice, close) == 56);
static_assert(offsetof(SoundDevice, pass_start) == 176);
static_assert(offsetof(SoundDevice, cycle) == 180);

// The guest's DMA-buffer record; only the fields the host touches.
struct DmaBuffer {
    uint8_t unused0[12];
    int32_t size; // bytes of the data area
    uint8_t unused16[4];
    int32_t allocated; // -1 once the data area exists
    uint8_t *data;     // host heap, zero-filled
};
static_assert(offsetof(DmaBuffer, size) == 12);
static_assert(offsetof(DmaBuffer, allocated) == 20);
static_assert(offsetof(DmaBuffer, data) == 24);

// Data areas handed out by dma_alloc_buffer and not yet freed (see device.cpp).
struct LiveArea {
    uint8_t *data;
    int32_t size;
    const DmaBuffer *owner; // the record it was allocated into
};
constexpr int live_area_capacity = 8;

extern DmaBuffer *playing_buffer;
extern LiveArea live_areas[live_area_capacity];
extern int leftover_bytes;
extern int leftover_offset;

// The one lock over everything the main thread shares with the passes on
// other threads (output.cpp says what). Recursive; a thread that ends the
// process while holding it lets go through sound_unlock_all.
void sound_lock();
void sound_unlock();
void sound_unlock_all();

void install_sound_device();
// The output (output.cpp): before the guest starts, its part in time (the
// samples produced as time passes, the player's pause); the device opened
// in the format SDL granted (the sink opens, the stream begins); the device's switch.
void install_sound_output();
void output_open(SDL_AudioSpec &spec);
void output_play(int pause_on);
// SDL's audio callback, live.
void audio_callback(void *userdata, Uint8 *stream, int len);
// The player's pause: hold (1) or let go (0) of the music.
void hold_sound(int on);

// Reached from guest code (device record and redirects, stack arguments).
int device_detect(int *present);
int device_open(int rate, int mode);
int device_close();
int dma_alloc_buffer(int size, DmaBuffer *buffer);
int dma_free_buffer(DmaBuffer *buffer);
int dma_play_buffer(DmaBuffer *buffer);
int dma_stop();
int dma_buffer_position(DmaBuffer *buffer, int *position);
int report_zero(int *out);
int report_fourteen(int *out);

// Where the guest's picture and sound go: one small interface, called from
// the frame path and the mixer. Live play installs the window and SDL audio
// (the default), a render its encoder; the choice is made once, where the
// sink is installed, and nothing else asks which one runs.
#pragma once

#include <SDL.h>
#include <cstddef>
#include <cstdint>

#include "time/scheduler.h"

// Audio as the mixer makes it: the rate, 1 or 2 channels and 1 (unsigned
// 8-bit) or 2 (signed 16-bit little-endian) bytes a sample.
struct AudioFormat {
    int rate;
    int channels;
    int bytes_per_sample;
};

struct OutputSink {
    // The guest set its 320x200 mode: live, the window opens.
    void (*display_open)();
    // A palette upload, under the video lock: it shows with the next frame.
    void (*palette)(const SDL_Color *palette);
    // A picture presented, to be shown at time `at` (its frame slot): 64000
    // palette indices and the 256 colours they are shown in. Copied.
    void (*frame)(const uint8_t *pixels, const SDL_Color *palette, DemoTime at);
    // The emulated sound device opened at time `at` in this format (the
    // callback SDL pulls with in spec): live, SDL audio opens, paused.
    void (*audio_open)(SDL_AudioSpec &spec, const AudioFormat &format, DemoTime at);
    // The device's switch: 0 plays, 1 pauses.
    void (*audio_play)(int pause_on);
    // Interleaved samples the mixer made, in the format opened. Copied.
    void (*audio)(const AudioFormat &format, const uint8_t *bytes, size_t count);
    // From the exit handlers: the output ends (live: the timer and audio
    // stop; a render finishes its file).
    void (*close)();
};

extern const OutputSink *output_sink;
// The window and SDL audio (machine/window.cpp).
extern const OutputSink live_sink;

// Live audio: SDL's callback names the stream that the live sink's samples
// go into until it returns; outside a callback (a step's sound) they go
// nowhere.
void live_audio_target(Uint8 *stream, int len);

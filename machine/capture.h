// Where presented frames and produced audio go besides the screen and the
// sound card: one small interface, called from the frame path and the audio
// path. Null when nothing captures, which costs live play one test.
#pragma once

#include <SDL.h>
#include <cstddef>
#include <cstdint>

#include "machine/clock.h"

struct CaptureSink {
    // A frame presented at demo time `at`: 64000 palette indices and the
    // palette they are shown in.
    void (*frame)(const uint8_t *pixels, const SDL_Color *palette, DemoTime at);
    // The format of the audio that follows: the rate, 1 or 2 channels and 1
    // (unsigned 8-bit) or 2 (signed 16-bit little-endian) bytes a sample.
    void (*audio_format)(int rate, int channels, int bytes_per_sample);
    // Interleaved samples in that format.
    void (*audio)(const uint8_t *bytes, size_t count);
};

extern const CaptureSink *capture_sink;

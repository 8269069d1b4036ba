// The host's own scaler: the guest's 320x200 picture on an output of any
// size, every guest column and line a whole number of output pixels (counts
// that differ by one at most, spread evenly), nothing blended. The window and
// the scaled video files share it.
#pragma once

#include <cstdint>

struct PictureLayout {
    int width, height;     // the output
    int x, y, w, h;        // the picture area within it, centred
    int column_start[321]; // output column of guest column x: [x] to [x + 1]
    int row_start[201];    // output line of guest line y: [y] to [y + 1]
    // Expands one guest line into output pixels through a colour table.
    void (*expand)(const PictureLayout &layout, const uint8_t *line, const uint32_t *colours,
                   uint32_t *out);
};

// The largest picture of 4:3 (or 16:10 with square pixels) within w x h.
void lay_out_picture(PictureLayout &layout, int w, int h, bool square_pixels);
// Draws the 64000 palette indices into the picture area of a 32-bit output
// whose lines are pitch bytes apart; the borders are left as they are.
void draw_picture(const PictureLayout &layout, const uint8_t *pixels, const uint32_t *colours,
                  uint8_t *output, int pitch);

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

// The picture in 4:2:0 (a video file's), from the palette indices without an
// RGB picture between: each palette entry's luma and chroma computed once,
// each guest line expanded once. Each 2x2 block's chroma is the rounded mean
// of its four pixels', so the chroma is kept unrounded, in 1/64 of a level.
struct Yuv420Colours {
    uint8_t y[256];
    uint16_t u[256], v[256];
};
// BT.709 in limited range (luma 16 to 235, chroma 16 to 240) of the 256
// palette entries, four bytes each (red, green, blue, unused).
void bt709_colours(const uint8_t *palette, Yuv420Colours &colours);
// Which guest column and line each chroma sample takes its 2x2 block from:
// two columns and two lines each, 320 or 200 where one lies on the border.
struct ChromaMap {
    int first_column, end_column; // the chroma samples the picture touches
    int first_line, end_line;
    uint16_t column[2][8192];
    uint16_t line[2][8192];
};
void map_chroma(const PictureLayout &layout, ChromaMap &map);
// Draws the 64000 palette indices into the picture area of three planes (Y,
// U, V; the chroma at half the size both ways). Chroma blocks that lie partly
// on the border take it for black; the rest of the border is left as it is.
void draw_picture_420(const PictureLayout &layout, const ChromaMap &map, const uint8_t *pixels,
                      const Yuv420Colours &colours, uint8_t *const planes[3], const int pitches[3]);

// The host's own scaler, shared by the window and the scaled video files.
#include "machine/picture.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// One guest line into output pixels. Whole factors (1x to 6x, the usual
// windows) get loops of a fixed count; other widths the general one.
template <int K>
static void expand_line(const PictureLayout &, const uint8_t *in, const uint32_t *colours,
                        uint32_t *out) {
    for (int x = 0; x < 320; x++) {
        const uint32_t c = colours[in[x]];
        for (int n = 0; n < K; n++) {
            *out++ = c;
        }
    }
}

static void expand_line_spread(const PictureLayout &layout, const uint8_t *in,
                               const uint32_t *colours, uint32_t *out) {
    for (int x = 0; x < 320; x++) {
        const uint32_t c = colours[in[x]];
        for (int n = layout.column_start[x + 1] - layout.column_start[x]; n > 0; n--) {
            *out++ = c;
        }
    }
}

using LineExpander = void (*)(const PictureLayout &, const uint8_t *, const uint32_t *, uint32_t *);

static LineExpander choose_expander(int pw) {
    static const LineExpander whole[] = {expand_line<1>, expand_line<2>, expand_line<3>,
                                         expand_line<4>, expand_line<5>, expand_line<6>};
    const int k = pw / 320;
    return pw % 320 == 0 && k >= 1 && k <= 6 ? whole[k - 1] : expand_line_spread;
}

// The largest picture of the chosen aspect within w x h, centred, and the
// maps from guest columns and lines to output pixels. Counts are whole and
// differ by at most one, spread evenly. An output smaller than the frame
// drops columns or lines evenly (counts of 0) rather than failing.
void lay_out_picture(PictureLayout &layout, int w, int h, bool square_pixels) {
    const int lines = square_pixels ? 200 : 240;
    int pw, ph;
    if (static_cast<int64_t>(w) * lines <= static_cast<int64_t>(h) * 320) {
        pw = w;
        ph = static_cast<int>(static_cast<int64_t>(w) * lines / 320);
    } else {
        ph = h;
        pw = static_cast<int>(static_cast<int64_t>(h) * 320 / lines);
    }
    layout.width = w;
    layout.height = h;
    layout.x = (w - pw) / 2;
    layout.y = (h - ph) / 2;
    layout.w = pw;
    layout.h = ph;
    for (int x = 0; x <= 320; x++) {
        layout.column_start[x] = layout.x + static_cast<int>(static_cast<int64_t>(x) * pw / 320);
    }
    for (int y = 0; y <= 200; y++) {
        layout.row_start[y] = layout.y + static_cast<int>(static_cast<int64_t>(y) * ph / 200);
    }
    layout.expand = choose_expander(pw);
}

// Each guest line is expanded once and its output line repeated.
void draw_picture(const PictureLayout &layout, const uint8_t *pixels, const uint32_t *colours,
                  uint8_t *output, int pitch) {
    const size_t line_bytes = static_cast<size_t>(layout.w) * 4;
    const size_t left_bytes = static_cast<size_t>(layout.x) * 4;
    for (int y = 0; y < 200; y++) {
        const int top = layout.row_start[y];
        const int bottom = layout.row_start[y + 1];
        if (top == bottom) {
            continue;
        }
        uint8_t *first = output + static_cast<size_t>(top) * pitch;
        layout.expand(layout, pixels + y * 320, colours,
                      reinterpret_cast<uint32_t *>(first) + layout.column_start[0]);
        for (int r = top + 1; r < bottom; r++) {
            memcpy(output + static_cast<size_t>(r) * pitch + left_bytes, first + left_bytes,
                   line_bytes);
        }
    }
}

// BT.709's luma weights, and limited range's 219 and 224 levels for 255,
// in units of 2^-16: whole numbers, so that every machine computes the same.
constexpr double kr = 0.2126, kg = 0.7152, kb = 0.0722;
constexpr int32_t fixed(double v) {
    return static_cast<int32_t>(v * 65536 + (v < 0 ? -0.5 : 0.5));
}
constexpr double luma_scale = 219.0 / 255, chroma_scale = 224.0 / 255;
constexpr int32_t y_r = fixed(kr * luma_scale), y_g = fixed(kg * luma_scale),
                  y_b = fixed(kb * luma_scale);
constexpr int32_t u_r = fixed(-kr / (2 * (1 - kb)) * chroma_scale),
                  u_g = fixed(-kg / (2 * (1 - kb)) * chroma_scale), u_b = fixed(0.5 * chroma_scale);
constexpr int32_t v_r = fixed(0.5 * chroma_scale), v_g = fixed(-kg / (2 * (1 - kr)) * chroma_scale),
                  v_b = fixed(-kb / (2 * (1 - kr)) * chroma_scale);
// Chroma in 1/64 of a level: four of them sum to a level in 1/256.
constexpr int chroma_bits = 6;
constexpr uint16_t black_chroma = 128 << chroma_bits;

void bt709_colours(const uint8_t *palette, Yuv420Colours &colours) {
    for (int i = 0; i < 256; i++) {
        const int32_t r = palette[4 * i], g = palette[4 * i + 1], b = palette[4 * i + 2];
        colours.y[i] = static_cast<uint8_t>(16 + ((y_r * r + y_g * g + y_b * b + (1 << 15)) >> 16));
        constexpr int shift = 16 - chroma_bits;
        colours.u[i] = static_cast<uint16_t>(
            black_chroma + ((u_r * r + u_g * g + u_b * b + (1 << (shift - 1))) >> shift));
        colours.v[i] = static_cast<uint16_t>(
            black_chroma + ((v_r * r + v_g * g + v_b * b + (1 << (shift - 1))) >> shift));
    }
}

// The guest column (or line) that output pixel p shows, `none` on the border:
// starts holds the first output pixel of each of count guest pixels, and
// its end.
static int guest_at(const int *starts, int count, int p, int none) {
    if (p < starts[0] || p >= starts[count]) {
        return none;
    }
    int lo = 0, hi = count; // starts[lo] <= p < starts[hi]
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (starts[mid] <= p) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return lo;
}

void map_chroma(const PictureLayout &layout, ChromaMap &map) {
    map.first_column = layout.x / 2;
    map.end_column = (layout.x + layout.w + 1) / 2;
    map.first_line = layout.y / 2;
    map.end_line = (layout.y + layout.h + 1) / 2;
    for (int i = map.first_column; i < map.end_column; i++) {
        for (int n = 0; n < 2; n++) {
            map.column[n][i] =
                static_cast<uint16_t>(guest_at(layout.column_start, 320, 2 * i + n, 320));
        }
    }
    for (int j = map.first_line; j < map.end_line; j++) {
        for (int n = 0; n < 2; n++) {
            map.line[n][j] = static_cast<uint16_t>(guest_at(layout.row_start, 200, 2 * j + n, 200));
        }
    }
}

static void expand_line_8(const PictureLayout &layout, const uint8_t *in, const uint8_t *table,
                          uint8_t *out) {
    for (int x = 0; x < 320; x++) {
        const uint8_t c = table[in[x]];
        for (int n = layout.column_start[x + 1] - layout.column_start[x]; n > 0; n--) {
            *out++ = c;
        }
    }
}

// The two lines' chroma summed for each guest column, and the border's
// (black) at column 320.
static void sum_lines(const uint8_t *pixels, int line0, int line1, const uint16_t *table,
                      uint16_t *sums) {
    const uint8_t *a = pixels + line0 * 320;
    const uint8_t *b = pixels + line1 * 320;
    if (line0 < 200 && line1 < 200) {
        for (int x = 0; x < 320; x++) {
            sums[x] = static_cast<uint16_t>(table[a[x]] + table[b[x]]);
        }
    } else {
        for (int x = 0; x < 320; x++) {
            sums[x] = static_cast<uint16_t>((line0 < 200 ? table[a[x]] : black_chroma) +
                                            (line1 < 200 ? table[b[x]] : black_chroma));
        }
    }
    sums[320] = 2 * black_chroma;
}

static void chroma_line(const ChromaMap &map, const uint16_t *sums, uint8_t *out) {
    for (int i = map.first_column; i < map.end_column; i++) {
        out[i] = static_cast<uint8_t>((sums[map.column[0][i]] + sums[map.column[1][i]] + 128) >> 8);
    }
}

// Luma as draw_picture does it: each guest line expanded once and repeated.
// Chroma lines that take the same two guest lines are one line repeated.
void draw_picture_420(const PictureLayout &layout, const ChromaMap &map, const uint8_t *pixels,
                      const Yuv420Colours &colours, uint8_t *const planes[3],
                      const int pitches[3]) {
    for (int y = 0; y < 200; y++) {
        const int top = layout.row_start[y];
        const int bottom = layout.row_start[y + 1];
        if (top == bottom) {
            continue;
        }
        uint8_t *first = planes[0] + static_cast<size_t>(top) * pitches[0] + layout.column_start[0];
        expand_line_8(layout, pixels + y * 320, colours.y, first);
        for (int r = top + 1; r < bottom; r++) {
            memcpy(planes[0] + static_cast<size_t>(r) * pitches[0] + layout.column_start[0], first,
                   static_cast<size_t>(layout.w));
        }
    }
    const size_t chroma_bytes = static_cast<size_t>(map.end_column - map.first_column);
    uint16_t u_sums[321], v_sums[321];
    int last0 = -1, last1 = -1;
    for (int j = map.first_line; j < map.end_line; j++) {
        const int line0 = map.line[0][j], line1 = map.line[1][j];
        uint8_t *u = planes[1] + static_cast<size_t>(j) * pitches[1];
        uint8_t *v = planes[2] + static_cast<size_t>(j) * pitches[2];
        if (line0 == last0 && line1 == last1) {
            memcpy(u + map.first_column, u - pitches[1] + map.first_column, chroma_bytes);
            memcpy(v + map.first_column, v - pitches[2] + map.first_column, chroma_bytes);
            continue;
        }
        sum_lines(pixels, line0, line1, colours.u, u_sums);
        sum_lines(pixels, line0, line1, colours.v, v_sums);
        chroma_line(map, u_sums, u);
        chroma_line(map, v_sums, v);
        last0 = line0;
        last1 = line1;
    }
}

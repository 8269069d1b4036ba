// The host's own scaler, shared by the window and the scaled video files.
#include "machine/picture.h"

#include <cstddef>
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

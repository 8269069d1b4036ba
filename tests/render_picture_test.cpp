// The .mp4's picture, drawn in 4:2:0 straight from the palette indices,
// against swscale's exact conversion of the same picture scaled in RGB.
#include <gtest/gtest.h>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "machine/picture.h"

namespace {

struct Planes {
    std::vector<uint8_t> bytes[3];
    uint8_t *data[3];
    int pitch[3];
    Planes(int w, int h) {
        for (int p = 0; p < 3; p++) {
            pitch[p] = p == 0 ? w : w / 2;
            bytes[p].assign(static_cast<size_t>(pitch[p]) * (p == 0 ? h : h / 2),
                            p == 0 ? 16 : 128);
            data[p] = bytes[p].data();
        }
    }
};

// The largest difference of any sample, and where it is.
struct Difference {
    int levels = 0, plane = 0, x = 0, y = 0;
};

Difference compare(const Planes &a, const Planes &b, int w, int h) {
    Difference d;
    for (int p = 0; p < 3; p++) {
        const int pw = p == 0 ? w : w / 2, ph = p == 0 ? h : h / 2;
        for (int y = 0; y < ph; y++) {
            for (int x = 0; x < pw; x++) {
                const int diff =
                    std::abs(a.data[p][y * a.pitch[p] + x] - b.data[p][y * b.pitch[p] + x]);
                if (diff > d.levels) {
                    d = {diff, p, x, y};
                }
            }
        }
    }
    return d;
}

// Every palette entry's extremes and steps: the eight corners of the RGB
// cube, greys and pure ramps, and the rest spread over the cube. Each guest
// pixel's neighbours differ in every direction, so every 2x2 block mixes
// colours, and borders with odd offsets split blocks between picture and
// black.
TEST(Picture420, WithinOneLevelOfSwscalesExactConversion) {
    uint8_t palette[1024] = {};
    uint32_t colours[256];
    for (int i = 0; i < 256; i++) {
        uint8_t *c = &palette[4 * i];
        if (i < 8) {
            c[0] = i & 1 ? 255 : 0, c[1] = i & 2 ? 255 : 0, c[2] = i & 4 ? 255 : 0;
        } else if (i < 64) {
            c[0] = c[1] = c[2] = static_cast<uint8_t>((i - 8) * 255 / 55);
        } else if (i < 128) {
            c[i % 3] = static_cast<uint8_t>((i - 64) * 4 + 3);
        } else {
            c[0] = static_cast<uint8_t>(i * 37), c[1] = static_cast<uint8_t>(i * 91 + 5),
            c[2] = static_cast<uint8_t>(i * 173 + 11);
        }
        colours[i] = static_cast<uint32_t>(c[0]) << 16 | static_cast<uint32_t>(c[1]) << 8 | c[2];
    }
    std::vector<uint8_t> pixels(64000);
    for (int i = 0; i < 64000; i++) {
        pixels[i] = static_cast<uint8_t>((i % 320) * 7 + (i / 320) * 13 + (i % 17) * (i % 17) % 5);
    }
    Yuv420Colours yuv;
    bt709_colours(palette, yuv);

    // 1440x1080 (the default), 2880x2160 (-scale 9), and with square pixels
    // in a frame that leaves borders on all sides at odd offsets.
    const struct {
        int w, h;
        bool square;
    } sizes[] = {{1440, 1080, false}, {2880, 2160, false}, {1000, 702, true}, {642, 402, false}};
    for (const auto &s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        PictureLayout layout;
        lay_out_picture(layout, s.w, s.h, s.square);
        static ChromaMap map;
        map_chroma(layout, map);
        Planes ours(s.w, s.h);
        draw_picture_420(layout, map, pixels.data(), yuv, ours.data, ours.pitch);

        std::vector<uint32_t> rgb(static_cast<size_t>(s.w) * s.h, 0);
        draw_picture(layout, pixels.data(), colours, reinterpret_cast<uint8_t *>(rgb.data()),
                     s.w * 4);
        SwsContext *sws =
            sws_getContext(s.w, s.h, AV_PIX_FMT_0RGB32, s.w, s.h, AV_PIX_FMT_YUV420P,
                           SWS_AREA | SWS_BITEXACT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        ASSERT_NE(sws, nullptr);
        ASSERT_GE(sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1,
                                           sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16,
                                           1 << 16),
                  0);
        Planes theirs(s.w, s.h);
        const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(rgb.data())};
        const int in_pitch[1] = {s.w * 4};
        ASSERT_EQ(sws_scale(sws, in, in_pitch, 0, s.h, theirs.data, theirs.pitch), s.h);
        sws_freeContext(sws);
        const Difference d = compare(ours, theirs, s.w, s.h);
        EXPECT_LE(d.levels, 1) << "plane " << d.plane << " at " << d.x << "," << d.y;
    }
}

} // namespace

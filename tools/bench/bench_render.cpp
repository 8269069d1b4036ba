// The .mp4's picture: the host's own 4:2:0 conversion from the palette
// indices (each palette entry's luma and chroma once, each guest line
// expanded once) against what it replaces, the scaled picture in 32-bit RGB
// and swscale's exact conversion of it. Both on the sample's plasma at
// 1440x1080, timed alternately in one run so that the machine's load weighs
// on both alike.
#include <benchmark/benchmark.h>
#include <chrono>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "machine/picture.h"
#include "tools/sample_bytes.h"

namespace {

constexpr int width = 1440, height = 1080;

struct Planes {
    std::vector<uint8_t> y, u, v;
    uint8_t *data[3];
    int pitch[3];
    Planes() : y(width * height), u(width * height / 4), v(width * height / 4) {
        data[0] = y.data();
        data[1] = u.data();
        data[2] = v.data();
        pitch[0] = width;
        pitch[1] = pitch[2] = width / 2;
    }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Mp4PictureConversion(benchmark::State &state) {
    std::vector<uint8_t> frames(64 * 64000);
    for (unsigned f = 0; f < 64; f++) {
        sample_plasma_frame(f * 3, &frames[f * 64000]);
    }
    uint8_t six_bit[768];
    sample_plasma_palette(six_bit);
    uint8_t palette[1024] = {};
    uint32_t colours[256];
    for (int i = 0; i < 256; i++) {
        for (int c = 0; c < 3; c++) {
            palette[4 * i + c] = static_cast<uint8_t>(six_bit[3 * i + c] * 4);
        }
        colours[i] = static_cast<uint32_t>(palette[4 * i]) << 16 | palette[4 * i + 1] << 8 |
                     palette[4 * i + 2];
    }
    static PictureLayout layout;
    static ChromaMap map;
    lay_out_picture(layout, width, height, false);
    map_chroma(layout, map);
    Planes ours, theirs;
    std::vector<uint8_t> rgb(width * height * 4);
    SwsContext *sws =
        sws_getContext(width, height, AV_PIX_FMT_0RGB32, width, height, AV_PIX_FMT_YUV420P,
                       SWS_AREA | SWS_BITEXACT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    double ours_s = 0, theirs_s = 0;
    int64_t n = 0;
    for (auto _ : state) {
        const uint8_t *pixels = &frames[(n % 64) * 64000];
        auto start = std::chrono::steady_clock::now();
        Yuv420Colours yuv;
        bt709_colours(palette, yuv);
        draw_picture_420(layout, map, pixels, yuv, ours.data, ours.pitch);
        ours_s += seconds_since(start);
        start = std::chrono::steady_clock::now();
        draw_picture(layout, pixels, colours, rgb.data(), width * 4);
        const uint8_t *in[1] = {rgb.data()};
        const int in_pitch[1] = {width * 4};
        sws_scale(sws, in, in_pitch, 0, height, theirs.data, theirs.pitch);
        theirs_s += seconds_since(start);
        benchmark::DoNotOptimize(ours.y.data());
        benchmark::DoNotOptimize(theirs.y.data());
        n++;
    }
    sws_freeContext(sws);
    state.counters["ours_ms"] = 1000 * ours_s / n;
    state.counters["rgb_and_swscale_ms"] = 1000 * theirs_s / n;
    state.counters["ours_over_swscale"] = ours_s / theirs_s;
}
BENCHMARK(BM_Mp4PictureConversion)->Iterations(400)->Unit(benchmark::kMillisecond);

} // namespace

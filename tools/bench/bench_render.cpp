// The render's encoder alone, with no guest: the sample guest's plasma at the
// VGA refresh and 44.1 kHz 16-bit stereo sound, through the same calls and
// settings as a render, into a file under /tmp. A render of the sample is
// measured against these figures: what it takes beyond them is the host's.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "render/encoder.h"
#include "tools/sample_bytes.h"

namespace {

// The plasma repeats after 256 frames; they are made once.
const std::vector<uint8_t> &plasma() {
    static std::vector<uint8_t> frames;
    if (frames.empty()) {
        frames.resize(256 * 64000);
        for (unsigned f = 0; f < 256; f++) {
            sample_plasma_frame(f, frames.data() + f * 64000);
        }
    }
    return frames;
}

// The sample's screen palette, as SDL_Color entries.
std::vector<uint8_t> plasma_palette() {
    uint8_t six_bit[768];
    sample_plasma_palette(six_bit);
    std::vector<uint8_t> palette(1024);
    for (unsigned i = 0; i < 256; i++) {
        for (unsigned c = 0; c < 3; c++) {
            palette[4 * i + c] = static_cast<uint8_t>(six_bit[3 * i + c] * 4);
        }
    }
    return palette;
}

constexpr int64_t rate_num = 125875;
constexpr int64_t rate_den = 1796;
constexpr int audio_rate = 44100;

// A tune of square waves, a note every quarter second.
std::vector<uint8_t> tune(int64_t from, int64_t to) {
    static const int note_hz[8] = {262, 392, 523, 659, 784, 1047, 880, 330};
    std::vector<uint8_t> bytes;
    for (int64_t n = from; n < to; n++) {
        const int hz = note_hz[(n / (audio_rate / 4)) % 8];
        const int16_t v = (n * hz * 2 / audio_rate) % 2 ? 6000 : -6000;
        for (int channel = 0; channel < 2; channel++) {
            bytes.push_back(static_cast<uint8_t>(v));
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return bytes;
}

void encode(benchmark::State &state, const char *name, const RenderVideoFormat &video) {
    char folder[] = "/tmp/lumox-bench.XXXXXX";
    if (!mkdtemp(folder)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    const std::string path = std::string(folder) + "/" + name;
    const int frames = static_cast<int>(state.range(0));
    const std::vector<uint8_t> &pictures = plasma();
    const std::vector<uint8_t> palette = plasma_palette();
    const RenderAudioFormat audio{audio_rate, 2, 2};
    for (auto _ : state) {
        encoder_prepare(path.c_str(), render_container_for(path.c_str()), &video);
        encoder_start(&audio);
        int64_t samples = 0;
        for (int k = 0; k < frames; k++) {
            encoder_video_frame(&pictures[(k % 256) * 64000], palette.data());
            const int64_t due = (k + 1) * audio_rate * rate_den / rate_num;
            const std::vector<uint8_t> bytes = tune(samples, due);
            encoder_audio(bytes.data(), bytes.size());
            samples = due;
        }
        encoder_finish();
    }
    state.SetLabel(std::to_string(encoder_bytes_written() / 1024) + " KiB");
    unlink(path.c_str());
    rmdir(folder);
    using benchmark::Counter;
    state.counters["fps"] = Counter(frames, Counter::kIsIterationInvariantRate);
    state.counters["x_real_time"] = Counter(static_cast<double>(frames) * rate_den / rate_num,
                                            Counter::kIsIterationInvariantRate);
}

// The archival master: FFV1 and FLAC of the native picture, ten seconds.
void BM_EncodeMkvNative(benchmark::State &state) {
    encode(state, "bench.mkv", RenderVideoFormat{320, 200, false, rate_num, rate_den});
}
BENCHMARK(BM_EncodeMkvNative)->Arg(701)->Unit(benchmark::kSecond)->UseRealTime();

// For video sites: x264 and AAC at 1440x1080, one second.
void BM_EncodeMp4At1080(benchmark::State &state) {
    encode(state, "bench.mp4", RenderVideoFormat{1440, 1080, false, rate_num, rate_den});
}
BENCHMARK(BM_EncodeMp4At1080)->Arg(70)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

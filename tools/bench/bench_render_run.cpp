// The whole render of the sample guest through the real host, as a user runs
// it, against the render's encoder alone on the same frames and sound: demo
// seconds written per wall second, CPU seconds per demo second, and the ratio
// of the two walls, which is the host's share. The frames are the host's own,
// read back from a render (lossless) into palette indices and palettes; each
// iteration times the host and then the encoder alone, so that the ratio
// comes from one run under one load.
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "render/encoder.h"

namespace {

constexpr int64_t rate_num = 125875, rate_den = 1796;

// build/tools/bench/lumox_bench -> build/
std::string build_dir() {
    return std::filesystem::read_symlink("/proc/self/exe")
        .parent_path()
        .parent_path()
        .parent_path();
}

double seconds(const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Renders `length` seconds of the sample (then its fade) into `out`; false
// on failure. Its wall time and CPU time (every thread's).
bool render_once(const std::string &dir, const std::string &out, int length, double &wall_s,
                 double &cpu_s) {
    const std::string host = build_dir() + "/sample/lumoxrun-sample";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr)) {
            _exit(126);
        }
        const std::string text = std::to_string(length);
        execl(host.c_str(), host.c_str(), "-render", out.c_str(), "-seconds", text.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    wait4(pid, &status, 0, &usage);
    wall_s = seconds_since(start);
    cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A render's frames as the host hands them to the encoder (64000 palette
// indices, then 256 palette entries of four bytes), and its sound.
struct Capture {
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint8_t> sound; // interleaved signed 16-bit
    int rate = 0, channels = 0;
};

// A frame of at most 256 colours back into indices and a palette, the
// colours numbered as they first appear: equal frames give equal bytes.
std::vector<uint8_t> to_indices(const AVFrame *f) {
    std::vector<uint8_t> picture(64000 + 1024, 0);
    std::vector<uint32_t> seen;
    std::unordered_map<uint32_t, uint8_t> index;
    for (int y = 0; y < 200; y++) {
        const uint32_t *line = reinterpret_cast<const uint32_t *>(f->data[0] + y * f->linesize[0]);
        for (int x = 0; x < 320; x++) {
            const uint32_t c = line[x] & 0xFFFFFF;
            auto at = index.find(c);
            if (at == index.end()) {
                at = index.emplace(c, static_cast<uint8_t>(seen.size() < 256 ? seen.size() : 255))
                         .first;
                seen.push_back(c);
            }
            picture[y * 320 + x] = at->second;
        }
    }
    for (size_t i = 0; i < seen.size() && i < 256; i++) {
        picture[64000 + 4 * i] = static_cast<uint8_t>(seen[i] >> 16);
        picture[64000 + 4 * i + 1] = static_cast<uint8_t>(seen[i] >> 8);
        picture[64000 + 4 * i + 2] = static_cast<uint8_t>(seen[i]);
    }
    return picture;
}

bool capture(const std::string &mkv, Capture &c) {
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, mkv.c_str(), nullptr, nullptr) != 0 ||
        avformat_find_stream_info(fmt, nullptr) < 0) {
        return false;
    }
    std::vector<AVCodecContext *> dec(fmt->nb_streams);
    for (unsigned s = 0; s < fmt->nb_streams; s++) {
        const AVCodec *codec = avcodec_find_decoder(fmt->streams[s]->codecpar->codec_id);
        dec[s] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(dec[s], fmt->streams[s]->codecpar);
        avcodec_open2(dec[s], codec, nullptr);
    }
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&](unsigned s) {
        while (avcodec_receive_frame(dec[s], frame) == 0) {
            if (dec[s]->codec_type == AVMEDIA_TYPE_VIDEO) {
                c.pictures.push_back(to_indices(frame));
            } else {
                c.rate = frame->sample_rate;
                c.channels = frame->ch_layout.nb_channels;
                const size_t bytes = static_cast<size_t>(frame->nb_samples) * c.channels * 2;
                c.sound.insert(c.sound.end(), frame->data[0], frame->data[0] + bytes);
            }
        }
    };
    while (av_read_frame(fmt, packet) >= 0) {
        const unsigned s = static_cast<unsigned>(packet->stream_index);
        avcodec_send_packet(dec[s], packet);
        av_packet_unref(packet);
        drain(s);
    }
    for (unsigned s = 0; s < fmt->nb_streams; s++) {
        avcodec_send_packet(dec[s], nullptr);
        drain(s);
        avcodec_free_context(&dec[s]);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&fmt);
    return !c.pictures.empty() && c.rate > 0;
}

// The captured render through the encoder alone, frame by frame with the
// sound each slot completes, as the host feeds it; wall and CPU time.
void encode_alone(const Capture &c, const std::string &path, double &wall_s, double &cpu_s) {
    const RenderContainer *container = render_container_for(path.c_str());
    const RenderVideoFormat video = container->native_picture
                                        ? RenderVideoFormat{320, 200, false, rate_num, rate_den}
                                        : RenderVideoFormat{1440, 1080, false, rate_num, rate_den};
    const RenderAudioFormat audio{c.rate, c.channels, 2};
    const int sample_bytes = c.channels * 2;
    const int64_t sound_samples = static_cast<int64_t>(c.sound.size()) / sample_bytes;
    rusage before = {}, after = {};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    encoder_prepare(path.c_str(), container, &video);
    encoder_start(&audio);
    int64_t sent = 0;
    for (size_t k = 0; k < c.pictures.size(); k++) {
        encoder_video_frame(c.pictures[k].data(), c.pictures[k].data() + 64000);
        int64_t due = static_cast<int64_t>(k + 1) * rate_den * c.rate / rate_num;
        due = due < sound_samples ? due : sound_samples;
        if (due > sent) {
            encoder_audio(&c.sound[sent * sample_bytes], (due - sent) * sample_bytes);
            sent = due;
        }
    }
    encoder_finish();
    wall_s = seconds_since(start);
    getrusage(RUSAGE_SELF, &after);
    cpu_s = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
            seconds(before.ru_stime);
}

void RenderAgainstEncoder(benchmark::State &state, const char *extension, int length) {
    const std::string dir = std::filesystem::temp_directory_path() / "lumox_bench_render";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(build_dir() + "/sample/fix/lumox.exe", dir + "/lumox.exe",
                               std::filesystem::copy_options::overwrite_existing);
    double wall_s = 0, cpu_s = 0;
    Capture c;
    if (!render_once(dir, dir + "/capture.mkv", length, wall_s, cpu_s) ||
        !capture(dir + "/capture.mkv", c)) {
        state.SkipWithError("the render to capture from failed");
        return;
    }
    const double demo_s = static_cast<double>(c.pictures.size()) * rate_den / rate_num;
    const std::string out = dir + "/out" + extension;
    double host_wall = 0, host_cpu = 0, alone_wall = 0, alone_cpu = 0;
    int runs = 0;
    for (auto _ : state) {
        if (!render_once(dir, out, length, wall_s, cpu_s)) {
            state.SkipWithError("the render failed");
            break;
        }
        host_wall += wall_s;
        host_cpu += cpu_s;
        encode_alone(c, out, wall_s, cpu_s);
        alone_wall += wall_s;
        alone_cpu += cpu_s;
        runs++;
    }
    std::filesystem::remove_all(dir);
    if (runs == 0) {
        return;
    }
    state.counters["x_real_time"] = runs * demo_s / host_wall;
    state.counters["cpu_s_per_demo_s"] = host_cpu / (runs * demo_s);
    state.counters["alone_x_real_time"] = runs * demo_s / alone_wall;
    state.counters["alone_cpu_s_per_demo_s"] = alone_cpu / (runs * demo_s);
    state.counters["host_over_alone"] = host_wall / alone_wall;
}

BENCHMARK_CAPTURE(RenderAgainstEncoder, mkv, ".mkv", 20)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(RenderAgainstEncoder, mp4, ".mp4", 10)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

} // namespace

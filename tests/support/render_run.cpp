#include "support/render_run.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <regex>

const std::vector<std::string> render_headless = {"SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=alsa",
                                                  "DISPLAY=", "AUDIODEV=/nonexistent"};

std::string describe(const ProcessResult &r) {
    return "status " + std::to_string(r.exit_status) + ", signal " + std::to_string(r.signal) +
           (r.timed_out ? ", timed out" : "") + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

ProcessResult render_sample(const TempDir &dir, const std::vector<std::string> &options,
                            const std::vector<std::string> &env) {
    return run_sample(dir, options, env, 240000);
}

std::string media_tool(const std::vector<std::string> &argv) {
    const ProcessResult r = run_process(argv, "/tmp", {}, 120000);
    EXPECT_EQ(r.exit_status, 0) << argv[0] << ": " << r.err;
    return r.out;
}

std::string probe(const std::string &file, const std::string &stream, const std::string &keys) {
    return media_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", stream,
                       "-show_entries", "stream=" + keys, "-of", "default=nw=1", file});
}

int64_t probe_field(const std::string &text, const std::string &key) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(key + "=([0-9]+)"))) {
        ADD_FAILURE() << "no " << key << " in " << text;
        return -1;
    }
    return std::stoll(m[1]);
}

std::vector<std::vector<uint8_t>> decode_frames(const TempDir &dir, const std::string &file) {
    const std::string raw = dir.file("frames.rgb");
    media_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", file, "-map", "0:v:0", "-f",
                "rawvideo", "-pix_fmt", "rgb24", raw});
    const std::vector<unsigned char> bytes = read_bytes(raw);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + render_frame_rgb <= bytes.size(); at += render_frame_rgb) {
        frames.emplace_back(bytes.begin() + at, bytes.begin() + at + render_frame_rgb);
    }
    EXPECT_EQ(bytes.size() % render_frame_rgb, 0u);
    return frames;
}

std::vector<int16_t> decode_audio(const TempDir &dir, const std::string &file) {
    const std::string raw = dir.file("audio.raw");
    media_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", file, "-map", "0:a:0", "-f", "s16le",
                "-acodec", "pcm_s16le", raw});
    const std::vector<unsigned char> bytes = read_bytes(raw);
    std::vector<int16_t> samples(bytes.size() / 2);
    memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<uint8_t> screen_frame(int f, int level) {
    static const std::vector<uint8_t> palette = sample_screen_palette();
    const std::vector<uint8_t> pixels = sample_frame(f);
    std::vector<uint8_t> rgb(render_frame_rgb);
    for (int i = 0; i < 64000; i++) {
        for (int c = 0; c < 3; c++) {
            const int six_bit = palette[3 * pixels[i] + c] / 4;
            rgb[3 * i + c] =
                static_cast<uint8_t>((level >= 64 ? six_bit : six_bit * level >> 6) * 4);
        }
    }
    return rgb;
}

int64_t rendered_count(const ProcessResult &r, const std::string &file, const std::string &what) {
    std::smatch m;
    const std::regex line("rendered " + file + ": ([0-9]+) " + what +
                          ", [0-9.]+ s, [0-9.]+x real time[^\n]*\n$");
    if (!std::regex_search(r.err, m, line)) {
        ADD_FAILURE() << "no closing line for " << file << ":\n" << r.err;
        return -1;
    }
    return std::stoll(m[1]);
}

std::vector<std::string> render_outputs(const TempDir &dir) {
    std::vector<std::string> names;
    // readdir64: a 32-bit readdir gives up on 64-bit inode numbers.
    DIR *d = opendir(dir.path.c_str());
    while (dirent64 *e = d ? readdir64(d) : nullptr) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "lumox.exe" && name != "lumox.scr") {
            names.push_back(name);
        }
    }
    if (d) {
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

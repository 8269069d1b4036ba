// Live play's picture against its sound and the VGA's cadence, measured as
// a benchmark would (the figures are printed): the sample plays in a window
// on a virtual X server with SDL's disk audio driver, and a preloaded probe
// logs every audio callback and every flip with the colour of the note bar.
// The tests hold the figures only to bounds far outside the goals, so that
// a loaded machine cannot fail them.
//
// A sample of the disk file is taken as heard one buffer after the disk
// driver writes its buffer, plus its place in the buffer: the driver writes
// each buffer when a sound card would take it, and a card plays a buffer
// while it holds the next.
#include <SDL.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

#include "support/melody.h"
#include "support/sample_run.h"

namespace {

struct AvLog {
    int rate = 0, channels = 0, bytes_per_sample = 2;
    std::vector<std::pair<int64_t, int>> writes;     // the disk file's (us), bytes
    std::vector<std::pair<int64_t, uint32_t>> flips; // time (us), bar colour
    std::vector<std::pair<int64_t, int>> keys;       // released (us), SDL key
};

AvLog read_log(const std::string &path) {
    AvLog log;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind;
        int64_t t = 0;
        words >> kind >> t;
        if (kind == "O") {
            int format = 0;
            words >> log.rate >> log.channels >> format;
            log.bytes_per_sample = (format & 0xFF) / 8;
        } else if (kind == "K") {
            int key = 0;
            words >> key;
            log.keys.emplace_back(t, key);
        } else if (kind == "W") {
            int len = 0;
            words >> len;
            log.writes.emplace_back(t, len);
        } else if (kind == "F") {
            std::string rgb;
            words >> rgb;
            log.flips.emplace_back(t, static_cast<uint32_t>(std::stoul(rgb, nullptr, 16)));
        }
    }
    // The disk file's own rate, which a library may have converted to: what
    // it writes in a second.
    if (log.writes.size() > 10) {
        int64_t bytes = 0;
        for (size_t i = 0; i + 1 < log.writes.size(); i++) {
            bytes += log.writes[i].second;
        }
        const double seconds = (log.writes.back().first - log.writes.front().first) / 1e6;
        const double rate = bytes / (log.channels * log.bytes_per_sample) / seconds;
        for (int standard : {11025, 22050, 44100, 48000}) {
            if (std::abs(rate - standard) < standard * 0.05) {
                log.rate = standard;
            }
        }
    }
    return log;
}

// When sample n of the disk file is heard, in microseconds; -1 when it was
// never written.
double heard_us(const AvLog &log, int64_t n) {
    const int frame = log.channels * log.bytes_per_sample;
    int64_t start = 0;
    for (const auto &[t, len] : log.writes) {
        const int64_t samples = len / frame;
        if (n < start + samples) {
            return static_cast<double>(t) + (samples + n - start) * 1e6 / log.rate;
        }
        start += samples;
    }
    return -1;
}

// The melody index whose bar has this colour on the screen, -1 for none.
int note_of_colour(uint32_t rgb) {
    static const std::vector<uint8_t> palette = sample_screen_palette();
    for (int n = 0; n < 8; n++) {
        const uint8_t *c = &palette[3 * sample_note_bar_index(n)];
        if (rgb == (static_cast<uint32_t>(c[0]) << 16 | c[1] << 8 | c[2])) {
            return n;
        }
    }
    return -1;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

struct Figures {
    int notes = 0;
    double median_ms = NAN, p90_abs_ms = NAN; // picture after its sound
    double slot_p90_ms = NAN;                 // flips off the cadence
};

// The sample of the disk file heard nearest to time t (us).
int64_t sample_heard_at(const AvLog &log, double t) {
    const int frame = log.channels * log.bytes_per_sample;
    int64_t start = 0;
    for (const auto &[w, len] : log.writes) {
        const int64_t samples = len / frame;
        const double first = static_cast<double>(w) + samples * 1e6 / log.rate;
        if (t < first + samples * 1e6 / log.rate) {
            return start + std::max<int64_t>(0, static_cast<int64_t>((t - first) * log.rate / 1e6));
        }
        start += samples;
    }
    return start;
}

Figures measure(const AvLog &log, const std::vector<int16_t> &stereo) {
    Figures f;
    std::vector<double> offsets;
    // Each change of the note bar from one note to the next, and where that
    // change is in the sound, a quarter of a second either way.
    int shown = -1;
    for (const auto &[t, rgb] : log.flips) {
        const int note = note_of_colour(rgb);
        if (note < 0) {
            continue;
        }
        if (shown >= 0 && note != shown) {
            const int64_t onset =
                note_onset(stereo, log.rate, shown, note,
                           sample_heard_at(log, static_cast<double>(t)), log.rate / 4);
            if (onset >= 0 && heard_us(log, onset) >= 0) {
                offsets.push_back((t - heard_us(log, onset)) / 1000.0);
            }
        }
        shown = note;
    }
    f.notes = static_cast<int>(offsets.size());
    f.median_ms = percentile(offsets, 0.5);
    std::vector<double> magnitudes;
    for (double o : offsets) {
        magnitudes.push_back(std::abs(o));
    }
    f.p90_abs_ms = percentile(magnitudes, 0.9);
    // Each flip's distance from the cadence's phase (circular mean).
    const double slot_us = 1796.0 / 125875 * 1e6;
    double sx = 0, sy = 0;
    for (const auto &[t, rgb] : log.flips) {
        const double a = 2 * M_PI * std::fmod(static_cast<double>(t), slot_us) / slot_us;
        sx += std::cos(a);
        sy += std::sin(a);
    }
    const double phase = std::atan2(sy, sx) / (2 * M_PI) * slot_us;
    std::vector<double> off_slot;
    for (const auto &[t, rgb] : log.flips) {
        double d = std::fmod(static_cast<double>(t) - phase, slot_us);
        d = d < 0 ? d + slot_us : d;
        off_slot.push_back(std::min(d, slot_us - d) / 1000.0);
    }
    f.slot_p90_ms = percentile(off_slot, 0.9);
    return f;
}

// The sample plays eight seconds of its melody; the note bar shows each
// note as the mixer makes it. Printed: how long after its sound a note's
// first frame is flipped, and how far flips lie from the VGA's cadence.
TEST(LiveSync, ThePictureMeetsItsSoundOnTheVgasCadence) {
    Xvfb x("1920x1080x24");
    ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 150\nrate 22050\n");
    const std::string audio = dir.file("audio.raw"), log_path = dir.file("av.log");
    std::vector<std::string> env = {
        "DISPLAY=" + x.display,     "SDL_VIDEODRIVER=x11",
        "SDL_AUDIODRIVER=disk",     "SDL_DISKAUDIOFILE=" + audio,
        "LUMOX_AV_LOG=" + log_path, preload_env(sample_build_dir() + "/tests/av_probe.so")};
    // The classic library's disk driver waits 150 ms a buffer unless told
    // the buffer's own length (1024 samples at 22,050 Hz); sdl12-compat's
    // waits that by itself.
    const bool classic = getenv("LUMOX_CLASSIC_SDL_DIR") != nullptr;
    if (classic) {
        env.push_back("SDL_DISKAUDIODELAY=46");
    }
    Child child = start_sample(dir, {}, env);
    const ProcessResult r = finish_child(child, 120000);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const AvLog log = read_log(log_path);
    ASSERT_GT(log.rate, 0) << "no audio opened";
    const std::vector<unsigned char> bytes = read_bytes(audio);
    std::vector<int16_t> stereo(bytes.size() / 2);
    memcpy(stereo.data(), bytes.data(), stereo.size() * 2);
    const Figures f = measure(log, stereo);
    printf("live A/V (%s): picture after its sound %.1f ms (median), |%.1f| ms (p90) over %d "
           "notes; flips off the VGA's cadence %.2f ms (p90) over %zu flips\n",
           classic ? "classic SDL" : "sdl12-compat", f.median_ms, f.p90_abs_ms, f.notes,
           f.slot_p90_ms, log.flips.size());
    EXPECT_GE(f.notes, 20);
    // Under the user-mode emulator the host runs many times slower than
    // natively, and its timing is the emulator's: the figures are printed,
    // held to nothing.
    if (!under_emulator()) {
        EXPECT_LT(std::abs(f.median_ms), 40.0);
        EXPECT_LT(f.slot_p90_ms, 4.0);
    }
}

// Runs the sample in a window with disk audio and the probe's log; `during`
// acts on the running window. Returns the sound's left channel and the log.
struct LiveRun {
    AvLog log;
    std::vector<int16_t> left;
    ProcessResult result;
};
LiveRun run_live(const std::string &script,
                 const std::function<void(const Xvfb &, const std::string &)> &during) {
    Xvfb x("1920x1080x24");
    EXPECT_FALSE(x.display.empty()) << "Xvfb did not start";
    TempDir dir;
    prepare_sample_dir(dir, false, script);
    const std::string audio = dir.file("audio.raw"), log_path = dir.file("av.log");
    std::vector<std::string> env = {
        "DISPLAY=" + x.display,     "SDL_VIDEODRIVER=x11",
        "SDL_AUDIODRIVER=disk",     "SDL_DISKAUDIOFILE=" + audio,
        "LUMOX_AV_LOG=" + log_path, preload_env(sample_build_dir() + "/tests/av_probe.so")};
    if (getenv("LUMOX_CLASSIC_SDL_DIR")) {
        env.push_back("SDL_DISKAUDIODELAY=46");
    }
    Child child = start_sample(dir, {}, env);
    const std::string window = find_window(x, "^Lumox", 20000);
    if (!window.empty()) {
        during(x, window);
    }
    LiveRun run;
    run.result = finish_child(child, 120000);
    run.log = read_log(log_path);
    const std::vector<unsigned char> bytes = read_bytes(audio);
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        run.left.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    return run;
}

void keys(const Xvfb &x, const std::string &window, const std::vector<std::string> &names) {
    x_command(x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
    std::vector<std::string> argv = {"/usr/bin/xdotool", "key", "--delay", "10"};
    argv.insert(argv.end(), names.begin(), names.end());
    x_command(x, argv);
}

int largest_step(const std::vector<int16_t> &v, size_t from, size_t to) {
    int largest = 0;
    for (size_t i = from + 1; i < to && i < v.size(); i++) {
        largest = std::max(largest, std::abs(v[i] - v[i - 1]));
    }
    return largest;
}

// Three pauses, one of them stepped right away, one resumed by a step
// first: the music fades out and in and never jumps more than it does by
// itself, and each stretch of it between the pauses is the unpaused music,
// sample for sample, going on exactly where the last one held (the step's
// own time aside, played out of hearing).
TEST(LiveSync, PausesKeepTheMusicWholeAndStepsNeverClick) {
    // At 44.1 kHz, which sdl12-compat's disk driver takes as it is: another
    // rate it resamples, and a resampled file is not sample-exact.
    const std::string script = "frames 110\nrate 44100\nnotes 0\n";
    const LiveRun plain = run_live(script, [](const Xvfb &, const std::string &) {});
    ASSERT_EQ(plain.result.exit_status, 0) << plain.result.err;
    const LiveRun paused = run_live(script, [](const Xvfb &x, const std::string &window) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        for (const std::vector<std::string> &press :
             {std::vector<std::string>{"p"}, std::vector<std::string>{"p", "period"},
              std::vector<std::string>{"p"}}) {
            keys(x, window, press);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            keys(x, window, {"p"});
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
    });
    ASSERT_EQ(paused.result.exit_status, 0) << paused.result.err;
    const std::vector<int16_t> &a = plain.left, &b = paused.left;
    ASSERT_GT(a.size(), 44100u);
    const int own = largest_step(a, 0, a.size());
    EXPECT_LE(largest_step(b, 0, b.size()), own) << "a click: a jump the music never makes";

    // The stretches of music between silences of 10 ms or more.
    std::vector<std::pair<size_t, size_t>> stretches;
    size_t start = 0, zeros = 0;
    for (size_t i = 0; i <= b.size(); i++) {
        if (i < b.size() && b[i] == 0) {
            zeros++;
            continue;
        }
        if (zeros >= 441 || i == b.size()) {
            const size_t end = i - zeros;
            if (end > start + 4410) {
                stretches.emplace_back(start, end);
            }
            start = i;
        }
        zeros = 0;
    }
    ASSERT_GE(stretches.size(), 4u) << "the pauses left no silences";
    // The first stretch is the plain run's music from its start; each next
    // one, less its fades, goes on in the plain run's music exactly where the
    // last one held, but for the stepped pause's, which lies one step on (a
    // frame's time at most). Periodic music repeats itself, so a stretch is
    // looked for only where it belongs.
    const size_t rate = 44100, fade = rate * 5 / 1000 + 2;
    // The files begin with silence as long as SDL took to start pulling.
    const size_t a_start = static_cast<size_t>(
        std::find_if(a.begin(), a.end(), [](int16_t v) { return v != 0; }) - a.begin());
    size_t held_at = 0; // where, in the plain run, the last stretch ended
    for (size_t k = 0; k < stretches.size(); k++) {
        const size_t from = stretches[k].first + fade;
        size_t to = stretches[k].second - fade;
        const size_t first = k == 0 ? a_start + fade - 4 : held_at + fade - 4;
        const size_t last = k == 0   ? a_start + fade + 4
                            : k == 2 ? held_at + rate / 10
                                     : held_at + fade + 4;
        size_t place = 0;
        bool matched = false;
        for (size_t at = first; at <= last && !matched; at++) {
            const size_t n = std::min(to - from, a.size() > at ? a.size() - at : 0);
            matched =
                n > rate / 10 && std::equal(b.begin() + from, b.begin() + from + n, a.begin() + at);
            place = at;
        }
        EXPECT_TRUE(matched) << "stretch " << k << " does not go on where the music held";
        held_at = place + (to - from) + fade;
    }
}

// Paused, thirty presses of `.` ten milliseconds apart: thirty frames, each
// flipped in turn, none lost while the one before is still being made.
TEST(LiveSync, ThirtyFastStepsGiveThirtyFrames) {
    const LiveRun run =
        run_live("frames 300\nnotes 0\n", [](const Xvfb &x, const std::string &window) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            keys(x, window, {"p"});
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            keys(x, window, std::vector<std::string>(30, "period"));
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            keys(x, window, {"p", "q"});
        });
    ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
    // From the first step's key to the resume's.
    int64_t first = -1, resume = -1;
    int pauses = 0;
    for (const auto &[t, key] : run.log.keys) {
        if (key == SDLK_PERIOD && first < 0) {
            first = t;
        }
        if (key == SDLK_p && ++pauses == 2) {
            resume = t;
        }
    }
    ASSERT_GT(first, 0);
    ASSERT_GT(resume, first);
    int flips = 0;
    for (const auto &[t, rgb] : run.log.flips) {
        flips += t >= first && t < resume;
    }
    EXPECT_EQ(flips, 30);
}

} // namespace

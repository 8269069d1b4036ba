// The sample's music as SDL's disk audio driver records it: the melody's
// notes at their frequencies, in order and without gaps. With -mute nothing
// is recorded and the guest's player still advances on the SDL timer.
#include <cmath>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

#include "support/sample_run.h"

namespace {

constexpr int rate = 44100;       // what the disk driver records, whatever the guest asks
constexpr int window = rate / 20; // 50 ms: four windows a note

// Power of one frequency in a window, relative to the window's whole power
// (1 for a pure tone at that frequency, 0 for silence).
double tone_share(const std::vector<double> &x, size_t at, double hz) {
    const double w = 2 * M_PI * hz / rate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (int i = 0; i < window; i++) {
        const double v = x[at + i];
        const double s = v + c * s1 - s2;
        s2 = s1;
        s1 = s;
        energy += v * v;
    }
    if (energy < 1e3 * window) {
        return 0; // silence
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return power / (energy * window / 2);
}

// The note of each window: its index in the melody, or -1 for silence or a
// mix of two notes.
std::vector<int> notes_of(const std::vector<double> &x) {
    std::vector<int> notes;
    for (size_t at = 0; at + window <= x.size(); at += window) {
        int best = -1;
        double best_share = 0.6;
        for (int n = 0; n < 8; n++) {
            const double share = tone_share(x, at, sample_melody_hz[n]);
            if (share > best_share) {
                best_share = share;
                best = n;
            }
        }
        notes.push_back(best);
    }
    return notes;
}

TEST(SampleAudio, RecordedStreamHoldsTheMelodyInOrderWithoutGaps) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 80\nrate 44100\n");
    const std::string audio = dir.file("audio.raw");
    const ProcessResult r = run_sample(
        dir, {}, {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audio},
        40000);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;

    // Signed 16-bit stereo; the left channel is enough.
    const std::vector<unsigned char> bytes = read_bytes(audio);
    ASSERT_GT(bytes.size(), size_t{rate * 4 * 2}) << "less than two seconds recorded";
    std::vector<double> left;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        left.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    const std::vector<int> notes = notes_of(left);

    // From the first note to the end of the music (the last windows may hold
    // the stop), every window is a note or the change between two.
    size_t first = 0;
    while (first < notes.size() && notes[first] < 0) {
        first++;
    }
    size_t last = notes.size();
    while (last > first && notes[last - 1] < 0) {
        last--;
    }
    ASSERT_LT(first, last) << "no note recognised";
    std::vector<std::pair<int, int>> runs; // note, windows
    for (size_t i = first; i < last; i++) {
        if (notes[i] < 0) {
            ASSERT_TRUE(i > first && i + 1 < last && notes[i - 1] >= 0 && notes[i + 1] >= 0 &&
                        notes[i + 1] != notes[i - 1])
                << "gap at " << i * 50 << " ms";
            continue;
        }
        if (!runs.empty() && runs.back().first == notes[i]) {
            runs.back().second++;
        } else {
            runs.push_back({notes[i], 1});
        }
    }
    ASSERT_GE(runs.size(), 10u) << "fewer notes than a whole melody and a bit";
    for (size_t k = 1; k < runs.size(); k++) {
        EXPECT_EQ(runs[k].first, (runs[k - 1].first + 1) % 8) << "note " << k << " out of order";
        if (k + 1 < runs.size()) {
            // 200 ms a note: four windows, one of which may be a change.
            EXPECT_GE(runs[k].second, 3) << "note " << k << " too short";
            EXPECT_LE(runs[k].second, 4) << "note " << k << " too long";
        }
    }
}

TEST(SampleAudio, MuteRecordsNothingAndThePlayerStillAdvances) {
    TempDir dir;
    prepare_sample_dir(dir, true, "frames 40\n");
    const std::string audio = dir.file("audio.raw");
    const ProcessResult r = run_sample(
        dir, {"-mute"},
        {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audio}, 40000);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    struct stat st;
    EXPECT_NE(stat(audio.c_str(), &st), 0) << "an audio file was written";
    // 40 frames take 1.6 seconds at least (a frame at each of 18.2 ticks and
    // 5 notes a second): the timer drives 50 player calls a second.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("after 40 frames, (\\d+) player calls")))
        << r.out;
    EXPECT_GE(std::stoi(m[1]), 60) << r.out;
}

} // namespace

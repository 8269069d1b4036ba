// The sample in a real window on a virtual X server: the caption names the
// release, a held frame is on the screen pixel for pixel as computed here, and
// the keys and the window's close request do what they should.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <thread>

#include "support/sample_run.h"

namespace {

const char farewell[] = "\nHave a nice day\n";
constexpr int held_frame = 24;

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string describe(const ProcessResult &r) {
    return "status " + std::to_string(r.exit_status) + ", signal " + std::to_string(r.signal) +
           (r.timed_out ? ", timed out" : "") + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> x_env(const Xvfb &x) {
    return {"DISPLAY=" + x.display, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy"};
}

// Environment words later in the list win: the disk driver records audio.
std::vector<std::string> disk_audio(const std::string &path) {
    return {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + path};
}

using Clock = std::chrono::steady_clock;
int ms_since(Clock::time_point t) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Pixels of the screenshot that differ from the held frame in its palette.
int wrong_pixels(const std::vector<uint8_t> &rgb) {
    static const std::vector<uint8_t> frame = sample_frame(held_frame);
    static const std::vector<uint8_t> palette = sample_screen_palette();
    int wrong = 0;
    for (size_t p = 0; p < frame.size(); p++) {
        if (memcmp(&rgb[3 * p], &palette[3 * frame[p]], 3) != 0) {
            wrong++;
        }
    }
    return wrong;
}

// Waits until the window shows the held frame; returns the last screenshot.
std::vector<uint8_t> wait_for_held_frame(const Xvfb &x, int &wrong) {
    std::vector<uint8_t> rgb;
    wrong = -1;
    for (int tries = 0; tries < 50; tries++) {
        int w, h;
        rgb = screenshot(x, find_window(x, "^Lumox", 1000), w, h);
        if (w == 320 && h == 200) {
            wrong = wrong_pixels(rgb);
            if (wrong == 0) {
                break;
            }
        }
        sleep_ms(200);
    }
    return rgb;
}

void key(const Xvfb &x, const std::string &window, const std::string &name) {
    x_command(x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
    x_command(x, {"/usr/bin/xdotool", "key", name});
}

// Saves what the window showed, for the documentation's picture.
void keep_screenshot(const std::vector<uint8_t> &rgb) {
    const std::string dir = sample_build_dir();
    std::string ppm = "P6\n320 200\n255\n";
    ppm.append(rgb.begin(), rgb.end());
    const std::string path = dir + "/sample/screenshot.ppm";
    write_bytes(path, std::vector<unsigned char>(ppm.begin(), ppm.end()));
    run_process(
        {"/bin/sh", "-c",
         "pnmtopng '" + path + "' > '" + std::string(dir) + "/sample/screenshot.png' 2>/dev/null"},
        "/tmp");
}

struct Window : testing::Test {
    Xvfb x;
    TempDir dir;
    Child child;
    std::string window;

    void start(bool party, const std::string &script, const std::vector<std::string> &options,
               const std::vector<std::string> &env = {}) {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        prepare_sample_dir(dir, party, script);
        // The window of a 320x200 picture, which these tests compare 1:1.
        std::vector<std::string> all = {"-scale", "1", "-square"};
        all.insert(all.end(), options.begin(), options.end());
        std::vector<std::string> all_env = x_env(x);
        all_env.insert(all_env.end(), env.begin(), env.end());
        child = start_sample(dir, all, all_env);
        window = find_window(x, "^Lumox", 20000);
        ASSERT_FALSE(window.empty()) << "no window";
        // SDL may replace its first window once the guest sets its mode.
        sleep_ms(700);
        window = find_window(x, "^Lumox", 1000);
    }
    ProcessResult finish() { return finish_child(child, 20000); }
    void TearDown() override {
        if (child.pid > 0) {
            finish_child(child, 0);
        }
    }
};

TEST_F(Window, HeldFrameFullScreenToggleAndEscape) {
    start(false, "hold 24\nnotes 0\nescape 3\n", {});
    EXPECT_EQ(x_command(x, {"/usr/bin/xdotool", "getwindowname", window}),
              "Lumox(Fix) 'f' - fullscreen, 'q/esc' - quit\n");
    int wrong;
    const std::vector<uint8_t> rgb = wait_for_held_frame(x, wrong);
    EXPECT_EQ(wrong, 0) << "pixels differing from the held frame";
    if (wrong == 0) {
        keep_screenshot(rgb);
    }

    // Full screen and back: the picture and its palette survive.
    key(x, window, "f");
    sleep_ms(500);
    EXPECT_TRUE(child_running(child));
    window = find_window(x, "^Lumox", 5000);
    key(x, window, "f");
    sleep_ms(500);
    window = find_window(x, "^Lumox", 5000);
    wait_for_held_frame(x, wrong);
    EXPECT_EQ(wrong, 0) << "pixels differing after full screen and back";

    // Escape reaches the guest, which fades out and leaves with its status.
    key(x, window, "Escape");
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 3) << describe(r);
    EXPECT_NE(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

// Under a server without a window manager the full-screen window never
// changes size, and SDL keeps the scaled letterbox it laid out for the whole
// screen once the window is back; so this checks that a picture is shown,
// not its pixels.
TEST_F(Window, StartsFullScreenWithTheOptionAndOneKeyBringsBackTheWindow) {
    start(false, "hold 24\n", {"-f", "-mute"});
    // Keys sent while SDL still waits for the full-screen state are lost:
    // first the picture.
    for (int tries = 0; tries < 50; tries++) {
        int fw = 0, fh = 0;
        const std::vector<uint8_t> full = screenshot(x, window, fw, fh);
        int lit = 0;
        for (size_t p = 0; p + 3 <= full.size(); p += 3) {
            lit += (full[p] | full[p + 1] | full[p + 2]) != 0;
        }
        if (lit > 64000 / 2) {
            break;
        }
        sleep_ms(100);
    }
    key(x, window, "f");
    sleep_ms(1500);
    EXPECT_TRUE(child_running(child));
    int w = 0, h = 0;
    const std::vector<uint8_t> rgb = screenshot(x, find_window(x, "^Lumox", 1000), w, h);
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    int shown = 0;
    for (size_t p = 0; p + 3 <= rgb.size(); p += 3) {
        shown += (rgb[p] | rgb[p + 1] | rgb[p + 2]) != 0;
    }
    EXPECT_GT(shown, 64000 / 2) << "little of the picture is on the screen";

    // Escape without an exit status asked for: the guest's main routine
    // returns to the host, which ends with status 0.
    key(x, window, "Escape");
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_NE(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

TEST_F(Window, QuitKeyEndsWithStatusZero) {
    start(true, "hold 24\nnotes 0\nescape 3\n", {"-mute"});
    EXPECT_EQ(x_command(x, {"/usr/bin/xdotool", "getwindowname", window}),
              "Lumox(Party) 'f' - fullscreen, 'q/esc' - quit\n");
    int wrong;
    wait_for_held_frame(x, wrong);
    EXPECT_EQ(wrong, 0);
    key(x, window, "q");
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_EQ(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

// The sample's closing report: frames, player calls and the ticks they took.
struct Report {
    int frames = -1, player_calls = -1, ticks = -1;
};
Report report_of(const std::string &out) {
    std::smatch m;
    Report r;
    if (std::regex_search(out, m,
                          std::regex("after (\\d+) frames, (\\d+) player calls, \\d+ mixed "
                                     "passes, (\\d+) ticks"))) {
        r = {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
    }
    return r;
}

// The animated frame (0 to 255; the plasma repeats) that a 320x200 shot
// shows, or -1. Lines 192 and below are not compared: they are the guest's.
int frame_shown(const std::vector<uint8_t> &rgb) {
    static const std::vector<uint8_t> palette = sample_screen_palette();
    if (rgb.size() != 64000 * 3) {
        return -1;
    }
    for (int f = 0; f < 256; f++) {
        const std::vector<uint8_t> frame = sample_frame(f);
        bool same = true;
        for (size_t p = 0; same && p < 320 * 192; p++) {
            same = memcmp(&rgb[3 * p], &palette[3 * frame[p]], 3) == 0;
        }
        if (same) {
            return f;
        }
    }
    return -1;
}

std::vector<uint8_t> shot(const Xvfb &x) {
    int w, h;
    return screenshot(x, find_window(x, "^Lumox", 1000), w, h);
}

std::string caption(const Xvfb &x) {
    return x_command(x, {"/usr/bin/xdotool", "getwindowname", find_window(x, "^Lumox", 1000)});
}

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Paused: the picture, the ticks and the music stand still and the window
// still answers f; resumed, the ticks go on without the paused time (the
// guest's ticks fit the time it ran unpaused); Escape from a pause leaves as
// Escape does. The music fades out into the pause and in after it.
void check_pause(Window &t, bool mute) {
    const std::string audio = t.dir.file("audio.raw");
    const Clock::time_point started = Clock::now();
    t.start(false, "escape 3\nrate 44100\n",
            mute ? std::vector<std::string>{"-mute"} : std::vector<std::string>{},
            disk_audio(audio));
    sleep_ms(2000);
    key(t.x, t.window, "p");
    const Clock::time_point paused = Clock::now();
    sleep_ms(500);
    EXPECT_EQ(caption(t.x), "Lumox(Fix) paused: 'p' - resume, '.' - next frame, 'q/esc' - quit\n");
    const std::vector<uint8_t> before = shot(t.x);
    const off_t heard = file_size(audio);
    sleep_ms(1000);
    EXPECT_TRUE(shot(t.x) == before) << "the picture moved while paused";
    const off_t heard_later = file_size(audio);
    key(t.x, t.window, "f");
    sleep_ms(500);
    key(t.x, find_window(t.x, "^Lumox", 5000), "f");
    sleep_ms(1500);
    t.window = find_window(t.x, "^Lumox", 5000);
    EXPECT_TRUE(shot(t.x) == before) << "not the same picture after full screen and back";
    key(t.x, t.window, "p");
    const int paused_ms = ms_since(paused);
    sleep_ms(1500);
    EXPECT_EQ(caption(t.x), "Lumox(Fix) 'f' - fullscreen, 'q/esc' - quit\n");
    EXPECT_TRUE(shot(t.x) != before) << "the picture did not move on";
    key(t.x, t.window, "p");
    sleep_ms(300);
    key(t.x, t.window, "Escape");
    const ProcessResult r = t.finish();
    const int run_ms = ms_since(started);
    EXPECT_EQ(r.exit_status, 3) << describe(r);
    EXPECT_NE(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);

    // What the guest saw of time cannot hold the pause: at most the run less
    // the pause (less the keys' delivery, half a second at most).
    const Report report = report_of(r.out);
    ASSERT_GT(report.frames, 0) << r.out;
    const int unpaused_ms = run_ms - (paused_ms - 500);
    EXPECT_LE(report.ticks * 5000 / 91, unpaused_ms)
        << r.out << "paused " << paused_ms << " of " << run_ms;
    if (mute) {
        // The timer drives 50 player calls a second, none while paused.
        EXPECT_LE(report.player_calls * 20, unpaused_ms) << r.out;
        EXPECT_LT(heard, 0) << "an audio file was written";
        return;
    }

    // Signed 16-bit stereo; the left channel. The disk driver writes as the
    // device plays, so what it wrote during that second is the pause's.
    const std::vector<unsigned char> bytes = read_bytes(audio);
    ASSERT_GT(heard_later, heard + 44100 * 4 / 2) << "less than half a second written";
    std::vector<int> left;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        left.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    size_t first = static_cast<size_t>(heard) / 4, last = static_cast<size_t>(heard_later) / 4;
    for (size_t i = first; i < last; i++) {
        ASSERT_EQ(left[i], 0) << "sound while paused, at sample " << i;
    }
    // The whole silence, and the music on both sides of it: no sample near
    // its edges as loud as half the music's peak.
    while (first > 0 && left[first - 1] == 0) {
        first--;
    }
    while (last < left.size() && left[last] == 0) {
        last++;
    }
    constexpr size_t edge = 88, around = 2205; // 2 ms, 50 ms
    ASSERT_GT(first, around);
    ASSERT_LT(last + around, left.size());
    auto loudest = [&](size_t from, size_t to) {
        int m = 0;
        for (size_t i = from; i < to; i++) {
            m = std::max(m, std::abs(left[i]));
        }
        return m;
    };
    EXPECT_GT(loudest(first - around, first), 1000) << "no music before the pause";
    EXPECT_LT(loudest(first - edge, first) * 2, loudest(first - around, first))
        << "a click into the pause";
    EXPECT_LT(loudest(last, last + edge) * 2, loudest(last, last + around))
        << "a click out of the pause";
}

TEST_F(Window, PauseHoldsPictureTicksAndMusicAndEscapeLeavesFromIt) {
    check_pause(*this, false);
}

TEST_F(Window, PauseHoldsTheMutedPlayersTimer) {
    check_pause(*this, true);
}

// Each '.' while paused shows the next frame and holds it; q quits from the
// pause.
TEST_F(Window, StepShowsSuccessiveFramesAndQuitLeavesFromThePause) {
    start(true, "escape 3\n", {"-mute"});
    sleep_ms(2000);
    key(x, window, "p");
    sleep_ms(500);
    std::vector<uint8_t> last = shot(x);
    int frame = frame_shown(last);
    ASSERT_GE(frame, 0) << "no frame of the sample on the screen";
    for (int step = 1; step <= 3; step++) {
        key(x, window, "period");
        std::vector<uint8_t> now;
        for (int tries = 0; tries < 30 && (now = shot(x)) == last; tries++) {
            sleep_ms(100);
        }
        sleep_ms(500);
        EXPECT_TRUE(shot(x) == now) << "step " << step << " did not hold";
        EXPECT_EQ(frame_shown(now), (frame + 1) % 256) << "step " << step;
        frame = (frame + 1) % 256;
        last = now;
    }
    EXPECT_NE(caption(x).find("paused"), std::string::npos);
    key(x, window, "q");
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_EQ(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

TEST_F(Window, ClosingTheWindowEndsWithStatusZero) {
    start(true, "escape 3\n", {});
    sleep_ms(500);
    ASSERT_TRUE(request_close(x, window));
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

} // namespace

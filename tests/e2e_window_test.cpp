// The sample in a real window on a virtual X server: the caption names the
// release, a held frame is on the screen pixel for pixel as computed here, and
// the keys and the window's close request do what they should.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
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

// Polls until the state is there, up to a bound generous enough for a
// loaded machine; whether it came.
bool wait_for(const std::function<bool()> &state, int timeout_ms = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!state()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        sleep_ms(100);
    }
    return true;
}

int lit_pixels(const std::vector<uint8_t> &rgb) {
    int lit = 0;
    for (size_t p = 0; p + 3 <= rgb.size(); p += 3) {
        lit += (rgb[p] | rgb[p + 1] | rgb[p + 2]) != 0;
    }
    return lit;
}

std::vector<std::string> x_env(const Xvfb &x) {
    return {"DISPLAY=" + x.display, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy"};
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
               std::vector<std::string> env = {}) {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        prepare_sample_dir(dir, party, script);
        // The window of a 320x200 picture, which these tests compare 1:1.
        std::vector<std::string> all = {"-scale", "1", "-square"};
        all.insert(all.end(), options.begin(), options.end());
        // Words later in the environment win.
        const std::vector<std::string> base = x_env(x);
        env.insert(env.begin(), base.begin(), base.end());
        child = start_sample(dir, all, env);
        ASSERT_FALSE(find_window(x, "^Lumox", 20000).empty()) << "no window";
        // SDL may replace its first window once the guest sets its mode, and
        // keys sent while it still waits for a full-screen state are lost:
        // the window that shows the guest's picture.
        ASSERT_TRUE(wait_for([&] { return picture_shown(); })) << "no picture in the window";
    }
    // Finds the window anew: whether it shows most of a picture.
    bool picture_shown() {
        int w = 0, h = 0;
        window = find_window(x, "^Lumox", 1000);
        return !window.empty() && lit_pixels(screenshot(x, window, w, h)) > 64000 / 2;
    }
    // Finds the window anew: whether it is this big.
    bool window_is(int width, int height) {
        window = find_window(x, "^Lumox", 1000);
        const std::string geometry =
            window.empty()
                ? ""
                : x_command(x, {"/usr/bin/xdotool", "getwindowgeometry", "--shell", window});
        const std::string size =
            "WIDTH=" + std::to_string(width) + "\nHEIGHT=" + std::to_string(height) + "\n";
        return geometry.find(size) != std::string::npos;
    }
    std::string caption() { return x_command(x, {"/usr/bin/xdotool", "getwindowname", window}); }
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
    // Without a window manager the window keeps its place, partly off the
    // screen: its size alone tells.
    ASSERT_TRUE(wait_for([&] { return window_is(1024, 768); })) << "not full screen";
    EXPECT_TRUE(child_running(child));
    key(x, window, "f");
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
    key(x, window, "f");
    EXPECT_TRUE(wait_for([&] { return window_is(320, 200) && picture_shown(); }))
        << "no window of the picture's size with most of the picture in it";
    EXPECT_TRUE(child_running(child));

    // Escape without an exit status asked for: the guest's main routine
    // returns to the host, which ends with status 0.
    key(x, window, "Escape");
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_NE(r.out.find("sample: escape after"), std::string::npos) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

// Full screen on a bare X server (no window manager) covers the screen from
// its corner, and leaving it puts the window back where it was.
TEST_F(Window, FullScreenCoversTheScreenAndTheWindowComesBackWhereItWas) {
    start(false, "hold 24\nnotes 0\n", {"-mute"});
    x_command(x, {"/usr/bin/xdotool", "windowmove", "--sync", window, "300", "200"});
    auto place = [&] {
        window = find_window(x, "^Lumox", 1000);
        const std::string g =
            x_command(x, {"/usr/bin/xdotool", "getwindowgeometry", "--shell", window});
        std::smatch m;
        return std::regex_search(g, m, std::regex("X=(-?[0-9]+)\nY=(-?[0-9]+)"))
                   ? m[1].str() + "," + m[2].str()
                   : std::string("?");
    };
    ASSERT_TRUE(wait_for([&] { return place() == "300,200"; })) << place();
    key(x, window, "f");
    EXPECT_TRUE(wait_for([&] { return window_is(1024, 768) && place() == "0,0"; }))
        << "full screen at " << place();
    key(x, window, "f");
    EXPECT_TRUE(wait_for([&] { return window_is(320, 200) && place() == "300,200"; }))
        << "the window came back at " << place();
    key(x, window, "q");
    EXPECT_EQ(finish().exit_status, 0);
}

// Paused, the guest presents nothing new; a window that was hidden and is
// shown again is repainted by the host, whichever library runs.
TEST_F(Window, AWindowShownAgainWhilePausedIsRepainted) {
    start(false, "hold 24\nnotes 0\n", {"-mute"});
    int wrong;
    wait_for_held_frame(x, wrong);
    ASSERT_EQ(wrong, 0);
    key(x, window, "p");
    ASSERT_TRUE(wait_for([&] { return caption().find("paused") != std::string::npos; }));
    x_command(x, {"/usr/bin/xdotool", "windowunmap", "--sync", window});
    x_command(x, {"/usr/bin/xdotool", "windowmap", "--sync", window});
    wait_for_held_frame(x, wrong);
    EXPECT_EQ(wrong, 0) << "the window was not repainted";
    key(x, window, "q");
    EXPECT_EQ(finish().exit_status, 0);
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

// The frame (0 to 255: the plasma repeats) a 320x200 shot shows in lines 0
// to 191 (below them the guest may draw a bar of its own), or -1.
int frame_shown(const std::vector<uint8_t> &rgb) {
    static const std::vector<uint8_t> palette = sample_screen_palette();
    for (int f = 0; f < 256 && rgb.size() == 3 * 64000; f++) {
        const std::vector<uint8_t> frame = sample_frame(f);
        size_t p = 0;
        while (p < 320 * 192 && memcmp(&rgb[3 * p], &palette[3 * frame[p]], 3) == 0) {
            p++;
        }
        if (p == 320 * 192) {
            return f;
        }
    }
    return -1;
}

long ms_since(std::chrono::steady_clock::time_point t) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - t).count();
}

// Paused, the picture and the music hold; three steps give three successive
// frames; the guest's ticks and player calls fit the time it ran unpaused
// (less a second for keys and steps); Escape leaves from a pause. The music
// fades out into the pause and in after it: nothing near the silence's
// edges is half as loud as the music beside it.
void check_pause(Window &t, const std::vector<std::string> &options) {
    const std::string audio = t.dir.file("audio.raw");
    const auto started = std::chrono::steady_clock::now();
    t.start(false, "escape 3\nrate 44100\n", options,
            {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + audio});
    auto shot = [&] {
        int w, h;
        return screenshot(t.x, t.window, w, h);
    };
    const bool sound = options.empty();
    // 8192 bytes a buffer: 2048 samples of 16-bit stereo.
    constexpr size_t buffer_bytes = 8192;
    auto loud_in_file = [&] {
        const std::vector<unsigned char> bytes = read_bytes(audio);
        for (size_t i = 0; i + 2 <= bytes.size(); i += 2) {
            if (std::abs(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8)) > 1000) {
                return true;
            }
        }
        return false;
    };
    // Faded in, and the music heard.
    ASSERT_TRUE(wait_for([&] { return frame_shown(shot()) >= 0 && (!sound || loud_in_file()); }))
        << "no frame of the sample on the screen, or no music";
    const std::string paused_caption =
        "Lumox(Fix) paused: 'p' - resume, '.' - next frame, 'q/esc' - quit\n";
    key(t.x, t.window, "p");
    const auto paused = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_for([&] { return t.caption() == paused_caption; })) << t.caption();
    // Past the buffer that fades out: one may have been mixed before the
    // pause and written after the caption changed.
    const size_t at_caption = read_bytes(audio).size();
    if (sound) {
        ASSERT_TRUE(wait_for([&] {
            return read_bytes(audio).size() >= at_caption + 3 * buffer_bytes;
        })) << "the device stopped writing";
    }
    std::vector<uint8_t> held = shot();
    const size_t heard = read_bytes(audio).size();
    sleep_ms(1000);
    EXPECT_TRUE(shot() == held) << "the picture moved while paused";
    if (sound) {
        EXPECT_TRUE(wait_for([&] { return read_bytes(audio).size() > heard + buffer_bytes; }))
            << "not a buffer written while paused";
    }
    const size_t heard_later = read_bytes(audio).size();
    int frame = frame_shown(held);
    ASSERT_GE(frame, 0) << "no frame of the sample on the screen";
    for (int step = 1; step <= 3; step++) {
        key(t.x, t.window, "period");
        wait_for([&] { return shot() != held; });
        held = shot();
        EXPECT_EQ(frame_shown(held), (frame + 1) % 256) << "step " << step;
        frame = (frame + 1) % 256;
    }
    key(t.x, t.window, "Pause");
    const long paused_ms = ms_since(paused) - 1000;
    EXPECT_TRUE(wait_for([&] { return shot() != held; })) << "the picture did not move on";
    key(t.x, t.window, "p");
    EXPECT_TRUE(wait_for([&] { return t.caption() == paused_caption; })) << t.caption();
    key(t.x, t.window, "Escape");
    const ProcessResult r = t.finish();
    EXPECT_EQ(r.exit_status, 3) << describe(r);
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("(\\d+) player calls.* (\\d+) ticks")));
    EXPECT_LE(std::stol(m[2]) * 5000 / 91, ms_since(started) - paused_ms) << "ticks";
    if (!sound) {
        EXPECT_LE(std::stol(m[1]) * 20, ms_since(started) - paused_ms) << "player calls";
        return;
    }
    // Signed 16-bit stereo, left channel, written as the device plays (the
    // classic library's disk driver a buffer of 8192 bytes each 150 ms).
    const std::vector<unsigned char> bytes = read_bytes(audio);
    ASSERT_GT(heard_later, heard + buffer_bytes) << "not a buffer written while paused";
    std::vector<int> left;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        left.push_back(std::abs(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8)));
    }
    auto loudest = [&](size_t from, size_t to) {
        return *std::max_element(left.begin() + from, left.begin() + to);
    };
    size_t first = heard / 4, last = heard_later / 4;
    ASSERT_EQ(loudest(first, last), 0) << "sound while paused";
    for (; first > 0 && left[first - 1] == 0; first--) {
    }
    for (; last < left.size() && left[last] == 0; last++) {
    }
    constexpr size_t edge = 88, around = 2205; // 2 ms, 50 ms
    ASSERT_TRUE(first > around && last + around < left.size());
    EXPECT_GT(loudest(first - around, first), 1000) << "no music before the pause";
    EXPECT_LT(loudest(first - edge, first) * 2, loudest(first - around, first)) << "click in";
    EXPECT_LT(loudest(last, last + edge) * 2, loudest(last, last + around)) << "click out";
}

TEST_F(Window, PauseStepAndResumeHoldAndGoOnWithPictureTicksAndMusic) {
    check_pause(*this, {});
}

TEST_F(Window, PauseStepAndResumeHoldTheMutedPlayersTimer) {
    check_pause(*this, {"-mute"});
}

TEST_F(Window, ClosingTheWindowEndsWithStatusZero) {
    start(true, "escape 3\n", {});
    ASSERT_TRUE(request_close(x, window));
    const ProcessResult r = finish();
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
}

} // namespace

// No display to be had: SDL falls back on a driver that shows nothing (or
// ASCII art in the terminal), and the demo must not run unseen. One fatal
// line that says so, before the guest runs; the farewell follows it.
TEST(NoDisplay, IsOneFatalLineNotAnUnseenDemo) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 400\n");
    const ProcessResult r =
        run_process({"/usr/bin/env", "-u", "SDL_VIDEODRIVER", "DISPLAY=", sample_host()}, dir.path,
                    {"SDL_AUDIODRIVER=dummy", "TERM=dumb"}, 60000);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    // The host's line comes last; the libraries may say more before it.
    EXPECT_TRUE(
        std::regex_search(r.err, std::regex("(^|\n)vid: no display: SDL found only its [a-z]+ "
                                            "driver \\(set DISPLAY, or SDL_VIDEODRIVER="
                                            "[a-z]+ to use it all the same\\)\n$")))
        << r.err;
    EXPECT_EQ(r.out.find("sample: frames done"), std::string::npos) << "the guest ran";
    EXPECT_TRUE(ends_with(r.out, farewell)) << r.out;
}

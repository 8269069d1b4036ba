// The scaled picture on today's screen sizes: the window's size for the
// desktop and the options, full screen at the desktop's resolution, and a
// resized window. Every guest pixel must cover exactly the block of output
// pixels worked out here, in its exact colour, with black around the picture.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

#include "support/sample_run.h"

namespace {

constexpr int held_frame = 24;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Where the picture should be inside a window of w x h.
struct Layout {
    int w, h;           // the window
    int px, py, pw, ph; // the picture
};

// Output pixels that differ from the held frame scaled onto layout l (black
// outside the picture); -1 when the screenshot has another size.
int wrong_pixels(const std::vector<uint8_t> &rgb, int w, int h, const Layout &l) {
    if (w != l.w || h != l.h) {
        return -1;
    }
    static const std::vector<uint8_t> frame = sample_frame(held_frame);
    static const std::vector<uint8_t> palette = sample_screen_palette();
    // Guest column of each output column, guest line of each output line:
    // whole blocks whose sizes differ by at most one, evenly spread.
    std::vector<int> column(w, -1), line(h, -1);
    for (int gx = 0; gx < 320; gx++) {
        for (int X = gx * l.pw / 320; X < (gx + 1) * l.pw / 320; X++) {
            column[l.px + X] = gx;
        }
    }
    for (int gy = 0; gy < 200; gy++) {
        for (int Y = gy * l.ph / 200; Y < (gy + 1) * l.ph / 200; Y++) {
            line[l.py + Y] = gy;
        }
    }
    static const uint8_t black[3] = {0, 0, 0};
    int wrong = 0;
    for (int Y = 0; Y < h; Y++) {
        for (int X = 0; X < w; X++) {
            const bool inside = column[X] >= 0 && line[Y] >= 0;
            const uint8_t *want = inside ? &palette[3 * frame[line[Y] * 320 + column[X]]] : black;
            wrong += memcmp(&rgb[3 * (static_cast<size_t>(Y) * w + X)], want, 3) != 0;
        }
    }
    return wrong;
}

struct Scaled : testing::Test {
    Xvfb *x = nullptr;
    TempDir dir;
    Child child;
    std::string window;

    void start(const std::string &screen_size, const std::vector<std::string> &options) {
        x = new Xvfb(screen_size);
        ASSERT_FALSE(x->display.empty()) << "Xvfb did not start";
        prepare_sample_dir(dir, false, "hold 24\nnotes 0\n");
        child =
            start_sample(dir, options,
                         {"DISPLAY=" + x->display, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy"});
        window = find_window(*x, "^Lumox", 20000);
        ASSERT_FALSE(window.empty()) << "no window";
    }
    // Waits until the window shows the held frame on layout l; returns the
    // number of wrong pixels of the last screenshot (-1: wrong size).
    // Without a window manager nobody moves a window that goes full screen
    // to the screen's corner; full_screen does that as one would.
    int wait_for(const Layout &l, bool full_screen = false) {
        int wrong = -1;
        for (int tries = 0; tries < 40; tries++) {
            window = find_window(*x, "^Lumox", 1000);
            if (full_screen) {
                x_command(*x, {"/usr/bin/xdotool", "windowmove", window, "0", "0"});
            }
            int w = 0, h = 0;
            const std::vector<uint8_t> rgb = screenshot(*x, window, w, h);
            wrong = wrong_pixels(rgb, w, h, l);
            if (wrong == 0) {
                break;
            }
            sleep_ms(250);
        }
        return wrong;
    }
    void key(const std::string &name) {
        x_command(*x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
        x_command(*x, {"/usr/bin/xdotool", "key", name});
    }
    void TearDown() override {
        if (child.pid > 0) {
            finish_child(child, 0);
        }
        delete x;
    }
};

// The largest whole factor within nine tenths of the desktop.
TEST_F(Scaled, DefaultWindowOn1080pIs1280x960) {
    start("1920x1080x24", {"-mute"});
    EXPECT_EQ(wait_for({1280, 960, 0, 0, 1280, 960}), 0);
}

TEST_F(Scaled, SquarePixelsOn1080pGive1280x800) {
    start("1920x1080x24", {"-mute", "-square"});
    EXPECT_EQ(wait_for({1280, 800, 0, 0, 1280, 800}), 0);
}

TEST_F(Scaled, DefaultWindowOn4kIs2560x1920) {
    start("3840x2160x24", {"-mute"});
    EXPECT_EQ(wait_for({2560, 1920, 0, 0, 2560, 1920}), 0);
}

// The factor overrides the desktop; a factor out of 1 to 16, not a whole
// number or missing leaves the option ignored.
TEST_F(Scaled, ScaleOptionOn4kSetsTheFactor) {
    start("3840x2160x24",
          {"-mute", "-scale", "3", "-scale", "0", "-scale", "17", "-scale", "2x", "-scale"});
    EXPECT_EQ(wait_for({960, 720, 0, 0, 960, 720}), 0);
}

// 1920x1080 holds a 1440x1080 picture at 4:3, 240 black columns each side,
// by f or Alt+Enter. -scale 5, 1200 lines, would
// not fit: the largest factor that does, said once on stderr.
TEST_F(Scaled, FullScreenByKeyIsCentred4x3AndTheWindowComesBackIntact) {
    start("1920x1080x24", {"-mute", "-scale", "5"});
    ASSERT_EQ(wait_for({1280, 960, 0, 0, 1280, 960}), 0);
    for (const char *toggle : {"f", "alt+Return"}) {
        key(toggle);
        EXPECT_EQ(wait_for({1920, 1080, 240, 0, 1440, 1080}, true), 0) << toggle;
        key(toggle);
        EXPECT_EQ(wait_for({1280, 960, 0, 0, 1280, 960}), 0) << toggle;
    }
    key("q");
    const ProcessResult r = finish_child(child, 20000);
    EXPECT_EQ(r.exit_status, 0);
    const std::string line = "scale 5 does not fit the 1920x1080 desktop: using 4 (1280x960)\n";
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("does not fit"), r.err.rfind("does not fit")) << r.err;
}

TEST_F(Scaled, FullScreenOptionWithSquarePixelsIs16x10) {
    start("1920x1080x24", {"-mute", "-f", "-square"});
    EXPECT_EQ(wait_for({1920, 1080, 96, 0, 1728, 1080}, true), 0);
    key("f");
    EXPECT_EQ(wait_for({1280, 800, 0, 0, 1280, 800}), 0);
}

// -scale 4 is exactly the largest factor that fits 1920x1080: taken as it
// is, without a line. 1000x500 is too wide for 4:3: a 666x500 picture,
// centred, in columns of two or three pixels and lines of two or three.
TEST_F(Scaled, ResizeRequestRefitsThePictureCentred) {
    start("1920x1080x24", {"-mute", "-scale", "4"});
    ASSERT_EQ(wait_for({1280, 960, 0, 0, 1280, 960}), 0);
    x_command(*x, {"/usr/bin/xdotool", "windowsize", window, "1000", "500"});
    EXPECT_EQ(wait_for({1000, 500, 167, 0, 666, 500}), 0);
    x_command(*x, {"/usr/bin/xdotool", "windowsize", window, "640", "700"});
    EXPECT_EQ(wait_for({640, 700, 0, 110, 640, 480}), 0);
    // Full screen and back keeps the size the window was given.
    key("f");
    EXPECT_EQ(wait_for({1920, 1080, 240, 0, 1440, 1080}, true), 0);
    key("f");
    EXPECT_EQ(wait_for({640, 700, 0, 110, 640, 480}), 0);
    key("q");
    const ProcessResult r = finish_child(child, 20000);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err.find("does not fit"), std::string::npos) << r.err;
}

} // namespace

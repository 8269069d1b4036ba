// The window itself on a real X server: the colours it shows are exactly the
// guest's palette, windowed and full screen, and across the 'f' toggle.
#include <SDL.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "machine/display.h"
#include "machine/events.h"
#include "support/process.h"
#include "support/sample_run.h"

namespace {

using Rgb = std::tuple<int, int, int>;

// The suite's own X server; null when Xvfb is not installed.
Xvfb *xvfb = nullptr;
std::string display_name;

// Counts of every colour on the whole X screen, from an xwd screenshot.
std::map<Rgb, int> screenshot(const TempDir &dir) {
    const std::string ppm = dir.file("shot.ppm");
    const ProcessResult r = run_process(
        {"/bin/sh", "-c", "xwd -root -silent -display " + display_name + " | xwdtopnm >" + ppm},
        dir.path, {}, 20000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::vector<unsigned char> bytes = read_bytes(ppm);
    std::map<Rgb, int> counts;
    // P6 header: magic, width, height, maximum, each followed by white space.
    size_t pos = 0;
    int fields[3] = {};
    auto skip_space = [&] {
        while (pos < bytes.size() && isspace(bytes[pos])) {
            pos++;
        }
    };
    if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '6') {
        ADD_FAILURE() << "not a P6 image";
        return counts;
    }
    pos = 2;
    for (int &f : fields) {
        skip_space();
        while (pos < bytes.size() && isdigit(bytes[pos])) {
            f = f * 10 + (bytes[pos++] - '0');
        }
    }
    pos++;
    // xwdtopnm writes 16-bit samples (big-endian) for 24-bit screens.
    const int maximum = fields[2];
    const size_t sample = maximum > 255 ? 2 : 1;
    auto at = [&](size_t i) {
        const int v = sample == 2 ? bytes[i] << 8 | bytes[i + 1] : bytes[i];
        return v * 255 / maximum;
    };
    EXPECT_TRUE(maximum == 255 || maximum == 65535) << maximum;
    for (size_t i = pos; i + 3 * sample <= bytes.size(); i += 3 * sample) {
        counts[{at(i), at(i + sample), at(i + 2 * sample)}]++;
    }
    return counts;
}

// Blocks of 10x10 pixels in palette entries 1 to 4, so that every part of the
// picture holds all four colours; each covers a quarter of the frame.
const uint8_t block_colours[4][3] = {{37, 3, 26}, {10, 50, 20}, {63, 63, 63}, {1, 2, 3}};
std::vector<uint8_t> block_frame() {
    std::vector<uint8_t> frame(64000);
    for (int y = 0; y < 200; y++) {
        for (int x = 0; x < 320; x++) {
            frame[y * 320 + x] = static_cast<uint8_t>(1 + (x / 10 + y / 10) % 4);
        }
    }
    return frame;
}

Rgb shown_colour(int entry) {
    return {block_colours[entry][0] * 4, block_colours[entry][1] * 4, block_colours[entry][2] * 4};
}

// Black is palette entry 0 and the border around a full-screen picture.
const Rgb black{0, 0, 0};

class Window : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (access("/usr/bin/Xvfb", X_OK) != 0) {
            return;
        }
        xvfb = new Xvfb;
        if (xvfb->display.empty()) {
            delete xvfb;
            xvfb = nullptr;
            return;
        }
        display_name = xvfb->display;
        setenv("DISPLAY", display_name.c_str(), 1);
        setenv("SDL_VIDEODRIVER", "x11", 1);
        // Full screen scales the picture; a linear filter would blend the
        // block edges into colours of no palette entry.
        setenv("SDL12COMPAT_SCALE_METHOD", "nearest", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER), 0) << SDL_GetError();
        SDL_WM_SetCaption("Lumox(Fix) 'f' - fullscreen, 'q/esc' - quit", nullptr);
        video_mutex = SDL_CreateMutex();
    }
    static void TearDownTestSuite() {
        if (xvfb) {
            SDL_Quit();
            delete xvfb;
            xvfb = nullptr;
        }
    }
    void SetUp() override {
        if (!xvfb) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        // The 320x200 picture whose pixels these tests count.
        square_pixels = 1;
        scale_factor = 1;
        uint8_t palette[768] = {};
        memcpy(palette + 3, block_colours, sizeof block_colours);
        set_palette(palette);
    }

    // Copies the frame until each of the four colours covers at least
    // min_pixels of the X screen, or a few seconds have passed; returns the
    // last screenshot.
    std::map<Rgb, int> show_frame(int min_pixels) {
        const std::vector<uint8_t> frame = block_frame();
        std::map<Rgb, int> counts;
        for (int attempt = 0; attempt < 50; attempt++) {
            SDL_PumpEvents();
            copy_frame(reinterpret_cast<uint32_t>(frame.data()), video_memory, 64000);
            present_waiting_frames();
            SDL_Delay(50);
            counts = screenshot(dir);
            bool all = true;
            for (int entry = 0; entry < 4; entry++) {
                all = all && counts[shown_colour(entry)] >= min_pixels;
            }
            if (all) {
                break;
            }
        }
        return counts;
    }

    // Every pixel is black or exactly one of the four colours, each of which
    // covers between min_pixels and max_pixels.
    void expect_exact_colours(const std::map<Rgb, int> &counts, int min_pixels, int max_pixels) {
        int exact = 0;
        for (int entry = 0; entry < 4; entry++) {
            const auto it = counts.find(shown_colour(entry));
            const int n = it == counts.end() ? 0 : it->second;
            EXPECT_GE(n, min_pixels) << "entry " << entry + 1;
            EXPECT_LE(n, max_pixels) << "entry " << entry + 1;
            exact += n;
        }
        const auto dark = counts.find(black);
        exact += dark == counts.end() ? 0 : dark->second;
        EXPECT_EQ(exact, 1024 * 768) << "pixels in colours of no palette entry";
        // What the blit through SDL's default 3-3-2 palette would show.
        EXPECT_EQ(counts.count(Rgb{146, 0, 85}), 0u);
    }

    TempDir dir;
};

constexpr int quarter_frame = 64000 / 4;

TEST_F(Window, ShowsTheExactColoursOfThePalette) {
    video_flags = SDL_DOUBLEBUF;
    set_mode_13h();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->flags & SDL_FULLSCREEN, 0u);
    expect_exact_colours(show_frame(quarter_frame), quarter_frame, quarter_frame);

    // The clear fills with the guest's own colour of that index.
    guest_memset(video_memory, 1, 64000);
    present_waiting_frames();
    SDL_Delay(100);
    EXPECT_EQ(screenshot(dir)[shown_colour(0)], 64000);
}

// Without a window manager the X server never grants the full-screen state:
// the window keeps its size and shows a part of the scaled picture. The
// colours are what this test can hold the display to.
TEST_F(Window, FullScreenOptionAndTheKeyKeepThePalette) {
    video_flags = SDL_DOUBLEBUF | SDL_FULLSCREEN; // as "-f" sets it
    set_mode_13h();
    ASSERT_NE(screen, nullptr);
    EXPECT_NE(screen->flags & SDL_FULLSCREEN, 0u);
    constexpr int some = 1000;
    expect_exact_colours(show_frame(some), some, 1024 * 768);

    // One real 'f' keystroke, through the X server and the event pump.
    const ProcessResult key =
        run_process({"/bin/sh", "-c", "xdotool search --name 'Lumox' windowfocus --sync key f"},
                    dir.path, {"DISPLAY=" + display_name}, 20000);
    EXPECT_EQ(key.exit_status, 0) << key.err;
    for (int i = 0; i < 200 && (video_flags & SDL_FULLSCREEN); i++) {
        poll_events();
    }
    EXPECT_EQ(video_flags, static_cast<uint32_t>(SDL_DOUBLEBUF)) << "the key reached the pump";
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->flags & SDL_FULLSCREEN, 0u);
    expect_exact_colours(show_frame(quarter_frame), quarter_frame, quarter_frame);

    // And back to full screen through the toggle itself.
    toggle_fullscreen();
    EXPECT_NE(screen->flags & SDL_FULLSCREEN, 0u);
    expect_exact_colours(show_frame(some), some, 1024 * 768);
}

} // namespace

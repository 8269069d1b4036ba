// Screenshots from the display state, in a working directory of their own:
// the file read back as stored, the choice of name, and the failures that
// must leave no file behind and never end the process.
#include <SDL.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "machine/display.h"
#include "machine/screenshot.h"
#include "support/png_file.h"
#include "support/process.h"

namespace {

std::string name_of(int n) {
    char name[32];
    snprintf(name, sizeof name, "lumox-%04d.png", n);
    return name;
}

class Screenshot : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!video_mutex) {
            video_mutex = SDL_CreateMutex();
        }
    }
    void SetUp() override {
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        // Every index once per row and column offset, and a palette whose
        // three components differ in every entry.
        for (int p = 0; p < 64000; p++) {
            frame_pixels[p] = static_cast<uint8_t>(p % 320 + p / 320);
        }
        for (int i = 0; i < 256; i++) {
            host_palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                               static_cast<uint8_t>(i * 7 + 3), 0};
        }
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

    // One screenshot; returns what it printed on stdout and stderr.
    void save(std::string &out, std::string &err) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        save_screenshot();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    char old_cwd[4096];
};

TEST_F(Screenshot, DecodesToTheFrameAndPaletteWithTheAspect) {
    std::string out, err;
    save(out, err);
    EXPECT_EQ(out, "saved lumox-0001.png\n");
    EXPECT_EQ(err, "");
    const PngFile png = read_png(dir.file("lumox-0001.png"));
    ASSERT_EQ(png.error, "");
    EXPECT_EQ(png.width, 320u);
    EXPECT_EQ(png.height, 200u);
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.color_type, 3) << "indexed colour";
    EXPECT_EQ(png.pixels, std::vector<uint8_t>(frame_pixels, frame_pixels + 64000));
    ASSERT_EQ(png.palette.size(), 768u);
    for (int i = 0; i < 256; i++) {
        const uint8_t *c = &png.palette[3 * i];
        EXPECT_EQ(c[0], host_palette[i].r) << "entry " << i;
        EXPECT_EQ(c[1], host_palette[i].g) << "entry " << i;
        EXPECT_EQ(c[2], host_palette[i].b) << "entry " << i;
    }
    EXPECT_TRUE(png.has_aspect);
    EXPECT_EQ(png.x_per_unit, 6u);
    EXPECT_EQ(png.y_per_unit, 5u);
    EXPECT_EQ(png.unit, 0);
}

TEST_F(Screenshot, TakesTheFirstFreeNumberAndOverwritesNothing) {
    const std::vector<unsigned char> mine = {'m', 'i', 'n', 'e'};
    for (int n : {1, 2, 4}) {
        write_bytes(dir.file(name_of(n)), mine);
    }
    std::string out1, out2, err1, err2;
    save(out1, err1);
    save(out2, err2);
    EXPECT_EQ(out1 + out2, "saved lumox-0003.png\nsaved lumox-0005.png\n");
    EXPECT_EQ(err1 + err2, "");
    for (int n : {1, 2, 4}) {
        EXPECT_EQ(read_bytes(dir.file(name_of(n))), mine) << name_of(n);
    }
    EXPECT_EQ(read_png(dir.file("lumox-0005.png")).error, "");
}

// With the real limit the same takes 9999 files, slow to make on some disks.
TEST_F(Screenshot, TheLastNumberIsUsedThenEveryNumberTakenIsAWarning) {
    last_screenshot_number = 3;
    write_bytes(dir.file(name_of(1)), {});
    write_bytes(dir.file(name_of(2)), {});
    std::string out1, err1, out2, err2;
    save(out1, err1);
    save(out2, err2);
    last_screenshot_number = 9999;
    EXPECT_EQ(out1 + err1, "saved lumox-0003.png\n");
    EXPECT_EQ(out2, "");
    EXPECT_EQ(err2, "screenshot: lumox-0001.png to lumox-0003.png all exist\n");
    EXPECT_EQ(access(dir.file("lumox-0004.png").c_str(), F_OK), -1);
    EXPECT_TRUE(read_bytes(dir.file("lumox-0002.png")).empty());
}

// A write cut short (here by the file-size limit, which binds root too) must
// not leave a truncated picture that looks like a screenshot.
TEST_F(Screenshot, AFailedWriteLeavesNoFileAndAWarning) {
    rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string out, err;
    save(out, err);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "screenshot lumox-0001.png: " + std::string(strerror(EFBIG)) + "\n");
    EXPECT_EQ(access(dir.file("lumox-0001.png").c_str(), F_OK), -1) << "a short file is left";
}

} // namespace

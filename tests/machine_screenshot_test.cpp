// Screenshot cases that a window test cannot bring about: a frame that does
// not compress, no free name left, and a write cut short, which must leave no
// file behind.
#include <SDL.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "machine/display.h"
#include "machine/screenshot.h"
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
        memset(shown_pixels, 0, sizeof shown_pixels);
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

// Noise does not compress: the file is then larger than the frame itself.
TEST_F(Screenshot, ANoisyFrameStillFits) {
    uint32_t x = 12345;
    for (uint8_t &p : shown_pixels) {
        x = x * 1103515245u + 12345u;
        p = static_cast<uint8_t>(x >> 24);
    }
    std::string out, err;
    save(out, err);
    EXPECT_EQ(out + err, "saved lumox-0001.png\n");
    EXPECT_GT(read_bytes(dir.file("lumox-0001.png")).size(), sizeof shown_pixels);
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

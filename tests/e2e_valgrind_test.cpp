// Sample runs under valgrind's memcheck: no invalid access and no use of
// uninitialised memory in the host while it loads, binds and runs the guest
// with sound, live and rendering to a file. Guest code is rewritten after
// loading, so valgrind must check for self-modifying code everywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/sample_run.h"

namespace {

// Beside this file: SDL's own reads of memory it never cleared.
std::string suppressions() {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/support/sdl.supp";
}

struct SampleValgrind : testing::Test {
    TempDir dir;
    void SetUp() override {
        if (under_emulator()) {
            GTEST_SKIP()
                << "valgrind's 32-bit tool cannot run under the user-mode emulator that "
                   "runs 32-bit programs on this kernel; the sanitizer build checks memory";
        }
        struct stat st;
        ASSERT_EQ(stat("/usr/bin/valgrind", &st), 0) << "valgrind is not installed";
    }
    // Valgrind's x87 ignores the precision control and reports 64 bits.
    ProcessResult run(const std::string &script, const std::vector<std::string> &options,
                      const std::vector<std::string> &env) {
        prepare_sample_dir(dir, false, script + "precision 3\n");
        std::vector<std::string> argv = {"/usr/bin/valgrind",
                                         "--quiet",
                                         "--smc-check=all",
                                         "--error-exitcode=99",
                                         "--suppressions=" + suppressions(),
                                         sample_host()};
        argv.insert(argv.end(), options.begin(), options.end());
        return run_process(argv, dir.path, env, 240000);
    }
};

TEST_F(SampleValgrind, FullRunIsClean) {
    const ProcessResult r =
        run("frames 12\nstatus 6\n", {}, {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"});
    ASSERT_FALSE(r.timed_out) << r.out << r.err;
    EXPECT_EQ(r.exit_status, 6) << r.out << r.err;
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "sample: string output\nsample: character output\n");
}

// On demo time, with the encoder's and the stall watch's threads, and no
// display or audio device to be had.
TEST_F(SampleValgrind, RenderWithSoundIsClean) {
    const ProcessResult r =
        run("frames 4\n", {"-render", "out.mkv"},
            {"SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=alsa", "DISPLAY=", "AUDIODEV=/nonexistent"});
    ASSERT_FALSE(r.timed_out) << r.out << r.err;
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sample: sound through the emulated device"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("\nrendered out.mkv: "), std::string::npos) << r.err;
    EXPECT_GT(read_bytes(dir.file("out.mkv")).size(), 0u);
}

} // namespace

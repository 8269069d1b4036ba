// One full sample run under valgrind's memcheck: no invalid access and no use
// of uninitialised memory in the host while it loads, binds and runs the guest
// with sound. Guest code is rewritten after loading, so valgrind must check
// for self-modifying code everywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/sample_run.h"

namespace {

// Beside this file: SDL's own reads of memory it never cleared.
std::string suppressions() {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/support/sdl.supp";
}

TEST(SampleValgrind, FullRunIsClean) {
    if (under_emulator()) {
        GTEST_SKIP() << "valgrind's 32-bit tool cannot run under the user-mode emulator that "
                        "runs 32-bit programs on this kernel; the sanitizer build checks memory";
    }
    struct stat st;
    ASSERT_EQ(stat("/usr/bin/valgrind", &st), 0) << "valgrind is not installed";
    TempDir dir;
    // Valgrind's x87 ignores the precision control and reports 64 bits.
    prepare_sample_dir(dir, false, "frames 12\nstatus 6\nprecision 3\n");
    const ProcessResult r =
        run_process({"/usr/bin/valgrind", "--quiet", "--smc-check=all", "--error-exitcode=99",
                     "--suppressions=" + suppressions(), sample_host()},
                    dir.path, {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"}, 240000);
    ASSERT_FALSE(r.timed_out) << r.out << r.err;
    EXPECT_EQ(r.exit_status, 6) << r.out << r.err;
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "sample: string output\nsample: character output\n");
}

} // namespace

// The command line and the run sequence's early failures, seen from outside:
// the real executable in a working directory of its own.
#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "support/process.h"

namespace {

const char usage_tail[] = "Usage: lumoxrun [options]\n"
                          "Options are:\n"
                          "  -h       Show this screen\n"
                          "  -mute    Do not output sound\n"
                          "  -f       fullscreen\n"
                          "  --version Print the program version\n"
                          "Keys: q, esc - quit, f - toggle fullscreen\n"
                          "\n";

std::string lumoxrun() {
    const char *path = getenv("LUMOXRUN");
    return path ? path : "lumoxrun";
}

ProcessResult run_in(const TempDir &dir, std::vector<std::string> args) {
    args.insert(args.begin(), lumoxrun());
    return run_process(args, dir.path, {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"}, 20000);
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CommandLine, HelpPrintsTheUsageScreenAndExitsZero) {
    TempDir dir;
    const ProcessResult r = run_in(dir, {"-h"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.rfind("Virtual Lumox v0.90\n", 0), 0u) << r.out;
    EXPECT_TRUE(ends_with(r.out, usage_tail)) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, HelpAfterOtherOptionsStillWinsBeforeTheFileIsOpened) {
    TempDir dir; // no lumox.exe here: opening it would fail
    for (const auto &args :
         {std::vector<std::string>{"-mute", "-h"}, std::vector<std::string>{"-f", "-f", "-h"},
          std::vector<std::string>{"--verbose", "-h", "-x"}}) {
        const ProcessResult r = run_in(dir, args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_TRUE(ends_with(r.out, usage_tail));
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, OptionsAreCaseSensitiveAndUnknownOnesIgnored) {
    TempDir dir;
    const ProcessResult r = run_in(dir, {"-H", "-MUTE", "extra"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "open lumox.exe: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(CommandLine, VersionIsOneLineAndExitsZeroBeforeTheFileIsOpened) {
    TempDir dir; // no lumox.exe: opening it would fail
    for (const auto &args : {std::vector<std::string>{"--version"},
                             std::vector<std::string>{"-mute", "--version", "-h"}}) {
        const ProcessResult r = run_in(dir, args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_TRUE(std::regex_match(r.out, std::regex("lumoxrun [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << r.out;
        EXPECT_EQ(r.err, "");
    }
    // In order, like every option: a usage request before it wins.
    const ProcessResult usage = run_in(dir, {"-h", "--version"});
    EXPECT_EQ(usage.out.rfind("Virtual Lumox v0.90\n", 0), 0u) << usage.out;
}

TEST(CommandLine, VersionIsMatchedExactly) {
    TempDir dir;
    for (const char *near_miss : {"-version", "--versions", "--Version", "--v", "-V"}) {
        const ProcessResult r = run_in(dir, {near_miss});
        EXPECT_EQ(r.exit_status, 1) << near_miss;
        EXPECT_EQ(r.err, "open lumox.exe: No such file or directory\n") << near_miss;
    }
}

TEST(RunSequence, MissingGuestFile) {
    TempDir dir;
    const ProcessResult r = run_in(dir, {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "open lumox.exe: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(RunSequence, UnknownGuestFileStopsWithItsDigestAndNoFarewell) {
    TempDir dir;
    write_bytes(dir.file("lumox.exe"), {});
    const ProcessResult r = run_in(dir, {"-mute"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "md5 {0xd98c1dd4, 0x4b2008f, 0x980980e9, 0x7e42f8ec}\n");
    EXPECT_EQ(r.out, "");
}

TEST(RunSequence, UnreadableGuestFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    TempDir dir;
    write_bytes(dir.file("lumox.exe"), {1});
    chmod(dir.file("lumox.exe").c_str(), 0);
    const ProcessResult r = run_in(dir, {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "open lumox.exe: Permission denied\n");
}

} // namespace

// The command line and the run sequence's early failures, seen from outside:
// the real executable in a working directory of its own.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "support/process.h"
#include "support/sample_run.h"

namespace {

// The usage screen's fixed lines, in this order; lines of our own may come
// between them.
const char *const usage_lines[] = {
    "Virtual Lumox v0.90",
    "Usage: lumoxrun [options]",
    "Options are:",
    "  -h       Show this screen",
    "  -mute    Do not output sound",
    "  -f       fullscreen",
    "Keys: q, esc - quit, f - toggle fullscreen",
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

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

// The screen opens with its title and three credit lines, then an empty
// one before "Usage:", and ends with an empty line.
TEST(CommandLine, HelpPrintsTheUsageScreenAndExitsZero) {
    TempDir dir;
    const ProcessResult r = run_in(dir, {"-h"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(ends_with(r.out, "\n\n")) << r.out;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_GT(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], usage_lines[0]);
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], usage_lines[1]);
    size_t at = 0;
    for (const char *want : usage_lines) {
        while (at < lines.size() && lines[at] != want) {
            at++;
        }
        EXPECT_LT(at, lines.size()) << "missing or out of order: " << want << "\n" << r.out;
    }
}

TEST(CommandLine, HelpAfterOtherOptionsStillWinsBeforeTheFileIsOpened) {
    TempDir dir; // no lumox.exe here: opening it would fail
    const std::string usage = run_in(dir, {"-h"}).out;
    for (const auto &args :
         {std::vector<std::string>{"-mute", "-h"}, std::vector<std::string>{"-f", "-f", "-h"},
          std::vector<std::string>{"--verbose", "-h", "-x"}, std::vector<std::string>{"--help"},
          std::vector<std::string>{"-mute", "--help", "--version"}}) {
        const ProcessResult r = run_in(dir, args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, usage) << args[0];
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

// The word after -render, -fps or -seconds is their value, never an option
// too; a render refuses words it does not know, before the guest file is
// opened (there is none here), and writes nothing. -h and --version still
// act at once.
TEST(CommandLine, ValuesAreNotOptionsAndARenderRefusesUnknownWords) {
    const std::string types = ": unknown file type (.mkv, .mp4, .framemd5, .wav or .flac)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-render", "--version"}, "render --version" + types},
        {{"-render", "-fps", "30"}, "render -fps" + types},
        {{"-render", "a.mkv", "-seconds", "-h"}, "seconds -h: not a length in seconds"},
        {{"-render", "a.mkv", "--seconds", "1"}, "render: unknown argument --seconds\n"},
        {{"-fps=30", "-render", "a.wav", "-x"}, "render: unknown argument -fps=30\n"},
        {{"-render", "a.mkv", "-scale", "0"}, "render: unknown argument 0\n"},
        {{"-render", "a.mkv", "extra", "-h"}, ""},
        {{"-render", "a.mkv", "extra", "--version"}, ""},
    };
    for (const auto &c : cases) {
        std::string args;
        for (const std::string &a : c.args) {
            args += a + " ";
        }
        SCOPED_TRACE(args);
        TempDir dir;
        const ProcessResult r = run_in(dir, c.args);
        if (c.err.empty()) {
            EXPECT_EQ(r.exit_status, 0);
            EXPECT_EQ(r.err, "");
            const bool version = c.args.back() == "--version";
            EXPECT_EQ(r.out.rfind(version ? "lumoxrun " : "Virtual Lumox", 0), 0u) << r.out;
            continue;
        }
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "something was written";
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

// The sample host run for one frame, with the video probe preloaded: what it
// printed, and the flags of the video mode it set.
struct SampleRun {
    ProcessResult result;
    unsigned mode_flags = 0;
    int modes_set = 0;
};

SampleRun run_sample_once(const std::vector<std::string> &options,
                          const std::vector<std::string> &extra_env = {}) {
    TempDir dir;
    // Four frames: at least three BIOS ticks, so that even a slow start gives
    // the muted player's timer its first tick before the guest ends.
    prepare_sample_dir(dir, false, "frames 4\n");
    std::vector<std::string> env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy",
                                    preload_env(sample_build_dir() + "/tests/video_mode_probe.so"),
                                    "LUMOX_VIDEO_PROBE_OUT=" + dir.file("modes.txt")};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    SampleRun run;
    run.result = run_sample(dir, options, env, 30000);
    const std::vector<unsigned char> modes = read_bytes(dir.file("modes.txt"));
    const std::string text(modes.begin(), modes.end());
    for (size_t at = text.find("mode "); at != std::string::npos; at = text.find("mode ", at + 1)) {
        run.modes_set++;
        int w, h, bpp;
        sscanf(text.c_str() + at, "mode %dx%dx%d flags %x", &w, &h, &bpp, &run.mode_flags);
    }
    return run;
}

constexpr unsigned full_screen = 0x80000000;

struct OptionCase {
    std::vector<std::string> options;
    bool full_screen, muted;
};

// Each option is set by its exact word, wherever and however often it comes;
// words that only begin like an option, or are a prefix of one, are ignored.
TEST(CommandLine, OptionsAreSetByExactWordsNotByPrefixOrToggle) {
    const OptionCase cases[] = {
        {{"-mutex", "-f", "-f"}, true, false},
        {{"-mute", "-mute", "-fx"}, false, true},
        {{"-mut", "-", "-hx", "-ff", "-F", "-m"}, false, false},
        {{"-f", "-mute", "-f", "-f", "-mute"}, true, true},
    };
    for (const OptionCase &c : cases) {
        std::string args;
        for (const std::string &o : c.options) {
            args += o + " ";
        }
        SCOPED_TRACE(args);
        const SampleRun run = run_sample_once(c.options);
        const ProcessResult &r = run.result;
        ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_EQ(r.out.find("Usage:"), std::string::npos);
        ASSERT_EQ(run.modes_set, 1) << "the probe saw no mode set";
        EXPECT_EQ((run.mode_flags & full_screen) != 0, c.full_screen) << std::hex << run.mode_flags;
        EXPECT_NE(r.out.find(c.muted ? "sound through the silent device"
                                     : "sound through the emulated device"),
                  std::string::npos)
            << r.out;
    }
}

// A display surface that is not 32 bits deep is refused with what is wrong,
// not with whatever SDL last left in its error text.
TEST(RunSequence, ADisplayThatIsNot32BitsDeepIsNamed) {
    const ProcessResult r = run_sample_once({"-mute"}, {"LUMOX_VIDEO_PROBE_BPP=16"}).result;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("vid display surface of 16 bits per pixel, not 32\n"), std::string::npos)
        << r.err;
}

// The farewell line is the very last output, on a line of its own after an
// empty one, exactly once.
TEST(RunSequence, FarewellEndsTheOutputAfterAnEmptyLine) {
    const ProcessResult r = run_sample_once({"-mute"}).result;
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(ends_with(r.out, " 0 failed\n\nHave a nice day\n")) << r.out;
    EXPECT_EQ(r.out.find("Have a nice day"), r.out.rfind("Have a nice day"));
    EXPECT_EQ(r.err.find("Have a nice day"), std::string::npos);
}

} // namespace

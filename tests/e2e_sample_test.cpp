// The sample guest run by the real host under SDL's dummy drivers, as a user
// would run it: in a working directory holding lumox.exe and the guest's
// script. The guest checks from inside what the host did for it and prints
// one line per check.
#include <csignal>
#include <gtest/gtest.h>
#include <regex>

#include "support/sample_run.h"

namespace {

const std::vector<std::string> dummy_env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"};
const char farewell[] = "\nHave a nice day\n";

const char *const check_names[] = {
    "prestart",
    "arguments",
    "fixups",
    "stubs",
    "dpmi",
    "pool",
    "files",
    "console",
    "memset",
    "ignore-one",
    "status-routines",
    "read-key",
    "video-mode",
    "solid-palette",
    "blank-palette",
    "frame-copy",
    "device-record",
    "sound-device",
    "dma",
    "timer",
    "ticks",
    "music",
    "x87-precision",
};

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string describe(const ProcessResult &r) {
    return "status " + std::to_string(r.exit_status) + ", signal " + std::to_string(r.signal) +
           (r.timed_out ? ", timed out" : "") + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

struct Case {
    bool party, mute;
};

TEST(SampleGuest, EveryCheckPassesInBothReleasesWithAndWithoutSound) {
    for (const Case c :
         {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
        SCOPED_TRACE(std::string(c.party ? "Party" : "Fix") + (c.mute ? " -mute" : ""));
        TempDir dir;
        prepare_sample_dir(dir, c.party, "frames 30\nchecks all\nstatus 4\n");
        std::vector<std::string> options;
        if (c.mute) {
            options.push_back("-mute");
        }
        const ProcessResult r = run_sample(dir, options, dummy_env, 30000);
        ASSERT_FALSE(r.timed_out) << describe(r);
        EXPECT_EQ(r.exit_status, 4) << describe(r);
        for (const char *name : check_names) {
            char line[64];
            snprintf(line, sizeof line, "check %-16s ok\n", name);
            EXPECT_NE(r.out.find(line), std::string::npos) << name << "\n" << describe(r);
        }
        EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << describe(r);
        EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos);
        // Variadic stack arguments of every width and kind reach the format.
        EXPECT_NE(r.out.find(std::string("sample: ") + (c.party ? "Party" : "Fix") +
                             " release, 32-bit ok, c0ffee 4000000000%\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find(std::string("sample: sound through the ") +
                             (c.mute ? "silent" : "emulated") + " device at 22050 Hz\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("sample: frames done after 30 frames"), std::string::npos);
        EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
        // String and character output go to the standard error stream.
        EXPECT_EQ(r.err, "sample: string output\nsample: character output\n");
    }
}

TEST(SampleGuest, ScriptCommentsHexValuesAndUnknownWords) {
    TempDir dir;
    prepare_sample_dir(dir, false, "# a comment line\nframes 0x3 # three\nbogus 1\nstatus 0x2a\n");
    const ProcessResult r = run_sample(dir, {"-mute"}, dummy_env, 30000);
    EXPECT_EQ(r.exit_status, 42) << describe(r);
    EXPECT_NE(r.out.find("sample: unknown script word bogus\n"), std::string::npos);
    EXPECT_NE(r.out.find("sample: frames done after 3 frames"), std::string::npos);
    EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos);
    // Only failures are printed by default.
    EXPECT_EQ(r.out.find("check "), std::string::npos) << describe(r);
}

// The bar follows the mixer's blocks, or with -mute the player's passes on
// the SDL timer; "notes 2" logs each frame that shows a new note. The notes
// come in melody order, the wait before a new note's frame ends on the note
// rather than the next tick, and the busy wait after frame 30 ends on the
// next note, which frame 31 shows.
TEST(SampleGuest, FramesFollowTheNotesAndABusyWaitEndsOnTheNextNote) {
    for (const bool mute : {true, false}) {
        SCOPED_TRACE(mute ? "-mute" : "sound");
        TempDir dir;
        prepare_sample_dir(dir, false, "frames 60\nhold 1\nnotes 2\nspin 30\n");
        const ProcessResult r =
            run_sample(dir, mute ? std::vector<std::string>{"-mute"} : std::vector<std::string>{},
                       dummy_env, 30000);
        ASSERT_FALSE(r.timed_out) << describe(r);
        EXPECT_NE(r.out.find("sample: 23 checks passed, 0 failed\n"), std::string::npos)
            << describe(r);
        const std::regex shown_line("sample: frame (\\d+) shows note (\\d+)\n");
        std::vector<std::pair<int, int>> shown; // frame, note
        for (std::sregex_iterator m(r.out.begin(), r.out.end(), shown_line), end; m != end; ++m) {
            shown.push_back({std::stoi((*m)[1]), std::stoi((*m)[2])});
        }
        ASSERT_GE(shown.size(), 6u) << describe(r);
        bool spun = false;
        for (size_t k = 1; k < shown.size(); k++) {
            EXPECT_EQ(shown[k].second, (shown[k - 1].second + 1) % 8) << "frame " << shown[k].first;
            spun = spun || shown[k].first == 31;
        }
        EXPECT_TRUE(spun) << "frame 31 does not show a new note\n" << describe(r);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("frames ended on a tick, (\\d+) on a")))
            << describe(r);
        // A change ends the wait it comes in; with a held frame, little comes
        // between two waits.
        EXPECT_GE(std::stoi(m[1]), static_cast<int>(shown.size() - 1) / 2) << describe(r);
    }
}

// A player that returns an error code: the guest's report routine runs, then
// the host stops with "midas", on the audio thread or the timer thread.
TEST(SampleGuest, PlayerErrorEndsWithMidasAfterTheGuestsReport) {
    for (const bool mute : {false, true}) {
        SCOPED_TRACE(mute ? "-mute (timer thread)" : "sound (audio thread)");
        TempDir dir;
        prepare_sample_dir(dir, true, "frames 400\nerror 7\nerror-at 25\n");
        std::vector<std::string> options;
        if (mute) {
            options.push_back("-mute");
        }
        const ProcessResult r = run_sample(dir, options, dummy_env, 30000);
        ASSERT_FALSE(r.timed_out) << describe(r);
        EXPECT_EQ(r.exit_status, 1) << describe(r);
        EXPECT_TRUE(ends_with(r.err, "midas\n")) << describe(r);
        EXPECT_NE(r.out.find("sample: player error 7 reported\n"), std::string::npos)
            << describe(r);
        EXPECT_TRUE(ends_with(r.out, farewell)) << describe(r);
        EXPECT_EQ(r.out.find("frames done"), std::string::npos);
    }
}

// An interrupt the host does not emulate, asked for after SDL is up: the
// process aborts at once, without the host's shutdown.
TEST(SampleGuest, UnknownInterruptAborts) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 100\ninterrupt 0x21\n");
    const ProcessResult r = run_sample(dir, {}, dummy_env, 30000);
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.signal, SIGABRT) << describe(r);
    EXPECT_EQ(r.out.find("Have a nice day"), std::string::npos) << describe(r);
}

} // namespace

// A render's time under pressure: sound that starts late lies at its own
// time, the file is the same bytes whatever the machine's load or the speed
// of a host routine, and every road out of a render leaves either a whole
// file or nothing, never a temporary, and never hangs.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/render_run.h"

namespace {

std::string probe_lib(const std::string &name) {
    return preload_env(sample_build_dir() + "/tests/" + name + ".so");
}

// The first sample of a channel that is not silence, -1 when all are.
int64_t first_sound(const std::vector<int16_t> &samples, int channels) {
    for (size_t i = 0; i < samples.size(); i++) {
        if (samples[i] != 0) {
            return static_cast<int64_t>(i) / channels;
        }
    }
    return -1;
}

// The guest opens its sound device after frame 20, when that frame's slot
// has come: the file is silent until that moment and plays the music from
// there, in 16-bit stereo and in 8-bit mono alike.
TEST(RenderTime, SoundThatStartsLateLiesAtItsOwnTime) {
    struct Case {
        std::string mode, file;
        int channels;
    };
    for (const Case &c : {Case{"10", "late.mkv", 2}, Case{"4", "late.wav", 1}}) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        prepare_sample_dir(dir, false, "frames 40\nsound 20\nnotes 0\nmode " + c.mode + "\n");
        const std::string video = c.channels == 2 ? c.file : "late.mkv";
        std::vector<std::string> options = {"-render", video};
        ProcessResult r = render_sample(dir, options);
        ASSERT_EQ(r.exit_status, 0) << describe(r);
        if (video != c.file) {
            r = render_sample(dir, {"-render", c.file});
            ASSERT_EQ(r.exit_status, 0) << describe(r);
        }
        // The frame slot at which frame 20 was shown: the device opened then.
        const std::vector<std::vector<uint8_t>> frames = decode_frames(dir, dir.file(video));
        const std::vector<uint8_t> twentieth = screen_frame(20);
        size_t slot = 0;
        while (slot < frames.size() && frames[slot] != twentieth) {
            slot++;
        }
        ASSERT_LT(slot, frames.size()) << "frame 20 is not in the file";
        const int64_t rate =
            probe_field(probe(dir.file(c.file), "a:0", "sample_rate"), "sample_rate");
        const int64_t opened = static_cast<int64_t>(slot) * 1796 * rate / 125875;
        const std::vector<int16_t> samples = decode_audio(dir, dir.file(c.file));
        const int64_t first = first_sound(samples, c.channels);
        EXPECT_GE(first, opened) << "music before the device opened";
        EXPECT_LT(first, opened + rate / 50) << "no music 20 ms after the device opened";
        if (c.file == video) {
            EXPECT_EQ(static_cast<int64_t>(samples.size()) / c.channels,
                      static_cast<int64_t>(frames.size()) * 1796 * rate / 125875)
                << "the sound is not as long as the picture";
        }
    }
}

// Runs the sample host in dir, its output thrown away; its peak resident
// memory in kilobytes, -1 when it did not end with status 0.
long peak_rss_kb(const TempDir &dir, const std::vector<std::string> &options) {
    std::vector<std::string> argv = {sample_host()};
    argv.insert(argv.end(), options.begin(), options.end());
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.path.c_str()) != 0) {
            _exit(126);
        }
        std::vector<std::string> env = render_headless;
        // The sanitizer's quarantine of freed memory would be counted as the
        // host's own.
        if (const char *asan = getenv("ASAN_OPTIONS")) {
            env.push_back(std::string("ASAN_OPTIONS=") + asan +
                          ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
        }
        exec_with_env(argv, env);
    }
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

// Slots that wait for a late sound device cost no memory, whatever the
// frame rate: a render at 500 frames a second whose sound starts after a
// second of demo time (550 slots, 36 MB as copies) needs little more than
// one whose sound starts at once.
TEST(RenderTime, SlotsWaitingForTheSoundCostNoMemory) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 24\nnotes 0\n");
    const long at_once = peak_rss_kb(dir, {"-render", "a.mkv", "-fps", "500"});
    prepare_sample_dir(dir, false, "frames 24\nsound 20\nnotes 0\n");
    const long late = peak_rss_kb(dir, {"-render", "b.mkv", "-fps", "500"});
    ASSERT_GT(at_once, 0);
    ASSERT_GT(late, 0);
    EXPECT_LT(late, at_once + 16 * 1024) << "kilobytes";
}

// The same render three times: plainly, niced beside two CPU hogs, and with
// the guest's script read taking seconds of CPU time in the host: identical
// files, and demo time never moved on by itself.
TEST(RenderTime, ReproducibleUnderStarvationAndASlowHostRoutine) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 30\n");
    const ProcessResult plain = render_sample(dir, {"-render", "a.mkv"});
    ASSERT_EQ(plain.exit_status, 0) << describe(plain);

    std::vector<pid_t> hogs;
    for (int i = 0; i < 2; i++) {
        const pid_t hog = fork();
        if (hog == 0) {
            for (;;) {
            }
        }
        hogs.push_back(hog);
    }
    const ProcessResult starved =
        run_process({"/usr/bin/nice", "-n", "19", sample_host(), "-render", "b.mkv"}, dir.path,
                    render_headless, 240000);
    for (pid_t hog : hogs) {
        kill(hog, SIGKILL);
        waitpid(hog, nullptr, 0);
    }
    ASSERT_EQ(starved.exit_status, 0) << describe(starved);

    std::vector<std::string> env = render_headless;
    env.insert(env.end(), {probe_lib("slow_read_probe"), "LUMOX_SLOW_READ_FILE=lumox.scr",
                           "LUMOX_SLOW_READ_MS=2000"});
    const ProcessResult slow = render_sample(dir, {"-render", "c.mkv"}, env);
    ASSERT_EQ(slow.exit_status, 0) << describe(slow);

    for (const ProcessResult *r : {&plain, &starved, &slow}) {
        EXPECT_EQ(r->err.find("moved on by itself"), std::string::npos) << r->err;
    }
    const std::vector<unsigned char> a = read_bytes(dir.file("a.mkv"));
    EXPECT_TRUE(a == read_bytes(dir.file("b.mkv"))) << "the starved render differs";
    EXPECT_TRUE(a == read_bytes(dir.file("c.mkv"))) << "the slowed render differs";
}

// Threads of the process that do not block sig, by thread id.
std::vector<int> threads_taking(pid_t pid, int sig) {
    std::vector<int> taking;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    while (dirent64 *e = d ? readdir64(d) : nullptr) {
        const int tid = atoi(e->d_name);
        if (tid <= 0) {
            continue;
        }
        std::ifstream status(tasks + "/" + std::to_string(tid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0) {
                const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
                if ((blocked & (1ULL << (sig - 1))) == 0) {
                    taking.push_back(tid);
                }
            }
        }
    }
    if (d) {
        closedir(d);
    }
    return taking;
}

// Every road out of a render that a signal takes. The guest sits in a host
// routine (its script read) for far longer than the test waits: a first
// SIGINT is still honoured within a second with a whole file; a second
// SIGINT, SIGHUP and SIGQUIT end the process by their own action, and
// remove the temporary first. Only the main thread takes these signals.
TEST(RenderTime, EveryRoadOutLeavesAWholeFileOrNothing) {
    struct Road {
        std::vector<int> signals;
        int status, signal;
        bool file;
    };
    const Road roads[] = {{{SIGINT}, 128 + SIGINT, 0, true},
                          {{SIGINT, SIGINT}, -1, SIGINT, false},
                          {{SIGHUP}, -1, SIGHUP, false},
                          {{SIGQUIT}, -1, SIGQUIT, false}};
    // A shell may have left SIGINT ignored, which the host respects; and a
    // SIGQUIT must leave no core file beside the render.
    signal(SIGINT, SIG_DFL);
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (const Road &road : roads) {
        SCOPED_TRACE("signal " + std::to_string(road.signals[0]) + " x" +
                     std::to_string(road.signals.size()));
        TempDir dir;
        prepare_sample_dir(dir, false, "hold 1\nnotes 0\n");
        std::vector<std::string> env = render_headless;
        env.insert(env.end(), {probe_lib("slow_read_probe"), "LUMOX_SLOW_READ_FILE=lumox.scr",
                               "LUMOX_SLOW_READ_MS=60000"});
        Child child = start_sample(dir, {"-render", "out.mkv"}, env);
        // Under way once its temporary is there.
        for (int waited = 0; waited < 30000 && render_outputs(dir).size() < 3; waited += 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(render_outputs(dir).size(), 3u);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (road.signals.size() == 1 && road.signals[0] == SIGINT) {
            EXPECT_EQ(threads_taking(child.pid, SIGINT), std::vector<int>{child.pid});
        }
        for (int sig : road.signals) {
            kill(child.pid, sig);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // Well before the slow read would end by itself.
        const ProcessResult r = finish_child(child, 30000);
        EXPECT_FALSE(r.timed_out) << describe(r);
        EXPECT_EQ(r.exit_status, road.status) << describe(r);
        EXPECT_EQ(r.signal, road.signal) << describe(r);
        if (road.file) {
            EXPECT_EQ(render_outputs(dir),
                      (std::vector<std::string>{"out.mkv", "stderr.txt", "stdout.txt"}));
            EXPECT_EQ(static_cast<int64_t>(decode_frames(dir, dir.file("out.mkv")).size()),
                      rendered_count(r, "out.mkv", "frames"));
        } else {
            EXPECT_EQ(render_outputs(dir), (std::vector<std::string>{"stderr.txt", "stdout.txt"}));
        }
    }
}

} // namespace

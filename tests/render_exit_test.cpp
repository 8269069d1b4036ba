// A render's end when demo time's lock is held by a thread that will never
// let go (the main thread, stopped mid-advance for an exit on another
// thread): the end gives up within its bound, removes the temporary and says
// so in one line, instead of hanging.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

#include "binding/run_state.h"
#include "render/render.h"
#include "support/process.h"
#include "time/scheduler.h"

namespace {

TEST(RenderExitDeathTest, AHolderThatNeverLetsGoLeavesNoFileAndOneLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Made in the child: a threadsafe death test runs afresh.
            const TempDir dir;
            const std::string target = dir.file("out.mkv");
            render_path = target.c_str();
            mute = 1;
            check_render_options();
            begin_render(nullptr);
            std::atomic<bool> holding{false};
            std::thread([&] {
                sched_lock();
                holding = true;
                for (;;) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                }
            }).detach();
            while (!holding) {
                std::this_thread::yield();
            }
            const auto start = std::chrono::steady_clock::now();
            end_render();
            const auto took = std::chrono::steady_clock::now() - start;
            int files = 0;
            for (const auto &entry : std::filesystem::directory_iterator(dir.path)) {
                (void)entry;
                files++;
            }
            fprintf(stderr, "files %d, within 2 s: %d\n", files,
                    took < std::chrono::seconds(2) ? 1 : 0);
            _exit(0);
        },
        testing::ExitedWithCode(0),
        "^render /.*/out.mkv: the demo was stopped in the middle of a frame; nothing "
        "written\nfiles 0, within 2 s: "
        "1\n$");
}

} // namespace

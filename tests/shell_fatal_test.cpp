// The fatal reporters: exact output, exit status 1, exit handlers still run.
#include <SDL.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "shell/fatal.h"

using ::testing::ExitedWithCode;

TEST(FatalDeathTest, FatalAddsOneNewlineEvenAfterTheFormatsOwn) {
    EXPECT_EXIT(fatal("sig %#x\n", 0x4550), ExitedWithCode(1), "^sig 0x4550\n\n$");
    EXPECT_EXIT(fatal("rel1 t1=%d", 39), ExitedWithCode(1), "^rel1 t1=39\n$");
}

TEST(FatalDeathTest, FatalErrnoReportsTheErrorNumberItWasCalledWith) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            fatal_errno("open %s", "lumox.exe");
        },
        ExitedWithCode(1), "^open lumox.exe: No such file or directory\n$");
}

TEST(FatalDeathTest, FatalErrnoTakesErrnoBeforeFormatting) {
    // Formatting into a closed stream sets errno; the report must not show it.
    EXPECT_EXIT(
        {
            fclose(stdout);
            errno = EACCES;
            fatal_errno("read");
        },
        ExitedWithCode(1), "^read: Permission denied\n$");
}

// A stderr whose every write succeeds but leaves another errno behind, as a
// write through a failing buffer or a locale lookup may.
static ssize_t write_and_change_errno(void *, const char *buf, size_t n) {
    const ssize_t written = write(2, buf, n);
    errno = ENOSPC;
    return written;
}

static void fatal_errno_through_changing_stderr() {
    cookie_io_functions_t io = {nullptr, write_and_change_errno, nullptr, nullptr};
    FILE *changing = fopencookie(nullptr, "w", io);
    setvbuf(changing, nullptr, _IONBF, 0);
    stderr = changing;
    errno = EACCES;
    fatal_errno("open %s", "lumox.exe");
}

TEST(FatalDeathTest, FatalErrnoReportsTheFailedCallsErrnoWhenFormattingChangesIt) {
    EXPECT_EXIT(fatal_errno_through_changing_stderr(), ExitedWithCode(1),
                "^open lumox.exe: Permission denied\n$");
}

TEST(FatalDeathTest, FatalSdlKeepsTheBlankBeforeAnEmptySdlError) {
    EXPECT_EXIT(
        {
            SDL_ClearError();
            fatal_sdl("vmutex");
        },
        ExitedWithCode(1), "^vmutex \n$");
    EXPECT_EXIT(
        {
            SDL_SetError("no device");
            fatal_sdl("ownvmutex at %d", 101);
        },
        ExitedWithCode(1), "^ownvmutex at 101 no device\n$");
}

static void say_goodbye() {
    fputs("handler ran\n", stderr);
}

TEST(FatalDeathTest, ExitHandlersRunAfterTheMessage) {
    EXPECT_EXIT(
        {
            atexit(say_goodbye);
            fatal("midas");
        },
        ExitedWithCode(1), "^midas\nhandler ran\n$");
}

// A fatal error on another thread (audio or timer) stops the main thread before
// the exit handlers run: the handler sees the main thread's work frozen. A
// second fatal error on a third thread during that exit prints its own line
// and leaves the end to the first: the handler, started before it and waiting
// for its line to go out, still finishes.
static std::atomic<int> main_thread_work{0};
static std::string written_to_stderr; // under stderr's lock
static std::atomic<bool> second_line_out{false};

static ssize_t write_and_watch(void *, const char *buf, size_t n) {
    const ssize_t written = write(2, buf, n);
    written_to_stderr.append(buf, n);
    if (written_to_stderr.find("maxpl\n") != std::string::npos) {
        second_line_out = true;
    }
    return written;
}

static void second_fatal_during_the_exit() {
    alarm(0); // the exit's watchdog would not wait this long
    const int before = main_thread_work.load();
    std::thread([] { fatal("maxpl"); }).detach();
    for (int waited_ms = 0; !second_line_out && waited_ms < 30000; waited_ms++) {
        usleep(1000);
    }
    usleep(20000);
    fprintf(stderr, "main thread advanced %d\n", main_thread_work.load() - before);
}

static void fatal_on_another_thread_then_a_second_during_the_exit() {
    cookie_io_functions_t io = {nullptr, write_and_watch, nullptr, nullptr};
    stderr = fopencookie(nullptr, "w", io);
    setvbuf(stderr, nullptr, _IONBF, 0);
    note_main_thread();
    atexit(second_fatal_during_the_exit);
    std::thread([] { fatal("midas"); }).detach();
    for (;;) {
        main_thread_work++;
    }
}

TEST(FatalDeathTest, FatalOnAnotherThreadStopsTheMainThreadFirst) {
    EXPECT_EXIT(fatal_on_another_thread_then_a_second_during_the_exit(), ExitedWithCode(1),
                "^midas\nmaxpl\nmain thread advanced 0\n$");
}

// A main thread that takes the signal late: it holds the signal back while
// it sleeps in a system call, and is stopped only when it lets it through.
// The exit handlers must still find it stopped, not running on.
static std::atomic<bool> main_thread_running_on{false};

static void record_main_thread_state() {
    fprintf(stderr, "main thread %s\n", main_thread_running_on.load() ? "running" : "stopped");
}

static void fatal_while_the_main_thread_holds_the_signal() {
    note_main_thread();
    atexit(record_main_thread_state);
    sigset_t signals;
    sigfillset(&signals);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    main_thread_running_on = true;
    std::thread([signals] {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr); // the main thread's alone
        fatal("midas");
    }).detach();
    usleep(200000);
    main_thread_running_on = false;
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    for (;;) {
        pause();
    }
}

TEST(FatalDeathTest, FatalOnAnotherThreadWaitsForAMainThreadThatStopsLate) {
    EXPECT_EXIT(fatal_while_the_main_thread_holds_the_signal(), ExitedWithCode(1),
                "^midas\nmain thread stopped\n$");
}

// A fatal error inside the exit handlers of the thread that is ending the
// process (a render that fails to finish after an exit from another thread)
// prints its line and ends the process at once with status 1, the handlers
// left still running: it does not wait for its own exit.
static void after_the_late_fatal() {
    fprintf(stderr, "handlers went on\n");
}
static void late_fatal() {
    fatal("late");
}

TEST(FatalDeathTest, AFatalInTheEndingThreadsOwnHandlersEndsAtOnce) {
    EXPECT_EXIT(
        {
            note_main_thread();
            atexit(after_the_late_fatal);
            atexit(late_fatal);
            std::thread([] { exit_from_any_thread(5); }).join();
        },
        testing::ExitedWithCode(1), "^late\nhandlers went on\n$");
}

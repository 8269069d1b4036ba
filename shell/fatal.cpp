#include "shell/fatal.h"

#include <SDL.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static pthread_t main_thread;
static std::atomic<bool> main_thread_known{false};
static std::atomic<bool> main_thread_parked{false};
static std::atomic<bool> ending{false};
static std::atomic<bool> fatal_seen{false};
// The thread whose exit ends the process.
static pthread_t ender;
static std::atomic<bool> ender_known{false};

void note_main_thread() {
    main_thread = pthread_self();
    main_thread_known.store(true);
}

static void park_here(int) {
    main_thread_parked.store(true);
    for (;;) {
        pause();
    }
}

static void give_up_on_exit_handlers(int) {
    _exit(1);
}

// Only the first fatal error (or exit from any thread) ends the process. A
// fatal error on another thread meanwhile still prints its line; then that
// thread waits for the first one's exit to end the process.
static bool claim_end(bool fatal_error) {
    if (ending.exchange(true)) {
        return false;
    }
    if (fatal_error) {
        fatal_seen.store(true);
    }
    ender = pthread_self();
    ender_known.store(true);
    return true;
}

// The ending thread itself, inside its exit handlers, does not wait for its
// own exit: it ends with this status, the handlers not run yet still run.
[[noreturn]] static void wait_for_the_end(int status) {
    if (ender_known.load() && pthread_equal(pthread_self(), ender)) {
        exit(status);
    }
    for (;;) {
        pause();
    }
}

// One whole line, also beside another thread's report.
static void report(const char *fmt, va_list ap, const char *separator, const char *tail) {
    flockfile(stderr);
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "%s%s\n", separator, tail);
    funlockfile(stderr);
}

// A fatal error on the audio or timer thread must not leave the main thread
// running guest code while exit() tears SDL and the C++ runtime down under it:
// the main thread is parked in a signal handler first. Should the exit
// handlers still block on something the parked thread holds, a watchdog ends
// the process with the same status.
[[noreturn]] static void end_process(int status = 1) {
    if (main_thread_known.load() && !pthread_equal(pthread_self(), main_thread)) {
        signal(SIGALRM, give_up_on_exit_handlers);
        alarm(5);
        signal(SIGUSR2, park_here);
        if (pthread_kill(main_thread, SIGUSR2) == 0) {
            for (int waited_ms = 0; !main_thread_parked.load() && waited_ms < 500; waited_ms++) {
                usleep(1000);
            }
        }
    }
    exit(status);
}

bool main_thread_stopped() {
    return main_thread_parked.load();
}

bool fatal_reported() {
    return fatal_seen.load();
}

void exit_from_any_thread(int status) {
    if (!claim_end(false)) {
        wait_for_the_end(status);
    }
    end_process(status);
}

[[noreturn]] static void end_after_report(bool first) {
    if (!first) {
        wait_for_the_end(1);
    }
    end_process();
}

void fatal(const char *fmt, ...) {
    const bool first = claim_end(true);
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, "", "");
    va_end(ap);
    end_after_report(first);
}

void fatal_errno(const char *fmt, ...) {
    // Taken first: formatting may itself change errno.
    const int error_number = errno;
    const bool first = claim_end(true);
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, ": ", strerror(error_number));
    va_end(ap);
    end_after_report(first);
}

void fatal_sdl(const char *fmt, ...) {
    const bool first = claim_end(true);
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, " ", SDL_GetError());
    va_end(ap);
    end_after_report(first);
}

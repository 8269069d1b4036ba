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

// Only the first fatal error is reported; a thread that meets another one
// while the process is ending waits for the end.
static void claim_report() {
    if (ending.exchange(true)) {
        for (;;) {
            pause();
        }
    }
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
    claim_report();
    end_process(status);
}

void fatal(const char *fmt, ...) {
    claim_report();
    fatal_seen.store(true);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\n");
    end_process();
}

void fatal_errno(const char *fmt, ...) {
    // Taken first: formatting may itself change errno.
    const int error_number = errno;
    claim_report();
    fatal_seen.store(true);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, ": %s\n", strerror(error_number));
    end_process();
}

void fatal_sdl(const char *fmt, ...) {
    claim_report();
    fatal_seen.store(true);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, " %s\n", SDL_GetError());
    end_process();
}

// The test support's process helpers fail loudly when they cannot start a
// child: a child that never ran must never count as one that passed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

#include "support/process.h"

using ::testing::ExitedWithCode;

namespace {

// What run_process ended with, as one line: its exit status or its error.
void report_run(const char *program) {
    try {
        const ProcessResult r = run_process({program}, "/tmp");
        fprintf(stderr, "exit status %d\n", r.exit_status);
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
    }
}

// No process may be started: as root, first become a user the limit
// applies to.
void run_where_no_process_may_start() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        exit(3);
    }
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_NPROC, &none);
    report_run("/bin/true");
    exit(0);
}

TEST(ProcessDeathTest, AForkThatFailsIsAnErrorNotAnExitOfZero) {
    EXPECT_EXIT(run_where_no_process_may_start(), ExitedWithCode(0),
                "^fork: Resource temporarily unavailable\n$");
}

int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) {
        n++;
    }
    if (d) {
        closedir(d);
    }
    return n;
}

// Room for exactly one pipe: the second one fails, and the first one's ends
// are closed again.
void run_with_room_for_one_pipe() {
    const int before = open_descriptors();
    const int a = dup(0);
    const int b = dup(0);
    const int c = dup(0);
    close(a);
    close(b);
    close(c);
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit room = {static_cast<rlim_t>(c), limit.rlim_max};
    setrlimit(RLIMIT_NOFILE, &room);
    report_run("/bin/true");
    setrlimit(RLIMIT_NOFILE, &limit);
    fprintf(stderr, "descriptors left open: %d\n", open_descriptors() - before);
    exit(0);
}

TEST(ProcessDeathTest, ThePipesOfAFailedStartAreClosed) {
    EXPECT_EXIT(run_with_room_for_one_pipe(), ExitedWithCode(0),
                "^pipe: Too many open files\ndescriptors left open: 0\n$");
}

// A sanitizer told to end with another status than the one the support
// counts would let its findings pass as ordinary exits.
TEST(Process, SanitizerExitCodesOtherThanTheCountedOnesFail) {
    const char *saved = getenv("UBSAN_OPTIONS");
    const std::string kept = saved ? saved : "";
    setenv("UBSAN_OPTIONS", "print_stacktrace=1:exitcode=86", 1);
    EXPECT_NONFATAL_FAILURE(check_sanitizer_exit_codes(), "counted by exit status");
    setenv("UBSAN_OPTIONS", ("exitcode=" + std::to_string(LUMOX_UBSAN_EXIT_CODE)).c_str(), 1);
    check_sanitizer_exit_codes();
    if (saved) {
        setenv("UBSAN_OPTIONS", kept.c_str(), 1);
    } else {
        unsetenv("UBSAN_OPTIONS");
    }
}

} // namespace

// The sanitizer build's safety net, seen from outside: a memory error or
// undefined behaviour in a child that the test helpers start ends the child
// with the sanitizer's own status, never with the fatal status 1 a test may
// expect, and the helpers count it as a failure. The children are this test
// program again, running one of the SanitizerChild cases.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/process.h"

namespace {

// Each ends as a fatal condition would, after its fault.
TEST(SanitizerChild, HeapOverflowThenFatalStatus) {
    if (!getenv("LUMOX_FAULTY_CHILD")) {
        GTEST_SKIP() << "run as a child by SanitizerNet";
    }
    volatile size_t size = 16;
    // Volatile, so the compiler can neither drop the block nor the store.
    volatile char *block = static_cast<char *>(malloc(size));
    block[size] = 1;
    free(const_cast<char *>(block));
    exit(1);
}

TEST(SanitizerChild, SignedOverflowThenFatalStatus) {
    if (!getenv("LUMOX_FAULTY_CHILD")) {
        GTEST_SKIP() << "run as a child by SanitizerNet";
    }
    volatile int largest = INT_MAX;
    const int wrapped = largest + 1;
    exit(wrapped < 0 ? 1 : 2);
}

// Namespace scope: the statement of EXPECT_NONFATAL_FAILURE sees no locals.
ProcessResult child_result;
const char *test_case_name = nullptr;

void run_child(const char *test_case) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    child_result = run_process({self, std::string("--gtest_filter=SanitizerChild.") + test_case},
                               "/tmp", {"LUMOX_FAULTY_CHILD=1"});
}

TEST(SanitizerNet, ChildFaultsEndWithTheSanitizersStatusAndFailTheTest) {
#ifndef LUMOX_SANITIZED
    GTEST_SKIP() << "only the sanitizer build detects these faults";
#endif
    const struct {
        const char *test_case;
        int status;
        const char *report;
    } cases[] = {
        {"HeapOverflowThenFatalStatus", LUMOX_ASAN_EXIT_CODE, "heap-buffer-overflow"},
        {"SignedOverflowThenFatalStatus", LUMOX_UBSAN_EXIT_CODE, "signed integer overflow"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.test_case);
        test_case_name = c.test_case;
        EXPECT_NONFATAL_FAILURE(run_child(test_case_name), "sanitizer finding");
        EXPECT_EQ(child_result.exit_status, c.status);
        EXPECT_NE(child_result.err.find(c.report), std::string::npos) << child_result.err;
    }
}

} // namespace

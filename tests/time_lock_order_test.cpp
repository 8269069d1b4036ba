// The lock-order check, compiled in here whatever the build: the sanitizer
// and debug builds run the whole suite with it, and its rule is pinned on
// every machine.
#ifndef LUMOX_LOCK_CHECKS
#define LUMOX_LOCK_CHECKS 1
#include "time/lock_order.cpp"
#endif
#include "time/lock_order.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(LockOrderDeathTest, OnlyLaterLocksMayBeTakenWhileHolding) {
    // In order, again while held (the recursive locks), and after a release
    // an earlier one again: all fine. Each thread has its own account.
    lock_taking(LockRank::demo);
    lock_taking(LockRank::sound);
    lock_taking(LockRank::sound);
    lock_taking(LockRank::video);
    lock_released(LockRank::video);
    lock_released(LockRank::sound);
    std::thread([] { lock_taking(LockRank::sdl_audio); }).join();
    lock_taking(LockRank::sdl_audio);
    lock_released(LockRank::sdl_audio);
    lock_released(LockRank::demo);

    EXPECT_EXIT(
        {
            lock_taking(LockRank::video);
            lock_taking(LockRank::sound);
        },
        testing::ExitedWithCode(1), "^lock order: sound taken while holding video\n$");
    EXPECT_EXIT(
        {
            lock_taking(LockRank::sound);
            lock_taking(LockRank::encoder_queue);
            lock_taking(LockRank::sdl_audio);
        },
        testing::ExitedWithCode(1), "^lock order: SDL audio taken while holding encoder queue\n$");
}

} // namespace

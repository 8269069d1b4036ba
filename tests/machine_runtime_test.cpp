// Interrupt, memory, console, file and exit services, called as host routines.
#include <SDL.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>

#include "machine/display.h"
#include "machine/runtime.h"
#include "support/process.h"

namespace {

class Runtime : public testing::Test {
  protected:
    static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    // Death-test children start with a fresh pool; the parent must agree.
    void SetUp() override { pool_next = memory_pool; }
};

uint32_t word_at(uint32_t address) {
    uint32_t w;
    memcpy(&w, reinterpret_cast<const void *>(address), 4);
    return w;
}

TEST_F(Runtime, PoolBlocksFollowEachOtherWithTheirSizeWord) {
    const uint32_t p = pool_alloc(10);
    EXPECT_EQ(p, reinterpret_cast<uint32_t>(memory_pool)) << "the first block starts the pool";
    EXPECT_EQ(pool_alloc(10), p + 14);
    EXPECT_EQ(word_at(p), 14u);
    EXPECT_EQ(word_at(p + 14), 14u);
    EXPECT_EQ(pool_next, memory_pool + 28);
    const uint32_t empty = pool_alloc(0);
    EXPECT_EQ(word_at(empty), 4u);
    EXPECT_EQ(pool_alloc(3), empty + 4);
    for (uint32_t i = 4; i < 14; i++) {
        EXPECT_EQ(memory_pool[i], 0) << "block bytes start zero";
    }
}

TEST_F(Runtime, PoolEndsTheProcessInsteadOfOverrunning) {
    uint8_t *const start = pool_next;
    const uint32_t left = static_cast<uint32_t>(memory_pool + memory_pool_size - start);
    EXPECT_EXIT(pool_alloc(left - 3), testing::ExitedWithCode(1),
                "^pool " + std::to_string(left - 3) + "\n$");
    EXPECT_EXIT(pool_alloc(0xFFFFFFFFu), testing::ExitedWithCode(1), "^pool 4294967295\n$");
    EXPECT_EXIT(pool_alloc(0xFFFFFFFDu), testing::ExitedWithCode(1), "^pool 4294967293\n$");
    // The last block that fits exactly is handed out.
    EXPECT_EQ(pool_alloc(left - 4), reinterpret_cast<uint32_t>(start));
    EXPECT_EQ(pool_next, memory_pool + memory_pool_size);
    EXPECT_EXIT(pool_alloc(0), testing::ExitedWithCode(1), "^pool 0\n$");
}

TEST_F(Runtime, DpmiFreeMemoryWritesOneWordAndClearsCarry) {
    uint8_t info[48];
    memset(info, 0xEE, sizeof info);
    GuestRegs in{0x12340500, 1, 2, 3, 4, reinterpret_cast<uint32_t>(info), 5};
    GuestRegs out{11, 12, 13, 14, 15, 16, 17};
    const GuestRegs in_before = in;
    int386_service(0x31, &in, &out, 99);
    const uint8_t expected[4] = {0x42, 0x3B, 0x07, 0x01};
    EXPECT_EQ(memcmp(info, expected, 4), 0);
    EXPECT_EQ(info[4], 0xEE) << "the rest of the buffer stays";
    EXPECT_EQ(info[47], 0xEE);
    EXPECT_EQ(out.cflag, 0u);
    EXPECT_EQ(out.eax, 11u);
    EXPECT_EQ(out.edi, 16u);
    EXPECT_EQ(memcmp(&in, &in_before, sizeof in), 0);
    // Same answer after memory has been taken.
    pool_alloc(1000);
    memset(info, 0, 4);
    dpmi_service(&in, &out, 0);
    EXPECT_EQ(memcmp(info, expected, 4), 0);
}

TEST_F(Runtime, UnemulatedInterruptsAbort) {
    GuestRegs in{0x0501, 0, 0, 0, 0, 0, 0};
    GuestRegs out{};
    EXPECT_EXIT(int386_service(0x31, &in, &out, 0), testing::KilledBySignal(SIGABRT), "");
    in.eax = 0x0012;
    EXPECT_EXIT(int386_service(0x10, &in, &out, 0), testing::KilledBySignal(SIGABRT), "");
    in.eax = 0x0013;
    EXPECT_EXIT(int386_service(0x21, &in, &out, 0), testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(int386_service(0x1031, &in, &out, 0), testing::KilledBySignal(SIGABRT), "");
    in.eax = 0x10000; // AX is 0: only the low 16 bits select
    EXPECT_EXIT(int386_service(0x10, &in, &out, 0), testing::KilledBySignal(SIGABRT), "");
}

TEST_F(Runtime, VideoInterruptSetsModeThirteenAndIgnoresTextMode) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    video_mutex = SDL_CreateMutex();
    GuestRegs in{0xFFFF0003, 0, 0, 0, 0, 0, 0};
    GuestRegs out{1, 2, 3, 4, 5, 6, 7};
    int386_service(0x10, &in, &out, 0);
    EXPECT_EQ(screen, nullptr) << "text mode before the mode set";
    in.eax = 0x0013;
    int386_service(0x10, &in, &out, 0);
    ASSERT_NE(screen, nullptr);
    SDL_Surface *display = screen;
    in.eax = 0x0003;
    int386_service(0x10, &in, &out, 0);
    EXPECT_EQ(screen, display) << "text mode after the mode set";
    const GuestRegs untouched{1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(memcmp(&out, &untouched, sizeof out), 0);
}

// Which function the interrupt service picks: the whole interrupt number and
// exactly AX of the input record count; bits 16-31 of EAX do not. One mode set
// only: a second would replace the display's surfaces.
enum class Picks { dpmi, mode_set, text_mode, abort };

struct Selection {
    uint32_t number, eax;
    Picks picks;
};

const Selection selections[] = {
    {0x31, 0x00000500, Picks::dpmi},      {0x31, 0xFFFF0500, Picks::dpmi},
    {0x31, 0x5A5A0500, Picks::dpmi},      {0x31, 0x00000501, Picks::abort},
    {0x31, 0x00001500, Picks::abort},     {0x31, 0x00000005, Picks::abort},
    {0x31, 0x00008500, Picks::abort},     {0x131, 0x00000500, Picks::abort},
    {0x80000031, 0x0500, Picks::abort},   {0x10, 0xABCD0013, Picks::mode_set},
    {0x10, 0x80000003, Picks::text_mode}, {0x10, 0xFFFF0003, Picks::text_mode},
    {0x10, 0x00000113, Picks::abort},     {0x10, 0x00001300, Picks::abort},
    {0x10, 0x00008013, Picks::abort},     {0x10, 0x00000103, Picks::abort},
    {0x110, 0x00000013, Picks::abort},    {0x00010010, 0x00000013, Picks::abort},
    {0x10, 0x00000000, Picks::abort},
};

TEST_F(Runtime, InterruptServiceSelectsOnTheWholeNumberAndOnAx) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    video_mutex = SDL_CreateMutex();
    for (const Selection &c : selections) {
        SCOPED_TRACE(testing::Message() << std::hex << "int " << c.number << " eax " << c.eax);
        uint32_t info = 0;
        GuestRegs in{c.eax, 0, 0, 0, 0, reinterpret_cast<uint32_t>(&info), 0};
        GuestRegs out{1, 2, 3, 4, 5, 6, 7};
        if (c.picks == Picks::abort) {
            EXPECT_EXIT(int386_service(c.number, &in, &out, 0), testing::KilledBySignal(SIGABRT),
                        "");
            continue;
        }
        SDL_Surface *const before = screen;
        int386_service(c.number, &in, &out, 0);
        EXPECT_EQ(info, c.picks == Picks::dpmi ? memory_pool_size : 0u);
        EXPECT_EQ(out.cflag, c.picks == Picks::dpmi ? 0u : 7u);
        if (c.picks == Picks::mode_set) {
            EXPECT_NE(screen, nullptr);
        } else {
            EXPECT_EQ(screen, before);
        }
    }
}

TEST_F(Runtime, ConsoleStreamsAndResults) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int printed = console_printf(1, 2, 3, 4, "%d", 7);
    const int flushed = console_flush();
    console_printf(0, 0, 0, 0, "[%s|%c|%x]", "s", 'c', 0xbeefu);
    TempDir dir;
    FILE *file = fopen(dir.file("guest.txt").c_str(), "w");
    ASSERT_NE(file, nullptr);
    const int put = console_puts("to stderr", reinterpret_cast<uint32_t>(file));
    const int c = console_putc('!', reinterpret_cast<uint32_t>(file));
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    fclose(file);
    EXPECT_EQ(printed, 1);
    EXPECT_EQ(flushed, 0);
    EXPECT_GE(put, 0);
    EXPECT_EQ(c, '!');
    EXPECT_EQ(out, "7[s|c|beef]");
    EXPECT_EQ(err, "to stderr!");
    EXPECT_TRUE(read_bytes(dir.file("guest.txt")).empty()) << "the guest's stream is not used";
}

TEST_F(Runtime, GuestExitRunsTheHandlersWithTheGuestsStatus) {
    EXPECT_EXIT(
        {
            atexit([] { fprintf(stderr, "farewell\n"); });
            guest_exit(2);
        },
        testing::ExitedWithCode(2), "^farewell\n$");
}

} // namespace

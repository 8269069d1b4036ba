// The sound device and the timer against real SDL: the disk audio driver's
// output, a second open, errors on the audio thread, passes that must not
// overlap, and the muted timer's own thread.
#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "shell/host.h"
#include "sound/sound.h"
#include "sound/timer.h"
#include "support/process.h"
#include "support/sound_guest.h"

using ::testing::ExitedWithCode;

// What the exit handlers do with SDL at the end of a real run.
static void close_sdl_at_exit() {
    SDL_PauseAudio(1);
    SDL_Quit();
}

// A mixer that writes the pattern on without end, in passes of a size that is
// no divisor of SDL's requests, so leftovers carry over between callbacks.
constexpr int disk_pass_bytes = 6000;
static std::atomic<int> endless_passes{0};
static int endless_mixer() {
    DmaBuffer *buffer = playing_buffer;
    for (int i = 0; i < disk_pass_bytes; i++) {
        buffer->data[i] = mixed_pattern(script.pattern_position++);
    }
    sound_guest.mix_length = disk_pass_bytes;
    endless_passes++;
    return 0;
}

class SdlSoundTest : public ::testing::Test {
  protected:
    DmaBuffer buffer = {};
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        install_sound_guest();
        mute = 0;
        endless_passes = 0;
    }
    void TearDown() override {
        SDL_Quit();
        if (buffer.data) {
            dma_free_buffer(&buffer);
        }
        unsetenv("SDL_DISKAUDIOFILE");
        unsetenv("SDL_DISKAUDIODELAY");
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    }
    // 44100 Hz: at lower rates this SDL resamples, and the driver's bytes are
    // no longer the mixed ones.
    void open_device(const char *driver) {
        setenv("SDL_AUDIODRIVER", driver, 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_AUDIO | SDL_INIT_TIMER), 0) << SDL_GetError();
        timer_init(&sound_guest.device);
        EXPECT_EQ(device_open(44100, 10), 0);
        ASSERT_EQ(dma_alloc_buffer(16384, &buffer), 0);
    }
    static bool wait_for(const std::atomic<int> &count, int at_least) {
        for (int waited_ms = 0; waited_ms < 20000; waited_ms += 5) {
            if (count >= at_least) {
                return true;
            }
            SDL_Delay(5);
        }
        return false;
    }
};

TEST_F(SdlSoundTest, DiskDriverReceivesTheMixedBytesInOrderWithoutGapsOrRepeats) {
    TempDir dir;
    const std::string file = dir.file("out.raw");
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "1", 1);
    open_device("disk");
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&endless_mixer);
    dma_play_buffer(&buffer);
    ASSERT_TRUE(wait_for(endless_passes, 40));
    dma_stop();
    SDL_Quit();

    // Silence (zero bytes) while paused before and after; the pattern has no
    // zero byte, so it must be one unbroken run from its start.
    const std::vector<unsigned char> bytes = read_bytes(file);
    size_t start = 0;
    while (start < bytes.size() && bytes[start] == 0) {
        start++;
    }
    size_t end = start;
    while (end < bytes.size() && bytes[end] != 0) {
        ASSERT_EQ(bytes[end], mixed_pattern(end - start)) << "byte " << end - start;
        end++;
    }
    for (size_t i = end; i < bytes.size(); i++) {
        ASSERT_EQ(bytes[i], 0) << "after the pattern, byte " << i;
    }
    EXPECT_GE(end - start, 30u * disk_pass_bytes);
    // Every byte delivered was mixed, and no more than one pass is left over.
    EXPECT_LE(end - start, script.pattern_position);
    EXPECT_GE(end - start + disk_pass_bytes, script.pattern_position);
}

TEST_F(SdlSoundTest, SecondOpenWithSoundOnIsFatal) {
    EXPECT_EXIT(
        {
            atexit(close_sdl_at_exit);
            open_device("dummy");
            device_open(44100, 10);
        },
        ExitedWithCode(1), "^aud0 .+\n$");
}

TEST_F(SdlSoundTest, AnErrorOnTheAudioThreadEndsTheProcess) {
    EXPECT_EXIT(
        {
            alarm(20);
            atexit(close_sdl_at_exit);
            open_device("dummy");
            script.start_result = 4;
            dma_play_buffer(&buffer);
            SDL_Delay(20000);
            fputs("callback never ran\n", stderr);
            exit(0);
        },
        ExitedWithCode(1), "^guest error 4\nmidas\n$");
}

// Cycles 1, 0, 1, 0, ...: every pass runs the players once.
static int alternating_cycle(int *more_cycles) {
    static std::atomic<int> calls{0};
    *more_cycles = calls++ % 2 == 0;
    return 0;
}

static Uint32 main_thread;
static int failing_on_main_thread() {
    if (SDL_ThreadID() != main_thread) {
        return 0;
    }
    // Long enough for the audio thread to be waiting for the lock.
    SDL_Delay(200);
    return 6;
}

TEST_F(SdlSoundTest, AnErrorInTheRegistrationPassEndsTheProcessWhileAudioPlays) {
    // Audio is playing, so the exit handlers must close a device whose thread
    // wants the lock that the failing pass took.
    EXPECT_EXIT(
        {
            alarm(20); // a deadlock at exit fails the test instead of hanging it
            atexit(close_sdl_at_exit);
            main_thread = SDL_ThreadID();
            open_device("dummy");
            sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&endless_mixer);
            sound_guest.device.cycle = reinterpret_cast<uint32_t>(&alternating_cycle);
            dma_play_buffer(&buffer);
            wait_for(endless_passes, 3);
            int index;
            timer_play_player(reinterpret_cast<uint32_t>(&failing_on_main_thread), &index);
        },
        ExitedWithCode(1), "^guest error 6\nmidas\n$");
}

static std::atomic<int> passes_running{0};
static std::atomic<int> overlaps{0};
static std::atomic<int> serial_passes{0};
static int exclusive_mixer() {
    if (passes_running++ != 0) {
        overlaps++;
    }
    SDL_Delay(1);
    DmaBuffer *buffer = playing_buffer;
    if (buffer) {
        buffer->data[0] = 1;
    }
    sound_guest.mix_length = 2048;
    passes_running--;
    serial_passes++;
    return 0;
}

TEST_F(SdlSoundTest, RegistrationPassesNeverOverlapAudioThreadPasses) {
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    open_device("disk");
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&exclusive_mixer);
    dma_play_buffer(&buffer);
    ASSERT_TRUE(wait_for(serial_passes, 5));
    for (int i = 0; i < 200; i++) {
        int index = -1;
        timer_play_player(player(0), &index);
        timer_stop_player(index);
    }
    const int audio_passes = serial_passes - 200;
    dma_stop();
    EXPECT_EQ(overlaps, 0);
    EXPECT_GT(audio_passes, 5);
}

static std::atomic<int> ticks{0};
static int counting_pass_start() {
    ticks++;
    return 0;
}

TEST_F(SdlSoundTest, MutedTimerRunsPassesOnItsOwnThreadUntilClosed) {
    mute = 1;
    ASSERT_EQ(SDL_Init(SDL_INIT_TIMER), 0);
    ticks = 0;
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&counting_pass_start);
    timer_init(&sound_guest.device);
    ASSERT_NE(timer_id, nullptr);
    ASSERT_TRUE(wait_for(ticks, 3));
    timer_close();
    EXPECT_EQ(timer_id, nullptr);
    SDL_Delay(50);
    const int after_close = ticks;
    SDL_Delay(100);
    EXPECT_EQ(ticks, after_close);
}

// A pass that notes the players and callbacks at its start and finds them
// changed a little later has overlapped a change made on the main thread.
static std::atomic<int> changed_in_pass{0};
static std::atomic<int> watched_passes{0};
static uint32_t seen_at_start[19];
static void note_registrations(uint32_t *out) {
    memcpy(out, player_slots, sizeof player_slots);
    out[16] = timer_callback_1;
    out[17] = timer_callback_2;
    out[18] = timer_callback_3;
}
static int watching_start() {
    note_registrations(seen_at_start);
    DmaBuffer *buffer = playing_buffer;
    if (buffer) {
        sound_guest.mix_length = 512;
    }
    return 0;
}
static uint32_t seen_later[19]; // static, as all state the stand-ins keep
static int watching_cycle(int *more_cycles) {
    SDL_Delay(1);
    uint32_t *now = seen_later;
    note_registrations(now);
    if (memcmp(now, seen_at_start, sizeof seen_later) != 0) {
        changed_in_pass++;
    }
    watched_passes++;
    *more_cycles = 0;
    return 0;
}
static int quiet_player() {
    return 0;
}
static void quiet_callback() {}

TEST_F(SdlSoundTest, MainThreadRegistrationsNeverLandInsideAPassSoundOnOrMuted) {
    for (const bool muted : {false, true}) {
        SCOPED_TRACE(muted ? "muted: timer thread" : "sound on: audio thread");
        install_sound_guest();
        changed_in_pass = 0;
        watched_passes = 0;
        mute = muted ? 1 : 0;
        sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&watching_start);
        sound_guest.device.cycle = reinterpret_cast<uint32_t>(&watching_cycle);
        if (muted) {
            ASSERT_EQ(SDL_Init(SDL_INIT_TIMER), 0);
            timer_init(&sound_guest.device);
        } else {
            setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
            setenv("SDL_DISKAUDIODELAY", "0", 1);
            open_device("disk");
            dma_play_buffer(&buffer);
        }
        const int main_passes = muted ? 0 : 1;
        int own = 0;
        for (int i = 0; i < 20000 && watched_passes - own * main_passes < 30; i++) {
            int index = -1;
            timer_play_player(reinterpret_cast<uint32_t>(&quiet_player), &index);
            own++;
            timer_set_callbacks(10, reinterpret_cast<uint32_t>(&quiet_callback), 0,
                                i % 2 ? reinterpret_cast<uint32_t>(&quiet_callback) : 0);
            SDL_Delay(0);
            timer_stop_player(index);
        }
        timer_close();
        dma_stop();
        EXPECT_GE(watched_passes - own * main_passes, 30) << "too few passes on the other thread";
        EXPECT_EQ(changed_in_pass, 0);
        SDL_Quit();
        if (buffer.data) {
            dma_free_buffer(&buffer);
            buffer = {};
        }
    }
}

// Player passes, player slots and the timer's intervals, with stand-ins for the
// guest's routines and recording stand-ins for SDL's timer and the sound lock.
#include <SDL.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "binding/bind.h"
#include "loader/loader.h"
#include "shell/host.h"
#include "sound/sound.h"
#include "sound/timer.h"
#include "support/exec_memory.h"
#include "support/guest_call.h"
#include "support/sound_guest.h"

using ::testing::ExitedWithCode;

// SDL stand-ins, taking precedence over the library's: no timer thread, and the
// audio calls show up in the call log.
static std::vector<Uint32> timers_added;
static std::vector<SDL_TimerID> timers_removed;
static bool add_timer_fails = false;
static int fake_timer_record;
static int audio_lock_depth = 0;

SDL_TimerID SDL_AddTimer(Uint32 interval, SDL_NewTimerCallback, void *) {
    timers_added.push_back(interval);
    if (add_timer_fails) {
        SDL_SetError("no timer thread");
        return nullptr;
    }
    return reinterpret_cast<SDL_TimerID>(&fake_timer_record);
}

SDL_bool SDL_RemoveTimer(SDL_TimerID id) {
    timers_removed.push_back(id);
    return SDL_TRUE;
}

// The sound lock's mutex: taken and let go show in the call log.
static int fake_mutex_storage;
static SDL_mutex *const fake_mutex = reinterpret_cast<SDL_mutex *>(&fake_mutex_storage);
SDL_mutex *SDL_CreateMutex() {
    return fake_mutex;
}
int SDL_mutexP(SDL_mutex *) {
    audio_lock_depth++;
    script.log += "lock ";
    return 0;
}
int SDL_mutexV(SDL_mutex *) {
    audio_lock_depth--;
    script.log += "unlock ";
    return 0;
}

void SDL_PauseAudio(int pause_on) {
    script.log += pause_on ? "pause1 " : "pause0 ";
}

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_sound_guest();
        mute = 0;
        timers_added.clear();
        timers_removed.clear();
        add_timer_fails = false;
        audio_lock_depth = 0;
    }
    // Starts the timer with sound off, so registering players runs no pass.
    void start_muted(int pacing = 0) {
        mute = 1;
        sound_guest.device.pacing = pacing;
        timer_init(&sound_guest.device);
    }
    int play(uint32_t routine) {
        int index = -1;
        EXPECT_EQ(timer_play_player(routine, &index), 0);
        return index;
    }
    void cycles(std::initializer_list<int> values) {
        script.more_cycles_count = 0;
        for (int v : values) {
            script.more_cycles[script.more_cycles_count++] = v;
        }
    }
    std::string pass_log() {
        script.log.clear();
        run_player_pass();
        return script.log;
    }
};

TEST_F(TimerTest, APassCallsNothingWhileSoundIsNotReadyOrBeforeInit) {
    cycles({1, 0});
    EXPECT_EQ(pass_log(), "");

    start_muted();
    play(player(0));
    sound_guest.sound_ready = 0;
    EXPECT_EQ(pass_log(), "");
    sound_guest.sound_ready = 1;
    EXPECT_EQ(pass_log(), "start cycle p0 cycle ");
}

TEST_F(TimerTest, CyclesRepeatWhileTheCycleRoutineAsksAndCallbacksRunInEveryCycle) {
    start_muted();
    timer_set_callbacks(10, callback(1), callback(2), callback(3));
    play(player(0));
    play(player(1));
    cycles({1, 1, 1, 0});
    EXPECT_EQ(pass_log(), "start "
                          "cycle cb1 cb2 cb3 p0 p1 "
                          "cycle cb1 cb2 cb3 p0 p1 "
                          "cycle cb1 cb2 cb3 p0 p1 "
                          "cycle cb1 cb2 cb3 ");
    EXPECT_EQ(script.cycle_calls, 4);
}

TEST_F(TimerTest, APacedDeviceRunsExactlyOneCycleAndNullCallbacksAreSkipped) {
    start_muted(1);
    timer_set_callbacks(10, callback(1), 0, callback(3));
    play(player(0));
    cycles({1});
    EXPECT_EQ(pass_log(), "start cycle cb1 cb3 p0 ");
}

TEST_F(TimerTest, ACycleRoutineThatStoresNothingEndsThePass) {
    start_muted();
    play(player(0));
    cycles({});
    EXPECT_EQ(pass_log(), "start cycle ");
}

TEST_F(TimerTest, GuardValueInEntriesOneToSixteenEndsThePassBeforeAnyPlayer) {
    GuardRecord guard = {};
    guard.value = 37;
    for (int entry : {1, 9, 16}) {
        install_sound_guest();
        start_muted();
        play(player(0));
        cycles({1, 1, 0});
        sound_guest.guard_table[entry] = reinterpret_cast<uint32_t>(&guard);
        EXPECT_EQ(pass_log(), "start cycle ") << "entry " << entry;
    }
}

TEST_F(TimerTest, GuardHasNoEffectInEntryZeroOrWithAnotherValue) {
    start_muted();
    play(player(0));
    cycles({1, 0});
    GuardRecord guard = {};
    guard.value = 37;
    sound_guest.guard_table[0] = reinterpret_cast<uint32_t>(&guard);
    GuardRecord other = {};
    other.value = 36;
    sound_guest.guard_table[5] = reinterpret_cast<uint32_t>(&other);
    EXPECT_EQ(pass_log(), "start cycle p0 cycle ");
}

static GuardRecord raised_guard;
static int raising_player() {
    script.log += "raise ";
    raised_guard.value = 37;
    return 0;
}

TEST_F(TimerTest, GuardIsCheckedBeforeEachPlayer) {
    start_muted();
    play(reinterpret_cast<uint32_t>(&raising_player));
    play(player(1));
    raised_guard = {};
    sound_guest.guard_table[16] = reinterpret_cast<uint32_t>(&raised_guard);
    cycles({1, 1, 0});
    EXPECT_EQ(pass_log(), "start cycle raise ");
}

TEST_F(TimerTest, PlayersRunInSlotOrderWhateverTheRegistrationOrder) {
    start_muted();
    for (int i = 0; i < 8; i++) {
        play(player(10));
    }
    timer_stop_player(7);
    EXPECT_EQ(play(player(7)), 7);
    timer_stop_player(3);
    EXPECT_EQ(play(player(3)), 3);
    for (int i : {0, 1, 2, 4, 5, 6}) {
        timer_stop_player(i);
    }
    cycles({1, 0});
    EXPECT_EQ(pass_log(), "start cycle p3 p7 cycle ");
}

TEST_F(TimerTest, SixteenSlotsThenMaxplAndStoppedSlotsAreReused) {
    start_muted();
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(play(player(i)), i);
    }
    EXPECT_EXIT(play(player(16)), ExitedWithCode(1), "^maxpl\n$");
    timer_stop_player(4);
    EXPECT_EQ(play(player(16)), 4);
    EXPECT_EQ(player_slots[4], player(16));
}

TEST_F(TimerTest, StopOutsideTheSlotsIsIgnored) {
    start_muted();
    for (int i = 0; i < 16; i++) {
        play(player(i));
    }
    uint32_t before[16];
    memcpy(before, player_slots, sizeof before);
    const uint32_t device_before = reinterpret_cast<uint32_t>(timer_device);
    for (int index : {-1, 16, 17, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(timer_stop_player(index), 0);
    }
    EXPECT_EQ(memcmp(before, player_slots, sizeof before), 0);
    EXPECT_EQ(reinterpret_cast<uint32_t>(timer_device), device_before);
}

TEST_F(TimerTest, ErrorCodesAreReportedToTheGuestThenMidas) {
    start_muted();
    script.start_result = 5;
    EXPECT_EXIT(run_player_pass(), ExitedWithCode(1), "^guest error 5\nmidas\n$");
    script.start_result = 0;
    cycles({1, 1, 0});
    script.cycle_result_at = 2;
    script.cycle_result = -7;
    EXPECT_EXIT(run_player_pass(), ExitedWithCode(1), "^guest error -7\nmidas\n$");
    script.cycle_result_at = 0;
    play(player(0));
    script.player_result = 3;
    EXPECT_EXIT(run_player_pass(), ExitedWithCode(1), "^guest error 3\nmidas\n$");
}

static void report_lock_depth() {
    fprintf(stderr, "audio lock depth %d\n", audio_lock_depth);
}

TEST_F(TimerTest, AnErrorInTheRegistrationPassLetsGoOfTheAudioLock) {
    // The exit handlers close audio, which waits for an audio thread that
    // would be waiting for this lock.
    mute = 0;
    timer_init(&sound_guest.device);
    cycles({1});
    script.player_result = 9;
    EXPECT_EXIT(
        {
            atexit(report_lock_depth);
            play(player(0));
        },
        ExitedWithCode(1), "^guest error 9\nmidas\naudio lock depth 0\n$");
}

TEST_F(TimerTest, RegistrationWithSoundOnRunsOnePassUnderTheSoundLockThenUnpauses) {
    timer_init(&sound_guest.device);
    cycles({1, 0});
    script.log.clear();
    EXPECT_EQ(play(player(0)), 0);
    EXPECT_EQ(script.log, "lock start cycle p0 cycle unlock lock unlock pause0 ");
    EXPECT_EQ(audio_lock_depth, 0);
}

TEST_F(TimerTest, RegistrationWhenMutedRunsNoPass) {
    start_muted();
    script.log.clear();
    play(player(0));
    EXPECT_EQ(script.log, "lock unlock ") << "a pass ran";
}

TEST_F(TimerTest, MutedInitRegistersTenMsForAPulledDeviceAndFiveForAPacedOne) {
    start_muted(0);
    EXPECT_EQ(timer_interval_ms, 10);
    start_muted(1);
    EXPECT_EQ(timer_interval_ms, 5);
    EXPECT_EQ(timers_added, (std::vector<Uint32>{10, 5}));
    // The second start replaced the first timer.
    ASSERT_EQ(timers_removed.size(), 1u);
    EXPECT_NE(timer_id, nullptr);
}

TEST_F(TimerTest, OnlyAMutedTimerRegistersAndRemovesAnSdlTimer) {
    timer_init(&sound_guest.device);
    timer_close();
    EXPECT_TRUE(timers_added.empty());
    EXPECT_TRUE(timers_removed.empty());

    start_muted();
    const SDL_TimerID id = timer_id;
    timer_close();
    EXPECT_EQ(timers_removed, (std::vector<SDL_TimerID>{id}));
    // The exit handlers remove timer_id when set; it must not be removed twice.
    EXPECT_EQ(timer_id, nullptr);
    EXPECT_EQ(timer_running, 0);
}

TEST_F(TimerTest, FailedTimerRegistrationIsFatal) {
    add_timer_fails = true;
    EXPECT_EXIT(start_muted(), ExitedWithCode(1), "^timer no timer thread\n$");
}

TEST_F(TimerTest, TicksNeverAskForLessThanTenMs) {
    start_muted(1);
    EXPECT_EQ(timer_tick(5, nullptr), 10u);
    timer_set_rate(5000);
    EXPECT_EQ(rate_interval_ms, 20);
    EXPECT_EQ(timer_tick(10, nullptr), 20u);
    timer_set_rate(0);
    EXPECT_EQ(rate_interval_ms, 20);
    EXPECT_EQ(timer_tick(20, nullptr), 20u);
    timer_set_rate(20000);
    EXPECT_EQ(rate_interval_ms, 5);
    EXPECT_EQ(timer_tick(20, nullptr), 10u);
    timer_set_rate(1);
    EXPECT_EQ(timer_tick(10, nullptr), 100000u);
}

TEST_F(TimerTest, RateIsIgnoredForAPulledDeviceAndBeforeInit) {
    timer_set_rate(5000);
    EXPECT_EQ(rate_interval_ms, 0);
    start_muted(0);
    timer_set_rate(5000);
    EXPECT_EQ(rate_interval_ms, 10);
    EXPECT_EQ(timer_tick(10, nullptr), 10u);
}

TEST_F(TimerTest, OnceABufferPlayedTicksRunNoPassAndKeepTheInterval) {
    start_muted(1);
    timer_set_callbacks(33, 0, 0, 0);
    DmaBuffer buffer = {};
    dma_play_buffer(&buffer);
    script.log.clear();
    EXPECT_EQ(timer_tick(10, nullptr), 33u);
    EXPECT_EQ(timer_tick(10, nullptr), 33u);
    EXPECT_EQ(script.log, "lock unlock lock unlock ") << "a pass ran";
}

TEST_F(TimerTest, ATickAfterCloseRunsItsPassAndCancelsTheTimer) {
    start_muted();
    timer_close();
    script.log.clear();
    EXPECT_EQ(timer_tick(10, nullptr), 0u);
    EXPECT_EQ(script.log, "lock start cycle unlock ");
}

static void retiming_callback() {
    timer_set_callbacks(50, reinterpret_cast<uint32_t>(&retiming_callback), 0, 0);
}

TEST_F(TimerTest, ACallbackThatSetsTheIntervalDecidesWhatTheTickReturns) {
    start_muted();
    timer_set_callbacks(10, reinterpret_cast<uint32_t>(&retiming_callback), 0, 0);
    EXPECT_EQ(timer_tick(10, nullptr), 50u);
}

// Through the guest's own route: a plain jump at a guest site, called with
// stack arguments on a stack aligned to 4 bytes only.
class TimerRedirectTest : public TimerTest {
  protected:
    uint8_t *site = nullptr;
    void SetUp() override {
        TimerTest::SetUp();
        site = exec_memory(4096);
    }
    uint32_t call(void *routine, std::vector<uint32_t> args, int esp_mod) {
        EXPECT_EQ(write_redirect(site, routine, -2), nullptr);
        GuestCallRegs regs = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666, 0x7777};
        const GuestCallRegs before = regs;
        EXPECT_EQ(guest_call(reinterpret_cast<uint32_t>(site), &regs, args.data(),
                             static_cast<int>(args.size()), esp_mod),
                  0);
        EXPECT_EQ(regs.ebx, before.ebx);
        EXPECT_EQ(regs.esi, before.esi);
        EXPECT_EQ(regs.edi, before.edi);
        EXPECT_EQ(regs.ebp, before.ebp);
        return regs.eax;
    }
};

TEST_F(TimerRedirectTest, RegistrationAndCallbacksThroughAPlainJump) {
    for (int esp_mod : {0, 4, 8, 12}) {
        install_sound_guest();
        mute = 0;
        EXPECT_EQ(call(reinterpret_cast<void *>(&timer_init),
                       {reinterpret_cast<uint32_t>(&sound_guest.device)}, esp_mod),
                  0u);
        EXPECT_EQ(call(reinterpret_cast<void *>(&timer_set_callbacks),
                       {25, callback(1), 0, callback(3)}, esp_mod),
                  0u);
        EXPECT_EQ(timer_interval_ms, 25);
        int index = -1;
        cycles({1, 0});
        script.log.clear();
        EXPECT_EQ(call(reinterpret_cast<void *>(&timer_play_player),
                       {player(2), reinterpret_cast<uint32_t>(&index)}, esp_mod),
                  0u);
        EXPECT_EQ(index, 0) << "esp mod " << esp_mod;
        EXPECT_EQ(script.log,
                  "lock start cycle cb1 cb3 p2 cycle cb1 cb3 unlock lock unlock pause0 ");
        EXPECT_EQ(call(reinterpret_cast<void *>(&timer_stop_player), {0}, esp_mod), 0u);
        EXPECT_EQ(player_slots[0], 0u);
    }
}

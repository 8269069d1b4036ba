// The sound lock around every main-thread service that changes state a pass
// or the audio callback reads, with sound on and muted: one mutex in both,
// never SDL's audio lock. Recording stand-ins for both take a snapshot of
// that state whenever they are taken or let go, so a change made before the
// lock is taken or after it is let go, or under the wrong lock, shows.
#include <SDL.h>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "shell/host.h"
#include "sound/sound.h"
#include "sound/timer.h"
#include "support/sound_guest.h"

using ::testing::ExitedWithCode;

static std::string shared_state() {
    std::string s;
    char part[64];
    snprintf(part, sizeof part, "buf %p dev %p run %d tick %d rate %d cb %x %x %x",
             static_cast<void *>(playing_buffer), static_cast<void *>(timer_device), timer_running,
             timer_interval_ms, rate_interval_ms, timer_callback_1, timer_callback_2,
             timer_callback_3);
    s += part;
    for (uint32_t slot : player_slots) {
        s += " " + std::to_string(slot);
    }
    for (const LiveArea &area : live_areas) {
        snprintf(part, sizeof part, " %p/%d", static_cast<void *>(area.data), area.size);
        s += part;
    }
    // Guest code run by the service counts as a change of the mixer's state.
    s += " guest " + std::to_string(script.mixer_open_calls) + " " +
         std::to_string(script.cycle_calls) + " " + std::to_string(script.log.size());
    return s;
}

// One record per take or release of either lock, outermost ones only.
struct LockEvent {
    bool muted_lock, take;
    std::string state;
};
static std::vector<LockEvent> events;
static int depth = 0;
static int depth_in_pass = -1;
static int fake_mutex_storage;
static SDL_mutex *const fake_mutex = reinterpret_cast<SDL_mutex *>(&fake_mutex_storage);

static void record(bool muted_lock, bool take) {
    // The log grows only through guest stand-ins between the two records.
    if ((take && depth++ == 0) || (!take && --depth == 0)) {
        events.push_back({muted_lock, take, shared_state()});
    }
}

void SDL_LockAudio() {
    record(false, true);
}
void SDL_UnlockAudio() {
    record(false, false);
}
SDL_mutex *SDL_CreateMutex() {
    return fake_mutex;
}
int SDL_mutexP(SDL_mutex *m) {
    if (m == fake_mutex) {
        record(true, true);
    }
    return 0;
}
int SDL_mutexV(SDL_mutex *m) {
    if (m == fake_mutex) {
        record(true, false);
    }
    return 0;
}
void SDL_PauseAudio(int) {}
SDL_TimerID SDL_AddTimer(Uint32, SDL_NewTimerCallback, void *) {
    return reinterpret_cast<SDL_TimerID>(&fake_mutex_storage);
}
SDL_bool SDL_RemoveTimer(SDL_TimerID) {
    return SDL_TRUE;
}
int SDL_OpenAudio(SDL_AudioSpec *, SDL_AudioSpec *) {
    return 0;
}

static int pass_start_noting_depth() {
    depth_in_pass = depth;
    return 0;
}

struct Service {
    const char *name;
    std::function<void()> call;
};

class LockTest : public ::testing::TestWithParam<bool> {
  protected:
    DmaBuffer buffer = {}, other = {};
    void SetUp() override {
        install_sound_guest();
        mute = GetParam() ? 1 : 0;
        memset(live_areas, 0, sizeof live_areas);
        events.clear();
        depth = 0;
        depth_in_pass = -1;
    }
    void TearDown() override {
        free(buffer.data);
        free(other.data);
    }
    // The service changes the shared state, and only between its first take
    // and its last release of the lock of this mode.
    void expect_locked(const Service &s) {
        SCOPED_TRACE(s.name);
        events.clear();
        const std::string before = shared_state();
        s.call();
        const std::string after = shared_state();
        EXPECT_NE(before, after) << "the service changed nothing";
        ASSERT_GE(events.size(), 2u) << "never locked";
        EXPECT_EQ(events.front().state, before) << "changed before the lock was taken";
        EXPECT_EQ(events.back().state, after) << "changed after the lock was let go";
        for (const LockEvent &e : events) {
            EXPECT_TRUE(e.muted_lock) << "SDL's audio lock instead of the sound lock";
        }
        EXPECT_EQ(depth, 0);
    }
};

TEST_P(LockTest, EveryServiceChangesSharedStateOnlyUnderTheLock) {
    sound_guest.device.pacing = 1;
    script.more_cycles_count = 1; // players run once per pass
    script.more_cycles[0] = 0;
    int index = -1;
    const Service services[] = {
        {"timer_init", [] { timer_init(&sound_guest.device); }},
        {"timer_set_callbacks",
         [] { timer_set_callbacks(25, callback(1), callback(2), callback(3)); }},
        {"timer_set_rate", [] { timer_set_rate(4000); }},
        {"timer_play_player", [&] { timer_play_player(player(1), &index); }},
        {"timer_stop_player", [&] { timer_stop_player(index); }},
        {"dma_alloc_buffer", [&] { dma_alloc_buffer(512, &buffer); }},
        {"dma_play_buffer", [&] { dma_play_buffer(&buffer); }},
        {"dma_alloc_buffer again", [&] { dma_alloc_buffer(256, &other); }},
        {"dma_free_buffer",
         [&] {
             dma_free_buffer(&other);
             other.data = nullptr;
         }},
        {"timer_close", [] { timer_close(); }},
    };
    for (const Service &s : services) {
        expect_locked(s);
    }
    if (!mute) {
        expect_locked({"device_open", [] { device_open(22050, 10); }});
        expect_locked({"device_close", [] { device_close(); }});
    }
}

TEST_P(LockTest, EveryPassRunsUnderTheLock) {
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&pass_start_noting_depth);
    timer_init(&sound_guest.device);
    if (mute) {
        // The timer thread's tick.
        events.clear();
        timer_tick(10, nullptr);
        EXPECT_EQ(depth_in_pass, 1);
        ASSERT_EQ(events.size(), 2u);
    } else {
        // The registration's pass on the main thread.
        int index;
        timer_play_player(player(0), &index);
        EXPECT_EQ(depth_in_pass, 1);
    }
    EXPECT_EQ(depth, 0);
}

static void report_depth() {
    fprintf(stderr, "depth %d\n", depth);
}

// A fatal error inside a locked section lets go of every level of the lock:
// the exit handlers wait for the audio or timer thread, which may be waiting
// for it.
TEST_P(LockTest, AnErrorInsideAPassLetsGoOfTheLockAtEveryDepth) {
    timer_init(&sound_guest.device);
    script.start_result = 5;
    EXPECT_EXIT(
        {
            atexit(report_depth);
            sound_lock(); // a service that runs guest code, around the pass
            sound_lock();
            timer_tick(10, nullptr);
        },
        ExitedWithCode(1), "^guest error 5\nmidas\ndepth 0\n$");
}

TEST_P(LockTest, UnlockAllLetsGoOnlyOfTheCallingThreadsLock) {
    sound_lock();
    sound_lock(); // recursive: the mutex is taken once
    std::thread([] { sound_unlock_all(); }).join();
    EXPECT_EQ(depth, 1);
    sound_unlock_all();
    EXPECT_EQ(depth, 0);
    sound_unlock_all();
    EXPECT_EQ(depth, 0);
}

INSTANTIATE_TEST_SUITE_P(SoundOnAndMuted, LockTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Muted" : "SoundOn";
                         });

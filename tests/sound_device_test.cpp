// The emulated sound device, the DMA services and the audio callback's
// bookkeeping, with stand-ins for the guest's sound system and a recording
// stand-in for SDL's audio open and pause and for the sound lock.
#include <SDL.h>
#include <cstdint>
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
#include "time/scheduler.h"

using ::testing::ExitedWithCode;

// SDL stand-ins, taking precedence over the library's.
static std::vector<SDL_AudioSpec> opened;
static int open_result = 0;
static Uint16 format_chosen_by_sdl = 0; // non-zero: SDL rewrites the format
static int audio_lock_depth = 0;

int SDL_OpenAudio(SDL_AudioSpec *desired, SDL_AudioSpec *obtained) {
    EXPECT_EQ(obtained, nullptr);
    opened.push_back(*desired);
    if (format_chosen_by_sdl) {
        desired->format = format_chosen_by_sdl;
    }
    if (open_result < 0) {
        SDL_SetError("no audio device");
    }
    return open_result;
}

void SDL_PauseAudio(int pause_on) {
    script.log += pause_on ? "pause1 " : "pause0 ";
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

constexpr uint32_t canary = 0xDEADBEEF;

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_sound_guest();
        mute = 0;
        opened.clear();
        open_result = 0;
        format_chosen_by_sdl = 0;
        audio_lock_depth = 0;
    }
};

TEST_F(DeviceTest, InstallWritesOnlyItsFieldsAndListEntries) {
    memset(&sound_guest.device, 0xEF, sizeof sound_guest.device);
    for (uint32_t &entry : sound_guest.device_list) {
        entry = canary;
    }
    install_sound_device();

    const uint32_t *list = sound_guest.device_list;
    EXPECT_EQ(list[0], canary);
    EXPECT_EQ(list[1], reinterpret_cast<uint32_t>(&sound_guest.device));
    EXPECT_EQ(list[2], reinterpret_cast<uint32_t>(sound_guest.device_extra));
    for (int i = 3; i < 8; i++) {
        EXPECT_EQ(list[i], canary) << "entry " << i;
    }

    const uint8_t *record = reinterpret_cast<const uint8_t *>(&sound_guest.device);
    const struct {
        int offset;
        uint32_t value;
    } written[] = {
        {0, 0},
        {4, 62},
        {20, 1},
        {24, 1},
        {28, 11},
        {48, reinterpret_cast<uint32_t>(&device_detect)},
        {52, reinterpret_cast<uint32_t>(&device_open)},
        {56, reinterpret_cast<uint32_t>(&device_close)},
    };
    for (int offset = 0; offset < static_cast<int>(sizeof(SoundDevice)); offset += 4) {
        uint32_t expected = 0xEFEFEFEF;
        for (const auto &w : written) {
            if (w.offset == offset) {
                expected = w.value;
            }
        }
        uint32_t actual;
        memcpy(&actual, record + offset, 4);
        EXPECT_EQ(actual, expected) << "offset " << offset;
    }
}

TEST_F(DeviceTest, DetectReportsPresenceUnlessMuted) {
    int present = -1;
    EXPECT_EQ(device_detect(&present), 0);
    EXPECT_EQ(present, 1);
    mute = 1;
    EXPECT_EQ(device_detect(&present), 0);
    EXPECT_EQ(present, 0);
}

struct ModeCase {
    int mode;
    Uint16 format;
    int channels;
    int mode_word;
};

TEST_F(DeviceTest, OpenChoosesFormatChannelsAndMixerModeFromTheRequestedMode) {
    const ModeCase cases[] = {
        {0, AUDIO_S16LSB, 2, 10}, {10, AUDIO_S16LSB, 2, 10}, {8, AUDIO_S16LSB, 1, 9},
        {2, AUDIO_U8, 2, 6},      {1, AUDIO_U8, 1, 5},       {4, AUDIO_U8, 1, 5},
    };
    for (const ModeCase &c : cases) {
        SetUp();
        script.mixer_open_result = 77;
        EXPECT_EQ(device_open(22050, c.mode), 77);
        ASSERT_EQ(opened.size(), 1u);
        const SDL_AudioSpec &spec = opened[0];
        EXPECT_EQ(spec.freq, 22050);
        EXPECT_EQ(spec.format, c.format) << "mode " << c.mode;
        EXPECT_EQ(spec.channels, c.channels) << "mode " << c.mode;
        EXPECT_EQ(spec.samples, 1024) << "46 ms at 22,050 Hz";
        EXPECT_EQ(spec.callback, &audio_callback);
        EXPECT_EQ(spec.userdata, nullptr);
        EXPECT_EQ(script.mixer_open_calls, 1);
        EXPECT_EQ(script.mixer_open_args[0], 22050);
        EXPECT_EQ(script.mixer_open_args[1], c.mode_word) << "mode " << c.mode;
        EXPECT_EQ(script.mixer_open_args[2], 1);
        // The format is kept under the lock; audio stays silent until the
        // guest plays a buffer; the mixer opens under the lock.
        EXPECT_EQ(script.log, "lock unlock pause1 lock unlock lock unlock ");
    }
}

// SDL's buffer lasts at most 50 ms: the spread between a frame and its sound.
TEST_F(DeviceTest, TheBufferLastsAtMostFiftyMilliseconds) {
    const std::pair<int, int> cases[] = {
        {44100, 2048}, {48000, 2048}, {22050, 1024}, {11025, 512}, {8000, 256}};
    for (const auto &[rate, samples] : cases) {
        SetUp();
        device_open(rate, 10);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].samples, samples) << rate << " Hz";
    }
}

TEST_F(DeviceTest, MixerModeFollowsTheFormatSdlLeavesInTheSpec) {
    format_chosen_by_sdl = AUDIO_U16LSB;
    device_open(44100, 10);
    EXPECT_EQ(script.mixer_open_args[1], 10);
    format_chosen_by_sdl = AUDIO_S8;
    device_open(44100, 10);
    EXPECT_EQ(script.mixer_open_args[1], 6);
    format_chosen_by_sdl = AUDIO_S16MSB;
    EXPECT_EXIT(device_open(44100, 10), ExitedWithCode(1), "^aud1\n$");
}

TEST_F(DeviceTest, FailedOpenIsFatal) {
    open_result = -1;
    EXPECT_EXIT(device_open(44100, 10), ExitedWithCode(1), "^aud0 no audio device\n$");
}

TEST_F(DeviceTest, MutedOpenOpensNothing) {
    mute = 1;
    EXPECT_EQ(device_open(44100, 10), 1);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(script.mixer_open_calls, 0);
    EXPECT_EQ(script.log, "");
}

TEST_F(DeviceTest, ClosePausesThenReturnsTheGuestHooksResult) {
    script.close_hook_result = 42;
    EXPECT_EQ(device_close(), 42);
    EXPECT_EQ(script.log, "pause1 lock unlock lock close unlock ");
}

struct GuardedBuffer {
    uint32_t before;
    DmaBuffer buffer;
    uint32_t after;
};

TEST_F(DeviceTest, AllocatedBufferIsZeroFilledAndPositionIsItsSize) {
    GuardedBuffer g;
    memset(&g, 0xEF, sizeof g);
    g.before = g.after = canary;
    EXPECT_EQ(dma_alloc_buffer(4096, &g.buffer), 0);
    EXPECT_EQ(g.buffer.size, 4096);
    EXPECT_EQ(g.buffer.allocated, -1);
    ASSERT_NE(g.buffer.data, nullptr);
    for (int i = 0; i < 4096; i++) {
        ASSERT_EQ(g.buffer.data[i], 0) << "byte " << i;
    }
    EXPECT_EQ(g.before, canary);
    EXPECT_EQ(g.after, canary);
    for (uint8_t b : g.buffer.unused0) {
        EXPECT_EQ(b, 0xEF);
    }
    for (uint8_t b : g.buffer.unused16) {
        EXPECT_EQ(b, 0xEF);
    }

    int position = -1;
    EXPECT_EQ(dma_buffer_position(&g.buffer, &position), 0);
    EXPECT_EQ(position, 4096);
    EXPECT_EQ(dma_play_buffer(&g.buffer), 0);
    EXPECT_EQ(dma_buffer_position(&g.buffer, &position), 0);
    EXPECT_EQ(position, 4096);
    EXPECT_EQ(dma_free_buffer(&g.buffer), 0);
}

TEST_F(DeviceTest, AllocationThatCannotBeMadeReturnsOne) {
    DmaBuffer buffer = {};
    EXPECT_EQ(dma_alloc_buffer(-1, &buffer), 1);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(dma_free_buffer(&buffer), 0);
}

TEST_F(DeviceTest, AtMostEightBuffersLiveAtOnce) {
    DmaBuffer buffers[9] = {};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(dma_alloc_buffer(16, &buffers[i]), 0) << i;
    }
    EXPECT_EQ(dma_alloc_buffer(16, &buffers[8]), 1);
    EXPECT_EQ(buffers[8].data, nullptr);
    dma_free_buffer(&buffers[3]);
    EXPECT_EQ(dma_alloc_buffer(16, &buffers[8]), 0);
    for (int i = 0; i < 9; i++) {
        if (i != 3) {
            dma_free_buffer(&buffers[i]);
        }
    }
}

// The table entry of a live data area, or null.
static const LiveArea *listed(const uint8_t *data) {
    for (const LiveArea &area : live_areas) {
        if (area.data && area.data == data) {
            return &area;
        }
    }
    return nullptr;
}

// The record keeps its pointer after a free; freeing it again frees nothing
// (glibc would abort on it) and leaves the live buffers listed.
TEST_F(DeviceTest, ABufferThatIsNotLiveIsNotFreedAgain) {
    DmaBuffer first = {};
    DmaBuffer other = {};
    ASSERT_EQ(dma_alloc_buffer(64, &first), 0);
    ASSERT_EQ(dma_alloc_buffer(32, &other), 0);
    uint8_t *const freed = first.data;
    EXPECT_EQ(dma_free_buffer(&first), 0);
    EXPECT_EQ(first.data, freed);
    EXPECT_EQ(listed(freed), nullptr);
    EXPECT_EQ(dma_free_buffer(&first), 0);
    EXPECT_EQ(listed(freed), nullptr);
    EXPECT_NE(listed(other.data), nullptr);
    EXPECT_EQ(dma_free_buffer(&other), 0);
}

// A stale record whose address the allocator has handed to another buffer
// (set here by hand, as reuse is the allocator's choice): its release leaves
// that buffer's area as it was, and listed as that buffer's.
TEST_F(DeviceTest, AStaleRecordDoesNotFreeTheAreaItsAddressWentTo) {
    DmaBuffer stale = {};
    DmaBuffer second = {};
    ASSERT_EQ(dma_alloc_buffer(64, &stale), 0);
    dma_free_buffer(&stale);
    ASSERT_EQ(dma_alloc_buffer(64, &second), 0);
    stale.data = second.data;
    memset(second.data, 0x5A, 64);
    EXPECT_EQ(dma_free_buffer(&stale), 0);
    // A freed area would hold the allocator's own words.
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(second.data[i], 0x5A) << "byte " << i;
    }
    const LiveArea *area = listed(second.data);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->owner, &second);
    EXPECT_EQ(area->size, 64);
    EXPECT_EQ(dma_free_buffer(&second), 0);
    EXPECT_EQ(listed(stale.data), nullptr);
}

TEST_F(DeviceTest, PlayAndStopPauseAudioEvenWhenMuted) {
    mute = 1;
    DmaBuffer buffer = {};
    EXPECT_EQ(dma_play_buffer(&buffer), 0);
    EXPECT_EQ(dma_stop(), 0);
    EXPECT_EQ(script.log, "lock unlock lock unlock pause0 pause1 lock unlock ");
    // The playing buffer survives stop and free.
    EXPECT_EQ(playing_buffer, &buffer);
    dma_free_buffer(&buffer);
    EXPECT_EQ(playing_buffer, &buffer);
}

TEST_F(DeviceTest, ConstantAnswers) {
    uint32_t words[3] = {canary, canary, canary};
    int *out = reinterpret_cast<int *>(&words[1]);
    EXPECT_EQ(report_zero(out), 0);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(report_fourteen(out), 0);
    EXPECT_EQ(words[1], 14u);
    EXPECT_EQ(words[0], canary);
    EXPECT_EQ(words[2], canary);
}

// The audio callback with a playing buffer and passes whose byte counts the
// script gives. The stream starts zeroed, and mixing S16 bytes onto zeros
// copies them, so the stream shows exactly the bytes taken.
class CallbackTest : public DeviceTest {
  protected:
    DmaBuffer buffer = {};
    void SetUp() override {
        DeviceTest::SetUp();
        timer_init(&sound_guest.device);
    }
    void TearDown() override {
        if (buffer.data) {
            dma_free_buffer(&buffer);
        }
    }
    void play(int size) {
        ASSERT_EQ(dma_alloc_buffer(size, &buffer), 0);
        dma_play_buffer(&buffer);
    }
    void passes(std::initializer_list<int> counts) {
        for (int n : counts) {
            script.pass_bytes[script.pass_bytes_count++] = n;
        }
    }
    // Runs one callback and returns what it wrote.
    std::vector<uint8_t> request(int len) {
        std::vector<uint8_t> stream(len, 0);
        audio_callback(nullptr, stream.data(), len);
        return stream;
    }
    static std::vector<uint8_t> pattern(uint32_t from, uint32_t to) {
        std::vector<uint8_t> bytes;
        for (uint32_t i = from; i < to; i++) {
            bytes.push_back(mixed_pattern(i));
        }
        return bytes;
    }
    static std::vector<uint8_t> zeros(int n) { return std::vector<uint8_t>(n, 0); }
    static std::vector<uint8_t> join(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_F(CallbackTest, NothingPlayedMeansNoPassAndNoWrite) {
    passes({100});
    script.log.clear();
    std::vector<uint8_t> stream(512, 0x55);
    audio_callback(nullptr, stream.data(), 512);
    EXPECT_EQ(stream, std::vector<uint8_t>(512, 0x55));
    EXPECT_EQ(script.passes_mixed, 0);
    EXPECT_EQ(script.log, "lock unlock ") << "looked under the lock, ran no pass";
}

TEST_F(CallbackTest, BytesNotTakenAreDeliveredFirstByTheNextCallback) {
    play(16384);
    passes({6000, 6000, 6000});
    EXPECT_EQ(request(8192), pattern(0, 8192));
    EXPECT_EQ(script.passes_mixed, 2);
    EXPECT_EQ(leftover_bytes, 3808);
    EXPECT_EQ(leftover_offset, 2192);

    EXPECT_EQ(request(4096), pattern(8192, 12288));
    EXPECT_EQ(script.passes_mixed, 3);
    EXPECT_EQ(leftover_bytes, 6000 - 288);
    EXPECT_EQ(leftover_offset, 288);
}

TEST_F(CallbackTest, ALeftoverLargerThanTheRequestIsUsedWithoutAPass) {
    play(16384);
    passes({6000});
    EXPECT_EQ(request(1000), pattern(0, 1000));
    EXPECT_EQ(request(1500), pattern(1000, 2500));
    EXPECT_EQ(request(3500), pattern(2500, 6000));
    EXPECT_EQ(script.passes_mixed, 1);
    EXPECT_EQ(leftover_bytes, 0);
    EXPECT_EQ(leftover_offset, 6000);
}

TEST_F(CallbackTest, PassesYieldingNothingAreFollowedByAnotherPass) {
    play(16384);
    passes({0, 0, 500, 0, 8000});
    EXPECT_EQ(request(4096), pattern(0, 4096));
    EXPECT_EQ(script.passes_mixed, 5);
    EXPECT_EQ(leftover_bytes, 8000 - 3596);
}

static int count_passes(const std::string &log) {
    int n = 0;
    for (size_t at = log.find("start"); at != std::string::npos; at = log.find("start", at + 1)) {
        n++;
    }
    return n;
}

TEST_F(CallbackTest, EmptyPassesAreRetriedABoundedNumberOfTimes) {
    play(16384);
    passes({300});
    EXPECT_EQ(request(4096), join(pattern(0, 300), zeros(3796)));
    EXPECT_EQ(count_passes(script.log), 1 + 32);
    EXPECT_EQ(leftover_bytes, 0);

    // Not ready: every pass yields nothing, and the callback still returns.
    sound_guest.sound_ready = 0;
    script.log.clear();
    EXPECT_EQ(request(4096), zeros(4096));
    EXPECT_EQ(leftover_bytes, 0);
}

static int negative_mixer() {
    sound_guest.mix_length = -20;
    return 0;
}

TEST_F(CallbackTest, ByteCountsOutsideTheAreaAreCutToIt) {
    play(1000);
    passes({5000});
    EXPECT_EQ(request(4096), join(pattern(0, 1000), zeros(3096)));
    EXPECT_EQ(leftover_bytes, 0);
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&negative_mixer);
    EXPECT_EQ(request(256), zeros(256));
    EXPECT_EQ(leftover_bytes, 0);
}

TEST_F(CallbackTest, AFreedPlayingBufferIsNotRead) {
    play(8192);
    passes({6000});
    request(4096);
    ASSERT_EQ(leftover_bytes, 1904);
    script.log.clear();
    dma_free_buffer(&buffer);
    // The free waits for a callback in progress.
    EXPECT_EQ(script.log, "lock unlock ");
    EXPECT_EQ(audio_lock_depth, 0);
    EXPECT_EQ(playing_buffer, &buffer);

    std::vector<uint8_t> stream(4096, 0x55);
    audio_callback(nullptr, stream.data(), 4096);
    EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0x55));
    buffer.data = nullptr;

    // A new area in the same record plays again.
    play(8192);
    leftover_bytes = 0;
    passes({4096});
    EXPECT_EQ(request(4096), pattern(6000, 6000 + 4096));
}

static DmaBuffer *buffer_to_free;
static int freeing_mixer() {
    dma_free_buffer(buffer_to_free);
    sound_guest.mix_length = 100;
    return 0;
}

// A player's step runs the music of its time; steps taken before the device
// opened owe nothing: the first step after the open runs only its own 5 ms
// (441 bytes of 16-bit stereo at 22,050 Hz: five passes of 100), not the
// half second stepped before.
TEST_F(CallbackTest, StepsBeforeTheDeviceOpensOweNothing) {
    install_sound_output();
    sched_hold();
    sched_step();
    for (int i = 0; i < 100; i++) {
        sched_poll(nullptr);
    }
    ASSERT_EQ(sched_live_state(), LiveClock::stepping);
    device_open(22050, 10);
    play(16384);
    passes({100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100});
    script.passes_mixed = 0;
    sched_poll(nullptr);
    EXPECT_EQ(script.passes_mixed, 5);
    sched_resume();
}

TEST_F(CallbackTest, ABufferFreedDuringAPassIsNotRead) {
    play(8192);
    buffer_to_free = &buffer;
    sound_guest.device.pass_start = reinterpret_cast<uint32_t>(&freeing_mixer);
    EXPECT_EQ(request(1024), zeros(1024));
    EXPECT_EQ(leftover_bytes, 0);
    buffer.data = nullptr;
}

// Through the guest's own routes, on a stack aligned to 4 bytes only: a plain
// jump for the DMA services, the device record for the device's entry points.
class DeviceRedirectTest : public DeviceTest {
  protected:
    uint8_t *site = nullptr;
    void SetUp() override {
        DeviceTest::SetUp();
        site = exec_memory(4096);
    }
    uint32_t call_at(uint32_t target, std::vector<uint32_t> args, int esp_mod) {
        GuestCallRegs regs = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666, 0x7777};
        const GuestCallRegs before = regs;
        EXPECT_EQ(guest_call(target, &regs, args.data(), static_cast<int>(args.size()), esp_mod),
                  0);
        EXPECT_EQ(regs.ebx, before.ebx);
        EXPECT_EQ(regs.esi, before.esi);
        EXPECT_EQ(regs.edi, before.edi);
        EXPECT_EQ(regs.ebp, before.ebp);
        return regs.eax;
    }
    uint32_t call_redirected(void *routine, std::vector<uint32_t> args, int esp_mod) {
        EXPECT_EQ(write_redirect(site, routine, -2), nullptr);
        return call_at(reinterpret_cast<uint32_t>(site), args, esp_mod);
    }
};

TEST_F(DeviceRedirectTest, DmaServicesThroughAPlainJump) {
    for (int esp_mod : {0, 4, 8, 12}) {
        DmaBuffer buffer = {};
        const uint32_t b = reinterpret_cast<uint32_t>(&buffer);
        EXPECT_EQ(call_redirected(reinterpret_cast<void *>(&dma_alloc_buffer), {512, b}, esp_mod),
                  0u);
        EXPECT_EQ(buffer.size, 512);
        EXPECT_EQ(buffer.allocated, -1);
        int position = 0;
        EXPECT_EQ(call_redirected(reinterpret_cast<void *>(&dma_buffer_position),
                                  {b, reinterpret_cast<uint32_t>(&position)}, esp_mod),
                  0u);
        EXPECT_EQ(position, 512) << "esp mod " << esp_mod;
        EXPECT_EQ(call_redirected(reinterpret_cast<void *>(&dma_free_buffer), {b}, esp_mod), 0u);
    }
}

TEST_F(DeviceRedirectTest, DeviceEntryPointsThroughTheDeviceRecord) {
    for (int esp_mod : {0, 4, 8, 12}) {
        DeviceTest::SetUp();
        install_sound_device();
        int present = -1;
        EXPECT_EQ(
            call_at(sound_guest.device.detect, {reinterpret_cast<uint32_t>(&present)}, esp_mod),
            0u);
        EXPECT_EQ(present, 1);
        script.mixer_open_result = 0;
        EXPECT_EQ(call_at(sound_guest.device.open, {11025, 2}, esp_mod), 0u);
        EXPECT_EQ(script.mixer_open_args[0], 11025);
        EXPECT_EQ(script.mixer_open_args[1], 6) << "esp mod " << esp_mod;
        script.close_hook_result = 3;
        EXPECT_EQ(call_at(sound_guest.device.close, {}, esp_mod), 3u);
    }
}

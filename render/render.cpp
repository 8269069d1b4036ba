// Render mode: the guest on demo time, its frames and sound into a file.
//
// Demo time moves only by what the guest does (machine/clock.cpp). As it
// passes, the sound produces exactly the samples it covers, and this file
// turns presented frames into a constant-rate video stream: output slot k
// (at k x rate_den / rate_num s) shows the latest frame presented at or
// before its time, black before the first. Both go to the encoder.
#include "render/render.h"

#include <SDL.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "binding/run_state.h"
#include "machine/capture.h"
#include "machine/display.h"
#include "machine/events.h"
#include "render/encoder.h"
#include "shell/fatal.h"
#include "sound/sound.h"

const char *render_path = nullptr;
int64_t render_rate_num = vga_rate_num;
int64_t render_rate_den = vga_rate_den;
DemoTime render_escape_at = -1;

namespace {

constexpr size_t frame_bytes = 64000;
// Rates are fractions of terms up to a million, between 1 and 1000 frames
// a second: slot arithmetic then stays far inside 64 bits for any length.
constexpr int64_t rate_term_limit = 1000000;
constexpr int64_t max_frames_a_second = 1000;
// -seconds up to a day.
constexpr int64_t max_escape_ms = 86400000;
// A guest given its Escape that has not exited this long after is stopped.
constexpr DemoTime escape_grace = 30 * demo_units_per_second;

// The stall watch. A guest that neither polls nor presents for this long
// (wall time) is taken to be waiting for something only time would change,
// as a busy wait on the music's position: demo time then moves on by itself,
// a frame slot at a time, so that the music goes on. Any honest stretch of
// guest work between two host calls (a frame's drawing, a file read) takes
// milliseconds, so half a second is a stall; yet short enough that a render
// never seems hung. Time moved this way depends on the machine's speed, so
// the summary says when it happened.
constexpr int stall_limit_ms = 500;
constexpr int watch_period_ms = 5;
// Before the guest opens its sound device the audio format is unknown and
// the file cannot begin: video slots wait in memory, at most this many
// seconds of them, then the file begins without sound.
constexpr int audio_wait_seconds = 5;

const RenderContainer *container = nullptr;
bool has_video = false;
bool wants_audio = false;
bool started = false;
bool has_audio = false;
RenderAudioFormat audio_format = {};

// The video stream: slot k's time is q_k + r_k / rate_num units; kept as
// that whole part and remainder, stepped exactly from slot to slot.
int64_t next_slot = 0;
DemoTime slot_whole = 0;
int64_t slot_rest = 0;
DemoTime step_whole = 0;
int64_t step_rest = 0;
// What the display shows now: black until the first frame.
uint8_t shown_pixels[frame_bytes];
uint8_t shown_palette[1024];
// Slots emitted before the file could begin.
std::vector<std::vector<uint8_t>> waiting_slots;
size_t waiting_limit = 0;

int64_t audio_samples = 0;
uint64_t stall_advances = 0;
bool escape_given = false;
std::atomic<int> interrupt_signal{0};
std::atomic<bool> ending{false};
std::atomic<bool> active{false};
std::chrono::steady_clock::time_point wall_start;
std::chrono::steady_clock::time_point last_progress;
bool progress_on_terminal = false;
const char *end_note = "";

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
}

// Slot k lies before t, or at or before t.
bool slot_before(DemoTime t) {
    return slot_whole < t;
}
bool slot_at_or_before(DemoTime t) {
    return slot_whole < t || (slot_whole == t && slot_rest == 0);
}

void step_slot() {
    next_slot++;
    slot_whole += step_whole;
    slot_rest += step_rest;
    if (slot_rest >= render_rate_num) {
        slot_rest -= render_rate_num;
        slot_whole++;
    }
}

// Threads made from here on (the encoder's, its codecs') leave SIGINT and
// SIGTERM to the main thread, which ends the render at its next poll.
struct QuietSignals {
    sigset_t before;
    QuietSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, &before);
    }
    ~QuietSignals() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
};

void start_file(const RenderAudioFormat *audio) {
    started = true;
    has_audio = audio != nullptr;
    const QuietSignals quiet;
    encoder_start(audio);
    for (const std::vector<uint8_t> &slot : waiting_slots) {
        encoder_video_frame(slot.data(), slot.data() + frame_bytes);
    }
    waiting_slots.clear();
    waiting_slots.shrink_to_fit();
}

void emit_slot() {
    if (!started) {
        if (waiting_slots.size() >= waiting_limit) {
            fprintf(stderr,
                    "render: the demo had not opened its sound device after %d s of demo "
                    "time; the file has no sound\n",
                    audio_wait_seconds);
            start_file(nullptr);
        } else {
            std::vector<uint8_t> slot(frame_bytes + sizeof shown_palette);
            memcpy(slot.data(), shown_pixels, frame_bytes);
            memcpy(slot.data() + frame_bytes, shown_palette, sizeof shown_palette);
            waiting_slots.push_back(std::move(slot));
            step_slot();
            return;
        }
    }
    encoder_video_frame(shown_pixels, shown_palette);
    step_slot();
}

void show_progress(bool force) {
    if (!progress_on_terminal) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_progress < std::chrono::milliseconds(250)) {
        return;
    }
    last_progress = now;
    const double demo_s = static_cast<double>(demo_now()) / demo_units_per_second;
    const double wall_s = wall_seconds();
    fprintf(stderr, "\rrendering: %.2f s of demo time, %lld frames, %.1fx real time, %.1f MB\033[K",
            demo_s, static_cast<long long>(next_slot), wall_s > 0 ? demo_s / wall_s : 0.0,
            static_cast<double>(encoder_bytes_written()) / 1e6);
}

// The capture sink.
void capture_frame(const uint8_t *pixels, const SDL_Color *palette, DemoTime) {
    // The advance that reached this frame's time has emitted every slot
    // before it; slots from its time on show it.
    memcpy(shown_pixels, pixels, frame_bytes);
    static_assert(sizeof(SDL_Color) == 4);
    memcpy(shown_palette, palette, sizeof shown_palette);
}

void capture_audio_format(int rate, int channels, int bytes_per_sample) {
    audio_format = {rate, channels, bytes_per_sample};
    if (wants_audio && !started) {
        start_file(&audio_format);
    }
}

void capture_audio(const uint8_t *bytes, size_t count) {
    if (!has_audio) {
        return; // the file began without sound
    }
    encoder_audio(bytes, count);
    audio_samples +=
        static_cast<int64_t>(count) / (audio_format.channels * audio_format.bytes_per_sample);
}

const CaptureSink render_sink = {capture_frame, capture_audio_format, capture_audio};

// Demo time passed from `from` to `to` (the sound's share ran first).
void render_advance(DemoTime, DemoTime to) {
    if (has_video) {
        while (slot_before(to)) {
            emit_slot();
        }
    }
    if (render_escape_at >= 0 && !escape_given && to >= render_escape_at) {
        escape_given = true;
        escape_pending = 1; // as if the user had released the key
    }
    show_progress(false);
}

// The roads out of a render other than the guest's own exit.
int end_status() {
    if (const int sig = interrupt_signal.load()) {
        end_note = " (interrupted)";
        return 128 + sig;
    }
    if (escape_given && demo_now() >= render_escape_at + escape_grace) {
        end_note = " (the demo had not ended 30 s after its Escape)";
        return 0;
    }
    return -1;
}

void checkpoint() {
    if (ending.load()) {
        return;
    }
    const int status = end_status();
    if (status >= 0) {
        exit(status);
    }
}

void on_signal(int sig) {
    interrupt_signal.store(sig);
    // A second one ends the process at once.
    signal(sig, SIG_DFL);
}

void watch_stalls() {
    demo_mark_watch_thread();
    uint64_t seen = demo_advances();
    while (!ending.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(watch_period_ms));
        // The guest's own progress, or the host busy on its behalf (a lock
        // held or let go lately): no stall.
        if (demo_advances() != seen || demo_ms_since_release() < stall_limit_ms ||
            !demo_try_lock_for_ms(0)) {
            seen = demo_advances();
            continue;
        }
        if (!ending.load() && demo_advances() == seen) {
            stall_advances++;
            demo_advance_to((demo_now() / frame_slot_units + 1) * frame_slot_units);
        }
        seen = demo_advances();
        demo_unlock();
        // The main thread does not come by to end the render itself.
        const int status = ending.load() ? -1 : end_status();
        if (status >= 0) {
            exit_from_any_thread(status);
        }
    }
}

bool parse_whole(const char *text, const char **end, int64_t limit, int64_t &value) {
    value = 0;
    const char *p = text;
    if (*p < '0' || *p > '9') {
        return false;
    }
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > limit) {
            return false;
        }
    }
    *end = p;
    return true;
}

} // namespace

void parse_render_rate(const char *text) {
    const char *end = nullptr;
    int64_t num = 0, den = 1;
    bool ok = text && parse_whole(text, &end, rate_term_limit, num);
    if (ok && *end == '/') {
        ok = parse_whole(end + 1, &end, rate_term_limit, den);
    }
    // Between one and a thousand frames a second.
    ok = ok && *end == '\0' && num > 0 && den > 0 && num >= den && num <= max_frames_a_second * den;
    if (!ok) {
        fatal("fps %s: not a frame rate (an integer or a fraction such as 60000/1001, "
              "from 1 to 1000)",
              text ? text : "");
    }
    render_rate_num = num;
    render_rate_den = den;
}

void parse_render_seconds(const char *text) {
    const char *end = nullptr;
    int64_t whole = 0;
    bool ok = text && parse_whole(text, &end, max_escape_ms / 1000, whole);
    int64_t ms = whole * 1000;
    if (ok && *end == '.') {
        int digits = 0;
        int64_t scale = 100;
        for (end++; *end >= '0' && *end <= '9' && digits < 3; end++, digits++, scale /= 10) {
            ms += (*end - '0') * scale;
        }
        ok = digits > 0;
    }
    ok = ok && *end == '\0' && ms <= max_escape_ms;
    if (!ok) {
        fatal("seconds %s: not a length in seconds (such as 90 or 12.5, up to a day)",
              text ? text : "");
    }
    render_escape_at = ms * demo_units_per_ms;
}

void check_render_options() {
    container = render_container_for(render_path);
    if (!container) {
        fatal("render %s: unknown file type (.mkv, .mp4, .wav or .flac)", render_path);
    }
    has_video = container->video_codec != nullptr;
    wants_audio = !mute;
    if (!has_video && !wants_audio) {
        fatal("render %s: -mute leaves no sound to write", render_path);
    }
}

void begin_render() {
    RenderVideoFormat video = {};
    if (has_video) {
        video.square_pixels = square_pixels != 0;
        video.rate_num = render_rate_num;
        video.rate_den = render_rate_den;
        const int lines = square_pixels ? 200 : 240;
        if (container->native_picture) {
            video.width = 320;
            video.height = 200;
        } else if (scale_factor > 0) {
            video.width = 320 * scale_factor;
            video.height = lines * scale_factor;
        } else {
            // A 1080-line picture, as a video site shows it best.
            video.width = 1080 * 320 / lines;
            video.height = 1080;
        }
    }
    encoder_prepare(render_path, container, has_video ? &video : nullptr);

    step_whole = render_rate_den * demo_units_per_second / render_rate_num;
    step_rest = render_rate_den * demo_units_per_second % render_rate_num;
    waiting_limit = static_cast<size_t>(audio_wait_seconds * render_rate_num / render_rate_den + 1);
    demo_clock = true;
    capture_sink = &render_sink;
    set_demo_listeners(sound_demo_advance, render_advance);
    demo_checkpoint = checkpoint;
    active.store(true);
    if (!wants_audio) {
        start_file(nullptr);
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // A SIGINT ignored already (a background job of a script) stays so.
    struct sigaction before = {};
    sigaction(SIGINT, nullptr, &before);
    if (before.sa_handler != SIG_IGN) {
        sigaction(SIGINT, &action, nullptr);
    }
    sigaction(SIGTERM, &action, nullptr);

    progress_on_terminal = isatty(2) != 0;
    wall_start = std::chrono::steady_clock::now();
    last_progress = wall_start;
    // Detached: it stops at the next look once the render ends, and an exit
    // must never wait for a thread that waits for a lock.
    const QuietSignals quiet;
    std::thread(watch_stalls).detach();
}

void end_render() {
    if (!active.load() || ending.exchange(true)) {
        return;
    }
    if (fatal_reported()) {
        encoder_abort();
        return;
    }
    // A holder of the lock that was stopped mid-advance (the main thread,
    // parked for an exit on another thread) is given up on after a while:
    // the file still ends with what was complete.
    const bool locked = demo_try_lock_for_ms(2000);
    const DemoTime end = demo_now();
    if (has_video) {
        while (slot_at_or_before(end)) {
            emit_slot();
        }
    }
    if (!started) {
        if (!has_video) {
            encoder_abort();
            fatal("render %s: the demo played no sound", render_path);
        }
        if (wants_audio) {
            fprintf(stderr, "render: the demo never opened its sound device; the file has no "
                            "sound\n");
        }
        start_file(nullptr);
    }
    // The sound lasts as long as the picture: what the demo did not play
    // after its last sample is silence.
    if (has_audio) {
        const int64_t total =
            has_video ? next_slot * render_rate_den * audio_format.rate / render_rate_num
                      : samples_before(end, audio_format.rate);
        const int frame = audio_format.channels * audio_format.bytes_per_sample;
        static uint8_t silence[16384];
        memset(silence, audio_format.bytes_per_sample == 1 ? 0x80 : 0, sizeof silence);
        const int64_t chunk = static_cast<int64_t>(sizeof silence) / frame;
        while (audio_samples < total) {
            const int64_t n = total - audio_samples < chunk ? total - audio_samples : chunk;
            encoder_audio(silence, static_cast<size_t>(n * frame));
            audio_samples += n;
        }
    }
    encoder_finish();
    const double wall_s = wall_seconds();
    const double length_s = has_video
                                ? static_cast<double>(next_slot) * render_rate_den / render_rate_num
                                : static_cast<double>(audio_samples) / audio_format.rate;
    if (progress_on_terminal) {
        fprintf(stderr, "\r\033[K");
    }
    char what[64];
    if (has_video) {
        snprintf(what, sizeof what, "%lld frames", static_cast<long long>(next_slot));
    } else {
        snprintf(what, sizeof what, "%lld samples", static_cast<long long>(audio_samples));
    }
    char stalls[160] = "";
    if (stall_advances > 0) {
        snprintf(stalls, sizeof stalls,
                 "; demo time moved on by itself %llu times while the demo waited without "
                 "calling the host, so the file may differ between runs",
                 static_cast<unsigned long long>(stall_advances));
    }
    fprintf(stderr, "rendered %s: %s, %.3f s, %.1fx real time%s%s\n", render_path, what, length_s,
            wall_s > 0 ? length_s / wall_s : 0.0, end_note, stalls);
    if (locked) {
        demo_unlock();
    }
}

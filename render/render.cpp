// Render mode: the guest on demo time, its frames and sound into a file.
//
// The scheduler's demo driver moves time only by what the guest does
// (time/scheduler.cpp). This file is the output sink of a render: as time
// passes, the sound's samples come here, and presented frames become a
// constant-rate video stream: output slot k (at k x rate_den / rate_num s)
// shows the latest frame presented at or before its time, black before the
// first. Both go to the encoder.
#include "render/render.h"

#include <SDL.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "binding/run_state.h"
#include "lumox_version.h"
#include "machine/display.h"
#include "machine/events.h"
#include "machine/sink.h"
#include "render/encoder.h"
#include "shell/fatal.h"
#include "time/scheduler.h"

const char *render_path = nullptr;
int64_t render_rate_num = vga_rate_num;
int64_t render_rate_den = vga_rate_den;
DemoTime render_escape_at = -1;

namespace {

constexpr size_t frame_bytes = 64000;
constexpr size_t picture_bytes = frame_bytes + 1024; // the pixels, then the palette
// Rates are fractions of terms up to a million, between 1 and 1000 frames
// a second: slot arithmetic then stays far inside 64 bits for any length.
constexpr int64_t rate_term_limit = 1000000;
constexpr int64_t max_frames_a_second = 1000;
// -seconds up to a day.
constexpr int64_t max_escape_ms = 86400000;
// A guest given its Escape that has not exited this long after is stopped.
constexpr DemoTime escape_grace = 30 * demo_units_per_second;
// Before the guest opens its sound device the audio format is unknown and
// the file cannot begin: video slots wait, at most this many seconds of
// them, then the file begins without sound.
constexpr int audio_wait_seconds = 5;
// An interrupt that the main thread does not honour this long (the guest
// inside a long host routine, say) is honoured by the stall watch.
constexpr int64_t interrupt_grace_ms = 500;

const RenderContainer *container = nullptr;
bool has_video = false;
bool wants_audio = false;
bool started = false;
bool has_audio = false;
AudioFormat audio_format = {};

// The video stream: slot k's time is q_k + r_k / rate_num units; kept as
// that whole part and remainder, stepped exactly from slot to slot.
int64_t next_slot = 0;
DemoTime slot_whole = 0;
int64_t slot_rest = 0;
DemoTime step_whole = 0;
int64_t step_rest = 0;
// What the display shows now, pixels then palette: black until the first
// frame.
uint8_t shown[picture_bytes];

// Slots emitted before the file could begin: runs of one picture each, the
// pictures kept in an unlinked temporary file (at most one a refresh, so a
// few tens of megabytes of disk at most, and a few kilobytes of memory
// whatever the frame rate).
struct WaitingRun {
    int64_t slots;
    int64_t picture; // its place in the spill file, in pictures
};
std::vector<WaitingRun> waiting_runs;
int64_t waiting_slots = 0;
int64_t waiting_limit = 0;
FILE *spill = nullptr;
int64_t spilled_pictures = 0;
uint8_t last_spilled[picture_bytes];

int64_t audio_samples = 0;
std::atomic<bool> escape_given{false};
std::atomic<int> interrupt_signal{0};
std::atomic<int64_t> interrupt_ms{0};
std::atomic<bool> ending{false};
std::atomic<bool> active{false};
std::chrono::steady_clock::time_point wall_start;
std::chrono::steady_clock::time_point last_progress;
bool progress_on_terminal = false;
const char *end_note = "";

int64_t monotonic_ms() {
    // clock_gettime, unlike the C++ clocks, may be called in a signal handler.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
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

// The signals that end a render early (finishing the file) or end the
// process (removing the temporary first). Threads made while they are
// blocked (the encoder's, its codecs', the stall watch) leave them to the
// main thread.
const int interrupting_signals[] = {SIGINT, SIGTERM};
const int ending_signals[] = {SIGHUP,  SIGQUIT, SIGPIPE, SIGUSR1, SIGXCPU, SIGVTALRM,
                              SIGPROF, SIGABRT, SIGSEGV, SIGBUS,  SIGILL,  SIGFPE};

struct QuietSignals {
    sigset_t before;
    QuietSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : interrupting_signals) {
            sigaddset(&set, sig);
        }
        for (int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGXCPU, SIGVTALRM, SIGPROF}) {
            sigaddset(&set, sig);
        }
        pthread_sigmask(SIG_BLOCK, &set, &before);
    }
    ~QuietSignals() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    QuietSignals(const QuietSignals &) = delete;
    QuietSignals &operator=(const QuietSignals &) = delete;
};

// Async-signal-safe: the temporary goes, then the signal's own action.
void end_by_signal(int sig) {
    encoder_abort();
    signal(sig, SIG_DFL);
    raise(sig);
}

void on_interrupt(int sig) {
    // A second one ends the process at once.
    if (interrupt_signal.load() != 0) {
        end_by_signal(sig);
        return;
    }
    interrupt_ms.store(monotonic_ms());
    interrupt_signal.store(sig);
}

// Takes sig over only where it would have its default action: a SIGINT that
// a shell left ignored (a script's background job) stays ignored, and a
// sanitizer's own handlers stay in place.
void take_over(int sig, void (*handler)(int)) {
    struct sigaction before = {};
    sigaction(sig, nullptr, &before);
    if (before.sa_handler != SIG_DFL || (before.sa_flags & SA_SIGINFO)) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void spill_failed() {
    encoder_abort();
    fatal_errno("render %s", render_path);
}

// Slots that wait for the file hold runs of one picture.
void wait_slot() {
    if (spilled_pictures == 0 || memcmp(shown, last_spilled, picture_bytes) != 0) {
        if (!spill && !(spill = tmpfile())) {
            spill_failed();
        }
        if (fwrite(shown, picture_bytes, 1, spill) != 1) {
            spill_failed();
        }
        memcpy(last_spilled, shown, picture_bytes);
        waiting_runs.push_back({0, spilled_pictures++});
    }
    waiting_runs.back().slots++;
    waiting_slots++;
}

// Silence until the file's sound holds `total` samples.
void pad_silence_to(int64_t total) {
    static uint8_t silence[16384];
    const int frame = audio_format.channels * audio_format.bytes_per_sample;
    memset(silence, audio_format.bytes_per_sample == 1 ? 0x80 : 0, sizeof silence);
    const int64_t chunk = static_cast<int64_t>(sizeof silence) / frame;
    while (audio_samples < total) {
        const int64_t n = total - audio_samples < chunk ? total - audio_samples : chunk;
        encoder_audio(silence, static_cast<size_t>(n * frame));
        audio_samples += n;
    }
}

// Where the sound of slot k begins, in samples.
int64_t slot_samples(int64_t k) {
    return k * render_rate_den * audio_format.rate / render_rate_num;
}

// The file begins; with sound, `silent` samples of it (up to the device's
// open) go beside the slots that waited, so that the muxer interleaves them
// and holds no long run of one stream in memory.
void start_file(const AudioFormat *audio, int64_t silent = 0) {
    started = true;
    has_audio = audio != nullptr;
    {
        const QuietSignals quiet;
        RenderAudioFormat format = {};
        if (audio) {
            format = {audio->rate, audio->channels, audio->bytes_per_sample};
        }
        encoder_start(audio ? &format : nullptr);
    }
    if (spill) {
        static uint8_t picture[picture_bytes];
        if (fflush(spill) != 0) {
            spill_failed();
        }
        int64_t k = 0;
        for (const WaitingRun &run : waiting_runs) {
            if (fseeko(spill, static_cast<off_t>(run.picture) * static_cast<off_t>(picture_bytes),
                       SEEK_SET) != 0 ||
                fread(picture, picture_bytes, 1, spill) != 1) {
                spill_failed();
            }
            for (int64_t n = 0; n < run.slots; n++, k++) {
                if (has_audio) {
                    const int64_t due = slot_samples(k + 1);
                    pad_silence_to(due < silent ? due : silent);
                }
                encoder_video_frame(picture, picture + frame_bytes);
            }
        }
        fclose(spill);
        spill = nullptr;
    }
    waiting_runs.clear();
    waiting_runs.shrink_to_fit();
}

void emit_slot() {
    if (!started) {
        if (waiting_slots < waiting_limit) {
            wait_slot();
            step_slot();
            return;
        }
        fprintf(stderr,
                "render: the demo had not opened its sound device after %d s of demo "
                "time; the file has no sound\n",
                audio_wait_seconds);
        start_file(nullptr);
    }
    encoder_video_frame(shown, shown + frame_bytes);
    step_slot();
}

// A speed as a multiple of real time: one decimal, or two significant
// digits below 0.1, so that a slow render does not read as 0.0x.
void format_speed(double speed, char *text, size_t size) {
    if (!(speed > 0)) {
        snprintf(text, size, "0.0");
    } else if (speed >= 0.095) {
        snprintf(text, size, "%.1f", speed);
    } else {
        const int decimals = 1 - static_cast<int>(std::floor(std::log10(speed)));
        snprintf(text, size, "%.*f", decimals < 12 ? decimals : 12, speed);
    }
}

// The progress: on a terminal, one line rewritten four times a second; in a
// log (stderr a file or a pipe), one line of its own every 10 seconds. With
// -seconds the length is known up to the demo's ending: the share done and
// the time left.
void show_progress() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_progress < (progress_on_terminal ? std::chrono::milliseconds(250)
                                                    : std::chrono::milliseconds(10000))) {
        return;
    }
    last_progress = now;
    const DemoTime demo = sched_now();
    const double demo_s = static_cast<double>(demo) / demo_units_per_second;
    const double wall_s = wall_seconds();
    const double speed = wall_s > 0 ? demo_s / wall_s : 0.0;
    char speed_text[32];
    format_speed(speed, speed_text, sizeof speed_text);
    char where[96];
    if (render_escape_at <= 0) {
        snprintf(where, sizeof where, "%.2f s of demo time", demo_s);
    } else if (demo < render_escape_at) {
        const double length_s = static_cast<double>(render_escape_at) / demo_units_per_second;
        const int percent = static_cast<int>(100 * demo / render_escape_at);
        char left[32] = "";
        if (speed > 0) {
            const int64_t left_s = static_cast<int64_t>((length_s - demo_s) / speed + 0.5);
            if (left_s >= 3600) {
                snprintf(left, sizeof left, ", %lld:%02lld:%02lld left",
                         static_cast<long long>(left_s / 3600),
                         static_cast<long long>(left_s / 60 % 60),
                         static_cast<long long>(left_s % 60));
            } else {
                snprintf(left, sizeof left, ", %lld:%02lld left",
                         static_cast<long long>(left_s / 60), static_cast<long long>(left_s % 60));
            }
        }
        snprintf(where, sizeof where, "%.2f of %.2f s (%d%%)%s", demo_s, length_s, percent, left);
    } else {
        snprintf(where, sizeof where, "%.2f s of demo time, the demo's ending", demo_s);
    }
    fprintf(stderr, "%srendering: %s, %lld frames, %sx real time, %.1f MB%s",
            progress_on_terminal ? "\r" : "", where, static_cast<long long>(next_slot), speed_text,
            static_cast<double>(encoder_bytes_written()) / 1e6,
            progress_on_terminal ? "\033[K" : "\n");
}

// The scheduler's events.
void slot_due(DemoTime) {
    emit_slot();
    // Slot k may show what was presented up to and at its own time: it is
    // due once time has passed the whole unit it lies in.
    sched_at(Event::video_slot, slot_whole + 1, slot_due);
    if (interrupt_signal.load() != 0) {
        sched_cut_short();
    }
}

void escape_due(DemoTime) {
    escape_given.store(true);
    escape_pending = 1; // as if the user had released the key
}

// The sink.
void render_display_open() {}
void render_palette(const SDL_Color *) {}

void render_frame(const uint8_t *pixels, const SDL_Color *palette, DemoTime) {
    // The advance to this frame's slot has emitted every slot before it;
    // slots from its time on show it.
    static_assert(sizeof(SDL_Color) == 4);
    memcpy(shown, pixels, frame_bytes);
    memcpy(shown + frame_bytes, palette, 1024);
}

void render_audio_open(SDL_AudioSpec &spec, const AudioFormat &format, DemoTime at) {
    // As SDL_OpenAudio would: a second open and a rate of nothing fail.
    if (audio_format.rate != 0) {
        SDL_SetError("Audio device is already opened");
        fatal_sdl("aud0");
    }
    if (spec.freq <= 0) {
        SDL_SetError("Invalid sample rate %d", spec.freq);
        fatal_sdl("aud0");
    }
    audio_format = format;
    if (!wants_audio || started) {
        return;
    }
    // The sound lies at its own time: silence from the file's start to the
    // open.
    const int64_t silent = samples_before(at, format.rate);
    start_file(&audio_format, silent);
    pad_silence_to(silent);
}

void render_audio_play(int) {}

void render_audio(const AudioFormat &format, const uint8_t *bytes, size_t count) {
    if (!has_audio) {
        return; // the file began without sound
    }
    encoder_audio(bytes, count);
    audio_samples += static_cast<int64_t>(count) / (format.channels * format.bytes_per_sample);
}

const OutputSink render_sink = {render_display_open, render_palette,    render_frame,
                                render_audio_open,   render_audio_play, render_audio,
                                end_render};

// The roads out of a render other than the guest's own exit.
int end_status() {
    if (const int sig = interrupt_signal.load()) {
        end_note = " (interrupted)";
        return 128 + sig;
    }
    if (escape_given.load() && sched_now() >= render_escape_at + escape_grace) {
        end_note = " (the demo had not ended 30 s after its Escape)";
        return 0;
    }
    return -1;
}

// The main thread, after each poll and presented frame, outside every lock.
void safe_point() {
    if (ending.load()) {
        return;
    }
    show_progress();
    const int status = end_status();
    if (status >= 0) {
        exit(status);
    }
}

// The stall watch's thread. It ends the process only while it holds demo
// time's lock, so the main thread it stops is never in the middle of an
// advance.
void watch(bool holding) {
    if (ending.load()) {
        return;
    }
    if (holding) {
        const int status = end_status();
        if (status >= 0) {
            exit_from_any_thread(status);
        }
        return;
    }
    if (interrupt_signal.load() != 0 &&
        monotonic_ms() - interrupt_ms.load() >= interrupt_grace_ms && sched_try_lock_for_ms(1000)) {
        if (!ending.load()) {
            exit_from_any_thread(end_status());
        }
        sched_unlock();
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

// What the file says about itself: nothing that differs between two renders
// of one guest with the same options (not the file's name, nor a date).
const RenderTags *file_tags(const uint8_t *guest_md5) {
    static char md5[33];
    static char options[160];
    static char software[64];
    static RenderTags tags;
    tags.title = is_party_release ? "Lumox (Party)" : "Lumox (Fix)";
    tags.source_md5 = nullptr;
    if (guest_md5) {
        for (int i = 0; i < 16; i++) {
            snprintf(md5 + 2 * i, 3, "%02x", guest_md5[i]);
        }
        tags.source_md5 = md5;
    }
    // The options as the usage screen lists them, with the rate always: its
    // default is the VGA's.
    int n = 0;
    auto add = [&](const char *fmt, auto... args) {
        n += snprintf(options + n, sizeof options - static_cast<size_t>(n), fmt, args...);
    };
    if (mute) {
        add("-mute ");
    }
    if (has_video && square_pixels) {
        add("-square ");
    }
    if (has_video && !container->native_picture && scale_factor > 0) {
        add("-scale %d ", scale_factor);
    }
    if (has_video) {
        if (render_rate_den == 1) {
            add("-fps %lld ", static_cast<long long>(render_rate_num));
        } else {
            add("-fps %lld/%lld ", static_cast<long long>(render_rate_num),
                static_cast<long long>(render_rate_den));
        }
    }
    if (render_escape_at >= 0) {
        const int64_t ms = render_escape_at / demo_units_per_ms;
        if (ms % 1000 == 0) {
            add("-seconds %lld ", static_cast<long long>(ms / 1000));
        } else {
            char decimals[8];
            snprintf(decimals, sizeof decimals, "%03lld", static_cast<long long>(ms % 1000));
            for (char *end = decimals + 2; *end == '0'; end--) {
                *end = '\0';
            }
            add("-seconds %lld.%s ", static_cast<long long>(ms / 1000), decimals);
        }
    }
    if (n > 0) {
        options[n - 1] = '\0';
    }
    tags.options = n > 0 ? options : nullptr;
    snprintf(software, sizeof software, "lumoxrun %s", lumox_version);
    tags.software = software;
    return &tags;
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
        fatal("render %s: unknown file type (.mkv, .mp4, .framemd5, .wav or .flac)", render_path);
    }
    has_video = container->video_codec != nullptr;
    wants_audio = !mute;
    if (!has_video && !wants_audio) {
        fatal("render %s: -mute leaves no sound to write", render_path);
    }
}

void begin_render(const uint8_t *guest_md5) {
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
    {
        // Before any thread of FFmpeg's or the scheduler's exists.
        const QuietSignals quiet;
        encoder_prepare(render_path, container, has_video ? &video : nullptr, file_tags(guest_md5));
        sched_start(TimeDriver::demo);
    }
    step_whole = render_rate_den * demo_units_per_second / render_rate_num;
    step_rest = render_rate_den * demo_units_per_second % render_rate_num;
    waiting_limit = audio_wait_seconds * render_rate_num / render_rate_den + 1;
    output_sink = &render_sink;
    sched_safe_point_hook = safe_point;
    sched_watch_hook = watch;
    if (has_video) {
        sched_at(Event::video_slot, slot_whole + 1, slot_due);
    }
    if (render_escape_at >= 0) {
        sched_at(Event::escape, render_escape_at, escape_due);
    }
    active.store(true);
    if (!wants_audio) {
        start_file(nullptr);
    }
    for (int sig : interrupting_signals) {
        take_over(sig, on_interrupt);
    }
    for (int sig : ending_signals) {
        take_over(sig, end_by_signal);
    }
    progress_on_terminal = isatty(2) != 0;
    wall_start = std::chrono::steady_clock::now();
    last_progress = wall_start;
}

void end_render() {
    if (!active.load()) {
        return;
    }
    if (ending.exchange(true)) {
        // Another thread is finishing the file; a fatal error here means it
        // will not be finished.
        if (fatal_reported()) {
            encoder_abort();
        }
        return;
    }
    if (fatal_reported()) {
        encoder_abort();
        return;
    }
    // Demo time's lock, so that nothing moves under the ending. A holder
    // that was stopped mid-advance (the main thread, parked for an exit on
    // another thread) leaves nothing known to be whole: the file goes.
    if (!sched_try_lock_for_ms(1500)) {
        encoder_abort();
        fprintf(stderr,
                "render %s: the demo was stopped in the middle of a frame; nothing "
                "written\n",
                render_path);
        return;
    }
    sched_cancel(Event::video_slot);
    sched_finish();
    const DemoTime end = sched_now();
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
        pad_silence_to(has_video ? slot_samples(next_slot)
                                 : samples_before(end, audio_format.rate));
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
    if (const uint64_t stall_advances = sched_stall_advances()) {
        snprintf(stalls, sizeof stalls,
                 "; demo time moved on by itself %llu times while the demo waited without "
                 "calling the host, so the file may differ between runs",
                 static_cast<unsigned long long>(stall_advances));
    }
    char speed_text[32];
    format_speed(wall_s > 0 ? length_s / wall_s : 0.0, speed_text, sizeof speed_text);
    fprintf(stderr, "rendered %s: %s, %.3f s, %sx real time%s%s\n", render_path, what, length_s,
            speed_text, end_note, stalls);
    sched_unlock();
}

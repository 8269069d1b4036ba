// Live play's picture: the guest's frames in an SDL window or full screen,
// scaled sharply by the host's own scaler, and the live sink around it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/run_state.h"
#include "machine/display.h"
#include "machine/picture.h"
#include "machine/sink.h"
#include "machine/window_place.h"
#include "shell/fatal.h"
#include "time/lock_order.h"

SDL_Surface *screen = nullptr;
SDL_Surface *frame_surface = nullptr;
uint8_t shown_pixels[64000];
SDL_Color shown_palette[256];

// How the picture is laid out. The guest's 320x200 frame is shown at 4:3
// (each pixel 5:6) unless square pixels were asked for; every guest column and
// line gets whole output pixels, so nothing is ever blended.
int square_pixels = 0;
int scale_factor = 0;

// The desktop as it was before the first mode set; 0 while unknown.
static int desktop_w = 0;
static int desktop_h = 0;
// The size the user gave the window, kept across full screen; 0: none.
static int resized_w = 0;
static int resized_h = 0;
// The shown palette in the display surface's pixel format.
static uint32_t screen_colours[256];
// Where the picture lies on the display surface, absolute.
static PictureLayout layout;
// Whether the display surface shows a picture yet.
static bool showing = false;
// The first frame waiting for its time is drawn into the display surface
// ahead of its flip, so that the flip itself lands on time (below).
static bool head_drawn = false;
static void wait_presenting(uint32_t ms);

static int picture_lines() {
    return square_pixels ? 200 : 240;
}

static void remember_desktop() {
    if (desktop_w > 0) {
        return;
    }
    const SDL_VideoInfo *info = SDL_GetVideoInfo();
    if (info && info->current_w > 0 && info->current_h > 0) {
        desktop_w = info->current_w;
        desktop_h = info->current_h;
    }
}

// The largest factor that fits the desktop; 0 while it is unknown.
static int fitting_factor() {
    if (desktop_w <= 0) {
        return 0;
    }
    // "Comfortably": nine tenths of each side, which leaves room for panels
    // and the title bar. Whole factors of 320x240 give every guest column the
    // same width (lines alternate between two heights; at 5, 1600x1200, every
    // pixel is the same 5x6 block).
    const int by_width = desktop_w * 9 / 10 / 320;
    const int by_height = desktop_h * 9 / 10 / picture_lines();
    const int factor = by_width < by_height ? by_width : by_height;
    return factor > 1 ? factor : 1;
}

int window_factor() {
    if (scale_factor > 0) {
        return scale_factor;
    }
    // An unknown desktop gets 640x480 (or 640x400), which fits any.
    const int factor = fitting_factor();
    return factor > 0 ? factor : 2;
}

void fit_scale_to_desktop() {
    const int fits = fitting_factor();
    // The same measure as the window without -scale, so that no factor asked
    // for is larger than the one the desktop gets unasked. An unknown
    // desktop keeps the factor asked for.
    if (scale_factor <= fits || fits == 0) {
        return;
    }
    fprintf(stderr, "scale %d does not fit the %dx%d desktop: using %d (%dx%d)\n", scale_factor,
            desktop_w, desktop_h, fits, 320 * fits, picture_lines() * fits);
    scale_factor = fits;
}

// The size of the display surface for the current flags.
static void display_size(int &w, int &h) {
    if ((video_flags & SDL_FULLSCREEN) && desktop_w > 0) {
        // The desktop's own resolution: no mode change, and nothing for a
        // library to scale, which would blur. Handing sdl12-compat only the
        // picture (1440x1080 of 1920x1080) and letting it place the picture
        // is no cheaper: 4.3 ms a flip against 4.1 under Xvfb (median, 2-core
        // VM); the classic library would change the monitor's mode instead.
        w = desktop_w;
        h = desktop_h;
        return;
    }
    if (resized_w > 0) {
        w = resized_w;
        h = resized_h;
        return;
    }
    w = 320 * window_factor();
    h = picture_lines() * window_factor();
}

static void map_colours(const SDL_Color *palette) {
    for (int i = 0; i < 256; i++) {
        screen_colours[i] = SDL_MapRGB(screen->format, palette[i].r, palette[i].g, palette[i].b);
    }
}

// Draws the shown picture, if any, and flips.
static void draw_and_flip(SDL_Surface *display) {
    if (showing) {
        if (SDL_MUSTLOCK(display)) {
            SDL_LockSurface(display);
        }
        draw_picture(layout, shown_pixels, screen_colours, static_cast<uint8_t *>(display->pixels),
                     display->pitch);
        if (SDL_MUSTLOCK(display)) {
            SDL_UnlockSurface(display);
        }
    }
    SDL_Flip(display);
}

// A new display surface of w x h for the current flags, with its layout,
// colours, black borders and the last picture; screen is NULL on failure.
// The caller holds the video mutex.
static void open_screen(int w, int h) {
    // A window can be resized by its user; the picture then refits.
    const uint32_t flags =
        (video_flags & SDL_FULLSCREEN) ? video_flags : (video_flags | SDL_RESIZABLE);
    screen = SDL_SetVideoMode(w, h, 32, flags);
    if (!screen) {
        return;
    }
    // Asked for 32 bits, SDL converts to the display itself; anything else
    // would break the 4-byte pixel writes.
    if (screen->format->BytesPerPixel != 4) {
        SDL_SetError("display surface of %d bits per pixel, not 32", screen->format->BitsPerPixel);
        screen = nullptr;
        return;
    }
    lay_out_picture(layout, screen->w, screen->h, square_pixels != 0);
    map_colours(shown_palette);
    head_drawn = false;
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    draw_and_flip(screen);
}

void check_display() {
    // Without a display SDL falls back on drivers that show nothing, or ASCII
    // art in the terminal: the demo would run unseen. Asked for by name,
    // they are the user's choice.
    static const char *const unseen[] = {"offscreen", "dummy", "caca", "aalib", "nanox"};
    char name[32] = "";
    if (!SDL_VideoDriverName(name, sizeof name)) {
        return;
    }
    const char *asked = getenv("SDL_VIDEODRIVER");
    for (const char *driver : unseen) {
        if (strcmp(name, driver) == 0 && !(asked && strcmp(asked, driver) == 0)) {
            fatal("vid: no display: SDL found only its %s driver (set DISPLAY, or "
                  "SDL_VIDEODRIVER=%s to use it all the same)",
                  name, name);
        }
    }
}

void drop_window_surfaces() {
    screen = nullptr;
    frame_surface = nullptr;
}

static void window_open() {
    if (desktop_w <= 0) {
        remember_desktop();
        fit_scale_to_desktop();
    }
    // Another thread may be drawing a frame or uploading a palette: the
    // surfaces and the colour table change under the lock.
    own_vmutex(121);
    if (display_closing.load()) {
        disown_vmutex(129);
        return;
    }
    showing = false;
    int w, h;
    display_size(w, h);
    open_screen(w, h);
    if (!screen) {
        disown_vmutex(129);
        fatal_sdl("vid");
    }
    // A surface of an earlier mode set is not freed: another thread may still
    // hold a pointer to it, and there are at most a few of them.
    frame_surface = SDL_CreateRGBSurfaceFrom(frame_pixels, 320, 200, 8, 320, 0, 0, 0, 0);
    if (!frame_surface) {
        disown_vmutex(129);
        fatal_sdl("sur");
    }
    // It gets the last palette, as the display's colour table has it.
    SDL_SetColors(frame_surface, host_palette, 0, 256);
    disown_vmutex(129);
    SDL_ShowCursor(0);
    sched_set_live_wait(wait_presenting);
}

// Under the video lock (set_palette's).
static void window_palette(const SDL_Color *palette) {
    if (frame_surface) {
        SDL_SetColors(frame_surface, const_cast<SDL_Color *>(palette), 0, 256);
    }
}

// Live presentation. A frame is shown at its frame slot, on the VGA's
// cadence as in a render, and later by the time its sound takes to be heard
// (av_delay_ms), so that picture and sound meet. Frames wait here without
// holding the guest up: they are flipped on the main thread, which owns the
// window, wherever it waits in the host (the poll's pause, the pause's idle
// loop) or presents the next one. Main thread only.
struct PendingFrame {
    uint8_t pixels[64000];
    SDL_Color palette[256];
    DemoTime slot;
    uint32_t due_ms; // SDL's clock
};
constexpr int pending_capacity = 8;
static PendingFrame pending[pending_capacity];
static int pending_head = 0;
static int pending_count = 0;
static uint32_t head_colours[256];
static uint32_t av_delay_ms = 0;

static bool due(uint32_t due_ms, uint32_t now_ms) {
    return static_cast<int32_t>(now_ms - due_ms) >= 0;
}

// The video lock is held.
static void draw_head(SDL_Surface *display) {
    const PendingFrame &f = pending[pending_head];
    for (int i = 0; i < 256; i++) {
        head_colours[i] =
            SDL_MapRGB(display->format, f.palette[i].r, f.palette[i].g, f.palette[i].b);
    }
    if (SDL_MUSTLOCK(display)) {
        SDL_LockSurface(display);
    }
    draw_picture(layout, f.pixels, head_colours, static_cast<uint8_t *>(display->pixels),
                 display->pitch);
    if (SDL_MUSTLOCK(display)) {
        SDL_UnlockSurface(display);
    }
    head_drawn = true;
}

// Flips what is due by now and draws the next one ahead.
static void present_due() {
    if (pending_count == 0) {
        return;
    }
    own_vmutex(180);
    SDL_Surface *display = screen;
    if (display_closing.load() || !frame_surface || !display) {
        pending_count = 0;
        disown_vmutex(184);
        return;
    }
    while (pending_count > 0 && due(pending[pending_head].due_ms, SDL_GetTicks())) {
        if (!head_drawn) {
            draw_head(display);
        }
        const PendingFrame &f = pending[pending_head];
        memcpy(shown_pixels, f.pixels, sizeof shown_pixels);
        memcpy(shown_palette, f.palette, sizeof shown_palette);
        memcpy(screen_colours, head_colours, sizeof screen_colours);
        showing = true;
        SDL_Flip(display);
        pending_head = (pending_head + 1) % pending_capacity;
        pending_count--;
        head_drawn = false;
    }
    if (pending_count > 0 && !head_drawn) {
        draw_head(display);
    }
    disown_vmutex(184);
}

static void window_frame(const uint8_t *pixels, const SDL_Color *palette, DemoTime slot) {
    const DemoTime now = sched_now();
    const uint32_t wait_ms =
        static_cast<uint32_t>(slot > now ? (slot - now) / demo_units_per_ms : 0);
    // Paused, a step's frame is shown at once: it has no sound to wait for.
    const uint32_t delay_ms = sched_live_state() == LiveClock::running ? av_delay_ms : 0;
    PendingFrame *f;
    const int newest = (pending_head + pending_count - 1) % pending_capacity;
    if (pending_count > 0 && pending[newest].slot == slot) {
        // A display shows the latest picture at its refresh.
        f = &pending[newest];
    } else if (pending_count == pending_capacity) {
        // Behind: the newest waiting frame gives way, the guest never waits.
        f = &pending[newest];
    } else {
        f = &pending[(pending_head + pending_count) % pending_capacity];
        pending_count++;
    }
    if (f == &pending[pending_head]) {
        head_drawn = false;
    }
    memcpy(f->pixels, pixels, sizeof f->pixels);
    memcpy(f->palette, palette, sizeof f->palette);
    f->slot = slot;
    f->due_ms = SDL_GetTicks() + wait_ms + delay_ms;
    present_due();
}

// The live clock's waits: asleep, but awake for each flip that falls due.
static void wait_presenting(uint32_t ms) {
    const uint32_t end_ms = SDL_GetTicks() + ms;
    for (;;) {
        present_due();
        const uint32_t now_ms = SDL_GetTicks();
        if (due(end_ms, now_ms)) {
            return;
        }
        uint32_t until_ms = end_ms;
        if (pending_count > 0 && !due(end_ms, pending[pending_head].due_ms)) {
            until_ms = pending[pending_head].due_ms;
        }
        SDL_Delay(due(until_ms, now_ms) ? 0 : until_ms - now_ms);
    }
}

void present_waiting_frames() {
    while (pending_count > 0) {
        wait_presenting(1);
    }
}

void repaint_display() {
    own_vmutex(190);
    SDL_Surface *display = screen;
    if (!display_closing.load() && frame_surface && display) {
        // What was last flipped, not a waiting frame drawn ahead.
        SDL_FillRect(display, nullptr, SDL_MapRGB(display->format, 0, 0, 0));
        head_drawn = false;
        draw_and_flip(display);
    }
    disown_vmutex(194);
}

void toggle_fullscreen() {
    // Before the mode set only the flag changes; the mode set honours it.
    if (!frame_surface) {
        video_flags ^= SDL_FULLSCREEN;
        return;
    }
    if (!(video_flags & SDL_FULLSCREEN)) {
        remember_window_place();
    }
    video_flags ^= SDL_FULLSCREEN;
    own_vmutex(234);
    if (display_closing.load()) {
        disown_vmutex(239);
        return; // the process is ending already
    }
    int w, h;
    display_size(w, h);
    open_screen(w, h);
    if (screen && (video_flags & SDL_FULLSCREEN)) {
        place_full_screen();
    } else if (screen) {
        restore_window_place();
    }
    disown_vmutex(239);
    if (!screen) {
        fatal_sdl("full");
    }
}

void set_caption(bool paused) {
    const char *release = is_party_release ? "Party" : "Fix";
    char caption[128];
    if (paused) {
        snprintf(caption, sizeof caption,
                 "Lumox(%s) paused: 'p' - resume, '.' - next frame, 'q/esc' - quit", release);
    } else {
        snprintf(caption, sizeof caption, "Lumox(%s) 'f' - fullscreen, 'q/esc' - quit", release);
    }
    SDL_WM_SetCaption(caption, nullptr);
}

void resize_display(int w, int h) {
    // Full screen keeps the desktop's size; a size already shown needs
    // nothing (a mode set may report its own size back).
    if (!frame_surface || (video_flags & SDL_FULLSCREEN) || w <= 0 || h <= 0) {
        return;
    }
    own_vmutex(251);
    if (display_closing.load() || (screen && screen->w == w && screen->h == h)) {
        disown_vmutex(259);
        return;
    }
    open_screen(w, h);
    if (screen) {
        resized_w = w;
        resized_h = h;
    }
    disown_vmutex(259);
    if (!screen) {
        fatal_sdl("size");
    }
}

// Live audio. SDL pulls; its callback names the stream the mixer's samples
// go into, written once each, into silence, at full volume.
static Uint8 *audio_target = nullptr;
static int audio_target_left = 0;

void live_audio_target(Uint8 *stream, int len) {
    audio_target = stream;
    audio_target_left = len;
}

static void live_audio(const AudioFormat &, const uint8_t *bytes, size_t count) {
    if (!audio_target) {
        return; // a step's sound: made so the music stays with the picture, not heard
    }
    const int n = count < static_cast<size_t>(audio_target_left) ? static_cast<int>(count)
                                                                 : audio_target_left;
    SDL_MixAudio(audio_target, bytes, static_cast<Uint32>(n), SDL_MIX_MAXVOLUME);
    audio_target += n;
    audio_target_left -= n;
}

static void live_audio_open(SDL_AudioSpec &spec, const AudioFormat &, DemoTime) {
    // Without an obtained format record SDL converts to the hardware's format, so the
    // guest mixes in exactly the format asked for here. A second open fails
    // in SDL and ends the process.
    if (SDL_OpenAudio(&spec, nullptr) < 0) {
        fatal_sdl("aud0");
    }
    // The sound of what a frame shows is heard this much after the frame:
    // SDL plays one buffer while the callback fills the next, and what the
    // frame shows began, on average, in the middle of the buffer just made.
    // The frame itself waits half a frame slot on average for its refresh.
    const uint32_t buffer_ms = spec.freq > 0 ? spec.samples * 1000u / spec.freq : 0;
    const uint32_t half_slot_ms = frame_slot_units / demo_units_per_ms / 2;
    av_delay_ms = buffer_ms * 3 / 2 > half_slot_ms ? buffer_ms * 3 / 2 - half_slot_ms : 0;
}

static void live_audio_play(int pause_on) {
    // SDL takes its audio lock here, which the sound lock must not hold.
    lock_taking(LockRank::sdl_audio);
    SDL_PauseAudio(pause_on);
    lock_released(LockRank::sdl_audio);
}

static void live_close() {
    if (SDL_TimerID id = timer_id.exchange(nullptr)) {
        SDL_RemoveTimer(id);
    }
    live_audio_play(1);
    SDL_WM_GrabInput(SDL_GRAB_ON);
    SDL_WM_GrabInput(SDL_GRAB_OFF);
}

const OutputSink live_sink = {window_open,     window_palette, window_frame, live_audio_open,
                              live_audio_play, live_audio,     live_close};
const OutputSink *output_sink = &live_sink;

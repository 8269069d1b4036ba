// Display and palette: the guest's mode 13h on an SDL window.
#include "machine/display.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/catalogue.h"
#include "binding/run_state.h"
#include "machine/capture.h"
#include "machine/clock.h"
#include "machine/picture.h"
#include "shell/fatal.h"

SDL_mutex *video_mutex = nullptr;
SDL_Surface *screen = nullptr;
SDL_Surface *frame_surface = nullptr;
uint8_t frame_pixels[64000];
SDL_Color host_palette[256];
uint32_t video_flags = SDL_DOUBLEBUF;

constexpr uint32_t frame_bytes = 64000;
// The guest's video window; the host has no memory there.
constexpr uint32_t video_window_end = 0xB0000;

// The thread inside a locked section, 0 when none. It lets release_display
// tell a fatal error inside a section of its own thread (nothing to wait for)
// from a section under way on another thread.
static std::atomic<uint32_t> vmutex_owner{0};
// Set once by release_display. Every section tests it after taking the mutex
// and then leaves the surfaces alone, so shutdown only has to wait for a
// section that was already past that test.
static std::atomic<int> display_closing{0};

void own_vmutex(int site) {
    if (SDL_mutexP(video_mutex) == -1) {
        fatal_sdl("ownvmutex at %d", site);
    }
    vmutex_owner.store(SDL_ThreadID());
}

void disown_vmutex(int site) {
    vmutex_owner.store(0);
    if (SDL_mutexV(video_mutex) == -1) {
        fatal_sdl("disownvmutex at %d", site);
    }
}

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
// host_palette in the display surface's pixel format.
static uint32_t screen_colours[256];
// Where the picture lies on the display surface, absolute.
static PictureLayout layout;
static SDL_Rect picture;
// What the display surface shows, so that a new surface can be redrawn.
constexpr int shows_nothing = -2;
constexpr int shows_frame = -1;
static int shown = shows_nothing; // else the palette index of a whole-screen fill

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
        // library to scale, which would blur.
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

// The picture's place on the display surface and its maps from guest
// columns and lines to output pixels.
static void lay_out(int w, int h) {
    lay_out_picture(layout, w, h, square_pixels != 0);
    picture.x = static_cast<Sint16>(layout.x);
    picture.y = static_cast<Sint16>(layout.y);
    picture.w = static_cast<Uint16>(layout.w);
    picture.h = static_cast<Uint16>(layout.h);
}

static void map_colours() {
    for (int i = 0; i < 256; i++) {
        screen_colours[i] =
            SDL_MapRGB(screen->format, host_palette[i].r, host_palette[i].g, host_palette[i].b);
    }
}

// frame_pixels onto the picture area, through screen_colours.
static void draw_frame(SDL_Surface *display) {
    draw_picture(layout, frame_pixels, screen_colours, static_cast<uint8_t *>(display->pixels),
                 display->pitch);
}

// Draws what the display shows (the frame, a fill or nothing) and flips.
static void present(SDL_Surface *display) {
    if (shown >= 0) {
        SDL_FillRect(display, &picture, screen_colours[shown]);
    } else if (shown == shows_frame) {
        if (SDL_MUSTLOCK(display)) {
            SDL_LockSurface(display);
        }
        draw_frame(display);
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
    lay_out(screen->w, screen->h);
    map_colours();
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    present(screen);
}

void release_display() {
    const uint32_t self = SDL_ThreadID();
    if (!video_mutex || vmutex_owner.load() == self) {
        // No other thread can be in a section, or the fatal error came from
        // inside a section of this very thread.
        screen = nullptr;
        frame_surface = nullptr;
        display_closing.store(1);
        return;
    }
    display_closing.store(1);
    // A section under way on another thread takes a few milliseconds. The
    // wait is bounded because that thread may be waiting for this one (inside
    // SDL, say) and never leave; then the surfaces are dropped without the
    // lock rather than hanging the exit.
    constexpr int wait_limit_ms = 500;
    int waited_ms = 0;
    while (vmutex_owner.load() != 0 && waited_ms < wait_limit_ms) {
        SDL_Delay(1);
        waited_ms++;
    }
    if (vmutex_owner.load() != 0 && !main_thread_stopped()) {
        // The section still holds the surfaces it tested under the lock;
        // they are left to it, and display_closing keeps every later section
        // away from them.
        return;
    }
    if (vmutex_owner.load() != 0) {
        // The holder is the main thread, stopped for this exit: it uses
        // nothing more, and SDL must not be shut down under surfaces it
        // still names.
        screen = nullptr;
        frame_surface = nullptr;
        return;
    }
    // Sections entered from now on see display_closing and leave at once, so
    // this lock is held by nobody for long. Its result is not examined: an
    // exit handler cannot report a failure.
    const bool locked = SDL_mutexP(video_mutex) != -1;
    screen = nullptr;
    frame_surface = nullptr;
    if (locked) {
        SDL_mutexV(video_mutex);
    }
}

// A render opens no window: the mode set only lets frames through.
static bool demo_mode_set = false;

// On demo time a presented picture waits for the next refresh, and the
// capture takes it with the palette it was copied in. Taken under the video
// mutex, handed on after it: the advance runs music passes, whose guest code
// may itself change the palette.
static void present_on_demo_clock(const uint8_t *pixels, int fill) {
    static uint8_t shown_pixels[frame_bytes];
    static SDL_Color shown_palette[256];
    own_vmutex(179);
    if (pixels) {
        memcpy(frame_pixels, pixels, frame_bytes);
        memcpy(shown_pixels, pixels, frame_bytes);
    } else {
        memset(shown_pixels, fill, frame_bytes);
    }
    memcpy(shown_palette, host_palette, sizeof shown_palette);
    disown_vmutex(185);
    demo_lock();
    const DemoTime at = demo_present_frame();
    if (capture_sink) {
        capture_sink->frame(shown_pixels, shown_palette, at);
    }
    demo_unlock();
    if (demo_checkpoint) {
        demo_checkpoint();
    }
}

// Live, a capture sees what the window shows, when it shows it.
static void capture_live(const uint8_t *pixels, int fill) {
    static uint8_t filled[frame_bytes];
    if (!pixels) {
        memset(filled, fill, frame_bytes);
        pixels = filled;
    }
    capture_sink->frame(pixels, host_palette,
                        static_cast<DemoTime>(clock_ms()) * demo_units_per_ms);
}

void set_mode_13h() {
    if (demo_clock) {
        demo_mode_set = true;
        return;
    }
    if (display_closing.load()) {
        return; // the process is ending; SDL is being shut down
    }
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
    shown = shows_nothing;
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
}

void set_palette(const uint8_t *colours) {
    own_vmutex(101);
    if (colours) {
        for (int i = 0; i < 256; i++) {
            // 6-bit DAC values to 8 bits; 64 and above wrap, as on the card.
            host_palette[i].r = static_cast<uint8_t>(colours[3 * i] * 4);
            host_palette[i].g = static_cast<uint8_t>(colours[3 * i + 1] * 4);
            host_palette[i].b = static_cast<uint8_t>(colours[3 * i + 2] * 4);
        }
    } else {
        memset(host_palette, 0, sizeof host_palette);
    }
    if (!display_closing.load() && frame_surface) {
        SDL_SetColors(frame_surface, host_palette, 0, 256);
        if (screen) {
            map_colours();
        }
    }
    disown_vmutex(110);
}

// v x scale truncated towards zero, clamped from above only, kept to 8 bits.
static uint8_t scaled_component(int32_t v, float scale) {
    const double product = static_cast<double>(v) * static_cast<double>(scale);
    if (product > 63.0) {
        return 63;
    }
    // Below the int32 range or NaN: the x87 conversion gives 0x80000000,
    // whose low byte is 0.
    if (!(product > -2147483649.0)) {
        return 0;
    }
    return static_cast<uint8_t>(static_cast<int32_t>(product));
}

// guest: redirect, arg code 1 (EAX code)
GUEST_ENTRY void fade_palette(int32_t code) {
    const float scale = *reinterpret_cast<const float *>(guest_symbol(sym::fade_scale));
    const uint8_t *source = reinterpret_cast<const uint8_t *>(guest_symbol(sym::guest_palette));
    const int32_t fade_level = code >> 8;
    const bool towards_inverse =
        fade_level > 64 && *reinterpret_cast<const int32_t *>(guest_symbol(sym::fade_select)) != 0;
    // Wrapping 32-bit arithmetic, as the guest's own code does it; bytes above
    // 63 or extreme codes must not overflow on the host.
    const uint32_t step = static_cast<uint32_t>(fade_level) - 65u;
    const uint32_t keep = 63u - step;
    uint8_t faded[768];
    for (int i = 0; i < 768; i++) {
        const uint32_t c = source[i];
        int32_t v;
        if (fade_level == 64) {
            v = static_cast<int32_t>(c);
        } else if (fade_level < 64) {
            v = static_cast<int32_t>(c * static_cast<uint32_t>(fade_level)) >> 6;
        } else if (towards_inverse) {
            v = static_cast<int32_t>((63u - c) * step + c * keep) >> 6;
        } else {
            const int32_t kept = static_cast<int32_t>(c * keep) >> 6;
            v = static_cast<int32_t>(static_cast<uint32_t>(kept) + step);
        }
        faded[i] = scaled_component(v, scale);
    }
    set_palette(faded);
}

// Display operations are the exact calls below; anything else aimed at the
// video window would fault on the host, so it ends the process with a message.
static void check_outside_video(uint32_t address, uint32_t count) {
    const uint64_t end = static_cast<uint64_t>(address) + count;
    if (count != 0 && address < video_window_end && end > video_memory) {
        fatal("vmem 0x%x", address);
    }
}

// guest: redirect, arg code 3 (EAX dst, EDX value, EBX count)
GUEST_ENTRY uint32_t guest_memset(uint32_t dst, uint32_t value, uint32_t count) {
    const uint32_t address = dst;
    if (address == video_memory && demo_clock) {
        if (demo_mode_set) {
            present_on_demo_clock(nullptr, static_cast<int>(value & 0xFF));
        }
        return 0;
    }
    if (address == video_memory) {
        own_vmutex(211);
        // Before the mode set there is no surface to fill.
        if (!display_closing.load() && screen) {
            // The whole guest screen in that palette colour (an 8-bit fill
            // keeps the low byte); the borders stay black.
            shown = static_cast<int>(value & 0xFF);
            present(screen);
            if (capture_sink) {
                capture_live(nullptr, shown);
            }
        }
        disown_vmutex(214);
        return 0;
    }
    check_outside_video(address, count);
    memset(reinterpret_cast<void *>(address), static_cast<int>(value), count);
    return address;
}

// guest: hook, PUSHA frame (EDI, ESI, EBP, ESP, EBX, EDX, ECX, EAX)
GUEST_ENTRY void fill_palette_solid(uint32_t, uint32_t, uint32_t, uint32_t esp, uint32_t ebx,
                                    uint32_t, uint32_t, uint32_t) {
    const uint8_t *guest_stack = reinterpret_cast<const uint8_t *>(esp);
    uint8_t *buffer = reinterpret_cast<uint8_t *>(ebx);
    const uint8_t red = guest_stack[0x1C];
    const uint8_t green = guest_stack[0x18];
    const uint8_t blue = guest_stack[0x14];
    for (int i = 0; i < 256; i++) {
        buffer[3 * i] = red;
        buffer[3 * i + 1] = green;
        buffer[3 * i + 2] = blue;
    }
    set_palette(buffer);
}

// guest: hook, no registers
GUEST_ENTRY void blank_palette() {
    set_palette(nullptr);
}

// guest: hook (EAX src, EDX dst, EBX count)
GUEST_ENTRY void copy_frame(uint32_t src, uint32_t dst, uint32_t count) {
    const uint32_t from = src;
    const uint32_t to = dst;
    const uint32_t bytes = count;
    if (to != video_memory || bytes != frame_bytes) {
        check_outside_video(to, bytes);
        check_outside_video(from, bytes);
        // Guest buffers may overlap.
        memmove(reinterpret_cast<void *>(to), reinterpret_cast<const void *>(from), bytes);
        return;
    }
    if (demo_clock) {
        if (demo_mode_set) {
            present_on_demo_clock(reinterpret_cast<const uint8_t *>(from), 0);
        }
        return; // before the mode set the frame is dropped, as live
    }
    // Tested under the lock only: shutdown may run on another thread. Before
    // the mode set, or after shutdown, the frame is dropped.
    own_vmutex(179);
    SDL_Surface *frame = frame_surface;
    SDL_Surface *display = screen;
    if (!display_closing.load() && frame && display) {
        if (SDL_MUSTLOCK(frame)) {
            SDL_LockSurface(frame);
        }
        memcpy(frame->pixels, reinterpret_cast<const void *>(from), frame_bytes);
        if (SDL_MUSTLOCK(frame)) {
            SDL_UnlockSurface(frame);
        }
        shown = shows_frame;
        present(display);
        if (capture_sink) {
            capture_live(frame_pixels, 0);
        }
    }
    disown_vmutex(185);
    // A step holds again at the frame it ran to, the next poll keeping the
    // guest; outside the lock, as the step's music passes may upload colours.
    live_clock_frame();
}

void toggle_fullscreen() {
    video_flags ^= SDL_FULLSCREEN;
    // Before the mode set only the flag changes; the mode set honours it.
    if (!frame_surface) {
        return;
    }
    own_vmutex(234);
    if (display_closing.load()) {
        disown_vmutex(239);
        return; // the process is ending already
    }
    int w, h;
    display_size(w, h);
    open_screen(w, h);
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

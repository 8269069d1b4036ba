// Display and palette: the guest's mode 13h on an SDL window.
#include "machine/display.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "binding/catalogue.h"
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

// What the display surface was last given, so that an unchanged palette (a
// guest that fades to its own level every frame) is not uploaded again:
// changing the display surface's palette costs as much as a flip.
static SDL_Color screen_palette[256];
static SDL_Surface *screen_palette_owner = nullptr;

// Makes the blit from frame_surface an identity map: with any other palette on
// the display surface SDL maps each colour to its nearest entry there.
static void upload_screen_palette() {
    if (!screen) {
        return;
    }
    if (screen == screen_palette_owner &&
        memcmp(screen_palette, host_palette, sizeof screen_palette) == 0) {
        return;
    }
    SDL_SetColors(screen, host_palette, 0, 256);
    memcpy(screen_palette, host_palette, sizeof screen_palette);
    screen_palette_owner = screen;
}

// A new display surface (possibly at the old one's address) has SDL's palette.
static void forget_screen_palette() {
    screen_palette_owner = nullptr;
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
    if (vmutex_owner.load() != 0) {
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

void set_mode_13h() {
    if (display_closing.load()) {
        return; // the process is ending; SDL is being shut down
    }
    forget_screen_palette();
    screen = SDL_SetVideoMode(320, 200, 8, video_flags);
    if (!screen) {
        fatal_sdl("vid");
    }
    // A surface of an earlier mode set is not freed: another thread may still
    // be blitting from it, and there are at most a few of them.
    frame_surface = SDL_CreateRGBSurfaceFrom(frame_pixels, 320, 200, 8, 320, 0, 0, 0, 0);
    if (!frame_surface) {
        fatal_sdl("sur");
    }
    // Both get the last palette, so the blit is an identity map from the first
    // frame on and a clear fills with the guest's own colour.
    SDL_SetColors(frame_surface, host_palette, 0, 256);
    upload_screen_palette();
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
        upload_screen_palette();
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
    if (address == video_memory) {
        own_vmutex(211);
        // Before the mode set there is no surface to fill.
        if (!display_closing.load() && screen) {
            SDL_FillRect(screen, nullptr, value);
            SDL_Flip(screen);
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
        memcpy(reinterpret_cast<void *>(to), reinterpret_cast<const void *>(from), bytes);
        return;
    }
    if (!frame_surface || !screen) {
        return; // no mode set yet, or shut down: the frame is dropped
    }
    own_vmutex(179);
    // Tested again under the lock: shutdown may have run on another thread.
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
        SDL_UpperBlit(frame, nullptr, display, nullptr);
        SDL_Flip(display);
    }
    disown_vmutex(185);
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
    forget_screen_palette();
    screen = SDL_SetVideoMode(frame_surface->w, frame_surface->h,
                              frame_surface->format->BitsPerPixel, video_flags);
    upload_screen_palette();
    disown_vmutex(239);
    if (!screen) {
        fatal_sdl("full");
    }
}

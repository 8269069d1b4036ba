// Display and palette: the guest's mode 13h. What the guest sees of the VGA
// lives here (the video memory, the palette, fades, copies and clears); what
// is presented goes to the output sink at its frame slot.
#include "machine/display.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/catalogue.h"
#include "machine/sink.h"
#include "shell/fatal.h"
#include "time/lock_order.h"
#include "time/scheduler.h"

SDL_mutex *video_mutex = nullptr;
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
std::atomic<int> display_closing{0};
// Set by the guest's mode set: frames and clears before it are dropped.
static std::atomic<bool> mode_set{false};

void own_vmutex(int site) {
    lock_taking(LockRank::video);
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
    lock_released(LockRank::video);
}

void release_display() {
    const uint32_t self = SDL_ThreadID();
    if (!video_mutex || vmutex_owner.load() == self) {
        // No other thread can be in a section, or the fatal error came from
        // inside a section of this very thread.
        display_closing.store(1);
        drop_window_surfaces();
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
        drop_window_surfaces();
        return;
    }
    // Sections entered from now on see display_closing and leave at once, so
    // this lock is held by nobody for long. Its result is not examined: an
    // exit handler cannot report a failure.
    const bool locked = SDL_mutexP(video_mutex) != -1;
    drop_window_surfaces();
    if (locked) {
        SDL_mutexV(video_mutex);
    }
}

void set_mode_13h() {
    if (display_closing.load()) {
        return; // the process is ending; SDL is being shut down
    }
    output_sink->display_open();
    mode_set.store(true);
}

// The picture presented and the palette it shows in, as copied under the
// video lock. Handed on after it: on demo time the frame's advance runs
// music passes, whose guest code may itself change the palette.
static uint8_t presented_pixels[frame_bytes];
static SDL_Color presented_palette[256];

static void present() {
    const DemoTime at = sched_frame();
    output_sink->frame(presented_pixels, presented_palette, at);
    sched_safe_point();
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
    if (!display_closing.load()) {
        output_sink->palette(host_palette);
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
    const HostCall host_call;
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
    const HostCall host_call;
    const uint32_t address = dst;
    if (address == video_memory) {
        // Before the mode set there is no screen to fill. The whole guest
        // screen in that palette colour (an 8-bit fill keeps the low byte);
        // frame_pixels keeps the last frame.
        if (mode_set.load() && !display_closing.load()) {
            own_vmutex(211);
            memset(presented_pixels, static_cast<int>(value & 0xFF), frame_bytes);
            memcpy(presented_palette, host_palette, sizeof presented_palette);
            disown_vmutex(214);
            present();
        }
        return 0;
    }
    check_outside_video(address, count);
    memset(reinterpret_cast<void *>(address), static_cast<int>(value), count);
    return address;
}

// guest: hook, PUSHA frame (EDI, ESI, EBP, ESP, EBX, EDX, ECX, EAX)
GUEST_ENTRY void fill_palette_solid(uint32_t, uint32_t, uint32_t, uint32_t esp, uint32_t ebx,
                                    uint32_t, uint32_t, uint32_t) {
    const HostCall host_call;
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
    const HostCall host_call;
    set_palette(nullptr);
}

// guest: hook (EAX src, EDX dst, EBX count)
GUEST_ENTRY void copy_frame(uint32_t src, uint32_t dst, uint32_t count) {
    const HostCall host_call;
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
    // Before the mode set, or once the process is ending, the frame is
    // dropped and frame_pixels keeps what it had.
    if (!mode_set.load() || display_closing.load()) {
        return;
    }
    own_vmutex(179);
    memcpy(frame_pixels, reinterpret_cast<const void *>(from), frame_bytes);
    memcpy(presented_pixels, frame_pixels, frame_bytes);
    memcpy(presented_palette, host_palette, sizeof presented_palette);
    disown_vmutex(185);
    present();
}

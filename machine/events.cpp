// Event pump, keyboard and the emulated BIOS tick counter.
#include "machine/events.h"

#include <SDL.h>
#include <cstdlib>

#include "machine/display.h"
#include "machine/screenshot.h"
#include "shell/guest_abi.h"
#include "time/scheduler.h"

int32_t tick_counter = 0;
std::atomic<int> escape_pending{0};
int quit_requested = 0;

// The reference is t x 18.2 / 1000 in double precision, which equals this
// quotient for every 32-bit t; integers keep it so at any x87 precision.
int32_t ticks_for_ms(uint32_t t) {
    return static_cast<int32_t>(static_cast<uint64_t>(t) * 91u / 5000u);
}

static void toggle_pause() {
    if (sched_live_state() == LiveClock::running) {
        sched_hold();
    } else {
        sched_resume();
    }
    set_caption(sched_live_state() != LiveClock::running);
}

// Alt+Enter counts by the state of Alt when Enter went down: the two may be
// let go in either order.
static bool alt_enter_pressed = false;

static void on_key_press(const SDL_keysym &key) {
    if (key.sym == SDLK_RETURN || key.sym == SDLK_KP_ENTER) {
        alt_enter_pressed = (key.mod & KMOD_ALT) != 0;
    }
}

static void on_key_release(const SDL_keysym &key) {
    switch (key.sym) {
    case SDLK_ESCAPE:
        escape_pending = 1;
        // Handed to a held guest it would wait for the resume: the user
        // wants out, so the play goes on and the guest leaves as it does.
        if (sched_live_state() != LiveClock::running) {
            toggle_pause();
        }
        break;
    case SDLK_f:
        toggle_fullscreen();
        break;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
        if (alt_enter_pressed) {
            alt_enter_pressed = false;
            toggle_fullscreen();
        }
        break;
    case SDLK_q:
        quit_requested = 1;
        break;
    case SDLK_s:
        save_screenshot();
        break;
    case SDLK_p:
    case SDLK_PAUSE:
        toggle_pause();
        break;
    case SDLK_PERIOD:
        sched_step();
        break;
    default:
        break;
    }
}

// The whole queue first: a toggle that follows 'q' in one batch still runs.
static void drain_events() {
    SDL_Event event;
    int resize_w = 0, resize_h = 0;
    bool repaint = false;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_KEYDOWN) {
            on_key_press(event.key.keysym);
        } else if (event.type == SDL_KEYUP) {
            on_key_release(event.key.keysym);
        } else if (event.type == SDL_QUIT) {
            quit_requested = 1;
        } else if (event.type == SDL_VIDEOEXPOSE ||
                   (event.type == SDL_ACTIVEEVENT && event.active.gain &&
                    (event.active.state & SDL_APPACTIVE))) {
            // Uncovered or restored: not every library redraws by itself,
            // and a paused guest presents nothing new.
            repaint = true;
        } else if (event.type == SDL_VIDEORESIZE) {
            // Only the last size of a batch is worth a new surface.
            resize_w = event.resize.w;
            resize_h = event.resize.h;
        }
    }
    if (resize_w > 0) {
        resize_display(resize_w, resize_h);
    } else if (repaint) {
        repaint_display();
    }
    if (quit_requested) {
        exit(0);
    }
}

// guest: redirect, arg code 0 (keyboard status)
GUEST_ENTRY int32_t poll_events() {
    const HostCall host_call;
    tick_counter = ticks_for_ms(sched_ms());
    drain_events();
    // Paused, the guest's loop waits in there with the window alive.
    sched_poll(drain_events);
    sched_safe_point();
    return escape_pending ? -1 : 0;
}

// guest: redirect, arg code 0 (key read)
GUEST_ENTRY int32_t read_key() {
    const HostCall host_call;
    if (escape_pending) {
        escape_pending = 0;
        return 27;
    }
    return 0;
}

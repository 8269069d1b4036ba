// Event pump, keyboard and the emulated BIOS tick counter.
#include "machine/events.h"

#include <SDL.h>
#include <cstdlib>

#include "machine/clock.h"
#include "machine/display.h"
#include "machine/screenshot.h"
#include "shell/guest_abi.h"

int32_t tick_counter = 0;
int escape_pending = 0;
int quit_requested = 0;

// The reference is t x 18.2 / 1000 in double precision, which equals this
// quotient for every 32-bit t; integers keep it so at any x87 precision.
int32_t ticks_for_ms(uint32_t t) {
    return static_cast<int32_t>(static_cast<uint64_t>(t) * 91u / 5000u);
}

// guest: redirect, arg code 0 (keyboard status)
GUEST_ENTRY int32_t poll_events() {
    tick_counter = ticks_for_ms(SDL_GetTicks());
    SDL_Event event;
    int resize_w = 0, resize_h = 0;
    // The whole queue first: a toggle that follows 'q' in one batch still runs.
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_KEYUP) {
            switch (event.key.keysym.sym) {
            case SDLK_ESCAPE:
                escape_pending = 1;
                break;
            case SDLK_f:
                toggle_fullscreen();
                break;
            case SDLK_q:
                quit_requested = 1;
                break;
            case SDLK_s:
                save_screenshot();
                break;
            default:
                break;
            }
        } else if (event.type == SDL_QUIT) {
            quit_requested = 1;
        } else if (event.type == SDL_VIDEORESIZE) {
            // Only the last size of a batch is worth a new surface.
            resize_w = event.resize.w;
            resize_h = event.resize.h;
        }
    }
    if (resize_w > 0) {
        resize_display(resize_w, resize_h);
    }
    if (quit_requested) {
        exit(0);
    }
    SDL_Delay(poll_pause_ms);
    return escape_pending ? -1 : 0;
}

// guest: redirect, arg code 0 (key read)
GUEST_ENTRY int32_t read_key() {
    if (escape_pending) {
        escape_pending = 0;
        return 27;
    }
    return 0;
}

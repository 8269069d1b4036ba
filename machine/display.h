// Display and palette: mode 13h, the guest's VGA (display.cpp), and live
// play's window on top of SDL 1.2 (window.cpp).
#pragma once

#include <SDL.h>
#include <atomic>
#include <cstdint>

#include "shell/guest_abi.h"

extern SDL_mutex *video_mutex;
extern SDL_Surface *screen;
extern SDL_Surface *frame_surface;
extern uint8_t frame_pixels[64000];
extern SDL_Color host_palette[256];
extern uint32_t video_flags;
// The picture the window shows and its colours: the last presented frame or
// whole-screen clear (what a screenshot saves).
extern uint8_t shown_pixels[64000];
extern SDL_Color shown_palette[256];
// Picture options: square guest pixels (16:10) instead of 4:3, and the
// window's whole scale factor (0: the largest that fits the desktop).
extern int square_pixels;
extern int scale_factor;
// Set once the process is ending: no section touches the surfaces again.
extern std::atomic<int> display_closing;

constexpr guest_addr video_memory = 0xA0000;

void set_mode_13h();
// Live, after SDL's video started: a driver that shows nothing that was not
// asked for by name is one fatal line.
void check_display();
void set_palette(const uint8_t *colours);
void toggle_fullscreen();
// The window's caption names the release, and says when the player is paused.
void set_caption(bool paused);
// The window's new size (SDL_VIDEORESIZE): the picture refits, centred.
void resize_display(int w, int h);
// The window shows its picture again (it was uncovered or restored).
void repaint_display();
// Live: waits until every presented frame has been shown at its time.
void present_waiting_frames();
// The window's scale factor for the options and the desktop.
int window_factor();
// A -scale factor whose window would not fit the desktop is brought down to
// the largest that does, with one line on stderr. Once the desktop is known.
void fit_scale_to_desktop();
void own_vmutex(int site);
void disown_vmutex(int site);
// Drops both surfaces so that no later frame, clear or upload uses them; a
// section still under way on another thread keeps them until it ends.
void release_display();
// The window's surfaces forgotten (release_display decides when).
void drop_window_surfaces();

// Reached from guest code (redirects and hooks).
void fade_palette(int32_t code);
uint32_t guest_memset(uint32_t dst, uint32_t value, uint32_t count);
void fill_palette_solid(uint32_t edi, uint32_t esi, uint32_t ebp, uint32_t esp, uint32_t ebx,
                        uint32_t edx, uint32_t ecx, uint32_t eax);
void blank_palette();
void copy_frame(uint32_t src, uint32_t dst, uint32_t count);

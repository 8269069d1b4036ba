// Screenshots: the guest's current frame as an indexed PNG in the working
// directory.
#pragma once

#include <SDL.h>
#include <cstddef>
#include <cstdint>
#include <string>

// Saves frame_pixels in host_palette as the next free lumox-NNNN.png and says
// so on stdout. A failure is one warning line on stderr; the demo goes on.
void save_screenshot();
// The highest NNNN; four digits, lowered only by tests.
extern int last_screenshot_number;

// A 320x200 8-bit indexed PNG of pixels in palette, with the 5:6 pixel aspect
// of the guest's mode, into png. Its size; 0, with the reason in error, when
// libpng fails or the file would not fit capacity.
size_t encode_frame_png(const uint8_t *pixels, const SDL_Color *palette, uint8_t *png,
                        size_t capacity, std::string &error);

// Writes all bytes to fd; false with errno kept when the system refuses.
bool write_all(int fd, const uint8_t *bytes, size_t size);

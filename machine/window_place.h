// The live window's place on an X display, kept across full screen.
#pragma once

// Before the window becomes full screen.
void remember_window_place();
// After it became a window again: where it was.
void restore_window_place();
// After it became full screen: over the desktop's origin.
void place_full_screen();

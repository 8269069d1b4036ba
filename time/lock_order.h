// The host's locks and the one order they are taken in. A thread holding a
// lock may take only locks further down this list (or the same one again,
// where that lock is recursive):
//
//   1. demo time (time/scheduler.cpp): around every advance of demo time and
//      every change of the event queue; its handlers produce sound and frames.
//   2. SDL's audio lock: SDL holds it around each audio callback; the host
//      takes it through SDL_PauseAudio and friends.
//   3. sound (sound/output.cpp): the state shared with music passes, which
//      run guest code that may upload a palette.
//   4. video (machine/display.cpp): palette upload, picture, window.
//   5. the encoder's queue (render/encoder.cpp).
//
// So nothing that holds the sound lock calls into SDL's audio functions, and
// nothing that holds the video lock waits for sound or demo time. Builds with
// LUMOX_LOCK_CHECKS (the debug and sanitizer builds) check every take against
// the locks the thread holds and end the process on a wrong order.
#pragma once

enum class LockRank : unsigned { demo = 1, sdl_audio = 2, sound = 3, video = 4, encoder_queue = 5 };

#ifdef LUMOX_LOCK_CHECKS
// Called just before a lock is taken (and may end the process), and just
// after it is let go. Outermost takes and releases only.
void lock_taking(LockRank rank);
void lock_released(LockRank rank);
#else
inline void lock_taking(LockRank) {}
inline void lock_released(LockRank) {}
#endif

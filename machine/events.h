// Event pump, keyboard and the emulated BIOS tick counter.
#pragma once

#include <atomic>
#include <cstdint>

extern int32_t tick_counter;
// Set on the main thread by a key, or by a render at its -seconds.
extern std::atomic<int> escape_pending;
extern int quit_requested;

// Ticks of 1/18.2 s in t milliseconds: (t * 91) / 5000, exact for every t.
int32_t ticks_for_ms(uint32_t t);

// Reached from guest code (redirects, arg code 0).
int32_t poll_events();
int32_t read_key();

// The emulated player timer: player passes driven by the audio output or,
// when muted, by the scheduler's timer (an SDL timer in live play).
#pragma once

#include <SDL.h>
#include <atomic>
#include <cstdint>

#include "time/scheduler.h"

struct SoundDevice;

extern SoundDevice *timer_device;
extern uint32_t player_slots[16];
extern int timer_running;
extern int timer_interval_ms;
extern int rate_interval_ms;
extern uint32_t timer_callback_1, timer_callback_2, timer_callback_3;

void run_player_pass();
Uint32 timer_tick(Uint32 interval_ms, void *param);
void timer_next_interval();

// Reached from guest code (redirects, stack arguments).
int timer_init(SoundDevice *device);
int timer_close();
int timer_play_player(uint32_t routine, int *index_out);
int timer_stop_player(int index);
int timer_set_callbacks(int interval_ms, uint32_t callback_1, uint32_t callback_2,
                        uint32_t callback_3);
int timer_set_rate(unsigned rate);

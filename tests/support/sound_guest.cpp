#include "support/sound_guest.h"

#include <cstdio>
#include <cstring>

#include "binding/catalogue.h"
#include "sound/timer.h"

SoundGuest sound_guest;
SoundScript script;

static GuestSymbol symbols[sym::count + 1];

static uint32_t addr(const void *p) {
    return reinterpret_cast<uint32_t>(p);
}

uint8_t mixed_pattern(uint32_t i) {
    // Period 251 (prime), so a gap or a repeat of any buffer-sized run shows.
    return static_cast<uint8_t>((i % 251) + 3);
}

static int pass_start() {
    script.log += "start ";
    DmaBuffer *buffer = playing_buffer;
    if (buffer && script.passes_mixed < script.pass_bytes_count) {
        // Reports the scripted count but writes no more than the area holds.
        const int n = script.pass_bytes[script.passes_mixed++];
        for (int i = 0; i < n && i < buffer->size; i++) {
            buffer->data[i] = mixed_pattern(script.pattern_position++);
        }
        sound_guest.mix_length = n;
    }
    return script.start_result;
}

static int cycle(int *more_cycles) {
    script.log += "cycle ";
    // With an empty script it stores nothing at all.
    if (script.more_cycles_count > 0) {
        const int i = script.cycle_calls < script.more_cycles_count ? script.cycle_calls
                                                                    : script.more_cycles_count - 1;
        *more_cycles = script.more_cycles[i];
    }
    script.cycle_calls++;
    return script.cycle_calls == script.cycle_result_at ? script.cycle_result : 0;
}

static void error_report(int code) {
    script.log += "error ";
    script.error_code = code;
    fprintf(stderr, "guest error %d\n", code);
}

static int mixer_open(int rate, int mode_word, int constant) {
    script.mixer_open_args[0] = rate;
    script.mixer_open_args[1] = mode_word;
    script.mixer_open_args[2] = constant;
    script.mixer_open_calls++;
    return script.mixer_open_result;
}

static int close_hook() {
    script.log += "close ";
    return script.close_hook_result;
}

template <int N> static int player_n() {
    script.log += "p" + std::to_string(N) + " ";
    return script.player_result;
}

template <int N> static void callback_n() {
    script.log += "cb" + std::to_string(N) + " ";
}

uint32_t player(int n) {
    static int (*const players[])() = {player_n<0>,  player_n<1>,  player_n<2>,  player_n<3>,
                                       player_n<4>,  player_n<5>,  player_n<6>,  player_n<7>,
                                       player_n<8>,  player_n<9>,  player_n<10>, player_n<11>,
                                       player_n<12>, player_n<13>, player_n<14>, player_n<15>,
                                       player_n<16>, player_n<17>, player_n<18>, player_n<19>};
    return addr(reinterpret_cast<const void *>(players[n]));
}

uint32_t callback(int n) {
    static void (*const callbacks[])() = {callback_n<1>, callback_n<2>, callback_n<3>};
    return addr(reinterpret_cast<const void *>(callbacks[n - 1]));
}

uint32_t standin(const char *name) {
    if (strcmp(name, "start") == 0) {
        return addr(reinterpret_cast<const void *>(pass_start));
    }
    if (strcmp(name, "cycle") == 0) {
        return addr(reinterpret_cast<const void *>(cycle));
    }
    if (strcmp(name, "error") == 0) {
        return addr(reinterpret_cast<const void *>(error_report));
    }
    if (strcmp(name, "mixer_open") == 0) {
        return addr(reinterpret_cast<const void *>(mixer_open));
    }
    if (strcmp(name, "close") == 0) {
        return addr(reinterpret_cast<const void *>(close_hook));
    }
    return 0;
}

void install_sound_guest() {
    memset(&sound_guest, 0, sizeof sound_guest);
    sound_guest.sound_ready = 1;
    sound_guest.device.pass_start = standin("start");
    sound_guest.device.cycle = standin("cycle");

    script = SoundScript{};
    script.error_code = -1;

    for (int i = 0; i < sym::count; i++) {
        symbols[i] = {1, 0};
    }
    symbols[sym::mix_length].location = addr(&sound_guest.mix_length);
    symbols[sym::guard_table].location = addr(sound_guest.guard_table);
    symbols[sym::sound_ready].location = addr(&sound_guest.sound_ready);
    symbols[sym::sound_device].location = addr(&sound_guest.device);
    symbols[sym::device_extra].location = addr(sound_guest.device_extra);
    symbols[sym::device_list].location = addr(sound_guest.device_list);
    symbols[sym::guest_close_hook].location = standin("close");
    symbols[sym::guest_mixer_open].location = standin("mixer_open");
    symbols[sym::guest_error_report].location = standin("error");
    symbols[sym::count] = {0, 0};
    guest_symbols = symbols;

    playing_buffer = nullptr;
    leftover_bytes = 0;
    leftover_offset = 0;
    timer_device = nullptr;
    memset(player_slots, 0, sizeof player_slots);
    timer_running = 0;
    timer_interval_ms = 0;
    rate_interval_ms = 0;
    timer_callback_1 = timer_callback_2 = timer_callback_3 = 0;
    timer_id = nullptr;
}

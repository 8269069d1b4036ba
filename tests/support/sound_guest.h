// A stand-in for the guest's sound system: the guest data the sound and timer
// routines use, in test memory, named by a bound symbol table, and "guest"
// routines that are plain host functions recording what was called.
#pragma once

#include <cstdint>
#include <string>

#include "sound/sound.h"

struct GuardRecord {
    uint8_t unused0[12];
    int32_t value; // 37 ends a pass
};
static_assert(offsetof(GuardRecord, value) == 12);

struct SoundGuest {
    int32_t sound_ready;
    int32_t mix_length;
    uint32_t guard_table[17];
    SoundDevice device;
    uint8_t device_extra[64];
    uint32_t device_list[8];
};

// What the stand-ins do and what they saw. Reset by install_sound_guest.
struct SoundScript {
    // Values the cycle routine stores in more_cycles, one per call; the last
    // one repeats. With none it stores nothing.
    int more_cycles[32];
    int more_cycles_count;
    int cycle_calls;
    int start_result;    // returned by the pass-start routine
    int cycle_result_at; // call number (1-based) that returns cycle_result; 0 never
    int cycle_result;
    int player_result;      // returned by every player
    int mixer_open_result;  // returned by the mixer-open routine
    int mixer_open_args[3]; // rate, mode word, constant
    int mixer_open_calls;
    int close_hook_result;
    int error_code; // last code given to the error report, -1 none
    // Bytes each pass reports in mix_length (nothing is stored when the list
    // runs out); the pass start fills them, up to the area's size, with the
    // pattern from offset 0 of the playing buffer's data.
    int pass_bytes[64];
    int pass_bytes_count;
    int passes_mixed;
    uint32_t pattern_position; // running position in the pattern
    std::string log;           // "start cycle cb1 p3 ..." in call order
};

extern SoundGuest sound_guest;
extern SoundScript script;

// Points guest_symbols at sound_guest and the stand-in routines, clears the
// guest data (sound_ready = 1) and the script, and zeroes every host state of
// the sound device and the timer. Frees nothing: tests free their buffers.
void install_sound_guest();

// Stand-in routines (plain cdecl host functions), as guest addresses: "start"
// (pass start; mixes the scripted bytes), "cycle", "error" (prints "guest
// error N" on stderr), "mixer_open", "close".
uint32_t standin(const char *name);
// The player "pN" logs its name; players p0 ... p19 exist.
uint32_t player(int n);
// Callbacks "cb1" ... "cb3".
uint32_t callback(int n);

// Byte at position i of the known pattern the stand-in mixer writes.
uint8_t mixed_pattern(uint32_t i);

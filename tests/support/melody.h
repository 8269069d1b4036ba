// The sample's melody in recorded sound: where one note gives way to the
// next, found from the sound itself.
#pragma once

#include <cstdint>
#include <vector>

// Power of one frequency in a window of the left channel of interleaved
// stereo, relative to the window's whole power (1 for a pure tone).
double tone_share(const std::vector<int16_t> &stereo, int64_t at, int64_t window, double hz,
                  int rate);
// Where the sound changes from note a to note b within `span` samples of
// `around` (an eighth of a second unless given): the sample that best splits
// a window of a before it from a window of b after it; -1 when no clean
// change is there.
int64_t note_onset(const std::vector<int16_t> &stereo, int rate, int a, int b, int64_t around,
                   int64_t span = 0);

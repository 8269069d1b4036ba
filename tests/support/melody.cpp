#include "support/melody.h"

#include <cmath>

#include "support/sample_run.h"

double tone_share(const std::vector<int16_t> &stereo, int64_t at, int64_t window, double hz,
                  int rate) {
    const double w = 2 * M_PI * hz / rate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (int64_t i = at; i < at + window; i++) {
        const double v = stereo[2 * i];
        const double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += v * v;
    }
    return energy <= 0 ? 0 : (s1 * s1 + s2 * s2 - c * s1 * s2) / (energy * window / 2);
}

int64_t note_onset(const std::vector<int16_t> &stereo, int rate, int a, int b, int64_t around,
                   int64_t span) {
    const int64_t window = rate / 50, frames = static_cast<int64_t>(stereo.size()) / 2;
    if (span <= 0) {
        span = rate / 8;
    }
    int64_t best = -1;
    double best_score = 0;
    for (int64_t s = around - span; s <= around + span; s += 4) {
        if (s - window < 0 || s + window > frames) {
            continue;
        }
        const double score = tone_share(stereo, s - window, window, sample_melody_hz[a], rate) +
                             tone_share(stereo, s, window, sample_melody_hz[b], rate);
        if (score > best_score) {
            best_score = score;
            best = s;
        }
    }
    return best_score > 1.5 ? best : -1;
}

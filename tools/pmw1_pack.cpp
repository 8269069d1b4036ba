// PMW1 stream encoder: a token writer that places control words exactly where
// the decoder will read them, and an LZ77 match finder on hash chains with
// one step of lazy evaluation and a bit-cost model of the token forms.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tools/image_writer.h"

namespace {

void put_bit(Pmw1Stream &s, uint32_t bit) {
    // A new word goes where the input stands when the decoder runs out.
    if (s.bits_free == 0) {
        s.word_at = s.bytes.size();
        s.bytes.resize(s.bytes.size() + 4, 0);
        s.bits_free = 32;
    }
    s.bits_free--;
    if (bit) {
        s.bytes[s.word_at + s.bits_free / 8] |= static_cast<uint8_t>(1u << (s.bits_free % 8));
    }
}

void put_bits(Pmw1Stream &s, uint32_t value, int n) {
    while (n-- > 0) {
        put_bit(s, value >> n & 1);
    }
}

void put_byte(Pmw1Stream &s, uint32_t byte) {
    s.bytes.push_back(static_cast<uint8_t>(byte));
}

void put_length(Pmw1Stream &s, uint32_t length) {
    if (length <= 6) {
        put_bits(s, 1, static_cast<int>(length - 2)); // 3: 1, 4: 01, 5: 001, 6: 0001
        return;
    }
    put_bits(s, 0, 4);
    if (length <= 14) {
        put_bit(s, 0);
        put_bits(s, length - 7, 3);
    } else {
        put_bit(s, 1);
        put_byte(s, length - 15);
    }
}

struct FormRange {
    uint32_t max_distance;
    uint32_t min_length, max_length;
};
constexpr FormRange form_ranges[] = {
    {255, 2, 2}, {2048, 2, 2}, {256, 3, 270}, {1024, 3, 270}, {4096, 3, 270}};

} // namespace

void pmw1_put_literal(Pmw1Stream &s, uint8_t byte) {
    if (s.started) {
        put_bit(s, 0);
    }
    s.started = true;
    put_byte(s, byte);
    s.stats.literals++;
}

void pmw1_put_match(Pmw1Stream &s, Pmw1Form form, uint32_t distance, uint32_t length) {
    const FormRange &range = form_ranges[static_cast<int>(form)];
    if (!s.started || distance < 1 || distance > range.max_distance || length < range.min_length ||
        length > range.max_length) {
        throw std::invalid_argument("pmw1 match outside its form");
    }
    const uint32_t v = distance - 1;
    put_bit(s, 1);
    switch (form) {
    case Pmw1Form::short_low:
        put_byte(s, distance);
        put_bits(s, 0b00, 2);
        break;
    case Pmw1Form::short_high:
        put_byte(s, v & 0xFF);
        put_bits(s, 0b01, 2);
        put_bits(s, v >> 8, 3);
        break;
    case Pmw1Form::long_near:
        put_byte(s, v);
        put_bits(s, 0b10, 2);
        put_length(s, length);
        break;
    case Pmw1Form::long_mid:
        put_byte(s, v & 0xFF);
        put_bits(s, 0b110, 3);
        put_bits(s, v >> 8, 2);
        put_length(s, length);
        break;
    case Pmw1Form::long_far:
        put_byte(s, v & 0xFF);
        put_bits(s, 0b111, 3);
        put_bits(s, v >> 8, 4);
        put_length(s, length);
        break;
    case Pmw1Form::count:
        break;
    }
    s.stats.matches[static_cast<int>(form)]++;
    if (length >= 3) {
        s.stats.long_lengths[length]++;
    }
}

void pmw1_put_end(Pmw1Stream &s) {
    if (!s.started) {
        throw std::invalid_argument("pmw1 stream without a first literal");
    }
    put_bit(s, 1);
    put_byte(s, 0);
    put_bits(s, 0b00, 2);
    s.stats.end_markers++;
}

namespace {

constexpr uint32_t window = 4096;       // farthest long match
constexpr uint32_t short_window = 2048; // farthest short match
constexpr uint32_t max_length = 270;
constexpr int chain_depth = 64;
constexpr int hash_bits = 15;
constexpr uint32_t literal_bits = 9;

uint32_t length_code_bits(uint32_t length) {
    if (length <= 6) {
        return length - 2;
    }
    return length <= 14 ? 8 : 13;
}

Pmw1Form long_form(uint32_t distance) {
    if (distance <= 256) {
        return Pmw1Form::long_near;
    }
    return distance <= 1024 ? Pmw1Form::long_mid : Pmw1Form::long_far;
}

uint32_t match_bits(uint32_t distance, uint32_t length) {
    if (length == 2) {
        return distance <= 255 ? 11 : 14;
    }
    const uint32_t distance_bits = distance <= 256 ? 11 : distance <= 1024 ? 14 : 16;
    return distance_bits + length_code_bits(length);
}

struct Match {
    uint32_t length = 0;
    uint32_t distance = 0;
    int gain = 0; // bits saved against literals
};

struct Finder {
    const uint8_t *data;
    size_t size;
    std::vector<int32_t> head;  // newest position of each 3-byte hash
    std::vector<int32_t> prev;  // previous position with the same hash
    std::vector<int32_t> pairs; // newest position of each 2-byte pair
    size_t inserted = 0;        // positions below this are in the tables
};

uint32_t hash3(const uint8_t *p) {
    const uint32_t v = p[0] | p[1] << 8 | p[2] << 16;
    return (v * 2654435761u) >> (32 - hash_bits);
}

void insert_up_to(Finder &f, size_t pos) {
    for (; f.inserted < pos; f.inserted++) {
        const size_t i = f.inserted;
        if (i + 3 <= f.size) {
            const uint32_t h = hash3(f.data + i);
            f.prev[i] = f.head[h];
            f.head[h] = static_cast<int32_t>(i);
        }
        if (i + 2 <= f.size) {
            f.pairs[f.data[i] | f.data[i + 1] << 8] = static_cast<int32_t>(i);
        }
    }
}

void consider(Match &best, uint32_t distance, uint32_t length) {
    const int gain =
        static_cast<int>(literal_bits * length) - static_cast<int>(match_bits(distance, length));
    if (gain > best.gain) {
        best = {length, distance, gain};
    }
}

Match best_match(Finder &f, size_t pos) {
    insert_up_to(f, pos);
    Match best;
    const uint8_t *here = f.data + pos;
    const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(max_length, f.size - pos));
    if (limit >= 3) {
        int32_t c = f.head[hash3(here)];
        for (int depth = 0; c >= 0 && depth < chain_depth; depth++, c = f.prev[c]) {
            const uint32_t distance = static_cast<uint32_t>(pos - c);
            if (distance > window) {
                break;
            }
            const uint8_t *there = f.data + c;
            // Candidates come nearest first, so one that is no longer than
            // the best so far cannot beat it.
            if (there[best.length] != here[best.length]) {
                continue;
            }
            uint32_t length = 0;
            while (length < limit && there[length] == here[length]) {
                length++;
            }
            if (length >= 3) {
                consider(best, distance, length);
            }
            if (length == limit) {
                break;
            }
        }
    }
    if (limit >= 2) {
        const int32_t c = f.pairs[here[0] | here[1] << 8];
        if (c >= 0 && pos - c <= short_window) {
            consider(best, static_cast<uint32_t>(pos - c), 2);
        }
    }
    return best;
}

void put_chosen(Pmw1Stream &s, const Match &m) {
    if (m.length == 2) {
        pmw1_put_match(s, m.distance <= 255 ? Pmw1Form::short_low : Pmw1Form::short_high,
                       m.distance, 2);
    } else {
        pmw1_put_match(s, long_form(m.distance), m.distance, m.length);
    }
}

} // namespace

std::vector<uint8_t> pmw1_pack(const uint8_t *data, size_t size, Pmw1Stats *stats) {
    Pmw1Stream s;
    if (size == 0) {
        if (stats) {
            *stats = s.stats;
        }
        return {};
    }
    s.bytes.reserve(size / 2 + 16);
    Finder f = {data,
                size,
                std::vector<int32_t>(1u << hash_bits, -1),
                std::vector<int32_t>(size, -1),
                std::vector<int32_t>(65536, -1),
                0};

    pmw1_put_literal(s, data[0]); // the first token is always a literal
    size_t pos = 1;
    Match pending = best_match(f, pos);
    while (pos < size) {
        Match m = pending;
        if (m.gain <= 0) {
            pmw1_put_literal(s, data[pos]);
            pos++;
            if (pos < size) {
                pending = best_match(f, pos);
            }
            continue;
        }
        // One step of lazy evaluation: a better match one byte later is
        // worth a literal now.
        if (pos + 1 < size) {
            const Match next = best_match(f, pos + 1);
            if (next.gain > m.gain) {
                pmw1_put_literal(s, data[pos]);
                pos++;
                pending = next;
                continue;
            }
        }
        put_chosen(s, m);
        pos += m.length;
        if (pos < size) {
            pending = best_match(f, pos);
        }
    }
    pmw1_put_end(s);
    if (stats) {
        *stats = s.stats;
    }
    return std::move(s.bytes);
}

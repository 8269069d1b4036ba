// PMW1 stream decoder: LZ77 tokens steered by 32-bit control words that are
// interleaved with the data bytes in the order the decoder consumes them.
#include "loader/loader_internal.h"
#include "shell/fatal.h"

namespace {

struct Reader {
    const uint8_t *in;
    const uint8_t *end;
    uint32_t bits; // unused control bits, the next one in bit 31
    int left;      // control bits still valid in bits
};

// One token needs at most 16 control bits (so one new word) and two data
// bytes, and writes at most 270 bytes; a run of literals takes at most 32
// bytes. While that much input and room are left (a word loaded ahead of a
// token included), tokens are decoded without the per-read checks.
constexpr ptrdiff_t fast_input_min = 4 + 32 + 6;
constexpr ptrdiff_t fast_output_min = 270 + 32;

// The start state makes the first bit a 0 that costs no input: every stream
// begins with a literal, and its first control word follows that byte.
template <bool checked> inline uint32_t next_bit(Reader &r) {
    if (r.left == 0) {
        if (checked && r.end - r.in < 4) {
            fatal("unpack input");
        }
        r.bits = get_u32(r.in);
        r.in += 4;
        r.left = 32;
    }
    r.left--;
    const uint32_t bit = r.bits >> 31;
    r.bits <<= 1;
    return bit;
}

// n control bits, the first one taken as the most significant.
template <bool checked> inline uint32_t next_bits(Reader &r, int n) {
    uint32_t v = 0;
    while (n-- > 0) {
        v = v << 1 | next_bit<checked>(r);
    }
    return v;
}

template <bool checked> inline uint32_t next_byte(Reader &r) {
    if (checked && r.in == r.end) {
        fatal("unpack input");
    }
    return *r.in++;
}

// Forward, one byte at a time: a source overlapping the destination repeats
// the bytes just written.
inline void copy_match(uint8_t *dst, const uint8_t *src, uint32_t len) {
    for (uint32_t k = 0; k < len; k++) {
        dst[k] = src[k];
    }
}

// Decodes one token; false at the end marker.
template <bool checked>
inline bool next_token(Reader &r, const uint8_t *dst, uint8_t *&out, const uint8_t *out_end) {
    if (next_bit<checked>(r) == 0) {
        const uint32_t literal = next_byte<checked>(r);
        if (checked && out == out_end) {
            fatal("unpack output");
        }
        *out++ = static_cast<uint8_t>(literal);
        return true;
    }
    const uint32_t low = next_byte<checked>(r);
    uint32_t distance;
    uint32_t length;
    if (next_bit<checked>(r) == 0) {
        if (next_bit<checked>(r) == 0) {
            if (low == 0) {
                return false;
            }
            distance = low;
        } else {
            distance = low + 256 * next_bits<checked>(r, 3) + 1;
        }
        length = 2;
    } else {
        if (next_bit<checked>(r) == 0) {
            distance = low + 1;
        } else if (next_bit<checked>(r) == 0) {
            distance = 256 * next_bits<checked>(r, 2) + low + 1;
        } else {
            distance = 256 * next_bits<checked>(r, 4) + low + 1;
        }
        // Up to four 0 bits add one each; after the fourth no closing 1 is
        // read, the next bit picks the extension.
        length = 3;
        while (length < 7 && next_bit<checked>(r) == 0) {
            length++;
        }
        if (length == 7) {
            length = next_bit<checked>(r) == 0 ? 7 + next_bits<checked>(r, 3)
                                               : 15 + next_byte<checked>(r);
        }
    }
    if (distance > static_cast<size_t>(out - dst)) {
        fatal("unpack distance");
    }
    if (checked && length > static_cast<size_t>(out_end - out)) {
        fatal("unpack output");
    }
    copy_match(out, out - distance, length);
    out += length;
    return true;
}

// The form of a match from the 7 control bits after its leading 1: bits
// used (the leading 1 included), what is added to the low byte to give the
// distance, and whether a length code follows.
struct MatchForm {
    uint8_t bits;
    uint8_t is_long;
    uint16_t distance_add;
};

constexpr MatchForm match_form(uint32_t x) { // x: the 7 bits, first in bit 6
    switch (x >> 5) {
    case 0:
        return {3, 0, 0}; // 1 00: distance L (L = 0 is the end marker)
    case 1:
        return {6, 0, static_cast<uint16_t>(256 * (x >> 2 & 7) + 1)}; // 1 01 hhh
    case 2:
        return {3, 1, 1}; // 1 10
    default:
        return x & 0x10
                   ? MatchForm{8, 1, static_cast<uint16_t>(256 * (x & 15) + 1)}      // 1 111 hhhh
                   : MatchForm{6, 1, static_cast<uint16_t>(256 * (x >> 2 & 3) + 1)}; // 1 110 hh
    }
}

struct MatchForms {
    MatchForm form[128];
    constexpr MatchForms() : form() {
        for (uint32_t x = 0; x < 128; x++) {
            form[x] = match_form(x);
        }
    }
};
constexpr MatchForms match_form_table;
constexpr const MatchForm *match_forms = match_form_table.form;

// The same tokens taken from the control bits already in the buffer (bits
// not yet loaded read as 0): a run of literals at once, a match in one step
// when all its control bits are there. Returns 1 after a token, 0 at the end
// marker, -1 when the token's bits run past the buffer (nothing consumed).
inline int buffered_token(Reader &r, const uint8_t *dst, uint8_t *&out) {
    const uint32_t b = r.bits;
    if ((b >> 31) == 0) {
        int run = b ? __builtin_clz(b) : 32;
        if (run > r.left) {
            run = r.left;
        }
        for (int k = 0; k < run; k++) {
            out[k] = r.in[k];
        }
        out += run;
        r.in += run;
        r.bits = run == 32 ? 0 : b << run;
        r.left -= run;
        return 1;
    }
    const uint32_t low = r.in[0];
    const MatchForm form = match_forms[b >> 24 & 0x7F];
    int used = form.bits;
    const uint32_t distance = low + form.distance_add;
    uint32_t length = form.is_long ? 0 : 2;
    bool extension_byte = false;
    if (length == 0) {
        const uint32_t y = b << used;
        const int zeros = y ? __builtin_clz(y) : 32;
        if (zeros < 4) {
            length = 3 + zeros;
            used += zeros + 1;
        } else if ((y & 1u << 27) == 0) {
            length = 7 + (y >> 24 & 7);
            used += 8;
        } else {
            extension_byte = true;
            used += 5;
        }
    }
    if (used > r.left) {
        return -1;
    }
    r.bits = b << used;
    r.left -= used;
    r.in++;
    if (extension_byte) {
        length = 15 + *r.in++;
    }
    if (distance == 0) {
        return 0; // end marker
    }
    if (distance > static_cast<size_t>(out - dst)) {
        fatal("unpack distance");
    }
    if (length == 2) {
        // The distance is unsigned: the source is formed by subtraction, not
        // by indexing with its negation.
        const uint8_t *from = out - distance;
        out[0] = from[0];
        out[1] = from[1];
    } else {
        copy_match(out, out - distance, length);
    }
    out += length;
    return 1;
}

} // namespace

size_t pmw1_unpack(uint8_t *dst, size_t dst_len, const uint8_t *src, size_t src_len) {
    Reader r = {src, src + src_len, 0, 1};
    uint8_t *out = dst;
    uint8_t *const out_end = dst + dst_len;
    for (;;) {
        while (r.end - r.in >= fast_input_min && out_end - out >= fast_output_min) {
            if (r.left == 0) {
                r.bits = get_u32(r.in);
                r.in += 4;
                r.left = 32;
            }
            const int token = buffered_token(r, dst, out);
            if (token == 0) {
                return static_cast<size_t>(out - dst);
            }
            if (token < 0 && !next_token<false>(r, dst, out, out_end)) {
                return static_cast<size_t>(out - dst);
            }
        }
        if (!next_token<true>(r, dst, out, out_end)) {
            return static_cast<size_t>(out - dst); // end marker
        }
    }
}

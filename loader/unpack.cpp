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

// The start state makes the first bit a 0 that costs no input: every stream
// begins with a literal, and its first control word follows that byte.
inline uint32_t next_bit(Reader &r) {
    if (r.left == 0) {
        if (r.end - r.in < 4) {
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
inline uint32_t next_bits(Reader &r, int n) {
    uint32_t v = 0;
    while (n-- > 0) {
        v = v << 1 | next_bit(r);
    }
    return v;
}

inline uint32_t next_byte(Reader &r) {
    if (r.in == r.end) {
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

} // namespace

size_t pmw1_unpack(uint8_t *dst, size_t dst_len, const uint8_t *src, size_t src_len) {
    Reader r = {src, src + src_len, 0, 1};
    uint8_t *out = dst;
    uint8_t *const out_end = dst + dst_len;
    for (;;) {
        if (next_bit(r) == 0) {
            const uint32_t literal = next_byte(r);
            if (out == out_end) {
                fatal("unpack output");
            }
            *out++ = static_cast<uint8_t>(literal);
            continue;
        }
        const uint32_t low = next_byte(r);
        uint32_t distance;
        uint32_t length;
        if (next_bit(r) == 0) {
            if (next_bit(r) == 0) {
                if (low == 0) {
                    return static_cast<size_t>(out - dst); // end marker
                }
                distance = low;
            } else {
                distance = low + 256 * next_bits(r, 3) + 1;
            }
            length = 2;
        } else {
            if (next_bit(r) == 0) {
                distance = low + 1;
            } else if (next_bit(r) == 0) {
                distance = 256 * next_bits(r, 2) + low + 1;
            } else {
                distance = 256 * next_bits(r, 4) + low + 1;
            }
            // Up to four 0 bits add one each; after the fourth no closing
            // 1 is read, the next bit picks the extension.
            length = 3;
            while (length < 7 && next_bit(r) == 0) {
                length++;
            }
            if (length == 7) {
                length = next_bit(r) == 0 ? 7 + next_bits(r, 3) : 15 + next_byte(r);
            }
        }
        if (distance > static_cast<size_t>(out - dst)) {
            fatal("unpack distance");
        }
        if (length > static_cast<size_t>(out_end - out)) {
            fatal("unpack output");
        }
        copy_match(out, out - distance, length);
        out += length;
    }
}

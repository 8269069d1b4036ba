// The stream decoder against a plain reference decoder: the same output for
// every stream that decodes, the same rejection for every one that does not.
// Input: two bytes of output room (little-endian), then the stream, which
// ends exactly where the fuzzer's heap copy of the input ends.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "loader/loader.h"

namespace {

// One bit, one byte or one match at a time, every limit checked where it is
// reached, in the order the stream is consumed.
struct Reference {
    const uint8_t *in;
    const uint8_t *end;
    uint32_t bits = 0;
    int left = 1;
    const char *error = nullptr;

    bool bit(uint32_t &b) {
        if (left == 0) {
            if (end - in < 4) {
                error = "unpack input";
                return false;
            }
            bits = static_cast<uint32_t>(in[0] | in[1] << 8 | in[2] << 16) |
                   static_cast<uint32_t>(in[3]) << 24;
            in += 4;
            left = 32;
        }
        left--;
        b = bits >> 31;
        bits <<= 1;
        return true;
    }
    bool number(int n, uint32_t &v) {
        v = 0;
        for (uint32_t b; n-- > 0; v = v << 1 | b) {
            if (!bit(b)) {
                return false;
            }
        }
        return true;
    }
    bool byte(uint32_t &v) {
        if (in == end) {
            error = "unpack input";
            return false;
        }
        v = *in++;
        return true;
    }
};

// Returns the rejection message, or null with out holding the output.
const char *reference_unpack(const uint8_t *src, size_t n, size_t room, std::vector<uint8_t> &out) {
    Reference r{src, src + n};
    for (;;) {
        uint32_t b, low, h;
        if (!r.bit(b)) {
            return r.error;
        }
        if (b == 0) {
            if (!r.byte(low)) {
                return r.error;
            }
            if (out.size() == room) {
                return "unpack output";
            }
            out.push_back(static_cast<uint8_t>(low));
            continue;
        }
        if (!r.byte(low) || !r.bit(b)) {
            return r.error;
        }
        uint32_t distance, length = 2;
        if (b == 0) {
            if (!r.bit(b)) {
                return r.error;
            }
            if (b == 0) {
                if (low == 0) {
                    return nullptr; // end marker
                }
                distance = low;
            } else {
                if (!r.number(3, h)) {
                    return r.error;
                }
                distance = low + 256 * h + 1;
            }
        } else {
            if (!r.bit(b)) {
                return r.error;
            }
            if (b == 0) {
                distance = low + 1;
            } else {
                if (!r.bit(b)) {
                    return r.error;
                }
                if (!r.number(b == 0 ? 2 : 4, h)) {
                    return r.error;
                }
                distance = 256 * h + low + 1;
            }
            length = 3;
            for (;;) {
                if (!r.bit(b)) {
                    return r.error;
                }
                if (b == 1 || length == 7) {
                    break;
                }
                length++;
            }
            if (length == 7) {
                // b is the bit after the fourth 0: it picks the extension.
                if (b == 0) {
                    if (!r.number(3, h)) {
                        return r.error;
                    }
                    length = 7 + h;
                } else {
                    if (!r.byte(h)) {
                        return r.error;
                    }
                    length = 15 + h;
                }
            }
        }
        if (distance > out.size()) {
            return "unpack distance";
        }
        if (length > room - out.size()) {
            return "unpack output";
        }
        for (uint32_t k = 0; k < length; k++) {
            out.push_back(out[out.size() - distance]);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t room = data[0] | data[1] << 8;
    const uint8_t *src = data + 2;
    const size_t n = size - 2;

    std::vector<uint8_t> expected;
    const char *expected_error = reference_unpack(src, n, room, expected);

    uint8_t *dst = static_cast<uint8_t *>(malloc(room ? room : 1)); // exactly the room
    jmp_buf escape;
    fuzz_escape = &escape;
    size_t got = 0;
    const char *error = nullptr;
    if (setjmp(escape) == 0) {
        got = pmw1_unpack(dst, room, src, n);
    } else {
        error = fuzz_message;
    }
    fuzz_escape = nullptr;
    if ((error == nullptr) != (expected_error == nullptr) ||
        (error && strcmp(error, expected_error) != 0) ||
        (!error && (got != expected.size() || memcmp(dst, expected.data(), got) != 0))) {
        fprintf(stderr, "decoder: %s (%zu bytes), reference: %s (%zu bytes)\n",
                error ? error : "ok", got, expected_error ? expected_error : "ok", expected.size());
        abort();
    }
    free(dst);
    return 0;
}

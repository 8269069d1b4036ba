// Program-like sample bytes. The mix and the operand distributions are
// chosen so that the data compresses about as well as real program images
// do (roughly 2 to 3 times), neither like noise nor like zeros.
#include "tools/sample_bytes.h"

#include <algorithm>
#include <cmath>

namespace {

struct Rng {
    uint32_t state;
    uint32_t next() {
        // xorshift32: fast, and the same sequence on every machine.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint32_t below(uint32_t n) { return next() % n; }
    // Small numbers are far more common than large ones in real operands.
    uint32_t skewed(uint32_t n) { return std::min(below(n), below(n)) * below(2) + below(8); }
};

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(static_cast<uint8_t>(v >> 8 * i));
    }
}

void instruction(std::vector<uint8_t> &out, Rng &rng) {
    {
        switch (rng.below(16)) {
        case 0: // prologue
            out.insert(out.end(), {0x55, 0x89, 0xE5, 0x83, 0xEC});
            out.push_back(static_cast<uint8_t>(4 * rng.skewed(16)));
            break;
        case 1: // epilogue
            out.insert(out.end(), {0x89, 0xEC, 0x5D, 0xC3});
            break;
        case 2: // call rel32
            out.push_back(0xE8);
            put32(out, static_cast<uint32_t>(-static_cast<int32_t>(rng.skewed(60000))));
            break;
        case 3: // mov r32, [ebp+disp8]
            out.insert(out.end(), {0x8B, static_cast<uint8_t>(0x45 + 8 * rng.below(8)),
                                   static_cast<uint8_t>(4 * rng.skewed(8) + 8)});
            break;
        case 4: // mov [ebp-disp8], r32
            out.insert(out.end(), {0x89, static_cast<uint8_t>(0x45 + 8 * rng.below(8)),
                                   static_cast<uint8_t>(0x100 - 4 * rng.skewed(16) - 4)});
            break;
        case 5: // mov r32, imm32 (an address in the data object)
            out.push_back(static_cast<uint8_t>(0xB8 + rng.below(8)));
            put32(out, 0x20000 + 4 * rng.skewed(4000));
            break;
        case 6: // push r32 / pop r32
            out.push_back(static_cast<uint8_t>(0x50 + rng.below(8)));
            out.push_back(static_cast<uint8_t>(0x58 + rng.below(8)));
            break;
        case 7: // jcc rel8
            out.push_back(static_cast<uint8_t>(0x70 + rng.below(16)));
            out.push_back(static_cast<uint8_t>(rng.skewed(64)));
            break;
        case 8: // test / xor reg, reg
            out.insert(out.end(), {static_cast<uint8_t>(rng.below(2) ? 0x85 : 0x31),
                                   static_cast<uint8_t>(0xC0 + rng.below(64))});
            break;
        case 9: // add/sub/cmp r32, imm8
            out.insert(out.end(), {0x83, static_cast<uint8_t>(0xC0 + rng.below(64)),
                                   static_cast<uint8_t>(rng.skewed(32))});
            break;
        case 10: // mov r32, [abs32]
            out.insert(out.end(), {0x8B, static_cast<uint8_t>(0x05 + 8 * rng.below(8))});
            put32(out, 0x20000 + 4 * rng.skewed(4000));
            break;
        case 11: // inc/dec, lea
            out.push_back(static_cast<uint8_t>(0x40 + rng.below(16)));
            break;
        case 12: // movzx r32, byte [reg+disp8]
            out.insert(out.end(), {0x0F, 0xB6, static_cast<uint8_t>(0x40 + rng.below(64)),
                                   static_cast<uint8_t>(rng.skewed(32))});
            break;
        case 13: // jcc rel32
            out.insert(out.end(), {0x0F, static_cast<uint8_t>(0x80 + rng.below(16))});
            put32(out, rng.skewed(2000));
            break;
        case 14: // a short copy of earlier code, as compilers repeat idioms
            if (out.size() > 64) {
                const size_t from =
                    out.size() - 1 -
                    rng.below(static_cast<uint32_t>(std::min<size_t>(out.size() - 16, 3000)));
                const size_t len = 4 + rng.skewed(24);
                for (size_t i = 0; i < len; i++) {
                    out.push_back(out[from + i]);
                }
            }
            break;
        default: // nop padding to an alignment
            while (out.size() % 4 != 0) {
                out.push_back(0x90);
            }
            break;
        }
    }
}

// Compiled code is mostly the same few idioms over and over, with other
// registers and offsets now and then.
void code(std::vector<uint8_t> &out, Rng &rng, size_t n) {
    std::vector<std::vector<uint8_t>> idioms(48);
    for (std::vector<uint8_t> &idiom : idioms) {
        for (uint32_t i = 0, count = 2 + rng.below(5); i < count; i++) {
            instruction(idiom, rng);
        }
    }
    const size_t end = out.size() + n;
    while (out.size() < end) {
        if (rng.below(10) < 6) {
            const std::vector<uint8_t> &idiom = idioms[rng.skewed(48) % 48];
            out.insert(out.end(), idiom.begin(), idiom.end());
            if (!idiom.empty() && rng.below(3) == 0) {
                out[out.size() - 1 - rng.below(static_cast<uint32_t>(idiom.size()))] ^=
                    static_cast<uint8_t>(1 + rng.below(7));
            }
        } else {
            instruction(out, rng);
        }
    }
    out.resize(end);
}

void text(std::vector<uint8_t> &out, Rng &rng, size_t n) {
    static const char *const words[] = {
        "the",    "sound",    "card",     "not",     "found", "memory", "error",  "file",
        "music",  "module",   "loading",  "please",  "wait",  "press",  "any",    "key",
        "to",     "continue", "DMA",      "channel", "IRQ",   "port",   "mixing", "rate",
        "greets", "code",     "graphics", "by",      "and",   "in",     "of",     "demo"};
    const size_t end = out.size() + n;
    while (out.size() < end) {
        const char *w = words[rng.below(32)];
        while (*w) {
            out.push_back(static_cast<uint8_t>(*w++));
        }
        const uint32_t r = rng.below(12);
        out.push_back(r == 0 ? 0 : r == 1 ? '\n' : r == 2 ? '.' : ' ');
    }
    out.resize(end);
}

void table(std::vector<uint8_t> &out, Rng &rng, size_t n) {
    const size_t end = out.size() + n;
    uint32_t v = 0x10000 + 16 * rng.below(4096);
    const bool pointers = rng.below(2);
    while (out.size() < end) {
        v += pointers ? 4 * (1 + rng.skewed(32)) : 0;
        put32(out, pointers ? v : rng.skewed(300));
    }
    out.resize(end);
}

void samples(std::vector<uint8_t> &out, Rng &rng, size_t n) {
    const double step = 0.01 + 0.2 * rng.below(100) / 100.0;
    const int noise = 1 + static_cast<int>(rng.below(8));
    for (size_t i = 0; i < n; i++) {
        const double wave = 100 * std::sin(step * static_cast<double>(i)) +
                            20 * std::sin(3.1 * step * static_cast<double>(i));
        const int v = 128 + static_cast<int>(wave) + static_cast<int>(rng.below(2 * noise)) - noise;
        out.push_back(static_cast<uint8_t>(std::clamp(v, 0, 255)));
    }
}

} // namespace

std::vector<uint8_t> exe_like_bytes(size_t size, uint32_t seed) {
    Rng rng = {seed * 2654435761u + 0x9E3779B9u};
    std::vector<uint8_t> out;
    out.reserve(size + 8192);
    while (out.size() < size) {
        const uint32_t kind = rng.below(20);
        const size_t n = 256 + rng.below(8192);
        if (kind < 9) {
            code(out, rng, n);
        } else if (kind < 12) {
            text(out, rng, n / 2);
        } else if (kind < 15) {
            table(out, rng, n / 4 * 4);
        } else if (kind < 17) {
            out.insert(out.end(), 16 + rng.below(4096), 0);
        } else {
            samples(out, rng, n);
        }
    }
    out.resize(size);
    return out;
}

std::vector<ImageObject> exe_like_objects(size_t total_bytes, uint32_t seed, bool self_relative) {
    Rng rng = {seed ^ 0xA5A5A5A5u};
    const size_t code_bytes = total_bytes * 6 / 10;
    const size_t data_bytes = total_bytes * 3 / 10;
    std::vector<ImageObject> objects(3);
    objects[0].data = exe_like_bytes(code_bytes, seed);
    objects[1].data = exe_like_bytes(data_bytes, seed + 1);
    objects[2].virtual_size = static_cast<uint32_t>(total_bytes - code_bytes - data_bytes);
    objects[2].data.assign(64, 0);

    // About one absolute address every 40 bytes of code and every 128 of
    // data, as in compiled programs; fields stay 4-byte apart.
    for (uint32_t at = 16; at + 8 < code_bytes; at += 8 + 4 * rng.below(16)) {
        const uint32_t kind = rng.below(64);
        if (kind == 0) {
            objects[0].fixups.push_back({6, at, 2, 4 * rng.below(1000)});
            at += 4;
        } else if (kind == 1) {
            objects[0].fixups.push_back({2, at, 2, 0});
        } else if (self_relative && kind < 8) {
            objects[0].fixups.push_back({8, at, 1, rng.below(static_cast<uint32_t>(code_bytes))});
        } else {
            const uint32_t target = 1 + rng.below(3);
            const uint32_t size = static_cast<uint32_t>(target == 1   ? code_bytes
                                                        : target == 2 ? data_bytes
                                                                      : objects[2].virtual_size);
            objects[0].fixups.push_back({7, at, target, rng.below(size)});
        }
    }
    for (uint32_t at = 0; at + 4 <= data_bytes; at += 64 + 4 * rng.below(32)) {
        objects[1].fixups.push_back(
            {7, at, 1 + rng.below(2), rng.below(static_cast<uint32_t>(data_bytes))});
    }
    return objects;
}

// The guest's wave: two parabolas, 256 steps, values 1 to 255.
static unsigned plasma_wave(unsigned i) {
    const unsigned j = i & 127;
    unsigned p = (j * (128 - j)) >> 5;
    if (p > 127) {
        p = 127;
    }
    return (i & 128) ? 128 - p : 128 + p;
}

void sample_plasma_frame(unsigned f, uint8_t *pixels) {
    for (unsigned y = 0; y < 200; y++) {
        for (unsigned x = 0; x < 320; x++) {
            const unsigned v = plasma_wave(2 * x + 3 * f) + plasma_wave(3 * y + 2 * f) +
                               plasma_wave(x + y + 5 * f) + plasma_wave(x - 2 * y - f);
            pixels[y * 320 + x] = static_cast<uint8_t>(v >> 2);
        }
    }
}

void sample_plasma_palette(uint8_t *palette) {
    for (unsigned i = 0; i < 256; i++) {
        palette[3 * i] = static_cast<uint8_t>(plasma_wave(3 * i) >> 2);
        palette[3 * i + 1] = static_cast<uint8_t>(plasma_wave(3 * i + 85) >> 2);
        palette[3 * i + 2] = static_cast<uint8_t>(plasma_wave(3 * i + 170) >> 2);
    }
}

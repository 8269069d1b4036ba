// The PMW1 encoder of the image writers, checked through the loader's
// decoder: round trips on random and structured data, the use of every token
// kind, and how much it saves.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "loader/loader.h"
#include "tools/image_writer.h"
#include "tools/sample_bytes.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes round_trip(const Bytes &data, Pmw1Stats *stats = nullptr) {
    const Bytes packed = pmw1_pack(data.data(), data.size(), stats);
    Bytes out(data.size() + 1, 0xEE);
    const size_t n = pmw1_unpack(out.data(), data.size(), packed.data(), packed.size());
    EXPECT_EQ(out.back(), 0xEE) << "decoder wrote past the data's size";
    out.resize(n);
    return out;
}

// Random segments, runs, and copies of earlier bytes at every kind of
// distance, so that the encoder meets all its choices.
Bytes mixed_data(uint32_t seed, size_t size) {
    std::mt19937 rng(seed);
    Bytes d;
    while (d.size() < size) {
        const uint32_t kind = rng() % 4;
        const size_t n = 1 + rng() % 300;
        if (kind == 0 || d.size() < 8) {
            for (size_t i = 0; i < n; i++) {
                d.push_back(static_cast<uint8_t>(rng()));
            }
        } else if (kind == 1) {
            d.insert(d.end(), n, static_cast<uint8_t>(rng()));
        } else {
            const size_t distance = 1 + rng() % std::min<size_t>(d.size(), kind == 2 ? 300 : 6000);
            for (size_t i = 0; i < n; i++) {
                d.push_back(d[d.size() - distance]);
            }
        }
    }
    d.resize(size);
    return d;
}

TEST(Pack, RoundTripsOfRandomAndStructuredData) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
        const Bytes d = mixed_data(seed, 1000 + seed * 3000);
        ASSERT_EQ(round_trip(d), d) << "seed " << seed;
    }
    std::mt19937 rng(99);
    for (size_t size : {1, 2, 3, 4, 5, 31, 32, 33, 270, 271, 4095, 4096, 4097, 65543}) {
        Bytes noise(size);
        for (uint8_t &b : noise) {
            b = static_cast<uint8_t>(rng());
        }
        ASSERT_EQ(round_trip(noise), noise) << "size " << size;
        const Bytes zeros(size, 0);
        ASSERT_EQ(round_trip(zeros), zeros) << "size " << size;
    }
    for (uint32_t period = 1; period <= 300; period += 7) {
        Bytes d;
        for (size_t i = 0; i < 20000; i++) {
            d.push_back(static_cast<uint8_t>(i % period * 37));
        }
        ASSERT_EQ(round_trip(d), d) << "period " << period;
    }
    const Bytes program = exe_like_bytes(300000, 5);
    EXPECT_EQ(round_trip(program), program);
}

TEST(Pack, UsesEveryTokenKind) {
    // Planted copies: every long length from the nearest, middle and
    // farthest distances, and two-byte copies near and far, between random
    // bytes that give no other matches.
    std::mt19937 rng(7);
    Bytes d;
    auto noise = [&](size_t n) {
        for (size_t i = 0; i < n; i++) {
            d.push_back(static_cast<uint8_t>(rng()));
        }
    };
    auto copy = [&](size_t distance, size_t length) {
        for (size_t i = 0; i < length; i++) {
            d.push_back(d[d.size() - distance]);
        }
    };
    noise(5000);
    for (uint32_t length = 3; length <= 270; length++) {
        for (size_t distance : {200u, 700u, 3000u}) {
            copy(distance, length);
            noise(3);
        }
    }
    for (size_t distance : {17u, 250u, 1500u, 2048u}) {
        for (int i = 0; i < 5; i++) {
            copy(distance, 2);
            noise(3);
        }
    }
    Pmw1Stats stats;
    ASSERT_EQ(round_trip(d, &stats), d);
    EXPECT_GT(stats.literals, 0u);
    for (int form = 0; form < static_cast<int>(Pmw1Form::count); form++) {
        EXPECT_GT(stats.matches[form], 0u) << "form " << form;
    }
    for (uint32_t length = 3; length <= 270; length++) {
        EXPECT_GT(stats.long_lengths[length], 0u) << "length " << length;
    }
    EXPECT_EQ(stats.end_markers, 1u);
}

TEST(Pack, SavesWhatThereIsToSave) {
    const Bytes zeros(1 << 20, 0);
    // A run costs three bytes per 270.
    EXPECT_LT(pmw1_pack(zeros.data(), zeros.size()).size(), zeros.size() / 80);
    const Bytes program = exe_like_bytes(1 << 20, 1);
    EXPECT_LT(pmw1_pack(program.data(), program.size()).size(), program.size() * 6 / 10);
    // Noise grows by its control bits only: nine bits per byte at most.
    std::mt19937 rng(3);
    Bytes noise(100000);
    for (uint8_t &b : noise) {
        b = static_cast<uint8_t>(rng());
    }
    EXPECT_LE(pmw1_pack(noise.data(), noise.size()).size(), noise.size() * 9 / 8 + 16);
}

TEST(Pack, EmptyInputHasNoStream) {
    // The first token of every stream is a literal, so no stream decodes to
    // nothing.
    EXPECT_TRUE(pmw1_pack(nullptr, 0).empty());
}

TEST(Pack, TokenWriterRefusesWhatTheFormCannotSay) {
    Pmw1Stream s;
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_near, 1, 3), std::invalid_argument);
    EXPECT_THROW(pmw1_put_end(s), std::invalid_argument);
    pmw1_put_literal(s, 1);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::short_low, 256, 2), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::short_low, 0, 2), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::short_high, 2049, 2), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::short_high, 1, 3), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_near, 257, 3), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_mid, 1025, 3), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_far, 4097, 3), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_far, 1, 271), std::invalid_argument);
    EXPECT_THROW(pmw1_put_match(s, Pmw1Form::long_far, 1, 2), std::invalid_argument);
}

} // namespace

// The PMW1 stream decoder: the token grammar, the length codes and distance
// forms, overlapping copies, where control words sit, and streams that would
// take it outside its input or output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "loader/loader.h"
#include "tools/image_writer.h"
#include "tools/sample_bytes.h"

using ::testing::ExitedWithCode;
using Bytes = std::vector<uint8_t>;

namespace {

// Decodes into a buffer of the given room between two canary zones and
// returns what was produced; the canaries and the unused room must survive.
Bytes unpack(const Bytes &stream, size_t room = 1 << 16) {
    const size_t guard = 64;
    Bytes buf(room + 2 * guard, 0xEE);
    const size_t n = pmw1_unpack(buf.data() + guard, room, stream.data(), stream.size());
    EXPECT_LE(n, room);
    for (size_t i = 0; i < buf.size(); i++) {
        if (i < guard || i >= guard + n) {
            EXPECT_EQ(buf[i], 0xEE) << "byte " << i << " outside the output was touched";
            if (buf[i] != 0xEE) {
                break;
            }
        }
    }
    return Bytes(buf.begin() + guard, buf.begin() + guard + static_cast<ptrdiff_t>(n));
}

Bytes stream_of(void (*build)(Pmw1Stream &)) {
    Pmw1Stream s;
    build(s);
    return s.bytes;
}

TEST(Unpack, ByteStringsOfTheFormat) {
    EXPECT_EQ(unpack({0x41, 0x00, 0x00, 0x00, 0x80, 0x00}), Bytes{0x41});
    EXPECT_EQ(unpack({0x41, 0x00, 0x00, 0x00, 0xD8, 0x00, 0x00}), (Bytes{0x41, 0x41, 0x41, 0x41}));
    uint8_t out[4];
    const uint8_t four[] = {0x41, 0x00, 0x00, 0x00, 0xD8, 0x00, 0x00};
    EXPECT_EQ(pmw1_unpack(out, 4, four, sizeof four), 4u);
}

TEST(Unpack, TokenWriterProducesTheSameBytes) {
    EXPECT_EQ(stream_of([](Pmw1Stream &s) {
                  pmw1_put_literal(s, 0x41);
                  pmw1_put_end(s);
              }),
              (Bytes{0x41, 0x00, 0x00, 0x00, 0x80, 0x00}));
    EXPECT_EQ(stream_of([](Pmw1Stream &s) {
                  pmw1_put_literal(s, 0x41);
                  pmw1_put_match(s, Pmw1Form::long_near, 1, 3);
                  pmw1_put_end(s);
              }),
              (Bytes{0x41, 0x00, 0x00, 0x00, 0xD8, 0x00, 0x00}));
}

// One literal x, then a long match of distance 1 in the given form.
Bytes run_of(Pmw1Form form, uint32_t length) {
    Pmw1Stream s;
    pmw1_put_literal(s, 'x');
    pmw1_put_match(s, form, 1, length);
    pmw1_put_end(s);
    return s.bytes;
}

TEST(Unpack, EveryLengthCodeInEveryLongForm) {
    for (Pmw1Form form : {Pmw1Form::long_near, Pmw1Form::long_mid, Pmw1Form::long_far}) {
        for (uint32_t length = 3; length <= 270; length++) {
            ASSERT_EQ(unpack(run_of(form, length)), Bytes(length + 1, 'x'))
                << "form " << static_cast<int>(form) << " length " << length;
        }
    }
}

TEST(Unpack, LengthCodeBitsAndBytes) {
    // After 1, L, 1, 0 the length code follows directly in the same word.
    // Length 270: 0000 1 then the byte 255 after the data byte 0.
    // Control bits 1 10 00001 100: the word 0xC1800000.
    EXPECT_EQ(run_of(Pmw1Form::long_near, 270),
              (Bytes{'x', 0x00, 0x00, 0x80, 0xC1, 0x00, 0xFF, 0x00}));
    // Length 14: 0000 0 111; bits 1 10 00000111 100, the word 0xC0F00000.
    EXPECT_EQ(run_of(Pmw1Form::long_near, 14), (Bytes{'x', 0x00, 0x00, 0xF0, 0xC0, 0x00, 0x00}));
}

// Literals 0, 1, 2, ... n-1 (bytes mod 256), then one match.
Bytes after_ramp(uint32_t n, Pmw1Form form, uint32_t distance, uint32_t length) {
    Pmw1Stream s;
    for (uint32_t i = 0; i < n; i++) {
        pmw1_put_literal(s, static_cast<uint8_t>(i * 7 + i / 256));
    }
    pmw1_put_match(s, form, distance, length);
    pmw1_put_end(s);
    return s.bytes;
}

TEST(Unpack, DistanceFormsReachTheirWholeRange) {
    struct Case {
        Pmw1Form form;
        uint32_t distance, length;
    };
    // Short matches with the high part and data byte 0 (distances 256 h + 1)
    // are matches, not the end marker; 2048 is byte 255 with high part 7.
    const Case cases[] = {
        {Pmw1Form::short_low, 1, 2},     {Pmw1Form::short_low, 255, 2},
        {Pmw1Form::short_high, 1, 2},    {Pmw1Form::short_high, 256, 2},
        {Pmw1Form::short_high, 257, 2},  {Pmw1Form::short_high, 1793, 2},
        {Pmw1Form::short_high, 2048, 2}, {Pmw1Form::long_near, 1, 3},
        {Pmw1Form::long_near, 256, 9},   {Pmw1Form::long_mid, 257, 3},
        {Pmw1Form::long_mid, 1024, 20},  {Pmw1Form::long_far, 1025, 3},
        {Pmw1Form::long_far, 4096, 270}, {Pmw1Form::long_far, 2049, 100},
    };
    for (const Case &c : cases) {
        const uint32_t n = 4096;
        const Bytes out = unpack(after_ramp(n, c.form, c.distance, c.length));
        ASSERT_EQ(out.size(), n + c.length);
        for (uint32_t k = 0; k < c.length; k++) {
            ASSERT_EQ(out[n + k], out[n + k - c.distance])
                << "distance " << c.distance << " length " << c.length;
        }
        EXPECT_EQ(out[n], static_cast<uint8_t>((n - c.distance) * 7 + (n - c.distance) / 256));
    }
}

TEST(Unpack, OverlappingCopiesRepeatWhatWasJustWritten) {
    Pmw1Stream s;
    pmw1_put_literal(s, 'x');
    pmw1_put_literal(s, 'y');
    pmw1_put_match(s, Pmw1Form::long_near, 2, 5);
    pmw1_put_literal(s, 'a');
    pmw1_put_literal(s, 'b');
    pmw1_put_literal(s, 'c');
    pmw1_put_match(s, Pmw1Form::long_mid, 3, 7);
    pmw1_put_match(s, Pmw1Form::short_low, 1, 2);
    pmw1_put_end(s);
    EXPECT_EQ(unpack(s.bytes), (Bytes{'x', 'y', 'x', 'y', 'x', 'y', 'x', 'a', 'b', 'c', 'a', 'b',
                                      'c', 'a', 'b', 'c', 'a', 'a', 'a'}));
}

TEST(Unpack, AStreamEndingOnAWordsLastBitNeedsNoFurtherWord) {
    // 29 literals (one bit each) and the end marker (three bits) fill the
    // first control word exactly.
    Pmw1Stream s;
    for (int i = 0; i < 30; i++) {
        pmw1_put_literal(s, static_cast<uint8_t>('a' + i % 26));
    }
    pmw1_put_end(s);
    ASSERT_EQ(s.bits_free, 0);
    ASSERT_EQ(s.bytes.size(), 1 + 4 + 29 + 1u);
    EXPECT_EQ(unpack(s.bytes).size(), 30u);
    // One more literal pushes the end marker's last bit into a second word,
    // which follows the end marker's data byte.
    Pmw1Stream t;
    for (int i = 0; i < 31; i++) {
        pmw1_put_literal(t, 'q');
    }
    pmw1_put_end(t);
    EXPECT_EQ(t.bytes.size(), 1 + 4 + 30 + 1 + 4u);
    EXPECT_EQ(unpack(t.bytes), Bytes(31, 'q'));
}

TEST(Unpack, ExactRoomAndLargeRoomDecodeAlike) {
    // Long runs of tokens go through the decoder's unchecked path only while
    // the input and room allow; the ends are decoded with every check.
    Pmw1Stream s;
    for (int i = 0; i < 3000; i++) {
        if (i < 2 || i % 5 == 0) {
            pmw1_put_literal(s, static_cast<uint8_t>(i));
        } else {
            pmw1_put_match(s, i % 3 ? Pmw1Form::long_far : Pmw1Form::short_high, 1 + i % 2,
                           i % 3 ? 3 + i % 40 : 2);
        }
    }
    pmw1_put_end(s);
    const Bytes big = unpack(s.bytes);
    EXPECT_EQ(unpack(s.bytes, big.size()), big);
}

using UnpackDeathTest = ::testing::Test;

TEST(UnpackDeathTest, StreamWithoutEndMarkerStopsAtTheEndOfItsInput) {
    Bytes stream = {0x41, 0x00, 0x00, 0x00, 0x80, 0x00};
    stream.pop_back(); // the end marker's data byte is missing
    EXPECT_EXIT(unpack(stream), ExitedWithCode(1), "^unpack input\n$");
    const Bytes no_word = {0x41};
    EXPECT_EXIT(unpack(no_word), ExitedWithCode(1), "^unpack input\n$");
    const Bytes part_word = {0x41, 0x00, 0x00};
    EXPECT_EXIT(unpack(part_word), ExitedWithCode(1), "^unpack input\n$");
    // A long run of literals with its end cut away, through the fast path.
    Pmw1Stream s;
    for (int i = 0; i < 5000; i++) {
        pmw1_put_literal(s, static_cast<uint8_t>(i));
    }
    EXPECT_EXIT(unpack(s.bytes), ExitedWithCode(1), "^unpack input\n$");
    // A long match whose length byte is missing.
    Bytes cut = run_of(Pmw1Form::long_near, 200);
    cut.resize(cut.size() - 2);
    EXPECT_EXIT(unpack(cut), ExitedWithCode(1), "^unpack input\n$");
}

TEST(UnpackDeathTest, OutputBeyondTheDestinationStops) {
    EXPECT_EXIT(unpack({0x41, 0x00, 0x00, 0x00, 0x80, 0x00}, 0), ExitedWithCode(1),
                "^unpack output\n$");
    EXPECT_EXIT(unpack({0x41, 0x00, 0x00, 0x00, 0xD8, 0x00, 0x00}, 3), ExitedWithCode(1),
                "^unpack output\n$");
    EXPECT_EXIT(unpack(run_of(Pmw1Form::long_far, 270), 270), ExitedWithCode(1),
                "^unpack output\n$");
    // Through the fast path: far more output than room.
    Pmw1Stream s;
    pmw1_put_literal(s, 0);
    for (int i = 0; i < 100; i++) {
        pmw1_put_match(s, Pmw1Form::long_near, 1, 270);
    }
    pmw1_put_end(s);
    EXPECT_EXIT(unpack(s.bytes, 10000), ExitedWithCode(1), "^unpack output\n$");
}

TEST(UnpackDeathTest, DistanceBeforeTheStartStops) {
    EXPECT_EXIT(unpack(after_ramp(1, Pmw1Form::long_near, 2, 3)), ExitedWithCode(1),
                "^unpack distance\n$");
    EXPECT_EXIT(unpack(after_ramp(1, Pmw1Form::short_low, 2, 2)), ExitedWithCode(1),
                "^unpack distance\n$");
    EXPECT_EXIT(unpack(after_ramp(4000, Pmw1Form::long_far, 4001, 3)), ExitedWithCode(1),
                "^unpack distance\n$");
    EXPECT_EXIT(unpack(after_ramp(2000, Pmw1Form::short_high, 2001, 2)), ExitedWithCode(1),
                "^unpack distance\n$");
}

// The children below end through the fatal reporter's exit(); a leak check
// there would only scan the parent's test state, slowly.
bool in_truncation_child = false;

} // namespace

extern "C" int __lsan_is_turned_off() {
    return in_truncation_child;
}

namespace {

// n bytes that end where an inaccessible page begins: a read past the last
// byte faults in every build, not only under AddressSanitizer.
uint8_t *before_guard_page(size_t n) {
    const size_t page = 4096;
    const size_t pages = (n + page - 1) / page + 1;
    void *map =
        mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        _exit(3);
    }
    uint8_t *guard = static_cast<uint8_t *>(map) + (pages - 1) * page;
    mprotect(guard, page, PROT_NONE);
    return guard - n;
}

// Decodes the first n bytes of a stream from a buffer of exactly n bytes into
// one of exactly room bytes, each ending at a guard page, in a child; returns
// its stderr and status.
std::pair<std::string, int> unpack_prefix_in_child(const Bytes &stream, size_t n, size_t room) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return {"pipe failed", -1};
    }
    const pid_t child = fork();
    if (child == 0) {
        in_truncation_child = true;
        dup2(pipe_fds[1], 2);
        uint8_t *in = before_guard_page(n);
        memcpy(in, stream.data(), n);
        pmw1_unpack(before_guard_page(room), room, in, n);
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string err;
    char buf[256];
    for (ssize_t got; (got = read(pipe_fds[0], buf, sizeof buf)) > 0;) {
        err.append(buf, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {err, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// Every truncation of a stream ends with the input message and reads nothing
// beyond its end: a fast path that trusts more input than is left faults on
// the guard page.
TEST(UnpackDeathTest, EveryTruncationStopsInsideItsInput) {
    // Random bytes give runs of 32 literals, program-like ones matches of
    // every form: each kind of token meets the end of the input somewhere,
    // with enough room left for the fast path.
    Bytes data;
    for (uint32_t k = 0, x = 1; k < 300; k++) {
        x = x * 1103515245 + 12345;
        data.push_back(static_cast<uint8_t>(x >> 23));
    }
    const Bytes program = exe_like_bytes(800, 9);
    data.insert(data.end(), program.begin(), program.end());
    const Bytes stream = pmw1_pack(data.data(), data.size());
    ASSERT_EQ(unpack(stream, data.size()), data);
    for (size_t n = 0; n < stream.size(); n++) {
        const auto [err, status] = unpack_prefix_in_child(stream, n, data.size());
        ASSERT_EQ(err, "unpack input\n")
            << "prefix of " << n << " of " << stream.size() << " bytes";
        ASSERT_EQ(status, 1) << "prefix of " << n << " bytes";
    }
}

} // namespace

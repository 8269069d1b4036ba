// Identification of the guest file: digest first, then the MS-DOS stub and
// the new-header signature.
#include <cerrno>
#include <gtest/gtest.h>
#include <unistd.h>

#include "loader/loader.h"
#include "support/guest_files.h"
#include "support/process.h"

using ::testing::ExitedWithCode;

namespace {

struct Identify : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("lumox.exe");

    // Loads the file at path with a one-entry catalogue matching bytes.
    void load_matching(const std::vector<unsigned char> &bytes) {
        write_bytes(path, bytes);
        GuestRelease release = release_for(bytes);
        GuestRelease *releases[] = {&release, nullptr};
        load_guest_image(path.c_str(), releases);
    }
};

TEST_F(Identify, MissingFileIsReportedWithItsName) {
    GuestRelease *releases[] = {nullptr};
    EXPECT_EXIT(load_guest_image(path.c_str(), releases), ExitedWithCode(1),
                "^open .*/lumox.exe: No such file or directory\n$");
}

TEST_F(Identify, EmptyFileShowsTheDigestOfTheEmptyMessage) {
    write_bytes(path, {});
    GuestRelease other = release_for({1});
    GuestRelease *releases[] = {&other, nullptr};
    EXPECT_EXIT(load_guest_image(path.c_str(), releases), ExitedWithCode(1),
                "^md5 \\{0xd98c1dd4, 0x4b2008f, 0x980980e9, 0x7e42f8ec\\}\n$");
}

TEST_F(Identify, FileOfTwoFullChunksIsHashedWhole) {
    // 8192 bytes: two full reads and an empty one. The digest words are those
    // of md5sum's 8192-zero-byte digest 0829f71740aab1ab98b33eae21dee122.
    write_bytes(path, std::vector<unsigned char>(8192, 0));
    GuestRelease *releases[] = {nullptr};
    EXPECT_EXIT(load_guest_image(path.c_str(), releases), ExitedWithCode(1),
                "^md5 \\{0x17f72908, 0xabb1aa40, 0xae3eb398, 0x22e1de21\\}\n$");
}

TEST_F(Identify, UncataloguedImageIsRefusedBeforeItsHeadersAreRead) {
    // A file that is no executable at all: only the digest decides.
    write_bytes(path, {'Z', 'M', 1, 2, 3});
    uint8_t other[16] = {1};
    GuestRelease release = release_for({});
    std::copy(other, other + 16, release.digest);
    GuestRelease *releases[] = {&release, nullptr};
    EXPECT_EXIT(load_guest_image(path.c_str(), releases), ExitedWithCode(1), "^md5 \\{");
}

TEST_F(Identify, EarlierOfTwoEqualDigestsWins) {
    // Both entries match; the first is chosen and so reaches the stub checks,
    // which the file then fails: the point is only that no digest message comes.
    const std::vector<unsigned char> bytes = {'Z', 'M', 0, 0};
    write_bytes(path, bytes);
    GuestRelease first = release_for(bytes), second = release_for(bytes);
    GuestRelease *releases[] = {&first, &second, nullptr};
    EXPECT_EXIT(load_guest_image(path.c_str(), releases), ExitedWithCode(1), "^dos 19802\n$");
}

TEST_F(Identify, StubChecks) {
    std::vector<unsigned char> stub = dos_stub_with_signature(0x4550);
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^sig 0x4550\n\n$");

    stub = dos_stub_with_signature(0x584C); // LX
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^sig 0x584c\n\n$");

    stub = dos_stub_with_signature(0x31574D51); // one bit off PMW1
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^sig 0x31574d51\n\n$");

    stub = dos_stub_with_signature(0x4550);
    stub[24] = 63;
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^sig1\n$");

    stub = dos_stub_with_signature(0x4550);
    stub[0] = 'Z';
    stub[1] = 'M';
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^dos 19802\n$");
}

TEST_F(Identify, ShortReadsOfHeaderWords) {
    EXPECT_EXIT(load_matching({'M'}), ExitedWithCode(1), "^getus: ");
    std::vector<unsigned char> stub = dos_stub_with_signature(0);
    stub.resize(62);
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^getul: ");
    stub = dos_stub_with_signature(0);
    stub[60] = 200; // new header beyond the end of the file
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^getul: ");
}

TEST_F(Identify, HeaderOffsetBeyondAnySeekablePositionIsASeekFailure) {
    std::vector<unsigned char> stub = dos_stub_with_signature(0);
    stub[63] = 0x80;
    EXPECT_EXIT(load_matching(stub), ExitedWithCode(1), "^seek: Value too large");
}

TEST(ReadHelpersDeathTest, ZeroByteBlockReadFails) {
    TempDir dir;
    write_bytes(dir.file("f"), {1, 2, 3});
    FILE *f = fopen(dir.file("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[4];
    EXPECT_EXIT(read_exact(f, buf, 0), ExitedWithCode(1), "^read: ");
    read_exact(f, buf, 3);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EXIT(read_exact(f, buf, 1), ExitedWithCode(1), "^read: ");
    fclose(f);
}

// A short read says why, whatever an earlier call left in errno: end of file
// when the stream ended, the read's own error otherwise.
TEST(ReadHelpersDeathTest, ShortReadsNameTheirCauseNotAStaleErrno) {
    TempDir dir;
    write_bytes(dir.file("f"), {1});
    FILE *f = fopen(dir.file("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[4];
    auto stale = [](auto read) {
        errno = ENOMEM;
        read();
    };
    EXPECT_EXIT(stale([&] { read_u16(f); }), ExitedWithCode(1), "^getus: end of file\n$");
    EXPECT_EXIT(stale([&] { read_u32(f); }), ExitedWithCode(1), "^getul: end of file\n$");
    EXPECT_EXIT(stale([&] { read_exact(f, buf, 2); }), ExitedWithCode(1), "^read: end of file\n$");
    EXPECT_EXIT(stale([&] { read_exact(f, buf, 0); }), ExitedWithCode(1), "^read: empty block\n$");
    fclose(f);
    FILE *d = fopen(dir.path.c_str(), "rb"); // reads of a directory fail, not end
    ASSERT_NE(d, nullptr);
    EXPECT_EXIT(stale([&] { read_exact(d, buf, 2); }), ExitedWithCode(1),
                "^read: Is a directory\n$");
    fclose(d);
}

// A stream without positions (a pipe): the failed ftell is named, with its
// own error, not the "Success" of an errno cleared after it.
TEST(ReadHelpersDeathTest, AFailedTellNamesItself) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *f = fdopen(fds[0], "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EXIT(file_length(f), ExitedWithCode(1), "^tell: Illegal seek\n$");
    fclose(f);
    close(fds[1]);
}

TEST(ReadHelpersDeathTest, WordsAreLittleEndian) {
    TempDir dir;
    write_bytes(dir.file("f"), {0x4D, 0x5A, 0x78, 0x56, 0x34, 0x12});
    FILE *f = fopen(dir.file("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_u16(f), 0x5A4D);
    EXPECT_EQ(read_u32(f), 0x12345678u);
    seek_to(f, 1);
    EXPECT_EQ(read_u16(f), 0x785A);
    fclose(f);
}

} // namespace

// Reading the guest file and allocating for it: the helpers that
// identification and both image loaders use. Each succeeds or ends the
// process with a message naming what failed.
#include <cerrno>
#include <cstdlib>

#include "loader/loader_internal.h"
#include "shell/fatal.h"

// A failed call that left no error number behind still reports an error,
// never "Success".
[[noreturn]] static void fail_with_errno(const char *tag) {
    if (errno == 0) {
        errno = EIO;
    }
    fatal_errno("%s", tag);
}

// A short read names its cause truthfully: errno is cleared first so that no
// earlier call's error is shown, and a stream that hit its end says so.
static void read_or_end(FILE *file, void *buf, size_t n, const char *tag) {
    errno = 0;
    if (fread(buf, n, 1, file) == 1) {
        return;
    }
    if (feof(file)) {
        fatal("%s: end of file", tag);
    }
    fail_with_errno(tag);
}

uint16_t read_u16(FILE *file) {
    uint8_t b[2];
    read_or_end(file, b, 2, "getus");
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t read_u32(FILE *file) {
    uint8_t b[4];
    read_or_end(file, b, 4, "getul");
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void seek_to(FILE *file, uint32_t offset) {
    // The offset is an unsigned file position; long is 32 bits here, so
    // offsets of 2 GiB and more are refused rather than turned negative.
    if (offset > 0x7FFFFFFF) {
        errno = EOVERFLOW;
        fatal_errno("seek");
    }
    errno = 0;
    if (fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        fail_with_errno("seek");
    }
}

void seek_to_position(FILE *file, uint64_t position) {
    if (position > 0xFFFFFFFF) {
        errno = EOVERFLOW;
        fatal_errno("seek");
    }
    seek_to(file, static_cast<uint32_t>(position));
}

void empty_read(const char *what) {
    fatal("read: empty %s", what);
}

void read_exact(FILE *file, void *buf, size_t n) {
    // An empty block read is refused like a short one, though no call failed.
    if (n == 0) {
        empty_read("block");
    }
    read_or_end(file, buf, n, "read");
}

uint64_t tell_position(FILE *file) {
    errno = 0;
    const long position = ftell(file);
    if (position < 0) {
        fail_with_errno("tell");
    }
    return static_cast<uint64_t>(position);
}

uint64_t file_length(FILE *file) {
    const uint64_t here = tell_position(file);
    errno = 0;
    if (fseek(file, 0, SEEK_END) != 0) {
        fail_with_errno("seek");
    }
    const uint64_t size = tell_position(file);
    seek_to_position(file, here);
    return size;
}

void need_in_file(uint64_t size, uint64_t offset, uint64_t n) {
    // Sizes taken from the file are compared with it before anything of
    // that size is allocated; a range past its end fails as its read would.
    if (offset > size || n > size - offset) {
        fatal("read: end of file");
    }
}

void *xmalloc(size_t n) {
    void *p = malloc(n);
    if (!p) {
        fatal_errno("malloc");
    }
    return p;
}

void *xcalloc(size_t n) {
    void *p = calloc(n, 1);
    if (!p) {
        fatal_errno("calloc");
    }
    return p;
}

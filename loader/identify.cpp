// Identification of the guest file by digest, the MS-DOS stub checks, the
// dispatch to the image loaders, and the helpers every loader uses.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <md5.h>

#include "binding/catalogue.h"
#include "loader/loader.h"
#include "shell/fatal.h"

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
    if (errno == 0) {
        errno = EIO;
    }
    fatal_errno("%s", tag);
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
        fatal_errno("seek");
    }
}

void read_exact(FILE *file, void *buf, size_t n) {
    // An empty block read is refused like a short one; no call failed, so
    // the error shown is the request's.
    if (n == 0) {
        errno = EINVAL;
        fatal_errno("read");
    }
    read_or_end(file, buf, n, "read");
}

uint64_t file_length(FILE *file) {
    const long here = ftell(file);
    errno = 0;
    if (here < 0 || fseek(file, 0, SEEK_END) != 0) {
        fatal_errno("seek");
    }
    const long size = ftell(file);
    if (size < 0 || fseek(file, here, SEEK_SET) != 0) {
        fatal_errno("seek");
    }
    return static_cast<uint64_t>(size);
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

static void digest_file(FILE *file, uint8_t digest[16]) {
    MD5_CTX context;
    MD5Init(&context);
    uint8_t chunk[4096];
    for (;;) {
        const size_t got = fread(chunk, 1, sizeof chunk, file);
        MD5Update(&context, chunk, got);
        if (got < sizeof chunk) {
            break;
        }
    }
    if (ferror(file)) {
        fatal_errno("md5");
    }
    MD5Final(digest, &context);
}

static uint32_t digest_word(const uint8_t *digest, int i) {
    const uint8_t *b = digest + 4 * i;
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

int load_guest_image(const char *path, GuestRelease *const *releases) {
    FILE *file = fopen(path, "rb");
    if (!file) {
        fatal_errno("open %s", path);
    }

    uint8_t digest[16];
    digest_file(file, digest);
    int index = 0;
    while (releases[index] && memcmp(releases[index]->digest, digest, 16) != 0) {
        index++;
    }
    if (!releases[index]) {
        fatal("md5 {%#08x, %#08x, %#08x, %#08x}", digest_word(digest, 0), digest_word(digest, 1),
              digest_word(digest, 2), digest_word(digest, 3));
    }

    seek_to(file, 0);
    const uint16_t dos_signature = read_u16(file);
    if (dos_signature != 0x5A4D) {
        fatal("dos %d", dos_signature);
    }
    seek_to(file, 24);
    if (read_u16(file) < 64) {
        fatal("sig1");
    }
    seek_to(file, 60);
    const uint32_t header_offset = read_u32(file);
    seek_to(file, header_offset);
    const uint32_t signature = read_u32(file);

    GuestObject *objects;
    if ((signature & 0xFFFF) == 0x454C) {
        objects = load_le(file, header_offset);
    } else if (signature == 0x31574D50) {
        objects = load_pmw1(file, header_offset);
    } else {
        fatal("sig %#x\n", signature);
    }

    releases[index]->objects = objects;
    fclose(file);
    return index;
}

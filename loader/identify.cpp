// Identification of the guest file by digest, the MS-DOS stub checks and the
// dispatch to the image loaders.
#include <cstring>
#include <md5.h>

#include "binding/catalogue.h"
#include "loader/loader.h"
#include "shell/fatal.h"

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
    uint32_t object_count;
    if ((signature & 0xFFFF) == 0x454C) {
        objects = load_le(file, header_offset, &object_count);
    } else if (signature == 0x31574D50) {
        objects = load_pmw1(file, header_offset, &object_count);
    } else {
        fatal("sig %#x\n", signature);
    }

    releases[index]->objects = objects;
    releases[index]->object_count = object_count;
    fclose(file);
    return index;
}

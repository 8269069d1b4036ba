// Writes starting inputs for the fuzz targets from the image writers: small
// LE and PMW1 images with every fixup kind, and packed streams of every
// token form. Usage: make_seeds DIR (writes DIR/le, DIR/pmw1, DIR/unpack).
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "tools/image_writer.h"
#include "tools/sample_bytes.h"

using Bytes = std::vector<uint8_t>;

static ImageObject object(Bytes data, uint32_t virtual_size, std::vector<ImageFixup> fixups,
                          bool packed = true) {
    ImageObject o;
    o.data = std::move(data);
    o.virtual_size = virtual_size;
    o.fixups = std::move(fixups);
    o.packed = packed;
    return o;
}

static void put(const std::string &dir, int &n, const Bytes &bytes) {
    if (!write_file(dir + "/seed" + std::to_string(n++), bytes)) {
        perror(dir.c_str());
    }
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    for (const char *sub : {"", "/le", "/pmw1", "/unpack"}) {
        mkdir((root + sub).c_str(), 0755);
    }
    const std::vector<std::vector<ImageObject>> sets = {
        {object(exe_like_bytes(300, 1), 0, {{7, 4, 1, 0}})},
        {object(exe_like_bytes(5000, 2), 6000,
                {{7, 0x10, 2, 0x20}, {6, 0x100, 2, 4}, {2, 0x300, 1, 0}, {7, 4094, 1, 3}}),
         object(exe_like_bytes(200, 3), 0, {{7, 96, 1, 0x1234}})},
        {object(exe_like_bytes(100, 4), 0, {}), object({}, 70000, {}, false),
         object(exe_like_bytes(64, 5), 0, {{6, 0, 2, 69000}}, false)},
    };
    int le = 0, pmw1 = 0, unpack = 0;
    for (const auto &objects : sets) {
        std::vector<ImageObject> le_objects = objects;
        le_objects[0].fixups.push_back({8, 8, 1, 0x40});
        put(root + "/le", le, write_le_image(le_objects));
        LeOptions wide;
        wide.wide_object_numbers = wide.wide_offsets = true;
        wide.crossing = CrossingFixups::next_page_only;
        put(root + "/le", le, write_le_image(le_objects, wide));
        put(root + "/pmw1", pmw1, write_pmw1_image(objects));
        Pmw1Options small_blocks;
        small_blocks.records_per_block = 1;
        put(root + "/pmw1", pmw1, write_pmw1_image(objects, small_blocks));
    }
    // Streams: room for the output, then the stream; some with a room just
    // too small, which the decoders must reject alike.
    for (size_t size : {1, 40, 300, 3000}) {
        for (uint32_t seed = 1; seed <= 2; seed++) {
            const Bytes data = exe_like_bytes(size, seed);
            const Bytes packed = pmw1_pack(data.data(), data.size());
            for (size_t room : {size, size - 1}) {
                Bytes in = {static_cast<uint8_t>(room), static_cast<uint8_t>(room >> 8)};
                in.insert(in.end(), packed.begin(), packed.end());
                put(root + "/unpack", unpack, in);
            }
        }
    }
    Pmw1Stream s; // every form and length extension in one stream
    for (int k = 0; k < 300; k++) {
        pmw1_put_literal(s, static_cast<uint8_t>(k * 7));
    }
    pmw1_put_match(s, Pmw1Form::short_low, 255, 2);
    pmw1_put_match(s, Pmw1Form::short_high, 299, 2);
    pmw1_put_match(s, Pmw1Form::long_near, 256, 3);
    pmw1_put_match(s, Pmw1Form::long_mid, 300, 9);
    pmw1_put_match(s, Pmw1Form::long_far, 301, 270);
    pmw1_put_end(s);
    Bytes in = {0xFF, 0xFF};
    in.insert(in.end(), s.bytes.begin(), s.bytes.end());
    put(root + "/unpack", unpack, in);
    printf("seeds: %d le, %d pmw1, %d unpack\n", le, pmw1, unpack);
    return 0;
}

#include "loader_images.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

GuestObject *load_image_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return nullptr;
    }
    seek_to(f, 60);
    const uint32_t h = read_u32(f);
    seek_to(f, h);
    const uint32_t signature = read_u32(f);
    uint32_t count = 0;
    GuestObject *objects =
        (signature & 0xFFFF) == 0x454C ? load_le(f, h, &count) : load_pmw1(f, h, &count);
    fclose(f);
    return objects;
}

uint8_t *object_byte(const GuestObject &object, uint32_t k) {
    return reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(object.host_base)) + k;
}

uint32_t object_u32(const GuestObject &object, uint32_t k) {
    uint32_t v;
    memcpy(&v, object_byte(object, k), 4);
    return v;
}

uint16_t object_u16(const GuestObject &object, uint32_t k) {
    uint16_t v;
    memcpy(&v, object_byte(object, k), 2);
    return v;
}

uint32_t block_offset(const GuestObject &object) {
    return object.host_base - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object_block));
}

void patch_u8(std::vector<uint8_t> &bytes, size_t at, uint8_t v) {
    bytes.at(at) = v;
}

void patch_u16(std::vector<uint8_t> &bytes, size_t at, uint16_t v) {
    patch_u8(bytes, at, static_cast<uint8_t>(v));
    patch_u8(bytes, at + 1, static_cast<uint8_t>(v >> 8));
}

void patch_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t v) {
    patch_u16(bytes, at, static_cast<uint16_t>(v));
    patch_u16(bytes, at + 2, static_cast<uint16_t>(v >> 16));
}

uint32_t file_u32(const std::vector<uint8_t> &bytes, size_t at) {
    return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 |
           static_cast<uint32_t>(bytes.at(at + 3)) << 24;
}

GuestObject *ImageLoad::load(const std::vector<uint8_t> &image) {
    if (!write_file(path, image)) {
        ADD_FAILURE() << "cannot write " << path;
        return nullptr;
    }
    return load_file(path);
}

GuestObject *ImageLoad::load_file(const std::string &file) {
    GuestObject *objects = load_image_file(file);
    loaded.push_back({objects, object_block, object_block_size});
    return objects;
}

void ImageLoad::TearDown() {
    for (const Loaded &l : loaded) {
        free(l.objects);
        object_block = l.block;
        object_block_size = l.block_size;
        free_object_block();
    }
}

void expect_loaded(const std::vector<ImageObject> &objects, const GuestObject *loaded) {
    ASSERT_NE(loaded, nullptr);
    for (size_t k = 0; k < objects.size(); k++) {
        const ImageObject &o = objects[k];
        const uint32_t vsize =
            o.virtual_size ? o.virtual_size : static_cast<uint32_t>(o.data.size());
        ASSERT_EQ(loaded[k].virtual_size, vsize) << "object " << k + 1;
        std::vector<uint8_t> expected(o.data.begin(),
                                      o.data.begin() + std::min<size_t>(o.data.size(), vsize));
        expected.resize((vsize + 31) / 32 * 32, 0);
        for (const ImageFixup &f : o.fixups) {
            const size_t width = f.type == 2 ? 2 : f.type == 6 ? 6 : 4;
            if (f.source_offset > expected.size() || width > expected.size() - f.source_offset) {
                ADD_FAILURE() << "object " << k + 1 << ": fixup outside the place";
                continue;
            }
            uint8_t *at = expected.data() + f.source_offset;
            const uint32_t target = loaded[f.target_object - 1].host_base + f.target_offset;
            const uint32_t source = loaded[k].host_base + f.source_offset;
            const uint32_t value = f.type == 8 ? target - (source + 4) : target;
            if (f.type == 2) {
                memset(at, 0xFF, 2);
            } else {
                memcpy(at, &value, 4);
            }
            if (f.type == 6) {
                memset(at + 4, 0xFF, 2);
            }
        }
        const uint8_t *got = object_byte(loaded[k], 0);
        for (size_t i = 0; i < expected.size(); i++) {
            if (got[i] != expected[i]) {
                ADD_FAILURE() << "object " << k + 1 << " byte " << i << ": expected "
                              << int(expected[i]) << ", loaded " << int(got[i]);
                break;
            }
        }
    }
}

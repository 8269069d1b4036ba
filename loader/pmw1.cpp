// PMW1 image loader: header and object table, placement, packed and stored
// objects, and the packed fixup blocks of 10-byte records.
#include <cerrno>
#include <cstdlib>

#include "loader/loader_internal.h"
#include "shell/fatal.h"

namespace {

struct Pmw1Header {
    uint8_t signature[4];  // 0  "PMW1"
    uint32_t unused[5];    // 4  version, flags, entry and stack: not read
    uint32_t object_table; // 24
    uint32_t object_count; // 28
    uint32_t fixup_area;   // 32 base of every object's fixup offset
    uint32_t object_data;  // 36 the first object's data
};
static_assert(sizeof(Pmw1Header) == 40);
static_assert(offsetof(Pmw1Header, object_table) == 24);
static_assert(offsetof(Pmw1Header, object_data) == 36);

// One fixup record as it lies in an unpacked block.
constexpr uint32_t record_bytes = 10;
constexpr uint32_t record_source = 1; // 32-bit source offset
constexpr uint32_t record_target = 5; // 8-bit target object
constexpr uint32_t record_offset = 6; // 32-bit target offset

uint8_t *place_of(const GuestObject &o) {
    return reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(o.host_base));
}

void apply_records(const uint8_t *records, uint32_t length, GuestObject *objects, uint32_t count,
                   const GuestObject &object) {
    // A partial last record would be read past the buffer's end.
    if (length % record_bytes != 0) {
        fatal("pmw1 records");
    }
    uint8_t *place = place_of(object);
    const uint64_t room = place_size(object);
    for (const uint8_t *r = records; r < records + length; r += record_bytes) {
        const uint8_t type = r[0];
        if (type != 2 && type != 6 && type != 7) {
            fatal("rel1 t1=%d", type);
        }
        const uint32_t source = get_u32(r + record_source);
        const uint32_t width = type == 2 ? 2 : type == 6 ? 6 : 4;
        // Fields may lie in the object's zero tail, never in another object.
        if (!inside(source, width, room)) {
            fatal("pmw1 source");
        }
        uint8_t *field = place + source;
        if (type == 2) {
            // The target fields are skipped; nothing depends on them.
            put_u16(field, 0xFFFF);
            continue;
        }
        const uint32_t target_object = r[record_target];
        if (target_object == 0 || target_object > count) {
            fatal("pmw1 target %u", target_object);
        }
        const uint32_t target = objects[target_object - 1].host_base + get_u32(r + record_offset);
        put_u32(field, target);
        if (type == 6) {
            put_u16(field + 4, 0xFFFF);
        }
    }
}

} // namespace

GuestObject *load_pmw1(FILE *file, uint32_t h, uint32_t *object_count) {
    Pmw1Header header;
    seek_to(file, h);
    read_exact(file, &header, sizeof header);

    const uint32_t count = header.object_count;
    if (count > 0xFFFFFFFF / sizeof(GuestObject)) {
        errno = ENOMEM;
        fatal_errno("malloc");
    }
    const uint64_t table = static_cast<uint64_t>(h) + header.object_table;
    seek_to_position(file, table);
    const uint64_t file_size = file_length(file);
    need_in_file(file_size, table, count * sizeof(GuestObject));
    GuestObject *objects = static_cast<GuestObject *>(xmalloc(count * sizeof(GuestObject)));
    read_exact(file, objects, count * sizeof(GuestObject));

    // The objects' data follow one another: all of it must lie in the file
    // before the block is mapped or any buffer of those sizes allocated.
    uint64_t data_end = static_cast<uint64_t>(h) + header.object_data;
    for (uint32_t k = 0; k < count; k++) {
        const GuestObject &object = objects[k];
        const uint32_t length =
            object.pmw1.packed_size ? object.pmw1.packed_size : object.virtual_size;
        need_in_file(file_size, data_end, length);
        data_end += length;
    }

    place_objects(objects, count, 0);

    uint64_t data = static_cast<uint64_t>(h) + header.object_data;
    // Each object's fixup blocks begin where the previous object's ended, so
    // no block is expanded twice.
    uint64_t fixups_end = 0;
    for (uint32_t k = 0; k < count; k++) {
        const GuestObject &object = objects[k];
        seek_to_position(file, data);
        if (object.pmw1.packed_size != 0) {
            uint8_t *packed = static_cast<uint8_t *>(xmalloc(object.pmw1.packed_size));
            data += object.pmw1.packed_size;
            read_exact(file, packed, object.pmw1.packed_size);
            // The stream may fill the object's whole place, zero tail
            // included, but nothing beyond it.
            pmw1_unpack(place_of(object), static_cast<size_t>(place_size(object)), packed,
                        object.pmw1.packed_size);
            free(packed);
        } else {
            data += object.virtual_size;
            if (object.virtual_size == 0) {
                empty_read("stored object");
            }
            read_exact(file, place_of(object), object.virtual_size);
        }

        const uint64_t fixups =
            static_cast<uint64_t>(h) + header.fixup_area + object.pmw1.fixup_offset;
        // An object without blocks only seeks: it reads nothing twice.
        if (object.pmw1.fixup_block_count != 0 && fixups < fixups_end) {
            fatal("pmw1 fixups");
        }
        seek_to_position(file, fixups);
        for (uint32_t b = 0; b < object.pmw1.fixup_block_count; b++) {
            const uint16_t packed_length = read_u16(file);
            const uint16_t unpacked_length = read_u16(file);
            if (packed_length == 0) {
                empty_read("fixup block");
            }
            uint8_t *packed = static_cast<uint8_t *>(xmalloc(packed_length));
            uint8_t *records = static_cast<uint8_t *>(xcalloc(unpacked_length));
            read_exact(file, packed, packed_length);
            pmw1_unpack(records, unpacked_length, packed, packed_length);
            free(packed);
            apply_records(records, unpacked_length, objects, count, object);
            free(records);
        }
        if (object.pmw1.fixup_block_count != 0) {
            fixups_end = tell_position(file);
        }
    }
    *object_count = count;
    return objects;
}

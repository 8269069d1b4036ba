// LE image loader: header and tables, placement of all objects in one block,
// the contiguous page read and the per-page fixup walk.
#include <algorithm>
#include <cstdlib>

#include "loader/loader_internal.h"
#include "shell/fatal.h"

namespace {

constexpr uint32_t page_bytes = 4096;
constexpr uint32_t header_bytes = 196;

// The LE header as it lies at H; offsets are from H, table offsets too,
// except data_pages, which is from the start of the file.
struct LeHeader {
    uint8_t signature[2];             // 0x00 "LE"
    uint8_t byte_order;               // 0x02
    uint8_t word_order;               // 0x03
    uint32_t format_level;            // 0x04
    uint16_t cpu_type;                // 0x08
    uint16_t os_type;                 // 0x0A
    uint32_t module_version;          // 0x0C
    uint32_t module_flags;            // 0x10
    uint32_t module_pages;            // 0x14 pages in the module
    uint32_t eip_object;              // 0x18
    uint32_t eip;                     // 0x1C
    uint32_t esp_object;              // 0x20
    uint32_t esp;                     // 0x24
    uint32_t page_size;               // 0x28 not read: pages are 4096 bytes
    uint32_t last_page_bytes;         // 0x2C bytes on the module's last page
    uint32_t fixup_section_size;      // 0x30
    uint32_t fixup_section_checksum;  // 0x34
    uint32_t loader_section_size;     // 0x38 bytes read after the header
    uint32_t loader_section_checksum; // 0x3C
    uint32_t object_table;            // 0x40
    uint32_t object_count;            // 0x44
    uint32_t object_page_table;       // 0x48
    uint32_t iterated_pages;          // 0x4C
    uint32_t resource_table;          // 0x50
    uint32_t resource_count;          // 0x54
    uint32_t resident_names;          // 0x58
    uint32_t entry_table;             // 0x5C
    uint32_t directives;              // 0x60
    uint32_t directive_count;         // 0x64
    uint32_t fixup_page_table;        // 0x68
    uint32_t fixup_record_table;      // 0x6C
    uint32_t import_modules;          // 0x70
    uint32_t import_module_count;     // 0x74
    uint32_t import_procedures;       // 0x78
    uint32_t page_checksums;          // 0x7C
    uint32_t data_pages;              // 0x80 from the start of the file
    uint32_t preload_pages;           // 0x84
    uint32_t nonresident_names;       // 0x88
    uint32_t nonresident_names_size;  // 0x8C
    uint32_t nonresident_checksum;    // 0x90
    uint32_t auto_data_object;        // 0x94
    uint32_t debug_info;              // 0x98
    uint32_t debug_info_size;         // 0x9C
    uint32_t instance_preload_pages;  // 0xA0
    uint32_t instance_demand_pages;   // 0xA4
    uint32_t heap_size;               // 0xA8
    uint8_t reserved[header_bytes - 0xAC];
};
static_assert(sizeof(LeHeader) == header_bytes);
static_assert(offsetof(LeHeader, module_pages) == 0x14);
static_assert(offsetof(LeHeader, last_page_bytes) == 0x2C);
static_assert(offsetof(LeHeader, fixup_section_size) == 0x30);
static_assert(offsetof(LeHeader, loader_section_size) == 0x38);
static_assert(offsetof(LeHeader, object_table) == 0x40);
static_assert(offsetof(LeHeader, object_count) == 0x44);
static_assert(offsetof(LeHeader, object_page_table) == 0x48);
static_assert(offsetof(LeHeader, fixup_page_table) == 0x68);
static_assert(offsetof(LeHeader, fixup_record_table) == 0x6C);
static_assert(offsetof(LeHeader, data_pages) == 0x80);

// Target flags of a fixup record.
constexpr uint8_t target_type_mask = 0x03; // 0 internal, 1-2 imported, 3 entry table
constexpr uint8_t flag_bad = 0x08;
constexpr uint8_t flag_offset32 = 0x10;
constexpr uint8_t flag_object16 = 0x40;

// The header with the tables that follow it. Every table access goes
// through take(), which keeps reads inside the bytes actually read.
struct TableBuffer {
    uint8_t *bytes;
    uint32_t size;
};

const uint8_t *take(const TableBuffer &buf, uint64_t off, uint64_t len, const char *tag) {
    if (!inside(off, len, buf.size)) {
        fatal("%s", tag);
    }
    return buf.bytes + off;
}

// Reads the header buffer: the header and loader section, and when the
// fixup section reaches beyond them, on through the fixup section as far as
// the file holds it (its tables are then found there rather than refused).
TableBuffer read_tables(FILE *file, uint32_t h, const LeHeader &header) {
    if (header.loader_section_size > 0xFFFFFFFF - header_bytes) {
        fatal("le header");
    }
    const uint32_t loader_end = header_bytes + header.loader_section_size;
    uint64_t size = loader_end;
    const uint64_t fixup_end =
        static_cast<uint64_t>(header.fixup_page_table) + header.fixup_section_size;
    if (fixup_end > loader_end) {
        const uint64_t total = file_length(file);
        const uint64_t rest_of_file = total > h ? total - h : 0;
        if (fixup_end < rest_of_file) {
            size = fixup_end;
        } else if (rest_of_file > loader_end) {
            size = rest_of_file;
        }
    }
    need_in_file(file_length(file), h, size);
    TableBuffer buf = {static_cast<uint8_t *>(xmalloc(static_cast<size_t>(size))),
                       static_cast<uint32_t>(size)};
    // One read: the file is known to hold any bytes beyond the loader
    // section, so a short file still fails on the loader section's bytes.
    seek_to(file, h);
    read_exact(file, buf.bytes, buf.size);
    return buf;
}

// Bytes a source type writes at the source address.
uint32_t field_bytes(uint8_t source_type) {
    switch (source_type) {
    case 2:
        return 2;
    case 6:
        return 6;
    default:
        return 4;
    }
}

// The records of fixup page p: [start, end) from the fixup record table.
struct FixupRange {
    uint32_t start;
    uint32_t end;
};

FixupRange fixup_range(const TableBuffer &buf, const LeHeader &header, uint32_t p) {
    const uint64_t entry = header.fixup_page_table + 4ull * (p - 1);
    const uint8_t *range = take(buf, entry, 8, "le fixup table");
    const FixupRange r = {get_u32(range), get_u32(range + 4)};
    if (r.start > r.end || !inside(header.fixup_record_table, r.end, buf.size)) {
        fatal("le fixup range");
    }
    return r;
}

// Fixup page number of page i of an object (0: no fixups).
uint32_t fixup_page(const TableBuffer &buf, const LeHeader &header, const GuestObject &object,
                    uint32_t i) {
    const uint64_t index = static_cast<uint64_t>(object.le.page_index) - 1 + i;
    const uint8_t *entry = take(buf, header.object_page_table + 4 * index, 4, "le page table");
    return static_cast<uint32_t>(entry[1] << 8 | entry[2]);
}

// Every fixup page is named by one page only, and no two pages' record
// ranges share a byte, whether or not their entries are neighbours. So every
// record is walked once (a record running over its range's end adds at most
// its own length), and the walk is linear in the size of the record table;
// checking it costs a sort of at most 65535 ranges.
void check_fixup_ranges(const TableBuffer &buf, const LeHeader &header, const GuestObject *objects,
                        uint32_t count) {
    constexpr uint32_t page_numbers = 0x10000;
    uint8_t *named = static_cast<uint8_t *>(xcalloc(page_numbers));
    FixupRange *ranges = static_cast<FixupRange *>(xmalloc(page_numbers * sizeof(FixupRange)));
    uint32_t used = 0;
    for (uint32_t k = 0; k < count; k++) {
        for (uint32_t i = 0; i < objects[k].le.page_count; i++) {
            const uint32_t p = fixup_page(buf, header, objects[k], i);
            if (p == 0) {
                continue;
            }
            if (named[p]) {
                fatal("le fixup page");
            }
            named[p] = 1;
            const FixupRange r = fixup_range(buf, header, p);
            if (r.start < r.end) {
                ranges[used++] = r;
            }
        }
    }
    std::sort(ranges, ranges + used,
              [](const FixupRange &a, const FixupRange &b) { return a.start < b.start; });
    for (uint32_t k = 1; k < used; k++) {
        if (ranges[k].start < ranges[k - 1].end) {
            fatal("le fixup overlap");
        }
    }
    free(ranges);
    free(named);
}

// Applies the records of fixup page p to page i of the object.
void apply_page_fixups(const TableBuffer &buf, const LeHeader &header, GuestObject *objects,
                       const GuestObject &object, uint32_t i, uint32_t p) {
    const FixupRange range = fixup_range(buf, header, p);
    // Fields are read up to the end of the buffer, not of the page's range:
    // a record that runs over its range's end still lies in bytes we hold.
    uint32_t pos = header.fixup_record_table + range.start;
    const uint32_t stop = header.fixup_record_table + range.end;
    const uint64_t page_start = static_cast<uint64_t>(object.host_base) -
                                reinterpret_cast<uintptr_t>(object_block) +
                                static_cast<uint64_t>(i) * page_bytes;
    while (pos < stop) {
        const uint8_t *r = buf.bytes + pos;
        const uint32_t held = buf.size - pos;
        const uint8_t source_type = r[0];
        if (source_type != 2 && source_type != 6 && source_type != 7 && source_type != 8) {
            fatal("rel1 t1=%d", source_type);
        }
        if (held < 2) {
            fatal("le record");
        }
        const uint8_t flags = r[1];
        if (flags & flag_bad) {
            fatal("rel2 t2=%d", flags);
        }
        if ((flags & target_type_mask) == 3) {
            fatal("rel3 t2=%d", flags);
        }
        if (held < 4) {
            fatal("le record");
        }
        const int16_t source_offset = static_cast<int16_t>(get_u16(r + 2));
        if ((flags & target_type_mask) != 0) {
            fatal("rel4 t2=%d", flags);
        }
        const uint32_t object_bytes = (flags & flag_object16) ? 2 : 1;
        const uint32_t offset_bytes = source_type == 2 ? 0 : (flags & flag_offset32) ? 4 : 2;
        const uint32_t record_bytes = 4 + object_bytes + offset_bytes;
        if (held < record_bytes) {
            fatal("le record");
        }
        pos += record_bytes;

        // A negative offset reaches back into the preceding page (or the
        // object before); any field inside the block is allowed.
        const int64_t source = static_cast<int64_t>(page_start) + source_offset;
        const uint32_t width = field_bytes(source_type);
        if (source < 0 || !inside(static_cast<uint64_t>(source), width, object_block_size)) {
            fatal("le source");
        }
        uint8_t *field = object_block + source;
        if (source_type == 2) {
            // The object number is read and skipped; nothing depends on it,
            // so it is not checked either.
            put_u16(field, 0xFFFF);
            continue;
        }

        const uint32_t target_object = object_bytes == 2 ? get_u16(r + 4) : r[4];
        const uint8_t *offset_field = r + 4 + object_bytes;
        const uint32_t target_offset =
            offset_bytes == 4 ? get_u32(offset_field) : get_u16(offset_field);
        if (target_object == 0 || target_object > header.object_count) {
            fatal("le target %u", target_object);
        }
        const uint32_t target = objects[target_object - 1].host_base + target_offset;
        switch (source_type) {
        case 6:
            put_u32(field, target);
            put_u16(field + 4, 0xFFFF);
            break;
        case 7:
            put_u32(field, target);
            break;
        case 8:
            put_u32(field,
                    target - (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(field)) + 4));
            break;
        }
    }
}

// Bytes of the file an object's page run supplies: its pages, the module's
// last page only as far as it is filled, never more than the virtual size.
uint32_t run_length(const LeHeader &header, const GuestObject &object) {
    const uint32_t first = object.le.page_index - 1;
    const uint32_t n = object.le.page_count;
    uint32_t length = n * page_bytes;
    if (first + n == header.module_pages && length != 0) {
        length -= page_bytes - header.last_page_bytes;
    }
    return length > object.virtual_size ? object.virtual_size : length;
}

struct PageRun {
    uint32_t first; // 0-based
    uint32_t count;
};

// Everything about the page runs that needs no byte of them, before the
// block is mapped: each run names pages of the module, lies in the file, and
// shares no page with another object's run.
void check_page_runs(FILE *file, const LeHeader &header, const GuestObject *objects,
                     uint32_t count) {
    const uint64_t file_size = file_length(file);
    PageRun *runs = static_cast<PageRun *>(xmalloc(count * sizeof(PageRun) + 1));
    for (uint32_t k = 0; k < count; k++) {
        const GuestObject &object = objects[k];
        // Page index 0 names no page; no pages or more than 32 bits can
        // address give no run to read.
        if (object.le.page_index == 0 || object.le.page_count == 0 ||
            object.le.page_count > 0xFFFFFFFF / page_bytes) {
            fatal("le pages");
        }
        const uint64_t first = object.le.page_index - 1;
        if (first + object.le.page_count > header.module_pages) {
            fatal("le page run");
        }
        const uint32_t length = run_length(header, object);
        if (length == 0) {
            empty_read("page run"); // refused like every empty block read
        }
        const uint64_t start = header.data_pages + first * page_bytes;
        if (start <= 0xFFFFFFFF) { // beyond, the seek reports it
            need_in_file(file_size, start, length);
        }
        runs[k] = {static_cast<uint32_t>(first), object.le.page_count};
    }
    std::sort(runs, runs + count,
              [](const PageRun &a, const PageRun &b) { return a.first < b.first; });
    for (uint32_t k = 1; k < count; k++) {
        if (static_cast<uint64_t>(runs[k - 1].first) + runs[k - 1].count > runs[k].first) {
            fatal("le page overlap");
        }
    }
    free(runs);
}

} // namespace

GuestObject *load_le(FILE *file, uint32_t h, uint32_t *object_count) {
    LeHeader header;
    seek_to(file, h);
    read_exact(file, &header, sizeof header);
    // More than a page would make the last object's run longer, not shorter.
    if (header.last_page_bytes > page_bytes) {
        fatal("le last page %u", header.last_page_bytes);
    }
    TableBuffer buf = read_tables(file, h, header);

    const uint32_t count = header.object_count;
    if (header.object_table > buf.size ||
        count > (buf.size - header.object_table) / sizeof(GuestObject)) {
        fatal("le objects");
    }
    GuestObject *objects = static_cast<GuestObject *>(xmalloc(count * sizeof(GuestObject)));
    memcpy(objects, buf.bytes + header.object_table, count * sizeof(GuestObject));

    check_page_runs(file, header, objects, count);
    check_fixup_ranges(buf, header, objects, count);
    // The block keeps 31 spare bytes beyond the last object's place.
    place_objects(objects, count, 31);

    for (uint32_t k = 0; k < count; k++) {
        const GuestObject &object = objects[k];
        const uint32_t first = object.le.page_index - 1;
        uint8_t *place = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(object.host_base));
        seek_to_position(file, header.data_pages + static_cast<uint64_t>(first) * page_bytes);
        read_exact(file, place, run_length(header, object));
        for (uint32_t i = 0; i < object.le.page_count; i++) {
            const uint32_t p = fixup_page(buf, header, object, i);
            if (p != 0) {
                apply_page_fixups(buf, header, objects, object, i, p);
            }
        }
    }

    free(buf.bytes);
    *object_count = count;
    return objects;
}

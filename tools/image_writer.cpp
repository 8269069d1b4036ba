// LE and PMW1 image writers. Both put the image behind the same small MS-DOS
// stub; offsets inside the new-format header are relative to it (H), as the
// formats have them.
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "tools/image_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append_u8(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
}
void append_u16(Bytes &b, uint32_t v) {
    append_u8(b, v);
    append_u8(b, v >> 8);
}
void append_u32(Bytes &b, uint32_t v) {
    append_u16(b, v);
    append_u16(b, v >> 16);
}
void set_u16(Bytes &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void set_u32(Bytes &b, size_t at, uint32_t v) {
    set_u16(b, at, v);
    set_u16(b, at + 2, v >> 16);
}

uint32_t checked_u32(size_t v) {
    if (v > 0xFFFFFFFF) {
        throw std::invalid_argument("image larger than 4 GiB");
    }
    return static_cast<uint32_t>(v);
}

// An MS-DOS program that says it needs an extender; the new header follows
// at offset 128.
constexpr uint32_t stub_bytes = 128;
Bytes dos_stub() {
    Bytes b(stub_bytes, 0);
    set_u16(b, 0, 0x5A4D);      // MZ
    set_u16(b, 2, stub_bytes);  // bytes on the last 512-byte page
    set_u16(b, 4, 1);           // pages
    set_u16(b, 8, 4);           // header paragraphs: code starts at 64
    set_u16(b, 10, 0x10);       // minimum extra paragraphs
    set_u16(b, 12, 0xFFFF);     // maximum extra paragraphs
    set_u16(b, 16, 0xB8);       // SP
    set_u16(b, 24, 0x40);       // relocation table offset: a new-format header follows
    set_u32(b, 60, stub_bytes); // H
    const uint8_t code[] = {
        0x0E,             // push cs
        0x1F,             // pop ds
        0xBA, 0x0E, 0x00, // mov dx, message
        0xB4, 0x09,       // mov ah, 9
        0xCD, 0x21,       // int 21h
        0xB8, 0x01, 0x4C, // mov ax, 4C01h
        0xCD, 0x21,       // int 21h
    };
    const char message[] = "This program needs a DOS extender.\r\n$";
    std::copy(code, code + sizeof code, b.begin() + 64);
    std::copy(message, message + sizeof message - 1, b.begin() + 64 + sizeof code);
    return b;
}

uint32_t virtual_size_of(const ImageObject &o) {
    return o.virtual_size ? o.virtual_size : checked_u32(o.data.size());
}

// ---- LE ---------------------------------------------------------------------

constexpr uint32_t page_bytes = 4096;
constexpr uint32_t le_header_bytes = 196;

uint32_t le_field_bytes(uint8_t type) {
    switch (type) {
    case 2:
        return 2;
    case 6:
        return 6;
    default:
        return 4;
    }
}

void append_le_record(Bytes &out, const ImageFixup &f, int32_t offset_in_page,
                      const LeOptions &options) {
    const bool object16 = options.wide_object_numbers || f.target_object > 0xFF;
    const bool offset32 = options.wide_offsets || f.target_offset > 0xFFFF;
    if (f.target_object > 0xFFFF) {
        throw std::invalid_argument("LE object number above 65535");
    }
    append_u8(out, f.type);
    append_u8(out, (object16 ? 0x40 : 0) | (offset32 ? 0x10 : 0) | f.extra_flags);
    append_u16(out, static_cast<uint16_t>(static_cast<int16_t>(offset_in_page)));
    if (object16) {
        append_u16(out, f.target_object);
    } else {
        append_u8(out, f.target_object);
    }
    if (f.type != 2) {
        if (offset32) {
            append_u32(out, f.target_offset);
        } else {
            append_u16(out, f.target_offset);
        }
    }
}

// ---- PMW1 ---------------------------------------------------------------------

constexpr uint32_t pmw1_header_bytes = 40;

Bytes pmw1_records(const ImageFixup *fixups, size_t count) {
    Bytes out;
    for (size_t i = 0; i < count; i++) {
        const ImageFixup &f = fixups[i];
        if (f.target_object > 0xFF) {
            throw std::invalid_argument("PMW1 object number above 255");
        }
        append_u8(out, f.type);
        append_u32(out, f.source_offset);
        append_u8(out, f.target_object);
        append_u32(out, f.target_offset);
    }
    return out;
}

} // namespace

std::vector<uint8_t> write_le_image(const std::vector<ImageObject> &objects,
                                    const LeOptions &options, LeLayout *layout) {
    const uint32_t n = checked_u32(objects.size());

    // Pages of each object: enough for its data and for every fixed-up
    // field (a field in the zero tail still needs a page for its record),
    // and at least one, since an object without pages cannot be loaded.
    std::vector<uint32_t> first_page(n), pages(n);
    uint32_t total = 0;
    for (uint32_t k = 0; k < n; k++) {
        size_t covered = objects[k].data.size();
        for (const ImageFixup &f : objects[k].fixups) {
            covered = std::max<size_t>(covered, static_cast<size_t>(f.source_offset) + 1);
        }
        first_page[k] = total;
        pages[k] = std::max<uint32_t>(1, checked_u32((covered + page_bytes - 1) / page_bytes));
        total += pages[k];
    }
    if (total > 0xFFFF) {
        throw std::invalid_argument("LE image of more than 65535 pages");
    }

    // Fixup records, page by page. A field that crosses into the next page
    // is written from both pages, the second record with a negative offset.
    std::vector<Bytes> page_records(total);
    for (uint32_t k = 0; k < n; k++) {
        for (const ImageFixup &f : objects[k].fixups) {
            const uint32_t page = f.source_offset / page_bytes;
            const int32_t offset = static_cast<int32_t>(f.source_offset % page_bytes);
            const bool crosses =
                offset + le_field_bytes(f.type) > page_bytes && page + 1 < pages[k];
            if (!crosses || options.crossing != CrossingFixups::next_page_only) {
                append_le_record(page_records[first_page[k] + page], f, offset, options);
            }
            if (crosses && options.crossing != CrossingFixups::first_page_only) {
                append_le_record(page_records[first_page[k] + page + 1], f,
                                 offset - static_cast<int32_t>(page_bytes), options);
            }
        }
    }

    // Loader section: object table, object page table, resident names,
    // entry table. Fixup section: fixup page table, fixup records.
    const uint32_t object_table = le_header_bytes;
    const uint32_t object_page_table = object_table + 24 * n;
    const uint32_t resident_names = object_page_table + 4 * total;
    const char module_name[] = "LUMOX";
    const uint32_t entry_table = resident_names + 1 + (sizeof module_name - 1) + 2 + 1;
    const uint32_t loader_end = entry_table + 1;
    const uint32_t fixup_page_table = loader_end;
    const uint32_t fixup_records = fixup_page_table + 4 * (total + 1);
    size_t records_size = 0;
    for (const Bytes &r : page_records) {
        records_size += r.size();
    }
    const uint32_t fixup_end = checked_u32(fixup_records + records_size);

    Bytes out = dos_stub();
    const uint32_t h = checked_u32(out.size());
    out.resize(h + le_header_bytes, 0);
    uint8_t *hp = out.data() + h;
    hp[0] = 'L';
    hp[1] = 'E';
    set_u16(out, h + 0x08, 2); // 80386
    set_u16(out, h + 0x0A, 1);
    set_u32(out, h + 0x14, total);
    set_u32(out, h + 0x18, options.entry_object);
    set_u32(out, h + 0x1C, options.entry_offset);
    set_u32(out, h + 0x20, options.stack_object);
    set_u32(out, h + 0x24, options.stack_offset);
    set_u32(out, h + 0x28, page_bytes);
    set_u32(out, h + 0x30, fixup_end - fixup_page_table);
    set_u32(out, h + 0x38,
            (options.fixups_in_loader_section ? fixup_end : loader_end) - le_header_bytes);
    set_u32(out, h + 0x40, object_table);
    set_u32(out, h + 0x44, n);
    set_u32(out, h + 0x48, object_page_table);
    set_u32(out, h + 0x58, resident_names);
    set_u32(out, h + 0x5C, entry_table);
    set_u32(out, h + 0x68, fixup_page_table);
    set_u32(out, h + 0x6C, fixup_records);
    set_u32(out, h + 0x70, fixup_end); // no imported modules
    set_u32(out, h + 0x78, fixup_end); // no imported procedures
    const uint32_t data_pages = h + fixup_end;
    set_u32(out, h + 0x80, data_pages);
    set_u32(out, h + 0x94, options.stack_object);

    for (uint32_t k = 0; k < n; k++) {
        append_u32(out, virtual_size_of(objects[k]));
        append_u32(out, 0x10000 * (k + 1));                       // relocation base
        append_u32(out, 0x2000 | 0x0003 | (k == 0 ? 0x0004 : 0)); // 32-bit, readable, writable
        append_u32(out, first_page[k] + 1);
        append_u32(out, pages[k]);
        append_u32(out, 0);
    }
    for (uint32_t p = 1; p <= total; p++) {
        append_u8(out, 0);
        append_u8(out, p >> 8); // page number, high byte first
        append_u8(out, p);
        append_u8(out, 0);
    }
    append_u8(out, sizeof module_name - 1);
    out.insert(out.end(), module_name, module_name + sizeof module_name - 1);
    append_u16(out, 0);
    append_u8(out, 0); // end of resident names
    append_u8(out, 0); // empty entry table

    std::vector<uint32_t> record_offsets;
    uint32_t at = 0;
    for (uint32_t p = 0; p <= total; p++) {
        append_u32(out, at);
        if (p < total) {
            record_offsets.push_back(h + fixup_records + at);
            at += checked_u32(page_records[p].size());
        }
    }
    for (const Bytes &r : page_records) {
        out.insert(out.end(), r.begin(), r.end());
    }

    // Pages: full 4096 bytes each, except the module's last page, which
    // holds only its used bytes (at least one).
    uint32_t last_page_bytes = page_bytes;
    for (uint32_t k = 0; k < n; k++) {
        Bytes data = objects[k].data;
        data.resize(static_cast<size_t>(pages[k]) * page_bytes, 0);
        if (k == n - 1) {
            const size_t used =
                objects[k].data.size() -
                std::min<size_t>(objects[k].data.size(), (pages[k] - 1) * size_t{page_bytes});
            last_page_bytes = static_cast<uint32_t>(std::clamp<size_t>(used, 1, page_bytes));
            data.resize((pages[k] - 1) * size_t{page_bytes} + last_page_bytes);
        }
        out.insert(out.end(), data.begin(), data.end());
    }
    set_u32(out, h + 0x2C, last_page_bytes);

    if (layout) {
        layout->header = h;
        layout->object_table = h + object_table;
        layout->object_page_table = h + object_page_table;
        layout->fixup_page_table = h + fixup_page_table;
        layout->fixup_records = h + fixup_records;
        layout->data_pages = data_pages;
        layout->module_pages = total;
        layout->record_offsets = record_offsets;
    }
    return out;
}

std::vector<uint8_t> write_pmw1_image(const std::vector<ImageObject> &objects,
                                      const Pmw1Options &options, Pmw1Layout *layout) {
    const uint32_t n = checked_u32(objects.size());
    const uint32_t per_block = std::max<uint32_t>(1, options.records_per_block);

    // Fixup blocks of every object, one after another.
    Bytes fixups;
    std::vector<uint32_t> fixup_offsets(n), block_counts(n);
    for (uint32_t k = 0; k < n; k++) {
        fixup_offsets[k] = checked_u32(fixups.size());
        const std::vector<ImageFixup> &list = objects[k].fixups;
        for (size_t i = 0; i < list.size(); i += per_block) {
            const Bytes records =
                pmw1_records(list.data() + i, std::min<size_t>(per_block, list.size() - i));
            const Bytes packed = pmw1_pack(records.data(), records.size());
            if (records.size() > 0xFFFF || packed.size() > 0xFFFF) {
                throw std::invalid_argument("PMW1 fixup block above 64 KiB");
            }
            append_u16(fixups, checked_u32(packed.size()));
            append_u16(fixups, checked_u32(records.size()));
            fixups.insert(fixups.end(), packed.begin(), packed.end());
            block_counts[k]++;
        }
    }

    // Object data: packed streams, or the virtual size as is. Trailing zeros
    // need not be packed, the place is zero-filled; a packed object with no
    // bytes at all still needs one literal.
    std::vector<Bytes> data(n);
    std::vector<uint32_t> packed_sizes(n);
    for (uint32_t k = 0; k < n; k++) {
        const ImageObject &o = objects[k];
        const uint32_t vsize = virtual_size_of(o);
        if (o.packed && vsize > 0) {
            size_t used = o.data.size();
            while (used > 1 && o.data[used - 1] == 0) {
                used--;
            }
            const uint8_t zero = 0;
            data[k] = used ? pmw1_pack(o.data.data(), used) : pmw1_pack(&zero, 1);
            packed_sizes[k] = checked_u32(data[k].size());
        } else {
            data[k] = o.data;
            data[k].resize(vsize, 0);
        }
    }

    const uint32_t object_table = pmw1_header_bytes;
    const uint32_t fixup_area = object_table + 24 * n;
    const uint32_t object_data = checked_u32(fixup_area + fixups.size());

    Bytes out = dos_stub();
    const uint32_t h = checked_u32(out.size());
    out.insert(out.end(), {'P', 'M', 'W', '1'});
    append_u32(out, 1); // format version; words 4 to 23 are not read by the loader
    append_u32(out, options.entry_object);
    append_u32(out, options.entry_offset);
    append_u32(out, options.stack_object);
    append_u32(out, options.stack_offset);
    append_u32(out, object_table);
    append_u32(out, n);
    append_u32(out, fixup_area);
    append_u32(out, object_data);
    for (uint32_t k = 0; k < n; k++) {
        append_u32(out, virtual_size_of(objects[k]));
        append_u32(out, packed_sizes[k]);
        append_u32(out, checked_u32(objects[k].data.size())); // initialised bytes, for tools
        append_u32(out, fixup_offsets[k]);
        append_u32(out, block_counts[k]);
        append_u32(out, 0);
    }
    out.insert(out.end(), fixups.begin(), fixups.end());

    std::vector<uint32_t> data_offsets, first_blocks;
    for (uint32_t k = 0; k < n; k++) {
        data_offsets.push_back(checked_u32(out.size()));
        first_blocks.push_back(h + fixup_area + fixup_offsets[k]);
        out.insert(out.end(), data[k].begin(), data[k].end());
    }

    if (layout) {
        layout->header = h;
        layout->object_table = h + object_table;
        layout->fixup_area = h + fixup_area;
        layout->object_data = h + object_data;
        layout->data_offsets = data_offsets;
        layout->first_block_offsets = first_blocks;
    }
    return out;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool written = bytes.empty() || fwrite(bytes.data(), bytes.size(), 1, f) == 1;
    return fclose(f) == 0 && written;
}

// Turns the linked sample guest (an ELF file whose sections .obj1 and .obj2
// are the guest's two objects, linked with --emit-relocs) into a guest
// image: an LE image for the Fix layout, a PMW1 image for the Party layout.
// Every relocation that depends on where an object lies becomes an image
// fixup; the build fails unless the image uses every kind its format has.
//
//   sample_image le|pmw1 <guest.elf> <lumox.exe>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/image_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Section {
    std::string name;
    uint32_t type, addr, offset, size, link, info;
};

constexpr uint32_t sht_rel = 9;
constexpr uint16_t shn_abs = 0xFFF1;
constexpr uint8_t r_386_32 = 1, r_386_pc32 = 2, r_386_16 = 20;

[[noreturn]] void fail(const std::string &why) {
    fprintf(stderr, "sample_image: %s\n", why.c_str());
    exit(1);
}

uint32_t u16(const Bytes &b, size_t at) {
    if (at > b.size() || b.size() - at < 2) {
        fail("ELF file truncated");
    }
    return b[at] | b[at + 1] << 8;
}
uint32_t u32(const Bytes &b, size_t at) {
    return u16(b, at) | u16(b, at + 2) << 16;
}

struct Elf {
    Bytes bytes;
    std::vector<Section> sections;
};

Elf read_elf(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot open " + path);
    }
    Elf elf;
    elf.bytes.assign(std::istreambuf_iterator<char>(in), {});
    const Bytes &b = elf.bytes;
    if (b.size() < 52 ||
        memcmp(b.data(),
               "\x7F"
               "ELF\x01\x01",
               6) != 0 ||
        u16(b, 18) != 3) {
        fail(path + " is not a little-endian 32-bit x86 ELF file");
    }
    const uint32_t shoff = u32(b, 32), shentsize = u16(b, 46), shnum = u16(b, 48),
                   shstrndx = u16(b, 50);
    for (uint32_t i = 0; i < shnum; i++) {
        const size_t at = shoff + size_t{i} * shentsize;
        elf.sections.push_back({"", u32(b, at + 4), u32(b, at + 12), u32(b, at + 16),
                                u32(b, at + 20), u32(b, at + 24), u32(b, at + 28)});
        elf.sections.back().name = std::to_string(u32(b, at)); // name offset for now
    }
    if (shstrndx >= elf.sections.size()) {
        fail("no section name table");
    }
    const Section &names = elf.sections[shstrndx];
    for (Section &s : elf.sections) {
        const size_t at = names.offset + std::stoul(s.name);
        if (at >= b.size()) {
            fail("section name outside the file");
        }
        s.name = reinterpret_cast<const char *>(&b[at]);
    }
    return elf;
}

int section_index(const Elf &elf, const char *name) {
    for (size_t i = 0; i < elf.sections.size(); i++) {
        if (elf.sections[i].name == name) {
            return static_cast<int>(i);
        }
    }
    fail(std::string("no section ") + name);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4 || (strcmp(argv[1], "le") != 0 && strcmp(argv[1], "pmw1") != 0)) {
        fail("usage: sample_image le|pmw1 <guest.elf> <lumox.exe>");
    }
    const bool le = strcmp(argv[1], "le") == 0;
    const Elf elf = read_elf(argv[2]);
    const Bytes &b = elf.bytes;

    // Object n is section obj[n - 1].
    const int obj[2] = {section_index(elf, ".obj1"), section_index(elf, ".obj2")};
    auto object_of = [&](uint32_t shndx) -> int {
        for (int k = 0; k < 2; k++) {
            if (static_cast<uint32_t>(obj[k]) == shndx) {
                return k + 1;
            }
        }
        return 0;
    };

    std::vector<ImageObject> objects(2);
    for (int k = 0; k < 2; k++) {
        const Section &s = elf.sections[obj[k]];
        if (s.offset > b.size() || s.size > b.size() - s.offset) {
            fail(s.name + " lies outside the file");
        }
        objects[k].data.assign(b.begin() + s.offset, b.begin() + s.offset + s.size);
        objects[k].virtual_size = s.size;
    }

    std::map<int, int> kinds;
    for (const Section &rel : elf.sections) {
        if (rel.type != sht_rel) {
            continue;
        }
        const int source = object_of(rel.info);
        if (!source) {
            fail("relocations for a section that is no object: " + rel.name);
        }
        const Section &src = elf.sections[obj[source - 1]];
        const Section &symtab = elf.sections.at(rel.link);
        std::map<uint32_t, size_t> by_offset; // fixups of this object by source offset
        std::vector<ImageFixup> &fixups = objects[source - 1].fixups;
        for (uint32_t at = rel.offset; at + 8 <= rel.offset + rel.size; at += 8) {
            const uint32_t where = u32(b, at), info = u32(b, at + 4);
            const uint8_t type = info & 0xFF;
            const uint32_t sym = info >> 8;
            const size_t sym_at = symtab.offset + size_t{sym} * 16;
            const uint16_t shndx = static_cast<uint16_t>(u16(b, sym_at + 14));
            const uint32_t source_offset = where - src.addr;
            if (source_offset >= src.size) {
                fail("relocation outside its section");
            }
            const size_t field = src.offset + source_offset;
            const int target = object_of(shndx);
            if (type == r_386_16) {
                // Selector fields name the absolute symbol __lumox_selector.
                if (shndx != shn_abs) {
                    fail("16-bit relocation that is not a selector");
                }
                auto far = by_offset.find(source_offset - 4);
                if (far != by_offset.end() && fixups[far->second].type == 7) {
                    fixups[far->second].type = 6; // offset and selector: a 16:32 pointer
                } else {
                    by_offset[source_offset] = fixups.size();
                    fixups.push_back({2, source_offset, 1, 0});
                }
                continue;
            }
            if (type == r_386_32) {
                if (shndx == shn_abs) {
                    continue; // a constant
                }
                if (!target) {
                    fail("address of a section that is no object");
                }
                const Section &dst = elf.sections[obj[target - 1]];
                const uint32_t offset = u32(b, field) - dst.addr;
                if (offset > dst.size) {
                    fail("address outside its object");
                }
                by_offset[source_offset] = fixups.size();
                fixups.push_back({7, source_offset, static_cast<uint32_t>(target), offset});
                continue;
            }
            if (type == r_386_pc32) {
                if (target == source) {
                    continue; // the distance does not depend on where objects lie
                }
                if (!target) {
                    fail("relative reference to a section that is no object");
                }
                if (!le) {
                    fail("PMW1 has no self-relative fixups: use an absolute address");
                }
                const Section &dst = elf.sections[obj[target - 1]];
                const uint32_t address = u32(b, field) + where + 4;
                fixups.push_back(
                    {8, source_offset, static_cast<uint32_t>(target), address - dst.addr});
                continue;
            }
            fail("unexpected relocation type " + std::to_string(type));
        }
    }

    // Only initialised bytes go into the file; fixed-up fields count as such.
    for (ImageObject &o : objects) {
        size_t end = o.data.size();
        while (end > 0 && o.data[end - 1] == 0) {
            end--;
        }
        for (const ImageFixup &f : o.fixups) {
            end = std::max<size_t>(end, f.source_offset + (f.type == 2 ? 2 : f.type == 6 ? 6 : 4));
            kinds[f.type]++;
        }
        o.data.resize(end);
    }
    for (int kind : le ? std::vector<int>{2, 6, 7, 8} : std::vector<int>{2, 6, 7}) {
        if (!kinds[kind]) {
            fail("the image uses no fixup of type " + std::to_string(kind));
        }
    }

    Bytes image;
    try {
        image = le ? write_le_image(objects) : write_pmw1_image(objects);
    } catch (const std::exception &e) {
        fail(std::string("image writer: ") + e.what());
    }
    if (!write_file(argv[3], image)) {
        fail(std::string("cannot write ") + argv[3]);
    }
    printf("sample_image: %s, %zu bytes; fixups", argv[3], image.size());
    for (const auto &[kind, count] : kinds) {
        printf(" %d:%d", kind, count);
    }
    printf("\n");
    return 0;
}

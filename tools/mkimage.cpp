// mkimage: writes an LE or PMW1 guest image from object contents and fixup
// lists. See usage() for the command line.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/image_writer.h"

namespace {

const char usage_text[] =
    "usage: mkimage le|pmw1 OUT [options]\n"
    "\n"
    "Writes an LE or PMW1 executable behind an MS-DOS stub.\n"
    "\n"
    "  --object FILE[:VSIZE][:stored]\n"
    "        adds the next object (objects are numbered from 1 in order); its\n"
    "        initialised bytes come from FILE, VSIZE (default: the file's size)\n"
    "        is its size in memory, the rest being zero; ':stored' keeps a PMW1\n"
    "        object uncompressed\n"
    "  --fixups FILE\n"
    "        fixups of the object added last, one per line:\n"
    "            TYPE SOURCE_OFFSET TARGET_OBJECT TARGET_OFFSET\n"
    "        TYPE 2 (16-bit selector), 6 (16:32 pointer), 7 (32-bit offset) or,\n"
    "        in LE only, 8 (32-bit self-relative); numbers in C notation (0x10);\n"
    "        '#' starts a comment\n"
    "  --entry OBJ:OFFSET    initial EIP (default 1:0)\n"
    "  --stack OBJ:OFFSET    initial ESP (default none)\n"
    "  --records-per-block N PMW1: fixup records per packed block (default 4000)\n"
    "  --fixups-in-loader-section\n"
    "        LE: count the fixup tables in the loader section size\n"
    "  -h, --help            this text\n";

[[noreturn]] void fail(const std::string &message) {
    fprintf(stderr, "mkimage: %s\n", message.c_str());
    exit(1);
}

uint32_t number(const std::string &text, const std::string &what) {
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v > 0xFFFFFFFF) {
        fail("bad " + what + ": '" + text + "'");
    }
    return static_cast<uint32_t>(v);
}

std::vector<uint8_t> read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) {
        parts.push_back(part);
    }
    return parts;
}

ImageObject object_from(const std::string &spec) {
    // FILE[:VSIZE][:stored]; a file name with colons is taken up to the
    // first part that is a size or "stored".
    std::vector<std::string> parts = split(spec, ':');
    ImageObject o;
    while (parts.size() > 1) {
        if (parts.back() == "stored") {
            o.packed = false;
        } else if (!parts.back().empty() && isdigit(static_cast<unsigned char>(parts.back()[0]))) {
            o.virtual_size = number(parts.back(), "virtual size");
        } else {
            break;
        }
        parts.pop_back();
    }
    std::string path = parts[0];
    for (size_t i = 1; i < parts.size(); i++) {
        path += ":" + parts[i];
    }
    o.data = read_whole(path);
    if (o.virtual_size != 0 && o.virtual_size < o.data.size()) {
        fail(path + " is larger than its virtual size");
    }
    return o;
}

std::vector<ImageFixup> fixups_from(const std::string &path) {
    std::ifstream in(path);
    if (!in) {
        fail("cannot read " + path);
    }
    std::vector<ImageFixup> list;
    std::string line;
    for (int line_number = 1; std::getline(in, line); line_number++) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) {
            f.push_back(w);
        }
        if (f.empty()) {
            continue;
        }
        const std::string where = path + ":" + std::to_string(line_number);
        if (f.size() != 4) {
            fail(where + ": expected TYPE SOURCE_OFFSET TARGET_OBJECT TARGET_OFFSET");
        }
        const uint32_t type = number(f[0], "type at " + where);
        if (type != 2 && type != 6 && type != 7 && type != 8) {
            fail(where + ": type must be 2, 6, 7 or 8");
        }
        list.push_back({static_cast<uint8_t>(type), number(f[1], "source offset at " + where),
                        number(f[2], "target object at " + where),
                        number(f[3], "target offset at " + where)});
    }
    return list;
}

void location(const std::string &text, uint32_t &object, uint32_t &offset) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() != 2) {
        fail("expected OBJ:OFFSET, got '" + text + "'");
    }
    object = number(parts[0], "object");
    offset = number(parts[1], "offset");
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string &a : args) {
        if (a == "-h" || a == "--help") {
            fputs(usage_text, stdout);
            return 0;
        }
    }
    if (args.size() < 2 || (args[0] != "le" && args[0] != "pmw1")) {
        fputs(usage_text, stderr);
        return 2;
    }
    const bool le = args[0] == "le";
    const std::string out_path = args[1];

    std::vector<ImageObject> objects;
    LeOptions le_options;
    Pmw1Options pmw1_options;
    for (size_t i = 2; i < args.size(); i++) {
        const std::string &a = args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size()) {
                fail(a + " needs a value");
            }
            return args[++i];
        };
        if (a == "--object") {
            objects.push_back(object_from(value()));
        } else if (a == "--fixups") {
            if (objects.empty()) {
                fail("--fixups before any --object");
            }
            const std::vector<ImageFixup> list = fixups_from(value());
            objects.back().fixups.insert(objects.back().fixups.end(), list.begin(), list.end());
        } else if (a == "--entry") {
            location(value(), le_options.entry_object, le_options.entry_offset);
            pmw1_options.entry_object = le_options.entry_object;
            pmw1_options.entry_offset = le_options.entry_offset;
        } else if (a == "--stack") {
            location(value(), le_options.stack_object, le_options.stack_offset);
            pmw1_options.stack_object = le_options.stack_object;
            pmw1_options.stack_offset = le_options.stack_offset;
        } else if (a == "--records-per-block") {
            pmw1_options.records_per_block = number(value(), "records per block");
        } else if (a == "--fixups-in-loader-section") {
            le_options.fixups_in_loader_section = true;
        } else {
            fail("unknown option '" + a + "' (see --help)");
        }
    }
    if (objects.empty()) {
        fail("no --object given");
    }
    for (size_t k = 0; k < objects.size(); k++) {
        for (const ImageFixup &f : objects[k].fixups) {
            if (f.target_object == 0 || f.target_object > objects.size()) {
                fail("object " + std::to_string(k + 1) + ": fixup to object " +
                     std::to_string(f.target_object) + ", which does not exist");
            }
            if (!le && f.type == 8) {
                fail("PMW1 has no type-8 fixups");
            }
        }
    }

    try {
        const std::vector<uint8_t> image =
            le ? write_le_image(objects, le_options) : write_pmw1_image(objects, pmw1_options);
        if (!write_file(out_path, image)) {
            fail("cannot write " + out_path + ": " + strerror(errno));
        }
    } catch (const std::invalid_argument &e) {
        fail(e.what());
    }
    return 0;
}

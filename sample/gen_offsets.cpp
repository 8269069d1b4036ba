// Writes the offsets table of one release for the sample guest's assembly:
// every redirect site, stub site, symbol and code-patch site from the release
// catalogue, as `.set` lines. The guest source places its routines with `.org`
// on these values, so the assembler refuses a layout in which a routine would
// overlap a catalogued site.
//
//   sample_offsets fix|party <out.inc>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "binding/catalogue.h"

namespace {

// Names the guest source uses for the host routines' sites.
const char *const routine_names[] = {
    "none",
    "dma_buffer_position",
    "dma_stop",
    "dma_play_buffer",
    "dma_free_buffer",
    "dma_alloc_buffer",
    "console_puts",
    "report_zero",
    "console_putc",
    "timer_set_rate",
    "timer_set_callbacks",
    "timer_stop_player",
    "timer_play_player",
    "timer_close",
    "timer_init",
    "report_fourteen",
    "succeed_noop",
    "console_flush",
    "read_key",
    "poll_events",
    "ftell",
    "fseek",
    "guest_exit",
    "pool_alloc",
    "console_printf",
    "int386_service",
    "guest_memset",
    "ignore_one",
    "fread",
    "fclose",
    "fopen",
    "fade_palette",
};
static_assert(sizeof routine_names / sizeof *routine_names ==
              static_cast<size_t>(HostRoutine::count));

const char *const symbol_names[sym::count] = {
    "entry_stub",       "mix_length",     "unnamed_2",          "guard_table",
    "sound_ready",      "fade_select",    "guest_palette",      "sound_device",
    "device_extra",     "device_list",    "fade_scale",         "guest_close_hook",
    "guest_mixer_open", "guest_prestart", "guest_error_report", "guest_main",
};

// The sites of a list ended by 0, ascending.
std::vector<unsigned> sorted_sites(const uint32_t *list) {
    std::vector<unsigned> sites;
    for (; *list; list++) {
        sites.push_back(*list);
    }
    std::sort(sites.begin(), sites.end());
    return sites;
}

[[noreturn]] void fail(const std::string &why) {
    fprintf(stderr, "sample_offsets: %s\n", why.c_str());
    exit(1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "fix") != 0 && strcmp(argv[1], "party") != 0)) {
        fail("usage: sample_offsets fix|party <out.inc>");
    }
    const bool party = strcmp(argv[1], "party") == 0;
    const GuestRelease &release = party ? release_party : release_fix;
    if (!release.patches) {
        fail("release without code patches");
    }
    const ReleasePatches &patches = *release.patches;

    std::string out;
    auto set = [&out](const std::string &name, unsigned value) {
        char line[128];
        snprintf(line, sizeof line, ".set %s, 0x%X\n", name.c_str(), value);
        out += line;
    };
    out += party ? "# Offsets of the Party release (generated).\n"
                 : "# Offsets of the Fix release (generated).\n";
    set("RELEASE_PARTY", party ? 1 : 0);

    // Redirect sites; a routine named twice gets _a, _b in stored order.
    const RedirectGroup &group = release.redirect_groups[0];
    if (group.object != 1 || release.redirect_groups[1].object != 0) {
        fail("expected one redirect group, for object 1");
    }
    int seen[static_cast<int>(HostRoutine::count)] = {};
    for (const Redirect *r = group.redirects; r->offset != end_of_list; r++) {
        const int index = static_cast<int>(r->host_routine);
        std::string name = std::string("SITE_") + routine_names[index];
        if (r->host_routine == HostRoutine::succeed_noop) {
            name += seen[index] == 0 ? "_a" : "_b";
        }
        seen[index]++;
        set(name, r->offset);
    }

    // Stubs, ascending, so the source can place them in order.
    const StubGroup &stubs = release.stub_groups[0];
    if (stubs.object != 1 || release.stub_groups[1].object != 0) {
        fail("expected one stub group, for object 1");
    }
    std::vector<unsigned> stub_offsets;
    for (const uint32_t *s = stubs.offsets; *s != end_of_list; s++) {
        stub_offsets.push_back(*s);
    }
    std::sort(stub_offsets.begin(), stub_offsets.end());
    for (size_t i = 0; i < stub_offsets.size(); i++) {
        set("STUB_" + std::to_string(i), stub_offsets[i]);
    }
    set("STUB_COUNT", static_cast<unsigned>(stub_offsets.size()));

    for (int i = 0; i < sym::count; i++) {
        const GuestSymbol &s = release.symbols[i];
        set(std::string("SYM_") + symbol_names[i], s.location);
        set(std::string("OBJ_") + symbol_names[i], s.object);
    }
    if (release.symbols[sym::count].object != 0) {
        fail("symbol table longer than expected");
    }

    for (int i = 0; i < 3; i++) {
        set("TICK_" + std::to_string(i + 1), patches.tick_operands[i]);
    }
    set("SOLID_HOOK", patches.solid_palette_hook);
    set("FRAME_HOOK", patches.frame_copy_hook);

    // Each blank-palette site pairs with the NOP byte that precedes it; the
    // two NOP bytes before the first pair stand alone.
    const std::vector<unsigned> nops = sorted_sites(patches.nop_offsets);
    const std::vector<unsigned> blanks = sorted_sites(patches.blank_hook_sites);
    const size_t lone = nops.size() - blanks.size();
    if (lone != 2) {
        fail("expected two NOP bytes without a blank-palette site");
    }
    set("NOP_SOLID", nops[0]);
    set("NOP_LONE", nops[1]);
    for (size_t i = 0; i < blanks.size(); i++) {
        const unsigned nop = nops[lone + i];
        if (nop >= blanks[i] - 1 || (i > 0 && nop < blanks[i - 1] + 9)) {
            fail("NOP byte " + std::to_string(nop) + " is not just before blank site " +
                 std::to_string(blanks[i]));
        }
        set("NOP_" + std::to_string(i), nop);
        set("BLANK_" + std::to_string(i), blanks[i]);
    }
    set("BLANK_COUNT", static_cast<unsigned>(blanks.size()));

    FILE *f = fopen(argv[2], "w");
    if (!f || fputs(out.c_str(), f) < 0 || fclose(f) != 0) {
        fail(std::string("cannot write ") + argv[2]);
    }
    return 0;
}

// Release code patches: the entry adapter, the tick operands, the palette and
// frame hooks and the NOP bytes, at each release's own offsets in object 1.
#include <cstring>

#include "binding/bind.h"
#include "loader/loader.h"
#include "machine/display.h"
#include "machine/events.h"
#include "shell/host.h"

struct ReleasePatchList {
    const uint32_t *nop_offsets;      // ended by 0
    const uint32_t *blank_hook_sites; // ended by 0; each hook starts one byte before
};

static const uint32_t fix_nops[] = {12899,  110936, 125277, 126129, 128834, 129365,
                                    129802, 131175, 131669, 136311, 137022, 137936,
                                    138694, 139414, 134977, 135565, 0};
static const uint32_t party_nops[] = {12899,  110896, 125245, 126097, 128802, 129333,
                                      129770, 131143, 131637, 134940, 135530, 136276,
                                      136990, 137903, 138648, 139380, 0};
static const uint32_t fix_blank_sites[] = {125285, 126137, 128842, 129373, 129810,
                                           131183, 131677, 136319, 137030, 137946,
                                           138702, 139422, 134985, 135573, 0};
static const uint32_t party_blank_sites[] = {125253, 126105, 128810, 129341, 129778,
                                             131151, 131645, 134948, 135538, 136284,
                                             136998, 137911, 138663, 139388, 0};

static const ReleasePatchList fix_patches = {fix_nops, fix_blank_sites};
static const ReleasePatchList party_patches = {party_nops, party_blank_sites};

constexpr uint32_t tick_operand_sites[3] = {122674, 122693, 122786}; // Fix; Party is 32 lower
constexpr uint32_t solid_palette_site = 12906;
constexpr uint32_t frame_copy_site = 48109;

void apply_release_patches() {
    uint8_t *code1 = reinterpret_cast<uint8_t *>(guest_objects[0].host_base);

    uint8_t *entry = reinterpret_cast<uint8_t *>(guest_symbol(sym::entry_stub));
    const uint8_t entry_adapter[8] = {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x54, 0x24, 0x08};
    memcpy(entry, entry_adapter, sizeof entry_adapter);
    entry[8] = 0xE9;
    const uint32_t to_main =
        guest_symbol(sym::guest_main) - (reinterpret_cast<uint32_t>(entry) + 13);
    memcpy(entry + 9, &to_main, 4);

    const uint32_t d = is_party_release ? 32 : 0;
    const uint32_t ticks = reinterpret_cast<uint32_t>(&tick_counter);
    for (uint32_t site : tick_operand_sites) {
        memcpy(code1 + site - d, &ticks, 4);
    }

    const ReleasePatchList &list = is_party_release ? party_patches : fix_patches;
    write_code_template(code1 + solid_palette_site, reinterpret_cast<void *>(&fill_palette_solid),
                        solid_palette_hook, 10);
    write_code_template(code1 + frame_copy_site, reinterpret_cast<void *>(&copy_frame),
                        frame_copy_hook, 10);
    for (const uint32_t *nop = list.nop_offsets; *nop; nop++) {
        code1[*nop] = 0x90;
    }
    for (const uint32_t *s = list.blank_hook_sites; *s; s++) {
        write_code_template(code1 + *s - 1, reinterpret_cast<void *>(&blank_palette),
                            blank_palette_hook, 7);
    }
}

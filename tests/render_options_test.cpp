// The render's -seconds value: whole seconds and up to three decimals, read
// exactly into demo time, and nothing else.
#include <gtest/gtest.h>

#include "render/render.h"

namespace {

TEST(RenderOptions, SecondsAreReadExactlyIntoDemoTime) {
    const struct {
        const char *text;
        DemoTime at;
    } accepted[] = {
        {"1.5", demo_units_per_second * 3 / 2},    {"0.25", demo_units_per_second / 4},
        {"2.125", demo_units_per_second * 17 / 8}, {"1.05", demo_units_per_second * 21 / 20},
        {"0.001", demo_units_per_second / 1000},   {"86400", demo_units_per_second * 86400},
    };
    for (const auto &a : accepted) {
        parse_render_seconds(a.text);
        EXPECT_EQ(render_escape_at, a.at) << a.text;
    }
    for (const char *refused : {"1.2345", ".5", "1.", "-1", "1e3", "86400.001", " 1", ""}) {
        EXPECT_EXIT(parse_render_seconds(refused), testing::ExitedWithCode(1),
                    "^seconds .*: not a length in seconds")
            << refused;
    }
}

} // namespace

// Demo time: exact steps, listeners in order, and samples counted without
// drift over any length.
#include <gtest/gtest.h>
#include <utility>
#include <vector>

#include "machine/clock.h"

namespace {

std::vector<std::pair<DemoTime, DemoTime>> sound_calls, render_calls;

void record_sound(DemoTime from, DemoTime to) {
    sound_calls.emplace_back(from, to);
    // A pass that polls or presents must not start an advance of its own.
    clock_poll_pause();
    demo_present_frame();
}
void record_render(DemoTime from, DemoTime to) {
    render_calls.emplace_back(from, to);
}

TEST(DemoClock, PollsAndFramesMoveTimeByExactStepsAndListenersSeeEachOnce) {
    demo_clock = true;
    set_demo_listeners(record_sound, record_render);
    EXPECT_EQ(clock_ms(), 0u);
    clock_poll_pause();
    EXPECT_EQ(demo_now(), 5 * demo_units_per_ms);
    // The next refresh strictly after now, also from a slot boundary.
    EXPECT_EQ(demo_present_frame(), frame_slot_units);
    EXPECT_EQ(demo_present_frame(), 2 * frame_slot_units);
    demo_advance_to(demo_now()); // no step back, no empty advance
    demo_advance_to(frame_slot_units);
    const std::vector<std::pair<DemoTime, DemoTime>> expected = {
        {0, 5 * demo_units_per_ms},
        {5 * demo_units_per_ms, frame_slot_units},
        {frame_slot_units, 2 * frame_slot_units}};
    EXPECT_EQ(sound_calls, expected);
    EXPECT_EQ(render_calls, expected);
    EXPECT_EQ(demo_advances(), 3u);
    // 1000 polls: exactly 5 s, tick-counter milliseconds included.
    for (int i = 0; i < 1000; i++) {
        clock_poll_pause();
    }
    EXPECT_EQ(demo_now(), 2 * frame_slot_units + 5 * demo_units_per_second);
    EXPECT_EQ(clock_ms(), 5028u); // two slots are 28.54 ms
    set_demo_listeners(nullptr, nullptr);
    demo_clock = false;
}

// floor(t x rate / units) against the plain 64-bit product, which is exact
// while it fits, over rates and times from a sample to days.
TEST(DemoClock, SamplesBeforeIsExactFloor) {
    for (const int64_t rate : {8000, 11025, 22050, 44100, 48000, 65535}) {
        for (DemoTime t = 0; t < (DemoTime{1} << 46); t = t * 3 + 12345) {
            for (const DemoTime near : {t - 1, t, t + 1}) {
                if (near < 0) {
                    continue;
                }
                const uint64_t reference = static_cast<uint64_t>(near) *
                                           static_cast<uint64_t>(rate) /
                                           static_cast<uint64_t>(demo_units_per_second);
                ASSERT_EQ(samples_before(near, rate), static_cast<int64_t>(reference))
                    << "t " << near << " rate " << rate;
            }
        }
    }
    // A whole hour of 44.1 kHz is exactly 158,760,000 samples: no drift.
    EXPECT_EQ(samples_before(3600 * demo_units_per_second, 44100), 158760000);
    EXPECT_EQ(samples_before(frame_slot_units, 44100), 629); // 629.2
}

} // namespace

// Starting the guest: prestart with EAX = 255 first, then the main routine
// through the entry point with argc = 1 and argv = {"lumox.exe", NULL}.
#include <cstring>
#include <gtest/gtest.h>

#include "binding/bind.h"
#include "support/guest_routines.h"

namespace {

int entry_calls;
uint32_t eax_seen_by_prestart_at_entry;
int seen_argc;
const char **seen_argv;

int fake_entry(int argc, const char **argv) {
    entry_calls++;
    eax_seen_by_prestart_at_entry = clobbering_seen_eax;
    seen_argc = argc;
    seen_argv = argv;
    return 23;
}

TEST(StartGuest, PrestartThenMainWithTheGuestArguments) {
    GuestSymbol symbols[sym::count + 1] = {};
    symbols[sym::entry_stub] = {1, reinterpret_cast<uint32_t>(&fake_entry)};
    symbols[sym::guest_prestart] = {1, reinterpret_cast<uint32_t>(&clobbering_routine)};
    guest_symbols = symbols;
    clobbering_seen_eax = 0;

    EXPECT_EQ(start_guest(), 23);
    EXPECT_EQ(entry_calls, 1);
    EXPECT_EQ(eax_seen_by_prestart_at_entry, 255u);
    EXPECT_EQ(seen_argc, 1);
    ASSERT_NE(seen_argv, nullptr);
    EXPECT_STREQ(seen_argv[0], "lumox.exe");
    EXPECT_EQ(seen_argv[1], nullptr);
}

} // namespace

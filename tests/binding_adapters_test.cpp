// Redirects and adapters, written and then executed: a guest-style call with
// register and stack arguments reaches a host routine in the host's stack
// convention, on a stack aligned to 4 bytes only, and the guest sees nothing
// but EAX change. Also the stubs and the two bridges into guest code.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "shell/guest_abi.h"
#include "support/exec_memory.h"
#include "support/guest_call.h"
#include "support/guest_routines.h"
#include "support/process.h"

namespace {

uint32_t seen[8];
uintptr_t seen_aligned_local;
int calls;

// Records eight parameter words (those beyond the ones passed are whatever lies
// above them on the stack) and where a 16-byte aligned local ended up.
GUEST_ENTRY uint32_t record_params(uint32_t p1, uint32_t p2, uint32_t p3, uint32_t p4, uint32_t p5,
                                   uint32_t p6, uint32_t p7, uint32_t p8) {
    alignas(16) volatile uint8_t probe[16] = {};
    seen_aligned_local = reinterpret_cast<uintptr_t>(probe);
    const uint32_t params[8] = {p1, p2, p3, p4, p5, p6, p7, p8};
    memcpy(seen, params, sizeof seen);
    calls++;
    return 0x5EED0000 | probe[0];
}

uint32_t rel32_at(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

uint32_t addr(const void *p) {
    return reinterpret_cast<uint32_t>(p);
}

bool is_return_into_guest_call(uint32_t a) {
    return a > addr(reinterpret_cast<void *>(&guest_call)) &&
           a < addr(reinterpret_cast<void *>(&guest_call)) + 256;
}

const GuestCallRegs start_regs = {0xA1, 0xB2, 0xC3, 0xD4, 0x51, 0xD1, 0xB9};
const uint32_t stack_args[4] = {0x1001, 0x1002, 0x1003, 0x1004};

TEST(Redirect, WorkedLayoutArgCodeOneAndSix) {
    uint8_t *code = exec_memory(4096);
    void *host = reinterpret_cast<void *>(&record_params);
    const uint32_t r = addr(host);

    uint8_t *a = write_redirect(code, host, 1);
    ASSERT_NE(a, nullptr);
    const uint8_t head1[] = {0x51, 0x52, 0x50, 0xE8};
    EXPECT_EQ(memcmp(a, head1, 4), 0);
    EXPECT_EQ(rel32_at(a + 4), r - (addr(a) + 8));
    const uint8_t tail1[] = {0x59, 0x5A, 0x59, 0xC3};
    EXPECT_EQ(memcmp(a + 8, tail1, 4), 0);
    EXPECT_EQ(code[0], 0xE9);
    EXPECT_EQ(rel32_at(code + 1), addr(a) - (addr(code) + 5));

    uint8_t *b = write_redirect(code + 16, host, 6);
    const uint8_t head6[] = {0x51, 0x53, 0x52, 0x50, 0xE8};
    EXPECT_EQ(memcmp(b, head6, 5), 0);
    EXPECT_EQ(rel32_at(b + 5), r - (addr(b) + 9));
    const uint8_t tail6[] = {0x59, 0x5A, 0x5B, 0x59, 0xC2, 0x08, 0x00};
    EXPECT_EQ(memcmp(b + 9, tail6, 7), 0);
    EXPECT_NE(b, a);
}

TEST(Redirect, AdapterFormsByArgCode) {
    uint8_t *code = exec_memory(4096);
    void *host = reinterpret_cast<void *>(&record_params);
    for (int16_t c : {-1, 0, 1, 2}) {
        const uint8_t *a = write_redirect(code, host, c);
        EXPECT_EQ(a[0], 0x51) << c;
        EXPECT_EQ(a[3], 0xE8) << c;
        EXPECT_EQ(a[11], 0xC3) << c;
    }
    for (int16_t c : {3, 4}) {
        const uint8_t *a = write_redirect(code, host, c);
        EXPECT_EQ(a[4], 0xE8) << c;
        EXPECT_EQ(a[13], 0xC3) << c;
    }
    const uint8_t *five = write_redirect(code, host, 5);
    EXPECT_EQ(five[13], 0xC2);
    EXPECT_EQ(five[14], 0x04);
    EXPECT_EQ(five[15], 0x00);
    // A plain jump needs no adapter.
    EXPECT_EQ(write_redirect(code, host, -2), nullptr);
    EXPECT_EQ(rel32_at(code + 1), addr(host) - (addr(code) + 5));
}

// Each adapter gets a block of its own; blocks never overlap.
TEST(Redirect, AdapterBlocksAreSeparate) {
    uint8_t *code = exec_memory(4096);
    void *host = reinterpret_cast<void *>(&record_params);
    std::vector<std::pair<uintptr_t, uintptr_t>> blocks; // [start, end)
    for (int i = 0; i < 600; i++) {                      // crosses several arena pages
        const bool four = i % 3 == 0;
        const uint8_t *a = write_redirect(code, host, four ? 6 : 0);
        blocks.emplace_back(reinterpret_cast<uintptr_t>(a),
                            reinterpret_cast<uintptr_t>(a) + (four ? 16 : 14));
    }
    std::sort(blocks.begin(), blocks.end());
    for (size_t i = 1; i < blocks.size(); i++) {
        EXPECT_LE(blocks[i - 1].second, blocks[i].first);
    }
    // The first adapters still work after many more were made.
    uint8_t *site = exec_memory(4096);
    write_redirect(site, host, 4);
    for (int i = 0; i < 300; i++) {
        write_redirect(code, host, 3);
    }
    GuestCallRegs regs = start_regs;
    guest_call(addr(site), &regs, stack_args, 0, 0);
    EXPECT_EQ(regs.eax & 0xFFFF0000, 0x5EED0000u);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_asan = true;
#elif defined(__has_feature)
constexpr bool under_asan = __has_feature(address_sanitizer);
#else
constexpr bool under_asan = false;
#endif

// Caps the address space at what the process holds now, then asks for far
// more adapters than one page holds.
void redirect_without_address_space(uint8_t *code) {
    FILE *statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!statm || fscanf(statm, "%lu", &pages) != 1) {
        abort();
    }
    fclose(statm);
    const rlim_t held = static_cast<rlim_t>(pages) * 4096;
    const rlimit limit = {held, held};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        abort();
    }
    for (int i = 0; i < 1000; i++) {
        write_redirect(code, reinterpret_cast<void *>(&record_params), 0);
    }
}

// The next page of adapters cannot be mapped: the failure names the call.
TEST(RedirectDeathTest, NoPagesForAdaptersIsAnMmapFailure) {
    if (under_asan) {
        GTEST_SKIP() << "the sanitizer's own mappings need the address space";
    }
    if (under_emulator()) {
        GTEST_SKIP() << "under the user-mode emulator the address-space limit binds the "
                        "emulator, which holds the guest's space already";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t *code = exec_memory(4096);
    EXPECT_EXIT(redirect_without_address_space(code), testing::ExitedWithCode(1),
                "^mmap: Cannot allocate memory\n$");
}

struct CallCase {
    int16_t arg_code;
    int register_params; // 0 for a plain jump
};

class GuestStyleCall : public ::testing::TestWithParam<int> {};

TEST_P(GuestStyleCall, ParametersRegistersAndStackForEveryArgCode) {
    const int esp_mod = GetParam();
    uint8_t *site = exec_memory(4096);
    void *host = reinterpret_cast<void *>(&record_params);
    const CallCase cases[] = {{-2, 0}, {-1, 3}, {0, 3}, {1, 3}, {2, 3}, {3, 4},
                              {4, 4},  {5, 4},  {6, 4}, {7, 4}, {8, 4}};
    for (const CallCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "arg_code " << c.arg_code << " esp%16 " << esp_mod);
        write_redirect(site, host, c.arg_code);
        GuestCallRegs regs = start_regs;
        calls = 0;
        const int popped = guest_call(addr(site), &regs, stack_args, 4, esp_mod);
        ASSERT_EQ(calls, 1);
        EXPECT_EQ(seen_aligned_local % 16, 0u);
        EXPECT_EQ(regs.eax & 0xFFFF0000, 0x5EED0000u);

        if (c.register_params == 0) {
            // The host routine sees the guest's own stack arguments.
            for (int i = 0; i < 4; i++) {
                EXPECT_EQ(seen[i], stack_args[i]);
            }
            EXPECT_EQ(regs.ebx, start_regs.ebx);
            EXPECT_EQ(regs.esi, start_regs.esi);
            EXPECT_EQ(regs.edi, start_regs.edi);
            EXPECT_EQ(regs.ebp, start_regs.ebp);
            EXPECT_EQ(popped, 0);
            continue;
        }
        if (c.register_params == 3) {
            EXPECT_EQ(seen[0], start_regs.eax);
            EXPECT_EQ(seen[1], start_regs.edx);
            EXPECT_EQ(seen[2], start_regs.ecx);
        } else {
            EXPECT_EQ(seen[0], start_regs.eax);
            EXPECT_EQ(seen[1], start_regs.edx);
            EXPECT_EQ(seen[2], start_regs.ebx);
            EXPECT_EQ(seen[3], start_regs.ecx);
        }
        const int ret = c.register_params;
        EXPECT_TRUE(is_return_into_guest_call(seen[ret])) << std::hex << seen[ret];
        for (int i = 0; ret + 1 + i < 8 && i < 4; i++) {
            EXPECT_EQ(seen[ret + 1 + i], stack_args[i]);
        }
        GuestCallRegs expected = start_regs;
        expected.eax = regs.eax;
        EXPECT_EQ(memcmp(&regs, &expected, sizeof regs), 0)
            << "changed: " << changed_registers(expected, regs);
        EXPECT_EQ(popped, c.arg_code >= 5 ? (c.arg_code - 4) * 4 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(EspModulo16, GuestStyleCall, ::testing::Values(0, 4, 8, 12));

TEST(Stub, ReturnsWithEveryRegisterAsTheCallerLeftIt) {
    uint8_t *code = exec_memory(4096);
    code[0] = 0xC3;
    code[1] = 0x0F; // the rest of the routine is never reached
    code[2] = 0x0B;
    for (int esp_mod : {0, 4, 8, 12}) {
        GuestCallRegs regs = start_regs;
        EXPECT_EQ(guest_call(addr(code), &regs, stack_args, 2, esp_mod), 0);
        EXPECT_EQ(memcmp(&regs, &start_regs, sizeof regs), 0)
            << changed_registers(start_regs, regs);
    }
}

TEST(Bridge, CallGuestEaxReturnsTheValueAndRestoresEveryRegister) {
    for (uint32_t value : {255u, 0u, 0xFFFFFFFFu}) {
        for (int esp_mod : {0, 4, 8, 12}) {
            GuestCallRegs regs = start_regs;
            const uint32_t args[2] = {value, addr(reinterpret_cast<void *>(&clobbering_routine))};
            guest_call(addr(reinterpret_cast<void *>(&call_guest_eax)), &regs, args, 2, esp_mod);
            EXPECT_EQ(clobbering_seen_eax, value);
            EXPECT_EQ(clobbering_seen_ecx, args[1]);
            EXPECT_EQ(regs.eax, value); // not the routine's 7
            EXPECT_EQ(regs.ebx, start_regs.ebx);
            EXPECT_EQ(regs.esi, start_regs.esi);
            EXPECT_EQ(regs.edi, start_regs.edi);
            EXPECT_EQ(regs.ebp, start_regs.ebp);
        }
    }
    EXPECT_EQ(call_guest_eax(255, addr(reinterpret_cast<void *>(&clobbering_routine))), 255u);
}

TEST(Bridge, CallGuestStackPassesArgumentsInOrderAndKeepsEbxEsi) {
    const uint32_t r = addr(reinterpret_cast<void *>(&stack_routine));
    for (int esp_mod : {0, 4, 8, 12}) {
        GuestCallRegs regs = start_regs;
        const uint32_t args[5] = {3, r, 0xA, 0xB, 0xC};
        const int popped =
            guest_call(addr(reinterpret_cast<void *>(&call_guest_stack)), &regs, args, 5, esp_mod);
        EXPECT_EQ(popped, 0);
        EXPECT_EQ(regs.eax, 42u);
        EXPECT_EQ(stack_seen[0], 0xAu);
        EXPECT_EQ(stack_seen[1], 0xBu);
        EXPECT_EQ(stack_seen[2], 0xCu);
        EXPECT_EQ(regs.ebx, start_regs.ebx);
        EXPECT_EQ(regs.esi, start_regs.esi);
        EXPECT_EQ(regs.edi, start_regs.edi);
        EXPECT_EQ(regs.ebp, start_regs.ebp);
    }
    memset(stack_seen, 0, sizeof stack_seen);
    EXPECT_EQ(call_guest_stack(1, r, 0x77u), 42u);
    EXPECT_EQ(stack_seen[0], 0x77u);
}

TEST(CodeTemplate, ExpandsEveryE8AndNeverWritesTheZero) {
    uint8_t buf[32];
    memset(buf, 0xEE, sizeof buf);
    void *host = reinterpret_cast<void *>(&record_params);
    write_code_template(buf, host, solid_palette_hook, 10);
    EXPECT_EQ(buf[0], 0x60);
    EXPECT_EQ(buf[1], 0xE8);
    EXPECT_EQ(rel32_at(buf + 2), addr(host) - (addr(buf) + 6));
    const uint8_t rest[] = {0x61, 0x41, 0x83, 0xC3, 0x03, 0xEB, 0x1C};
    EXPECT_EQ(memcmp(buf + 6, rest, 7), 0);
    EXPECT_EQ(buf[13], 0xEE);

    memset(buf, 0xEE, sizeof buf);
    write_code_template(buf, host, blank_palette_hook, 7);
    EXPECT_EQ(buf[9], 0x90);
    EXPECT_EQ(buf[10], 0xEE);

    memset(buf, 0xEE, sizeof buf);
    write_code_template(buf, host, frame_copy_hook, 1);
    EXPECT_EQ(buf[0], 0xEE);
}

} // namespace

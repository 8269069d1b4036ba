// Every guest-facing machine routine called the way the guest calls it: through
// its real redirect adapter or code hook, on a stack aligned to 4 bytes only.
// The guest must see nothing but EAX change (the hooks: nothing but what their
// own instructions after the call change).
#include <SDL.h>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "machine/display.h"
#include "machine/events.h"
#include "machine/runtime.h"
#include "support/exec_memory.h"
#include "support/guest_call.h"
#include "support/process.h"

namespace {

const GuestCallRegs start_regs = {0xA1, 0xB2, 0xC3, 0xD4, 0x51, 0xD1, 0xB9};
const int esp_mods[] = {0, 4, 8, 12};

uint32_t addr(const void *p) {
    return reinterpret_cast<uint32_t>(p);
}

// A guest site redirected to the routine with the given argument code.
uint32_t redirected(void *routine, int16_t arg_code) {
    uint8_t *site = exec_memory(16);
    write_redirect(site, routine, arg_code);
    return addr(site);
}

template <typename F> uint32_t redirected(F *routine, int16_t arg_code) {
    return redirected(reinterpret_cast<void *>(routine), arg_code);
}

// Calls the site once at each ESP alignment with the registers given and the
// stack arguments, checks that only EAX (and, for a plain jump, ECX and EDX)
// came back changed and that nothing was popped, and returns each EAX.
std::vector<uint32_t> call_each_alignment(uint32_t site, GuestCallRegs regs,
                                          std::vector<uint32_t> args = {}, bool plain_jump = false,
                                          const std::function<void()> &between = {}) {
    std::vector<uint32_t> results;
    for (int esp_mod : esp_mods) {
        SCOPED_TRACE(testing::Message() << "esp%16 " << esp_mod);
        if (between) {
            between();
        }
        GuestCallRegs after = regs;
        EXPECT_EQ(guest_call(site, &after, args.data(), static_cast<int>(args.size()), esp_mod), 0);
        GuestCallRegs expected = regs;
        expected.eax = after.eax;
        if (plain_jump) {
            expected.ecx = after.ecx;
            expected.edx = after.edx;
        }
        EXPECT_EQ(memcmp(&after, &expected, sizeof after), 0)
            << "changed: " << changed_registers(expected, after);
        results.push_back(after.eax);
    }
    return results;
}

GuestCallRegs with(uint32_t eax, uint32_t edx = 0xD4, uint32_t ebx = 0xB2, uint32_t ecx = 0xC3) {
    GuestCallRegs r = start_regs;
    r.eax = eax;
    r.edx = edx;
    r.ebx = ebx;
    r.ecx = ecx;
    return r;
}

float test_fade_scale = 1.0f;
int32_t test_fade_select = 0;
uint8_t test_guest_palette[768];
GuestSymbol test_symbols[sym::count + 1];

class ThroughAdapter : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER), 0) << SDL_GetError();
        video_mutex = SDL_CreateMutex();
        for (int i = 0; i < sym::count; i++) {
            test_symbols[i].object = 1;
        }
        test_symbols[sym::fade_scale].location = addr(&test_fade_scale);
        test_symbols[sym::fade_select].location = addr(&test_fade_select);
        test_symbols[sym::guest_palette].location = addr(test_guest_palette);
        guest_symbols = test_symbols;
    }
    void SetUp() override { pool_next = memory_pool; }
};

TEST_F(ThroughAdapter, FadePalette) {
    memset(test_guest_palette, 63, sizeof test_guest_palette);
    const uint32_t site = redirected(&fade_palette, 1);
    call_each_alignment(site, with(0x20FF));
    EXPECT_EQ(host_palette[0].r, 31 * 4);
    EXPECT_EQ(host_palette[255].b, 31 * 4);
}

TEST_F(ThroughAdapter, GuestMemset) {
    std::vector<uint8_t> memory(40, 0xEE);
    const uint32_t dst = addr(memory.data() + 4);
    const uint32_t site = redirected(&guest_memset, 3);
    for (uint32_t eax : call_each_alignment(site, with(dst, 0x77, 32))) {
        EXPECT_EQ(eax, dst);
    }
    EXPECT_EQ(memory[4], 0x77);
    EXPECT_EQ(memory[35], 0x77);
    EXPECT_EQ(memory[36], 0xEE);
    for (uint32_t eax : call_each_alignment(site, with(video_memory, 0, 64000))) {
        EXPECT_EQ(eax, 0u) << "the screen path";
    }
}

TEST_F(ThroughAdapter, InterruptServiceDpmiAndVideo) {
    uint8_t info[48] = {};
    GuestRegs in{0x0500, 0, 0, 0, 0, addr(info), 0};
    GuestRegs out{1, 2, 3, 4, 5, 6, 7};
    const uint32_t site = redirected(&int386_service, 4);
    call_each_alignment(site, with(0x31, addr(&in), addr(&out), 0x99));
    EXPECT_EQ(info[0], 0x42);
    EXPECT_EQ(info[3], 0x01);
    EXPECT_EQ(out.cflag, 0u);
    EXPECT_EQ(out.edi, 6u);

    GuestRegs mode{0x0013, 0, 0, 0, 0, 0, 0};
    call_each_alignment(site, with(0x10, addr(&mode), addr(&out), 0));
    EXPECT_NE(screen, nullptr);
    mode.eax = 0x0003;
    call_each_alignment(site, with(0x10, addr(&mode), addr(&out), 0));
}

TEST_F(ThroughAdapter, PoolAlloc) {
    const uint32_t site = redirected(&pool_alloc, 1);
    const std::vector<uint32_t> blocks = call_each_alignment(site, with(10));
    for (size_t i = 0; i < blocks.size(); i++) {
        EXPECT_EQ(blocks[i], addr(memory_pool) + 14 * i);
    }
}

TEST_F(ThroughAdapter, ConsoleRoutines) {
    const uint32_t printf_site = redirected(&console_printf, -1);
    const uint32_t puts_site = redirected(&console_puts, 2);
    const uint32_t putc_site = redirected(&console_putc, 2);
    const uint32_t flush_site = redirected(&console_flush, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const char format[] = "%d-%s;";
    const std::vector<uint32_t> printed =
        call_each_alignment(printf_site, with(1, 2, 3, 4), {addr(format), 7, addr("x")});
    call_each_alignment(puts_site, with(addr("s"), 0x1234));
    call_each_alignment(putc_site, with('c', 0x1234));
    const std::vector<uint32_t> flushed = call_each_alignment(flush_site, with(0x55));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, (std::vector<uint32_t>{4, 4, 4, 4}));
    EXPECT_EQ(flushed, (std::vector<uint32_t>{0, 0, 0, 0}));
    EXPECT_EQ(out, "7-x;7-x;7-x;7-x;");
    EXPECT_EQ(err, "sssscccc");
}

TEST_F(ThroughAdapter, FileRoutines) {
    TempDir dir;
    write_bytes(dir.file("data.bin"), {10, 11, 12, 13, 14, 15, 16, 17});
    const std::string name = dir.file("data.bin");
    const uint32_t open_site = redirected(&guest_fopen, 2);
    const uint32_t read_site = redirected(&guest_fread, 4);
    const uint32_t seek_site = redirected(&guest_fseek, 3);
    const uint32_t tell_site = redirected(&guest_ftell, 1);
    const uint32_t close_site = redirected(&guest_fclose, 1);

    const std::vector<uint32_t> streams =
        call_each_alignment(open_site, with(addr(name.c_str()), addr("rb")));
    for (uint32_t stream : streams) {
        ASSERT_NE(stream, 0u);
    }
    const uint32_t f = streams[0];
    uint8_t buf[8] = {};
    EXPECT_EQ(call_each_alignment(read_site, with(addr(buf), 1, 2, f)),
              (std::vector<uint32_t>{2, 2, 2, 2}));
    EXPECT_EQ(buf[1], 17) << "four reads of two bytes";
    call_each_alignment(seek_site, with(f, 3, SEEK_SET));
    EXPECT_EQ(call_each_alignment(tell_site, with(f)), (std::vector<uint32_t>{3, 3, 3, 3}));
    const std::vector<uint32_t> bad_seek = call_each_alignment(seek_site, with(f, -1, SEEK_SET));
    EXPECT_EQ(bad_seek[0], static_cast<uint32_t>(-1));
    call_each_alignment(seek_site, with(f, -3, SEEK_END));
    EXPECT_EQ(call_each_alignment(read_site, with(addr(buf), 1, 8, f)),
              (std::vector<uint32_t>{3, 0, 0, 0}))
        << "a short count at the end, then nothing";
    EXPECT_EQ(buf[2], 17);
    for (uint32_t stream : streams) {
        GuestCallRegs regs = with(stream);
        guest_call(close_site, &regs, nullptr, 0, 4);
        EXPECT_EQ(regs.eax, 0u);
    }
    EXPECT_EQ(call_each_alignment(open_site, with(addr("no/such/file"), addr("rb"))),
              (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST_F(ThroughAdapter, KeyboardRoutines) {
    const uint32_t poll_site = redirected(&poll_events, 0);
    const uint32_t key_site = redirected(&read_key, 0);
    SDL_Event release{};
    release.type = SDL_KEYUP;
    release.key.keysym.sym = SDLK_ESCAPE;
    SDL_PushEvent(&release);
    EXPECT_EQ(call_each_alignment(poll_site, with(0)),
              (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(call_each_alignment(key_site, with(0)), (std::vector<uint32_t>{27, 0, 0, 0}));
}

TEST_F(ThroughAdapter, IgnoreOneAndSucceedNoop) {
    EXPECT_EQ(call_each_alignment(redirected(&ignore_one, 1), with(0x12345678)),
              (std::vector<uint32_t>{0x12345678, 0x12345678, 0x12345678, 0x12345678}));
    EXPECT_EQ(call_each_alignment(redirected(&succeed_noop, -2), with(0x99), {1, 2, 3}, true),
              (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST_F(ThroughAdapter, GuestExit) {
    const uint32_t site = redirected(&guest_exit, 0);
    for (int esp_mod : esp_mods) {
        EXPECT_EXIT(
            {
                GuestCallRegs regs = with(2);
                guest_call(site, &regs, nullptr, 0, esp_mod);
            },
            testing::ExitedWithCode(2), "");
    }
}

// Calls hook code at each ESP alignment and checks the registers against
// those the hook's own instructions leave.
void call_hook_each_alignment(const uint8_t *code, const GuestCallRegs &regs,
                              const GuestCallRegs &expected, std::vector<uint32_t> args = {}) {
    for (int esp_mod : esp_mods) {
        SCOPED_TRACE(testing::Message() << "esp%16 " << esp_mod);
        GuestCallRegs after = regs;
        EXPECT_EQ(
            guest_call(addr(code), &after, args.data(), static_cast<int>(args.size()), esp_mod), 0);
        EXPECT_EQ(memcmp(&after, &expected, sizeof after), 0)
            << "changed: " << changed_registers(expected, after);
    }
}

TEST_F(ThroughAdapter, FrameCopyHookEndsTheGuestRoutine) {
    // The 320x200 picture, one screen pixel a guest pixel.
    square_pixels = 1;
    scale_factor = 1;
    set_mode_13h();
    uint8_t palette[768] = {};
    palette[3 * 250] = 10;
    palette[3 * 250 + 1] = 20;
    palette[3 * 250 + 2] = 30;
    set_palette(palette);
    // The guest routine saved its registers with PUSHA; the hook follows.
    uint8_t *code = exec_memory(64);
    code[0] = 0x60; // pusha
    write_code_template(code + 1, reinterpret_cast<void *>(&copy_frame), frame_copy_hook, 10);
    std::vector<uint8_t> frame(64000);
    for (int i = 0; i < 64000; i++) {
        frame[i] = static_cast<uint8_t>(i % 251);
    }
    const GuestCallRegs regs = with(addr(frame.data()), video_memory, 64000);
    call_hook_each_alignment(code, regs, regs);
    EXPECT_EQ(memcmp(frame_pixels, frame.data(), 64000), 0);
    EXPECT_EQ(static_cast<const uint32_t *>(screen->pixels)[250],
              SDL_MapRGB(screen->format, 40, 80, 120));

    std::vector<uint8_t> other(100, 0);
    const GuestCallRegs plain = with(addr(frame.data()), addr(other.data()), 100);
    call_hook_each_alignment(code, plain, plain);
    EXPECT_EQ(other[99], 99);
}

TEST_F(ThroughAdapter, SolidPaletteHook) {
    uint8_t *code = exec_memory(64);
    write_code_template(code, reinterpret_cast<void *>(&fill_palette_solid), solid_palette_hook,
                        10);
    // JMP short +0x1C after the 13 bytes lands here; anything between traps.
    memset(code + 13, 0xCC, 0x1C);
    code[13 + 0x1C] = 0xC3; // ret
    std::vector<uint8_t> buffer(768, 0xEE);
    const GuestCallRegs regs = with(0x1111, 0x2222, addr(buffer.data()), 0x3333);
    GuestCallRegs expected = regs;
    expected.ecx += 1;
    expected.ebx += 3;
    // The colour words at S + 0x14, 0x18, 0x1C: only their low bytes count.
    call_hook_each_alignment(code, regs, expected, {0, 0, 0, 0, 0xFF1E, 0xFF14, 0xFF0A});
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(buffer[3 * i], 10);
        ASSERT_EQ(buffer[3 * i + 1], 20);
        ASSERT_EQ(buffer[3 * i + 2], 30);
        ASSERT_EQ(host_palette[i].r, 40);
        ASSERT_EQ(host_palette[i].g, 80);
        ASSERT_EQ(host_palette[i].b, 120);
    }
}

TEST_F(ThroughAdapter, BlankPaletteHook) {
    memset(host_palette, 0x44, sizeof host_palette);
    uint8_t *code = exec_memory(64);
    write_code_template(code, reinterpret_cast<void *>(&blank_palette), blank_palette_hook, 7);
    code[10] = 0xC3; // ret: the guest code that follows
    const GuestCallRegs regs = with(0x1111, 0x2222, 0xABCDEF12, 0x3333);
    GuestCallRegs expected = regs;
    expected.ebx = 0xABCD0312; // MOV BH,3
    call_hook_each_alignment(code, regs, expected);
    EXPECT_EQ(host_palette[0].r, 0);
    EXPECT_EQ(host_palette[255].b, 0);
}

} // namespace

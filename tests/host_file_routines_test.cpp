// The guest's file routines as the binder installs them: looked up through the
// routine table by the catalogue's rows and called through the real adapter
// the way the guest calls them. The C library's file routines are interposed
// here to see how they are entered: on a 16-byte aligned stack, and with
// parameter slots of their own, which a callee may overwrite. An entry that
// sends the guest straight to the library shows as a misaligned entry or as a
// guest register reloaded from an overwritten slot.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "support/exec_memory.h"
#include "support/guest_call.h"
#include "support/process.h"

namespace {

struct Probe {
    bool armed = false;
    int calls = 0;
    int misaligned = 0;
} probe;

void observe(const void *first_parameter) {
    if (probe.armed) {
        probe.calls++;
        probe.misaligned += reinterpret_cast<uintptr_t>(first_parameter) % 16 != 0;
    }
}

// A callee owns its parameter slots and may write them.
void scribble(void *slot) {
    if (probe.armed) {
        *static_cast<volatile uint32_t *>(slot) = 0xBAD0BAD0;
    }
}

template <typename F> F library(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" FILE *fopen(const char *name, const char *mode) {
    static const auto real = library<FILE *(*)(const char *, const char *)>("fopen");
    observe(&name);
    FILE *const stream = real(name, mode);
    scribble(&name);
    scribble(&mode);
    return stream;
}

extern "C" int fclose(FILE *stream) {
    static const auto real = library<int (*)(FILE *)>("fclose");
    observe(&stream);
    const int result = real(stream);
    scribble(&stream);
    return result;
}

extern "C" size_t fread(void *buffer, size_t size, size_t count, FILE *stream) {
    static const auto real = library<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    observe(&buffer);
    const size_t result = real(buffer, size, count, stream);
    scribble(&buffer);
    scribble(&size);
    scribble(&count);
    scribble(&stream);
    return result;
}

extern "C" int fseek(FILE *stream, long offset, int origin) {
    static const auto real = library<int (*)(FILE *, long, int)>("fseek");
    observe(&stream);
    const int result = real(stream, offset, origin);
    scribble(&stream);
    scribble(&offset);
    scribble(&origin);
    return result;
}

extern "C" long ftell(FILE *stream) {
    static const auto real = library<long (*)(FILE *)>("ftell");
    observe(&stream);
    const long result = real(stream);
    scribble(&stream);
    return result;
}

namespace {

uint32_t addr(const void *p) {
    return reinterpret_cast<uint32_t>(p);
}

// A guest site bound as the catalogue binds the routine's row.
uint32_t bound_site(HostRoutine routine) {
    const Redirect *r = release_fix.redirect_groups[0].redirects;
    while (r->offset != end_of_list && r->host_routine != routine) {
        r++;
    }
    EXPECT_NE(r->offset, end_of_list);
    uint8_t *site = exec_memory(16);
    write_redirect(site, host_routine_address(routine), r->arg_code);
    return addr(site);
}

// Calls the site with EAX, EDX, EBX, ECX at the given ESP alignment; every
// register but EAX must come back as it went in.
uint32_t call(uint32_t site, uint32_t eax, uint32_t edx, uint32_t ebx, uint32_t ecx, int esp_mod) {
    GuestCallRegs regs = {eax, ebx, ecx, edx, 0x5151E51E, 0xD1D1ED1E, 0xB0B0EB0E};
    const GuestCallRegs before = regs;
    EXPECT_EQ(guest_call(site, &regs, nullptr, 0, esp_mod), 0) << "nothing popped";
    GuestCallRegs expected = before;
    expected.eax = regs.eax;
    EXPECT_EQ(memcmp(&regs, &expected, sizeof regs), 0) << changed_registers(before, regs);
    return regs.eax;
}

TEST(FileRoutines, ReachedThroughTheRoutineTableOnAnAlignedStackOfTheirOwn) {
    TempDir dir;
    write_bytes(dir.file("data.bin"), {10, 11, 12, 13, 14, 15, 16, 17});
    const std::string name = dir.file("data.bin");
    const uint32_t open_site = bound_site(HostRoutine::fopen);
    const uint32_t read_site = bound_site(HostRoutine::fread);
    const uint32_t seek_site = bound_site(HostRoutine::fseek);
    const uint32_t tell_site = bound_site(HostRoutine::ftell);
    const uint32_t close_site = bound_site(HostRoutine::fclose);

    probe = Probe{true};
    for (int esp_mod : {0, 4, 8, 12}) {
        SCOPED_TRACE(testing::Message() << "esp%16 " << esp_mod);
        const uint32_t f = call(open_site, addr(name.c_str()), addr("rb"), 0xB8B8, 0xC9C9, esp_mod);
        ASSERT_NE(f, 0u);
        uint8_t buffer[4] = {};
        EXPECT_EQ(call(read_site, addr(buffer), 1, 2, f, esp_mod), 2u);
        EXPECT_EQ(buffer[1], 11);
        EXPECT_EQ(call(seek_site, f, 5, SEEK_SET, 0xC9C9, esp_mod), 0u);
        EXPECT_EQ(call(tell_site, f, 0xD4D4, 0xB8B8, 0xC9C9, esp_mod), 5u);
        EXPECT_EQ(call(read_site, addr(buffer), 1, 4, f, esp_mod), 3u)
            << "a short count at the end";
        EXPECT_EQ(buffer[2], 17);
        EXPECT_EQ(call(close_site, f, 0xD4D4, 0xB8B8, 0xC9C9, esp_mod), 0u);
    }
    const Probe seen = probe;
    probe = Probe{};
    EXPECT_EQ(seen.calls, 4 * 6) << "each call reaches the C library once";
    EXPECT_EQ(seen.misaligned, 0) << "the library entered on the guest's 4-byte alignment";
}

} // namespace

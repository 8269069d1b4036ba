// Guest runtime services: interrupts, memory pool, console, exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The guest's register record for its software-interrupt routine.
struct GuestRegs {
    uint32_t eax; // AX selects the function
    uint32_t ebx;
    uint32_t ecx;
    uint32_t edx;
    uint32_t esi;
    uint32_t edi; // int 31h AX=0500h: free-memory information buffer
    uint32_t cflag;
};
static_assert(sizeof(GuestRegs) == 28);
static_assert(offsetof(GuestRegs, edi) == 20);
static_assert(offsetof(GuestRegs, cflag) == 24);

constexpr uint32_t memory_pool_size = 0x1073B42;
extern uint8_t memory_pool[memory_pool_size];
extern uint8_t *pool_next;

void dpmi_service(GuestRegs *in, GuestRegs *out, uint32_t extra);

// Reached from guest code (redirects).
void int386_service(uint32_t number, GuestRegs *in, GuestRegs *out, uint32_t extra);
uint32_t pool_alloc(uint32_t n);
int console_printf(uint32_t eax, uint32_t edx, uint32_t ecx, uint32_t return_address,
                   const char *format, ...);
int console_puts(const char *s, uint32_t stream);
int console_putc(int c, uint32_t stream);
int console_flush();
[[noreturn]] void guest_exit(int status);
int succeed_noop();
// Returns without touching EAX (machine code).
extern "C" void ignore_one();

// The guest's file routines: the C library's, behind host entry points that
// realign the stack and leave the adapter's parameter words alone. The guest
// holds the host FILE pointers.
FILE *guest_fopen(const char *name, const char *mode);
int guest_fclose(FILE *stream);
size_t guest_fread(void *buffer, size_t size, size_t count, FILE *stream);
int guest_fseek(FILE *stream, long offset, int origin);
long guest_ftell(FILE *stream);

// Guest runtime services: interrupts, the memory pool, console, files, exit.
#include "machine/runtime.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "machine/display.h"
#include "shell/fatal.h"
#include "shell/guest_abi.h"
#include "time/scheduler.h"

uint8_t memory_pool[memory_pool_size];
uint8_t *pool_next = memory_pool;

void dpmi_service(GuestRegs *in, GuestRegs *out, uint32_t) {
    // Only "get free memory information" is emulated.
    if ((in->eax & 0xFFFF) != 0x0500) {
        abort();
    }
    // The largest free block; the rest of the guest's buffer stays as it is.
    // The answer never shrinks: the guest asks once, before it allocates.
    const uint32_t largest_free = memory_pool_size;
    memcpy(reinterpret_cast<void *>(in->edi), &largest_free, sizeof largest_free);
    out->cflag = 0;
}

// guest: redirect, arg code 4 (EAX number, EDX in, EBX out, ECX passed on)
GUEST_ENTRY void int386_service(uint32_t number, GuestRegs *in, GuestRegs *out, uint32_t extra) {
    const HostCall host_call;
    GuestRegs *const input = in;
    GuestRegs *const output = out;
    if (number == 0x31) {
        dpmi_service(input, output, extra);
        return;
    }
    if (number != 0x10) {
        abort();
    }
    switch (input->eax & 0xFFFF) {
    case 0x0013:
        set_mode_13h();
        break;
    case 0x0003:
        break; // back to text mode: the window stays as it is
    default:
        abort();
    }
}

// guest: redirect, arg code 1 (EAX n)
GUEST_ENTRY uint32_t pool_alloc(uint32_t n) {
    const HostCall host_call;
    const uint32_t size = n;
    uint8_t *const block = pool_next;
    // The pool is all the guest gets; a request past its end is refused
    // rather than handing out memory that belongs to someone else.
    const uint64_t left = static_cast<uint64_t>(memory_pool + memory_pool_size - block);
    if (static_cast<uint64_t>(size) + 4 > left) {
        fatal("pool %u", size);
    }
    const uint32_t block_bytes = size + 4;
    memcpy(block, &block_bytes, sizeof block_bytes); // blocks are not aligned
    pool_next = block + block_bytes;
    return reinterpret_cast<uint32_t>(block);
}

// guest: redirect, arg code -1 (EAX, EDX, ECX, return address ignored; then
// the guest's stack arguments: format and values)
GUEST_ENTRY int console_printf(uint32_t, uint32_t, uint32_t, uint32_t, const char *format, ...) {
    const HostCall host_call;
    va_list values;
    va_start(values, format);
    const int result = vfprintf(stdout, format, values);
    va_end(values);
    return result;
}

// guest: redirect, arg code 2 (EAX string, EDX stream ignored)
GUEST_ENTRY int console_puts(const char *s, uint32_t) {
    const HostCall host_call;
    const int result = fputs(s, stderr);
    return result;
}

// guest: redirect, arg code 2 (EAX character, EDX stream ignored)
GUEST_ENTRY int console_putc(int c, uint32_t) {
    const HostCall host_call;
    const int result = fputc(c, stderr);
    return result;
}

// guest: redirect, arg code 0 (EAX ignored)
GUEST_ENTRY int console_flush() {
    const HostCall host_call;
    const int result = fflush(stdout);
    return result;
}

// guest: redirect, arg code 0 (EAX status)
GUEST_ENTRY void guest_exit(int status) {
    const HostCall host_call;
    exit(status);
}

// guest: plain jump from two sound-system routines (stack arguments)
GUEST_ENTRY int succeed_noop() {
    const HostCall host_call;
    return 0;
}

// guest: redirect, arg code 2 (EAX name, EDX mode)
GUEST_ENTRY FILE *guest_fopen(const char *name, const char *mode) {
    const HostCall host_call;
    FILE *const stream = fopen(name, mode);
    return stream;
}

// guest: redirect, arg code 1 (EAX stream)
GUEST_ENTRY int guest_fclose(FILE *stream) {
    const HostCall host_call;
    const int result = fclose(stream);
    return result;
}

// guest: redirect, arg code 4 (EAX buffer, EDX size, EBX count, ECX stream)
GUEST_ENTRY size_t guest_fread(void *buffer, size_t size, size_t count, FILE *stream) {
    const HostCall host_call;
    const size_t result = fread(buffer, size, count, stream);
    return result;
}

// guest: redirect, arg code 3 (EAX stream, EDX offset, EBX origin)
GUEST_ENTRY int guest_fseek(FILE *stream, long offset, int origin) {
    const HostCall host_call;
    const int result = fseek(stream, offset, origin);
    return result;
}

// guest: redirect, arg code 1 (EAX stream)
GUEST_ENTRY long guest_ftell(FILE *stream) {
    const HostCall host_call;
    const long result = ftell(stream);
    return result;
}

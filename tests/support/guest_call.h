// Calls machine code the way the guest does: arguments in registers and on a
// stack of chosen alignment, every register observable afterwards.
#pragma once

#include <cstdint>

struct GuestCallRegs {
    uint32_t eax, ebx, ecx, edx, esi, edi, ebp;
};
static_assert(sizeof(GuestCallRegs) == 28);

// Loads the registers from regs, pushes nargs words so that args[0] lies at
// the lowest address, with ESP = esp_mod (mod 16) at the CALL, and calls
// target. Afterwards regs holds the registers as the callee left them. The
// result is the number of argument bytes the callee removed itself (RET imm16),
// 0 for a plain RET. Not reentrant: one call at a time.
extern "C" int guest_call(uint32_t target, GuestCallRegs *regs, const uint32_t *args, int nargs,
                          int esp_mod);

// Registers that differ between two snapshots, as text ("ebx ecx"), for messages.
const char *changed_registers(const GuestCallRegs &before, const GuestCallRegs &after);

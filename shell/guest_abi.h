// Conventions for host routines that guest code reaches (redirects, adapters,
// hooks). Such a routine runs on the guest's stack, which is aligned to 4 bytes
// only, so it realigns on entry. Files holding them are built with
// -fno-optimize-sibling-calls so that no tail call overwrites a parameter slot
// that an adapter or a POPA reloads a guest register from.
#pragma once

#include <cstdint>

#define GUEST_ENTRY __attribute__((force_align_arg_pointer, used))

// A guest address: guest and host share one 32-bit address space.
using guest_addr = uint32_t;
static_assert(sizeof(void *) == 4, "the host must be a 32-bit process");

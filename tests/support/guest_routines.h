// Machine-code stand-ins for guest routines (guest_routines.S).
#pragma once

#include <cstdint>

extern "C" {
void clobbering_routine();
void stack_routine();
extern uint32_t clobbering_seen_eax, clobbering_seen_ecx;
extern uint32_t stack_seen[3];
}

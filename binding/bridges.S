# Bridges from host code into guest code. The bytes are fixed: callers and the
# guest rely on exactly this register and stack behaviour.
        .text

# call_guest_eax(value, routine): EAX = value, ECX = routine; every register
# but ESP comes back from the PUSHAD frame, so the result is value itself.
        .globl call_guest_eax
        .type call_guest_eax, @function
call_guest_eax:
        .byte 0x8B, 0x44, 0x24, 0x04   # mov eax, [esp+4]
        .byte 0x8B, 0x4C, 0x24, 0x08   # mov ecx, [esp+8]
        .byte 0x60                     # pushad
        .byte 0xFF, 0xD1               # call ecx
        .byte 0x61                     # popad
        .byte 0xC3                     # ret
        .size call_guest_eax, .-call_guest_eax

# call_guest_stack(n, routine, a1, ..., an): pushes an down to a1, calls the
# routine, removes them; EBX and ESI survive. n must be 1 or more.
# The stack is restored from EBP, which guest routines preserve, rather than by
# adding 4n kept in ESI: a routine that changed ESI would otherwise return the
# bridge into a wild stack instead of having ESI restored.
        .globl call_guest_stack
        .type call_guest_stack, @function
call_guest_stack:
        .byte 0x53                     # push ebx
        .byte 0x56                     # push esi
        .byte 0x55                     # push ebp
        .byte 0x89, 0xE5               # mov ebp, esp
        .byte 0x8B, 0x4C, 0x24, 0x10   # mov ecx, [esp+16]
        .byte 0x89, 0xCE               # mov esi, ecx
        .byte 0xC1, 0xE6, 0x02         # shl esi, 2
        .byte 0xFF, 0x74, 0x34, 0x14   # push dword [esp+esi+20]
        .byte 0xE2, 0xFA               # loop back to the push
        .byte 0xFF, 0x54, 0x34, 0x14   # call dword [esp+esi+20]
        .byte 0x89, 0xEC               # mov esp, ebp
        .byte 0x5D                     # pop ebp
        .byte 0x5E                     # pop esi
        .byte 0x5B                     # pop ebx
        .byte 0xC3                     # ret
        .size call_guest_stack, .-call_guest_stack

        .section .note.GNU-stack,"",@progbits

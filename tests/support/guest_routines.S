# Small pieces of "guest" code for the bridge tests: they record what they were
# given and clobber what a guest routine may clobber.
        .intel_syntax noprefix
        .text

# Records EAX and ECX, clobbers every register, returns 7.
        .globl clobbering_routine
        .type clobbering_routine, @function
clobbering_routine:
        mov [clobbering_seen_eax], eax
        mov [clobbering_seen_ecx], ecx
        mov ebx, 0x11111111
        mov ecx, 0x22222222
        mov edx, 0x33333333
        mov esi, 0x44444444
        mov edi, 0x55555555
        mov ebp, 0x66666666
        mov eax, 7
        ret
        .size clobbering_routine, .-clobbering_routine

# Records its first three stack arguments, clobbers EBX, ESI, ECX, EDX,
# returns 42 with a plain RET.
        .globl stack_routine
        .type stack_routine, @function
stack_routine:
        mov eax, [esp+4]
        mov [stack_seen], eax
        mov eax, [esp+8]
        mov [stack_seen+4], eax
        mov eax, [esp+12]
        mov [stack_seen+8], eax
        mov ebx, 0x77777777
        mov esi, 0x88888888
        mov ecx, 0x99999999
        mov edx, 0xAAAAAAAA
        mov eax, 42
        ret
        .size stack_routine, .-stack_routine

        .bss
        .align 4
        .globl clobbering_seen_eax, clobbering_seen_ecx, stack_seen
clobbering_seen_eax: .long 0
clobbering_seen_ecx: .long 0
stack_seen: .long 0, 0, 0
        .section .note.GNU-stack,"",@progbits

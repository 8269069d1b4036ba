# guest_call(target, regs, args, nargs, esp_mod): see guest_call.h.
# The callee may clobber every register, so the frame is kept in statics.
        .intel_syntax noprefix
        .text
        .globl guest_call
        .type guest_call, @function
guest_call:
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov [saved_frame], ebp
        mov eax, [ebp+8]
        mov [call_target], eax
        mov eax, [ebp+12]
        mov [regs_ptr], eax
        # base = align16(esp - 64 - 4 * nargs) + esp_mod
        mov ecx, [ebp+20]
        lea edx, [ecx*4]
        mov eax, esp
        sub eax, 64
        sub eax, edx
        and eax, -16
        mov edx, [ebp+24]
        and edx, 12
        add eax, edx
        mov [arg_base], eax
        mov esp, eax
        mov esi, [ebp+16]
        xor edx, edx
1:      cmp edx, ecx
        jge 2f
        mov edi, [esi+edx*4]
        mov [esp+edx*4], edi
        inc edx
        jmp 1b
2:      mov eax, [regs_ptr]
        mov ebx, [eax+4]
        mov ecx, [eax+8]
        mov edx, [eax+12]
        mov esi, [eax+16]
        mov edi, [eax+20]
        mov ebp, [eax+24]
        mov eax, [eax+0]
        call [call_target]
        push eax
        mov eax, [regs_ptr]
        pop dword ptr [eax+0]
        mov [eax+4], ebx
        mov [eax+8], ecx
        mov [eax+12], edx
        mov [eax+16], esi
        mov [eax+20], edi
        mov [eax+24], ebp
        mov eax, esp
        sub eax, [arg_base]
        mov ebp, [saved_frame]
        lea esp, [ebp-12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
        .size guest_call, .-guest_call

        .bss
        .align 4
saved_frame: .long 0
call_target: .long 0
regs_ptr:    .long 0
arg_base:    .long 0
        .section .note.GNU-stack,"",@progbits

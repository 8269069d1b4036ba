# The sample guest: a small 32-bit DOS-extender program laid out like the
# two known releases of the demo, so that the host can run it as it runs
# them. One source gives both layouts; offsets.inc (generated from the
# release catalogue) holds the sites of one release, and every routine that
# must lie on a site is placed there with .org, so the assembler refuses a
# layout in which code runs into a catalogued site.
#
# Object 1 (.obj1) is code, object 2 (.obj2) data. The bytes that the host
# replaces hold ud2, CLI or OUT, so an unpatched site stops the process.
#
# Calls out of the guest use its own conventions: register arguments in EAX,
# EDX, EBX, ECX for the runtime routines, stack arguments removed by the
# caller for the formatted print and the sound and timer routines.

.include "offsets.inc"
.section .note.GNU-stack, "", @progbits
.intel_syntax noprefix

.set BIOS_TICKS, 0x46C      # the BIOS tick count: unmapped in the host
.set VIDEO, 0xA0000
.set FRAME_BYTES, 64000
.set FADE_FRAMES, 16        # frames of the fade from black
.set DMA_BYTES, 8192
.set CHECK_MAX, 64

# Markers that the helpers load into the registers a callee must keep.
.set MARK_ESI, 0x5151E51E
.set MARK_EDI, 0xD1D1ED1E
.set MARK_EBP, 0xB0B0EB0E
.set MARK_EBX, 0xB8B8EB8E

# ---- Macros -----------------------------------------------------------------

# Places the next routine at an object offset; the gap stays int3.
.macro AT off:vararg
    .org \off, 0xCC
.endm
# Pads executed code up to an offset with NOPs.
.macro INSIDE off:vararg
    .org \off, 0x90
.endm

.macro BEGIN_CHECK
    mov dword ptr [cur_ok], 1
.endm
# Compares; a mismatch fails the current check.
.macro EXPECT args:vararg
    cmp \args
    je .Lexpect\@
    mov dword ptr [cur_ok], 0
.Lexpect\@:
.endm
.macro EXPECT_NOT args:vararg
    cmp \args
    jne .Lexpect\@
    mov dword ptr [cur_ok], 0
.Lexpect\@:
.endm
.macro CHECK_DONE name
    .pushsection .sample_str, "a"
.Lname\@: .asciz "\name"
    .popsection
    mov eax, offset .Lname\@
    mov edx, dword ptr [cur_ok]
    call record_check
.endm

# Register call through `regcall`: target, ESP skew in words, EAX, EDX,
# EBX, ECX. The result lands in rc_result; kept registers are checked.
.macro RCALL target, skew, a=0, d=0, b=0, c=0
    mov dword ptr [rc_target], offset \target
    mov dword ptr [rc_skew], \skew
    push \a
    pop dword ptr [rc_eax]
    push \d
    pop dword ptr [rc_edx]
    push \b
    pop dword ptr [rc_ebx]
    push \c
    pop dword ptr [rc_ecx]
    call regcall
.endm

# Stack call through `stackcall`: target, ESP skew in words, up to four
# arguments (first at the lowest address). Result in sc_result.
.macro SCALL target, skew, a1, a2, a3, a4
    mov dword ptr [sc_target], offset \target
    SCALL_ARGS \skew, "\a1", "\a2", "\a3", "\a4"
.endm
# The same through a routine pointer held in a register.
.macro SCALLR reg, skew, a1, a2, a3, a4
    mov dword ptr [sc_target], \reg
    SCALL_ARGS \skew, "\a1", "\a2", "\a3", "\a4"
.endm
.macro SCALL_ARGS skew, a1, a2, a3, a4
    mov dword ptr [sc_skew], \skew
    .ifb \a1
    mov dword ptr [sc_nargs], 0
    .else
    push \a1
    pop dword ptr [sc_args]
    .ifb \a2
    mov dword ptr [sc_nargs], 1
    .else
    push \a2
    pop dword ptr [sc_args + 4]
    .ifb \a3
    mov dword ptr [sc_nargs], 2
    .else
    push \a3
    pop dword ptr [sc_args + 8]
    .ifb \a4
    mov dword ptr [sc_nargs], 3
    .else
    push \a4
    pop dword ptr [sc_args + 12]
    mov dword ptr [sc_nargs], 4
    .endif
    .endif
    .endif
    .endif
    call stackcall
.endm

# A formatted print with the guest's variadic convention.
.macro PRINTF fmt, a1, a2, a3, a4, a5
    .ifnb \a5
    push \a5
    .endif
    .ifnb \a4
    push \a4
    .endif
    .ifnb \a3
    push \a3
    .endif
    .ifnb \a2
    push \a2
    .endif
    .ifnb \a1
    push \a1
    .endif
    push offset \fmt
    call site_console_printf
    .set .Lnargs\@, 1
    .ifnb \a1
    .set .Lnargs\@, .Lnargs\@ + 1
    .endif
    .ifnb \a2
    .set .Lnargs\@, .Lnargs\@ + 1
    .endif
    .ifnb \a3
    .set .Lnargs\@, .Lnargs\@ + 1
    .endif
    .ifnb \a4
    .set .Lnargs\@, .Lnargs\@ + 1
    .endif
    .ifnb \a5
    .set .Lnargs\@, .Lnargs\@ + 1
    .endif
    add esp, 4 * .Lnargs\@
.endm

# A redirected routine: the host replaces its first five bytes.
.macro REDIRECT_SITE name, off
    AT \off
\name:
    ud2
    ud2
    ud2
.endm

# =============================================================================
# Object 1: code
# =============================================================================
.section .obj1, "awx", @progbits
obj1_start:

# Helpers small enough for the space before the first site.
# str_eq: EAX, EDX zero-terminated strings -> EAX 1 when equal.
str_eq:
    push esi
    push edi
    mov esi, eax
    mov edi, edx
1:  mov al, byte ptr [esi]
    cmp al, byte ptr [edi]
    jne 2f
    test al, al
    jz 3f
    inc esi
    inc edi
    jmp 1b
2:  xor eax, eax
    jmp 4f
3:  mov eax, 1
4:  pop edi
    pop esi
    ret

# The targets of the far-pointer and self-relative fixups.
far_target:
    mov eax, 0x6F6B6636
    ret
relative_target:
    mov eax, 0x6F6B7238
    ret

REDIRECT_SITE site_fade_palette, SITE_fade_palette

# ---- Calling helpers --------------------------------------------------------
    AT SITE_fade_palette + 8

# regcall: calls [rc_target] with EAX, EDX, EBX, ECX from rc_*, ESP moved
# down by rc_skew words, and markers in ESI, EDI, EBP. Afterwards every
# register but EAX must be as loaded and ESP where it was.
regcall:
    pushad
    mov dword ptr [rc_saved_esp], esp
    mov ecx, dword ptr [rc_skew]
    shl ecx, 2
    sub esp, ecx
    mov dword ptr [rc_expect_esp], esp
    mov esi, MARK_ESI
    mov edi, MARK_EDI
    mov ebp, MARK_EBP
    mov eax, dword ptr [rc_eax]
    mov edx, dword ptr [rc_edx]
    mov ebx, dword ptr [rc_ebx]
    mov ecx, dword ptr [rc_ecx]
    call dword ptr [rc_target]
    mov dword ptr [rc_result], eax
    EXPECT edx, dword ptr [rc_edx]
    EXPECT ebx, dword ptr [rc_ebx]
    EXPECT ecx, dword ptr [rc_ecx]
    EXPECT esi, MARK_ESI
    EXPECT edi, MARK_EDI
    EXPECT ebp, MARK_EBP
    EXPECT esp, dword ptr [rc_expect_esp]
    mov esp, dword ptr [rc_saved_esp]
    popad
    ret

# stackcall: pushes sc_nargs words of sc_args (first lowest) below a skew
# of sc_skew words and calls [sc_target]; the caller removes them. EBX, ESI,
# EDI, EBP must survive; ECX and EDX may change.
stackcall:
    pushad
    mov dword ptr [sc_saved_esp], esp
    mov ecx, dword ptr [sc_skew]
    shl ecx, 2
    sub esp, ecx
    mov dword ptr [sc_expect_esp], esp
    mov ecx, dword ptr [sc_nargs]
1:  test ecx, ecx
    jz 2f
    push dword ptr [sc_args + ecx * 4 - 4]
    dec ecx
    jmp 1b
2:  mov ebx, MARK_EBX
    mov esi, MARK_ESI
    mov edi, MARK_EDI
    mov ebp, MARK_EBP
    call dword ptr [sc_target]
    mov dword ptr [sc_result], eax
    mov ecx, dword ptr [sc_nargs]
    lea esp, [esp + ecx * 4]
    EXPECT ebx, MARK_EBX
    EXPECT esi, MARK_ESI
    EXPECT edi, MARK_EDI
    EXPECT ebp, MARK_EBP
    EXPECT esp, dword ptr [sc_expect_esp]
    mov esp, dword ptr [sc_saved_esp]
    popad
    ret

# record_check: EAX name, EDX ok. Results are printed by flush_checks once
# the script has said which ones to show.
record_check:
    push ebx
    mov ebx, dword ptr [check_count]
    cmp ebx, CHECK_MAX
    jae 1f
    mov dword ptr [check_names + ebx * 4], eax
    mov dword ptr [check_results + ebx * 4], edx
    inc dword ptr [check_count]
1:  test edx, edx
    jz 2f
    inc dword ptr [checks_passed]
    jmp 3f
2:  inc dword ptr [checks_failed]
3:  pop ebx
    ret

flush_checks:
    push ebx
    push esi
1:  mov ebx, dword ptr [checks_printed]
    cmp ebx, dword ptr [check_count]
    jae 9f
    inc dword ptr [checks_printed]
    mov esi, dword ptr [check_results + ebx * 4]
    mov eax, dword ptr [script_checks]
    cmp eax, 2
    je 2f
    cmp eax, 1
    jne 1b
    test esi, esi
    jnz 1b
2:  mov eax, offset str_ok
    test esi, esi
    jnz 3f
    mov eax, offset str_fail
3:  PRINTF fmt_check, "dword ptr [check_names + ebx * 4]", eax
    jmp 1b
9:  pop esi
    pop ebx
    ret

# ---- Main -------------------------------------------------------------------

main_body:
    push ebp
    push ebx
    push esi
    push edi
    mov dword ptr [main_argc], eax
    mov dword ptr [main_argv], edx
    mov dword ptr [main_ran], 1
    mov dword ptr [host_esp], esp
    # A known alignment, from which the calls below skew on purpose.
    and esp, -16
    call check_start
    call check_fixups
    call check_stubs
    call check_memory
    call check_files
    call read_script
    call flush_checks
    call check_console
    call check_runtime
    call set_video_mode
    call check_palette_hooks
    call check_device_record
    cmp dword ptr [script_sound], 0
    jne 2f
    call start_sound
2:  call flush_checks
    push offset guest_palette
    call make_palette
    add esp, 4
    mov eax, dword ptr [script_interrupt]
    test eax, eax
    jz 1f
    # Asked for by the script: a service the host does not emulate.
    RCALL site_int386_service, 1, eax, "offset regs_in", "offset regs_out", 0
1:  call run_frames
    jmp finish

# EAX: 0 when the frames ran out, 1 on Escape.
finish:
    mov dword ptr [ended_by_escape], eax
    test eax, eax
    jz 1f
    call fade_out
1:  call stop_sound
    call check_end
    call flush_checks
    mov eax, offset str_frames_done
    cmp dword ptr [ended_by_escape], 0
    je 2f
    mov eax, offset str_escape
2:  # The ticks the frames took: a player's pause must not show in them.
    mov ecx, dword ptr [ticks_end]
    sub ecx, dword ptr [ticks_start]
    PRINTF fmt_report, eax, "dword ptr [frame_no]", "dword ptr [player_calls]", "dword ptr [mixed_passes]", ecx
    PRINTF fmt_waits, "dword ptr [run_tick_waits]", "dword ptr [run_note_waits]"
    PRINTF fmt_summary, "dword ptr [checks_passed]", "dword ptr [checks_failed]"
    # Back to text mode, which the host accepts and ignores.
    mov dword ptr [regs_in], 0x0003
    RCALL site_int386_service, 2, 0x10, "offset regs_in", "offset regs_out", 0
    RCALL site_console_flush, 1, 0
    cmp dword ptr [checks_failed], 0
    je 3f
    mov eax, 9
    call site_guest_exit
3:  cmp dword ptr [ended_by_escape], 0
    je 4f
    mov eax, dword ptr [script_escape]
    cmp eax, -1
    jne 5f
    # No status asked for: the main routine returns to the host.
    mov esp, dword ptr [host_esp]
    xor eax, eax
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret
4:  mov eax, dword ptr [script_status]
5:  call site_guest_exit
    ud2

# ---- Start-up checks --------------------------------------------------------

check_start:
    BEGIN_CHECK
    EXPECT dword ptr [prestart_ran], 1
    EXPECT dword ptr [prestart_eax], 255
    EXPECT dword ptr [prestart_saw_main], 0
    CHECK_DONE prestart
    BEGIN_CHECK
    EXPECT dword ptr [main_argc], 1
    mov esi, dword ptr [main_argv]
    mov eax, dword ptr [esi]
    mov edx, offset str_exe
    call str_eq
    EXPECT eax, 1
    EXPECT dword ptr [esi + 4], 0
    CHECK_DONE arguments
    # The x87 control word as the guest's main routine finds it; checked at
    # the end, beside the player's (see check_end).
    fnstcw word ptr [x87_control]
    ret

# Every fixup kind of the image: selectors, a 16:32 pointer, a self-relative
# word (LE) and plain 32-bit addresses between and within the objects.
check_fixups:
    BEGIN_CHECK
    EXPECT word ptr [fx_selector], 0xFFFF
    EXPECT word ptr [fx_far + 4], 0xFFFF
    EXPECT dword ptr [fx_far], offset far_target
    call dword ptr [fx_far]
    EXPECT eax, 0x6F6B6636
.if RELEASE_PARTY
    mov eax, dword ptr [fx_relative]
.else
    mov eax, offset fx_relative + 4
    add eax, dword ptr [fx_relative]
.endif
    EXPECT eax, offset relative_target
    call eax
    EXPECT eax, 0x6F6B7238
    EXPECT dword ptr [fx_self], offset fx_self
    EXPECT dword ptr [fx_code_self], offset fx_code_self
    mov eax, dword ptr [fx_code_self + 4]
    EXPECT eax, offset str_exe
    CHECK_DONE fixups
    ret

# A stub returns at once with every register as it was, EAX included.
check_stubs:
    BEGIN_CHECK
    xor ebx, ebx
1:  cmp ebx, STUB_COUNT
    jae 3f
    mov eax, dword ptr [stub_table + ebx * 4]
    mov dword ptr [stub_target], eax
    pushad
    mov dword ptr [stub_esp], esp
    mov eax, 0xA1A1E1A1
    mov ebx, MARK_EBX
    mov ecx, 0xC1C1E1C1
    mov edx, 0xD2D2E2D2
    mov esi, MARK_ESI
    mov edi, MARK_EDI
    mov ebp, MARK_EBP
    call dword ptr [stub_target]
    EXPECT eax, 0xA1A1E1A1
    EXPECT ebx, MARK_EBX
    EXPECT ecx, 0xC1C1E1C1
    EXPECT edx, 0xD2D2E2D2
    EXPECT esi, MARK_ESI
    EXPECT edi, MARK_EDI
    EXPECT ebp, MARK_EBP
    EXPECT esp, dword ptr [stub_esp]
    popad
    inc ebx
    jmp 1b
3:  CHECK_DONE stubs
    ret

check_memory:
    # The DPMI free-memory query through the interrupt service.
    BEGIN_CHECK
    mov ecx, 7
1:  mov dword ptr [regs_out + ecx * 4 - 4], 0xC0C0E0C0
    loop 1b
    mov ecx, 12
2:  mov dword ptr [dpmi_info + ecx * 4 - 4], 0xDDDDEDDD
    loop 2b
    mov dword ptr [regs_in], 0x0500
    mov dword ptr [regs_in + 20], offset dpmi_info
    RCALL site_int386_service, 3, 0x31, "offset regs_in", "offset regs_out", 0x0ECC0ECC
    EXPECT dword ptr [dpmi_info], 0x1073B42
    EXPECT dword ptr [dpmi_info + 4], 0xDDDDEDDD
    EXPECT dword ptr [regs_out + 24], 0
    EXPECT dword ptr [regs_out], 0xC0C0E0C0
    EXPECT dword ptr [regs_out + 20], 0xC0C0E0C0
    CHECK_DONE dpmi

    # Blocks of the pool follow each other, each after its size word.
    BEGIN_CHECK
    RCALL site_pool_alloc, 1, 10, 0x1D1D, 0x1B1B, 0x1C1C
    mov esi, dword ptr [rc_result]
    RCALL site_pool_alloc, 2, 10
    mov edi, dword ptr [rc_result]
    lea eax, [esi + 14]
    EXPECT edi, eax
    EXPECT dword ptr [esi], 14
    EXPECT dword ptr [edi], 14
    EXPECT dword ptr [esi + 4], 0
    EXPECT dword ptr [esi + 8], 0
    EXPECT word ptr [esi + 12], 0
    RCALL site_pool_alloc, 3, 0
    mov esi, dword ptr [rc_result]
    EXPECT dword ptr [esi], 4
    RCALL site_pool_alloc, 0, FRAME_BYTES
    mov edi, dword ptr [rc_result]
    lea eax, [esi + 4]
    EXPECT edi, eax
    add edi, 4
    mov dword ptr [frame_buf], edi
    EXPECT byte ptr [edi], 0
    EXPECT byte ptr [edi + FRAME_BYTES - 1], 0
    RCALL site_pool_alloc, 1, 4096
    mov eax, dword ptr [rc_result]
    add eax, 4
    mov dword ptr [scratch], eax
    CHECK_DONE pool
    ret

# The guest's own file: the header word at 60 leads to the signature of
# its new-format header.
check_files:
    BEGIN_CHECK
    RCALL site_fopen, 3, "offset str_exe", "offset str_rb", 0, 0xC3C3
    mov esi, dword ptr [rc_result]
    EXPECT_NOT esi, 0
    test esi, esi
    jz 9f
    RCALL site_fseek, 0, esi, 60, 0, 0xC4C4
    EXPECT dword ptr [rc_result], 0
    RCALL site_fread, 1, "offset header_offset", 4, 1, esi
    EXPECT dword ptr [rc_result], 1
    RCALL site_fseek, 2, esi, "dword ptr [header_offset]", 0, 0
    EXPECT dword ptr [rc_result], 0
    RCALL site_fread, 3, "offset header_sig", 1, 4, esi
    EXPECT dword ptr [rc_result], 4
.if RELEASE_PARTY
    EXPECT dword ptr [header_sig], 0x31574D50
.else
    EXPECT word ptr [header_sig], 0x454C
.endif
    RCALL site_ftell, 0, esi, 0x1E1E, 0x1B1E, 0x1C1E
    mov eax, dword ptr [header_offset]
    add eax, 4
    EXPECT dword ptr [rc_result], eax
    RCALL site_fseek, 1, esi, -2, 2, 0
    EXPECT dword ptr [rc_result], 0
    RCALL site_ftell, 2, esi
    mov eax, dword ptr [rc_result]
    EXPECT_NOT eax, -1
    cmp eax, dword ptr [header_offset]
    ja 1f
    mov dword ptr [cur_ok], 0
1:  RCALL site_fseek, 3, esi, 0, 0, 0
    RCALL site_fread, 0, "offset header_sig", 2, 1, esi
    EXPECT word ptr [header_sig], 0x5A4D
    RCALL site_fclose, 1, esi
    EXPECT dword ptr [rc_result], 0
    RCALL site_fopen, 2, "offset str_missing", "offset str_rb"
    EXPECT dword ptr [rc_result], 0
9:  CHECK_DONE files
    ret

# The optional script in the working directory, read like any guest file.
read_script:
    RCALL site_fopen, 1, "offset str_script", "offset str_rb"
    mov esi, dword ptr [rc_result]
    test esi, esi
    jz 9f
    mov dword ptr [script_present], 1
    RCALL site_fread, 2, "dword ptr [scratch]", 1, 4095, esi
    mov eax, dword ptr [rc_result]
    cmp eax, 4095
    jbe 1f
    xor eax, eax
1:  mov edi, dword ptr [scratch]
    mov byte ptr [edi + eax], 0
    RCALL site_fclose, 0, esi
    mov esi, edi
    call parse_script
9:  ret

# Pairs of words: a key from script_keys, then its value (decimal, 0x hex,
# or all/fail/none). # starts a comment to the end of the line.
parse_script:
1:  call next_token
    test eax, eax
    jz 9f
    mov ebx, eax
    call next_token
    test eax, eax
    jz 9f
    call to_number
    mov edi, eax
    # Look the key up.
    xor ecx, ecx
2:  mov eax, dword ptr [script_keys + ecx * 8]
    test eax, eax
    jz 3f
    mov edx, ebx
    call str_eq
    test eax, eax
    jnz 4f
    inc ecx
    jmp 2b
3:  PRINTF fmt_unknown_key, ebx
    jmp 1b
4:  mov eax, dword ptr [script_keys + ecx * 8 + 4]
    mov dword ptr [eax], edi
    jmp 1b
9:  ret

# ESI: text -> EAX the next token, zero-terminated in place, or 0 at the end.
next_token:
1:  mov al, byte ptr [esi]
    test al, al
    jz 8f
    cmp al, '#'
    jne 3f
2:  inc esi
    mov al, byte ptr [esi]
    test al, al
    jz 8f
    cmp al, 10
    jne 2b
    jmp 1b
3:  cmp al, ' '
    ja 4f
    inc esi
    jmp 1b
4:  mov edx, esi
5:  inc esi
    mov al, byte ptr [esi]
    cmp al, ' '
    ja 5b
    test al, al
    jz 6f
    mov byte ptr [esi], 0
    inc esi
6:  mov eax, edx
    ret
8:  xor eax, eax
    ret

# EAX: token -> EAX its value; -1 for a word that is not a value.
to_number:
    push esi
    push ebx
    mov esi, eax
    movzx ebx, byte ptr [esi]
    sub ebx, '0'
    cmp ebx, 9
    ja 7f
    xor eax, eax
    cmp word ptr [esi], 0x7830    # "0x"
    je 4f
1:  movzx ebx, byte ptr [esi]
    sub ebx, '0'
    cmp ebx, 9
    ja 9f
    imul eax, eax, 10
    add eax, ebx
    inc esi
    jmp 1b
4:  add esi, 2
5:  movzx ebx, byte ptr [esi]
    sub ebx, '0'
    cmp ebx, 9
    jbe 6f
    movzx ebx, byte ptr [esi]
    or ebx, 0x20
    sub ebx, 'a'
    cmp ebx, 5
    ja 9f
    add ebx, 10
6:  shl eax, 4
    add eax, ebx
    inc esi
    jmp 5b
7:  mov edx, esi
    mov eax, offset str_all
    call str_eq
    mov ebx, 2
    test eax, eax
    jnz 8f
    mov eax, offset str_failures
    mov edx, esi
    call str_eq
    mov ebx, 1
    test eax, eax
    jnz 8f
    mov eax, offset str_none
    mov edx, esi
    call str_eq
    mov ebx, 0
    test eax, eax
    jnz 8f
    mov ebx, -1
8:  mov eax, ebx
9:  pop ebx
    pop esi
    ret

# Formatted, string and character output, and the flush.
check_console:
    BEGIN_CHECK
    mov eax, offset str_fix
.if RELEASE_PARTY
    mov eax, offset str_party
.endif
    mov dword ptr [sc_args], offset fmt_console
    mov dword ptr [sc_args + 4], eax
    mov dword ptr [sc_args + 8], 32
    mov dword ptr [sc_args + 12], 'o'
    mov dword ptr [sc_args + 16], 'k'
    mov dword ptr [sc_args + 20], 0xC0FFEE
    mov dword ptr [sc_args + 24], 4000000000
    mov dword ptr [sc_nargs], 7
    mov dword ptr [sc_skew], 1
    mov dword ptr [sc_target], offset site_console_printf
    call stackcall
.if RELEASE_PARTY
    EXPECT dword ptr [sc_result], 53
.else
    EXPECT dword ptr [sc_result], 51
.endif
    RCALL site_console_puts, 2, "offset str_puts", 0x57EA3, 0, 0x0C0C
    cmp dword ptr [rc_result], 0
    jge 1f
    mov dword ptr [cur_ok], 0
1:  mov esi, offset str_putc
2:  movzx eax, byte ptr [esi]
    test eax, eax
    jz 3f
    mov edi, eax
    RCALL site_console_putc, 3, edi, 0x57EA3, 0, 0x0C0C
    EXPECT dword ptr [rc_result], edi
    inc esi
    jmp 2b
3:  RCALL site_console_flush, 0, 0xF1F1
    EXPECT dword ptr [rc_result], 0
    CHECK_DONE console
    ret

check_runtime:
    # Memory fill outside video memory returns its destination.
    BEGIN_CHECK
    mov edi, dword ptr [scratch]
    mov dword ptr [edi + 100], 0x5AFE5AFE
    RCALL site_guest_memset, 1, edi, 0x1AB, 100, 0xC5C5
    EXPECT dword ptr [rc_result], edi
    EXPECT byte ptr [edi], 0xAB
    EXPECT dword ptr [edi + 96], 0xABABABAB
    EXPECT dword ptr [edi + 100], 0x5AFE5AFE
    CHECK_DONE memset
    # The one-argument routine that hands EAX back unchanged.
    BEGIN_CHECK
    RCALL site_ignore_one, 2, 0x1600DFEE, 0xEDED, 0xEBEB, 0xECEC
    EXPECT dword ptr [rc_result], 0x1600DFEE
    CHECK_DONE ignore-one
    # The status routines of the sound system.
    BEGIN_CHECK
    SCALL site_succeed_noop_a, 1
    EXPECT dword ptr [sc_result], 0
    SCALL site_succeed_noop_b, 2
    EXPECT dword ptr [sc_result], 0
    mov dword ptr [status_word], 0x77
    SCALL site_report_zero, 3, "offset status_word"
    EXPECT dword ptr [sc_result], 0
    EXPECT dword ptr [status_word], 0
    SCALL site_report_fourteen, 0, "offset status_word"
    EXPECT dword ptr [sc_result], 0
    EXPECT dword ptr [status_word], 14
    CHECK_DONE status-routines
    # No key before any was pressed.
    BEGIN_CHECK
    RCALL site_read_key, 1, 0x1234
    EXPECT dword ptr [rc_result], 0
    CHECK_DONE read-key
    ret

set_video_mode:
    BEGIN_CHECK
    mov dword ptr [regs_in], 0x0013
    RCALL site_int386_service, 2, 0x10, "offset regs_in", "offset regs_out", 0
    # Clearing video memory is a screen operation: its result is 0.
    RCALL site_guest_memset, 3, VIDEO, 0, FRAME_BYTES, 0
    EXPECT dword ptr [rc_result], 0
    CHECK_DONE video-mode
    ret

check_palette_hooks:
    # One colour everywhere, through the hooked loop.
    BEGIN_CHECK
    mov edi, offset solid_buffer
    mov ecx, 768
    mov al, 0xEE
    cld
    rep stosb
    push 10                   # red, at S+0x1C in the routine
    push 20                   # green
    push 30                   # blue
    mov ebx, offset solid_buffer
    call solid_palette
    add esp, 12
    EXPECT eax, 1
    xor ecx, ecx
1:  EXPECT byte ptr [solid_buffer + ecx], 10
    EXPECT byte ptr [solid_buffer + ecx + 1], 20
    EXPECT byte ptr [solid_buffer + ecx + 2], 30
    add ecx, 3
    cmp ecx, 768
    jb 1b
    CHECK_DONE solid-palette
    # Every blank-palette routine.
    BEGIN_CHECK
    xor ebx, ebx
2:  call dword ptr [blank_table + ebx * 4]
    EXPECT eax, 1
    inc ebx
    cmp ebx, BLANK_COUNT
    jb 2b
    CHECK_DONE blank-palette
    # The frame-copy routine copies memory that is not the screen.
    BEGIN_CHECK
    mov esi, dword ptr [scratch]
    xor ecx, ecx
3:  mov eax, ecx
    imul eax, eax, 7
    mov byte ptr [esi + ecx], al
    mov byte ptr [esi + ecx + 2048], 0
    inc ecx
    cmp ecx, 1000
    jb 3b
    mov byte ptr [esi + 3048], 0x5A
    mov eax, esi
    lea edx, [esi + 2048]
    mov ebx, 1000
    mov edi, MARK_EDI
    mov ebp, MARK_EBP
    push esi
    call frame_copy
    pop esi
    EXPECT ebx, 1000
    EXPECT edi, MARK_EDI
    EXPECT ebp, MARK_EBP
    xor ecx, ecx
4:  mov al, byte ptr [esi + ecx]
    EXPECT al, byte ptr [esi + ecx + 2048]
    inc ecx
    cmp ecx, 1000
    jb 4b
    EXPECT byte ptr [esi + 3048], 0x5A
    CHECK_DONE frame-copy
    ret

# The host took over the device record and the device list.
check_device_record:
    BEGIN_CHECK
    EXPECT dword ptr [device_list + 4], offset sound_device
    EXPECT dword ptr [device_list + 8], offset device_extra
    EXPECT dword ptr [device_list], offset dead_device
    EXPECT dword ptr [device_list + 12], 0x5107
    EXPECT dword ptr [sound_device], 0
    EXPECT dword ptr [sound_device + 4], 62
    EXPECT dword ptr [sound_device + 8], 0xDE0008
    EXPECT dword ptr [sound_device + 20], 1
    EXPECT dword ptr [sound_device + 24], 1
    EXPECT dword ptr [sound_device + 28], 11
    EXPECT dword ptr [sound_device + 32], 0xDE0032
    EXPECT_NOT dword ptr [sound_device + 48], offset dead_routine
    EXPECT_NOT dword ptr [sound_device + 52], offset dead_routine
    EXPECT_NOT dword ptr [sound_device + 56], offset dead_routine
    EXPECT dword ptr [sound_device + 60], 0xDE0060
    EXPECT dword ptr [sound_device + 176], offset mixer_pass_start
    EXPECT dword ptr [sound_device + 180], offset mixer_cycle
    CHECK_DONE device-record
    ret

dead_routine:
    ud2

# ---- Solid palette ----------------------------------------------------------
# solid_palette(blue, green, red) with the palette buffer in EBX; returns 1
# when the loop went on with the registers it expects. The host replaces the
# loop body with a hook that fills the whole buffer and jumps past the loop.
    AT NOP_SOLID - 32
solid_palette:
    push ebp
    push esi
    push edi
    push edx                  # S: the colours now lie at S+0x14..S+0x1C
    mov ebp, ebx
    mov esi, MARK_ESI
    mov edi, MARK_EDI
    mov edx, 0x3C9
    xor ecx, ecx
    INSIDE NOP_SOLID
    cli                       # becomes NOP
    INSIDE SOLID_HOOK
solid_loop:
    # The loop body as written for the VGA DAC, never run once hooked.
    mov al, byte ptr [esp + 0x1C]
    out dx, al
    mov al, byte ptr [esp + 0x18]
    out dx, al
    mov al, byte ptr [esp + 0x14]
    out dx, al
    inc ecx
    cmp ecx, 256
    jb solid_loop
    ud2
    .org SOLID_HOOK + 41, 0xCC
solid_continue:
    xor eax, eax
    cmp ecx, 1
    jne 1f
    lea ecx, [ebp + 3]
    cmp ebx, ecx
    jne 1f
    cmp esi, MARK_ESI
    jne 1f
    cmp edi, MARK_EDI
    jne 1f
    cmp edx, 0x3C9
    jne 1f
    mov eax, 1
1:  pop edx
    pop edi
    pop esi
    pop ebp
    ret

# ---- Frames -----------------------------------------------------------------
    AT SOLID_HOOK + 0x100

# EAX: 0 when the script's frame count is reached, 1 on Escape.
run_frames:
    push ebx
    push esi
    push edi
    push ebp
    mov dword ptr [frame_no], 0
    call read_ticks
    mov dword ptr [ticks_start], eax
1:  # Each frame calls with ESP at another alignment.
    mov eax, dword ptr [frame_no]
    and eax, 3
    shl eax, 2
    mov dword ptr [loop_skew], eax
    sub esp, eax
    call frame_begin
    mov eax, dword ptr [frame_no]
    cmp eax, FADE_FRAMES
    ja 2f
    # Fade from black: level 4 a frame; the low byte plays no part.
    shl eax, 10
    or eax, dword ptr [frame_no]
    call site_fade_palette
2:  mov eax, dword ptr [script_hold]
    test eax, eax
    jz 3f
    cmp dword ptr [frame_no], eax
    ja 4f
3:  push dword ptr [frame_no]
    push dword ptr [frame_buf]
    call render_plasma
    add esp, 8
4:  push dword ptr [frame_buf]
    call show_note
    add esp, 4
    mov eax, dword ptr [frame_buf]
    mov edx, VIDEO
    mov ebx, FRAME_BYTES
    call frame_copy
    # Asked for by the script: the sound starts after this frame.
    mov eax, dword ptr [script_sound]
    test eax, eax
    jz 7f
    cmp dword ptr [frame_no], eax
    jne 7f
    call start_sound
7:  mov eax, dword ptr [script_spin]
    test eax, eax
    jz 6f
    cmp dword ptr [frame_no], eax
    jne 6f
    call spin_until_next_note
6:  # Asked for by the script: the last frame is not waited after, so the
    # guest leaves at the very moment it was shown.
    cmp dword ptr [script_end_wait], 0
    jne 8f
    mov eax, dword ptr [frame_no]
    inc eax
    cmp eax, dword ptr [script_frames]
    je 5f
8:  call wait_tick
    test eax, eax
    jz 5f
    call site_read_key
    cmp eax, 27
    jne 5f
    add esp, dword ptr [loop_skew]
    mov eax, 1
    jmp 9f
5:  add esp, dword ptr [loop_skew]
    inc dword ptr [frame_no]
    mov eax, dword ptr [script_frames]
    test eax, eax
    jz 1b
    cmp dword ptr [frame_no], eax
    jb 1b
    xor eax, eax
9:  mov dword ptr [how_ended], eax
    call read_ticks
    mov dword ptr [ticks_end], eax
    # The fade's waits come after and do not count.
    mov eax, dword ptr [tick_waits]
    mov dword ptr [run_tick_waits], eax
    mov eax, dword ptr [note_waits]
    mov dword ptr [run_note_waits], eax
    mov eax, dword ptr [how_ended]
    pop ebp
    pop edi
    pop esi
    pop ebx
    ret

# Fades the held picture to black.
fade_out:
    mov esi, 64
1:  mov eax, esi
    shl eax, 8
    or eax, 0x80
    call site_fade_palette
    push dword ptr [frame_buf]
    call show_note
    add esp, 4
    mov eax, dword ptr [frame_buf]
    mov edx, VIDEO
    mov ebx, FRAME_BYTES
    call frame_copy
    call wait_tick
    sub esi, 8
    jns 1b
    ret

# ---- Sound ------------------------------------------------------------------

# The mode word the host hands the mixer for a requested mode.
mode_word_for:
    mov eax, dword ptr [script_mode]
    test eax, eax
    jnz 1f
    mov eax, 10
1:  mov edx, 1
    test eax, 2
    jz 2f
    mov edx, 2
2:  test eax, 8
    jz 3f
    or edx, 8
    jmp 4f
3:  or edx, 4
4:  mov eax, edx
    ret

# Picks the first present device of slots 1 and 2 of the device list, opens
# it, and starts the DMA buffer, the timer and the players.
start_sound:
    BEGIN_CHECK
    mov ebx, 1
1:  mov esi, dword ptr [device_list + ebx * 4]
    mov dword ptr [present], 0x0BAD
    mov eax, dword ptr [esi + 48]
    SCALLR eax, 2, "offset present"
    EXPECT dword ptr [sc_result], 0
    cmp dword ptr [present], 0
    jne 2f
    inc ebx
    cmp ebx, 2
    jbe 1b
    mov dword ptr [cur_ok], 0
    CHECK_DONE sound-device
    ret
2:  EXPECT dword ptr [present], 1
    mov dword ptr [device], esi
    mov eax, offset str_emulated
    cmp esi, offset sound_device
    je 3f
    mov eax, offset str_silent
3:  PRINTF fmt_device, eax, "dword ptr [script_rate]"
    mov eax, dword ptr [esi + 52]
    SCALLR eax, 1, "dword ptr [script_rate]", "dword ptr [script_mode]"
    EXPECT dword ptr [sc_result], 0
    cmp esi, offset sound_device
    jne 4f
    EXPECT dword ptr [mixer_opens], 1
    mov eax, dword ptr [script_rate]
    EXPECT dword ptr [mixer_open_rate], eax
    call mode_word_for
    EXPECT dword ptr [mixer_open_mode], eax
    EXPECT dword ptr [mixer_open_third], 1
4:  CHECK_DONE sound-device

    # The DMA buffer, in both cases; only the emulated device plays it.
    BEGIN_CHECK
    mov dword ptr [dma_record], 0x11111111
    mov dword ptr [dma_record + 16], 0x16161616
    SCALL site_dma_alloc_buffer, 3, DMA_BYTES, "offset dma_record"
    EXPECT dword ptr [sc_result], 0
    EXPECT dword ptr [dma_record + 12], DMA_BYTES
    EXPECT dword ptr [dma_record + 20], -1
    EXPECT dword ptr [dma_record], 0x11111111
    EXPECT dword ptr [dma_record + 16], 0x16161616
    mov edi, dword ptr [dma_record + 24]
    EXPECT_NOT edi, 0
    test edi, edi
    jz 5f
    EXPECT dword ptr [edi], 0
    EXPECT dword ptr [edi + DMA_BYTES - 4], 0
5:  mov dword ptr [position], -7
    SCALL site_dma_buffer_position, 0, "offset dma_record", "offset position"
    EXPECT dword ptr [sc_result], 0
    EXPECT dword ptr [position], DMA_BYTES
    CHECK_DONE dma

    # The timer: device, callbacks, players.
    BEGIN_CHECK
    call init_guard_table
    SCALL site_timer_init, 1, esi
    EXPECT dword ptr [sc_result], 0
    cmp esi, offset sound_device
    je 6f
    # The silent device paces itself: 50 player ticks a second.
    SCALL site_timer_set_rate, 2, 5000
    EXPECT dword ptr [sc_result], 0
6:  SCALL site_timer_set_callbacks, 3, 20, "offset timer_callback_1", "offset timer_callback_2", 0
    EXPECT dword ptr [sc_result], 0
    mov dword ptr [sound_ready], 1
    SCALL site_timer_play_player, 0, "offset dummy_player", "offset player_index"
    EXPECT dword ptr [sc_result], 0
    EXPECT dword ptr [player_index], 0
    SCALL site_timer_play_player, 1, "offset dummy_player", "offset player_index"
    EXPECT dword ptr [player_index], 1
    SCALL site_timer_stop_player, 2, 0
    EXPECT dword ptr [sc_result], 0
    SCALL site_timer_play_player, 3, "offset music_player", "offset player_index"
    EXPECT dword ptr [player_index], 0
    SCALL site_timer_stop_player, 1, 1
    cmp esi, offset sound_device
    jne 7f
    SCALL site_dma_play_buffer, 2, "offset dma_record"
    EXPECT dword ptr [sc_result], 0
7:  CHECK_DONE timer
    ret

# Entry 0 of the guard table never counts; entries 1 to 16 point at records
# that do not stop a pass.
init_guard_table:
    mov dword ptr [guard_table], offset guard_stop
    mov ecx, 16
1:  mov eax, offset guard_go
    test ecx, 1
    jz 2f
    xor eax, eax
2:  mov dword ptr [guard_table + ecx * 4], eax
    loop 1b
    ret

stop_sound:
    mov esi, dword ptr [device]
    test esi, esi
    jz 9f
    SCALL site_timer_stop_player, 1, 0
    # Paused before the flag drops, so no pass is left waiting for bytes.
    SCALL site_dma_stop, 2
    mov dword ptr [sound_ready], 0
    SCALL site_timer_close, 3
    SCALL site_dma_free_buffer, 0, "offset dma_record"
    mov eax, dword ptr [esi + 56]
    SCALLR eax, 1
9:  ret

check_end:
    BEGIN_CHECK
    # Each frame that waited for a tick saw the count move.
    mov eax, dword ptr [ticks_end]
    sub eax, dword ptr [ticks_start]
    cmp eax, dword ptr [run_tick_waits]
    jge 1f
    mov dword ptr [cur_ok], 0
1:  # A count that never moves would leave every frame to the notes; two
    # note changes never come within one tick.
    cmp dword ptr [frame_no], 2
    jb 2f
    EXPECT_NOT dword ptr [run_tick_waits], 0
2:  CHECK_DONE ticks
    BEGIN_CHECK
    EXPECT_NOT dword ptr [player_calls], 0
    EXPECT_NOT dword ptr [callback_1_calls], 0
    EXPECT_NOT dword ptr [callback_2_calls], 0
    mov esi, dword ptr [device]
    cmp esi, offset sound_device
    jne 2f
    EXPECT_NOT dword ptr [mixed_passes], 0
    EXPECT dword ptr [close_hook_calls], 1
    jmp 3f
2:  EXPECT_NOT dword ptr [silent_cycles], 0
3:  CHECK_DONE music
    # The demo's tick arithmetic needs the x87 unit at 53-bit precision
    # (precision control 2), the default of its own platform: on the main
    # thread and on the thread that runs the player.
    BEGIN_CHECK
    movzx eax, word ptr [x87_control]
    shr eax, 8
    and eax, 3
    EXPECT eax, dword ptr [script_precision]
    mov eax, dword ptr [player_x87_control]
    shr eax, 8
    and eax, 3
    EXPECT eax, dword ptr [script_precision]
    CHECK_DONE x87-precision
    ret

# ---- Frame copy -------------------------------------------------------------
# frame_copy: EAX source, EDX destination, EBX byte count; keeps every
# register. The host replaces its tail with a hook that hands the copy over.
    AT FRAME_HOOK - 16
frame_copy:
    pushad
    INSIDE FRAME_HOOK
    mov esi, eax
    mov edi, edx
    mov ecx, ebx
    cld
    rep movsb                 # into video memory: not mapped in the host
    popad
    ret
    ud2

# ---- The routine with the lone NOP byte -------------------------------------
    AT NOP_LONE - 8
frame_begin:
    inc dword ptr [frames_begun]
    INSIDE NOP_LONE
    cli                       # becomes NOP
    ret

# ---- Ticks ------------------------------------------------------------------
# wait_tick: polls the keyboard until the BIOS tick count moves, or until
# the music plays a note the screen does not show yet, so that the frame of
# a new note follows within one poll; EAX -1 when an Escape is waiting, else
# 0. The three tick reads are the operands that the host points at its own
# counter.
    AT TICK_1 - 4
wait_tick:
    push ebx
    push ecx
    .byte 0x8B, 0x1D          # mov ebx, [BIOS_TICKS]
    .long BIOS_TICKS
1:  call site_poll_events
    test eax, eax
    jnz 2f
    INSIDE TICK_2 - 2
    .byte 0x8B, 0x0D          # mov ecx, [BIOS_TICKS]
    .long BIOS_TICKS
    mov eax, dword ptr [playing_note]
    cmp eax, dword ptr [shown_note]
    jne 3f
    cmp ecx, ebx
    je 1b
    inc dword ptr [tick_waits]
    jmp 4f
3:  inc dword ptr [note_waits]
4:  xor eax, eax
2:  pop ecx
    pop ebx
    ret

    AT TICK_3 - 1
read_ticks:
    .byte 0xA1                # mov eax, [BIOS_TICKS]
    .long BIOS_TICKS
    ret

# ---- Blank-palette routines -------------------------------------------------
# Each sets BH on its own account, loses the DAC writes to the hook, and
# returns 1 when it goes on with BH = 3 and its registers intact.
.macro BLANK_ROUTINE i
    AT NOP_\i - 16
blank_\i:
    push ebx
    push esi
    mov bh, 0x55
    mov esi, MARK_ESI
    INSIDE NOP_\i
    cli                       # becomes NOP
    INSIDE BLANK_\i - 1
    # Ten bytes the hook replaces: black into the DAC.
    mov dx, 0x3C8             # 4 bytes
    xor al, al                # 2
    out dx, al                # 1
    ud2                       # 2
    nop                       # 1
    .org BLANK_\i + 9, 0xCC
    xor eax, eax
    cmp bh, 3
    jne 1f
    cmp esi, MARK_ESI
    jne 1f
    mov eax, 1
1:  pop esi
    pop ebx
    ret
.endm

BLANK_ROUTINE 0
BLANK_ROUTINE 1
BLANK_ROUTINE 2
BLANK_ROUTINE 3
BLANK_ROUTINE 4
BLANK_ROUTINE 5
BLANK_ROUTINE 6

# ---- The main routine -------------------------------------------------------
# argc in EAX, argv in EDX; returns to the host with its result in EAX.
    AT SYM_guest_main
guest_main:
    jmp main_body

BLANK_ROUTINE 7
BLANK_ROUTINE 8
BLANK_ROUTINE 9
BLANK_ROUTINE 10
BLANK_ROUTINE 11
BLANK_ROUTINE 12
BLANK_ROUTINE 13

# ---- Runtime routines the host replaces --------------------------------------
REDIRECT_SITE site_fopen, SITE_fopen
REDIRECT_SITE site_fclose, SITE_fclose
REDIRECT_SITE site_fread, SITE_fread
REDIRECT_SITE site_ignore_one, SITE_ignore_one
REDIRECT_SITE site_guest_memset, SITE_guest_memset
REDIRECT_SITE site_int386_service, SITE_int386_service
REDIRECT_SITE site_console_printf, SITE_console_printf
.globl site_console_printf
REDIRECT_SITE site_pool_alloc, SITE_pool_alloc

.macro STUB i
    AT STUB_\i
stub_\i:
    cli                       # becomes RET
    ud2
.endm

STUB 0
REDIRECT_SITE site_guest_exit, SITE_guest_exit
REDIRECT_SITE site_fseek, SITE_fseek
REDIRECT_SITE site_ftell, SITE_ftell
REDIRECT_SITE site_poll_events, SITE_poll_events
REDIRECT_SITE site_read_key, SITE_read_key

# Called by the host before it stops on a player error.
    AT SYM_guest_error_report
guest_error_report:
    jmp c_error_report

REDIRECT_SITE site_console_flush, SITE_console_flush

# Overwritten by the host with its entry adapter.
    AT SYM_entry_stub
entry_stub:
    .rept 8
    ud2
    .endr

STUB 1
REDIRECT_SITE site_succeed_noop_b, SITE_succeed_noop_b
REDIRECT_SITE site_succeed_noop_a, SITE_succeed_noop_a
REDIRECT_SITE site_report_fourteen, SITE_report_fourteen
REDIRECT_SITE site_timer_init, SITE_timer_init
REDIRECT_SITE site_timer_close, SITE_timer_close
REDIRECT_SITE site_timer_play_player, SITE_timer_play_player
REDIRECT_SITE site_timer_stop_player, SITE_timer_stop_player
REDIRECT_SITE site_timer_set_callbacks, SITE_timer_set_callbacks
REDIRECT_SITE site_timer_set_rate, SITE_timer_set_rate
REDIRECT_SITE site_console_putc, SITE_console_putc
STUB 2
REDIRECT_SITE site_report_zero, SITE_report_zero

# Runs before the main routine, with EAX = 255; may change any register.
    AT SYM_guest_prestart
guest_prestart:
    mov dword ptr [prestart_eax], eax
    mov dword ptr [prestart_ran], 1
    mov eax, dword ptr [main_ran]
    mov dword ptr [prestart_saw_main], eax
    mov ebx, 0x0B0B0B0B
    mov esi, 0x05050505
    mov edi, 0x0D0D0D0D
    mov ebp, 0x0E0E0E0E
    ret

REDIRECT_SITE site_console_puts, SITE_console_puts
STUB 3
STUB 4
STUB 5
STUB 6
REDIRECT_SITE site_dma_alloc_buffer, SITE_dma_alloc_buffer
REDIRECT_SITE site_dma_free_buffer, SITE_dma_free_buffer
REDIRECT_SITE site_dma_play_buffer, SITE_dma_play_buffer
REDIRECT_SITE site_dma_stop, SITE_dma_stop
REDIRECT_SITE site_dma_buffer_position, SITE_dma_buffer_position

# Called through the host's stack bridge with (rate, mode word, 1).
    AT SYM_guest_mixer_open
guest_mixer_open:
    jmp c_mixer_open

# Called when the emulated device closes.
    AT SYM_guest_close_hook
guest_close_hook:
    jmp c_close_hook

    AT SYM_guest_close_hook + 0x100
.globl obj1_asm_end
obj1_asm_end:

# Object 1's read-only words: an absolute address of object 1 itself.
.section .sample_str, "a"
fx_code_self:
    .long fx_code_self
    .long str_exe

str_exe:        .asciz "lumox.exe"
str_rb:         .asciz "rb"
str_missing:    .asciz "no-such-file.dat"
str_script:     .asciz "lumox.scr"
str_ok:         .asciz "ok"
str_fail:       .asciz "FAIL"
str_all:        .asciz "all"
str_failures:   .asciz "fail"
str_none:       .asciz "none"
str_fix:        .asciz "Fix"
str_party:      .asciz "Party"
str_emulated:   .asciz "emulated"
str_silent:     .asciz "silent"
str_escape:     .asciz "escape"
str_frames_done: .asciz "frames done"
str_puts:       .asciz "sample: string output\n"
str_putc:       .asciz "sample: character output\n"
fmt_check:      .asciz "check %-16s %s\n"
fmt_console:    .asciz "sample: %s release, %d-bit %c%c, %x %u%%\n"
fmt_unknown_key: .asciz "sample: unknown script word %s\n"
fmt_device:     .asciz "sample: sound through the %s device at %d Hz\n"
fmt_report:     .asciz "sample: %s after %d frames, %d player calls, %d mixed passes, %d ticks\n"
fmt_summary:    .asciz "sample: %d checks passed, %d failed\n"
fmt_waits:      .asciz "sample: %d frames ended on a tick, %d on a note\n"
key_frames:     .asciz "frames"
key_hold:       .asciz "hold"
key_status:     .asciz "status"
key_escape:     .asciz "escape"
key_checks:     .asciz "checks"
key_error:      .asciz "error"
key_error_at:   .asciz "error-at"
key_interrupt:  .asciz "interrupt"
key_rate:       .asciz "rate"
key_mode:       .asciz "mode"
key_precision:  .asciz "precision"
key_notes:      .asciz "notes"
key_spin:       .asciz "spin"
key_sound:      .asciz "sound"
key_end_wait:   .asciz "end-wait"

# =============================================================================
# Object 2: data
# =============================================================================
.section .obj2, "aw", @progbits
obj2_start:

# Script settings, with their defaults.
script_keys:
    .long key_frames, script_frames
    .long key_hold, script_hold
    .long key_status, script_status
    .long key_escape, script_escape
    .long key_checks, script_checks
    .long key_error, error_code
    .long key_error_at, error_code_at_call
    .long key_interrupt, script_interrupt
    .long key_rate, script_rate
    .long key_mode, script_mode
    .long key_precision, script_precision
    .long key_notes, script_notes
    .long key_spin, script_spin
    .long key_sound, script_sound
    .long key_end_wait, script_end_wait
    .long 0, 0
script_frames:    .long 0       # 0: until Escape
script_hold:      .long 0       # 0: never; n: frame n stays on the screen
script_status:    .long 0       # exit status when the frames are done
script_escape:    .long -1      # exit status on Escape; -1: return from main
script_checks:    .long 1       # 2 all, 1 failures only, 0 none
.globl error_code, error_code_at_call
error_code:       .long 0       # a player error to return
error_code_at_call: .long 30    # at this player call
script_interrupt: .long 0       # an interrupt to ask for at start
script_rate:      .long 22050
script_mode:      .long 0
script_precision: .long 2       # x87 precision control expected (2: 53 bits)
script_present:   .long 0
.globl script_notes
script_notes:     .long 1       # the note bar: 0 off, 1 on, 2 on and a line at each change
script_spin:      .long 0       # 0: never; n: after frame n, a busy wait for the next note
script_sound:     .long 0       # 0: at the start; n: the sound starts after frame n
script_end_wait:  .long 1       # 0: no wait after the last frame

# Fixup exhibits.
fx_selector:
    .word __lumox_selector            # 16-bit selector
fx_far:
    .long far_target                  # 16:32 pointer
    .word __lumox_selector
    .p2align 2
fx_relative:
.if RELEASE_PARTY
    .long relative_target             # PMW1 has no self-relative kind
.else
    .long relative_target - . - 4     # self-relative, into object 1
.endif
fx_self:
    .long fx_self

stub_table:
    .long stub_0, stub_1, stub_2, stub_3, stub_4, stub_5, stub_6
blank_table:
    .long blank_0, blank_1, blank_2, blank_3, blank_4, blank_5, blank_6
    .long blank_7, blank_8, blank_9, blank_10, blank_11, blank_12, blank_13

# Guard records: field 12 holds 37 in the one that would stop a pass.
guard_stop: .long 0, 0, 0, 37
guard_go:   .long 0, 0, 0, 0

# A device record the host does not know; it stays in slot 0.
dead_device:
    .fill 48, 1, 0
    .long dead_routine, dead_routine, dead_routine
    .fill 184 - 60, 1, 0

.p2align 4
rc_target: .long 0
rc_skew: .long 0
rc_eax: .long 0
rc_edx: .long 0
rc_ebx: .long 0
rc_ecx: .long 0
rc_result: .long 0
rc_saved_esp: .long 0
rc_expect_esp: .long 0
sc_target: .long 0
sc_skew: .long 0
sc_nargs: .long 0
sc_args: .fill 8, 4, 0
sc_result: .long 0
sc_saved_esp: .long 0
sc_expect_esp: .long 0
stub_target: .long 0
stub_esp: .long 0

cur_ok: .long 0
check_count: .long 0
checks_printed: .long 0
checks_passed: .long 0
checks_failed: .long 0
check_names: .fill CHECK_MAX, 4, 0
check_results: .fill CHECK_MAX, 4, 0

prestart_ran: .long 0
x87_control: .long 0
prestart_eax: .long 0
prestart_saw_main: .long 0
main_ran: .long 0
main_argc: .long 0
main_argv: .long 0
host_esp: .long 0
frame_buf: .long 0
scratch: .long 0
header_offset: .long 0
header_sig: .long 0
status_word: .long 0
present: .long 0
position: .long 0
player_index: .long 0
device: .long 0
frame_no: .long 0
frames_begun: .long 0
loop_skew: .long 0
how_ended: .long 0
ended_by_escape: .long 0
ticks_start: .long 0
ticks_end: .long 0
tick_waits: .long 0               # frames whose wait ended on a tick
note_waits: .long 0               # ... on a note change
run_tick_waits: .long 0           # the same when the frames stopped
run_note_waits: .long 0

regs_in: .fill 7, 4, 0
regs_out: .fill 7, 4, 0
dpmi_info: .fill 12, 4, 0

.globl dma_record
dma_record: .fill 32, 1, 0

solid_buffer: .fill 768, 1, 0

    .org SYM_fade_scale
fade_scale:
    .float 1.0

    .org SYM_device_list
device_list:
    .long dead_device, dead_device, dead_device, 0x5107

    .org SYM_device_extra
device_extra:                     # the guest's silent device
    .long 1                       # paces itself: one cycle a pass
    .fill 44, 1, 0
    .long silent_detect, silent_open, silent_close
    .fill 176 - 60, 1, 0
    .long silent_pass_start, silent_cycle

    .org SYM_sound_device
sound_device:                     # taken over by the host
    .long 0x7EADBEEF, 0xDE0004, 0xDE0008, 0xDE0012, 0xDE0016, 0xDE0020, 0xDE0024, 0xDE0028
    .long 0xDE0032, 0xDE0036, 0xDE0040, 0xDE0044
    .long dead_routine, dead_routine, dead_routine
    .long 0xDE0060
    .fill 176 - 64, 1, 0
    .long mixer_pass_start, mixer_cycle

    .org SYM_guest_palette
guest_palette:
    .fill 768, 1, 0

    .org SYM_fade_select
fade_select:
    .long 0

    .org SYM_sound_ready
sound_ready:
    .long 0

    .org SYM_guard_table
guard_table:
    .fill 17, 4, 0

    .org SYM_unnamed_2
unnamed_2:
    .long 0

    .org SYM_mix_length
.globl mix_length
mix_length:
    .long 0

/* The sample guest's two objects. Each starts at its own base so that the
 * converter can tell from an address which object it lies in; the image
 * loader gives them their real places. */
__lumox_selector = 0; /* every selector field becomes a fixup */

SECTIONS
{
  .obj1 0x00000000 : {
    KEEP(*(.obj1))
    ASSERT(. == obj1_asm_end, "object 1's assembly must come first, at offset 0");
    *(.text .text.*)
    . = ALIGN(4);
    *(.sample_str)
    *(.rodata .rodata.*)
  }
  .obj2 0x40000000 : {
    KEEP(*(.obj2))
    *(.data .data.*)
    *(.bss .bss.* COMMON)
  }
  /DISCARD/ : { *(.eh_frame) *(.comment) *(.note .note.*) }
}

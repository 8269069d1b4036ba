# ignore_one: the guest gets back the EAX it passed, so nothing may touch it.
        .text
        .globl ignore_one
        .type ignore_one, @function
ignore_one:
        ret
        .size ignore_one, .-ignore_one
        .section .note.GNU-stack,"",@progbits

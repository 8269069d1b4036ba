// Process entry: stands in for SDL's console main wrapper.
#include <SDL.h>
#include <cstdio>
#include <cstdlib>

#include "shell/fatal.h"
#include "shell/host.h"

// The guest was built for an x87 unit at 53-bit precision, the start-up
// default of its platform; Linux starts at 64 bits. Threads created later
// inherit the control word.
static void set_x87_double_precision() {
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0x0300) | 0x0200);
    __asm__ volatile("fldcw %0" : : "m"(control));
}

static void flush_output() {
    fflush(stdout);
    fflush(stderr);
}

int main(int argc, char **argv) {
    set_x87_double_precision();
    note_main_thread();
    SDL_Init(SDL_INIT_NOPARACHUTE);
    atexit(SDL_Quit);
    atexit(flush_output);
    host_main(argc, argv);
    exit(0);
}

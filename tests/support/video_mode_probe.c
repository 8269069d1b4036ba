/* Preloaded into the host by the command-line tests: appends the flags of
 * every video mode set to the file named by LUMOX_VIDEO_PROBE_OUT, then sets
 * the mode as asked, or with the depth LUMOX_VIDEO_PROBE_BPP gives, as a
 * display that ignores the depth asked for would. The host's options can so
 * be seen from outside. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct SDL_Surface SDL_Surface;

SDL_Surface *SDL_SetVideoMode(int width, int height, int bpp, uint32_t flags) {
    SDL_Surface *(*real)(int, int, int, uint32_t) =
        (SDL_Surface * (*)(int, int, int, uint32_t)) dlsym(RTLD_NEXT, "SDL_SetVideoMode");
    const char *out = getenv("LUMOX_VIDEO_PROBE_OUT");
    FILE *f = out ? fopen(out, "a") : NULL;
    if (f) {
        fprintf(f, "mode %dx%dx%d flags 0x%08x\n", width, height, bpp, (unsigned)flags);
        fclose(f);
    }
    const char *forced_bpp = getenv("LUMOX_VIDEO_PROBE_BPP");
    return real ? real(width, height, forced_bpp ? atoi(forced_bpp) : bpp, flags) : NULL;
}

/* Preloaded into the host by the render tests: FFmpeg's encoder look-ups find
 * nothing for the encoder named in LUMOX_NO_ENCODER, as on a system whose
 * libraries were built without it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

/* The first field of FFmpeg's codec record is its name. */
struct codec_head {
    const char *name;
};

static int hidden(const char *name) {
    const char *no = getenv("LUMOX_NO_ENCODER");
    return name && no && strcmp(name, no) == 0;
}

const void *avcodec_find_encoder_by_name(const char *name) {
    const void *(*real)(const char *) =
        (const void *(*)(const char *))dlsym(RTLD_NEXT, "avcodec_find_encoder_by_name");
    return hidden(name) || !real ? NULL : real(name);
}

const void *avcodec_find_encoder(int id) {
    const void *(*real)(int) = (const void *(*)(int))dlsym(RTLD_NEXT, "avcodec_find_encoder");
    const struct codec_head *codec = real ? real(id) : NULL;
    return codec && hidden(codec->name) ? NULL : codec;
}

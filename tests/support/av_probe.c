/* Preloaded into the host by the live-play measurements: it logs every
 * audio callback (its start and the bytes asked for) and every flip (its
 * time, how long it took, and the colour of one pixel of the picture's bottom line, where the
 * sample guest draws its note bar), every key released, and every write of the disk audio
 * driver's file to the file LUMOX_AV_LOG, on the monotonic clock in
 * microseconds. */

#include <SDL.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int log_fd = -1;
static void (*guest_callback)(void *, Uint8 *, int) = NULL;

static long long now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static void log_line(const char *line) {
    if (log_fd < 0) {
        const char *path = getenv("LUMOX_AV_LOG");
        log_fd = path ? open(path, O_WRONLY | O_CREAT | O_APPEND, 0644) : -2;
    }
    if (log_fd >= 0) {
        (void)!write(log_fd, line, strlen(line));
    }
}

static void logged_callback(void *userdata, Uint8 *stream, int len) {
    char line[64];
    snprintf(line, sizeof line, "A %lld %d\n", now_us(), len);
    log_line(line);
    guest_callback(userdata, stream, len);
}

/* The disk driver's writes of the sound: when a device would begin to play
 * each buffer. */
static FILE *audio_file = NULL;

static FILE *open_noting(const char *which, const char *name, const char *mode) {
    FILE *(*real)(const char *, const char *) =
        (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, which);
    FILE *stream = real ? real(name, mode) : NULL;
    const char *audio = getenv("SDL_DISKAUDIOFILE");
    if (stream && audio && name && strcmp(name, audio) == 0) {
        audio_file = stream;
    }
    return stream;
}

FILE *fopen(const char *name, const char *mode) {
    return open_noting("fopen", name, mode);
}

FILE *fopen64(const char *name, const char *mode) {
    return open_noting("fopen64", name, mode);
}

size_t fwrite(const void *bytes, size_t size, size_t count, FILE *stream) {
    size_t (*real)(const void *, size_t, size_t, FILE *) =
        (size_t(*)(const void *, size_t, size_t, FILE *))dlsym(RTLD_NEXT, "fwrite");
    if (audio_file && stream == audio_file) {
        char line[64];
        snprintf(line, sizeof line, "W %lld %u\n", now_us(), (unsigned)(size * count));
        log_line(line);
    }
    return real(bytes, size, count, stream);
}

int SDL_OpenAudio(SDL_AudioSpec *desired, SDL_AudioSpec *obtained) {
    int (*real)(SDL_AudioSpec *, SDL_AudioSpec *) =
        (int (*)(SDL_AudioSpec *, SDL_AudioSpec *))dlsym(RTLD_NEXT, "SDL_OpenAudio");
    char line[96];
    snprintf(line, sizeof line, "O %lld %d %d %d %d\n", now_us(), desired->freq, desired->channels,
             desired->format, desired->samples);
    log_line(line);
    guest_callback = desired->callback;
    desired->callback = logged_callback;
    return real(desired, obtained);
}

int SDL_PollEvent(SDL_Event *event) {
    int (*real)(SDL_Event *) = (int (*)(SDL_Event *))dlsym(RTLD_NEXT, "SDL_PollEvent");
    const int got = real(event);
    if (got && event && event->type == SDL_KEYUP) {
        char line[64];
        snprintf(line, sizeof line, "K %lld %d\n", now_us(), (int)event->key.keysym.sym);
        log_line(line);
    }
    return got;
}

int SDL_Flip(SDL_Surface *surface) {
    int (*real)(SDL_Surface *) = (int (*)(SDL_Surface *))dlsym(RTLD_NEXT, "SDL_Flip");
    unsigned rgb = 0;
    if (surface && surface->pixels && surface->format->BytesPerPixel == 4 && surface->h > 2) {
        const Uint8 *row = (const Uint8 *)surface->pixels + (surface->h - 2) * surface->pitch;
        Uint32 pixel;
        memcpy(&pixel, row + (surface->w / 2) * 4, 4);
        Uint8 r, g, b;
        SDL_GetRGB(pixel, surface->format, &r, &g, &b);
        rgb = (unsigned)r << 16 | (unsigned)g << 8 | b;
    }
    const long long start = now_us();
    const int result = real(surface);
    char line[80];
    snprintf(line, sizeof line, "F %lld %06x %lld\n", start, rgb, now_us() - start);
    log_line(line);
    return result;
}

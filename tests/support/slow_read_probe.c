/* Preloaded into the host by the render tests: the first read of the file
 * named in LUMOX_SLOW_READ_FILE (the guest's script) takes LUMOX_SLOW_READ_MS
 * of busy CPU time, as a slow host routine would: one that works rather
 * than waits, the harder case for a stall watch. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static FILE *slow_stream = NULL;

static long long cpu_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static FILE *open_noting(const char *which, const char *name, const char *mode) {
    FILE *(*real)(const char *, const char *) =
        (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, which);
    FILE *stream = real ? real(name, mode) : NULL;
    const char *slow = getenv("LUMOX_SLOW_READ_FILE");
    if (stream && slow && name && strcmp(name, slow) == 0) {
        slow_stream = stream;
    }
    return stream;
}

FILE *fopen(const char *name, const char *mode) {
    return open_noting("fopen", name, mode);
}

FILE *fopen64(const char *name, const char *mode) {
    return open_noting("fopen64", name, mode);
}

size_t fread(void *buffer, size_t size, size_t count, FILE *stream) {
    size_t (*real)(void *, size_t, size_t, FILE *) =
        (size_t(*)(void *, size_t, size_t, FILE *))dlsym(RTLD_NEXT, "fread");
    const char *ms = getenv("LUMOX_SLOW_READ_MS");
    if (ms && stream && stream == slow_stream) {
        slow_stream = NULL;
        const long long until = cpu_ms() + atoll(ms);
        while (cpu_ms() < until) {
        }
    }
    return real ? real(buffer, size, count, stream) : 0;
}

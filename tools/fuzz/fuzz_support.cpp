#include "fuzz_support.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "loader/loader.h"
#include "shell/fatal.h"

jmp_buf *fuzz_escape = nullptr;
char fuzz_message[256];

[[noreturn]] static void reject(const char *fmt, va_list ap) {
    vsnprintf(fuzz_message, sizeof fuzz_message, fmt, ap);
    if (!fuzz_escape) {
        fprintf(stderr, "fatal outside a fuzzed call: %s\n", fuzz_message);
        abort();
    }
    longjmp(*fuzz_escape, 1);
}

void fatal(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    reject(fmt, ap);
}

void fatal_errno(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    reject(fmt, ap);
}

void fatal_sdl(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    reject(fmt, ap);
}

void note_main_thread() {}

// The loaders' objects are linked with --wrap for malloc, calloc and free:
// while tracking, each live block is remembered, so that an input abandoned
// by a longjmp leaves nothing behind. That holds because every buffer of a
// load, the loaders' own temporary ones included, comes from the C allocator
// (xmalloc, xcalloc), never from new or a container.
extern "C" void *__real_malloc(size_t n);
extern "C" void *__real_calloc(size_t n, size_t size);
extern "C" void __real_free(void *p);

static bool tracking = false;
static void *live[64];
static int live_count = 0;

static void remember(void *p) {
    if (!tracking || !p) {
        return;
    }
    if (live_count == 64) {
        fprintf(stderr, "fuzz: more than 64 live allocations\n");
        abort();
    }
    live[live_count++] = p;
}

extern "C" void *__wrap_malloc(size_t n) {
    void *p = __real_malloc(n);
    remember(p);
    return p;
}

extern "C" void *__wrap_calloc(size_t n, size_t size) {
    void *p = __real_calloc(n, size);
    remember(p);
    return p;
}

extern "C" void __wrap_free(void *p) {
    if (tracking) {
        for (int k = 0; k < live_count; k++) {
            if (live[k] == p) {
                live[k] = live[--live_count];
                break;
            }
        }
    }
    __real_free(p);
}

void fuzz_track_begin() {
    tracking = true;
    live_count = 0;
}

void fuzz_track_end() {
    tracking = false;
    for (int k = 0; k < live_count; k++) {
        __real_free(live[k]);
    }
    live_count = 0;
    free_object_block();
}

FILE *fuzz_open(const uint8_t *data, size_t size) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!f) {
        abort();
    }
    return f;
}

void fuzz_load(const uint8_t *data, size_t size,
               GuestObject *(*loader)(FILE *, uint32_t, uint32_t *)) {
    if (size < 64) {
        return; // no header offset; and fmemopen refuses an empty buffer
    }
    FILE *f = fuzz_open(data, size);
    jmp_buf escape;
    fuzz_escape = &escape;
    fuzz_track_begin();
    if (setjmp(escape) == 0) {
        seek_to(f, 60);
        const uint32_t h = read_u32(f);
        uint32_t count = 0;
        const GuestObject *objects = loader(f, h, &count);
        // A load that succeeds has placed every object inside the block.
        const uintptr_t block = reinterpret_cast<uintptr_t>(object_block);
        for (uint32_t k = 0; k < count; k++) {
            const uint64_t start = objects[k].host_base;
            if (start < block || (start - block) % 32 != 0 ||
                start + objects[k].virtual_size > block + object_block_size) {
                fprintf(stderr, "object %u placed outside the block\n", k + 1);
                abort();
            }
        }
    }
    fuzz_track_end();
    fuzz_escape = nullptr;
    fclose(f);
}

// Fuzz targets: the fatal reporters jump back to the target instead of
// ending the process, and every C allocation made during one input is
// released after it, whether the input was loaded or rejected.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Set by the target around one call; fatal reporters longjmp here.
extern jmp_buf *fuzz_escape;
// The rejection message of the last fatal report (format filled in).
extern char fuzz_message[256];

// Counts allocations of the loaders from here on.
void fuzz_track_begin();
// Frees what is still allocated and unmaps the object block.
void fuzz_track_end();

struct GuestObject;
// Loads one input as an image file (header offset at byte 60) with the given
// loader. Rejections return; a load that breaks the loader's own promises
// aborts.
void fuzz_load(const uint8_t *data, size_t size,
               GuestObject *(*loader)(FILE *, uint32_t, uint32_t *));

// A stream over the input bytes, positioned at its start.
FILE *fuzz_open(const uint8_t *data, size_t size);

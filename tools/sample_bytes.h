// Deterministic bytes that look like the contents of a 32-bit DOS program
// (machine code, strings, pointer tables, zero runs, sample and picture
// data), for round trips of the encoder and for the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/image_writer.h"

std::vector<uint8_t> exe_like_bytes(size_t size, uint32_t seed);

// A code object, a data object and a zero-filled object totalling about
// total_bytes, with a realistic density of type-7 fixups (and a few of
// types 6 and 2) between them. With self_relative, the code object also
// gets type-8 fixups (LE only).
std::vector<ImageObject> exe_like_objects(size_t total_bytes, uint32_t seed, bool self_relative);

// The sample guest's plasma, computed here independently of the guest's own
// code: frame f's 64000 palette indices, and its palette of 256 entries of
// three 6-bit components (768 bytes).
void sample_plasma_frame(unsigned frame, uint8_t *pixels);
void sample_plasma_palette(uint8_t *palette);

// Binding the loaded guest to the host, release code patches and the bridges
// through which host code calls guest code.
#pragma once

#include <cstdint>

#include "binding/catalogue.h"

// Relocates the symbols, writes the stubs and the redirects of a release.
void bind_guest(GuestRelease *release);

// Host address of the `length` bytes at `offset` in loaded object `object`
// (1-based) of an image of `object_count` objects. A site in an object the
// image does not have, or not wholly inside its object, ends the process with
// a message naming it (`kind` and offset): a digest configured for the wrong
// release must not read or write past the guest.
uint8_t *guest_site(const GuestObject *objects, uint32_t object_count, uint32_t object,
                    uint32_t offset, uint32_t length, const char *kind);

// Writes one redirect at a guest site: a plain JMP for arg_code -2, otherwise a
// JMP to a newly generated adapter. Returns the adapter block, or nullptr when
// none was needed.
uint8_t *write_redirect(uint8_t *site, void *host_routine, int16_t arg_code);

// Writes count - 1 bytes of a zero-terminated template at dst, with a rel32 to
// host_routine after every E8 byte.
void write_code_template(uint8_t *dst, void *host_routine, const uint8_t *tmpl, int count);

// Hook templates, each with its terminating zero byte (counts 10, 10, 7).
extern const uint8_t solid_palette_hook[10];
extern const uint8_t frame_copy_hook[10];
extern const uint8_t blank_palette_hook[7];

// Entry adapter, tick operands, palette and frame hooks, NOP bytes: the
// patches of the release given, written into its loaded and bound objects.
void apply_release_patches(const GuestRelease &release);

// Bridges into guest code (fixed machine code in the host's text).
extern "C" uint32_t call_guest_eax(uint32_t value, uint32_t routine);
extern "C" uint32_t call_guest_stack(int n, uint32_t routine, ...);

// Runs guest_prestart with EAX = 255, then the guest's main routine.
int start_guest();

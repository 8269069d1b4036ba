// Guest files for identification tests: a release record whose digest is that
// of given bytes, so tests need no special build of the catalogue.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/catalogue.h"

void md5_of(const std::vector<unsigned char> &bytes, uint8_t digest[16]);

// A release that matches exactly these bytes, with empty symbol, redirect and
// stub lists.
GuestRelease release_for(const std::vector<unsigned char> &bytes);

// A minimal MS-DOS stub: MZ, relocation-table offset 64, new header at 64,
// followed by the 32-bit signature word.
std::vector<unsigned char> dos_stub_with_signature(uint32_t signature);

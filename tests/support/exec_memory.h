// Executable scratch memory for tests that write and run code.
#pragma once

#include <cstddef>
#include <cstdint>

// A zero-filled readable, writable and executable mapping of at least n bytes,
// at a 4096-byte boundary. Never unmapped (code may still point into it).
uint8_t *exec_memory(size_t n);

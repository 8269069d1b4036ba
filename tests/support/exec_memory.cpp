#include "support/exec_memory.h"

#include <cstdlib>
#include <sys/mman.h>

uint8_t *exec_memory(size_t n) {
    void *p =
        mmap(nullptr, n, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        abort();
    }
    return static_cast<uint8_t *>(p);
}

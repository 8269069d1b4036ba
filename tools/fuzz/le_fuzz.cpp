// The LE loader on arbitrary files, past the digest check.
#include "fuzz_support.h"
#include "loader/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_load(data, size, load_le);
    return 0;
}

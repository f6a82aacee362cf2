// Fuzz target: the gzip decoder (see decode_check.h for what is checked).
// Input: bytes 0-3 seed the split, the rest is the file's data, read as a gzip stream.
#include "fuzz/decode_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    fuzz_decode_both(KIND_GZIP, data, size);
    return 0;
}

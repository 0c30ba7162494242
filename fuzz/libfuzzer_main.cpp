// libFuzzer entry: FUZZ_ENTRY names the target's fuzzOne<Name> function.
#include "fuzz/targets/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FUZZ_ENTRY(data, size);
}

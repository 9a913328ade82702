// Fuzz target for the PCX decoder (every failure names itself).
#include <cstddef>
#include <cstdint>

#include "codecs/builtin/pcx.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzDecoder<ZtImagePCX>(data, size, FailureText::Message, kFuzzMaxPixels);
}

// Fuzz target for the TGA decoder (every failure names itself).
#include <cstddef>
#include <cstdint>

#include "codecs/builtin/tga.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzDecoder<ZtImageTGA>(data, size, FailureText::Message, kFuzzMaxPixels);
}

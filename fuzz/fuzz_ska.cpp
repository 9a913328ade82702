// Fuzz target for the SKA decoder (failures leave no message).
#include <cstddef>
#include <cstdint>

#include "codecs/builtin/ska.h"
#include "fuzz/fuzz_support.h"

// Rows are copied without decoding, so larger pictures only spend the
// fuzzer's time on pixels that hold nothing new.
constexpr int64_t kMaxPixels = 262144;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzDecoder<ZtImageSKA>(data, size, FailureText::Nothing, kMaxPixels);
}

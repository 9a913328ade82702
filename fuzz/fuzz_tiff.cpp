// Fuzz target for the TIFF adapter. The last input byte picks the page (0..3);
// orientations 5 to 8 turn the picture, so its sides may swap.
#include <cstddef>
#include <cstdint>

#include "codecs/adapters/tiff.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t page = size ? data[size - 1] & 3 : 0;
    return FuzzDecoder<ZtImageTIF>(data, size, FailureText::Message, kFuzzMaxPixels, true,
                                   [page](ZtImage& img) { img.SetFrameIndex(page); });
}

// Fuzz target for the camera RAW engine through its adapter. The last input
// byte picks the demosaicing (its low two bits), so every method is reached,
// and its bit 2 asks for the embedded preview even where the raw data
// decodes; a portrait orientation turns the picture against the dimensions pass.
#include <cstddef>
#include <cstdint>

#include "codecs/adapters/raw.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t last = size > 0 ? data[size - 1] : 0;
    const uint32_t option = (last & 3) | (last & 4 ? ZtImageRAW::kOptionEmbeddedPreview : 0);
    return FuzzDecoder<ZtImageRAW>(data, size, FailureText::Message, kFuzzMaxPixels / 8, true,
                                   [option](ZtImageRAW& img) { img.SetDecoderOption(option, ImageFormat::CameraRaw); });
}

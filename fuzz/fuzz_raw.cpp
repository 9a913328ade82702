// Fuzz target for the camera RAW engine through its adapter. The last input
// byte picks the demosaicing (its low two bits), so every method is reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/raw.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t option = size > 0 ? data[size - 1] & 3 : 0;
    {
        // Dimensions first; skip sensors too large to develop quickly.
        ZtImageRAW probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels / 8) return 0;
    }
    ZtImageRAW img;
    img.SetDecoderOption(option, ImageFormat::CameraRaw);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();  // success leaves a picture
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == '\0') {
        abort();  // every RAW failure carries a message
    }
    return 0;
}

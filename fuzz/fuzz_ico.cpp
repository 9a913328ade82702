// Fuzz target for the icon and cursor decoder. The last input byte picks the
// entry (frame index 0 to 3).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/ico.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t frame = size > 0 ? data[size - 1] % 4 : 0;
    {
        // Dimensions first (PNG entries report their own); skip huge pictures.
        ZtImageICO probe;
        probe.SetFrameIndex(frame);
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
    }
    ZtImageICO img;
    img.SetFrameIndex(frame);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels()) abort();  // success must leave a picture
        if (img.FrameCount() <= frame) abort();
        TouchEveryPixel(img);
    }
    return 0;
}

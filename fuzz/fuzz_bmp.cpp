// Fuzz target for the BMP decoder. The last input byte picks the start mode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/bmp.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImageBMP probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        probe.Decode(&stream);
        if (int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
    }
    ZtImageBMP img;
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels()) abort();  // success must leave a picture
        TouchEveryPixel(img);
    }
    return 0;
}

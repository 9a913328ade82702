// Fuzz target for the TIFF adapter. The last input byte picks the page (0..3).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/tiff.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t page = size ? data[size - 1] & 3 : 0;
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImageTIF probe;
        probe.SetFrameIndex(page);
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        probe.Decode(&stream);
        if (int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
    }
    ZtImageTIF img;
    img.SetFrameIndex(page);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();  // success must leave a picture
        if (img.FrameCount() <= page) abort();  // the page decoded is one of the file's
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == '\0') {
        abort();  // every failure leaves a message
    }
    return 0;
}

// Fuzz target for the PNG adapter. The last input byte picks the entry point:
// the adapter itself, or the dispatcher with the PNG format id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/png.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImagePNG probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
    }
    const bool viaDispatcher = size > 0 && (data[size - 1] & 1);
    ZtMemFile stream(data, size);
    if (viaDispatcher) {
        ZtImage img;
        if (img.Decode(&stream, ImageFormat::Png)) {
            if (!img.HasPixels()) abort();  // success must leave a picture
            TouchEveryPixel(img);
        } else if (img.LastError()[0] == '\0') {
            abort();  // every PNG failure carries a message
        }
        return 0;
    }
    ZtImagePNG img;
    if (img.Decode(&stream)) {
        if (!img.HasPixels()) abort();
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == '\0') {
        abort();
    }
    return 0;
}

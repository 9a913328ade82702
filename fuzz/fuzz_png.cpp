// Fuzz target for the PNG adapter. The last input byte picks the entry point:
// the adapter itself, or the dispatcher with the PNG format id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/png.h"
#include "image/zt_file.h"

namespace {

void TouchEveryPixel(const ZtImage& img) {
    uint32_t sum = 0;
    for (int32_t y = 0; y < img.Height(); ++y)
        for (int32_t x = 0; x < img.Width(); ++x) {
            const ZtQuad q = img.ColorAt(x, y, true);
            sum += q.red + q.green + q.blue + q.alpha;
        }
    volatile uint32_t sink = sum;
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImagePNG probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && int64_t(probe.Width()) * probe.Height() > 4000000) return 0;
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

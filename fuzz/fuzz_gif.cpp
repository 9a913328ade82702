// Fuzz target for the GIF decoder. The last input byte picks the frame index
// (bits 0-1) and keep-all-frames (bit 2).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/gif.h"
#include "image/byte_reader.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

namespace {

// Pixel budget per input: every composed frame copies the whole screen a few
// times, so large screens would only make the fuzzer slow.
constexpr int64_t kMaxPixels = 250000;

// Frames are decoded at their own size before they are clipped to the screen,
// and a 0 x 0 screen takes the first frame's size, which the dimensions-only
// mode does not look at; so the largest descriptor the input could hold counts too.
int64_t LargestDescriptor(const uint8_t* data, size_t size) {
    int64_t largest = 0;
    for (size_t i = 13; i + 9 <= size; ++i)
        if (data[i] == 0x2C) {
            const int64_t area = int64_t(Get16LE(data + i + 5)) * Get16LE(data + i + 7);
            if (area > largest) largest = area;
        }
    return largest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        ZtImageGIF probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (!probe.Decode(&stream)) return 0;
        const int64_t area = int64_t(probe.Width()) * probe.Height();
        if (area > kMaxPixels || LargestDescriptor(data, size) > kMaxPixels) return 0;
    }
    const uint8_t options = size ? data[size - 1] : 0;
    ZtImageGIF img;
    img.SetFrameIndex(options & 3);
    img.SetKeepAllFrames((options & 4) != 0);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();
        TouchEveryPixel(img);
        for (size_t k = 0; k < img.StoredFrames(); ++k) {
            const ZtImage* f = img.Frame(k);
            if (!f || !f->HasPixels()) abort();
            TouchEveryPixel(*f);
        }
    }
    return 0;
}

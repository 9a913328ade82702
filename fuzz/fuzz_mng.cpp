// Fuzz target for the MNG adapter. The last input byte picks the frame index
// (bits 0-2).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/mng.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

namespace {

// Canvas budget per input: an animation redraws its canvas for every frame,
// so large canvases would only make the fuzzer slow.
constexpr int64_t kMaxPixels = 250000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        ZtImageMNG probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (!probe.Decode(&stream)) return 0;
        if (probe.HasPixels()) abort();  // dimensions only
        if (int64_t(probe.Width()) * probe.Height() > kMaxPixels) return 0;
    }
    ZtImageMNG img;
    img.SetFrameIndex(size > 0 ? data[size - 1] & 7 : 0);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        // Success leaves the chosen frame of a counted animation.
        if (!img.HasPixels() || !img.HasAlphaPlane() || img.BitsPerPixel() != 24) abort();
        if (img.FrameCount() < 1 || img.FrameIndex() >= img.FrameCount()) abort();
        TouchEveryPixel(img);
    } else if (img.HasPixels() || img.LastError()[0] == '\0') {
        abort();  // a failure leaves no picture and says why
    }
    return 0;
}

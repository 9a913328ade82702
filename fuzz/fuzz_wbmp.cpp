// Fuzz target for the WBMP decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/wbmp.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

namespace {

// Rows are copied without any decoding, so larger pictures only spend the
// fuzzer's time on touching pixels that hold nothing new.
constexpr int64_t kMaxPixels = 262144;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Dimensions first; skip pictures too large to decode quickly.
    ZtImageWBMP probe;
    probe.SetAbortCode(-1);
    ZtMemFile probeStream(data, size);
    const bool sized = probe.Decode(&probeStream);
    if (sized && int64_t(probe.Width()) * probe.Height() > kMaxPixels) return 0;

    ZtImageWBMP img;
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        // A picture the header pass refused, or of another size, is impossible.
        if (!sized || !img.HasPixels() || img.BitsPerPixel() != 1) abort();
        if (img.Width() != probe.Width() || img.Height() != probe.Height()) abort();
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == 0 || img.HasPixels()) {
        abort();  // every WBMP failure names itself and leaves no picture
    }
    return 0;
}

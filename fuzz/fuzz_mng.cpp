// Fuzz target for the MNG adapter. The last input byte picks the frame index
// (bits 0-2) and whether chunk CRCs are repaired first (bit 3).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/adapters/mng.h"
#include "fuzz/fuzz_support.h"
#include "image/byte_reader.h"
#include "image/zt_file.h"

namespace {

// Canvas budget per input: an animation redraws its canvas for every frame,
// so large canvases would only make the fuzzer slow.
constexpr int64_t kMaxPixels = 250000;

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// libmng checks every chunk's CRC, so most mutations would end there; with
// the CRCs recomputed the mutated contents reach the chunk readers.
std::vector<uint8_t> WithCrcsRepaired(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out(data, data + size);
    for (size_t p = 8; p + 12 <= out.size();) {
        const uint64_t length = Get32BE(&out[p]);
        if (length > out.size() - p - 12) break;
        const uint32_t crc = Crc32(&out[p + 4], size_t(length) + 4);
        for (int i = 0; i < 4; ++i) out[p + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
        p += 12 + size_t(length);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const uint8_t options = size > 0 ? input[size - 1] : 0;
    const std::vector<uint8_t> repaired =
        (options & 8) ? WithCrcsRepaired(input, size) : std::vector<uint8_t>(input, input + size);
    const uint8_t* data = repaired.data();
    {
        ZtImageMNG probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (!probe.Decode(&stream)) return 0;
        if (probe.HasPixels()) abort();  // dimensions only
        if (int64_t(probe.Width()) * probe.Height() > kMaxPixels) return 0;
    }
    ZtImageMNG img;
    img.SetFrameIndex(options & 7);
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

// Fuzz target for the JPEG adapter (and the EXIF pre-scan it runs). The last
// input byte picks decoder options: bit 0 grey output, bit 1 quantised colours,
// bit 2 no fancy upsampling, bits 3-4 the scale (1, 2, 4, 8), bit 5 one-pass
// quantisation, bit 6 ordered dithering, bit 7 a second thread for the lower
// part of a large picture (whose result must then be the one-thread decode's).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/adapters/jpeg.h"
#include "image/zt_file.h"

namespace {

// Progressive files keep every coefficient of the picture in memory, so large
// pictures would only make the fuzzer slow.
constexpr int64_t kMaxPixels = 1000000;
// With a second thread: room for pictures just past the least that is split.
constexpr int64_t kMaxSplitPixels = 1600000;

// The decode of data with these settings into img.
bool DecodeWith(const uint8_t* data, size_t size, uint32_t options, uint8_t scale, uint8_t threads,
                ZtImageJPG& img) {
    img.SetDecoderOption(options, ImageFormat::Jpeg);
    img.SetDecodeScale(scale);
    img.SetDitherMode(1);  // libjpeg's ordered dither
    img.SetDecodeThreads(threads);
    ZtMemFile stream(data, size);
    return img.Decode(&stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t last = size ? data[size - 1] : 0;
    uint32_t options = 0;
    if (last & 0x01) options |= ZtImageJPG::kOptionGrayscale;
    if (last & 0x02) options |= ZtImageJPG::kOptionQuantize;
    if (last & 0x04) options |= ZtImageJPG::kOptionNoFancyUpsampling;
    if (last & 0x20) options |= ZtImageJPG::kOptionNoTwoPass;
    if (last & 0x40) options |= ZtImageJPG::kOptionDither;
    const uint8_t scale = uint8_t(1u << ((last >> 3) & 3));
    const uint8_t threads = (last & 0x80) ? 2 : 1;
    {
        ZtImageJPG probe;
        probe.SetAbortCode(-1);
        probe.SetDecodeScale(scale);
        ZtMemFile stream(data, size);
        if (!probe.Decode(&stream)) return 0;
        if (probe.HasPixels()) abort();
        // The unscaled size is what libjpeg holds in memory.
        if (int64_t(probe.Width()) * probe.Height() * scale * scale > (threads > 1 ? kMaxSplitPixels : kMaxPixels))
            return 0;
    }
    ZtImageJPG img;
    const bool decoded = DecodeWith(data, size, options, scale, threads, img);
    if (threads > 1) {
        // The same picture, failure and message as one thread alone.
        ZtImageJPG alone;
        if (DecodeWith(data, size, options, scale, 1, alone) != decoded ||
            strcmp(alone.LastError(), img.LastError()) != 0)
            abort();
        if (decoded) {
            if (alone.Width() != img.Width() || alone.Height() != img.Height() ||
                alone.BitsPerPixel() != img.BitsPerPixel())
                abort();
            const size_t rowBytes = size_t(img.Width()) * size_t(img.BitsPerPixel()) / 8;
            for (int32_t y = 0; y < img.Height(); ++y)
                if (memcmp(alone.RowBits(uint32_t(y)), img.RowBits(uint32_t(y)), rowBytes) != 0) abort();
        }
    }
    uint32_t sum = 0;
    if (decoded) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();
        // Touch every pixel so the sanitizers see any bad read.
        for (int32_t y = 0; y < img.Height(); ++y)
            for (int32_t x = 0; x < img.Width(); ++x) {
                const ZtQuad q = img.ColorAt(x, y, false);
                sum += q.red + q.green + q.blue;
            }
    } else if (img.LastError()[0] == '\0' && img.AbortCode() == 0) {
        abort();  // every failure names its reason
    }
    // The EXIF record stays with the decoder: its texts are terminated and
    // the thumbnail lies in memory the reader still owns.
    const ExifRecord& exif = img.Exif();
    sum += uint32_t(strlen(exif.make) + strlen(exif.model) + strlen(exif.comment));
    for (uint32_t i = 0; exif.thumbnail && i < exif.thumbnailSize; ++i) sum += exif.thumbnail[i];
    volatile uint32_t sink = sum;
    (void)sink;
    return 0;
}

// Device-independent bitmaps in metafile records ("[MS-WMF]" 2.2.2.9
// DeviceIndependentBitmap, "[MS-EMF]" 2.2.x bitmap records). The pixels go
// through the library's BMP decoder: a 14-byte file header is put in front
// so that the decoder finds the bits where the record keeps them.
#include "codecs/metafile/dib.h"

#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

namespace metafile {

namespace {

// Width and height (signed) from an info header, false when too short or of no known size.
bool HeaderSize(const uint8_t* info, size_t size, int64_t* width, int64_t* height) {
    if (size < 12) return false;
    const uint32_t headerSize = Get32LE(info);
    if (headerSize == 12) {
        *width = Get16LE(info + 4);
        *height = int16_t(Get16LE(info + 6));
        return true;
    }
    if (headerSize < 40 || headerSize > size) return false;
    *width = int32_t(Get32LE(info + 4));
    *height = int32_t(Get32LE(info + 8));
    return true;
}

}  // namespace

std::shared_ptr<const Bitmap> DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
                                        bool* bottomUp) {
    int64_t width = 0, height = 0;
    if (!info || !HeaderSize(info, infoSize, &width, &height)) return nullptr;
    *bottomUp = height > 0;
    const int64_t absHeight = height < 0 ? -height : height;
    // Refuse before decoding: the canvas takes at most 32767 pixels a side.
    if (width <= 0 || absHeight == 0 || width > 32767 || absHeight > 32767 ||
        uint64_t(width) * uint64_t(absHeight) > kMaxBitmapPixels)
        return nullptr;

    std::vector<uint8_t> file(14 + infoSize + bitsSize);
    const uint64_t total = file.size();
    file[0] = 'B';
    file[1] = 'M';
    for (int i = 0; i < 4; ++i) file[2 + size_t(i)] = uint8_t(total >> (8 * i));
    const uint32_t offset = uint32_t(14 + infoSize);
    for (int i = 0; i < 4; ++i) file[10 + size_t(i)] = uint8_t(offset >> (8 * i));
    memcpy(&file[14], info, infoSize);
    if (bitsSize) memcpy(&file[14 + infoSize], bits, bitsSize);

    ZtImage image;
    ZtMemFile stream(file.data(), file.size());
    if (!image.Decode(&stream, ImageFormat::Bmp) || image.Width() <= 0 || image.Height() <= 0) return nullptr;

    auto out = std::make_shared<Bitmap>();
    out->width = image.Width();
    out->height = image.Height();
    out->argb.resize(size_t(out->width) * size_t(out->height));
    for (int32_t line = 0; line < out->height; ++line) {
        const int32_t y = out->height - 1 - line;  // storage rows are bottom-up
        uint32_t* row = &out->argb[size_t(line) * size_t(out->width)];
        for (int32_t x = 0; x < out->width; ++x) {
            const ZtQuad q = image.ColorAtUnchecked(x, y, false);
            row[x] = 0xFF000000u | (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
        }
    }
    return out;
}

std::shared_ptr<const Bitmap> DecodePackedDib(const uint8_t* dib, size_t size, bool* bottomUp) {
    if (!dib || size < 12) return nullptr;
    const uint32_t headerSize = Get32LE(dib);
    uint64_t infoSize = headerSize;
    if (headerSize == 12) {
        const uint16_t bitCount = Get16LE(dib + 10);
        if (bitCount <= 8) infoSize += 3 * (uint64_t(1) << bitCount);
    } else {
        if (headerSize < 40 || size < 40) return nullptr;
        const uint16_t bitCount = Get16LE(dib + 14);
        const uint32_t compression = Get32LE(dib + 16);
        const uint32_t used = Get32LE(dib + 32);
        uint64_t colours = used ? used : bitCount <= 8 ? (uint64_t(1) << bitCount) : 0;
        infoSize += 4 * colours;
        // BI_BITFIELDS with the short header: three masks follow it.
        if (compression == 3 && headerSize == 40) infoSize += 12;
    }
    if (infoSize > size) return nullptr;
    return DecodeDib(dib, size_t(infoSize), dib + infoSize, size - size_t(infoSize), bottomUp);
}

}  // namespace metafile

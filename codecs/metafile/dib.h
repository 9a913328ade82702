// Bitmaps inside metafile records: device-independent bitmaps decoded by the
// library's own BMP decoder and turned into the canvas's pixel layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codecs/metafile/device_context.h"

namespace metafile {

// Largest bitmap a record may carry, in pixels; larger ones are not drawn.
constexpr uint64_t kMaxBitmapPixels = uint64_t(1) << 24;

// A DIB given as its BITMAPINFO (header and colour table) and its pixel bits,
// as EMF records carry them. Null when it does not decode. bottomUp tells
// whether the rows were stored bottom line first (a positive height).
std::shared_ptr<const Bitmap> DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize,
                                        bool* bottomUp);

// A packed DIB (header, colour table and bits in one block), as WMF records carry it.
std::shared_ptr<const Bitmap> DecodePackedDib(const uint8_t* dib, size_t size, bool* bottomUp);

}  // namespace metafile

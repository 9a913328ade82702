// BMP decoder. Reference: Microsoft's "Bitmap Storage" documentation
// (BITMAPFILEHEADER, BITMAPINFOHEADER and its V4/V5 successors, OS/2
// BITMAPCOREHEADER), including the RLE8 and RLE4 compression schemes.
#include "codecs/builtin/bmp.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/builtin/row_cursor.h"
#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr uint16_t kBmpType = 0x4D42;  // "BM" read little-endian

bool IsKnownBitCount(uint32_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Header sizes of the later Windows versions (V2, V3, V4, V5).
bool IsPublishedLongHeader(uint32_t size) { return size == 52 || size == 56 || size == 108 || size == 124; }

// Moves the stream by a 64-bit distance, refusing distances the stream cannot express.
bool SkipBytes(ZtFile* stream, uint64_t n) {
    if (n == 0) return true;
    if (n > uint64_t(INT32_MAX)) return false;
    return stream->SeekTo(static_cast<int32_t>(n), 1);
}

}  // namespace

bool ZtImageBMP::ReadInfoHeader(ZtFile* stream, ZtInfoHeader* info, bool withFileHeader) {
    if (!stream || !info) return false;
    std::array<uint8_t, 40> raw{};
    if (stream->ReadBlocks(raw.data(), raw.size(), 1) != 1) return false;
    ZtInfoHeader& h = *info;
    h.headerSize = Get32LE(&raw[0]);
    h.width = static_cast<int32_t>(Get32LE(&raw[4]));
    h.height = static_cast<int32_t>(Get32LE(&raw[8]));
    h.planes = Get16LE(&raw[12]);
    h.bitsPerPixel = Get16LE(&raw[14]);
    h.compression = Get32LE(&raw[16]);
    h.imageBytes = Get32LE(&raw[20]);
    h.xPelsPerMeter = static_cast<int32_t>(Get32LE(&raw[24]));
    h.yPelsPerMeter = static_cast<int32_t>(Get32LE(&raw[28]));
    h.paletteEntries = Get32LE(&raw[32]);
    h.importantColors = Get32LE(&raw[36]);

    if (h.headerSize == 12) {
        // OS/2 core header: 16-bit width, height, planes and bit count.
        h.width = Get16LE(&raw[4]);
        h.height = Get16LE(&raw[6]);
        h.planes = Get16LE(&raw[8]);
        h.bitsPerPixel = Get16LE(&raw[10]);
        h.compression = h.imageBytes = 0;
        h.xPelsPerMeter = h.yPelsPerMeter = 0;
        h.paletteEntries = h.importantColors = 0;
        if (!stream->SeekTo(-28, 1)) return false;
    } else if (h.headerSize == 40) {
        // nothing more to read
    } else if (h.headerSize == 64) {
        if (!stream->SeekTo(24, 1)) return false;  // OS/2 version 2: the rest is not used
    } else if (h.headerSize < 40) {
        return false;
    } else if (withFileHeader && IsPublishedLongHeader(h.headerSize)) {
        // A "BM" file with a V2..V5 header stands on its own fields.
        if (h.planes != 1 || h.width == 0 || h.height == 0) return false;
        if (!IsKnownBitCount(h.bitsPerPixel)) return false;
        if (h.bitsPerPixel <= 8 && h.paletteEntries > (1u << h.bitsPerPixel)) return false;
        // Bit fields keep their masks at offset 40, read next; otherwise the
        // palette starts after the whole header.
        if (h.compression != 3 && !SkipBytes(stream, h.headerSize - 40)) return false;
    } else {
        // Unknown long headers, and bare DIBs (where this test keeps other
        // formats from passing for bitmaps): the image size must cover the
        // pixels, one plane, no colour count.
        // Negative heights and products past 64 bits are refused here too.
        const int64_t rowWords = (int64_t(h.bitsPerPixel) * h.width + 31) / 32;
        int64_t need = 0;
        if (__builtin_mul_overflow(rowWords, int64_t(h.height) * 4, &need) || need < 0 ||
            uint64_t(need) > h.imageBytes || h.planes != 1 || h.paletteEntries != 0)
            return false;
        if (h.compression == 0 && !SkipBytes(stream, h.headerSize - 40)) return false;
    }

    if (h.imageBytes == 0) {
        const int64_t rowBytes = (int64_t(h.bitsPerPixel) * h.width + 31) >> 3 & ~int64_t(3);
        int64_t size = 0;
        if (__builtin_mul_overflow(rowBytes, int64_t(h.height), &size)) size = -1;
        h.imageBytes = static_cast<uint32_t>(size);
    }
    if (h.paletteEntries == 0 && h.bitsPerPixel <= 8) h.paletteEntries = 1u << h.bitsPerPixel;
    return true;
}

namespace {

// 2-bit rows widen into the 4-bit image: each pixel keeps its index 0..3.
void ReadTwoBitRows(ZtImage& image, ZtFile* stream) {
    const uint32_t width = uint32_t(image.Width());
    const size_t fileStride = ((size_t(width) * 2 + 31) / 32) * 4;
    std::vector<uint8_t> row(fileStride);
    for (int32_t y = 0; y < image.Height(); ++y) {
        const size_t got = stream->ReadBlocks(row.data(), 1, fileStride);
        if (got < fileStride && y == 0) FailDecode("BMP pixel data missing");
        if (got < fileStride) break;  // short data: the rows not read stay black
        uint8_t* out = image.RowBits(uint32_t(y));
        for (uint32_t x = 0; x + 1 < width; x += 2) {
            const uint32_t pair = row[x / 4] >> (4 - 2 * (x % 4));  // pixels x and x+1, 2 bits each
            out[x / 2] = uint8_t(((pair >> 2) & 3) << 4 | (pair & 3));
        }
        if (width & 1) out[width / 2] = uint8_t(((row[(width - 1) / 4] >> (6 - 2 * ((width - 1) % 4))) & 3) << 4);
    }
}

// Run-length data is parsed from memory. Sensible data never needs more than
// about twice the picture's bytes plus a few codes per row, so reading stops
// there: a tiny picture in a huge file does not pull the whole file in.
size_t RunLengthDataCap(const ZtImage& image) {
    return size_t(image.ImageBytes()) * 2 + size_t(image.Height()) * 8 + 65536;
}

// RLE8: runs of one index and absolute runs, with end-of-line, end-of-bitmap
// and delta codes. Runs and deltas that point past a row or past the last
// row are consumed but stored only as far as the row reaches. Data that ends
// without an end-of-bitmap code ends the picture where it stops.
void DecodeRle8(ZtImage& image, ByteReader& in) {
    RowCursor cursor;
    cursor.Attach(&image);
    const int64_t stride = image.RowStride();
    int64_t x = 0, y = 0;
    for (;;) {
        const uint8_t count = in.U8();
        const uint8_t code = in.U8();  // the run's value, or the escape code after a 0
        if (in.Failed()) return;
        if (count != 0) {
            if (y < image.Height()) {
                uint8_t* row = cursor.SetRow(int32_t(y));
                const int64_t n = std::min<int64_t>(count, stride - x);
                if (n > 0) memset(row + x, code, size_t(n));
                x += std::max<int64_t>(n, 0);
            }
            continue;
        }
        if (code == 1) return;
        if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 2) {
            const uint8_t dx = in.U8();
            const uint8_t dy = in.U8();
            if (in.Failed()) return;
            x += dx;
            y += dy;
        } else {
            // An absolute run cut by the end of the data keeps what is there.
            const size_t got = std::min<size_t>(code, in.Remaining());
            const uint8_t* literal = in.Bytes(got);
            if (code & 1) in.U8();  // runs are padded to a 16-bit boundary
            if (y < image.Height() && x < stride) {
                uint8_t* row = cursor.SetRow(int32_t(y));
                memcpy(row + x, literal, std::min<size_t>(got, size_t(stride - x)));
            }
            x += code;
            if (got < code) return;
        }
    }
}

// RLE4: as RLE8, with two pixels per byte; h tells whether the next pixel
// fills the low nibble of the byte at x.
void DecodeRle4(ZtImage& image, ByteReader& in) {
    RowCursor cursor;
    cursor.Attach(&image);
    const int64_t stride = image.RowStride();
    int64_t x = 0, y = 0;
    bool h = false;
    auto store = [&](uint8_t nibble) {
        if (y < image.Height() && x < stride) {
            uint8_t* row = cursor.SetRow(int32_t(y));
            if (!h)
                row[x] = uint8_t(nibble << 4);
            else
                row[x] = uint8_t(row[x] | nibble);
        }
        if (h) ++x;
        h = !h;
    };
    for (;;) {
        const uint8_t count = in.U8();
        const uint8_t code = in.U8();  // the run's two pixels, or the escape code after a 0
        if (in.Failed()) return;
        if (count != 0) {
            for (int32_t i = 0; i < count; ++i) store(uint8_t((i & 1) ? (code & 0x0F) : (code >> 4)));
            continue;
        }
        if (code == 1) return;
        if (code == 0) {
            ++y;
            x = 0;
            h = false;
        } else if (code == 2) {
            const uint8_t dx = in.U8();
            const uint8_t dy = in.U8();
            if (in.Failed()) return;
            x += dx / 2;  // an odd dx moves whole bytes only
            y += dy;
        } else {
            // An absolute run cut by the end of the data keeps the pixels read.
            uint8_t v = in.U8();
            if (in.Failed()) return;
            for (int32_t i = 0; i < code; ++i) {
                store(uint8_t((i & 1) ? (v & 0x0F) : (v >> 4)));
                if ((i & 1) && i + 1 < code) {
                    v = in.U8();
                    if (in.Failed()) return;
                }
            }
            if ((code + 1) & 2) in.U8();  // the run took an odd number of bytes
        }
    }
}

DecodeOutcome DecodeBitmap(ZtImage& image, ZtFile* stream) {
    const int32_t start = stream->Position();
    std::array<uint8_t, 14> fileHeader{};
    if (stream->ReadBlocks(fileHeader.data(), fileHeader.size(), 1) != 1) FailDecode("Not a BMP");
    uint32_t dataOffset = Get32LE(&fileHeader[10]);
    const bool withFileHeader = Get16LE(&fileHeader[0]) == kBmpType;
    if (!withFileHeader) {
        stream->SeekTo(start, 0);  // a bare DIB: the info header comes first
        dataOffset = 0;
    }

    ZtInfoHeader info{};
    if (!ZtImageBMP::ReadInfoHeader(stream, &info, withFileHeader)) FailDecode("Error reading BMP info");
    // Bit counts that name no layout would decode to a blank picture.
    if (!IsKnownBitCount(info.bitsPerPixel)) FailDecode("Error reading BMP info");
    const bool coreHeader = info.headerSize == 12;
    const bool topDown = info.height < 0;
    const int64_t height = topDown ? -int64_t(info.height) : int64_t(info.height);
    const uint32_t bits = info.bitsPerPixel;

    if (image.SizeOnlyRequested())
        return image.ReportSize(uint32_t(info.width), uint32_t(std::min<int64_t>(height, INT32_MAX)),
                                ImageFormat::Bmp, "output dimensions returned");
    if (height > INT32_MAX) FailDecode("ZTIMAGE_MAX_MEMORY exceeded");
    if (!image.Create(static_cast<uint32_t>(info.width), static_cast<uint32_t>(height), bits, ImageFormat::Bmp))
        FailDecode("");  // Create left its own message
    image.SetHorizontalDpi(DpiFromPelsPerMeter(info.xPelsPerMeter));
    image.SetVerticalDpi(DpiFromPelsPerMeter(info.yPelsPerMeter));
    if (image.AbortCode() != 0) FailDecode("Cancelled");

    if (uint8_t* pal = image.PalettePointer()) {
        const uint32_t entrySize = coreHeader ? 3 : 4;
        const uint32_t stored = std::min(info.paletteEntries, image.PaletteEntries());
        std::vector<uint8_t> raw(size_t(stored) * entrySize);
        const size_t got = stream->ReadBlocks(raw.data(), 1, raw.size());
        for (uint32_t i = 0; i < stored && size_t(i + 1) * entrySize <= got; ++i) {
            pal[4 * i] = raw[entrySize * i];
            pal[4 * i + 1] = raw[entrySize * i + 1];
            pal[4 * i + 2] = raw[entrySize * i + 2];
        }
        for (uint32_t i = 0; i < image.PaletteEntries(); ++i) pal[4 * i + 3] = 0;
        // Entries the image cannot hold are skipped, so data without an
        // offset still starts in the right place.
        SkipBytes(stream, uint64_t(info.paletteEntries - stored) * entrySize);
    }
    if (image.AbortCode() != 0) FailDecode("Cancelled");

    uint8_t* const pixels = image.RowBits(0);  // rows are contiguous from row 0 up
    auto seekToData = [&]() {
        if (dataOffset != 0) {
            const int64_t at = int64_t(start) + dataOffset;
            if (at > INT32_MAX || !stream->SeekTo(static_cast<int32_t>(at), 0))
                FailDecode("BMP pixel data missing");
        }
    };
    // Uncompressed data must hold at least one whole row; a file that
    // ends before that has no picture in it at all.
    auto readPixels = [&](uint8_t* to, size_t bytes, size_t rowBytes) {
        const size_t got = stream->ReadBlocks(to, 1, bytes);
        if (got < std::min(bytes, rowBytes)) FailDecode("BMP pixel data missing");
    };
    const uint32_t width = static_cast<uint32_t>(info.width);
    // Bit fields: red, green and blue masks follow the 40-byte header.
    auto readMasks = [&](uint32_t masks[3]) {
        if (info.compression != 3) return;
        std::array<uint8_t, 12> m{};
        stream->ReadBlocks(m.data(), m.size(), 1);
        for (int i = 0; i < 3; ++i) masks[i] = Get32LE(&m[4 * size_t(i)]);
    };

    if (bits <= 8) {
        seekToData();
        if (info.compression == 0) {
            if (bits == 2)
                ReadTwoBitRows(image, stream);
            else
                readPixels(pixels, image.ImageBytes(), image.RowStride());
        } else if (info.compression == 1 || info.compression == 2) {
            const std::vector<uint8_t> data = ReadToEnd(*stream, RunLengthDataCap(image));
            ByteReader in(data.data(), data.size());
            if (info.compression == 1)
                DecodeRle8(image, in);
            else
                DecodeRle4(image, in);
        } else {
            FailDecode("compression type not supported");
        }
    } else if (bits == 16) {
        uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
        readMasks(masks);
        seekToData();
        // Each 16-bit row fits inside a 24-bit row, so the rows are read
        // into the pixels and expanded in place.
        const size_t rowBytes = size_t((width + 1) / 2) * 4;
        readPixels(pixels, rowBytes * size_t(height), rowBytes);
        image.UnpackBitfields(pixels, masks[0], masks[1], masks[2], 16);
    } else if (bits == 24) {
        seekToData();
        if (info.compression != 0) FailDecode("unknown compression");
        readPixels(pixels, image.ImageBytes(), image.RowStride());
    } else {  // 32 bits
        uint32_t masks[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};
        readMasks(masks);
        seekToData();
        if (info.compression != 0 && info.compression != 3) FailDecode("unknown compression");
        const size_t rowBytes = size_t(width) * 4;
        std::vector<uint8_t> buffer(rowBytes * size_t(height));  // bad_alloc: "can't allocate memory"
        readPixels(buffer.data(), buffer.size(), rowBytes);
        if (info.compression == 0 && image.AddAlphaPlane()) {
            bool anyAlpha = false;
            for (uint32_t y = 0; y < uint32_t(height); ++y) {
                uint8_t* alphaRow = image.AlphaPointer(0, int32_t(y));
                const uint8_t* src = &buffer[size_t(y) * rowBytes + 3];
                for (uint32_t x = 0; x < width; ++x) {
                    alphaRow[x] = src[4 * size_t(x)];
                    anyAlpha |= alphaRow[x] != 0;
                }
            }
            // Fourth bytes that are all 0 are padding, not transparency.
            if (!anyAlpha) image.InvertAlphaPlane();
        }
        image.UnpackBitfields(buffer.data(), masks[0], masks[1], masks[2], 32);
    }

    if (topDown) image.FlipVertical(false, true);
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageBMP::Decode(ZtFile* stream) {
    if (!stream) return false;
    return GuardDecode(*this, "can't allocate memory", [&] { return DecodeBitmap(*this, stream); });
}

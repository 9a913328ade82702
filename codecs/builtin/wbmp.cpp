// WBMP decoder. Reference: WAP Forum, "Wireless Application Environment
// Media Types" (WAP-237-WAEMT), section 6, the Wireless Bitmap: a header of
// multi-byte integers (type, fixed header, width, height) followed by rows of
// 1-bit pixels, top row first, each padded to a whole byte, 1 = white.
#include "codecs/builtin/wbmp.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/builtin/row_cursor.h"
#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

// A multi-byte integer: 7 bits per byte, most significant group first, the
// last byte has bit 7 clear. The value keeps the low 32 bits; overflowed says
// whether significant bits were shifted out of it.
struct MultiByteInteger {
    uint32_t value = 0;
    bool overflowed = false;
};

// Reads one multi-byte integer. A stream that ends inside the value leaves
// what was gathered; the caller finds the end when no pixel data follows.
MultiByteInteger ReadMultiByteInteger(ZtFile& stream) {
    MultiByteInteger n;
    while (!stream.AtEnd()) {
        const int32_t byte = stream.GetByte();
        if (byte < 0) break;
        n.overflowed |= (n.value >> 25) != 0;
        n.value = (n.value << 7) | uint32_t(byte & 0x7F);
        if ((byte & 0x80) == 0) break;
    }
    return n;
}

struct WbmpHeader {
    MultiByteInteger type;
    MultiByteInteger width;
    MultiByteInteger height;
};

DecodeOutcome DecodeWbmp(ZtImage& image, ZtFile& stream) {
    WbmpHeader h;
    h.type = ReadMultiByteInteger(stream);
    // The fixed header only announces extension headers, which type 0 has
    // none of; its value does not matter.
    ReadMultiByteInteger(stream);
    h.width = ReadMultiByteInteger(stream);
    h.height = ReadMultiByteInteger(stream);

    // A wrapped width or height would name a picture the file never held.
    const bool sizeUsable = !h.width.overflowed && !h.height.overflowed && h.width.value >= 1 &&
                            h.height.value >= 1;
    const uint64_t rowBytes = (uint64_t(h.width.value) + 7) / 8;
    // The image pads its rows to 4 bytes, so narrow pictures take up to four
    // times the file's size: the ceiling applies to the image's rows.
    const uint64_t stride = (uint64_t(h.width.value) + 31) / 32 * 4;
    uint64_t imageBytes = 0;
    const bool withinCeiling = sizeUsable && CheckedMul(stride, h.height.value, &imageBytes) &&
                               imageBytes <= ZTIMAGE_MAX_MEMORY;
    const uint64_t pixelBytes = withinCeiling ? rowBytes * h.height.value : 0;
    // The pixel data, never more than the picture needs. One byte is enough
    // to tell that the file goes on past the header when no pixels are wanted.
    const bool wantPixels = withinCeiling && h.type.value == 0 && !h.type.overflowed &&
                            !image.SizeOnlyRequested();
    const std::vector<uint8_t> data = ReadToEnd(stream, wantPixels ? size_t(pixelBytes) : 1);

    if (data.empty()) FailDecode("Not a WBMP");
    if (h.type.value != 0 || h.type.overflowed) FailDecode("Unsupported WBMP type");
    if (!sizeUsable) FailDecode("Corrupted WBMP");
    if (image.SizeOnlyRequested()) return image.ReportSize(h.width.value, h.height.value, ImageFormat::Wbmp);

    if (!withinCeiling) FailDecode("WBMP Create failed");
    // A header that claims a large picture over a few bytes is no WBMP
    // worth a picture-sized allocation: the data must hold one whole row.
    if (data.size() < rowBytes) FailDecode("Corrupted WBMP");
    if (!image.Create(h.width.value, h.height.value, 1, ImageFormat::Wbmp)) FailDecode("WBMP Create failed");
    image.SetGreyRamp();  // entry 0 black, entry 1 white

    // The file's rows have the image's 1-bit layout, so they are copied as
    // they are. A file cut short leaves its last rows black; a cut row keeps
    // the bytes that arrived.
    ByteReader reader(data.data(), data.size());
    RowCursor cursor;
    cursor.Attach(&image);
    cursor.ToTopRow();
    for (uint32_t y = 0; y < h.height.value && reader.Remaining() > 0; ++y) {
        const size_t n = size_t(std::min<uint64_t>(rowBytes, reader.Remaining()));
        cursor.WriteRow(reader.Bytes(n), int32_t(n));
        cursor.PreviousRow();
    }
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageWBMP::Decode(ZtFile* stream) {
    if (!stream) return false;
    return GuardDecode(*this, "WBMP Create failed", [&] { return DecodeWbmp(*this, *stream); });
}

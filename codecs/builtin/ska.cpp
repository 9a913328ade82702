// SKA decoder. The format has no public specification document; its layout
// (little-endian) is: width (2 bytes), height (2), kind (1, always 3), a
// marker (4 bytes 00 00 00 01), 256 palette entries of red, green and blue,
// then width x height palette indices, top row first, rows unpadded.
#include "codecs/builtin/ska.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "codecs/builtin/row_cursor.h"
#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr size_t kHeaderSize = 9;
constexpr size_t kPaletteSize = 256 * 3;
constexpr uint32_t kMaxDimension = 0x7FFF;
constexpr uint8_t kKind = 3;
constexpr uint32_t kMarker = 0x01000000;  // bytes 00 00 00 01

DecodeOutcome DecodeSka(ZtImage& image, ZtFile& stream) {
    std::array<uint8_t, kHeaderSize> head{};
    if (stream.ReadBlocks(head.data(), head.size(), 1) != 1) return DecodeOutcome::Failed;
    const uint32_t width = Get16LE(&head[0]);
    const uint32_t height = Get16LE(&head[2]);
    const uint8_t kind = head[4];
    const uint32_t marker = Get32LE(&head[5]);
    if (marker != kMarker || kind != kKind) return DecodeOutcome::Failed;
    // An empty picture is refused here rather than reported as a size.
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension)
        return DecodeOutcome::Failed;
    if (image.SizeOnlyRequested()) return image.ReportSize(width, height, ImageFormat::Ska);

    if (!ProductAtMost(width, height, 1, ZTIMAGE_MAX_MEMORY)) return DecodeOutcome::Failed;
    const std::vector<uint8_t> data = ReadToEnd(stream, kPaletteSize + size_t(width) * height);
    // The palette and one whole row must be there before a picture-sized
    // block is made for them.
    if (data.size() < kPaletteSize + width) return DecodeOutcome::Failed;
    if (!image.Create(width, height, 8, ImageFormat::Ska)) return DecodeOutcome::Failed;

    ByteReader reader(data.data(), data.size());
    image.LoadPaletteFromTriples(reader.Bytes(kPaletteSize), 256);
    // File rows come top first: the first goes to the top storage row. A
    // file cut short leaves the rows it lacks at index 0; a cut row keeps
    // the bytes that arrived.
    RowCursor cursor;
    cursor.Attach(&image);
    cursor.ToTopRow();
    for (uint32_t y = 0; y < height && reader.Remaining() > 0; ++y) {
        const size_t n = std::min<size_t>(width, reader.Remaining());
        cursor.WriteRow(reader.Bytes(n), int32_t(n));
        cursor.PreviousRow();
    }
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageSKA::Decode(ZtFile* stream) {
    if (!stream) return false;
    // No message on any failure, an allocation failure included.
    return GuardDecode(*this, nullptr, [&] { return DecodeSka(*this, *stream); });
}

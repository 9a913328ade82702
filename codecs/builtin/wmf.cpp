// Windows metafiles (Microsoft "[MS-WMF]", with the placeable header that
// Aldus defined and Microsoft documents as META_PLACEABLE) and enhanced
// metafiles (Microsoft "[MS-EMF]"). This file checks the headers and works
// out the size; codecs/metafile/ plays the records onto a cairo surface.
#include "codecs/builtin/wmf.h"

#include <algorithm>
#include <array>
#include <cstring>

#if ZENT_WITH_METAFILE
#include "codecs/metafile/cairo_canvas.h"
#include "codecs/metafile/records.h"
#endif
#include "image/byte_reader.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr size_t kPlaceableSize = 22;
constexpr size_t kWmfHeaderSize = 18;
constexpr size_t kEmfHeaderSize = 108;
constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"
// Placeable files are drawn at the usual screen resolution.
constexpr int32_t kScreenDpi = 96;
#if ZENT_WITH_METAFILE
// The usual window background colour.
constexpr uint32_t kBackground = 0xFFFFFF;
#endif

}  // namespace

bool ZtImageWMF::IsPlaceableHeader(const uint8_t* header) {
    if (!header || Get32LE(header) != kPlaceableKey) return false;
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum ^= Get16LE(header + i);
    const uint16_t unitsPerInch = Get16LE(header + 14);
    return sum == Get16LE(header + 20) && unitsPerInch >= 1 && unitsPerInch <= 2540;
}

std::unique_ptr<ZtMetafile> ZtImageWMF::ReadWindowsMetafile(ZtFile* stream) {
    const int64_t length = stream->Length();
    const int64_t start = stream->Position();
    std::array<uint8_t, kPlaceableSize> placeable{};
    if (stream->ReadBlocks(placeable.data(), placeable.size(), 1) != 1 || !IsPlaceableHeader(placeable.data()))
        return nullptr;
    std::array<uint8_t, kWmfHeaderSize> header{};
    if (stream->ReadBlocks(header.data(), header.size(), 1) != 1) return nullptr;
    const uint16_t type = Get16LE(&header[0]);  // 1 in memory, 2 on disk
    if (type != 1 && type != 2) return nullptr;
    const uint64_t bytes = uint64_t(Get32LE(&header[6])) * 2;
    if (length < 0 || bytes > uint64_t(length)) return nullptr;
    // The size counts from the metafile header; anything shorter holds no header.
    if (bytes < kWmfHeaderSize) return nullptr;

    auto file = std::make_unique<ZtMetafile>();
    // The metafile follows the placeable header wherever the stream began.
    if (!stream->SeekTo(static_cast<int32_t>(start + int64_t(kPlaceableSize)), 0)) return nullptr;
    file->bytes.resize(size_t(bytes));
    const size_t got = stream->ReadBlocks(file->bytes.data(), 1, file->bytes.size());
    // Some writers count the placeable header in the size, so the stream
    // ends up to 22 bytes early: what is there is played. Anything shorter
    // is a cut file.
    if (got + kPlaceableSize < file->bytes.size()) return nullptr;
    file->bytes.resize(got);
    for (int i = 0; i < 4; ++i) file->box[i] = int16_t(Get16LE(&placeable[6 + 2 * size_t(i)]));
    file->unitsPerInch = Get16LE(&placeable[14]);
    return file;
}

std::unique_ptr<ZtMetafile> ZtImageWMF::ReadEnhancedMetafile(ZtFile* stream) {
    const int64_t length = stream->Length();
    const int64_t start = stream->Position();
    std::array<uint8_t, kEmfHeaderSize> header{};
    if (stream->ReadBlocks(header.data(), header.size(), 1) != 1) return nullptr;
    if (Get32LE(&header[0]) != 1 || Get32LE(&header[40]) != kEmfSignature) return nullptr;
    // The header record must fit the file, and so must the byte count the
    // header claims: a file shorter than that was cut off.
    const uint64_t available = uint64_t(length - start);
    const uint32_t recordSize = Get32LE(&header[4]);
    if (length < start || recordSize < 88 || recordSize > available || Get32LE(&header[48]) > available)
        return nullptr;
    if (available > ZTIMAGE_MAX_MEMORY) return nullptr;

    auto file = std::make_unique<ZtMetafile>();
    file->enhanced = true;
    if (!stream->SeekTo(static_cast<int32_t>(start), 0)) return nullptr;
    file->bytes = ReadToEnd(*stream, size_t(available));
    if (file->bytes.size() != available) return nullptr;
    for (int i = 0; i < 4; ++i) file->bounds[i] = int32_t(Get32LE(&header[8 + 4 * size_t(i)]));
    return file;
}

void ZtImageWMF::ClampSize(int32_t& width, int32_t& height) {
    if (width > kMaxSide) {
        height = int32_t(int64_t(height) * kMaxSide / width);
        width = kMaxSide;
    }
    if (height > kMaxSide) {
        width = int32_t(int64_t(width) * kMaxSide / height);
        height = kMaxSide;
    }
    // A very long, thin picture keeps one line rather than vanish.
    width = std::max(width, 1);
    height = std::max(height, 1);
}

namespace {

DecodeOutcome DecodeMetafile(ZtImageWMF& image, ZtFile* stream, int32_t wantWidth, int32_t wantHeight) {
    const int32_t start = stream->Position();
    int64_t width = 0, height = 0;
    std::unique_ptr<ZtMetafile> file = ZtImageWMF::ReadWindowsMetafile(stream);
    if (file) {
        const int64_t u = file->unitsPerInch;
        width = ((int64_t(file->box[2]) - file->box[0]) * kScreenDpi + u / 2) / u;
        height = ((int64_t(file->box[3]) - file->box[1]) * kScreenDpi + u / 2) / u;
    } else {
        if (!stream->SeekTo(start, 0)) FailDecode("corrupted WMF");
        file = ZtImageWMF::ReadEnhancedMetafile(stream);
        if (!file) FailDecode("corrupted WMF");
        width = int64_t(file->bounds[2]) - file->bounds[0];
        height = int64_t(file->bounds[3]) - file->bounds[1];
    }
    // An inverted box has no area, like an empty one (EMF bounds of nothing
    // drawn read 0, 0, -1, -1).
    width = std::clamp<int64_t>(width, 0, INT32_MAX);
    height = std::clamp<int64_t>(height, 0, INT32_MAX);

    if (image.SizeOnlyRequested())
        return image.ReportSize(uint32_t(width), uint32_t(height), ImageFormat::Metafile, "output dimensions returned");
    if (width == 0 || height == 0) FailDecode("empty WMF");

    int32_t w = wantWidth > 0 ? wantWidth : int32_t(width);
    int32_t h = wantHeight > 0 ? wantHeight : int32_t(height);
    ZtImageWMF::ClampSize(w, h);

#if !ZENT_WITH_METAFILE
    // Built without the player: the file is sound and sized, but cannot be drawn.
    FailDecode("WMF/EMF drawing is not available in this build");
#else
    metafile::CairoCanvas canvas(w, h, kBackground);
    // No surface: no message of its own, unless cairo itself is missing.
    if (!canvas.Ok()) FailDecode(metafile::CairoCanvas::Available() ? "" : "cannot load libcairo.so.2");
    if (file->enhanced)
        metafile::PlayEnhancedMetafile(file->bytes.data(), file->bytes.size(), canvas);
    else
        metafile::PlayWindowsMetafile(file->bytes.data(), file->bytes.size(), file->box, canvas);
    if (image.AbortCode() != 0) FailDecode("Cancelled");

    if (!image.Create(uint32_t(w), uint32_t(h), 24, ImageFormat::Metafile)) FailDecode("");
    for (int32_t line = 0; line < h; ++line) {
        const uint8_t* in = canvas.Row(line);
        uint8_t* out = image.RowBits(uint32_t(h - 1 - line));  // storage rows are bottom-up
        if (!in || !out) FailDecode("");
        for (int32_t x = 0; x < w; ++x) {
            // Native-endian ARGB words; the surface is opaque throughout.
            uint32_t argb;
            memcpy(&argb, in + 4 * size_t(x), sizeof argb);
            out[3 * x] = uint8_t(argb);
            out[3 * x + 1] = uint8_t(argb >> 8);
            out[3 * x + 2] = uint8_t(argb >> 16);
        }
    }
    return DecodeOutcome::Done;
#endif
}

}  // namespace

bool ZtImageWMF::Decode(ZtFile* stream, int32_t width, int32_t height) {
    if (!stream) return false;
    return GuardDecode(*this, nullptr, [&] { return DecodeMetafile(*this, stream, width, height); });
}

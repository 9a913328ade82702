// Windows icon (.ico) and cursor (.cur) files, as Microsoft documents them
// ("Icons", Win32 resource file formats): a 6-byte directory header, 16-byte
// entries, and per entry either a DIB (info header, palette, XOR rows, 1-bit
// AND mask, all bottom-up) or a complete PNG file.
//
// The AND mask becomes an alpha plane, a transparent colour or a transparent
// palette index, whichever describes the masked pixels most simply. The
// decoder records no messages of its own; an embedded PNG that fails passes
// libpng's message on.
#include "codecs/builtin/ico.h"

#include <array>
#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr size_t kDirectoryHeaderSize = 6;
constexpr size_t kEntrySize = 16;
constexpr size_t kInfoHeaderSize = 40;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Info headers longer than the 40-byte one (V2, V3, V4 and V5): their extra
// fields come before the palette, which therefore starts later.
bool IsLongInfoHeader(uint32_t size) {
    return size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}

// Moves forward by n bytes; past the end the stream is left at its end, so
// later reads come back short and leave zeros.
void SkipForward(ZtFile* stream, uint64_t n) {
    if (n == 0) return;
    const int64_t length = stream->Length();
    const uint64_t target = uint64_t(int64_t(stream->Position())) + n;
    if (length < 0 || target > uint64_t(length))
        stream->SeekTo(0, 2);
    else
        stream->SeekTo(static_cast<int32_t>(target), 0);
}

// A width or height byte: 0 stands for 256.
uint32_t EntryDimension(uint8_t b) { return b ? b : 256; }

// Turns the AND mask into the simplest transparency that describes it.
void ApplyMask(ZtImage& image, const uint8_t* mask, uint32_t maskStride) {
    const int32_t width = image.Width();
    const int32_t height = image.Height();
    const size_t maskBytes = size_t(maskStride) * uint32_t(height);
    bool allOnes = true;
    for (size_t i = 0; i < maskBytes && allOnes; ++i) allOnes = mask[i] == 0xFF;
    if (allOnes) {
        // Every pixel masked: the icon's colours are the screen-inverting kind.
        image.SetTransparentIndex(0);
        image.InvertColors();
        return;
    }
    auto masked = [&](int32_t x, int32_t y) {
        return (mask[size_t(y) * maskStride + size_t(x) / 8] >> (7 - x % 8)) & 1;
    };

    const bool hadAlpha = image.HasAlphaPlane();
    if (!hadAlpha && !image.AddAlphaPlane()) return;
    bool anyMasked = false;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            if (masked(x, y)) {
                image.SetAlphaAt(x, y, 0);
                anyMasked = true;
            }
    if (!anyMasked && !hadAlpha) image.DropAlphaPlane();

    // One colour under the whole mask: a transparent colour says it all.
    if (anyMasked) {
        bool first = true;
        ZtQuad reference{};
        uint8_t referenceIndex = 0;
        int distinct = 0;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                if (!masked(x, y)) continue;
                const ZtQuad c = image.ColorAt(x, y, false);
                if (first) {
                    reference = c;
                    referenceIndex = image.IndexAt(x, y);
                    distinct = 1;
                    first = false;
                } else if (c != reference) {
                    ++distinct;
                }
            }
        if (distinct == 1) {
            image.SetTransparentColor(reference);
            image.SetTransparentIndex(referenceIndex);
            image.DropAlphaPlane();
        }
    }
    if (image.BitsPerPixel() > 8) return;

    // Palette images: the masked pixels take the highest index no pixel uses.
    bool used[256] = {};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) used[image.IndexAtUnchecked(x, y)] = true;
    int32_t freeIndex = -1;
    for (int32_t i = int32_t(image.PaletteEntries()) - 1; i >= 0 && freeIndex < 0; --i)
        if (!used[i]) freeIndex = i;
    if (freeIndex < 0) return;
    int set = 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            if (masked(x, y)) {
                image.SetIndexAt(x, y, uint32_t(freeIndex));
                ++set;
            }
    if (set > 0) image.SetTransparentIndex(freeIndex);
    image.DropAlphaPlane();
}

// A PNG entry goes through the loader's PNG decoder; in dimensions-only mode
// that decoder reports the size itself.
DecodeOutcome DecodePngEntry(ZtImage& image, ZtFile* stream, int32_t entryCount, int32_t& frameCount) {
    ZtImage png;
    const bool sizeOnly = image.SizeOnlyRequested();
    if (sizeOnly) png.SetAbortCode(-1);
    if (!png.Decode(stream, ImageFormat::Png)) {
        // An entry that does not decode is a failure, not an empty success.
        image.SetLastError(png.LastError());
        return DecodeOutcome::Failed;
    }
    image.TakeOver(png, true);
    frameCount = entryCount;
    image.SetFormatId(ImageFormat::Icon);
    return sizeOnly ? DecodeOutcome::SizeOnly : DecodeOutcome::Done;
}

DecodeOutcome DecodeBitmapEntry(ZtImage& image, ZtFile* stream, uint32_t width, uint32_t height) {
    ZtInfoHeader info{};
    if (stream->ReadBlocks(&info, 1, kInfoHeaderSize) != kInfoHeaderSize) return DecodeOutcome::Failed;
    image.InfoHeaderToHost(info);
    // Only uncompressed DIBs are icon bitmaps. Other header sizes are no DIB
    // at all, and compressed data read as plain rows would only be noise.
    if (info.headerSize != kInfoHeaderSize && !IsLongInfoHeader(info.headerSize)) return DecodeOutcome::Failed;
    if (info.compression != 0) return DecodeOutcome::Failed;  // BI_RGB
    if (IsLongInfoHeader(info.headerSize)) SkipForward(stream, info.headerSize - kInfoHeaderSize);

    // The entry's own width and height bytes give the size; the info header's
    // height counts the XOR and AND rows together.
    const uint32_t bits = info.bitsPerPixel;
    if (!image.Create(width, height, bits, ImageFormat::Icon)) return DecodeOutcome::Failed;

    // Palette: colours-used entries, or the image's own count when 0. More
    // than 256 cannot be held; the extra entries are skipped.
    const uint64_t colours = info.paletteEntries ? info.paletteEntries : image.PaletteEntries();
    if (colours > 0) {
        std::array<uint8_t, 256 * 4> quads{};
        const uint64_t kept = colours > 256 ? 256 : colours;
        // A short palette leaves its missing entries black.
        stream->ReadBlocks(quads.data(), 1, size_t(kept) * 4);
        SkipForward(stream, (colours - kept) * 4);
        image.LoadPaletteFromQuads(quads.data(), image.PaletteEntries());
    }

    if (bits > 24) {
        // 32-bit pixels: blue, green, red, alpha, rows of width * 4 bytes.
        // Short pixel data leaves zeros: black and fully transparent.
        std::vector<uint8_t> raw(size_t(width) * height * 4, 0);
        stream->ReadBlocks(raw.data(), 1, raw.size());
        if (!image.HasAlphaPlane() && !image.AddAlphaPlane()) return DecodeOutcome::Failed;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* out = image.RowBits(y);
            uint8_t* alpha = image.AlphaPointer(0, int32_t(y));
            const uint8_t* in = &raw[size_t(y) * width * 4];
            for (uint32_t x = 0; x < width; ++x) {
                out[3 * x] = in[4 * x];
                out[3 * x + 1] = in[4 * x + 1];
                out[3 * x + 2] = in[4 * x + 2];
                alpha[x] = in[4 * x + 3];
            }
        }
    } else {
        // Short pixel data leaves the zeros Create put there.
        stream->ReadBlocks(image.RowBits(0), 1, image.ImageBytes());
    }

    // The AND mask; without a complete one the pixels stand as they are.
    const uint32_t maskStride = ((width + 31) / 32) * 4;
    std::vector<uint8_t> mask(size_t(maskStride) * height);
    if (stream->ReadBlocks(mask.data(), 1, mask.size()) != mask.size()) return DecodeOutcome::Done;
    ApplyMask(image, mask.data(), maskStride);
    return DecodeOutcome::Done;
}

DecodeOutcome DecodeIcon(ZtImage& image, ZtFile* stream, int32_t& frameCount) {
    const int64_t start = stream->Position();
    const int32_t wanted = image.FrameIndex();

    std::array<uint8_t, kDirectoryHeaderSize> head{};
    if (stream->ReadBlocks(head.data(), 1, head.size()) != head.size()) return DecodeOutcome::Failed;
    const uint16_t reserved = image.LittleEndian16(Get16LE(&head[0]));
    const uint16_t type = image.LittleEndian16(Get16LE(&head[2]));
    const uint16_t count = image.LittleEndian16(Get16LE(&head[4]));
    if (reserved != 0 || (type != 1 && type != 2)) return DecodeOutcome::Failed;  // 1 icon, 2 cursor
    frameCount = count;

    // The directory: count entries of 16 bytes (at most 1 MiB). Only the
    // wanted entry has to be there; a cut directory refuses the others.
    std::vector<uint8_t> directory(size_t(count) * kEntrySize);
    const size_t got = directory.empty() ? 0 : stream->ReadBlocks(directory.data(), 1, directory.size());
    if (wanted < 0 || wanted >= int32_t(count)) return DecodeOutcome::Failed;
    if ((size_t(wanted) + 1) * kEntrySize > got) return DecodeOutcome::Failed;
    const uint8_t* entry = &directory[size_t(wanted) * kEntrySize];
    const uint8_t widthByte = entry[0];
    const uint8_t heightByte = entry[1];
    const uint32_t offset = image.LittleEndian32(Get32LE(entry + 12));

    // The entry's data must start inside the file.
    const int64_t length = stream->Length();
    const int64_t dataAt = start + int64_t(offset);
    if (dataAt > INT32_MAX || length < 0 || dataAt >= length) return DecodeOutcome::Failed;
    if (!stream->SeekTo(static_cast<int32_t>(dataAt), 0)) return DecodeOutcome::Failed;

    // PNG data is recognised by its signature, whatever the entry's width and
    // height bytes say: small PNG-compressed entries exist.
    std::array<uint8_t, 8> signature{};
    const bool isPng = stream->ReadBlocks(signature.data(), 1, signature.size()) == signature.size() &&
                       memcmp(signature.data(), kPngSignature, sizeof kPngSignature) == 0;
    if (!stream->SeekTo(static_cast<int32_t>(dataAt), 0)) return DecodeOutcome::Failed;

    if (isPng) return DecodePngEntry(image, stream, count, frameCount);
    if (image.SizeOnlyRequested())
        return image.ReportSize(EntryDimension(widthByte), EntryDimension(heightByte), ImageFormat::Icon);
    return DecodeBitmapEntry(image, stream, EntryDimension(widthByte), EntryDimension(heightByte));
}

}  // namespace

bool ZtImageICO::Decode(ZtFile* stream) {
    if (!stream) return false;
    // Icons fail without a message of their own.
    return GuardDecode(*this, nullptr, [&] { return DecodeIcon(*this, stream, frameCount); });
}

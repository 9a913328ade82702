// TGA decoder. Reference: Truevision, "Truevision TGA File Format
// Specification", version 2.0 (1991): the 18-byte header, the colour map, and
// image types 1-3 (plain) and 9-11 (run-length packets).
#include "codecs/builtin/tga.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr size_t kHeaderBytes = 18;
constexpr uint32_t kMaxMapLength = 256;
constexpr uint32_t kMaxPacketPixels = 128;
constexpr uint8_t kRightToLeft = 0x10;  // descriptor bit 4
constexpr uint8_t kTopDown = 0x20;      // descriptor bit 5

enum class ImageKind { Mapped, TrueColour, Grey };

// How one file pixel lands in the picture.
enum class Layout {
    Index8,     // colour-map index or grey level, one byte
    GreyAlpha,  // 16-bit grey: level in the low byte, alpha in the high byte
    Rgb555,     // 15/16-bit true colour: 5 bits a channel, bit 15 unused
    Bgr24,
    Bgra32,
};

template <Layout L>
constexpr uint32_t kFileBytes = L == Layout::Index8 ? 1 : (L == Layout::GreyAlpha || L == Layout::Rgb555) ? 2
                                                      : L == Layout::Bgr24                                ? 3
                                                                                                          : 4;
template <Layout L>
constexpr uint32_t kImageBytes = (L == Layout::Index8 || L == Layout::GreyAlpha) ? 1 : 3;
template <Layout L>
constexpr bool kHasAlpha = L == Layout::GreyAlpha || L == Layout::Bgra32;
// File pixels laid out exactly as the picture's rows hold them.
template <Layout L>
constexpr bool kStoredAsIs = L == Layout::Index8 || L == Layout::Bgr24;

struct TgaHeader {
    uint8_t idLength;
    uint8_t mapType;
    uint8_t imageType;
    uint16_t mapFirst;
    uint16_t mapLength;
    uint8_t mapEntryBits;
    uint16_t width;
    uint16_t height;
    uint8_t depth;
    uint8_t descriptor;
};

TgaHeader ParseHeader(const std::array<uint8_t, kHeaderBytes>& raw) {
    TgaHeader h;
    h.idLength = raw[0];
    h.mapType = raw[1];
    h.imageType = raw[2];
    h.mapFirst = Get16LE(&raw[3]);
    h.mapLength = Get16LE(&raw[5]);
    h.mapEntryBits = raw[7];
    h.width = Get16LE(&raw[12]);
    h.height = Get16LE(&raw[14]);
    h.depth = raw[16];
    h.descriptor = raw[17];
    return h;
}

// The picture layout a kind of image and a pixel depth make; anything the
// format does not define is a bad header. Colour-mapped pixels must be 8-bit
// indices (a palette has 256 entries); grey pixels are a level, with an alpha
// byte at 16 bits.
Layout LayoutOf(ImageKind kind, uint8_t depth) {
    switch (kind) {
        case ImageKind::Mapped:
            if (depth == 8) return Layout::Index8;
            break;
        case ImageKind::Grey:
            if (depth == 8) return Layout::Index8;
            if (depth == 16) return Layout::GreyAlpha;
            break;
        case ImageKind::TrueColour:
            if (depth == 15 || depth == 16) return Layout::Rgb555;
            if (depth == 24) return Layout::Bgr24;
            if (depth == 32) return Layout::Bgra32;
            break;
    }
    FailDecode("bad TGA header");
}

// A 5-5-5 value widened by shifting, so 31 becomes 248: the stored bits exactly.
void Expand555(uint32_t v, uint8_t* blue, uint8_t* green, uint8_t* red) {
    *blue = uint8_t((v & 0x1F) << 3);
    *green = uint8_t((v >> 2) & 0xF8);
    *red = uint8_t((v >> 7) & 0xF8);
}

// One decoded line: its storage row and, for layouts with alpha, its alpha row.
struct LineOut {
    uint8_t* pixels;
    uint8_t* alpha;
};

template <Layout L>
inline void PutPixel(uint8_t* out, uint8_t* alpha, const uint8_t* in) {
    if constexpr (L == Layout::Index8) {
        out[0] = in[0];
    } else if constexpr (L == Layout::GreyAlpha) {
        out[0] = in[0];
        *alpha = in[1];
    } else if constexpr (L == Layout::Rgb555) {
        Expand555(uint32_t(in[0]) | uint32_t(in[1]) << 8, &out[0], &out[1], &out[2]);
    } else {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        if constexpr (L == Layout::Bgra32) *alpha = in[3];
    }
}

// n file pixels from src into the line from column x.
template <Layout L>
void CopyPixels(const LineOut& line, uint32_t x, const uint8_t* src, uint32_t n) {
    uint8_t* out = line.pixels + size_t(x) * kImageBytes<L>;
    if constexpr (kStoredAsIs<L>) {
        memcpy(out, src, size_t(n) * kFileBytes<L>);
    } else {
        uint8_t* alpha = kHasAlpha<L> ? line.alpha + x : nullptr;
        for (uint32_t k = 0; k < n; ++k, out += kImageBytes<L>, src += kFileBytes<L>)
            PutPixel<L>(out, kHasAlpha<L> ? alpha + k : nullptr, src);
    }
}

// n copies of one file pixel into the line from column x.
template <Layout L>
void FillPixels(const LineOut& line, uint32_t x, const uint8_t* value, uint32_t n) {
    uint8_t px[3] = {0, 0, 0};
    uint8_t level = 0;
    PutPixel<L>(px, &level, value);
    uint8_t* out = line.pixels + size_t(x) * kImageBytes<L>;
    if constexpr (kImageBytes<L> == 1) {
        memset(out, px[0], n);
    } else {
        for (uint32_t k = 0; k < n; ++k, out += 3) {
            out[0] = px[0];
            out[1] = px[1];
            out[2] = px[2];
        }
    }
    if constexpr (kHasAlpha<L>) memset(line.alpha + x, level, n);
}

// Copies up to n file pixels from the reader. A file that ends inside them
// keeps the pixels that arrived; the reader's failure ends the decode before
// the next line (the last line may end short).
template <Layout L>
void ReadPixels(ByteReader& reader, const LineOut& line, uint32_t x, uint32_t n) {
    const size_t want = size_t(n) * kFileBytes<L>;
    const uint32_t arrived = uint32_t(std::min(want, reader.Remaining()) / kFileBytes<L>);
    if (arrived != 0) CopyPixels<L>(line, x, reader.Data() + reader.Position(), arrived);
    reader.Skip(want);  // when short, fails and leaves the reader at its end
}

// The packet being expanded. Packets run on from one line into the next, so
// this outlives a line; a run keeps a pointer to its value in the buffer.
struct Packet {
    uint32_t left = 0;
    bool run = false;
    const uint8_t* value = nullptr;
};

template <Layout L>
void ExpandCompressedLine(ByteReader& reader, Packet& packet, const LineOut& line, uint32_t width) {
    uint32_t x = 0;
    while (x < width) {
        if (packet.left == 0) {
            const uint8_t h = reader.U8();
            if (reader.Failed()) return;
            packet.run = (h & 0x80) != 0;
            packet.left = (h & 0x7Fu) + 1;
            if (packet.run && !(packet.value = reader.Bytes(kFileBytes<L>))) return;
        }
        const uint32_t n = std::min(packet.left, width - x);
        if (packet.run) {
            FillPixels<L>(line, x, packet.value, n);
        } else {
            ReadPixels<L>(reader, line, x, n);
            if (reader.Failed()) return;
        }
        x += n;
        packet.left -= n;
    }
}

template <Layout L>
void MirrorLine(const LineOut& line, uint32_t width) {
    if constexpr (kImageBytes<L> == 1) {
        std::reverse(line.pixels, line.pixels + width);
    } else {
        for (uint32_t a = 0, b = width - 1; a < b; ++a, --b)
            for (uint32_t c = 0; c < 3; ++c) std::swap(line.pixels[3 * a + c], line.pixels[3 * b + c]);
    }
    if constexpr (kHasAlpha<L>) std::reverse(line.alpha, line.alpha + width);
}

struct LinePlan {
    uint32_t width;
    uint32_t height;
    bool topDown;
    bool rightToLeft;
};

// Where the pixels come from: run-length data is read whole (it is small next
// to the picture) and parsed by one reader; plain lines are read one at a time
// from their stream, so the data is never held twice.
struct PixelSource {
    ByteReader* packets;  // run-length data, or null
    ZtFile* lines;        // plain lines, when packets is null
    uint32_t fileBytes;
};

template <Layout L>
void DecodeLines(ZtImage& image, const PixelSource& source, const LinePlan& plan) {
    Packet packet;
    std::vector<uint8_t> plain(source.packets || kStoredAsIs<L> ? 0 : size_t(plan.width) * source.fileBytes);
    bool shortLine = false;
    for (uint32_t i = 0; i < plan.height; ++i) {
        if (image.AbortCode() != 0) FailDecode("Cancelled");
        // A read that ran past the data ends the picture, unless it was on the last line.
        if (source.packets ? source.packets->Failed() : shortLine) FailDecode("corrupted TGA");
        // Bottom-up files store the bottom line first, like the picture's rows.
        const uint32_t row = plan.topDown ? plan.height - 1 - i : i;
        const LineOut line{image.RowBits(row), kHasAlpha<L> ? image.AlphaPointer(0, int32_t(row)) : nullptr};
        if (source.packets) {
            ExpandCompressedLine<L>(*source.packets, packet, line, plan.width);
        } else if constexpr (kStoredAsIs<L>) {
            // Stored as the picture stores them: straight into the row. A
            // short last line keeps the bytes that arrived.
            const size_t want = size_t(plan.width) * kFileBytes<L>;
            shortLine = source.lines->ReadBlocks(line.pixels, 1, want) < want;
        } else {
            const size_t got = source.lines->ReadBlocks(plain.data(), 1, plain.size());
            shortLine = got < plain.size();
            ByteReader reader(plain.data(), got);
            ReadPixels<L>(reader, line, 0, plan.width);
        }
        if (plan.rightToLeft) MirrorLine<L>(line, plan.width);
    }
}

// How many bytes the stream holds from its position on, when it can tell.
bool RemainingBytes(ZtFile& stream, uint64_t* remaining) {
    const int32_t at = stream.Position(), length = stream.Length();
    if (at < 0 || length < at) return false;
    *remaining = uint64_t(length - at);
    return true;
}

// Create's own ceiling on the padded rows, checked before the file's data is read.
bool FitsMemoryCeiling(uint64_t width, uint64_t height, uint32_t bits) {
    const uint64_t stride = (width * bits + 31) / 32 * 4;  // width < 2^17, bits <= 24
    return ProductAtMost(stride, height, 1, ZTIMAGE_MAX_MEMORY);
}

// Colour-map entries of 15/16 bits (5-5-5), 24 bits (blue, green, red) or 32
// bits (the fourth byte dropped) into the palette, entry j at index first + j.
void LoadColourMap(ZtImage& image, const uint8_t* map, const TgaHeader& h) {
    const uint32_t entryBytes = (h.mapEntryBits + 7u) / 8u;
    for (uint32_t j = 0; j < h.mapLength; ++j) {
        const uint32_t index = uint32_t(h.mapFirst) + j;
        if (index >= kMaxMapLength) break;  // no 8-bit pixel can reach these
        const uint8_t* e = map + size_t(j) * entryBytes;
        uint8_t blue, green, red;
        if (entryBytes == 2) {
            Expand555(Get16LE(e), &blue, &green, &red);
        } else {
            blue = e[0];
            green = e[1];
            red = e[2];
        }
        image.SetPaletteEntry(index, red, green, blue, 0);
    }
}

DecodeOutcome DecodeTga(ZtImage& image, ZtFile& stream) {
    std::array<uint8_t, kHeaderBytes> raw{};
    if (stream.ReadBlocks(raw.data(), raw.size(), 1) != 1) FailDecode("Not a TGA");
    const TgaHeader h = ParseHeader(raw);

    ImageKind kind;
    switch (h.imageType & ~8u) {
        case 1: kind = ImageKind::Mapped; break;
        case 2: kind = ImageKind::TrueColour; break;
        case 3: kind = ImageKind::Grey; break;
        default: FailDecode("Unknown TGA image type");
    }
    const bool rle = (h.imageType & 8) != 0;

    // Checks on the fields used as sizes, before anything else is read:
    if (h.width == 0 || h.height == 0 || h.depth == 0 ||  // an empty picture
        h.mapLength > kMaxMapLength)                     // more colours than a palette holds
        FailDecode("bad TGA header");
    const Layout layout = LayoutOf(kind, h.depth);
    const bool hasMap = h.mapType != 0;
    // Colour-mapped pixels need entries the format defines; an unused map in
    // front of other pixels is only skipped, at the size its header states.
    const bool knownEntry = h.mapEntryBits == 15 || h.mapEntryBits == 16 || h.mapEntryBits == 24 ||
                            h.mapEntryBits == 32;
    if (kind == ImageKind::Mapped && hasMap && h.mapLength != 0 && !knownEntry) FailDecode("bad TGA header");

    if (image.SizeOnlyRequested()) return image.ReportSize(h.width, h.height, ImageFormat::Targa);

    const uint32_t imageBits = (layout == Layout::Index8 || layout == Layout::GreyAlpha) ? 8 : 24;
    if (!FitsMemoryCeiling(h.width, h.height, imageBits)) FailDecode("TGA Create failed");

    const uint32_t fileBytes = (h.depth + 7u) / 8u;
    const uint64_t mapBytes = hasMap ? uint64_t(h.mapLength) * ((h.mapEntryBits + 7u) / 8u) : 0;
    // The image ID and the colour map: at most 255 + 256 x 32 bytes.
    std::vector<uint8_t> head(h.idLength + size_t(mapBytes));
    if (stream.ReadBlocks(head.data(), 1, head.size()) != head.size()) FailDecode("corrupted TGA");

    // Run-length data is read whole, at most one header byte and one value a
    // pixel; so is plain data from a stream that cannot tell its length.
    const uint64_t pixelCount = uint64_t(h.width) * h.height;
    std::vector<uint8_t> whole;
    uint64_t available = 0;
    const bool readWhole = rle || !RemainingBytes(stream, &available);
    if (readWhole) {
        whole = ReadToEnd(stream, size_t(pixelCount * (fileBytes + 1)));
        available = whole.size();
    }
    // Every line before the last must arrive whole, or the decode ends with
    // "corrupted TGA" anyway; finding that out here spares the allocation.
    // Packets hold at most 128 pixels and take a header and one value at least.
    const uint64_t earlier = uint64_t(h.width) * (h.height - 1u);
    const uint64_t least =
        rle ? (earlier + kMaxPacketPixels - 1) / kMaxPacketPixels * (1 + fileBytes) : earlier * fileBytes;
    if (available < least) FailDecode("corrupted TGA");

    if (!image.Create(h.width, h.height, imageBits, ImageFormat::Targa)) FailDecode("TGA Create failed");
    if ((layout == Layout::Bgra32 || layout == Layout::GreyAlpha) && !image.AddAlphaPlane())
        FailDecode("TGA Create failed");
    if (image.AbortCode() != 0) FailDecode("Cancelled");

    if (hasMap && kind == ImageKind::Mapped) LoadColourMap(image, head.data() + h.idLength, h);
    // Grey pictures keep their ramp, whatever colour map they carry.
    if (kind == ImageKind::Grey) image.SetGreyRamp();

    ByteReader packets(whole.data(), whole.size());
    ZtMemFile wholeLines(whole.data(), whole.size());
    const PixelSource source{rle ? &packets : nullptr, readWhole ? &wholeLines : &stream, fileBytes};
    const LinePlan plan{h.width, h.height, (h.descriptor & kTopDown) != 0, (h.descriptor & kRightToLeft) != 0};
    switch (layout) {
        case Layout::Index8: DecodeLines<Layout::Index8>(image, source, plan); break;
        case Layout::GreyAlpha: DecodeLines<Layout::GreyAlpha>(image, source, plan); break;
        case Layout::Rgb555: DecodeLines<Layout::Rgb555>(image, source, plan); break;
        case Layout::Bgr24: DecodeLines<Layout::Bgr24>(image, source, plan); break;
        case Layout::Bgra32: DecodeLines<Layout::Bgra32>(image, source, plan); break;
    }
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageTGA::Decode(ZtFile* stream) {
    if (!stream) return false;
    return GuardDecode(*this, "TGA Create failed", [&] { return DecodeTga(*this, *stream); });
}

// PCX decoder. Reference: ZSoft Corporation, "ZSoft PCX File Format Technical
// Reference Manual" (1991): the 128-byte header, run-length encoded scan
// lines of one to four planes, and the 256-colour palette behind the data.
#include "codecs/builtin/pcx.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr size_t kHeaderBytes = 128;
constexpr uint8_t kManufacturer = 10;
constexpr uint8_t kRunLengthEncoding = 1;
constexpr uint8_t kRunCode = 0xC0;  // both top bits set: a count in the low six
constexpr uint8_t kPaletteSignature = 12;
constexpr size_t kPaletteBytes = 256 * 3;
constexpr uint32_t kMaxPlanes = 4;

// How the planes of one scan line become picture rows.
enum class Layout {
    Rgb,          // 3 or 4 planes of 8 bits: red, green, blue (and alpha)
    Packed1,      // 1 plane of 1 bit: a black and white picture
    Packed2,      // 1 plane of 2 bits, widened to 4-bit indices
    Packed4,      // 1 plane of 4 bits
    Packed8,      // 1 plane of 8 bits, coloured by the palette at the end
    Planar1,      // 2 to 4 planes of 1 bit, merged into 4-bit indices
    Unsupported,  // planes of more than 1 bit that make no picture
};

struct PcxHeader {
    uint8_t manufacturer;
    uint8_t encoding;
    uint8_t bitsPerPixel;
    uint8_t planes;
    int32_t width;
    int32_t height;
    uint16_t hRes;
    uint16_t vRes;
    uint16_t bytesPerLine;
    const uint8_t* colourMap;  // 16 entries of red, green, blue
};

PcxHeader ParseHeader(const std::array<uint8_t, kHeaderBytes>& raw) {
    PcxHeader h;
    h.manufacturer = raw[0];
    h.encoding = raw[2];
    h.bitsPerPixel = raw[3];
    // The window's corners are inclusive; a window upside down has no pixels.
    h.width = std::max(0, int32_t(Get16LE(&raw[8])) - int32_t(Get16LE(&raw[4])) + 1);
    h.height = std::max(0, int32_t(Get16LE(&raw[10])) - int32_t(Get16LE(&raw[6])) + 1);
    h.hRes = Get16LE(&raw[12]);
    h.vRes = Get16LE(&raw[14]);
    h.colourMap = &raw[16];
    h.planes = raw[65];
    h.bytesPerLine = Get16LE(&raw[66]);
    return h;
}

Layout LayoutOf(const PcxHeader& h) {
    if (h.planes >= 3 && h.bitsPerPixel == 8) return Layout::Rgb;
    if (h.planes == 1) {
        switch (h.bitsPerPixel) {
            case 1: return Layout::Packed1;
            case 2: return Layout::Packed2;
            case 4: return Layout::Packed4;
            case 8: return Layout::Packed8;
            default: break;
        }
        // Other depths would decode to a blank picture.
        char message[64];
        snprintf(message, sizeof message, "PCX bits per pixel %u not supported", unsigned(h.bitsPerPixel));
        FailDecode(message);
    }
    if (h.planes == 0) FailDecode("PCX planes 0 not supported");
    return h.bitsPerPixel == 1 ? Layout::Planar1 : Layout::Unsupported;
}

uint32_t ImageBits(Layout layout) {
    switch (layout) {
        case Layout::Rgb: return 24;
        case Layout::Packed1: return 1;
        case Layout::Packed8: return 8;
        default: return 4;
    }
}

// Create's own ceiling on the padded rows, checked before the file's data is read.
bool FitsMemoryCeiling(uint64_t width, uint64_t height, uint32_t bits) {
    const uint64_t stride = (width * bits + 31) / 32 * 4;  // width < 2^17, bits <= 24
    return ProductAtMost(stride, height, 1, ZTIMAGE_MAX_MEMORY);
}

// The run-length stream, expanded one scan line at a time. Runs may carry on
// from one line into the next; no run may reach past the picture's data.
class RunLengthLines {
public:
    RunLengthLines(ByteReader& reader, uint64_t total) : reader_(reader), expected_(total) {}

    void Next(uint8_t* out, size_t n) {
        // The hot loop works on pointers into the reader's buffer and hands
        // the position back at the end.
        const uint8_t* const base = reader_.Data();
        const uint8_t* p = base + reader_.Position();
        const uint8_t* const end = base + reader_.Size();
        size_t i = 0;
        while (i < n) {
            if (runLeft_ != 0) {
                const size_t k = std::min<size_t>(runLeft_, n - i);
                memset(out + i, runValue_, k);
                i += k;
                runLeft_ -= uint32_t(k);
                continue;
            }
            if (p == end) FailDecode("corrupted PCX");
            const uint8_t c = *p++;
            if (c < kRunCode) {
                out[i++] = c;
                continue;
            }
            // A count without its value byte is a file cut short as well.
            if (p == end) FailDecode("corrupted PCX");
            runValue_ = *p++;
            runLeft_ = c & 0x3Fu;  // 0xC0 repeats nothing: both bytes are consumed
            if (runLeft_ > expected_ - i) FailDecode("repeat count spans end of image");
        }
        expected_ -= n;
        reader_.Seek(size_t(p - base));
    }

private:
    ByteReader& reader_;
    uint64_t expected_;  // decoded bytes still to come, this line's included
    uint32_t runLeft_ = 0;
    uint8_t runValue_ = 0;
};

// One scan line's planes, each bytesPerLine bytes.
struct ScanLine {
    const uint8_t* bytes;
    uint32_t bytesPerLine;
    uint32_t planes;
    const uint8_t* Plane(uint32_t p) const { return bytes + size_t(p) * bytesPerLine; }
};

// Eight 1-bit pixels (first pixel in bit 7) spread over the nibbles of a
// big-endian 32-bit word, each in its nibble's bit 0.
struct NibbleSpread {
    std::array<uint32_t, 256> table{};
    NibbleSpread() {
        for (uint32_t b = 0; b < 256; ++b)
            for (uint32_t k = 0; k < 8; ++k)
                if (b & (0x80u >> k)) table[b] |= 1u << (28 - 4 * k);
    }
};

// 4-bit indices, first pixel in the high nibble, from planar 1-bit lines:
// plane p gives bit p of every index.
void MergePlanes(const ScanLine& s, uint8_t* nibbles) {
    static const NibbleSpread spread;
    for (uint32_t b = 0; b < s.bytesPerLine; ++b, nibbles += 4) {
        uint32_t v = 0;
        for (uint32_t p = 0; p < s.planes; ++p) v |= spread.table[s.Plane(p)[b]] << p;
        nibbles[0] = uint8_t(v >> 24);
        nibbles[1] = uint8_t(v >> 16);
        nibbles[2] = uint8_t(v >> 8);
        nibbles[3] = uint8_t(v);
    }
}

// 2-bit pixels (first in bits 7-6) widened to 4-bit indices.
void WidenTwoBit(const ScanLine& s, uint8_t* nibbles) {
    const uint8_t* in = s.Plane(0);
    for (uint32_t b = 0; b < s.bytesPerLine; ++b, nibbles += 2) {
        const uint32_t v = in[b];
        nibbles[0] = uint8_t((v >> 6) << 4 | ((v >> 4) & 3));
        nibbles[1] = uint8_t(((v >> 2) & 3) << 4 | (v & 3));
    }
}

// Copies the packed pixels of the first width pixels into a row; pixels the
// line does not reach, and bits past the width, stay 0.
void CopyPacked(const uint8_t* in, size_t available, uint8_t* row, uint32_t width, uint32_t bits) {
    const size_t need = (size_t(width) * bits + 7) / 8;
    const size_t n = std::min(need, available);
    if (n != 0) memcpy(row, in, n);
    const uint32_t tailBits = uint32_t((size_t(width) * bits) % 8);
    if (n == need && tailBits != 0) row[n - 1] &= uint8_t(0xFF00u >> tailBits);
}

void StoreRgb(const ScanLine& s, uint8_t* row, uint8_t* alpha, uint32_t width) {
    // Pixels beyond the line's bytes stay black and transparent.
    const uint32_t n = std::min<uint32_t>(width, s.bytesPerLine);
    const uint8_t* r = s.Plane(0);
    const uint8_t* g = s.Plane(1);
    const uint8_t* b = s.Plane(2);
    for (uint32_t x = 0; x < n; ++x, row += 3) {
        row[0] = b[x];
        row[1] = g[x];
        row[2] = r[x];
    }
    if (alpha) {
        if (n != 0) memcpy(alpha, s.Plane(3), n);
        memset(alpha + n, 0, width - n);
    }
}

struct PcxPalette {
    std::array<uint8_t, kPaletteBytes> rgb{};
};

// The palette the picture's indices use: the header's 16 entries, black and
// white for 1-bit pictures, or the 256 entries behind an 8-bit plane.
PcxPalette ReadPalette(const PcxHeader& h, Layout layout, ByteReader& reader) {
    PcxPalette pal;
    std::copy(h.colourMap, h.colourMap + 48, pal.rgb.begin());
    if (layout == Layout::Packed8) {
        // The palette follows the run-length data directly.
        const uint8_t signature = reader.U8();
        if (reader.Failed() || signature != kPaletteSignature) FailDecode("bad color map signature");
        // Entries missing at the end of the file stay black.
        const size_t n = std::min(kPaletteBytes, reader.Remaining());
        if (n != 0) memcpy(pal.rgb.data(), reader.Bytes(n), n);
    } else if (layout == Layout::Packed1) {
        pal.rgb.fill(0);
        pal.rgb[3] = pal.rgb[4] = pal.rgb[5] = 255;
    }
    return pal;
}

DecodeOutcome DecodePcx(ZtImage& image, ZtFile& stream, const PcxHeader& h) {
    if (image.SizeOnlyRequested()) return image.ReportSize(uint32_t(h.width), uint32_t(h.height), ImageFormat::Pcx);
    if (h.planes > kMaxPlanes) FailDecode("Can't handle image with more than 4 planes");
    const Layout layout = LayoutOf(h);

    const uint32_t width = uint32_t(h.width), height = uint32_t(h.height);
    const uint32_t bits = ImageBits(layout);
    if (!FitsMemoryCeiling(width, height, bits)) FailDecode("ZTIMAGE_MAX_MEMORY exceeded");

    // Every decoded byte comes from the run-length data, at best 63 from a
    // pair of bytes; a file too short for that fails before anything is made.
    const uint32_t lineBytes = uint32_t(h.bytesPerLine) * h.planes;
    const uint64_t total = uint64_t(lineBytes) * height;
    const std::vector<uint8_t> data = ReadToEnd(stream, INT32_MAX);
    if (data.size() < (2 * total + 62) / 63) FailDecode("corrupted PCX");

    if (layout != Layout::Unsupported) {
        if (!image.Create(width, height, bits, ImageFormat::Pcx)) FailDecode("");
        if (h.planes == 4 && layout == Layout::Rgb && !image.AddAlphaPlane())
            FailDecode("ZtImage::Create can't allocate memory");
    }
    if (image.AbortCode() != 0) FailDecode("Cancelled");

    ByteReader reader(data.data(), data.size());
    RunLengthLines lines(reader, total);
    std::vector<uint8_t> scan(lineBytes);
    // 4-bit indices of one line, for the layouts that widen their pixels;
    // cleared for every line so a short line leaves black behind it.
    std::vector<uint8_t> nibbles(std::max<size_t>(size_t(h.bytesPerLine) * 4, (width + 1) / 2));
    const ScanLine s{scan.data(), h.bytesPerLine, h.planes};
    const size_t rowNibbleBytes = (size_t(width) + 1) / 2;

    for (uint32_t y = 0; y < height; ++y) {
        if (image.AbortCode() != 0) FailDecode("Cancelled");
        lines.Next(scan.data(), scan.size());
        if (layout == Layout::Unsupported) continue;  // the data is checked first
        const uint32_t row = height - 1 - y;  // scan lines run top to bottom
        uint8_t* out = image.RowBits(row);
        switch (layout) {
            case Layout::Rgb:
                StoreRgb(s, out, h.planes == 4 ? image.AlphaPointer(0, int32_t(row)) : nullptr, width);
                break;
            case Layout::Packed1: CopyPacked(scan.data(), scan.size(), out, width, 1); break;
            case Layout::Packed4: CopyPacked(scan.data(), scan.size(), out, width, 4); break;
            case Layout::Packed8: CopyPacked(scan.data(), scan.size(), out, width, 8); break;
            case Layout::Packed2:
            case Layout::Planar1:
                std::fill(nibbles.begin(), nibbles.end(), 0);
                if (layout == Layout::Packed2)
                    WidenTwoBit(s, nibbles.data());
                else
                    MergePlanes(s, nibbles.data());
                CopyPacked(nibbles.data(), rowNibbleBytes, out, width, 4);
                break;
            case Layout::Unsupported: break;
        }
    }
    if (layout == Layout::Unsupported)
        FailDecode("PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel");

    if (layout != Layout::Rgb) {
        const PcxPalette pal = ReadPalette(h, layout, reader);
        for (uint32_t i = 0; i < image.PaletteEntries(); ++i)
            image.SetPaletteEntry(i, pal.rgb[3 * i], pal.rgb[3 * i + 1], pal.rgb[3 * i + 2], 0);
    }
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImagePCX::Decode(ZtFile* stream) {
    if (!stream) return false;
    return GuardDecode(*this, "ZtImage::Create can't allocate memory", [&] {
        std::array<uint8_t, kHeaderBytes> raw{};
        if (stream->ReadBlocks(raw.data(), raw.size(), 1) != 1) FailDecode("Can't read PCX image");
        const PcxHeader h = ParseHeader(raw);
        if (h.manufacturer != kManufacturer) FailDecode("Error: Not a PCX file");
        if (h.encoding != kRunLengthEncoding) FailDecode("PCX file has unknown encoding scheme");
        // The header's resolutions as they stand: PCX states dots per inch.
        xDpi = h.hRes;
        yDpi = h.vRes;
        return DecodePcx(*this, *stream, h);
    });
}

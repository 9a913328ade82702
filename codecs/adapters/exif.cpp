// EXIF reader: JPEG marker sections (ITU-T T.81, Annex B) and the APP1 EXIF
// block, a TIFF 6.0 structure of image file directories (JEITA CP-3451,
// "Exif 2.2"). Every offset and count read from the block is checked against
// the block before it is used.
#include "codecs/adapters/exif.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

namespace {

// Bytes per component, by TIFF format code 0..12 (0 is tolerated, size 0).
constexpr uint32_t kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
constexpr int32_t kFormatCodes = 13;
// Directories nest at most five deep (depth 0 to 4).
constexpr int32_t kMaxDepth = 4;
// One block may hold a handful of directories (IFD0, EXIF, interoperability,
// GPS, IFD1); links that fan out to the same directories again are cut off here.
constexpr int32_t kMaxDirectoriesPerBlock = 64;
constexpr uint32_t kEntryBytes = 12;
constexpr int32_t kMaxPadding = 6;
constexpr int32_t kCommentLimit = 1000;
constexpr size_t kUserCommentChars = 199;
// ln 2 as the single-precision value the APEX conversions use.
constexpr float kLn2 = 0.693147180559945309f;

// Resolution-unit code -> factor (dots per unit / factor = dots per inch): the
// single-precision values of 1, 1, 1/2.54, 1/25.4 and 1/25400.
bool UnitFactor(int32_t unit, float* factor) {
    switch (unit) {
        case 1:
        case 2: *factor = 1.0f; return true;
        case 3: *factor = 0.3937007784843445f; return true;
        case 4: *factor = 0.03937007859349251f; return true;
        case 5: *factor = 3.937007932108827e-05f; return true;
        default: return false;
    }
}

// A number truncated toward zero into 32 bits. Values outside the range (a
// large unsigned count, an infinite float) saturate; NaN becomes 0.
int32_t TruncateToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

int32_t SaturateToInt(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Copies characters up to the first zero byte, at most n and at most the
// available bytes, into field (n + 1 bytes), which ends terminated.
void CopyText(char* field, size_t n, const uint8_t* src, size_t available) {
    memset(field, 0, n + 1);
    const size_t limit = n < available ? n : available;
    for (size_t i = 0; i < limit && src[i] != 0; ++i) field[i] = static_cast<char>(src[i]);
}

}  // namespace

ZtExifReader::ZtExifReader(ExifRecord* rec) : record(rec) { errorText[0] = '\0'; }

void ZtExifReader::SetError(const char* text) { snprintf(errorText, sizeof errorText, "%s", text); }

int32_t ZtExifReader::SectionMarker(int32_t index) const {
    return index >= 0 && index < sectionCount ? sections[index].marker : 0;
}
int32_t ZtExifReader::SectionSize(int32_t index) const {
    return index >= 0 && index < sectionCount ? sections[index].size : 0;
}
const uint8_t* ZtExifReader::SectionData(int32_t index) const {
    return index >= 0 && index < sectionCount ? sections[index].data.get() : nullptr;
}

void ZtExifReader::DropLastSection() {
    --sectionCount;
    sections[sectionCount] = Section{};
}

uint16_t ZtExifReader::Read16(const uint8_t* p) const { return bigEndian ? Get16BE(p) : Get16LE(p); }
uint32_t ZtExifReader::Read32(const uint8_t* p) const { return bigEndian ? Get32BE(p) : Get32LE(p); }

bool ZtExifReader::ScanSections(ZtFile* stream, int32_t mode) {
    if (!stream || !record) return false;
    if (stream->GetByte() != 0xFF || stream->GetByte() != 0xD8) return false;
    bool commentStored = false;
    while (sectionCount < kMaxSections) {
        // Fill bytes (0xFF) may precede a marker code; six are tolerated. No
        // 0xFF prefix is demanded: any other byte is taken as the code.
        int32_t marker = 0;
        for (int32_t pad = 0;; ++pad) {
            marker = stream->GetByte();
            if (marker != 0xFF) break;
            if (pad >= kMaxPadding) {
                printf("too many padding bytes\n");
                return false;
            }
        }
        const int32_t high = stream->GetByte();
        const int32_t low = stream->GetByte();
        // The end of the stream reads as -1 and fails here too.
        const int32_t length = (high < 0 || low < 0) ? -1 : (high << 8) | low;
        if (length < 2) {
            SetError("invalid marker");
            return false;
        }
        ZtBytes data = AllocateBytes(size_t(length), false);
        if (!data) {
            SetError("Could not allocate memory");
            return false;
        }
        data[0] = static_cast<uint8_t>(high);
        data[1] = static_cast<uint8_t>(low);
        const size_t want = size_t(length) - 2;
        if (want > 0 && stream->ReadBlocks(data.get() + 2, 1, want) != want) {
            SetError("Premature end of file?");
            return false;
        }
        Section& kept = sections[sectionCount];
        kept.data = std::move(data);
        kept.marker = marker;
        kept.size = length;
        ++sectionCount;
        uint8_t* section = kept.data.get();

        switch (marker) {
            case 0xC0: case 0xC1: case 0xC2: case 0xC3:
            case 0xC5: case 0xC6: case 0xC7:
            case 0xC9: case 0xCA: case 0xCB:
            case 0xCD: case 0xCE: case 0xCF:
                StoreFrameHeader(section, marker);
                break;
            case 0xD9:
                printf("No image in jpeg!\n");
                return false;
            case 0xDA:
                return true;
            case 0xE0:
                DropLastSection();
                break;
            case 0xE1:
                if ((mode & kReadExif) && length >= 6 && memcmp(section + 2, "Exif", 4) == 0) {
                    record->isExif = ParseExifBlock(section + 2, length);
                } else {
                    DropLastSection();
                }
                break;
            case 0xFE:
                if ((mode & kReadExif) && !commentStored) {
                    StoreComment(section, length);
                    commentStored = true;
                } else {
                    DropLastSection();
                }
                break;
            default:
                break;
        }
    }
    SetError("Too many sections in jpg file");
    return false;
}

void ZtExifReader::StoreFrameHeader(const uint8_t* section, int32_t marker) {
    // The fields run to offset 7 (component count); a shorter header is skipped.
    if (!section || (Get16BE(section) < 8)) return;
    record->frameHeight = Get16BE(section + 3);
    record->frameWidth = Get16BE(section + 5);
    record->isColour = section[7] == 3 ? 1 : 0;
    record->frameMarker = marker;
}

void ZtExifReader::StoreComment(const uint8_t* section, int32_t sectionLength) {
    char text[kCommentLimit];
    size_t n = 0;
    const int32_t end = sectionLength < kCommentLimit ? sectionLength : kCommentLimit;
    for (int32_t a = 2; a < end; ++a) {
        const uint8_t c = section[a];
        if (c == '\r' && a + 1 < end && section[a + 1] == '\n') continue;  // CR LF -> LF
        if ((c >= 0x20 && c <= 0x7E) || c == '\n' || c == '\t') {
            text[n++] = static_cast<char>(c);
        } else {
            text[n++] = '?';
        }
    }
    text[n] = '\0';
    memcpy(record->comment, text, n + 1);
}

double ZtExifReader::ConvertValue(const uint8_t* value, int32_t format) const {
    switch (format) {
        case 1: return value[0];
        case 3: return Read16(value);
        case 4: return Read32(value);
        case 5:
        case 10: {
            const int32_t num = static_cast<int32_t>(Read32(value));
            const int32_t den = static_cast<int32_t>(Read32(value + 4));
            return den == 0 ? 0.0 : double(num) / double(den);
        }
        case 6: return static_cast<int8_t>(value[0]);
        case 8: return static_cast<int16_t>(Read16(value));
        case 9: return static_cast<int32_t>(Read32(value));
        case 11: {
            const uint32_t bits = Read32(value);
            float f;
            memcpy(&f, &bits, 4);
            return f;
        }
        case 12: {
            const uint64_t hi = Read32(bigEndian ? value : value + 4);
            const uint64_t lo = Read32(bigEndian ? value + 4 : value);
            const uint64_t bits = (hi << 32) | lo;
            double d;
            memcpy(&d, &bits, 8);
            return d;
        }
        default: return 0.0;
    }
}

bool ZtExifReader::ParseExifBlock(uint8_t* payload, int32_t sectionLength) {
    record->flashFired = 0;
    record->comment[0] = '\0';
    largestPixelDimension = 0;
    directoriesParsed = 0;

    // Every read below stays inside the payload; the header checks fail when
    // their bytes are missing.
    const uint32_t payloadLength = sectionLength > 2 ? uint32_t(sectionLength) - 2 : 0;
    if (payloadLength < 6 || memcmp(payload, "Exif\0\0", 6) != 0) {
        SetError("Incorrect Exif header");
        return false;
    }
    uint8_t* base = payload + 6;  // the TIFF header
    const uint32_t blockLength = payloadLength - 6;
    if (blockLength >= 2 && memcmp(base, "II", 2) == 0) {
        bigEndian = false;
    } else if (blockLength >= 2 && memcmp(base, "MM", 2) == 0) {
        bigEndian = true;
    } else {
        SetError("Invalid Exif alignment marker.");
        return false;
    }
    if (blockLength < 4 || Read16(base + 2) != 42) {
        SetError("Invalid Exif start (1)");
        return false;
    }
    // A header cut before its directory offset has no directory at offset 8
    // either; that directory's own check reports it.
    const int32_t firstOffset = blockLength >= 8 ? static_cast<int32_t>(Read32(base + 4)) : 0;

    // The directory at offset 8 is read whatever the header's offset says.
    if (!ParseDirectory(base + (blockLength >= 8 ? 8 : blockLength), base, blockLength, *record, 0))
        return false;
    if (firstOffset > 8) {
        if (uint32_t(firstOffset) >= blockLength) {
            SetError("Illegally sized directory");
            return false;
        }
        if (!ParseDirectory(base + firstOffset, base, blockLength, *record, 0)) return false;
    }
    if (record->focalPlaneXResolution != 0.0f) {
        record->sensorWidthInches = record->focalPlaneUnitFactor * float(largestPixelDimension) /
                                    record->focalPlaneXResolution;
    }
    return true;
}

bool ZtExifReader::ParseDirectory(uint8_t* directory, uint8_t* base, uint32_t blockLength,
                                  ExifRecord& rec, int32_t depth) {
    if (depth > kMaxDepth) {
        SetError("Maximum directory nesting exceeded (corrupt exif header)");
        return false;
    }
    if (++directoriesParsed > kMaxDirectoriesPerBlock) {
        SetError("Too many directories in EXIF block");
        return false;
    }
    const uint64_t dirOffset = uint64_t(directory - base);
    // The count field and every 12-byte entry lie wholly inside the block.
    if (dirOffset + 2 > blockLength) {
        SetError("Illegally sized directory");
        return false;
    }
    const uint32_t entries = Read16(directory);
    const uint64_t entriesEnd = dirOffset + 2 + uint64_t(entries) * kEntryBytes;
    if (entriesEnd > blockLength) {
        SetError("Illegally sized directory");
        return false;
    }

    uint32_t thumbnailOffset = 0;
    uint32_t thumbnailSize = 0;
    for (uint32_t de = 0; de < entries; ++de) {
        uint8_t* entry = directory + 2 + kEntryBytes * de;
        const uint32_t tag = Read16(entry);
        const uint32_t format = Read16(entry + 2);
        const uint32_t components = Read32(entry + 4);
        if (format >= uint32_t(kFormatCodes)) {
            SetError("Illegal format code in EXIF dir");
            return false;
        }
        // At most 2^32 * 8: no wrap in 64 bits, and too large for any block.
        const uint64_t byteCount = uint64_t(components) * kBytesPerFormat[format];
        uint8_t* value = entry + 8;
        if (byteCount > 4) {
            const uint32_t offset = Read32(entry + 8);
            uint64_t end;
            if (!CheckedAdd(offset, byteCount, &end) || end > blockLength) {
                SetError("Illegal pointer offset value in EXIF.");
                return false;
            }
            value = base + offset;
        }
        // Bytes readable from value to the block end; a value whose first
        // component is cut (a rational with count 0 at the block end) reads as 0.
        const size_t available = size_t(blockLength - uint64_t(value - base));
        const double number =
            available >= kBytesPerFormat[format] ? ConvertValue(value, int32_t(format)) : 0.0;
        const int32_t integer = TruncateToInt(number);

        switch (tag) {
            case 0x010F: CopyText(rec.make, 31, value, available); break;
            case 0x0110: CopyText(rec.model, 39, value, available); break;
            case 0x0112:
                rec.exifOrientation = integer;
                if (integer < 1 || integer > 8) {
                    SetError("Undefined rotation value");
                    rec.exifOrientation = 0;
                }
                break;
            case 0x011A: rec.xResolution = float(number); break;
            case 0x011B: rec.yResolution = float(number); break;
            case 0x0128: UnitFactor(integer, &rec.resolutionUnitFactor); break;
            case 0x0201: thumbnailOffset = uint32_t(integer); break;
            case 0x0202: thumbnailSize = uint32_t(integer); break;
            case 0x829A: rec.exposureTime = float(number); break;
            case 0x829D: rec.fNumber = float(number); break;
            case 0x8822: rec.exposureProgram = integer; break;
            case 0x8827:
                // Some cameras store the ISO value divided by 200.
                rec.isoSpeed = integer < 50 ? SaturateToInt(int64_t(integer) * 200) : integer;
                break;
            case 0x9000: CopyText(rec.exifVersion, 4, value, available); break;
            case 0x9003: CopyText(rec.dateTimeOriginal, 19, value, available); break;
            case 0x9102: rec.compressedBitsPerPixel = integer; break;
            case 0x9201:
                // APEX time value: exposure = 2^-Tv.
                if (rec.exposureTime == 0.0f)
                    rec.exposureTime = float(1.0 / std::exp(number * double(kLn2)));
                break;
            case 0x9202:
            case 0x9205:
                // APEX aperture value: f-number = 2^(Av / 2).
                if (rec.fNumber == 0.0f)
                    rec.fNumber = float(std::exp(number * double(kLn2) * 0.5));
                break;
            case 0x9203: rec.brightnessValue = float(number); break;
            case 0x9204: rec.exposureBias = float(number); break;
            case 0x9206: rec.subjectDistance = float(number); break;
            case 0x9207: rec.meteringMode = integer; break;
            case 0x9208: rec.lightSource = integer; break;
            case 0x9209: rec.flashFired = (integer & 7) != 0 ? 1 : 0; break;
            case 0x920A: rec.focalLength = float(number); break;
            case 0x9286: {
                // Trailing spaces become zero bytes in the kept section.
                const size_t count = size_t(byteCount < available ? byteCount : available);
                for (size_t a = count; a > 0 && value[a - 1] == ' '; --a) value[a - 1] = 0;
                if (available >= 5 && memcmp(value, "ASCII", 5) == 0) {
                    for (size_t a = 5; a < 10 && a < available; ++a) {
                        if (value[a] != 0 && value[a] != ' ') {
                            CopyText(rec.comment, kUserCommentChars, value + a, available - a);
                            break;
                        }
                    }
                } else {
                    CopyText(rec.comment, kUserCommentChars, value, available);
                }
                break;
            }
            case 0xA002:
            case 0xA003:
                if (integer > largestPixelDimension) largestPixelDimension = integer;
                break;
            case 0xA20E: rec.focalPlaneXResolution = float(number); break;
            case 0xA20F: rec.focalPlaneYResolution = float(number); break;
            case 0xA210: UnitFactor(integer, &rec.focalPlaneUnitFactor); break;
            default: break;
        }

        if (tag == 0x8769 || tag == 0xA005) {
            const uint32_t subOffset = Read32(value);
            if (subOffset > 8) {
                if (subOffset >= blockLength) {
                    SetError("Illegal subdirectory link");
                    return false;
                }
                // A broken sub-directory does not fail this one.
                ParseDirectory(base + subOffset, base, blockLength, rec, depth + 1);
            }
        }
    }

    // The next-directory link follows the entries; when its four bytes lie
    // beyond the block the link counts as 0.
    const uint32_t next = entriesEnd + 4 <= blockLength ? Read32(base + entriesEnd) : 0;
    if (next != 0) {
        if (next >= blockLength) {
            SetError("Illegal subdirectory link");
            return false;
        }
        ParseDirectory(base + next, base, blockLength, rec, depth + 1);
    }

    uint64_t thumbnailEnd;
    if (thumbnailOffset != 0 && thumbnailSize != 0 &&
        CheckedAdd(thumbnailOffset, thumbnailSize, &thumbnailEnd) && thumbnailEnd <= blockLength) {
        rec.thumbnail = base + thumbnailOffset;
        rec.thumbnailSize = thumbnailSize;
    }
    return true;
}

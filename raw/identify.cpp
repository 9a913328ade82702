// Identification of camera RAW files: the context's defaults, the option
// parser, the file operations over C files, the signature dispatch and the
// file-size table, name clean-up, the per-camera settings this engine knows,
// and the camera colour table with its matrix derivation.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "raw/raw_internal.h"

namespace {

// --- file operations over C files --------------------------------------------------
size_t FileRead(void* s, void* b, size_t size, size_t count) { return fread(b, size, count, static_cast<FILE*>(s)); }
size_t FileWrite(void* s, const void* b, size_t size, size_t count) {
    return fwrite(b, size, count, static_cast<FILE*>(s));
}
int FileSeek(void* s, int64_t offset, int origin) { return fseeko(static_cast<FILE*>(s), off_t(offset), origin); }
int FileClose(void* s) { return fclose(static_cast<FILE*>(s)); }
char* FileGets(void* s, char* b, int maximum) { return fgets(b, maximum, static_cast<FILE*>(s)); }
int FileEof(void* s) { return feof(static_cast<FILE*>(s)); }
int64_t FileTell(void* s) { return int64_t(ftello(static_cast<FILE*>(s))); }
int FileGetc(void* s) { return fgetc(static_cast<FILE*>(s)); }
int FileScanf(void* s, const char* format, void* target) { return fscanf(static_cast<FILE*>(s), format, target); }
constexpr RawFileOps kCFileOps = {FileRead, FileWrite, FileSeek, FileClose, FileGets,
                                  FileEof,  FileTell,  FileGetc, FileScanf};

// --- tables -------------------------------------------------------------------------
struct CameraEntry {
    const char* prefix;
    int16_t black;
    int8_t colours;  // 0: no matrix known
    int16_t matrix[12];
};
constexpr CameraEntry kCameras[] = {
#include "raw/camera_table_rows.h"
};

struct FileSizeEntry {
    int32_t size;
    const char* make;
    const char* model;
    uint8_t companionJpeg;
};
constexpr FileSizeEntry kFileSizes[] = {
    {62464, "Kodak", "DC20", 0},
    {124928, "Kodak", "DC20", 0},
    {1652736, "Kodak", "DCS200", 0},
    {4159302, "Kodak", "C330", 0},
    {4162462, "Kodak", "C330", 0},
    {311696, "ST Micro", "STV680 VGA", 0},
    {614400, "Kodak", "KAI-0340", 0},
    {787456, "Creative", "PC-CAM 600", 0},
    {1138688, "Minolta", "RD175", 0},
    {3840000, "Foculus", "531C", 0},
    {786432, "AVT", "F-080C", 0},
    {1447680, "AVT", "F-145C", 0},
    {1920000, "AVT", "F-201C", 0},
    {5067304, "AVT", "F-510C", 0},
    {10134608, "AVT", "F-510C", 0},
    {16157136, "AVT", "F-810C", 0},
    {1409024, "Sony", "XCD-SX910CR", 0},
    {2818048, "Sony", "XCD-SX910CR", 0},
    {3884928, "Micron", "2010", 0},
    {6624000, "Pixelink", "A782", 0},
    {13248000, "Pixelink", "A782", 0},
    {6291456, "RoverShot", "3320AF", 0},
    {6573120, "Canon", "PowerShot A610", 0},
    {9219600, "Canon", "PowerShot A620", 0},
    {10383120, "Canon", "PowerShot A630", 0},
    {12945240, "Canon", "PowerShot A640", 0},
    {7710960, "Canon", "PowerShot S3 IS", 0},
    {5939200, "OLYMPUS", "C770UZ", 0},
    {1581060, "NIKON", "E900", 1},
    {2465792, "NIKON", "E950", 1},
    {2940928, "NIKON", "E2100", 1},
    {4771840, "NIKON", "E990", 1},
    {4775936, "NIKON", "E3700", 1},
    {5869568, "NIKON", "E4300", 1},
    {5865472, "NIKON", "E4500", 1},
    {7438336, "NIKON", "E5000", 1},
    {8998912, "NIKON", "COOLPIX S6", 1},
    {1976352, "CASIO", "QV-2000UX", 1},
    {3217760, "CASIO", "QV-3*00EX", 1},
    {6218368, "CASIO", "QV-5700", 1},
    {6054400, "CASIO", "QV-R41", 1},
    {7530816, "CASIO", "QV-R51", 1},
    {7684000, "CASIO", "QV-4000", 1},
    {4948608, "CASIO", "EX-S100", 1},
    {7542528, "CASIO", "EX-Z50", 1},
    {7753344, "CASIO", "EX-Z55", 1},
    {7426656, "CASIO", "EX-P505", 1},
    {9313536, "CASIO", "EX-P600", 1},
    {10979200, "CASIO", "EX-P700", 1},
    {3178560, "PENTAX", "Optio S", 1},
    {4841984, "PENTAX", "Optio S", 1},
    {6114240, "PENTAX", "Optio S4", 1},
    {10702848, "PENTAX", "Optio 750Z", 1},
    {12582980, "Sinar", "", 0},
    {33292868, "Sinar", "", 0},
    {44390468, "Sinar", "", 0},
};

constexpr const char* kMakers[] = {"Canon",   "NIKON", "EPSON",   "KODAK",  "Kodak", "OLYMPUS", "PENTAX",    "MINOLTA",
                                   "Minolta", "Konica", "CASIO", "Sinar", "Phase One", "SAMSUNG", "Mamiya"};

void TrimTrailingSpaces(char* text) {
    for (size_t n = strlen(text); n > 0 && text[n - 1] == ' '; --n) text[n - 1] = '\0';
}

void CleanNames(RawContext& ctx) {
    for (const char* name : kMakers)
        if (strstr(ctx.maker, name)) snprintf(ctx.maker, sizeof ctx.maker, "%s", name);
    TrimTrailingSpaces(ctx.maker);
    TrimTrailingSpaces(ctx.modelName);
    const size_t n = strlen(ctx.maker);
    if (n > 0 && strncasecmp(ctx.modelName, ctx.maker, n) == 0 && ctx.modelName[n] == ' ')
        memmove(ctx.modelName, ctx.modelName + n + 1, strlen(ctx.modelName + n + 1) + 1);
    if (strncmp(ctx.modelName, "Digital Camera ", 15) == 0)
        memmove(ctx.modelName, ctx.modelName + 15, strlen(ctx.modelName + 15) + 1);
}

// Engine orientation code of a TIFF orientation tag.
int32_t OrientationFromTiff(int32_t tag) {
    static constexpr int32_t kCodes[9] = {0, 0, 1, 3, 2, 4, 6, 7, 5};
    return tag >= 1 && tag <= 8 ? kCodes[tag] : 0;
}

// The pattern word of a repeating CFA whose cell (r, c) has colour
// colours[r * columns + c], seen from a visible area that starts at (top, left).
uint32_t PatternWord(const uint8_t* colours, uint32_t rows, uint32_t columns, uint32_t top, uint32_t left) {
    uint32_t word = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t row = i >> 1, col = i & 1;
        const uint8_t c = colours[((row + top) % rows) * columns + (col + left) % columns];
        word |= uint32_t(c & 3) << (2 * i);
    }
    return word;
}

// Camera-from-XYZ rows (colourCount of them) to cameraToSrgb: multiply by
// sRGB-to-XYZ, normalise each row to sum 1 (its former sum's reciprocal
// becomes the row's multiplier), and take the pseudo-inverse.
void DeriveColour(RawContext& ctx, const float camXyz[4][3]) {
    static constexpr double kSrgbToXyz[3][3] = {
        {0.412453, 0.357580, 0.180423}, {0.212671, 0.715160, 0.072169}, {0.019334, 0.119193, 0.950227}};
    const int colours = std::clamp(ctx.colourCount, 1, 4);
    double camRgb[4][3] = {};
    for (int i = 0; i < colours; ++i) {
        double sum = 0;
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) camRgb[i][j] += camXyz[i][k] * kSrgbToXyz[k][j];
            sum += camRgb[i][j];
        }
        if (std::fabs(sum) < 1e-9) return;  // a matrix that sums to nothing says nothing
        for (int j = 0; j < 3; ++j) camRgb[i][j] /= sum;
        ctx.balanceMultipliers[i] = float(1 / sum);
    }
    // Pseudo-inverse (A^T A)^-1 A^T, 3 x colours.
    double ata[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < colours; ++k) ata[i][j] += camRgb[k][i] * camRgb[k][j];
    const double det = ata[0][0] * (ata[1][1] * ata[2][2] - ata[1][2] * ata[2][1]) -
                       ata[0][1] * (ata[1][0] * ata[2][2] - ata[1][2] * ata[2][0]) +
                       ata[0][2] * (ata[1][0] * ata[2][1] - ata[1][1] * ata[2][0]);
    if (std::fabs(det) < 1e-12) return;
    double inv[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
            inv[i][j] = (ata[a][c] * ata[b][d] - ata[a][d] * ata[b][c]) / det;
        }
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 4; ++k) {
            double v = 0;
            if (k < colours)
                for (int j = 0; j < 3; ++j) v += inv[i][j] * camRgb[k][j];
            ctx.cameraToSrgb[i][k] = float(v);
        }
    ctx.keepCameraColour = 0;
}

// Per-camera settings for the files this engine reads.
void CameraSettings(RawContext& ctx) {
    if (ctx.dngVersion) {
        const uint32_t top = ctx.activeArea[0], left = ctx.activeArea[1];
        if (ctx.activeArea[2] > top && ctx.activeArea[3] > left && ctx.activeArea[2] <= ctx.sensorHeight &&
            ctx.activeArea[3] <= ctx.sensorWidth) {
            ctx.sensorTop = uint16_t(top);
            ctx.sensorLeft = uint16_t(left);
            ctx.visibleHeight = uint16_t(ctx.activeArea[2] - top);
            ctx.visibleWidth = uint16_t(ctx.activeArea[3] - left);
        }
        const uint32_t pattern = pattern_from_cfa_tags(ctx);
        if (pattern != 0xFFFFFFFFu) ctx.cfaPattern = pattern;
        if (ctx.dngColourRows >= 3) {
            ctx.colourCount = std::min(ctx.dngColourRows, 4);
            DeriveColour(ctx, ctx.cameraMatrix);
        }
        return;
    }
    if (strcmp(ctx.maker, "Canon") == 0 && ctx.canonSensor[0] >= 0) {
        const int32_t left = ctx.canonSensor[0], top = ctx.canonSensor[1];
        const int32_t right = ctx.canonSensor[2], bottom = ctx.canonSensor[3];
        if (left < right && top < bottom && right < ctx.sensorWidth && bottom < ctx.sensorHeight) {
            ctx.sensorLeft = uint16_t(left);
            ctx.sensorTop = uint16_t(top);
            ctx.visibleWidth = uint16_t(right - left + 1);
            ctx.visibleHeight = uint16_t(bottom - top + 1);
            // The sensor starts with a red photosite; the masked columns on
            // its left hold the black level.
            static constexpr uint8_t kRggb[4] = {0, 1, 1, 2};
            ctx.cfaPattern = PatternWord(kRggb, 2, 2, uint32_t(top), uint32_t(left));
            ctx.blackFromLeftMargin = left >= 16;
        }
        return;
    }
    camera_corrections(ctx);
}

}  // namespace

void set_camera_names(RawContext& ctx, const char* maker, const char* model) {
    snprintf(ctx.maker, sizeof ctx.maker, "%s", maker);
    snprintf(ctx.modelName, sizeof ctx.modelName, "%s", model);
}

uint32_t pattern_from_cfa_tags(const RawContext& ctx) {
    const uint32_t rows = ctx.cfaRepeat[0], columns = ctx.cfaRepeat[1];
    if (!(rows == 1 || rows == 2 || rows == 4 || rows == 8) || !(columns == 1 || columns == 2)) return 0xFFFFFFFFu;
    for (uint32_t i = 0; i < rows * columns; ++i)
        if (ctx.cfaColours[i] > 2) return 0xFFFFFFFFu;
    return PatternWord(ctx.cfaColours, rows, columns, ctx.sensorTop, ctx.sensorLeft);
}

void raw_context_init(RawContext& ctx) {
    // Defaults come from the member initialisers; vectors are released.
    ctx.~RawContext();
    new (&ctx) RawContext();
    ctx.fileOps = &kCFileOps;
}

int parse_raw_options(RawContext& ctx, int count, const char* const* arguments) {
    for (int i = 0; i < count; ++i) {
        const char* arg = arguments[i];
        if (!arg || (arg[0] != '-' && arg[0] != '+') || !arg[1] || arg[2]) return 1;
        const char* value = i + 1 < count ? arguments[i + 1] : nullptr;
        auto number = [&](int32_t& target) {
            char* end = nullptr;
            if (!value) return false;
            const long v = strtol(value, &end, 10);
            if (*end) return false;
            target = int32_t(v);
            ++i;
            return true;
        };
        switch (arg[1]) {
            case 'q': if (!number(ctx.qualityOverride)) return 1; break;
            case 'k': if (!number(ctx.blackOverride)) return 1; break;
            case 'H': if (!number(ctx.highlightMode)) return 1; break;
            case 'm': if (!number(ctx.medianPassCount)) return 1; break;
            case 'o': if (!number(ctx.outputSpace)) return 1; break;
            case 'w': ctx.cameraBalance = 1; break;
            case 'a': ctx.autoBalance = 1; break;
            case 'h': ctx.halfSizeOutput = 1; break;
            case 'f': ctx.separateGreens = 1; break;
            case 'd': ctx.rawDocumentMode = 1; break;
            case 'j': ctx.rotateFuji = 0; break;
            case 'W': ctx.fixedWhitePoint = 1; break;
            case 'v': ctx.progressMessages = 1; break;
            case '4': ctx.outputBitDepth = 16; break;
            default: return 1;
        }
    }
    if (ctx.cameraMatrixChoice < 0) ctx.cameraMatrixChoice = ctx.cameraBalance;
    return 0;
}

void lookup_camera_matrix(RawContext& ctx, const char* maker, const char* model) {
    char name[160];
    snprintf(name, sizeof name, "%s %s", maker, model);
    for (const CameraEntry& entry : kCameras) {
        if (strncmp(name, entry.prefix, strlen(entry.prefix)) != 0) continue;
        if (entry.black) ctx.blackLevel = entry.black;
        if (entry.colours == 0) return;
        float camXyz[4][3] = {};
        for (int i = 0; i < ctx.colourCount && i < entry.colours && i < 4; ++i)
            for (int j = 0; j < 3; ++j) camXyz[i][j] = entry.matrix[i * 3 + j] / 10000.0f;
        DeriveColour(ctx, camXyz);
        return;
    }
}

void identify_raw(RawContext& ctx) {
    // Step 1: every identification result starts over.
    memset(ctx.maker, 0, sizeof ctx.maker);
    memset(ctx.modelName, 0, sizeof ctx.modelName);
    ctx.sensorHeight = ctx.sensorWidth = ctx.visibleHeight = ctx.visibleWidth = 0;
    ctx.sensorTop = ctx.sensorLeft = ctx.fujiLayoutWidth = 0;
    ctx.orientation = -1;
    ctx.cfaPattern = 0xFFFFFFFFu;
    ctx.blackLevel = ctx.whiteLevel = 0;
    ctx.sampleBits = 12;
    ctx.colourCount = 3;
    ctx.rawImageCount = 1;
    ctx.layeredSensor = 0;
    ctx.keepCameraColour = 1;
    ctx.applyGamma = 1;
    ctx.photositeAspect = 1.0;
    ctx.zeroSamplesDead = 0;
    ctx.rawDataOffset = ctx.metadataLength = 0;
    const float recorded[4] = {0, 1, 0, 0}, balance[4] = {1, 1, 1, 0};
    memcpy(ctx.recordedMultipliers, recorded, sizeof recorded);
    memcpy(ctx.balanceMultipliers, balance, sizeof balance);
    memset(ctx.cameraMatrix, 0, sizeof ctx.cameraMatrix);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) ctx.cameraToSrgb[i][j] = i == j ? 1.0f : 0.0f;
    for (int i = 0; i < 0x4000; ++i) ctx.toneCurve[i] = uint16_t(i);
    ctx.rawLoader = nullptr;
    ctx.tiffIfds.clear();
    ctx.rawIfd = -1;
    ctx.linearization.clear();
    ctx.tiffOrientation = 0;
    ctx.dngVersion = ctx.dngColourRows = 0;
    ctx.timestamp = 0;
    ctx.cfaRepeat[0] = ctx.cfaRepeat[1] = 0;
    memset(ctx.cfaColours, 0, sizeof ctx.cfaColours);
    memset(ctx.activeArea, 0, sizeof ctx.activeArea);
    for (int32_t& v : ctx.canonSensor) v = -1;
    ctx.blackFromLeftMargin = 0;
    ctx.makerData = RawContext::MakerData{};

    // Step 2: byte order, header length, the first 32 bytes, the size.
    ctx.byteOrder = 0x4D4D;
    raw_seek(ctx, 0, SEEK_SET);
    uint8_t head[32] = {};
    raw_read(ctx, head, 1, sizeof head);
    const uint16_t order = uint16_t(head[0] << 8 | head[1]);
    ctx.byteOrder = order;
    const uint32_t headerLength = sget4(ctx, head + 2);
    raw_seek(ctx, 0, SEEK_END);
    ctx.fileSize = raw_tell(ctx);
    const bool tiffOrder = order == 0x4949 || order == 0x4D4D;

    // Step 3: the signature dispatch, first match wins.
    const void* phaseOne = nullptr;
    for (int i = 0; i + 4 <= 32 && !phaseOne; ++i)
        if (memcmp(head + i, "MMMM", 4) == 0 || memcmp(head + i, "IIII", 4) == 0) phaseOne = head + i;
    if (phaseOne) {
        set_camera_names(ctx, "Phase One", "");
        if (phaseOne != head) parse_tiff(ctx, 0);
    } else if (tiffOrder && memcmp(head + 6, "HEAPCCDR", 8) == 0) {
        ctx.rawDataOffset = headerLength;
        parse_ciff(ctx, headerLength, ctx.fileSize - int64_t(headerLength), 0);
    } else if (tiffOrder) {
        parse_tiff(ctx, 0);
    } else if (memcmp(head, "\xFF\xD8\xFF\xE1", 4) == 0 && memcmp(head + 6, "Exif", 4) == 0) {
        raw_seek(ctx, 4, SEEK_SET);
        ctx.byteOrder = 0x4D4D;
        ctx.rawDataOffset = 4 + get2(ctx);
        raw_seek(ctx, ctx.rawDataOffset, SEEK_SET);
        if (raw_getc(ctx) != 0xFF) parse_tiff(ctx, 12);
    } else if (memcmp(head + 25, "ARECOYK", 7) == 0) {
        parse_contax(ctx);
    } else if (memcmp(head, "PXN", 3) == 0) {
        set_camera_names(ctx, "Logitech", "Fotoman Pixtura");
    } else if (memcmp(head, "qktk", 4) == 0) {
        set_camera_names(ctx, "Apple", "QuickTake 100");
    } else if (memcmp(head, "qktn", 4) == 0) {
        set_camera_names(ctx, "Apple", "QuickTake 150");
    } else if (memcmp(head, "FUJIFILM", 8) == 0) {
        parse_fuji_raf(ctx);
    } else if (memcmp(head, "RIFF", 4) == 0) {
        set_camera_names(ctx, "RIFF", "");
    } else if (memcmp(head, "DSC-Image", 9) == 0) {
        set_camera_names(ctx, "Rollei", "");
    } else if (memcmp(head, "PWAD", 4) == 0) {
        set_camera_names(ctx, "Sinar", "");
    } else if (memcmp(head, "\0MRM", 4) == 0) {
        parse_minolta(ctx);
    } else if (memcmp(head, "FOVb", 4) == 0) {
        parse_foveon(ctx);
    } else if (memcmp(head, "CI", 2) == 0) {
        parse_cine(ctx);
    } else {
        for (const FileSizeEntry& entry : kFileSizes)
            if (entry.size == ctx.fileSize) {
                set_camera_names(ctx, entry.make, entry.model);
                break;
            }
    }
    // Step 4: still no maker: not a RAW file, unless a JPEG carries one.
    if (!ctx.maker[0]) {
        ctx.rawImageCount = 0;
        parse_jpeg_container(ctx, 0);
    }
    // Step 5: names.
    CleanNames(ctx);
    if (tiffOrder || ctx.dngVersion) apply_tiff_raw_ifd(ctx);
    if (!ctx.rawImageCount) {
        if (ctx.orientation == -1) ctx.orientation = OrientationFromTiff(ctx.tiffOrientation);
        return;
    }
    // Step 6: defaults.
    if (!ctx.whiteLevel) ctx.whiteLevel = (1 << std::clamp(ctx.sampleBits, 1, 16)) - 1;
    if (!ctx.visibleHeight) ctx.visibleHeight = ctx.sensorHeight;
    if (!ctx.visibleWidth) ctx.visibleWidth = ctx.sensorWidth;
    if (ctx.fujiLayoutWidth) {
        ctx.visibleWidth = uint16_t(std::min(65535, ctx.fujiLayoutWidth + ctx.visibleHeight));
        ctx.visibleHeight = uint16_t(std::max(0, ctx.visibleWidth - 1));
        ctx.photositeAspect = 1;
    }
    if (ctx.visibleHeight == 2624 && ctx.visibleWidth == 3936) {
        ctx.visibleHeight = 2616;
        ctx.visibleWidth = 3896;
    }
    // Step 7: per-camera settings.
    CameraSettings(ctx);
    // Step 8: a name for nameless cameras; an unknown pattern.
    if (!ctx.modelName[0]) snprintf(ctx.modelName, sizeof ctx.modelName, "%dx%d", ctx.visibleWidth, ctx.visibleHeight);
    if (ctx.cfaPattern == 0xFFFFFFFFu) ctx.cfaPattern = 0x94949494;
    // Step 9: the colour table.
    if (ctx.keepCameraColour) lookup_camera_matrix(ctx, ctx.maker, ctx.modelName);
    // Step 10: what cannot be loaded is no RAW file.
    if (!ctx.rawLoader || ctx.visibleHeight < 22) ctx.rawImageCount = 0;
    if (!ctx.sensorHeight) ctx.sensorHeight = ctx.visibleHeight;
    if (!ctx.sensorWidth) ctx.sensorWidth = ctx.visibleWidth;
    if (ctx.colourCount == 3) {
        // The green that shares its row with blue becomes colour 3.
        for (int shift = 0; shift < 32; shift += 4) {
            const uint32_t group = (ctx.cfaPattern >> shift) & 15;
            if (group == 9) ctx.cfaPattern |= 2u << shift;
            if (group == 6) ctx.cfaPattern |= 8u << shift;
        }
    }
    // Step 11: orientation.
    if (ctx.orientation == -1) ctx.orientation = OrientationFromTiff(ctx.tiffOrientation);
}

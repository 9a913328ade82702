// The camera RAW engine's per-decode state and its operations.
//
// One RawContext serves one file: raw_context_init, parse_raw_options,
// identify_raw, the raw loader identification chose, the processing stages
// (raw_stages.h), release_raw_context. The engine reads the file only through
// the nine file operations in the context, and ends a decode early only by
// raising RawEngineAbort from check_allocation, after writing its message
// into the caller's error text; every buffer it owns is released by its
// destructor on that way out too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// The file operations, with the semantics of the C functions of those names,
// over an opaque stream object.
struct RawFileOps {
    size_t (*read)(void* stream, void* buffer, size_t size, size_t count);
    size_t (*write)(void* stream, const void* buffer, size_t size, size_t count);
    int (*seek)(void* stream, int64_t offset, int origin);  // the engine ignores the result
    int (*close)(void* stream);
    char* (*gets)(void* stream, char* buffer, int maximum);
    int (*eof)(void* stream);
    int64_t (*tell)(void* stream);
    int (*getc)(void* stream);  // the next byte, or -1 at the end
    int (*scanf)(void* stream, const char* format, void* target);
};

// Raised by check_allocation when an allocation failed; the message is
// already in the context's error text (or on standard error without one).
struct RawEngineAbort {};

// Largest pixel array the engine allocates (8 bytes per photosite): a header
// claiming 65535 x 65535 is refused before anything is allocated.
constexpr uint64_t kRawMaxArrayBytes = uint64_t(1) << 30;

// One pixel of the pixel array: a 16-bit sample per colour index 0..3.
using RawPixel = std::array<uint16_t, 4>;

struct RawContext;
using RawLoader = void (*)(RawContext&);

// One image file directory of a TIFF-based raw file, as far as choosing and
// loading the raw image needs it.
struct RawTiffIfd {
    uint32_t width = 0, height = 0;
    int32_t bitsPerSample = 0, samples = 1, compression = 0, photometric = 0;
    uint32_t tileWidth = 0, tileLength = 0, rowsPerStrip = 0;
    std::vector<uint32_t> offsets, byteCounts;  // strips or tiles
    uint16_t slices[3] = {0, 0, 0};  // CR2: slice count, slice width, last slice width
};

// About 170 KB (tone curve and histogram): allocate it on the heap.
struct RawContext {
    // Options (raw_context_init sets the defaults; the RAW adapter changes
    // only qualityOverride).
    int32_t flipOverride = -1;
    int32_t blackOverride = -1;
    int32_t qualityOverride = -1;
    int32_t rotateFuji = 1;
    float denoiseThreshold = 0;
    float brightness = 1.0f;
    float multiplierOverride[4] = {0, 0, 0, 0};
    double aberrationScale[4] = {1, 1, 1, 1};
    int32_t medianPassCount = 0;
    int32_t highlightMode = 0;
    int32_t outputSpace = 1;
    int32_t outputBitDepth = 8;
    int32_t halfSizeOutput = 0;
    int32_t separateGreens = 0;
    int32_t rawDocumentMode = 0;
    int32_t fixedWhitePoint = 0;
    uint32_t balanceArea[4] = {0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    int32_t autoBalance = 0;
    int32_t cameraBalance = 0;
    int32_t cameraMatrixChoice = -1;
    const char* darkFramePath = nullptr;
    int32_t progressMessages = 0;

    // Identification results (identify_raw resets them first).
    char maker[64] = {};
    char modelName[64] = {};
    int32_t rawImageCount = 0;
    int32_t layeredSensor = 0;
    uint16_t sensorHeight = 0, sensorWidth = 0;
    uint16_t visibleHeight = 0, visibleWidth = 0;
    uint16_t sensorTop = 0, sensorLeft = 0;
    uint16_t fujiLayoutWidth = 0;
    int32_t orientation = -1;  // bit 0 mirror columns, bit 1 mirror rows, bit 2 swap
    int32_t colourCount = 3;
    uint32_t cfaPattern = 0;
    int32_t blackLevel = 0;
    int32_t whiteLevel = 0;
    int32_t sampleBits = 12;
    uint32_t rawDataOffset = 0;
    uint32_t metadataLength = 0;
    RawLoader rawLoader = nullptr;
    int32_t applyGamma = 1;
    double photositeAspect = 1.0;
    int32_t zeroSamplesDead = 0;
    int32_t keepCameraColour = 1;
    float balanceMultipliers[4] = {1, 1, 1, 0};
    float recordedMultipliers[4] = {0, 1, 0, 0};
    float cameraToSrgb[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    uint16_t toneCurve[0x4000] = {};
    int32_t dataErrorReported = 0;
    int32_t previewReported = 0;  // the embedded-preview notice went out

    // Identification's working values that loaders read (the parsers fill
    // them; the loaders' own needs may add more below).
    uint16_t byteOrder = 0x4949;  // 0x4949 "II" little-endian, 0x4D4D "MM" big-endian
    int64_t fileSize = 0;
    int32_t tiffCompression = 0;
    int32_t tiffPhotometric = 0;
    uint32_t tiffByteCount = 0;
    int32_t tiffOrientation = 0;  // orientation code found in the TIFF data, 0 if none
    int32_t dngVersion = 0;
    int64_t timestamp = 0;  // when the picture was taken (seconds since 1970), 0 if unknown
    std::vector<RawTiffIfd> tiffIfds;          // every directory the TIFF parser read
    int32_t rawIfd = -1;                       // the one holding the raw image
    std::vector<uint16_t> linearization;       // DNG linearization table
    uint32_t cfaRepeat[2] = {0, 0};            // DNG/TIFF-EP CFA repeat (rows, columns)
    uint8_t cfaColours[16] = {};               // the CFA pattern's colours, row by row
    uint32_t activeArea[4] = {0, 0, 0, 0};     // DNG active area: top, left, bottom, right
    int32_t canonSensor[4] = {-1, -1, -1, -1}; // Canon sensor borders: left, top, right, bottom
    int32_t blackFromLeftMargin = 0;           // measure black in the masked columns left of the image
    // What the makers' own tags said (parse_makers.cpp), for the per-camera chain.
    struct MakerData {
        uint16_t border[4] = {0, 0, 0, 0};  // sensor borders: top, left, bottom, right
        uint32_t black[4] = {0, 0, 0, 0};   // black level per colour
        int32_t blackCount = 0;
    } makerData;
    float cameraMatrix[4][3] = {};  // camera-from-XYZ, from the table or DNG tags
    int32_t dngColourRows = 0;      // rows of cameraMatrix a DNG colour matrix filled

    // Working fields of the stages.
    int32_t shrinkShift = 0;
    uint16_t arrayHeight = 0, arrayWidth = 0;
    int32_t demosaicQuality = 0;
    std::vector<RawPixel> pixelArray;  // arrayHeight x arrayWidth
    std::vector<uint8_t> metadata;
    std::vector<uint8_t> outputProfile;
    uint32_t channelHistogram[4][0x2000] = {};

    // Plumbing.
    const RawFileOps* fileOps = nullptr;
    void* stream = nullptr;
    const char* fileName = "";   // first word of every engine message
    char* errorText = nullptr;   // receives check_allocation's message (256 bytes)
    size_t errorTextSize = 0;
};

// Filter colour of photosite (row, col); pattern word 1 selects the fixed
// 16 x 16 pattern, offset by sensorTop and sensorLeft.
int colourAt(const RawContext& context, int row, int col);

// Zeroes the context, sets the option defaults and a table over C files.
void raw_context_init(RawContext& context);
// Command-line-style options ("-x" / "+x"); with none it only settles the
// camera-matrix choice. 0, or 1 for an unknown option or bad number.
int parse_raw_options(RawContext& context, int count, const char* const* arguments);
// Recognises the file and fills the identification results.
void identify_raw(RawContext& context);
// Nothing for a non-null pointer; for null, "%s: Out of memory in %s\n" into
// the error text and RawEngineAbort.
void check_allocation(RawContext& context, const void* pointer, const char* place);
// Allocates arrayHeight x arrayWidth zeroed pixels, refusing sizes above
// kRawMaxArrayBytes or a failed allocation through check_allocation.
void allocate_pixel_array(RawContext& context, const char* place);
// The first data error of a decode goes to standard error; later ones are silent.
void report_data_error(RawContext& context);
// Frees the metadata, the output profile and the pixel array.
void release_raw_context(RawContext& context);
// Camera table lookup: black level, camera matrix, cameraToSrgb.
void lookup_camera_matrix(RawContext& context, const char* maker, const char* model);

// The RAW engine's shared plumbing: the filter colour of a photosite, the
// allocation check that ends a decode, the pixel array, the one-time data
// error report and the release of what a context owns.
#include "raw/raw_context.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "image/checked_math.h"

namespace {

// The fixed 16 x 16 pattern that pattern word 1 selects.
constexpr uint8_t kPattern16[16][16] = {
    {2, 1, 1, 3, 2, 3, 2, 0, 3, 2, 3, 0, 1, 2, 1, 0}, {0, 3, 0, 2, 0, 1, 3, 1, 0, 1, 1, 2, 0, 3, 3, 2},
    {2, 3, 3, 2, 3, 1, 1, 3, 3, 1, 2, 1, 2, 0, 0, 3}, {0, 1, 0, 1, 0, 2, 0, 2, 2, 0, 3, 0, 1, 3, 2, 1},
    {3, 1, 1, 2, 0, 1, 0, 2, 1, 3, 1, 3, 0, 1, 3, 0}, {2, 0, 0, 3, 3, 2, 3, 1, 2, 0, 2, 0, 3, 2, 2, 1},
    {2, 3, 3, 1, 2, 1, 2, 1, 2, 1, 1, 2, 3, 0, 0, 1}, {1, 0, 0, 2, 3, 0, 0, 3, 0, 3, 0, 3, 2, 1, 2, 3},
    {2, 3, 3, 1, 1, 2, 1, 0, 3, 2, 3, 0, 2, 3, 1, 3}, {1, 0, 2, 0, 3, 0, 3, 2, 0, 1, 1, 2, 0, 1, 0, 2},
    {0, 1, 1, 3, 3, 2, 2, 1, 1, 3, 3, 0, 2, 1, 3, 2}, {2, 3, 2, 0, 0, 1, 3, 0, 2, 0, 1, 2, 3, 0, 1, 0},
    {1, 3, 1, 2, 3, 2, 3, 2, 0, 2, 0, 1, 1, 0, 3, 0}, {0, 2, 0, 3, 1, 0, 0, 1, 1, 3, 3, 2, 3, 2, 2, 1},
    {2, 1, 3, 2, 3, 1, 2, 1, 0, 3, 0, 2, 0, 2, 0, 2}, {0, 3, 1, 0, 0, 2, 0, 3, 2, 1, 3, 1, 1, 3, 1, 3},
};

}  // namespace

int colourAt(const RawContext& context, int row, int col) {
    if (context.cfaPattern == 1)
        return kPattern16[(row + context.sensorTop) & 15][(col + context.sensorLeft) & 15];
    return int(context.cfaPattern >> ((((row << 1) & 14) | (col & 1)) << 1) & 3);
}

void check_allocation(RawContext& context, const void* pointer, const char* place) {
    if (pointer) return;
    if (context.errorText && context.errorTextSize > 0)
        snprintf(context.errorText, context.errorTextSize, "%s: Out of memory in %s\n", context.fileName, place);
    else
        fprintf(stderr, "%s: Out of memory in %s\n", context.fileName, place);
    throw RawEngineAbort{};
}

void allocate_pixel_array(RawContext& context, const char* place) {
    uint64_t bytes = 0;
    // Sizes the engine will not hold count as an allocation that failed.
    const bool fits = CheckedMul3(context.arrayHeight, context.arrayWidth, sizeof(RawPixel), &bytes) &&
                      bytes <= kRawMaxArrayBytes;
    const void* made = nullptr;
    if (fits) {
        try {
            context.pixelArray.assign(size_t(context.arrayHeight) * context.arrayWidth, RawPixel{});
            made = context.pixelArray.data();
        } catch (const std::bad_alloc&) {
            context.pixelArray.clear();
        }
        // An empty array has no data pointer, yet nothing failed.
        if (bytes == 0) made = &context;
    }
    check_allocation(context, made, place);
}

void report_data_error(RawContext& context) {
    if (context.dataErrorReported) return;
    fprintf(stderr, "%s: ", context.fileName);
    const bool atEnd = context.fileOps && context.fileOps->eof(context.stream);
    if (atEnd) {
        fprintf(stderr, "Unexpected end of file\n");
    } else {
        const int64_t at = context.fileOps ? context.fileOps->tell(context.stream) : 0;
        fprintf(stderr, "Corrupt data near 0x%" PRIx64 "\n", uint64_t(at));
    }
    context.dataErrorReported = 1;
}

void release_raw_context(RawContext& context) {
    std::vector<RawPixel>().swap(context.pixelArray);
    std::vector<uint8_t>().swap(context.metadata);
    std::vector<uint8_t>().swap(context.outputProfile);
}

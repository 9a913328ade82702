// Area-averaging resize through stb_image_resize (box filter, sample values
// averaged as stored, as image tools do for sRGB pictures by default).
#include "converter/scale.h"

#include <algorithm>
#include <new>
#include <vector>

#include "image/checked_math.h"
#include "image/image_format.h"
#include "image/zt_image.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
#include <stb/stb_image_resize.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool ScaleImage(ZtImage& image, int32_t width, int32_t height, std::string* error) {
    const int32_t sw = image.Width(), sh = image.Height();
    const auto fail = [&] {
        *error = "not enough memory to scale the picture to " + std::to_string(width) + " x " +
                 std::to_string(height);
        return false;
    };
    if (sw <= 0 || sh <= 0 || width <= 0 || height <= 0 || !image.HasPixels()) return fail();

    // The filter reads rows of three bytes at a fixed distance. 24-bit storage
    // is read in place; any other depth is first expanded to such rows. Rows
    // are kept bottom-up on both sides: the resize is the same either way.
    const uint8_t* source = nullptr;
    size_t sourceStride = 0;
    std::vector<uint8_t> expanded;
    if (image.BitsPerPixel() == 24) {
        source = image.RowBits(0);
        sourceStride = image.RowStride();
    } else {
        uint64_t bytes = 0;
        if (!CheckedMul3(uint64_t(sw), uint64_t(sh), 3, &bytes) || bytes > SIZE_MAX) return fail();
        try {
            expanded.resize(size_t(bytes));
        } catch (const std::bad_alloc&) {
            return fail();
        }
        for (int32_t y = 0; y < sh; ++y) {
            uint8_t* row = expanded.data() + size_t(y) * size_t(sw) * 3;
            for (int32_t x = 0; x < sw; ++x) {
                const ZtQuad q = image.ColorAtUnchecked(x, y, false);
                row[3 * x] = q.blue;
                row[3 * x + 1] = q.green;
                row[3 * x + 2] = q.red;
            }
        }
        source = expanded.data();
        sourceStride = size_t(sw) * 3;
    }

    ZtImage scaled(ImageFormat::Unknown);
    if (!scaled.Create(uint32_t(width), uint32_t(height), 24, image.FormatId())) return fail();
    // A picture a decoder delivered reduced by d holds the full one's width / d
    // pixels and a last column standing for fewer than d: the filter reads
    // that exact span (the same for rows: the short last line of the picture
    // is storage row 0), so every art pixel averages the area it covers.
    // A whole picture is the span (0, 0) to (1, 1), the filter's plain resize.
    const uint32_t d = image.Reduction();
    const float usedWidth = d <= 1 ? 1 : std::min(1.0f, float(double(image.FullWidth()) / d / sw));
    const float usedHeight = d <= 1 ? 1 : std::min(1.0f, float(double(image.FullHeight()) / d / sh));
    if (!stbir_resize_region(source, sw, sh, int(sourceStride), scaled.RowBits(0), width, height,
                             int(scaled.RowStride()), STBIR_TYPE_UINT8, 3, STBIR_ALPHA_CHANNEL_NONE, 0,
                             STBIR_EDGE_CLAMP, STBIR_EDGE_CLAMP, STBIR_FILTER_BOX, STBIR_FILTER_BOX,
                             STBIR_COLORSPACE_LINEAR, nullptr, 0, 1 - usedHeight, usedWidth, 1))
        return fail();
    return image.TakeOver(scaled, false) || fail();
}

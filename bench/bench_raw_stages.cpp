// The RAW engine's processing stages on a 24-megapixel Bayer mosaic (6000 x
// 4000, 12-bit samples with photographic structure): megapixels per second
// for each demosaicing method, and for the whole chain from scale_colors to
// the output curve with each method.
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "raw/raw_context.h"
#include "raw/raw_stages.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

std::unique_ptr<RawContext> MakeMosaic() {
    auto ctx = std::make_unique<RawContext>();
    ctx->cfaPattern = 0x94949494;
    ctx->colourCount = 3;
    ctx->visibleHeight = ctx->arrayHeight = kHeight;
    ctx->visibleWidth = ctx->arrayWidth = kWidth;
    ctx->whiteLevel = 4095;
    ctx->blackLevel = 64;
    ctx->keepCameraColour = 0;
    ctx->cameraToSrgb[0][0] = 1.6f, ctx->cameraToSrgb[0][1] = -0.5f, ctx->cameraToSrgb[0][2] = -0.1f;
    ctx->cameraToSrgb[1][0] = -0.2f, ctx->cameraToSrgb[1][1] = 1.4f, ctx->cameraToSrgb[1][2] = -0.2f;
    ctx->cameraToSrgb[2][0] = 0.0f, ctx->cameraToSrgb[2][1] = -0.5f, ctx->cameraToSrgb[2][2] = 1.5f;
    allocate_pixel_array(*ctx, "bench");
    const bench::Noise noise(7);
    for (int row = 0; row < kHeight; ++row)
        for (int col = 0; col < kWidth; ++col) {
            const int c = colourAt(*ctx, row, col);
            const double v = noise.At(col / 97.0 + c * 3.1, row / 89.0) * 0.8 + noise.At(col / 7.0, row / 5.0) * 0.2;
            ctx->pixelArray[size_t(row) * kWidth + size_t(col)][c] = uint16_t(64 + v * 4000);
        }
    return ctx;
}

}  // namespace

int main() {
    using bench::Clock;
    const auto original = MakeMosaic();
    const double megapixels = double(kWidth) * kHeight / 1e6;
    const struct {
        const char* name;
        void (*run)(RawContext&);
    } methods[] = {{"bilinear", bilinear_interpolate},
                   {"VNG", vng_interpolate},
                   {"PPG", ppg_demosaic},
                   {"AHD", ahd_interpolate}};
    std::vector<uint8_t> curve(0x10000);
    printf("RAW stages on a %dx%d mosaic (%.1f MP)\n", kWidth, kHeight, megapixels);
    for (const auto& method : methods) {
        auto ctx = std::make_unique<RawContext>(*original);
        const auto t0 = Clock::now();
        scale_colors(*ctx);
        unshrink(*ctx);
        const auto t1 = Clock::now();
        method.run(*ctx);
        const auto t2 = Clock::now();
        convert_to_rgb(*ctx);
        stretch(*ctx);
        build_output_curve(*ctx, curve.data());
        const auto t3 = Clock::now();
        printf("  %-8s demosaic %6.1f MP/s (%.2f s)   whole chain %6.1f MP/s (%.2f s)\n", method.name,
               megapixels / bench::Seconds(t1, t2), bench::Seconds(t1, t2), megapixels / bench::Seconds(t0, t3),
               bench::Seconds(t0, t3));
    }
    return 0;
}

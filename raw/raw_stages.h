// The RAW engine's processing stages: repairs, levels and white balance,
// demosaicing, Fuji rotation, colour conversion with its histogram, aspect
// correction, the 8-bit output curve and the orientation-aware index. The
// RAW adapter calls them in this order after the raw loader has run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raw/raw_context.h"

void fill_zero_pixels(RawContext& context);
// Repairs the dead photosites listed in the nearest ".badpixels" file found
// from the working directory upward.
void fix_bad_pixels(RawContext& context);
void scale_colors(RawContext& context);
void unshrink(RawContext& context);
void bilinear_interpolate(RawContext& context);
void vng_interpolate(RawContext& context);
void ppg_demosaic(RawContext& context);
void ahd_interpolate(RawContext& context);
void median_smooth(RawContext& context);
void fuji_rotate(RawContext& context);
void convert_to_rgb(RawContext& context);
void stretch(RawContext& context);
// Fills 65536 entries: the 99th-percentile white point and the BT.709 curve.
void build_output_curve(RawContext& context, uint8_t* outputCurve);
// Index into the pixel array of output position (row, col).
size_t oriented_index(const RawContext& context, int row, int col);

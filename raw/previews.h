// The JPEG previews that cameras store beside their raw data, for files whose
// raw data this engine does not decode (and for callers who ask for the
// camera's own rendering).
#pragma once

#include <cstdint>
#include <vector>

#include "raw/raw_context.h"

// A JPEG inside the file: where it lies and the size its frame header gives.
struct RawPreview {
    int64_t offset = 0;
    int64_t length = 0;
    uint32_t width = 0, height = 0;
};

// Every embedded preview of the identified file that is a JPEG whose frame
// header parses (8-bit samples, baseline, extended or progressive), whose
// pixels fit the image ceiling, and that lies inside the file; the most
// pixels first, equal ones in the order found. A file that is itself a JPEG
// has none: it is the JPEG decoder's. Leaves the context's byte order as it
// was; the stream's position is not kept.
std::vector<RawPreview> find_raw_previews(RawContext& context);

// "camera raw data of MAKER MODEL is not decoded here; converting the
// camera's embedded preview (W x H)" on standard error, once per decode.
void report_preview_fallback(RawContext& context, uint32_t width, uint32_t height);

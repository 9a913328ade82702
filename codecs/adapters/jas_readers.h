// The JPEG-2000 family adapter's own readers for the uncompressed members of
// the family: PNM (PBM, PGM, PPM), PGX and Sun raster. Each turns a whole file
// held in memory into components of the precision the format gives, the same
// shape the JPEG 2000 codec hands back, so one output stage serves them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jas {

// One component: samples row by row, top line first.
struct Component {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t precision = 0;  // bits per sample, 1..16
    bool isSigned = false;
    std::vector<int32_t> samples;  // width * height values; empty after a header-only read
};

struct Picture {
    std::vector<Component> components;
};

// Each reader parses data[0..size) from the start of the file. With headerOnly
// it stops once the components' sizes are known. Damaged or truncated data
// raises "error: cannot load image data"; a picture over the memory ceiling
// raises "ZTIMAGE_MAX_MEMORY exceeded". Nothing is allocated before the sizes
// were checked against the ceiling and against what the data can hold.
void ReadPnm(const uint8_t* data, size_t size, bool headerOnly, Picture& out);
void ReadPgx(const uint8_t* data, size_t size, bool headerOnly, Picture& out);
void ReadSunRaster(const uint8_t* data, size_t size, bool headerOnly, Picture& out);

}  // namespace jas

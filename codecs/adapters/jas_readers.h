// The JPEG-2000 family adapter's own readers for the uncompressed members of
// the family: PNM (PBM, PGM, PPM), PGX and Sun raster. Each reads its file
// from the stream's position and writes the picture's rows straight into the
// image, so no sample is held twice: three colour samples a pixel make a
// 24-bit picture, one sample a grey picture over a ramp of min(precision, 8)
// bits (rounded up to 1, 4 or 8). Samples are not rescaled: a sample keeps its
// value below 2^precision, and one wider than 8 bits keeps its top 8 bits.
#pragma once

#include <cstdint>

class ZtFile;
class ZtImage;

namespace jas {

// What the header says about the picture.
struct Layout {
    uint32_t width = 0;
    uint32_t height = 0;
    bool colour = false;  // 24-bit picture; otherwise one grey component
};

// The format ids the picture is created with: colour pictures carry the
// member's own id, grey ones the id the caller asked for.
struct Ids {
    uint32_t colour;
    uint32_t grey;
};

// With headerOnly each reader stops once the size is known (reading at most
// the first MiB: headers are short, but PNM allows comments of any length)
// and leaves the image alone. Otherwise it creates the picture and fills its
// rows. Damaged or truncated data raises "error: cannot load image data"; a
// picture over the memory ceiling raises "ZTIMAGE_MAX_MEMORY exceeded".
// Nothing is allocated before the sizes were checked against the ceiling and
// against what the stream can hold.
Layout ReadPnm(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids);
Layout ReadPgx(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids);
Layout ReadSunRaster(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids);

}  // namespace jas

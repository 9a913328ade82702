// ZtImageJAS: the JPEG-2000 family: JP2 files and bare JPEG 2000 code streams
// through OpenJPEG, and PGX, PNM and Sun raster files through readers of the
// adapter's own. One class serves the five format ids; the file's content,
// not the id asked for, decides how it is read.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;

class ZtImageJAS : public ZtImage {
public:
    ZtImageJAS() : ZtImage(ImageFormat::Unknown) {}

    // Decodes the picture at the stream's position. formatId is the id the
    // loader asked for (Jp2 to SunRaster, or 0 from the pass over every
    // decoder); it only becomes the format id of a picture shown through the
    // grey path. Three like components give a 24-bit picture; otherwise the
    // component frameIndex is shown over a grey ramp and frameCount tells how
    // many components there are. True on success and in dimensions-only mode
    // (abortCode -1, leaving "output dimensions returned"); false with the
    // reason in lastError. The stream stays open.
    bool Decode(ZtFile* stream, uint32_t formatId);
};

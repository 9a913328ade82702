// ZtImageWBMP: wireless bitmaps of type 0 (uncompressed black and white),
// decoded into a 1-bit image with a black-and-white palette.
#pragma once

#include "image/zt_image.h"

class ZtFile;

class ZtImageWBMP : public ZtImage {
public:
    ZtImageWBMP() : ZtImage(ImageFormat::Wbmp) {}
    bool Decode(ZtFile* stream);
};

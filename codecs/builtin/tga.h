// Truevision TGA: colour-mapped, true-colour and grey pictures, plain or
// run-length encoded, at 8, 15, 16, 24 or 32 bits per pixel. True-colour
// pixels become 24-bit images (32 bits add an alpha plane); colour-mapped and
// grey pixels become 8-bit images (16-bit grey carries its alpha byte along).
#pragma once

#include "image/zt_image.h"

class ZtFile;

class ZtImageTGA : public ZtImage {
public:
    ZtImageTGA() : ZtImage(ImageFormat::Targa) {}
    bool Decode(ZtFile* stream);
};

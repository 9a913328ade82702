// ZtImageSKA: SKA pictures, a 9-byte header, a 256-colour palette and
// uncompressed 8-bit pixels, decoded into an 8-bit palette image. Failures
// leave no message.
#pragma once

#include "image/zt_image.h"

class ZtFile;

class ZtImageSKA : public ZtImage {
public:
    ZtImageSKA() : ZtImage(ImageFormat::Ska) {}
    bool Decode(ZtFile* stream);
};

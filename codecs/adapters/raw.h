// ZtImageRAW: camera RAW files through the engine in raw/: identification,
// the raw loader, the processing stages and an 8-bit output curve, turned
// upright by the orientation the engine found.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;

class ZtImageRAW : public ZtImage {
public:
    ZtImageRAW() : ZtImage(ImageFormat::CameraRaw) {}
    // Decoder option bits 0-1 (DecoderOption(ImageFormat::CameraRaw)) pick
    // the demosaicing: 0 bilinear, 1 VNG, 2 PPG, 3 AHD.
    bool Decode(ZtFile* stream);
};

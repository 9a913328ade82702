// ZtImageRAW: camera RAW files through the engine in raw/: identification,
// the raw loader, the processing stages and an 8-bit output curve, turned
// upright by the orientation the engine found.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;

class ZtImageRAW : public ZtImage {
public:
    // Decoder option bits (DecoderOption(ImageFormat::CameraRaw)): bits 0-1
    // pick the demosaicing (0 bilinear, 1 VNG, 2 PPG, 3 AHD); this bit asks
    // for the camera's embedded JPEG preview even where the raw data decodes.
    // Without it, a file whose raw data is not decoded here converts its
    // largest embedded preview when it has a usable one.
    static constexpr uint32_t kOptionEmbeddedPreview = 0x100;

    ZtImageRAW() : ZtImage(ImageFormat::CameraRaw) {}
    bool Decode(ZtFile* stream);
};

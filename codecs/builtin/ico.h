// ZtImageICO: Windows icons and cursors. One directory entry is decoded: a
// bitmap (XOR pixels and a 1-bit AND mask) or an embedded PNG.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;

class ZtImageICO : public ZtImage {
public:
    ZtImageICO() : ZtImage(ImageFormat::Icon) {}

    // Decodes the entry frameIndex names. frameCount is the directory's entry
    // count afterwards, even when the entry number is refused.
    bool Decode(ZtFile* stream);
};

// Windows and OS/2 bitmaps: 1-, 2-, 4- and 8-bit palette images (plain, RLE8,
// RLE4), 16- and 32-bit masked pixels and 24-bit pixels, with or without the
// 14-byte file header.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;

class ZtImageBMP : public ZtImage {
public:
    ZtImageBMP() : ZtImage(ImageFormat::Bmp) {}
    bool Decode(ZtFile* stream);

    // Reads and normalises the info header that starts at the stream's
    // position. withFileHeader tells whether the stream began with "BM", which
    // lets the newer long headers through on their own merits.
    static bool ReadInfoHeader(ZtFile* stream, ZtInfoHeader* info, bool withFileHeader = false);
};

// ZtImageWMF: vector metafiles turned into a 24-bit picture. Placeable
// Windows metafiles (a 22-byte placeable header in front of a standard
// metafile) and enhanced metafiles; the records are played by the
// library's own metafile player over cairo.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/zt_image.h"

class ZtFile;

// A metafile read into memory and found sound enough to play.
struct ZtMetafile {
    bool enhanced = false;
    std::vector<uint8_t> bytes;  // WMF: from the metafile header on; EMF: the whole file
    // Placeable box (left, top, right, bottom) and units per inch (WMF);
    // bounds in device pixels (EMF).
    int16_t box[4] = {0, 0, 0, 0};
    uint16_t unitsPerInch = 0;
    int32_t bounds[4] = {0, 0, 0, 0};
};

class ZtImageWMF : public ZtImage {
public:
    ZtImageWMF() : ZtImage(ImageFormat::Metafile) {}

    // width and height, when positive, replace the size the file asks for;
    // the loader passes 0 and 0.
    bool Decode(ZtFile* stream, int32_t width = 0, int32_t height = 0);

    static constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
    static constexpr int32_t kMaxSide = 4000;

    // Key, checksum (XOR of the ten words before it) and 1..2540 units per inch.
    static bool IsPlaceableHeader(const uint8_t* header);
    // A placeable Windows metafile starting at the stream's position, or null.
    static std::unique_ptr<ZtMetafile> ReadWindowsMetafile(ZtFile* stream);
    // An enhanced metafile from the stream's position to its end, or null.
    static std::unique_ptr<ZtMetafile> ReadEnhancedMetafile(ZtFile* stream);
    // At most 4000 pixels a side, keeping the proportions (integer arithmetic).
    static void ClampSize(int32_t& width, int32_t& height);
};

// ZtImagePNG: PNG files through libpng, read over the image library's streams.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;
struct ZtPngSession;

class ZtImagePNG : public ZtImage {
public:
    ZtImagePNG() : ZtImage(ImageFormat::Png) {}

    // Decodes the PNG at the stream's position. True on success and when only
    // the dimensions were asked for (abortCode -1); false with lastError set.
    bool Decode(ZtFile* stream);

    // Widens one storage row of 2-bit pixels to 4-bit pixels in place; the row
    // must hold Width() 4-bit pixels.
    void ExpandTwoBitRow(uint8_t* row) const;

private:
    // Everything that may end in libpng's long jump; session owns every
    // resource, so nothing in this frame needs a destructor.
    DecodeOutcome ReadWithRecovery(ZtPngSession& session, ZtFile* stream);
    bool SetUpFromInfo(ZtPngSession& session);
    bool ReadRows(ZtPngSession& session);
};

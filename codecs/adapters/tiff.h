// ZtImageTIF: one page of a TIFF file through libtiff, read over the image
// library's byte stream. Colour pages go through libtiff's RGBA reader; plain
// 8-bit RGB, grey, bilevel, palette, grey + alpha and CIE L*a*b* pages are
// read into the rows and converted here.
#pragma once

#include <cstdint>

#include "image/zt_image.h"

class ZtFile;
struct TiffSession;
struct TiffPage;
enum class DecodeOutcome;

class ZtImageTIF : public ZtImage {
public:
    ZtImageTIF() : ZtImage(ImageFormat::Tiff) {}

    // Decodes the page frameIndex of the TIFF at the stream's position and
    // sets frameCount to the file's page count. True on success and when only
    // the dimensions were asked for (abortCode -1); false with lastError set.
    bool Decode(ZtFile* stream);

private:
    DecodeOutcome DecodePage(TiffSession& session);
    void ReadColourPage(TiffSession& session, const TiffPage& page);
    void ReadSamplePage(TiffSession& session, const TiffPage& page);
    void TurnUpright(uint16_t orientation);
};

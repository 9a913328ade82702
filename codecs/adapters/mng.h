// ZtImageMNG: MNG animations and JNG images through libmng, read over the
// image library's streams.
#pragma once

#include "image/zt_image.h"

class ZtFile;
struct ZtMngSession;

class ZtImageMNG : public ZtImage {
public:
    ZtImageMNG() : ZtImage(ImageFormat::Mng) {}

    // Decodes the frame chosen by frameIndex and sets frameCount. True on
    // success and when only the dimensions were asked for (abortCode -1);
    // false with lastError set.
    bool Decode(ZtFile* stream);

private:
    // Drives libmng over the stream; session owns the handle and buffers.
    DecodeOutcome Run(ZtMngSession& session, ZtFile* stream);
};

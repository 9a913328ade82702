// ZtImageGIF: GIF87a / GIF89a decoder with its own buffered reader, LZW
// decompressor and interlace handling. Decodes the frames up to frameIndex and
// composes them on the logical screen by each frame's disposal method.
#pragma once

#include <array>
#include <cstdint>

#include "image/zt_image.h"

class ZtGifDecode;

class ZtImageGIF : public ZtImage {
public:
    ZtImageGIF();
    // True on success; every failure is a plain false without a message of its own.
    bool Decode(ZtFile* stream);

    // Loop count of a looping application block, -1 when the file has none.
    int32_t LoopCount() const { return loopCount; }
    // Text of the last comment block's first sub-block.
    const char* Comment() const { return comment.data(); }

private:
    // The decode (LZW, read-ahead, frame composition) lives in gif.cpp; it
    // fills this image and the two results below.
    friend class ZtGifDecode;
    int32_t loopCount = -1;
    std::array<char, 256> comment{};
};

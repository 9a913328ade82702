// ZtImageGIF: GIF87a / GIF89a decoder with its own buffered reader, LZW
// decompressor and interlace handling. Decodes the frames up to frameIndex and
// composes them on the logical screen by each frame's disposal method.
#pragma once

#include <array>
#include <cstdint>

#include "image/zt_image.h"

class RowCursor;

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
    struct ScreenDescriptor {
        uint32_t width;
        uint32_t height;
        uint8_t flags;
    };
    struct ImageDescriptor {
        uint32_t left;
        uint32_t top;
        uint32_t width;
        uint32_t height;
        uint8_t flags;
    };
    // Values of the graphic control block that is current.
    struct GraphicControl {
        uint8_t flags;
        uint16_t delay;
        uint8_t transparentIndex;
    };
    struct ComposeState;

    bool DecodeStream(ZtFile* stream);
    // 1: continue the scan, 0: stop it, -1: the decode fails.
    int DecodeFrame(ZtFile* stream, ComposeState& state);
    int32_t CountFrames(ZtFile* stream, ScreenDescriptor& screen);
    bool ReadExtension(ZtFile* stream);
    int32_t DecompressFrame(ZtFile* stream, RowCursor* cursor, int32_t lineWidth,
                            int32_t& badCodeCount);
    // Follows the codes of one frame's data without expanding them.
    int32_t SkipCodes(ZtFile* stream, int32_t& badCodeCount);
    int32_t NextByte(ZtFile* stream);
    int32_t NextSubBlockByte(ZtFile* stream);
    int32_t NextCode(ZtFile* stream);
    void ResetDecoder(int32_t codeSize);
    int32_t RestartTable(ZtFile* stream);
    void StartFrameData(const ImageDescriptor& descriptor, uint32_t depth);
    int32_t EmitLine(RowCursor* cursor, uint8_t* line, int32_t length);
    int32_t SkipToNextDescriptor(ZtFile* stream, int32_t position);
    void Resynchronise(ZtFile* stream, int32_t dataStart, int32_t badCodeCount);
    void Overlay(const ZtImageGIF& frameImage, const ImageDescriptor& descriptor);

    static constexpr int32_t kReadAhead = 16383;
    static constexpr int32_t kTableSize = 4096;

    GraphicControl control{};
    int32_t loopCount = -1;
    std::array<char, 256> comment{};

    // Buffered reader: read-ahead block plus one guard byte.
    std::array<uint8_t, kReadAhead + 1> readBuffer{};
    int32_t readIndex = 0x4000;
    int32_t fillCount = 0;

    // Interlace and line state of the frame being decoded.
    bool interlaced = false;
    bool interlaceDone = false;
    int32_t frameHeight = 0;
    int32_t frameDepth = 8;
    int32_t step = 8;
    int32_t rowOffset = 0;
    int32_t pass = 0;

    // LZW state.
    int32_t minimumSize = 0;
    int32_t codeSize = 0;
    int32_t clearCode = 0;
    int32_t endCode = 0;
    int32_t firstFree = 0;
    int32_t nextFree = 0;
    int32_t topCode = 0;
    int32_t bitsLeft = 0;
    uint32_t bitBuffer = 0;
    int32_t bytesLeft = 0;
    int32_t blockPos = 0;
    int32_t oldCode = 0;
    int32_t firstChar = 0;
    std::array<uint8_t, 255> subBlock{};

    // LZW tables.
    std::array<uint8_t, kTableSize> stack{};
    std::array<uint8_t, kTableSize> suffix{};
    std::array<uint16_t, kTableSize> prefix{};
};

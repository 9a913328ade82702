// GIF decoder (GIF87a and GIF89a, CompuServe's "Graphics Interchange Format"
// specifications of 1987 and 1989).
//
// Frames are decoded in file order up to frameIndex. Each frame is decoded
// into a frame-sized image of its own and then laid over a screen-sized
// background made according to the previous frame's disposal method, so the
// result shows the requested frame as it appears on the logical screen. Files
// without a global table whose first frame is smaller than the screen in both
// directions are composed frame by frame onto a 24-bit canvas instead.
#include "codecs/builtin/gif.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "codecs/builtin/row_cursor.h"
#include "image/byte_reader.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

constexpr int kBlockImage = 0x2C;
constexpr int kBlockExtension = 0x21;
constexpr int kBlockTrailer = 0x3B;

constexpr uint32_t kCodeMask[16] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                    0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                    0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF};

// The LZW output stack never holds more than this many bytes, so a chain of
// table entries that loops (possible only in damaged data) still ends.
constexpr size_t kStackLimit = 4094;

uint32_t FrameDepth(uint32_t entries) {
    if (entries <= 2) return 1;
    if (entries <= 16) return 4;
    return 8;
}

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

// Where the frames of one decode meet: the screen, the global table, the
// disposal of the previous frame and the pictures kept between frames.
struct ComposeState {
    ScreenDescriptor screen{};
    bool hasGlobal = false;
    std::array<uint8_t, 768> globalTable{};
    int score = 0;
    bool canvasMode = false;
    int32_t decoded = 0;  // frames decoded in this call (j)
    int32_t composed = 0;
    int32_t backgroundIndex = -1;
    uint8_t previousDisposal = 0;
    std::unique_ptr<ZtImage> previous;
    std::unique_ptr<ZtImage> canvas;
};

// Lays a decoded frame over the screen-sized background at the frame's
// place; pixels of the frame's transparent index leave the background.
void Overlay(ZtImage& bg, const ZtImage& frameImage, const ImageDescriptor& d);

}  // namespace

// One decode: the read-ahead, the LZW state and tables, and the interlace
// walk of the frame being decoded. It lives on the heap for the length of
// one Decode call; the image keeps only the decoded picture and results.
class ZtGifDecode {
public:
    explicit ZtGifDecode(ZtImageGIF& target) : image(target) {}
    DecodeOutcome DecodeStream(ZtFile* stream);

private:
    // 1: continue the scan, 0: stop it, -1: the decode fails.
    int DecodeFrame(ZtFile* stream, ComposeState& state);
    int32_t CountFrames(ZtFile* stream, ScreenDescriptor& screen);
    bool ReadExtension(ZtFile* stream);
    int32_t DecompressFrame(ZtFile* stream, RowCursor* cursor, int32_t lineWidth, int32_t& badCodeCount);
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

    static constexpr int32_t kReadAhead = 16383;
    static constexpr int32_t kTableSize = 4096;

    ZtImageGIF& image;
    GraphicControl control{};

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

ZtImageGIF::ZtImageGIF() : ZtImage(ImageFormat::Gif) {}

bool ZtImageGIF::Decode(ZtFile* stream) {
    if (!stream) return false;
    // GIF failures carry no message of their own.
    return GuardDecode(*this, nullptr, [&] { return std::make_unique<ZtGifDecode>(*this)->DecodeStream(stream); });
}

DecodeOutcome ZtGifDecode::DecodeStream(ZtFile* stream) {
    std::array<uint8_t, 13> head{};
    if (stream->ReadBlocks(head.data(), 1, head.size()) != head.size()) return DecodeOutcome::Failed;
    // "GIF8" and any two bytes: 87a, 89a and look-alikes are all accepted.
    if (memcmp(head.data(), "GIF8", 4) != 0) return DecodeOutcome::Failed;

    ComposeState state;
    state.screen = ScreenDescriptor{Get16LE(&head[6]), Get16LE(&head[8]), head[10]};
    if (image.SizeOnlyRequested()) return image.ReportSize(state.screen.width, state.screen.height, ImageFormat::Gif);

    state.hasGlobal = (state.screen.flags & 0x80) != 0;
    if (state.hasGlobal) {
        const size_t bytes = size_t(2u << (state.screen.flags & 7)) * 3;
        // A short table leaves its missing entries black.
        stream->ReadBlocks(state.globalTable.data(), 1, bytes);
    }
    state.score = state.hasGlobal ? 0 : 1;

    const int32_t count = CountFrames(stream, state.screen);
    image.frameCount = count;
    if (image.frameIndex < 0 || image.frameIndex >= count) return DecodeOutcome::Failed;
    if (count == 1) state.score = 0;

    bool expectBlock = true;
    for (;;) {
        const int32_t b = stream->GetByte();
        if (b < 0) break;
        if (image.abortCode > 0) return DecodeOutcome::Failed;
        if (!expectBlock && b != 0) continue;
        if (b == kBlockExtension) {
            if (!ReadExtension(stream)) break;
        } else if (b == kBlockTrailer) {
            break;
        } else if (b == kBlockImage) {
            const int result = DecodeFrame(stream, state);
            if (result < 0) return DecodeOutcome::Failed;
            if (result == 0) break;
        } else {
            // Stray data: resume only after a 0 byte (a block terminator).
            expectBlock = (b == 0);
        }
    }

    // A scan that ended before any frame was decoded has no picture to show.
    if (state.composed == 0) return DecodeOutcome::Failed;
    if (!state.canvas && !image.HasPixels()) return DecodeOutcome::Failed;

    if (state.canvasMode && state.canvas) {
        ZtImage& canvas = *state.canvas;
        if (control.flags & 1) {
            canvas.SetTransparentColor(image.PaletteEntry(uint32_t(image.transparentIndex) & 255));
            canvas.SetTransparentIndex(0);
        }
        // The canvas takes the storage; the decode's settings (frame index and
        // count among them) stay those of this call.
        ZtImageSettings kept = image.Settings();
        image.TakeOver(canvas, true);
        kept.rowStride = image.rowStride;
        kept.formatId = image.formatId;
        kept.transparentIndex = image.transparentIndex;
        kept.transparentColor = image.transparentColor;
        image.Settings() = kept;
    }
    return DecodeOutcome::Done;
}

int ZtGifDecode::DecodeFrame(ZtFile* stream, ComposeState& state) {
    std::array<uint8_t, 9> raw{};
    if (stream->ReadBlocks(raw.data(), 1, raw.size()) != raw.size()) return 0;
    const ImageDescriptor d{Get16LE(&raw[0]), Get16LE(&raw[2]), Get16LE(&raw[4]),
                            Get16LE(&raw[6]), raw[8]};
    const ScreenDescriptor& screen = state.screen;
    // A frame that sticks out of the screen is decoded and clipped to it:
    // the pixels outside the screen are dropped when the frame is laid over
    // the screen. (Ignoring such frames would leave valid files, whose
    // encoders were careless with the screen size, without a picture.)

    const int32_t j = state.decoded;
    if (j == 0) {
        if (d.width != screen.width && d.height != screen.height) ++state.score;
        state.canvasMode = state.score >= 2;
    }

    const bool hasLocal = (d.flags & 0x80) != 0;
    const uint32_t entries = 2u << ((hasLocal ? d.flags : screen.flags) & 7);
    std::array<uint8_t, 768> localTable{};
    if (hasLocal) stream->ReadBlocks(localTable.data(), 1, size_t(entries) * 3);
    const uint8_t* table = hasLocal ? localTable.data() : state.globalTable.data();
    const bool hasTable = hasLocal || state.hasGlobal;
    const uint32_t depth = FrameDepth(entries);

    // Background for this frame, from the previous frame's disposal. Canvas
    // mode draws every frame straight onto the canvas and needs none.
    std::unique_ptr<ZtImage> bg;
    if (j == 0) state.backgroundIndex = image.transparentIndex;
    // A first frame that covers the whole screen with no transparent index
    // hides the background completely: it is decoded as the screen itself.
    const bool coversScreen = j == 0 && !state.canvasMode && d.width > 0 && d.height > 0 &&
                              d.left == 0 && d.top == 0 &&
                              d.width == screen.width && d.height == screen.height &&
                              image.transparentIndex < 0;
    if (coversScreen) {
        if (image.frameIndex > 0) {
            state.previous = std::make_unique<ZtImage>(ImageFormat::Gif);
            state.previous->InheritSettings(image);
            if (!state.previous->Create(screen.width, screen.height, depth, ImageFormat::Gif)) {
                image.SetLastError(state.previous->LastError());
                return -1;
            }
            state.previous->FillBits(control.transparentIndex);
            state.previous->SetKeepAllFrames(false);
        }
    } else if (j == 0 && !state.canvasMode) {
        bg = std::make_unique<ZtImage>(ImageFormat::Gif);
        bg->InheritSettings(image);
        if (!bg->Create(screen.width, screen.height, depth, ImageFormat::Gif)) {
            image.SetLastError(bg->LastError());
            return -1;
        }
        // The screen starts as the transparent index byte, whether or not
        // the graphic control block marks it as transparent.
        bg->FillBits(control.transparentIndex);
        if (image.frameIndex > 0) {
            state.previous = std::make_unique<ZtImage>(ImageFormat::Gif);
            state.previous->Duplicate(*bg, true, true, true);
            state.previous->SetKeepAllFrames(false);
            if (!state.previous->HasPixels()) return -1;
        }
    } else if (j > 0 && !state.canvasMode) {
        bg = std::make_unique<ZtImage>(ImageFormat::Gif);
        if (state.previousDisposal == 2) {
            bg->Duplicate(image, false, false, false);
            bg->FillBits(uint8_t(state.backgroundIndex));
        } else if (state.previousDisposal == 3 && state.previous &&
                   state.previous->HasPixels()) {
            const ZtImage& prev = *state.previous;
            bg->Duplicate(image, false, false, false);
            if (bg->Create(uint32_t(prev.Width()), uint32_t(prev.Height()), prev.BitsPerPixel(),
                           ImageFormat::Gif) &&
                bg->BlockSize() == prev.BlockSize()) {
                memcpy(bg->BlockPointer(), prev.BlockPointer(), prev.BlockSize());
                bg->AlphaFromGreyImage(prev);
            }
        } else {
            bg->Duplicate(image, true, true, true);
        }
        if (!bg->HasPixels()) return -1;
    }

    // The frame rectangle itself. A frame of zero width or height has no
    // pixels; its data is still read so the scan stays in step.
    const bool empty = d.width == 0 || d.height == 0;
    if (empty) {
        image.ReleaseStorage();
    } else if (!image.Create(d.width, d.height, depth, ImageFormat::Gif)) {
        return -1;
    }

    if (hasTable && !empty) {
        std::array<uint8_t, 256> reds{}, greens{}, blues{};
        for (uint32_t i = 0; i < entries; ++i) {
            reds[i] = table[3 * i];
            greens[i] = table[3 * i + 1];
            blues[i] = table[3 * i + 2];
        }
        uint32_t count = entries;
        if (image.transparentIndex >= 0) {
            for (uint32_t i = entries; i < 256; ++i) reds[i] = greens[i] = blues[i] = 255;
            count = 256;
        }
        image.LoadPaletteFromPlanes(count, reds.data(), greens.data(), blues.data());
    }

    RowCursor cursor;
    cursor.Attach(&image);
    cursor.ToTopRow();
    StartFrameData(d, depth);
    const int32_t dataStart = stream->Position();
    int32_t badCodes = 0;
    DecompressFrame(stream, empty ? nullptr : &cursor, int32_t(d.width), badCodes);

    if (image.abortCode != 0) return -1;

    if (state.canvasMode) {
        image.frameIndex = image.frameCount - 1;
        if (!state.canvas) {
            state.canvas = std::make_unique<ZtImage>(ImageFormat::Gif);
            if (!state.canvas->Create(screen.width, screen.height, 24, ImageFormat::Gif)) {
                image.SetLastError(state.canvas->LastError());
                return -1;
            }
        }
        // Every pixel of the frame inside the screen is copied; none counts as
        // transparent. Rows below the screen have no row pointer.
        const int32_t h = image.Height();
        const int32_t w = std::max(0, std::min(image.Width(), int32_t(screen.width) - int32_t(d.left)));
        for (int32_t i = 0; i < h && !empty; ++i) {
            uint8_t* dst = state.canvas->RowBits(screen.height - 1 - d.top - uint32_t(i));
            if (!dst) continue;
            dst += size_t(d.left) * 3;
            for (int32_t x = 0; x < w; ++x, dst += 3) {
                const ZtQuad q = image.ColorAtUnchecked(x, h - 1 - i, false);
                dst[0] = q.blue;
                dst[1] = q.green;
                dst[2] = q.red;
            }
        }
    } else if (coversScreen) {
        image.SetTransparentIndex(state.backgroundIndex);
    } else {
        if (!empty) Overlay(*bg, image, d);
        bg->SetTransparentIndex(state.backgroundIndex);
        // Only the frame's own entries are copied: a frame with a smaller table
        // than the background has fewer palette bytes than the background.
        if (!empty) bg->LoadPaletteFromQuads(image.PalettePointer(), image.PaletteEntries());
        image.TakeOver(*bg, false);
    }
    ++state.composed;

    const uint8_t disposal = (control.flags >> 2) & 7;
    Resynchronise(stream, dataStart, badCodes);

    if (image.keepAllFrames && !state.canvas) {
        if (j == 0) {
            const int32_t count = image.frameCount;
            image.ReleaseFrames();
            image.frameCount = count;
        }
        // Frames are decoded in order, so frame j lands in slot j.
        auto copy = std::make_unique<ZtImage>(image, true, true, true);
        copy->SetKeepAllFrames(false);
        image.AppendFrame(std::move(copy));
    }
    if (disposal <= 1 && !state.canvasMode && j < image.frameIndex) {
        state.previous = std::make_unique<ZtImage>(ImageFormat::Gif);
        state.previous->Duplicate(image, true, true, true);
        state.previous->SetKeepAllFrames(false);
    }
    state.previousDisposal = disposal;

    if (j == image.frameIndex) return 0;
    state.decoded = j + 1;
    return 1;
}

void ZtGifDecode::StartFrameData(const ImageDescriptor& descriptor, uint32_t depth) {
    interlaced = (descriptor.flags & 0x40) != 0;
    interlaceDone = false;
    frameHeight = int32_t(descriptor.height);
    frameDepth = int32_t(depth);
    readIndex = 0x4000;  // forces a refill on the first read
    fillCount = 0;
    step = 8;
    rowOffset = 0;
    pass = 0;
}

void ZtGifDecode::Resynchronise(ZtFile* stream, int32_t dataStart, int32_t badCodeCount) {
    if (badCodeCount != 0) {
        // Codes past the table mean damaged data: look for the next frame.
        SkipToNextDescriptor(stream, dataStart);
    } else {
        // Back from the read-ahead to the byte after the last one consumed,
        // plus the block terminator.
        stream->SeekTo(readIndex - fillCount + 1, 1);
    }
}

int32_t ZtGifDecode::CountFrames(ZtFile* stream, ScreenDescriptor& screen) {
    const int32_t start = stream->Position();
    int32_t count = 0;
    bool expectBlock = true;
    for (;;) {
        const int32_t b = stream->GetByte();
        if (b < 0) break;
        if (!expectBlock && b != 0) continue;
        if (b == kBlockExtension) {
            ReadExtension(stream);
        } else if (b == kBlockTrailer) {
            break;
        } else if (b == kBlockImage) {
            std::array<uint8_t, 9> raw{};
            if (stream->ReadBlocks(raw.data(), 1, raw.size()) != raw.size()) break;
            const ImageDescriptor d{Get16LE(&raw[0]), Get16LE(&raw[2]), Get16LE(&raw[4]),
                                    Get16LE(&raw[6]), raw[8]};
            // A 0 x 0 screen takes the size of the first frame.
            if (screen.width == 0 && screen.height == 0) {
                screen.width = d.width;
                screen.height = d.height;
            }
            ++count;
            if (d.flags & 0x80) stream->SeekTo(int32_t(2u << (d.flags & 7)) * 3, 1);
            StartFrameData(d, 8);
            const int32_t dataStart = stream->Position();
            int32_t badCodes = 0;
            DecompressFrame(stream, nullptr, int32_t(d.width), badCodes);
            Resynchronise(stream, dataStart, badCodes);
        } else {
            expectBlock = (b == 0);
        }
    }
    stream->SeekTo(start, 0);
    return count;
}

bool ZtGifDecode::ReadExtension(ZtFile* stream) {
    const int32_t label = stream->GetByte();
    if (label < 0) return false;
    bool wellFormed = false;
    if (label == 0xF9) {
        const int32_t length = stream->GetByte();
        std::array<uint8_t, 4> body{};
        const size_t got = stream->ReadBlocks(body.data(), 1, body.size());
        wellFormed = length == 4 && got == body.size();
        if (wellFormed) {
            control = GraphicControl{body[0], Get16LE(&body[1]), body[3]};
            image.transparentIndex = (body[0] & 1) ? int32_t(body[3]) : -1;
            image.frameDelay = control.delay;
            image.frameDisposal = (body[0] >> 2) & 7;
        }
    } else if (label == 0xFE) {
        const int32_t length = stream->GetByte();
        if (length == 0) {
            // An empty comment: its first length byte is the terminator.
            image.comment[0] = '\0';
            return true;
        }
        if (length > 0) {
            const size_t got = stream->ReadBlocks(image.comment.data(), 1, size_t(length));
            image.comment[std::min<size_t>(got, image.comment.size() - 1)] = '\0';
            wellFormed = got == size_t(length);
        }
    } else if (label == 0xFF) {
        std::array<uint8_t, 11> identity{};
        if (stream->GetByte() != 11) return false;
        if (stream->ReadBlocks(identity.data(), 1, identity.size()) != identity.size()) return false;
        const int32_t length = stream->GetByte();
        if (length < 0) return false;
        // An application block without data (a lone terminator) is complete.
        if (length == 0) return true;
        std::array<uint8_t, 255> data{};
        wellFormed = stream->ReadBlocks(data.data(), 1, size_t(length)) == size_t(length);
        const bool looping = memcmp(identity.data(), "NETSCAPE2.0", 11) == 0 ||
                             memcmp(identity.data(), "ANIMEXTS1.0", 11) == 0;
        if (wellFormed && looping && length >= 3 && data[0] == 1) image.loopCount = Get16LE(&data[1]);
    } else {
        // Plain text and unknown extensions carry nothing for us; skip them.
        wellFormed = true;
    }
    if (wellFormed) {
        for (;;) {
            const int32_t length = stream->GetByte();
            if (length <= 0 || !stream->SeekTo(length, 1)) break;
        }
    }
    return wellFormed;
}

int32_t ZtGifDecode::NextByte(ZtFile* stream) {
    if (readIndex >= kReadAhead) {
        fillCount = int32_t(stream->ReadBlocks(readBuffer.data(), 1, kReadAhead));
        if (fillCount < kReadAhead) readBuffer[size_t(fillCount)] = 0xFF;
        readIndex = 0;
    }
    if (readIndex >= fillCount) return -1;
    return readBuffer[size_t(readIndex++)];
}

// The next data byte of the sub-block chain. A 0-length sub-block sets
// bytesLeft negative, which the caller reads as the end of the data.
int32_t ZtGifDecode::NextSubBlockByte(ZtFile* stream) {
    if (bytesLeft <= 0) {
        const int32_t length = NextByte(stream);
        if (length < 0) return length;
        for (int32_t i = 0; i < length; ++i) {
            const int32_t b = NextByte(stream);
            if (b < 0) return b;
            subBlock[size_t(i)] = uint8_t(b);
        }
        blockPos = 0;
        if (length == 0) {
            bytesLeft = -1;
            return 0;
        }
        bytesLeft = length;
    }
    --bytesLeft;
    return subBlock[size_t(blockPos++)];
}

// Used only in this file; inline so the LZW loops keep it in registers.
inline int32_t ZtGifDecode::NextCode(ZtFile* stream) {
    // bitBuffer holds the bitsLeft unread bits of the bytes taken so far,
    // lowest first; whole bytes are added above them until a code fits.
    while (bitsLeft < codeSize) {
        int32_t b;
        if (bytesLeft > 0) {
            --bytesLeft;
            b = subBlock[size_t(blockPos++)];
        } else {
            b = NextSubBlockByte(stream);
            if (b < 0) return b;
            if (bytesLeft < 0) return endCode;  // a 0-length sub-block ends the data
        }
        bitBuffer |= uint32_t(b) << bitsLeft;
        bitsLeft += 8;
    }
    const uint32_t code = bitBuffer & kCodeMask[codeSize];
    bitBuffer >>= codeSize;
    bitsLeft -= codeSize;
    return int32_t(code);
}

void ZtGifDecode::ResetDecoder(int32_t size) {
    minimumSize = size;
    codeSize = size + 1;
    topCode = 1 << (size + 1);
    clearCode = 1 << size;
    endCode = clearCode + 1;
    firstFree = nextFree = clearCode + 2;
    bitsLeft = 0;
    bitBuffer = 0;
    bytesLeft = 0;
    blockPos = 0;
    oldCode = -1;  // no code read yet
    firstChar = 0;
    stack.fill(0);
    suffix.fill(0);
    prefix.fill(0);
}

// After a clear code: the table shrinks back to the literals and the code
// width to its start; returns the first code that is not another clear code.
int32_t ZtGifDecode::RestartTable(ZtFile* stream) {
    codeSize = minimumSize + 1;
    nextFree = firstFree;
    topCode = 1 << (minimumSize + 1);
    int32_t code;
    do {
        code = NextCode(stream);
    } while (code == clearCode);
    return code;
}

int32_t ZtGifDecode::DecompressFrame(ZtFile* stream, RowCursor* cursor, int32_t lineWidth,
                                    int32_t& badCodeCount) {
    const int32_t size = NextByte(stream);
    if (size < 0) return size;
    // Sizes up to 11 keep every code within 12 bits; encoders do write 10
    // and 11 (the table then starts large). Size 1 and above 11 cannot be LZW data here.
    if (size < 2 || size > 11) return -20;
    ResetDecoder(size);

    // Without a cursor (counting frames, or a frame without pixels) only the
    // codes are followed: the table's growth decides the code widths, so the
    // data is consumed exactly as a full decode would consume it.
    if (!cursor || lineWidth <= 0) return SkipCodes(stream, badCodeCount);
    ZtBytes buffer = AllocateBytes(size_t(lineWidth) + 1);
    if (!buffer) return -10;
    uint8_t* line = buffer.get();
    int32_t filled = 0;
    int32_t result = 0;

    for (;;) {
        int32_t code = NextCode(stream);
        if (code == endCode) break;
        if (code < 0) return 0;
        size_t sp = 0;
        if (code == clearCode || oldCode < 0) {
            // Data that does not open with a clear code starts as if after
            // one: the first code has no predecessor to make an entry with.
            if (code == clearCode) {
                code = RestartTable(stream);
                if (code == endCode) break;
                if (code < 0) return 0;
            }
            if (code >= nextFree) code = 0;
            oldCode = firstChar = code;
            stack[sp++] = uint8_t(code);
        } else {
            const int32_t incoming = code;
            if (code >= nextFree) {
                // Only code == nextFree is legal (the string being defined);
                // anything larger is damage, decoded the same way and counted.
                if (code > nextFree) ++badCodeCount;
                stack[sp++] = uint8_t(firstChar);
                code = oldCode;
            }
            while (code >= firstFree && sp < kStackLimit) {
                stack[sp++] = suffix[size_t(code)];
                code = prefix[size_t(code)];
            }
            stack[sp++] = uint8_t(code);
            if (nextFree < topCode) {
                suffix[size_t(nextFree)] = uint8_t(code);
                prefix[size_t(nextFree)] = uint16_t(oldCode);
                ++nextFree;
                firstChar = code;
                oldCode = incoming;
            }
            // The table stops at 4096 entries: 12-bit codes, no new entries
            // until the next clear code.
            if (nextFree >= topCode && codeSize < 12) {
                topCode <<= 1;
                ++codeSize;
            }
        }
        // The stack holds the string last character first.
        while (sp > 0) {
            const size_t n = std::min(sp, size_t(lineWidth - filled));
            uint8_t* out = line + filled;
            for (size_t k = 0; k < n; ++k) out[k] = stack[sp - 1 - k];
            sp -= n;
            filled += int32_t(n);
            if (filled == lineWidth) {
                result = EmitLine(cursor, line, filled);
                if (result < 0) return result;
                filled = 0;
            }
        }
    }
    if (filled > 0) result = EmitLine(cursor, line, filled);
    return result;
}

int32_t ZtGifDecode::SkipCodes(ZtFile* stream, int32_t& badCodeCount) {
    for (;;) {
        int32_t code = NextCode(stream);
        if (code == endCode) break;
        if (code < 0) return 0;
        if (code == clearCode) {
            code = RestartTable(stream);
            if (code == endCode) break;
            if (code < 0) return 0;
            oldCode = code;
            continue;
        }
        if (oldCode < 0) {
            oldCode = code;
            continue;
        }
        if (code > nextFree) ++badCodeCount;
        if (nextFree < topCode) {
            ++nextFree;
            oldCode = code;
        }
        if (nextFree >= topCode && codeSize < 12) {
            topCode <<= 1;
            ++codeSize;
        }
    }
    return 0;
}

int32_t ZtGifDecode::EmitLine(RowCursor* cursor, uint8_t* line, int32_t length) {
    const int32_t width = image.Width();
    int32_t bytes = length;
    if (frameDepth == 1 || frameDepth == 4) {
        // Pixels past a short last line stay index 0, as if never written.
        if (length < width) memset(line + length, 0, size_t(width - length));
        if (frameDepth == 4) {
            for (int32_t x = 0; x < width; x += 2) {
                const uint8_t hi = line[x] & 15;
                const uint8_t lo = x + 1 < width ? line[x + 1] & 15 : 0;
                line[x / 2] = uint8_t((hi << 4) | lo);
            }
        } else {
            for (int32_t x = 0; x < width; x += 8) {
                uint8_t packed = 0;
                for (int32_t k = 0; k < 8 && x + k < width; ++k)
                    packed = uint8_t(packed | ((line[x + k] & 1) << (7 - k)));
                line[x / 8] = packed;
            }
        }
        bytes = (length * frameDepth + 7) / 8;
    }

    if (interlaced) {
        // Lines past the fourth pass are surplus data: drop them rather
        // than writing over rows already filled.
        if (interlaceDone) return -1;
        const int32_t target = frameHeight - rowOffset - 1;
        if (target < 0 || target >= image.Height()) return -1;
        cursor->SetRow(target);
        cursor->WriteRow(line, bytes);
        rowOffset += step;
        if (rowOffset >= frameHeight) {
            // Passes cover rows 0, 8, 16... then 4, 12... then 2, 6... then
            // 1, 3...; a pass whose first row is past the frame is skipped.
            do {
                if (pass > 0) step /= 2;
                ++pass;
            } while (step / 2 >= frameHeight);
            rowOffset = step / 2;
            if (step < 2) interlaceDone = true;
        }
        return 0;
    }
    if (!image.HasPixels() || cursor->Row() < 0 || cursor->Row() >= image.Height()) return -1;
    cursor->WriteRow(line, bytes);
    cursor->PreviousRow();
    return 0;
}

int32_t ZtGifDecode::SkipToNextDescriptor(ZtFile* stream, int32_t position) {
    if (!stream->SeekTo(position, 0)) return -1;
    int32_t previousByte = 0;
    for (;;) {
        const int32_t b = stream->GetByte();
        if (b < 0) return -1;
        if (b == kBlockImage && previousByte == 0) {
            stream->SeekTo(-1, 1);
            return stream->Position();
        }
        previousByte = b;
    }
}

namespace {

void Overlay(ZtImage& bg, const ZtImage& frameImage, const ImageDescriptor& d) {
    const int32_t frameW = frameImage.Width(), frameH = frameImage.Height();
    const int32_t transparent = frameImage.TransparentIndex();
    // bg storage row of the frame's storage row 0.
    const int32_t base = bg.Height() - int32_t(d.top) - frameH;
    const int32_t rowEnd = bg.Height() - int32_t(d.top);
    const int32_t colEnd = std::min(int32_t(d.left) + frameW, bg.Width());
    const bool bytes = bg.BitsPerPixel() == 8 && frameImage.BitsPerPixel() == 8;
    for (int32_t r = std::max(0, base); r < rowEnd; ++r) {
        const int32_t i = r - base;
        if (bytes) {
            const uint8_t* src = frameImage.RowBits(uint32_t(i));
            uint8_t* dst = bg.RowBits(uint32_t(r));
            for (int32_t x = int32_t(d.left); x < colEnd; ++x) {
                const uint8_t v = src[x - int32_t(d.left)];
                if (v != transparent) dst[x] = v;
            }
            continue;
        }
        for (int32_t x = int32_t(d.left); x < colEnd; ++x) {
            const uint8_t v = frameImage.IndexAt(x - int32_t(d.left), i);
            if (v != transparent) bg.SetIndexAt(x, r, v);
        }
    }
}

}  // namespace

// Record parsing for the metafile player: the two record streams (Windows
// metafiles and enhanced metafiles) walked record by record, every size
// checked against the bytes left and against the record's own minimum
// before a field is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "image/byte_reader.h"

namespace metafile {

class CairoCanvas;

// Playback stops after this many records; a record stream of that length is
// far beyond any drawing, and the bound keeps a hostile file from running long.
constexpr uint32_t kMaxRecords = 1u << 20;
// Points all drawing records together may ask for; beyond it drawing stops.
constexpr uint64_t kMaxPoints = uint64_t(1) << 24;

// A record's parameter bytes. Reads outside them give 0; callers check the
// record's minimum size with Has first, so that never happens on purpose.
class Fields {
public:
    Fields(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Size() const { return size_; }
    bool Has(uint64_t bytes) const { return bytes <= size_; }
    uint32_t U32(size_t at) const { return at + 4 <= size_ ? Get32LE(data_ + at) : 0; }
    int32_t I32(size_t at) const { return int32_t(U32(at)); }
    uint16_t U16(size_t at) const { return at + 2 <= size_ ? Get16LE(data_ + at) : 0; }
    int16_t I16(size_t at) const { return int16_t(U16(at)); }
    float F32(size_t at) const {
        const uint32_t bits = U32(at);
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    // length bytes at offset at, or null when they are not all there.
    const uint8_t* At(uint64_t at, uint64_t length) const {
        return at <= size_ && length <= size_ - at ? data_ + at : nullptr;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// Text in records: 8-bit strings (read as Windows-1252) and UTF-16 strings,
// to UTF-8 without NULs. symbol: the font uses the symbol character set,
// whose letters are Greek and whose upper half holds mathematical signs
// (UTF-16 text names them U+F020..U+F0FF).
std::string TextFromAnsi(const uint8_t* bytes, size_t count, bool symbol = false);
std::string TextFromUtf16(const uint8_t* bytes, size_t count, bool symbol = false);

// Plays a Windows metafile (the bytes from its 18-byte header on) onto the
// canvas. The metafile's window, the placeable box until the metafile sets
// one, fills the whole canvas.
void PlayWindowsMetafile(const uint8_t* data, size_t size, const int16_t box[4], CairoCanvas& canvas);

// Plays an enhanced metafile (the whole file) onto the canvas: its picture
// frame fills the whole canvas.
void PlayEnhancedMetafile(const uint8_t* data, size_t size, CairoCanvas& canvas);

}  // namespace metafile

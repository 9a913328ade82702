// The one writer of TIFF-based RAW test files (DNG and the makers' TIFF
// layouts), a known mosaic with its packing, and an engine run over bytes in
// memory, shared by the RAW test files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/zt_file.h"
#include "raw/raw_context.h"
#include "raw/raw_internal.h"

namespace raw_fixture {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v, bool big = false) {
    if (big)
        b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    else
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
}
inline void Put32(Bytes& b, uint32_t v, bool big = false) {
    if (big)
        b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    else
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

// A TIFF with one directory (little-endian unless big is set; magic 42
// unless another is given); values that do not fit in an entry go after it.
// Pixel data is appended last and its offset patched in.
struct TiffBuilder {
    struct Field {
        uint16_t tag, type;
        uint32_t count;
        Bytes value;
    };
    std::map<uint16_t, Field> fields;
    bool big = false;
    uint16_t magic = 42;
    void Shorts(uint16_t tag, std::vector<uint32_t> v) {
        Bytes b;
        for (uint32_t x : v) Put16(b, x, big);
        fields[tag] = Field{tag, 3, uint32_t(v.size()), b};
    }
    void Longs(uint16_t tag, std::vector<uint32_t> v) {
        Bytes b;
        for (uint32_t x : v) Put32(b, x, big);
        fields[tag] = Field{tag, 4, uint32_t(v.size()), b};
    }
    void Text(uint16_t tag, const std::string& s) {
        Bytes b(s.begin(), s.end());
        b.push_back(0);
        fields[tag] = Field{tag, 2, uint32_t(b.size()), b};
    }
    void Raw(uint16_t tag, uint16_t type, Bytes b) { fields[tag] = Field{tag, type, uint32_t(b.size()), b}; }
    // data blocks become the strips (or tiles) of tag 273/324 with counts in 279/325.
    Bytes Build(const std::vector<Bytes>& blocks, bool tiled = false) {
        std::vector<uint32_t> counts;
        for (const Bytes& b : blocks) counts.push_back(uint32_t(b.size()));
        Layout(blocks.size(), tiled);
        Longs(tiled ? 325 : 279, counts);
        std::vector<uint32_t> offsets;
        uint32_t dataAt = dataAt_;
        for (const Bytes& b : blocks) {
            offsets.push_back(dataAt);
            dataAt += uint32_t(b.size());
        }
        Longs(tiled ? 324 : 273, offsets);
        Bytes out = {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')};
        Put16(out, magic, big);
        Put32(out, 8, big);
        Put16(out, uint32_t(fields.size()), big);
        for (auto& [tag, f] : fields) {
            Put16(out, tag, big);
            Put16(out, f.type, big);
            Put32(out, f.count, big);
            if (f.value.size() > 4) {
                Put32(out, valueAt_[tag], big);
            } else {
                Bytes v = f.value;
                v.resize(4, 0);
                out.insert(out.end(), v.begin(), v.end());
            }
        }
        Put32(out, 0, big);
        for (auto& [tag, f] : fields)
            if (f.value.size() > 4) {
                out.insert(out.end(), f.value.begin(), f.value.end());
                if (f.value.size() & 1) out.push_back(0);
            }
        for (const Bytes& b : blocks) out.insert(out.end(), b.begin(), b.end());
        return out;
    }

private:
    // Places every value: the strip (tile) offset and count fields are
    // sized for blockCount blocks first, so that later offsets hold.
    void Layout(size_t blockCount, bool tiled) {
        Longs(tiled ? 324 : 273, std::vector<uint32_t>(blockCount, 0));
        Longs(tiled ? 325 : 279, std::vector<uint32_t>(blockCount, 0));
        uint32_t extra = 8 + 2 + 12 * uint32_t(fields.size()) + 4;
        valueAt_.clear();
        for (auto& [tag, f] : fields)
            if (f.value.size() > 4) {
                valueAt_[tag] = extra;
                extra += uint32_t(f.value.size() + (f.value.size() & 1));
            }
        dataAt_ = extra;
    }
    std::map<uint16_t, uint32_t> valueAt_;
    uint32_t dataAt_ = 0;
};

// A known mosaic: sample of photosite (row, col).
inline uint16_t Sample(int row, int col) { return uint16_t((row * 131 + col * 57 + (row * col) % 97) % 4000 + 50); }

// The mosaic from (top, left) packed most significant bit first, every row
// starting on a byte; below 12 bits only the low bits of each sample are kept.
inline Bytes PackBits(int width, int height, int bits, int top = 0, int left = 0) {
    Bytes out;
    for (int r = top; r < top + height; ++r) {
        uint64_t acc = 0;
        int held = 0;
        for (int c = left; c < left + width; ++c) {
            acc = (acc << bits) | (Sample(r, c) & ((1u << bits) - 1));
            held += bits;
            while (held >= 8) {
                out.push_back(uint8_t(acc >> (held - 8)));
                held -= 8;
            }
        }
        if (held) out.push_back(uint8_t(acc << (8 - held)));  // rows end on a byte
    }
    return out;
}

// The mosaic from (top, left) as one 16-bit word per sample.
inline Bytes Words(int width, int height, bool big = false, int top = 0, int left = 0) {
    Bytes out;
    for (int r = top; r < top + height; ++r)
        for (int c = left; c < left + width; ++c) Put16(out, Sample(r, c), big);
    return out;
}

// Runs identification and the chosen loader over bytes in memory.
struct Engine {
    std::unique_ptr<RawContext> ctx = std::make_unique<RawContext>();
    Bytes bytes;  // the stream reads these, so the engine keeps them
    ZtMemFile stream;
    char error[256] = {};
    explicit Engine(Bytes file) : bytes(std::move(file)), stream(bytes.data(), bytes.size()) {
        raw_context_init(*ctx);
        static constexpr RawFileOps kOps = {
            [](void* s, void* b, size_t z, size_t n) { return static_cast<ZtFile*>(s)->ReadBlocks(b, z, n); },
            [](void*, const void*, size_t, size_t) { return size_t(0); },
            [](void* s, int64_t o, int w) { return static_cast<ZtFile*>(s)->SeekTo(int32_t(o), w) ? 1 : 0; },
            [](void*) { return 1; },
            [](void* s, char* b, int m) { return static_cast<ZtFile*>(s)->GetLine(b, m); },
            [](void* s) { return static_cast<ZtFile*>(s)->AtEnd() ? 1 : 0; },
            [](void* s) { return int64_t(static_cast<ZtFile*>(s)->Position()); },
            [](void* s) { return static_cast<ZtFile*>(s)->GetByte(); },
            [](void* s, const char* f, void* t) { return static_cast<ZtFile*>(s)->ScanFormatted(f, t); }};
        ctx->fileOps = &kOps;
        ctx->stream = &stream;
        ctx->errorText = error;
        ctx->errorTextSize = sizeof error;
        identify_raw(*ctx);
    }
    void Load() {
        ASSERT_NE(ctx->rawLoader, nullptr);
        ctx->arrayHeight = ctx->visibleHeight;
        ctx->arrayWidth = ctx->visibleWidth;
        allocate_pixel_array(*ctx, "test");
        stream.SeekTo(int32_t(ctx->rawDataOffset), 0);
        ctx->rawLoader(*ctx);
    }
    uint16_t At(int row, int col) const {
        const RawPixel& p = ctx->pixelArray[size_t(row) * ctx->arrayWidth + size_t(col)];
        return p[colourAt(*ctx, row, col)];
    }
};

}  // namespace raw_fixture

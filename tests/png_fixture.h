// Builds small PNG files in memory for the PNG and icon tests: samples are
// given top line first, packed at the file's bit depth, filtered with filter
// type 0 and deflated with zlib; Adam7 files are laid out pass by pass.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image/zt_file.h"

namespace zt_test {

struct PngSpec {
    uint32_t width = 1;
    uint32_t height = 1;
    int bitDepth = 8;
    int colorType = 2;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha
    bool interlaced = false;
    // width * height * channels samples, top line first.
    std::vector<uint16_t> samples;
    std::vector<uint8_t> plte;  // RGB triples
    std::vector<uint8_t> trns;
    bool phys = false;
    uint32_t physX = 0, physY = 0;
    uint8_t physUnit = 0;
    // Further chunks (type, data): before IDAT, and after it before IEND.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> chunksBefore, chunksAfter;
};

inline int PngChannels(int colorType) {
    switch (colorType) {
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 1;
    }
}

inline void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

inline void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    PutBE32(out, uint32_t(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    PutBE32(out, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

// One filtered scanline (filter byte 0) of the given pixels.
inline void PackLine(std::vector<uint8_t>& out, const PngSpec& s, const std::vector<uint32_t>& xs,
                     uint32_t line) {
    const int ch = PngChannels(s.colorType);
    out.push_back(0);
    if (s.bitDepth >= 8) {
        for (uint32_t x : xs)
            for (int c = 0; c < ch; ++c) {
                const uint16_t v = s.samples[(size_t(line) * s.width + x) * ch + c];
                if (s.bitDepth == 16) out.push_back(uint8_t(v >> 8));
                out.push_back(uint8_t(v));
            }
        return;
    }
    uint32_t acc = 0;
    int bits = 0;
    for (uint32_t x : xs) {
        acc = (acc << s.bitDepth) | (s.samples[size_t(line) * s.width + x] & ((1u << s.bitDepth) - 1));
        bits += s.bitDepth;
        if (bits == 8) {
            out.push_back(uint8_t(acc));
            acc = 0;
            bits = 0;
        }
    }
    if (bits) out.push_back(uint8_t(acc << (8 - bits)));
}

inline std::vector<uint8_t> RawImageData(const PngSpec& s) {
    std::vector<uint8_t> raw;
    if (!s.interlaced) {
        std::vector<uint32_t> xs;
        for (uint32_t x = 0; x < s.width; ++x) xs.push_back(x);
        for (uint32_t line = 0; line < s.height; ++line) PackLine(raw, s, xs, line);
        return raw;
    }
    static const uint32_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, dx[7] = {8, 8, 4, 4, 2, 2, 1};
    static const uint32_t y0[7] = {0, 0, 4, 0, 2, 0, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p) {
        std::vector<uint32_t> xs;
        for (uint32_t x = x0[p]; x < s.width; x += dx[p]) xs.push_back(x);
        if (xs.empty()) continue;
        for (uint32_t line = y0[p]; line < s.height; line += dy[p]) PackLine(raw, s, xs, line);
    }
    return raw;
}

inline std::vector<uint8_t> BuildPng(const PngSpec& s) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBE32(ihdr, s.width);
    PutBE32(ihdr, s.height);
    ihdr.push_back(uint8_t(s.bitDepth));
    ihdr.push_back(uint8_t(s.colorType));
    ihdr.push_back(0);
    ihdr.push_back(0);
    ihdr.push_back(s.interlaced ? 1 : 0);
    PutChunk(out, "IHDR", ihdr);
    if (s.phys) {
        std::vector<uint8_t> d;
        PutBE32(d, s.physX);
        PutBE32(d, s.physY);
        d.push_back(s.physUnit);
        PutChunk(out, "pHYs", d);
    }
    if (!s.plte.empty()) PutChunk(out, "PLTE", s.plte);
    if (!s.trns.empty()) PutChunk(out, "tRNS", s.trns);
    for (const auto& c : s.chunksBefore) PutChunk(out, c.first.c_str(), c.second);
    const std::vector<uint8_t> raw = RawImageData(s);
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    compress(packed.data(), &packedSize, raw.data(), uLong(raw.size()));
    packed.resize(packedSize);
    PutChunk(out, "IDAT", packed);
    for (const auto& c : s.chunksAfter) PutChunk(out, c.first.c_str(), c.second);
    PutChunk(out, "IEND", {});
    return out;
}

// The file with the length field of its first chunk of this type replaced.
inline std::vector<uint8_t> WithClaimedLength(std::vector<uint8_t> bytes, const char* type,
                                              uint32_t claim) {
    for (size_t at = 8; at + 8 <= bytes.size();) {
        const uint32_t length = uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
                                uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
        if (memcmp(&bytes[at + 4], type, 4) == 0) {
            for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(claim >> (24 - 8 * i));
            break;
        }
        at += 12 + size_t(length);
    }
    return bytes;
}

// A memory stream that remembers the largest read asked of it: a decoder that
// trusts a claimed length asks for all of it.
class RecordingStream : public ZtMemFile {
public:
    using ZtMemFile::ZtMemFile;
    size_t ReadBlocks(void* buffer, size_t size, size_t count) override {
        largest = std::max(largest, size * count);
        return ZtMemFile::ReadBlocks(buffer, size, count);
    }
    size_t largest = 0;
};

}  // namespace zt_test

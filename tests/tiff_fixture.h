// Builds small little-endian TIFF files in memory for the TIFF tests: one
// directory per page, strips of packed rows (uncompressed, or PackBits as
// literal runs), or tiles of 8-bit samples cut from the same rows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zt_test {

struct TiffPageSpec {
    uint32_t width = 1;
    uint32_t height = 1;
    uint16_t bits = 8;
    uint16_t spp = 1;
    uint16_t photometric = 1;
    uint16_t orientation = 0;   // 0: no tag
    uint16_t compression = 1;   // 1 none, 32773 PackBits
    uint32_t rowsPerStrip = 0;  // 0: one strip
    uint32_t tileWidth = 0;     // tiled when non-zero (8-bit samples)
    uint32_t tileLength = 0;
    std::vector<uint8_t> rows;  // packed rows, top line first, each padded to a byte
    std::vector<uint16_t> colorMap;
    std::vector<uint16_t> extraSamples;
    std::vector<uint16_t> subsampling;  // YCbCrSubSampling
    double xResolution = 0, yResolution = 0;  // 0: no tag
    uint16_t resolutionUnit = 0;
    double xPosition = -1, yPosition = -1;    // negative: no tag
    int brokenStrip = -1;  // PackBits strip cut short, so libtiff cannot decode it
};

namespace tiff_detail {

inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> value;
};

inline Entry Shorts(uint16_t tag, const std::vector<uint16_t>& v) {
    Entry e{tag, 3, uint32_t(v.size()), {}};
    for (uint16_t x : v) Put16(e.value, x);
    return e;
}
inline Entry Longs(uint16_t tag, const std::vector<uint32_t>& v) {
    Entry e{tag, 4, uint32_t(v.size()), {}};
    for (uint32_t x : v) Put32(e.value, x);
    return e;
}
inline Entry Rational(uint16_t tag, double v) {
    Entry e{tag, 5, 1, {}};
    Put32(e.value, uint32_t(v * 10000 + 0.5));
    Put32(e.value, 10000);
    return e;
}

inline std::vector<uint8_t> PackBits(const uint8_t* data, size_t n, bool broken) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i += 128) {
        const size_t run = std::min<size_t>(128, n - i);
        out.push_back(uint8_t(run - 1));
        out.insert(out.end(), data + i, data + i + (broken ? 1 : run));
        if (broken) break;
    }
    return out;
}

}  // namespace tiff_detail

inline std::vector<uint8_t> BuildTiff(const std::vector<TiffPageSpec>& pages) {
    using namespace tiff_detail;
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
    size_t link = 4;  // where the offset of the next directory goes
    for (const TiffPageSpec& p : pages) {
        const uint32_t rowBytes = (p.width * p.spp * p.bits + 7) / 8;
        std::vector<std::vector<uint8_t>> chunks;
        if (p.tileWidth) {
            for (uint32_t ty = 0; ty < p.height; ty += p.tileLength)
                for (uint32_t tx = 0; tx < p.width; tx += p.tileWidth) {
                    std::vector<uint8_t> tile(size_t(p.tileWidth) * p.tileLength * p.spp, 0);
                    for (uint32_t y = 0; y < p.tileLength && ty + y < p.height; ++y)
                        for (uint32_t x = 0; x < p.tileWidth && tx + x < p.width; ++x)
                            memcpy(&tile[(size_t(y) * p.tileWidth + x) * p.spp],
                                   &p.rows[size_t(ty + y) * rowBytes + size_t(tx + x) * p.spp], p.spp);
                    chunks.push_back(tile);
                }
        } else {
            const uint32_t rps = p.rowsPerStrip ? p.rowsPerStrip : p.height;
            for (uint32_t y = 0; y < p.height; y += rps) {
                const uint8_t* start = p.rows.data() + size_t(y) * rowBytes;
                const size_t n = size_t(std::min(rps, p.height - y)) * rowBytes;
                if (p.compression == 32773)
                    chunks.push_back(PackBits(start, n, int(chunks.size()) == p.brokenStrip));
                else
                    chunks.emplace_back(start, start + n);
            }
        }
        std::vector<uint32_t> offsets, counts;
        for (const auto& c : chunks) {
            offsets.push_back(uint32_t(out.size()));
            counts.push_back(uint32_t(c.size()));
            out.insert(out.end(), c.begin(), c.end());
        }
        if (out.size() % 2) out.push_back(0);

        std::vector<Entry> entries = {Longs(256, {p.width}), Longs(257, {p.height}),
                                      Shorts(258, std::vector<uint16_t>(p.spp, p.bits)),
                                      Shorts(259, {p.compression}), Shorts(262, {p.photometric}),
                                      Shorts(277, {p.spp})};
        if (p.tileWidth) {
            entries.push_back(Longs(322, {p.tileWidth}));
            entries.push_back(Longs(323, {p.tileLength}));
            entries.push_back(Longs(324, offsets));
            entries.push_back(Longs(325, counts));
        } else {
            entries.push_back(Longs(273, offsets));
            entries.push_back(Longs(278, {p.rowsPerStrip ? p.rowsPerStrip : p.height}));
            entries.push_back(Longs(279, counts));
        }
        if (p.orientation) entries.push_back(Shorts(274, {p.orientation}));
        if (p.xResolution > 0) entries.push_back(Rational(282, p.xResolution));
        if (p.yResolution > 0) entries.push_back(Rational(283, p.yResolution));
        if (p.xPosition >= 0) entries.push_back(Rational(286, p.xPosition));
        if (p.yPosition >= 0) entries.push_back(Rational(287, p.yPosition));
        if (p.resolutionUnit) entries.push_back(Shorts(296, {p.resolutionUnit}));
        if (!p.colorMap.empty()) entries.push_back(Shorts(320, p.colorMap));
        if (!p.extraSamples.empty()) entries.push_back(Shorts(338, p.extraSamples));
        if (!p.subsampling.empty()) entries.push_back(Shorts(530, p.subsampling));
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

        const uint32_t ifd = uint32_t(out.size());
        for (int i = 0; i < 4; ++i) out[link + i] = uint8_t(ifd >> (8 * i));
        uint32_t extra = ifd + 2 + 12 * uint32_t(entries.size()) + 4;
        std::vector<uint8_t> tail;
        Put16(out, uint16_t(entries.size()));
        for (const Entry& e : entries) {
            Put16(out, e.tag);
            Put16(out, e.type);
            Put32(out, e.count);
            if (e.value.size() <= 4) {
                std::vector<uint8_t> v = e.value;
                v.resize(4, 0);
                out.insert(out.end(), v.begin(), v.end());
            } else {
                Put32(out, extra + uint32_t(tail.size()));
                tail.insert(tail.end(), e.value.begin(), e.value.end());
            }
        }
        link = out.size();
        Put32(out, 0);
        out.insert(out.end(), tail.begin(), tail.end());
        if (out.size() % 2) out.push_back(0);
    }
    return out;
}

}  // namespace zt_test

// Builds JPEG marker sections and EXIF blocks (TIFF directories) in memory
// for the EXIF reader and JPEG adapter tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt_test {

// A TIFF block in either byte order: the 8-byte header (first-directory
// offset 8), then whatever directories and data the test lays out.
class TiffBlock {
public:
    struct Entry {
        uint16_t tag;
        uint16_t format;
        uint32_t count;
        uint32_t raw;  // inline value (as Put32 writes it) or offset
    };

    explicit TiffBlock(bool bigEndian = false) : big(bigEndian) {
        bytes = {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I'), 0, 0, 0, 0, 0, 0};
        Put16(2, 42);
        Put32(4, 8);
    }

    void Put16(size_t at, uint16_t v) {
        Grow(at + 2);
        bytes[at + (big ? 0 : 1)] = uint8_t(v >> 8);
        bytes[at + (big ? 1 : 0)] = uint8_t(v);
    }
    void Put32(size_t at, uint32_t v) {
        Grow(at + 4);
        for (int i = 0; i < 4; ++i) bytes[at + size_t(big ? i : 3 - i)] = uint8_t(v >> (24 - 8 * i));
    }
    // Appends data and returns its offset.
    uint32_t AddData(const std::vector<uint8_t>& data) {
        const uint32_t at = uint32_t(bytes.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
        return at;
    }
    uint32_t AddRational(uint32_t num, uint32_t den) {
        const uint32_t at = uint32_t(bytes.size());
        Put32(at, num);
        Put32(at + 4, den);
        return at;
    }
    // Reserves room for a directory of n entries and returns its offset.
    uint32_t ReserveDirectory(size_t n) {
        const uint32_t at = uint32_t(bytes.size());
        Grow(at + 2 + 12 * n + 4);
        return at;
    }
    void WriteDirectory(uint32_t at, const std::vector<Entry>& entries, uint32_t next) {
        Put16(at, uint16_t(entries.size()));
        size_t p = at + 2;
        for (const Entry& e : entries) {
            Put16(p, e.tag);
            Put16(p + 2, e.format);
            Put32(p + 4, e.count);
            Put32(p + 8, e.raw);
            p += 12;
        }
        Put32(p, next);
    }
    // A SHORT value inline: it sits in the first two bytes of the value field.
    uint32_t Short(uint16_t v) const { return big ? uint32_t(v) << 16 : v; }
    Entry ShortEntry(uint16_t tag, uint16_t v) const { return Entry{tag, 3, 1, Short(v)}; }
    Entry LongEntry(uint16_t tag, uint32_t v) const { return Entry{tag, 4, 1, v}; }
    Entry RationalEntry(uint16_t tag, uint32_t num, uint32_t den) {
        return Entry{tag, 5, 1, AddRational(num, den)};
    }
    Entry AsciiEntry(uint16_t tag, const std::string& text) {
        std::vector<uint8_t> data(text.begin(), text.end());
        data.push_back(0);
        if (data.size() <= 4) {
            data.resize(4, 0);
            uint32_t raw = 0;
            for (int i = 0; i < 4; ++i) raw |= uint32_t(data[size_t(i)]) << (big ? 24 - 8 * i : 8 * i);
            return Entry{tag, 2, 4, raw};
        }
        return Entry{tag, 2, uint32_t(data.size()), AddData(data)};
    }
    Entry UndefinedEntry(uint16_t tag, const std::vector<uint8_t>& data) {
        return Entry{tag, 7, uint32_t(data.size()), AddData(data)};
    }

    bool big;
    std::vector<uint8_t> bytes;

private:
    void Grow(size_t n) {
        if (bytes.size() < n) bytes.resize(n, 0);
    }
};

// "Exif\0\0" followed by the block.
inline std::vector<uint8_t> ExifPayload(const std::vector<uint8_t>& block) {
    std::vector<uint8_t> p = {'E', 'x', 'i', 'f', 0, 0};
    p.insert(p.end(), block.begin(), block.end());
    return p;
}

// One marker section: 0xFF, the code, the big-endian length (payload + 2), the payload.
inline std::vector<uint8_t> Section(uint8_t marker, const std::vector<uint8_t>& payload) {
    const size_t length = payload.size() + 2;
    std::vector<uint8_t> s = {0xFF, marker, uint8_t(length >> 8), uint8_t(length)};
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}

// A baseline SOF0 payload: precision 8, height, width, components.
inline std::vector<uint8_t> FramePayload(uint16_t width, uint16_t height, uint8_t components) {
    std::vector<uint8_t> p = {8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
                              uint8_t(width), components};
    for (uint8_t c = 0; c < components; ++c) p.insert(p.end(), {uint8_t(c + 1), 0x11, 0});
    return p;
}

// Inserts sections right after the SOI marker of a JPEG file.
inline std::vector<uint8_t> InsertAfterSoi(const std::vector<uint8_t>& jpeg,
                                           const std::vector<uint8_t>& sections) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), sections.begin(), sections.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

}  // namespace zt_test

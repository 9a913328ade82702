// Bounded reading of untrusted bytes: fixed-offset field access for headers
// read in one piece, and a cursor whose reads past the end return 0 and set a
// sticky failure that the caller checks once per block.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t Get16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32LE(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint16_t Get16BE(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Get32BE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    bool Failed() const { return failed_; }
    size_t Position() const { return pos_; }
    size_t Size() const { return size_; }
    size_t Remaining() const { return size_ - pos_; }
    const uint8_t* Data() const { return data_; }

    // Moves to an absolute offset; an offset past the end fails.
    bool Seek(size_t offset) {
        if (offset > size_) return Fail();
        pos_ = offset;
        return true;
    }
    bool Skip(size_t n) {
        if (n > Remaining()) {
            pos_ = size_;
            return Fail();
        }
        pos_ += n;
        return true;
    }
    uint8_t U8() { return Has(1) ? data_[pos_++] : 0; }
    uint16_t U16LE() { return Has(2) ? Take(Get16LE(data_ + pos_), 2) : 0; }
    uint32_t U32LE() { return Has(4) ? Take(Get32LE(data_ + pos_), 4) : 0; }
    uint16_t U16BE() { return Has(2) ? Take(Get16BE(data_ + pos_), 2) : 0; }
    uint32_t U32BE() { return Has(4) ? Take(Get32BE(data_ + pos_), 4) : 0; }
    // Returns a pointer to n bytes and advances, or null (and fails) when fewer remain.
    const uint8_t* Bytes(size_t n) {
        if (!Has(n)) return nullptr;
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

private:
    bool Fail() {
        failed_ = true;
        return false;
    }
    bool Has(size_t n) {
        if (n <= Remaining()) return true;
        pos_ = size_;
        return Fail();
    }
    template <class T>
    T Take(T v, size_t n) {
        pos_ += n;
        return v;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool failed_ = false;
};

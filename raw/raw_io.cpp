// Reading for the RAW engine's parsers and loaders: values in the current
// byte order through the context's file operations, a bit reader, and the
// lossless-JPEG decoder (ITU-T T.81, process 14: SOF3 frames, Huffman-coded
// differences to one of seven predictors) that DNG and CR2 files use.
#include <algorithm>
#include <cstring>

#include "raw/raw_internal.h"

size_t raw_read(RawContext& ctx, void* buffer, size_t size, size_t count) {
    return ctx.fileOps->read(ctx.stream, buffer, size, count);
}
void raw_seek(RawContext& ctx, int64_t offset, int origin) { ctx.fileOps->seek(ctx.stream, offset, origin); }
int64_t raw_tell(RawContext& ctx) { return ctx.fileOps->tell(ctx.stream); }
int raw_getc(RawContext& ctx) { return ctx.fileOps->getc(ctx.stream); }
bool raw_eof(RawContext& ctx) { return ctx.fileOps->eof(ctx.stream) != 0; }

uint16_t sget2(const RawContext& ctx, const uint8_t* p) {
    return ctx.byteOrder == 0x4949 ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}
uint32_t sget4(const RawContext& ctx, const uint8_t* p) {
    return ctx.byteOrder == 0x4949 ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                                   : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
// Short reads leave zeros: a cut header reads as empty fields.
uint16_t get2(RawContext& ctx) {
    uint8_t b[2] = {};
    raw_read(ctx, b, 1, 2);
    return sget2(ctx, b);
}
uint32_t get4(RawContext& ctx) {
    uint8_t b[4] = {};
    raw_read(ctx, b, 1, 4);
    return sget4(ctx, b);
}
uint32_t get_value(RawContext& ctx, int type) {
    if (type == 3 || type == 8) return get2(ctx);
    if (type == 4 || type == 9) return get4(ctx);
    return uint32_t(raw_getc(ctx) & 0xFF);
}
bool in_file(const RawContext& ctx, int64_t offset, int64_t length) {
    return offset >= 0 && length >= 0 && offset <= ctx.fileSize && length <= ctx.fileSize - offset;
}

void RawBitReader::Fill(int count) {
    while (held_ < count) {
        int byte = 0;
        if (!marker_) {
            byte = raw_getc(ctx_);
            if (byte < 0) {
                report_data_error(ctx_);
                byte = 0;
                marker_ = true;  // the end: zeros from here on
            } else if (stuffing_ && byte == 0xFF) {
                const int next = raw_getc(ctx_);
                if (next != 0) {
                    // A marker: the entropy-coded data ends before it.
                    marker_ = true;
                    byte = 0;
                }
            }
        }
        buffer_ = (buffer_ << 8) | uint64_t(byte);
        held_ += 8;
    }
}

uint32_t RawBitReader::Peek(int count) {
    if (count == 0) return 0;
    Fill(count);
    return uint32_t(buffer_ >> (held_ - count)) & ((1u << count) - 1);
}

uint32_t RawBitReader::Bits(int count) {
    const uint32_t v = Peek(count);
    held_ -= count;
    return v;
}

namespace {

// Builds the 16-bit lookup of a DHT table: counts of codes per length 1..16
// and their values. Over-subscribed or empty tables are refused.
bool BuildTable(const uint8_t counts[16], const uint8_t* values, size_t valueCount, std::vector<uint16_t>& table) {
    table.assign(0x10000, 0);
    uint32_t code = 0;
    size_t v = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < counts[length - 1]; ++i) {
            if (v >= valueCount) return false;
            if (code >= (1u << length)) return false;  // over-subscribed
            const uint32_t first = code << (16 - length), span = 1u << (16 - length);
            for (uint32_t k = 0; k < span; ++k) table[first + k] = uint16_t(length << 8 | values[v]);
            ++code;
            ++v;
        }
        code <<= 1;
    }
    return v > 0;
}

int32_t DecodeDifference(RawBitReader& bits, const std::vector<uint16_t>& table) {
    const uint16_t entry = table[bits.Peek(16)];
    const int length = entry >> 8, size = entry & 0xFF;
    if (length == 0) {
        bits.Skip(16);  // a code no table has: damaged data
        return 0;
    }
    bits.Skip(length);
    if (size == 0) return 0;
    if (size == 16) return 32768;
    if (size > 16) return 0;
    int32_t diff = int32_t(bits.Bits(size));
    if ((diff & (1 << (size - 1))) == 0) diff -= (1 << size) - 1;
    return diff;
}

}  // namespace

bool lossless_jpeg_start(RawContext& ctx, LosslessJpeg& jh, bool infoOnly) {
    jh = LosslessJpeg{};
    uint8_t head[2] = {};
    if (raw_read(ctx, head, 1, 2) != 2 || head[0] != 0xFF || head[1] != 0xD8) return false;
    uint8_t data[0x10000];
    for (;;) {
        uint8_t marker[4] = {};
        if (raw_read(ctx, marker, 1, 4) != 4 || marker[0] != 0xFF) return false;
        const int tag = marker[0] << 8 | marker[1];
        const int length = (marker[2] << 8 | marker[3]) - 2;
        if (length < 0 || tag <= 0xFF00) return false;
        if (raw_read(ctx, data, 1, size_t(length)) != size_t(length)) return false;
        switch (tag) {
            case 0xFFC0: case 0xFFC1: case 0xFFC2: case 0xFFC3:
            case 0xFFC5: case 0xFFC6: case 0xFFC7: case 0xFFC9:
            case 0xFFCA: case 0xFFCB: case 0xFFCD: case 0xFFCE: case 0xFFCF: {
                if (length < 6) return false;
                jh.sofMarker = tag;
                jh.bits = data[0];
                jh.high = data[1] << 8 | data[2];
                jh.wide = data[3] << 8 | data[4];
                jh.clrs = data[5];
                if (length < 6 + 3 * jh.clrs) return false;
                // Only unsubsampled lossless frames decode here.
                for (int c = 0; c < jh.clrs; ++c)
                    if (data[7 + 3 * c] != 0x11) jh.sofMarker = -1;
                if (infoOnly) return tag == 0xFFC3;
                break;
            }
            case 0xFFC4: {  // Huffman tables
                int at = 0;
                while (at + 17 <= length) {
                    const int index = data[at] & 15;
                    size_t total = 0;
                    for (int i = 0; i < 16; ++i) total += data[at + 1 + i];
                    if (index > 3 || at + 17 + int(total) > length) return false;
                    if (!BuildTable(&data[at + 1], &data[at + 17], total, jh.tables[index])) return false;
                    at += 17 + int(total);
                }
                break;
            }
            case 0xFFDD:  // restart interval
                if (length >= 2) jh.restart = data[0] << 8 | data[1];
                break;
            case 0xFFDA: {  // start of scan
                if (jh.sofMarker != 0xFFC3) return false;
                if (jh.bits < 2 || jh.bits > 16 || jh.high < 1 || jh.wide < 1 || jh.clrs < 1 || jh.clrs > 4) return false;
                if (length < 1 || data[0] != jh.clrs || length < 1 + 2 * jh.clrs + 3) return false;
                for (int c = 0; c < jh.clrs; ++c) {
                    jh.tableOf[c] = (data[2 + 2 * c] >> 4) & 3;
                    if (jh.tables[jh.tableOf[c]].empty()) return false;
                }
                jh.predictor = data[1 + 2 * jh.clrs];
                jh.pointTransform = data[3 + 2 * jh.clrs] & 15;
                if (jh.predictor < 1 || jh.predictor > 7) jh.predictor = 1;
                if (jh.pointTransform >= jh.bits) return false;  // nothing would be left of a sample
                return true;
            }
            default:
                break;  // application data, comments: not needed
        }
    }
}

void lossless_jpeg_row(RawContext&, LosslessJpeg& jh, RawBitReader& bits, std::vector<uint16_t>& row,
                       const std::vector<uint16_t>* previous, int rowIndex) {
    const int width = jh.wide * jh.clrs;
    row.resize(size_t(width));
    const int32_t start = 1 << (jh.bits - jh.pointTransform - 1);
    const uint32_t mask = (1u << jh.bits) - 1;
    (void)rowIndex;
    for (int col = 0; col < width; ++col) {
        const int c = col % jh.clrs;
        const int32_t diff = DecodeDifference(bits, jh.tables[jh.tableOf[c]]);
        int32_t predicted;
        if (col < jh.clrs) {
            // The first pixel of a row predicts from the one above (or the
            // middle value on the first row).
            predicted = previous ? (*previous)[size_t(c)] : start;
        } else if (!previous) {
            predicted = row[size_t(col - jh.clrs)];
        } else {
            const int32_t a = row[size_t(col - jh.clrs)], b = (*previous)[size_t(col)],
                          cc = (*previous)[size_t(col - jh.clrs)];
            switch (jh.predictor) {
                case 1: predicted = a; break;
                case 2: predicted = b; break;
                case 3: predicted = cc; break;
                case 4: predicted = a + b - cc; break;
                case 5: predicted = a + ((b - cc) >> 1); break;
                case 6: predicted = b + ((a - cc) >> 1); break;
                default: predicted = (a + b) >> 1; break;
            }
        }
        row[size_t(col)] = uint16_t(uint32_t(predicted + diff) & mask);
    }
}

// What the RAW engine's parsers and loaders share: reading through the
// context's file operations in the current byte order, a bit reader, the
// lossless-JPEG decoder, and the parsers and loaders that identification
// chooses between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "raw/raw_context.h"

// --- reading -----------------------------------------------------------------
size_t raw_read(RawContext& ctx, void* buffer, size_t size, size_t count);
void raw_seek(RawContext& ctx, int64_t offset, int origin);
int64_t raw_tell(RawContext& ctx);
int raw_getc(RawContext& ctx);  // -1 at the end
bool raw_eof(RawContext& ctx);
// 16- and 32-bit values in the context's byte order, from the file or bytes.
uint16_t get2(RawContext& ctx);
uint32_t get4(RawContext& ctx);
uint16_t sget2(const RawContext& ctx, const uint8_t* p);
uint32_t sget4(const RawContext& ctx, const uint8_t* p);
// A value of a TIFF field type: 3 (short) as get2, 4 (long) as get4, others by size.
uint32_t get_value(RawContext& ctx, int type);
// Whether [offset, offset + length) lies inside the file.
bool in_file(const RawContext& ctx, int64_t offset, int64_t length);

// Reads bits most significant first from the file. With jpegStuffing, a
// 0xFF byte is followed by a 0x00 that is dropped, and a marker ends the data
// (zeros follow). Past the end of the file it delivers zeros and reports a
// data error once.
class RawBitReader {
public:
    RawBitReader(RawContext& ctx, bool jpegStuffing) : ctx_(ctx), stuffing_(jpegStuffing) {}
    uint32_t Bits(int count);  // count 0..25
    uint32_t Peek(int count);
    void Skip(int count) { held_ -= count; }
    void Reset() { held_ = 0, buffer_ = 0, marker_ = false; }

private:
    void Fill(int count);
    RawContext& ctx_;
    bool stuffing_;
    uint64_t buffer_ = 0;
    int held_ = 0;
    bool marker_ = false;
};

// --- lossless JPEG (ITU-T T.81, process 14) -----------------------------------
struct LosslessJpeg {
    int bits = 0, high = 0, wide = 0, clrs = 0, predictor = 1, pointTransform = 0, restart = 0;
    // Huffman decoding per component: a 16-bit lookup of (length << 8 | value).
    std::vector<uint16_t> tables[4];
    int tableOf[4] = {};
    int sofMarker = 0;
};
// Reads the markers from the file's position to the start of the scan.
// False when this is no lossless JPEG the engine can decode (a DCT frame, a
// table that is missing, over-subscribed or empty, impossible sizes).
bool lossless_jpeg_start(RawContext& ctx, LosslessJpeg& jh, bool infoOnly);
// Decodes one row of jh.wide x jh.clrs samples; previous is the row before
// (null for the first row or after a restart).
void lossless_jpeg_row(RawContext& ctx, LosslessJpeg& jh, RawBitReader& bits, std::vector<uint16_t>& row,
                       const std::vector<uint16_t>* previous, int rowIndex);

// --- parsers -------------------------------------------------------------------
void parse_tiff(RawContext& ctx, int64_t base);
void parse_ciff(RawContext& ctx, int64_t offset, int64_t length, int depth);
// visit(type, at, size) for each record of the CIFF heap at offset whose data
// lies in the file (records holding their data in themselves are skipped);
// nothing for a heap or record table outside the file, or of more than 4096
// records.
void walk_ciff_heap(RawContext& ctx, int64_t offset, int64_t length,
                    const std::function<void(uint32_t type, int64_t at, int64_t size)>& visit);
void parse_jpeg_container(RawContext& ctx, int64_t offset);
// The other families' header parsers (the dispatch has matched their
// signature): Fujifilm RAF, Minolta MRW, Phantom Cine, Foveon X3F, Contax.
void parse_fuji_raf(RawContext& ctx);
void parse_minolta(RawContext& ctx);
void parse_cine(RawContext& ctx);
void parse_foveon(RawContext& ctx);
void parse_contax(RawContext& ctx);
// Chooses the loader of a TIFF-based raw image from its compression and
// sample width; called once the IFDs are read.
void apply_tiff_raw_ifd(RawContext& ctx);

// --- loaders ---------------------------------------------------------------------
void adobe_dng_load_raw_nc(RawContext& ctx);
void lossless_jpeg_load_raw(RawContext& ctx);
void unpacked_load_raw(RawContext& ctx);
void eight_bit_load_raw(RawContext& ctx);
void packed_12_load_raw(RawContext& ctx);
void nikon_packed_12_load_raw(RawContext& ctx);
void fuji_load_raw(RawContext& ctx);
// Stores a sample of sensor photosite (row, col) into the pixel array when it
// is inside the visible area.
void store_sample(RawContext& ctx, int row, int col, uint32_t value);

// --- the TIFF-based and headerless makers (parse_makers.cpp, camera_corrections.cpp) ---
// A tag of a TIFF directory that the TIFF parser does not read itself; the
// file position is at the value.
void parse_maker_tiff_tag(RawContext& ctx, RawTiffIfd& ifd, int64_t base, uint32_t tag, int type, uint32_t count,
                          int depth);
// Identification's per-camera chain for the files identify_raw has no
// settings of its own for: layout, margins, pattern and black level.
void camera_corrections(RawContext& ctx);
// The pattern word of the repeating CFA the tags gave (cfaRepeat rows by
// columns of red, green and blue in cfaColours), seen from the visible area;
// all ones when the repeat has no such word or holds another colour.
uint32_t pattern_from_cfa_tags(const RawContext& ctx);
// Sets maker and model, cut to their fields.
void set_camera_names(RawContext& ctx, const char* maker, const char* model);

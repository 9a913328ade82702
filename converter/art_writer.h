// The art include writer: one Pawn array whose first row indexes the tiles
// and whose further rows are the tiles' texts cut into chunks of at most 249
// characters (a tile's last chunk takes whatever is left).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "converter/tile_encoder.h"

struct TileRecord {
    char text[kTileTextBytes];
    int32_t chunkCount;
};
static_assert(sizeof(TileRecord) == 4100, "a tile record is 4100 bytes");

constexpr int kChunkWindow = 250;
constexpr int kPairsPerIndexLine = 27;
// The Pawn compiler keeps 31 characters of a symbol and warns about longer ones.
constexpr int kMaxIdentifier = 31;

// The Pawn name for a base name: lowercase letters, digits after the first
// character and underscores, at most 31 of them (the rest of a longer name is
// ignored). Any other character, or a name the compiler would refuse (empty,
// "_", a reserved word or predefined constant, "main"), makes it fall back to
// "new_art_<rand() % 10000>" with a notice on standard output.
std::string MakeArtIdentifier(const wchar_t* baseName);

// Chunks needed for a tile text of this many characters: ceil(length / 250).
int32_t ChunkCount(size_t length);
int32_t ChunkCount(const char* tileText);

// Include bytes on their way out: gathered in one large buffer and handed to
// the sink in big pieces, so the disk sees few, large writes. The first
// failing hand-over is remembered and later bytes are dropped.
class ArtOutput {
public:
    using Sink = std::function<bool(const char* data, size_t size)>;
    // 2 MiB: few hand-overs, and one huge page (see the constructor).
    static constexpr size_t kDefaultCapacity = size_t(2) << 20;

    explicit ArtOutput(Sink sink, size_t capacity = kDefaultCapacity);
    ~ArtOutput();
    ArtOutput(const ArtOutput&) = delete;
    ArtOutput& operator=(const ArtOutput&) = delete;

    void Append(const char* data, size_t size) {
        if (size > capacity_ - used_ && !Drain(size)) return;
        memcpy(buffer_.get() + used_, data, size);
        used_ += size;
    }
    void Append(const char* text) { Append(text, strlen(text)); }
    // Room for at least size more bytes, to be filled and then Commit()ed;
    // null once the sink has failed.
    char* Reserve(size_t size) {
        if (size > capacity_ - used_ && !Drain(size)) return nullptr;
        return buffer_.get() + used_;
    }
    void Commit(size_t size) { used_ += size; }
    void AppendNumber(int64_t value);

    // Hands everything gathered to the sink; false when any hand-over failed.
    bool Flush();
    bool Failed() const { return failed_; }
    // Where the bytes go, for a writer that hands over buffers of its own
    // once this one is flushed; and the size of this one's buffer.
    const Sink& Destination() const { return sink_; }
    size_t Capacity() const { return capacity_; }
    // The bytes gathered and not yet handed over, and forgetting them (for a
    // buffer whose owner hands them over itself).
    std::string_view Gathered() const { return std::string_view(buffer_.get(), used_); }
    void Clear() { used_ = 0; }

private:
    // Empties the buffer so that size bytes fit; false once the sink failed.
    bool Drain(size_t size);

    struct FreeChars {
        void operator()(char* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<char[], FreeChars>;
    Sink sink_;
    Buffer buffer_;
    size_t capacity_;
    size_t used_ = 0;
    bool failed_ = false;
};

enum class WriteResult {
    Ok,
    // A 250-character window held no glyph letter: the text is malformed. The
    // writer has reported it on standard output; the include is incomplete.
    NoGlyphInWindow,
    // The output refused bytes (a full disk, say); the include is incomplete.
    OutputFailed,
    // The per-tile bookkeeping could not be allocated; nothing was written.
    OutOfMemory,
};

// The array header and the index row, from one chunk count per tile in record
// order (tile rows from the top, left to right).
void WriteArtHeader(ArtOutput& out, const std::string& identifier, int tilesAcross,
                    int tilesDown, const uint8_t* chunkCounts);

// One tile's chunks, each a line ", \"chunk\"": every window of 250 characters
// is cut just before its last glyph letter, the rest is the last chunk.
// chunkCount is ChunkCount(length) for a text the encoder made; false (after
// the emergency report on standard output) when a window holds no glyph.
bool WriteTileChunks(ArtOutput& out, const char* text, size_t length, int32_t chunkCount);

// A chunk's line is its text between these two.
constexpr char kChunkLineOpen[] = ", \"";
constexpr char kChunkLineClose[] = "\"\n";
constexpr size_t kChunkLineExtra = sizeof kChunkLineOpen - 1 + sizeof kChunkLineClose - 1;

// Where a full window of 250 characters is cut: the offset of its last glyph
// letter (the letter opens the next chunk, so no colour code is split), or -1
// when it holds none.
inline int CutInWindow(const char* window) {
#if defined(__SSE2__) && defined(__GNUC__)
    // The window's last 16 bytes at once: a colour code is nine, so the letter
    // is nearly always among them.
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + kChunkWindow - 16));
    const unsigned letters = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(tail, _mm_set1_epi8('g'))));
    if (letters != 0) return kChunkWindow - 16 + (31 - __builtin_clz(letters));
#endif
    int end = kChunkWindow;  // one past the last glyph letter, searched from the window's end
    while (end > 0 && window[end - 1] != 'g') --end;
    return end - 1;
}

// The emergency report on standard output for a window without a glyph.
void ReportWindowWithoutGlyph(const char* window);

// One tile's chunk lines made in place in out's buffer, for a text encoded
// straight into it (the cuts are WriteTileChunks's): Open takes the room and
// writes the first line's opening, the text goes to Text(), RowEnd follows
// each pixel row, and Close ends the last line.
class TileLinesInPlace {
public:
    // The room Open takes: a tile's longest text, the encoder's spare bytes,
    // and a line break for each chunk a count can claim.
    static constexpr size_t kRoom = kTileTextBytes + kChunkLineExtra * 255;

    // chunkCount was measured from the text to come. False once out failed.
    bool Open(ArtOutput& out, int32_t chunkCount) {
        char* const lines = out.Reserve(kRoom);
        if (!lines) return false;
        memcpy(lines, kChunkLineOpen, sizeof kChunkLineOpen - 1);
        out_ = &out;
        text_ = lines + sizeof kChunkLineOpen - 1;
        cutsLeft_ = chunkCount - 1;
        start_ = 0;
        glyphs_ = true;
        return true;
    }
    char* Text() const { return text_; }
    // After a pixel row, with n characters of text: every full window with
    // more chunks due is cut, the line break put in the cut. Returns the
    // text's length with the breaks.
    size_t RowEnd(size_t n) {
        while (cutsLeft_ > 0 && n - start_ >= size_t(kChunkWindow)) n = Cut(n);
        return n;
    }
    // Ends the last line and keeps the lines in out; false (after the
    // emergency report, the lines before the faulty window kept) when a
    // window held no glyph.
    bool Close(size_t length);

private:
    size_t Cut(size_t n);

    ArtOutput* out_ = nullptr;
    char* text_ = nullptr;
    int32_t cutsLeft_ = 0;
    size_t start_ = 0;  // the chunk being made, from its first character
    bool glyphs_ = true;
};

// The closing line.
void WriteArtFooter(ArtOutput& out);

// The whole array from records already encoded (tilesAcross x tilesDown of
// them), flushed to out's sink.
WriteResult WriteArtInclude(ArtOutput& out, const std::string& identifier, int tilesAcross,
                            int tilesDown, const TileRecord* records);

#include "converter/art_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "image/zt_image.h"

namespace {

// The output buffer is filled end to end again and again, and each first
// touch of a small page costs a fault (512 of them for 2 MiB): a buffer of
// whole huge pages is asked for as such.
char* NewOutputBuffer(size_t size) {
    void* p = size % kZtHugePage == 0 ? AllocateHugePages(size) : nullptr;
    if (!p) p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    return static_cast<char*>(p);
}

// Names the Pawn compiler (3.10 series) refuses as an array name: its
// reserved words (error 020) and its predefined constants (error 021), in the
// lowercase form an identifier here always has. The operators spelled with
// two underscores and __timestamp/__optimisation came with later 3.10
// releases; they are refused too, so an include compiles with any of them.
const char* const kPawnReservedNames[] = {
    // Reserved words and operators.
    "assert", "break", "case", "char", "const", "continue", "default", "defined", "do", "else",
    "enum", "exit", "for", "forward", "goto", "if", "native", "new", "operator", "public",
    "return", "sizeof", "sleep", "state", "static", "stock", "switch", "tagof", "while",
    "__addressof", "__emit", "__nameof", "__pragma", "__static_assert", "__static_check",
    // Predefined constants.
    "true", "false", "cellbits", "cellmax", "cellmin", "charbits", "charmax", "charmin",
    "ucharmax", "debug", "__line", "__file", "__date", "__time", "__compat", "__timestamp",
    "__optimization", "__optimisation",
    // The script's own entry point.
    "main",
};

// Whether the compiler accepts name as a new global symbol: not empty, not
// the bare underscore (that is the tag placeholder), not a reserved name.
bool UsableAsPawnName(const std::string& name) {
    if (name.empty() || name == "_") return false;
    for (const char* reserved : kPawnReservedNames)
        if (name == reserved) return false;
    return true;
}

std::string FallbackIdentifier() {
    printf("%ls", L"Pic name isn't good for pawn, using default name\n");
    return "new_art_" + std::to_string(rand() % 10000);
}

}  // namespace

std::string MakeArtIdentifier(const wchar_t* baseName) {
    std::string id;
    for (size_t i = 0; baseName && id.size() < size_t(kMaxIdentifier); ++i) {
        // Only the low 8 bits of each character are judged.
        const unsigned char ch = static_cast<unsigned char>(baseName[i] & 0xFF);
        if (ch == 0) break;
        if ((ch >= 'a' && ch <= 'z') || ch == '_' || (ch >= '0' && ch <= '9' && i > 0)) {
            id += static_cast<char>(ch);
        } else if (ch >= 'A' && ch <= 'Z') {
            id += static_cast<char>(ch - 'A' + 'a');
        } else {
            return FallbackIdentifier();
        }
    }
    return UsableAsPawnName(id) ? id : FallbackIdentifier();
}

int32_t ChunkCount(size_t length) {
    return static_cast<int32_t>((length + kChunkWindow - 1) / kChunkWindow);
}

int32_t ChunkCount(const char* tileText) { return ChunkCount(strlen(tileText)); }

ArtOutput::ArtOutput(Sink sink, size_t capacity)
    : sink_(std::move(sink)), buffer_(NewOutputBuffer(capacity)), capacity_(capacity) {}

ArtOutput::~ArtOutput() = default;

bool ArtOutput::Drain(size_t size) {
    if (!Flush()) return false;
    if (size > capacity_) {
        // Larger than the whole buffer (never for the writer's own pieces).
        buffer_.reset(NewOutputBuffer(size));
        capacity_ = size;
    }
    return true;
}

bool ArtOutput::Flush() {
    if (failed_) return false;
    if (used_ > 0 && !sink_(buffer_.get(), used_)) failed_ = true;
    used_ = 0;
    return !failed_;
}

void ArtOutput::AppendNumber(int64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    Append(p, size_t(end - p));
}

namespace {

// One array row: a comma, a space and the chunk in double quotes.
void WriteChunk(ArtOutput& out, const char* chunk, size_t length) {
    char* p = out.Reserve(length + kChunkLineExtra + 1);
    if (!p) return;
    memcpy(p, kChunkLineOpen, sizeof kChunkLineOpen - 1);
    p += sizeof kChunkLineOpen - 1;
    memcpy(p, chunk, length);
    memcpy(p + length, kChunkLineClose, sizeof kChunkLineClose - 1);
    out.Commit(length + kChunkLineExtra);
}

}  // namespace

void WriteArtHeader(ArtOutput& out, const std::string& identifier, int tilesAcross,
                    int tilesDown, const uint8_t* chunkCounts) {
    const int64_t tiles = int64_t(tilesAcross) * tilesDown;
    int64_t total = 0;
    for (int64_t i = 0; i < tiles; ++i) total += chunkCounts[i];

    out.Append("new ");
    out.Append(identifier.data(), identifier.size());
    out.Append("[");
    out.AppendNumber(total + 1);
    out.Append("][] = {\n{ ");
    out.AppendNumber(tilesAcross);
    out.Append(", ");
    out.AppendNumber(tilesDown);
    int64_t start = 1;
    for (int64_t i = 0; i < tiles; ++i) {
        out.Append(", ");
        out.AppendNumber(chunkCounts[i]);
        out.Append(", ");
        out.AppendNumber(start);
        start += chunkCounts[i];
        if (i % kPairsPerIndexLine == kPairsPerIndexLine - 1) out.Append("\n");
    }
    out.Append("}\n");
}

bool WriteTileChunks(ArtOutput& out, const char* text, size_t length, int32_t chunkCount) {
    const char* p = text;
    for (int32_t i = 0; i + 1 < chunkCount; ++i) {
        // The chunk count was computed from this text, so each window lies inside it;
        // a count that claims more chunks than the text holds stops here.
        if (size_t(p - text) + kChunkWindow > length) break;
        const int cut = CutInWindow(p);
        if (cut < 0) {
            ReportWindowWithoutGlyph(p);
            return false;
        }
        WriteChunk(out, p, size_t(cut));
        p += cut;
    }
    WriteChunk(out, p, length - size_t(p - text));
    return true;
}

void ReportWindowWithoutGlyph(const char* window) {
    printf("%ls", L"ERROR HAPPENED! SORRY!\n");
    printf("%.*s", kChunkWindow, window);
    fflush(stdout);
}

size_t TileLinesInPlace::Cut(size_t n) {
    const int cut = CutInWindow(text_ + start_);
    if (cut < 0) {
        ReportWindowWithoutGlyph(text_ + start_);
        glyphs_ = false;
        cutsLeft_ = 0;
        return n;
    }
    // The glyph letter and what follows it move on past the line break.
    const size_t at = start_ + size_t(cut);
    memmove(text_ + at + kChunkLineExtra, text_ + at, n - at);
    memcpy(text_ + at, kChunkLineClose, sizeof kChunkLineClose - 1);
    memcpy(text_ + at + sizeof kChunkLineClose - 1, kChunkLineOpen, sizeof kChunkLineOpen - 1);
    start_ = at + kChunkLineExtra;
    --cutsLeft_;
    return n + kChunkLineExtra;
}

bool TileLinesInPlace::Close(size_t length) {
    if (!glyphs_) {
        // The lines before the faulty window: they end where its chunk's
        // opening begins, start_ bytes into the lines.
        out_->Commit(start_);
        return false;
    }
    memcpy(text_ + length, kChunkLineClose, sizeof kChunkLineClose - 1);
    out_->Commit(sizeof kChunkLineOpen - 1 + length + sizeof kChunkLineClose - 1);
    return true;
}

void WriteArtFooter(ArtOutput& out) { out.Append("};\n"); }

WriteResult WriteArtInclude(ArtOutput& out, const std::string& identifier, int tilesAcross,
                            int tilesDown, const TileRecord* records) {
    const int64_t tiles = int64_t(tilesAcross) * tilesDown;
    std::unique_ptr<uint8_t[]> counts(new uint8_t[size_t(tiles > 0 ? tiles : 1)]);
    for (int64_t i = 0; i < tiles; ++i) counts[i] = uint8_t(records[i].chunkCount);
    WriteArtHeader(out, identifier, tilesAcross, tilesDown, counts.get());
    for (int64_t i = 0; i < tiles; ++i) {
        if (!WriteTileChunks(out, records[i].text, strlen(records[i].text), records[i].chunkCount)) {
            out.Flush();
            return WriteResult::NoGlyphInWindow;
        }
    }
    WriteArtFooter(out);
    return out.Flush() ? WriteResult::Ok : WriteResult::OutputFailed;
}

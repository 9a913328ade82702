#include "converter/art_writer.h"

#include <cstdlib>
#include <cstring>

namespace {

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

namespace {

// One array row: a comma, a space and the chunk in double quotes.
void WriteChunk(FILE* file, const char* chunk, size_t length) {
    fputs(", \"", file);
    fwrite(chunk, 1, length, file);
    fputs("\"\n", file);
}

// Writes one tile's chunks: every window of 250 characters is cut just before
// its last glyph letter, so no colour code is split; the rest is the last chunk.
bool WriteTileChunks(FILE* file, const TileRecord& record) {
    char chunk[kChunkWindow + 1];
    const char* p = record.text;
    const size_t length = strlen(record.text);
    for (int32_t i = 0; i + 1 < record.chunkCount; ++i) {
        // The chunk count was computed from this text, so each window lies inside it;
        // a record that claims more chunks than its text holds stops here.
        if (size_t(p - record.text) + kChunkWindow > length) break;
        memcpy(chunk, p, kChunkWindow);
        chunk[kChunkWindow] = '\0';
        int cut = kChunkWindow - 1;
        while (cut >= 0 && chunk[cut] != 'g') --cut;
        if (cut < 0) {
            printf("%ls", L"ERROR HAPPENED! SORRY!\n");
            printf("%s", chunk);
            fflush(stdout);
            return false;
        }
        WriteChunk(file, p, size_t(cut));
        p += cut;
    }
    WriteChunk(file, p, length - size_t(p - record.text));
    return true;
}

}  // namespace

WriteResult WriteArtInclude(FILE* file, const std::string& identifier, int tilesAcross,
                            int tilesDown, const TileRecord* records) {
    const int64_t tiles = int64_t(tilesAcross) * tilesDown;
    int64_t total = 0;
    for (int64_t i = 0; i < tiles; ++i) total += records[i].chunkCount;

    fprintf(file, "new %s[%lld][] = {\n", identifier.c_str(), static_cast<long long>(total + 1));
    fprintf(file, "{ %d, %d", tilesAcross, tilesDown);
    int64_t start = 1;
    for (int64_t i = 0; i < tiles; ++i) {
        fprintf(file, ", %d, %lld", records[i].chunkCount, static_cast<long long>(start));
        start += records[i].chunkCount;
        if (i % kPairsPerIndexLine == kPairsPerIndexLine - 1) fputs("\n", file);
    }
    fputs("}\n", file);
    for (int64_t i = 0; i < tiles; ++i) {
        if (!WriteTileChunks(file, records[i])) {
            fclose(file);
            return WriteResult::NoGlyphInWindow;
        }
    }
    fputs("};\n", file);
    fclose(file);
    return WriteResult::Ok;
}

// The art include writer: one Pawn array whose first row indexes the tiles
// and whose further rows are the tiles' texts cut into chunks of at most 249
// characters (a tile's last chunk takes whatever is left).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

enum class WriteResult {
    Ok,
    // A 250-character window held no glyph letter: the text is malformed. The
    // writer has reported it on standard output; the file is left incomplete.
    NoGlyphInWindow,
};

// Writes the whole array to file and closes it (also on failure).
WriteResult WriteArtInclude(FILE* file, const std::string& identifier, int tilesAcross,
                            int tilesDown, const TileRecord* records);

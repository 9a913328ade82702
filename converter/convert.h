// Cutting a loaded picture into tiles and writing its art include.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "converter/art_writer.h"

class ZtImage;

struct TileGrid {
    int32_t across = 0;
    int32_t down = 0;
    int64_t Count() const { return int64_t(across) * down; }
};

// ceil(width / 15) by ceil(height / 15).
TileGrid GridFor(const ZtImage& image);

// Encodes every tile, top tile row first, into one array of records. Null
// when the records cannot be allocated (their size is computed without overflow).
std::unique_ptr<TileRecord[]> EncodeAllTiles(const ZtImage& image, const TileGrid& grid);

// Hands write a stream that keeps its bytes after write closes it (as the
// include writer does) and returns those bytes, unchanged by any text mode.
std::string CaptureClosedStream(const std::function<void(FILE*)>& write);

// The whole include for image as text, written through a temporary file;
// used by tests and tools that compare outputs.
std::string ArtIncludeText(const ZtImage& image, const std::string& identifier);

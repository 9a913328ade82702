// A PNG picture of the art: what a script drawing the include would show.
#pragma once

#include <cstdint>
#include <string>

class ZtImage;

struct PreviewOptions {
    int32_t zoom = 1;   // each glyph becomes zoom x zoom pixels
    bool grid = false;  // one-pixel lines between the 15 x 15 tiles
};

// Writes path as an 8-bit RGB PNG read back from the tile texts the include
// holds for image: one pixel per glyph in its colour code's colour. False with
// a message naming the reason when the file cannot be written.
bool WriteArtPreview(const ZtImage& image, const std::string& path, const PreviewOptions& options,
                     std::string* error);

// The preview's size in pixels for a picture of width x height.
void PreviewSize(int32_t width, int32_t height, const PreviewOptions& options, int64_t* outWidth,
                 int64_t* outHeight);

// Resizing a loaded picture before it is cut into tiles.
#pragma once

#include <cstdint>
#include <string>

class ZtImage;

// Replaces image by a 24-bit copy of width x height pixels, every target pixel
// the area average of the source pixels it covers (palette and grey pictures
// are read through their colours). False with a message when the memory for
// the new picture or the filter cannot be had; image is unchanged then.
bool ScaleImage(ZtImage& image, int32_t width, int32_t height, std::string* error);

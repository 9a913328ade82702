// ZSoft PCX: run-length encoded scan lines of one to four colour planes with
// 1, 2, 4 or 8 bits per pixel per plane. Single-plane 8-bit pictures carry a
// 256-colour palette behind their pixel data; 3 and 4 planes of 8 bits become
// 24-bit pictures (the fourth plane is alpha); 1-bit planes merge into indices
// coloured by the header's 16-entry map.
#pragma once

#include "image/zt_image.h"

class ZtFile;

class ZtImagePCX : public ZtImage {
public:
    ZtImagePCX() : ZtImage(ImageFormat::Pcx) {}
    bool Decode(ZtFile* stream);
};

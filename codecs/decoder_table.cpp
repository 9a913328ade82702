// The decoders of this library, in the order the try-every-decoder pass
// uses them. Adding a decoder is one line here.
#include "codecs/adapters/png.h"
#include "image/decoder_registry.h"

const DecoderEntry* DecoderTable(size_t* count) {
    static const DecoderEntry kTable[] = {
        // BMP
        // JPEG
        // ICO
        // GIF
        ZT_DECODER(ImageFormat::Png, ZtImagePNG),
        // TIFF, MNG, TGA, PCX, WBMP, WMF/EMF, JPEG-2000 family, SKA, camera RAW follow.
        DecoderEntry{0, 0, nullptr},  // end marker, not a decoder
    };
    *count = sizeof kTable / sizeof kTable[0] - 1;
    return kTable;
}

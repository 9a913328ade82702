// The decoders of this library, in the order the try-every-decoder pass
// uses them. Adding a decoder is one line here.
#include "codecs/builtin/bmp.h"
#include "codecs/builtin/gif.h"
#include "codecs/adapters/jpeg.h"
#include "codecs/adapters/png.h"
#include "codecs/builtin/ico.h"
#include "image/decoder_registry.h"

const DecoderEntry* DecoderTable(size_t* count) {
    static const DecoderEntry kTable[] = {
        ZT_DECODER(ImageFormat::Bmp, ZtImageBMP),
        ZT_DECODER(ImageFormat::Jpeg, ZtImageJPG),
        ZT_MULTIFRAME_DECODER(ImageFormat::Icon, ZtImageICO),
        ZT_MULTIFRAME_DECODER(ImageFormat::Gif, ZtImageGIF),
        ZT_DECODER(ImageFormat::Png, ZtImagePNG),
        // TIFF, MNG, TGA, PCX, WBMP, WMF/EMF, JPEG-2000 family, SKA, camera RAW follow.
        DecoderEntry{0, 0, nullptr},  // end marker, not a decoder
    };
    *count = sizeof kTable / sizeof kTable[0] - 1;
    return kTable;
}

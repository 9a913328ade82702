// The formats this library knows, in the order the pass over every decoder
// tries them. Adding a format is one row here (and its own source pair).
#include "codecs/format_table.h"

#include "codecs/adapters/jas.h"
#include "codecs/adapters/jpeg.h"
#include "codecs/adapters/mng.h"
#include "codecs/adapters/png.h"
#include "codecs/adapters/raw.h"
#include "codecs/adapters/tiff.h"
#include "codecs/builtin/bmp.h"
#include "codecs/builtin/gif.h"
#include "codecs/builtin/ico.h"
#include "codecs/builtin/pcx.h"
#include "codecs/builtin/ska.h"
#include "codecs/builtin/tga.h"
#include "codecs/builtin/wbmp.h"
#include "codecs/builtin/wmf.h"
#include "image/format_table.h"

namespace {

constexpr bool kTried = true;      // the pass over every decoder runs this row
constexpr bool kFamily = false;    // a family's later id: its decoder is tried at the first row

// The metafile decoder takes a width and height to draw at; 0 and 0 keep the file's own.
bool RunMetafileDecoder(ZtImage& caller, ZtFile& stream, uint32_t) {
    auto temp = std::make_unique<ZtImageWMF>();
    temp->InheritSettings(caller);
    if (temp->Decode(&stream, 0, 0)) return caller.TakeOver(*temp, true);
    caller.AdoptFailure(*temp, false);
    return false;
}

const FormatRow kFormats[] = {
    {ImageFormat::Bmp, "bmp", &RunDecoder<ZtImageBMP>, kTried},
    {ImageFormat::Jpeg, "jpg jpe jfi", &RunDecoder<ZtImageJPG>, kTried},
    {ImageFormat::Icon, "ico cur", &RunDecoder<ZtImageICO, true>, kTried},
    {ImageFormat::Gif, "gif", &RunDecoder<ZtImageGIF, true>, kTried},
    {ImageFormat::Png, "png", &RunDecoder<ZtImagePNG>, kTried},
    {ImageFormat::Tiff, "tif", &RunDecoder<ZtImageTIF, true>, kTried},
    {ImageFormat::Mng, "mng jng", &RunDecoder<ZtImageMNG, true>, kTried},
    {ImageFormat::Targa, "tga", &RunDecoder<ZtImageTGA>, kTried},
    {ImageFormat::Pcx, "pcx", &RunDecoder<ZtImagePCX>, kTried},
    {ImageFormat::Wbmp, "wbm", &RunDecoder<ZtImageWBMP>, kTried},
    {ImageFormat::Metafile, "wmf emf", &RunMetafileDecoder, kTried},
    {ImageFormat::Jp2, "jp2 j2k", &RunFamilyDecoder<ZtImageJAS>, kTried},
    {ImageFormat::Jpc, "jpc j2c", &RunFamilyDecoder<ZtImageJAS>, kFamily},
    {ImageFormat::Pgx, "pgx", &RunFamilyDecoder<ZtImageJAS>, kFamily},
    {ImageFormat::Pnm, "pnm pgm ppm", &RunFamilyDecoder<ZtImageJAS>, kFamily},
    {ImageFormat::SunRaster, "ras", &RunFamilyDecoder<ZtImageJAS>, kFamily},
    {ImageFormat::Ska, "ska", &RunDecoder<ZtImageSKA>, kTried},
    {ImageFormat::CameraRaw, "nef crw cr2 dng arw erf 3fr dcr raw x3f mef raf mrw pef sr2 orf",
     &RunDecoder<ZtImageRAW>, kTried},
};

}  // namespace

void InstallCodecs() { InstallFormatTable(kFormats, sizeof kFormats / sizeof kFormats[0]); }

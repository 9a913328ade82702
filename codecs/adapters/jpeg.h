// ZtImageJPG: baseline and progressive JPEG through libjpeg (6b API), fed from
// the image library's byte stream. The EXIF reader runs over the same stream
// first; its resolution fields win over the JFIF density.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/adapters/exif.h"
#include "image/zt_image.h"

struct JpegDecodeState;

class ZtImageJPG : public ZtImage {
public:
    // Decoder option bits (DecoderOption(ImageFormat::Jpeg)).
    static constexpr uint32_t kOptionGrayscale = 0x80;
    static constexpr uint32_t kOptionQuantize = 0x100;
    static constexpr uint32_t kOptionDither = 0x200;
    static constexpr uint32_t kOptionNoTwoPass = 0x400;
    static constexpr uint32_t kOptionNoFancyUpsampling = 0x800;

    ZtImageJPG();
    ~ZtImageJPG() override;

    bool Decode(ZtFile* stream);
    // Runs the EXIF reader over the stream and puts the stream back where it
    // was; returns the record's isExif.
    bool LoadExif(ZtFile* stream);

    const ExifRecord& Exif() const { return exif; }
    // The reader of the last LoadExif (its error text and kept sections), or null.
    const ZtExifReader* ExifReader() const { return exifReader.get(); }
    int32_t DitherMode() const { return ditherMode; }
    void SetDitherMode(int32_t mode) { ditherMode = mode; }

private:
    bool RunDecode(JpegDecodeState& state, bool haveExif);
    void ApplyResolution(const JpegDecodeState& state, bool haveExif);

    std::unique_ptr<ZtExifReader> exifReader;
    ExifRecord exif;
    int32_t ditherMode;
};

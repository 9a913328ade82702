// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/format_table.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

// Decoders that hand part of a file to another format (icon entries holding
// PNG data) go through the loader, which needs the format table.
static const bool kFuzzCodecsInstalled = (InstallCodecs(), true);

// Pictures above this many pixels are skipped after the dimensions pass, so
// one input cannot stall the fuzzer.
constexpr int64_t kFuzzMaxPixels = 4000000;

// Reads every pixel (colour and alpha) so the sanitizers see any bad or
// uninitialised storage; returns a sum the caller keeps alive.
inline uint32_t TouchEveryPixel(const ZtImage& img) {
    uint32_t sum = 0;
    for (int32_t y = 0; y < img.Height(); ++y)
        for (int32_t x = 0; x < img.Width(); ++x) {
            const ZtQuad q = img.ColorAt(x, y, true);
            sum += uint32_t(q.red + q.green + q.blue + q.alpha);
        }
    volatile uint32_t sink = sum;
    return sink;
}

// What a decoder leaves in lastError when it fails.
enum class FailureText { Message, Nothing };

// The whole run of a fuzz target over one decoder class. The dimensions
// pass makes no pixels and decides whether the picture is small enough; the
// decode then either leaves a picture of the size the dimensions pass gave
// (unless sizesMayTurn: orientation may swap them) and every pixel is read,
// or it fails, with a message where the decoder gives one. (A failed
// decoder may hold a half-made picture: the loader throws it away.)
// Impossible states abort, so the fuzzer reports them. prepare, when given,
// sets options on both images first.
template <class Decoder, class Prepare>
int FuzzDecoder(const uint8_t* data, size_t size, FailureText failure, int64_t maxPixels, bool sizesMayTurn,
                Prepare prepare) {
    Decoder probe;
    prepare(probe);
    probe.SetAbortCode(-1);
    ZtMemFile probeStream(data, size);
    const bool sized = probe.Decode(&probeStream);
    if (sized && probe.HasPixels()) abort();
    if (sized && int64_t(probe.Width()) * probe.Height() > maxPixels) return 0;

    Decoder img;
    prepare(img);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();
        const bool sameSize = img.Width() == probe.Width() && img.Height() == probe.Height();
        const bool turned = img.Width() == probe.Height() && img.Height() == probe.Width();
        if (!sized || !(sameSize || (sizesMayTurn && turned))) abort();
        TouchEveryPixel(img);
    } else if ((failure == FailureText::Message) != (img.LastError()[0] != 0)) {
        abort();
    }
    return 0;
}

template <class Decoder>
int FuzzDecoder(const uint8_t* data, size_t size, FailureText failure, int64_t maxPixels = kFuzzMaxPixels) {
    return FuzzDecoder<Decoder>(data, size, failure, maxPixels, false, [](Decoder&) {});
}

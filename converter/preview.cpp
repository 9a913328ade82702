// Preview writer: tile texts decoded back into pixels, written as PNG
// (PNG specification, ISO/IEC 15948) through libpng's write API.
#include "converter/preview.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "converter/convert.h"
#include "converter/tile_encoder.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

namespace {

constexpr uint8_t kGridGrey = 0x80;
// PNG rows wider than this are refused by common viewers anyway.
constexpr int64_t kMaxPreviewSide = 1 << 20;

// Everything the write owns, created before the recovery point so that a
// long jump out of libpng leaves nothing behind. Release is safe twice.
struct PreviewSession {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[200] = {0};
    std::vector<uint32_t> band;  // 15 art rows of colours 0xRRGGBB
    std::vector<uint8_t> row;    // one output row, RGB
    TilePixels block;
    char text[kTileTextBytes];

    ~PreviewSession() { Release(); }
    void Release() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
        png = nullptr;
        info = nullptr;
        if (file) fclose(file);
        file = nullptr;
    }
};

void OnPngError(png_structp png, png_const_charp text) {
    auto* session = static_cast<PreviewSession*>(png_get_error_ptr(png));
    snprintf(session->message, sizeof session->message, "%s", text);
    png_longjmp(png, 1);
}

// Warnings say nothing the user can act on; the preview is written regardless.
void OnPngWarning(png_structp, png_const_charp) {}

// Reads one tile text back into the band: a colour code sets the colour,
// each glyph letter is one pixel of it, backslash-n ends a pixel row.
void DecodeTileText(const char* text, int tx, int32_t width, std::vector<uint32_t>& band) {
    uint32_t colour = 0;
    int k = 0, c = 0;
    for (const char* p = text; *p && k < kTileSize;) {
        if (*p == '{') {
            colour = uint32_t(strtoul(std::string(p + 1, 6).c_str(), nullptr, 16));
            p += 8;
        } else if (*p == 'g') {
            const int64_t x = int64_t(kTileSize) * tx + c;
            if (c < kTileSize && x < width) band[size_t(k) * size_t(width) + size_t(x)] = colour;
            ++c;
            ++p;
        } else if (*p == '\\' && p[1] == 'n') {
            ++k;
            c = 0;
            p += 2;
        } else {
            ++p;
        }
    }
}

bool WriteRows(PreviewSession& s, const ZtImage& image, const PreviewOptions& o, int64_t outWidth,
               int64_t outHeight) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_init_io(s.png, s.file);
    png_set_IHDR(s.png, s.info, png_uint_32(outWidth), png_uint_32(outHeight), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(s.png, s.info);
    const TileGrid grid = GridFor(image);
    const int32_t width = image.Width(), height = image.Height();
    const int32_t zoom = o.zoom;
    for (int32_t ty = 0; ty < grid.down; ++ty) {
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            // The same steps as the include's own tiles.
            memset(&s.block, 0, sizeof s.block);
            ExtractTile(image, tx, ty, s.block);
            const int64_t cols = int64_t(width) - int64_t(kTileSize) * tx;
            const int64_t rows = int64_t(height) - int64_t(kTileSize) * ty;
            EncodeTile(s.text, s.block, int(cols > kTileSize ? kTileSize : cols),
                       int(rows > kTileSize ? kTileSize : rows));
            DecodeTileText(s.text, tx, width, s.band);
        }
        if (o.grid && ty > 0) {
            memset(s.row.data(), kGridGrey, s.row.size());
            png_write_row(s.png, s.row.data());
        }
        const int32_t bandRows = height - kTileSize * ty < kTileSize ? height - kTileSize * ty : kTileSize;
        for (int32_t k = 0; k < bandRows; ++k) {
            uint8_t* out = s.row.data();
            for (int32_t x = 0; x < width; ++x) {
                if (o.grid && x > 0 && x % kTileSize == 0) {
                    out[0] = out[1] = out[2] = kGridGrey;
                    out += 3;
                }
                const uint32_t v = s.band[size_t(k) * size_t(width) + size_t(x)];
                for (int32_t z = 0; z < zoom; ++z, out += 3) {
                    out[0] = uint8_t(v >> 16);
                    out[1] = uint8_t(v >> 8);
                    out[2] = uint8_t(v);
                }
            }
            for (int32_t z = 0; z < zoom; ++z) png_write_row(s.png, s.row.data());
        }
    }
    png_write_end(s.png, s.info);
    return true;
}

}  // namespace

void PreviewSize(int32_t width, int32_t height, const PreviewOptions& o, int64_t* outWidth,
                 int64_t* outHeight) {
    const int64_t across = (int64_t(width) + kTileSize - 1) / kTileSize;
    const int64_t down = (int64_t(height) + kTileSize - 1) / kTileSize;
    *outWidth = int64_t(width) * o.zoom + (o.grid && across > 1 ? across - 1 : 0);
    *outHeight = int64_t(height) * o.zoom + (o.grid && down > 1 ? down - 1 : 0);
}

bool WriteArtPreview(const ZtImage& image, const std::string& path, const PreviewOptions& o,
                     std::string* error) {
    int64_t outWidth = 0, outHeight = 0;
    PreviewSize(image.Width(), image.Height(), o, &outWidth, &outHeight);
    if (image.Width() <= 0 || image.Height() <= 0 || outWidth > kMaxPreviewSide ||
        outHeight > kMaxPreviewSide) {
        *error = "the preview would be " + std::to_string(outWidth) + " x " + std::to_string(outHeight) +
                 " pixels, more than a PNG viewer takes";
        return false;
    }
    PreviewSession s;
    try {
        s.band.assign(size_t(kTileSize) * size_t(image.Width()), 0);
        s.row.assign(size_t(outWidth) * 3, 0);
    } catch (const std::bad_alloc&) {
        *error = "not enough memory";
        return false;
    }
    s.file = OpenFilePath(path.c_str(), "wb");
    if (!s.file) {
        *error = strerror(errno);
        return false;
    }
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, OnPngError, OnPngWarning);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (!s.png || !s.info) {
        s.Release();
        RemoveFilePath(path.c_str());
        *error = "not enough memory";
        return false;
    }
    bool ok = WriteRows(s, image, o, outWidth, outHeight);
    const bool flushed = fflush(s.file) == 0 && !ferror(s.file);
    const int writeErrno = errno;
    s.Release();
    if (ok && !flushed) {
        ok = false;
        snprintf(s.message, sizeof s.message, "%s", strerror(writeErrno));
    }
    if (!ok) {
        RemoveFilePath(path.c_str());
        *error = s.message[0] ? s.message : "libpng failed";
    }
    return ok;
}

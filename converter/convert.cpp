#include "converter/convert.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "image/checked_math.h"
#include "image/zt_image.h"

TileGrid GridFor(const ZtImage& image) {
    TileGrid g;
    const int32_t w = image.Width() > 0 ? image.Width() : 0;
    const int32_t h = image.Height() > 0 ? image.Height() : 0;
    g.across = (w + kTileSize - 1) / kTileSize;
    g.down = (h + kTileSize - 1) / kTileSize;
    return g;
}

std::unique_ptr<TileRecord[]> EncodeAllTiles(const ZtImage& image, const TileGrid& grid) {
    uint64_t bytes = 0;
    if (grid.across <= 0 || grid.down <= 0 ||
        !CheckedMul3(uint64_t(grid.across), uint64_t(grid.down), sizeof(TileRecord), &bytes) ||
        bytes > SIZE_MAX)
        return nullptr;
    std::unique_ptr<TileRecord[]> records(new (std::nothrow) TileRecord[size_t(grid.Count())]);
    if (!records) return nullptr;
    TilePixels block;
    char text[kTileTextBytes];
    const int32_t width = image.Width(), height = image.Height();
    for (int32_t ty = 0; ty < grid.down; ++ty) {
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            memset(&block, 0, sizeof block);
            ExtractTile(image, tx, ty, block);
            const int64_t cols = int64_t(width) - int64_t(kTileSize) * tx;
            const int64_t rows = int64_t(height) - int64_t(kTileSize) * ty;
            EncodeTile(text, block, int(cols < 0 ? 0 : cols > kTileSize ? kTileSize : cols),
                       int(rows < 0 ? 0 : rows > kTileSize ? kTileSize : rows));
            TileRecord& r = records[size_t(ty) * size_t(grid.across) + size_t(tx)];
            const size_t len = strlen(text);
            memcpy(r.text, text, len + 1);
            r.chunkCount = ChunkCount(len);
        }
    }
    return records;
}

std::string CaptureClosedStream(const std::function<void(FILE*)>& write) {
#ifdef _WIN32
    // No memory streams here: a temporary file, opened in binary mode so the
    // text is the same as on every other system.
    wchar_t* name = _wtempnam(nullptr, L"zent");
    if (!name) return std::string();
    std::string text;
    if (FILE* f = _wfopen(name, L"wb")) {
        write(f);
        if (FILE* in = _wfopen(name, L"rb")) {
            char chunk[65536];
            size_t n;
            while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
            fclose(in);
        }
        _wremove(name);
    }
    free(name);
    return text;
#else
    // A memory stream keeps the text after fclose.
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&buffer, &size);
    if (!f) return std::string();
    write(f);
    std::string text(buffer ? buffer : "", size);
    free(buffer);
    return text;
#endif
}

std::string ArtIncludeText(const ZtImage& image, const std::string& identifier) {
    const TileGrid grid = GridFor(image);
    auto records = EncodeAllTiles(image, grid);
    if (!records) return std::string();
    // The writer closes its stream.
    return CaptureClosedStream(
        [&](FILE* f) { WriteArtInclude(f, identifier, grid.across, grid.down, records.get()); });
}

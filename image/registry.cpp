// Extension table, format slots, the decoder dispatcher and the file loader.
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

#include "image/decoder_registry.h"
#include "image/image_format.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

int FormatSlot(uint32_t id) {
    if (id <= 15) return static_cast<int>(id);
    if (id >= 17 && id <= 19) return static_cast<int>(id - 1);
    return 0;
}

namespace {

struct ExtensionRow {
    const char* ext;
    uint32_t id;
};

// Tested in this order; only the first three characters are compared.
const ExtensionRow kExtensions[] = {
    {"bmp", ImageFormat::Bmp},       {"jpg", ImageFormat::Jpeg},     {"jpe", ImageFormat::Jpeg},
    {"jfi", ImageFormat::Jpeg},      {"gif", ImageFormat::Gif},      {"png", ImageFormat::Png},
    {"ico", ImageFormat::Icon},      {"cur", ImageFormat::Icon},     {"tif", ImageFormat::Tiff},
    {"tga", ImageFormat::Targa},     {"pcx", ImageFormat::Pcx},      {"wbm", ImageFormat::Wbmp},
    {"wmf", ImageFormat::Metafile},  {"emf", ImageFormat::Metafile}, {"jp2", ImageFormat::Jp2},
    {"j2k", ImageFormat::Jp2},       {"jpc", ImageFormat::Jpc},      {"j2c", ImageFormat::Jpc},
    {"pgx", ImageFormat::Pgx},       {"ras", ImageFormat::SunRaster}, {"pnm", ImageFormat::Pnm},
    {"pgm", ImageFormat::Pnm},       {"ppm", ImageFormat::Pnm},      {"mng", ImageFormat::Mng},
    {"jng", ImageFormat::Mng},       {"ska", ImageFormat::Ska},      {"nef", ImageFormat::CameraRaw},
    {"crw", ImageFormat::CameraRaw}, {"cr2", ImageFormat::CameraRaw}, {"dng", ImageFormat::CameraRaw},
    {"arw", ImageFormat::CameraRaw}, {"erf", ImageFormat::CameraRaw}, {"3fr", ImageFormat::CameraRaw},
    {"dcr", ImageFormat::CameraRaw}, {"raw", ImageFormat::CameraRaw}, {"x3f", ImageFormat::CameraRaw},
    {"mef", ImageFormat::CameraRaw}, {"raf", ImageFormat::CameraRaw}, {"mrw", ImageFormat::CameraRaw},
    {"pef", ImageFormat::CameraRaw}, {"sr2", ImageFormat::CameraRaw}, {"orf", ImageFormat::CameraRaw},
};

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

bool IsKnownId(uint32_t id) { return id >= 1 && id <= 19 && id != 16; }

}  // namespace

uint32_t FormatIdFromExtension(const wchar_t* extension) {
    if (!extension) return ImageFormat::Unknown;
    for (int i = 0; i < 3; ++i)
        if (extension[i] == 0) return ImageFormat::Unknown;
    for (const ExtensionRow& row : kExtensions) {
        bool same = true;
        for (int i = 0; i < 3 && same; ++i)
            same = LowerAscii(extension[i]) == static_cast<wchar_t>(row.ext[i]);
        if (same) return row.id;
    }
    return ImageFormat::Unknown;
}

uint32_t FormatIdFromExtension(const char* extension) {
    if (!extension) return ImageFormat::Unknown;
    wchar_t wide[4] = {0, 0, 0, 0};
    for (int i = 0; i < 3 && extension[i]; ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(extension[i]));
    return FormatIdFromExtension(wide);
}

void ZtImage::AdoptFailure(const ZtImage& decoder, bool withFrameCount) {
    SetLastError(decoder.lastError);
    if (withFrameCount) frameCount = decoder.frameCount;
}

bool ZtImage::Decode(ZtFile* stream, uint32_t id) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    size_t count = 0;
    const DecoderEntry* table = DecoderTable(&count);
    if (IsKnownId(id)) {
        for (size_t i = 0; i < count; ++i)
            if (id >= table[i].formatId && id <= table[i].lastFormatId)
                return table[i].run(*this, *stream, id);
        // A format of the table whose decoder is not part of this build.
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    if (id == ImageFormat::Unknown) {
        const int32_t start = stream->Position();
        for (size_t i = 0; i < count; ++i) {
            if (table[i].run(*this, *stream, ImageFormat::Unknown)) return true;
            stream->SeekTo(start, 0);
        }
    }
    SetLastError("Decode: Unknown or wrong format");
    return false;
}

bool ZtImage::Decode(FILE* file, uint32_t id) {
    ZtIOFile stream(file);
    return Decode(file ? &stream : nullptr, id);
}

bool ZtImage::LoadFromPath(const char* path, uint32_t id) {
    if (!path) return false;
    if (FormatSlot(id) != 0) {
        FILE* f = fopen(path, "rb");
        if (!f) return false;
        const bool ok = Decode(f, id);
        fclose(f);
        if (ok) return true;
    }
    char saved[sizeof lastError];
    memcpy(saved, lastError, sizeof saved);
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    const bool ok = Decode(f, ImageFormat::Unknown);
    fclose(f);
    if (!ok && id != ImageFormat::Unknown) SetLastError(saved);
    return ok;
}

bool ZtImage::LoadFromPath(const wchar_t* path, uint32_t id) {
    if (!path) return false;
    // Wide paths become the locale's multibyte bytes for fopen.
    std::mbstate_t state{};
    const wchar_t* src = path;
    size_t n = wcsrtombs(nullptr, &src, 0, &state);
    if (n == static_cast<size_t>(-1)) return false;
    std::string bytes(n, '\0');
    src = path;
    state = std::mbstate_t{};
    wcsrtombs(&bytes[0], &src, n, &state);
    return LoadFromPath(bytes.c_str(), id);
}

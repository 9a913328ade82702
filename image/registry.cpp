// The installed format table, the extension lookup, the decoder dispatcher
// and the file loader.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <new>
#include <string>

#include "image/decode_outcome.h"
#include "image/format_table.h"
#include "image/image_format.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

// The installed table (see InstallFormatTable); empty until the codecs layer
// installs its rows.
const FormatRow* g_rows = nullptr;
size_t g_rowCount = 0;

// The stream buffer of a picture being loaded. The stdio default is one disk
// block, which costs a read call for every 4 KiB of the file.
constexpr size_t kLoadBufferBytes = size_t(1) << 16;

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// Whether the three characters at ext equal the first three of the word at list.
bool SameExtension(const wchar_t* ext, const char* list) {
    for (int i = 0; i < 3; ++i)
        if (list[i] == 0 || list[i] == ' ' || LowerAscii(ext[i]) != static_cast<wchar_t>(list[i])) return false;
    return true;
}

}  // namespace

void InstallFormatTable(const FormatRow* rows, size_t count) {
    g_rows = rows;
    g_rowCount = rows ? count : 0;
}

const FormatRow* FindFormatRow(uint32_t id) {
    for (size_t i = 0; i < g_rowCount; ++i)
        if (g_rows[i].id == id) return &g_rows[i];
    return nullptr;
}

uint32_t FormatIdFromExtension(const wchar_t* extension) {
    if (!extension) return ImageFormat::Unknown;
    for (int i = 0; i < 3; ++i)
        if (extension[i] == 0) return ImageFormat::Unknown;
    for (size_t r = 0; r < g_rowCount; ++r) {
        // Extensions are three letters each, separated by single spaces.
        for (const char* word = g_rows[r].extensions; word && *word;) {
            if (SameExtension(extension, word)) return g_rows[r].id;
            while (*word && *word != ' ') ++word;
            while (*word == ' ') ++word;
        }
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

DecodeOutcome ZtImage::ReportSize(uint32_t width, uint32_t height, uint32_t id, const char* message) {
    header.width = static_cast<int32_t>(std::min<uint32_t>(width, INT32_MAX));
    header.height = static_cast<int32_t>(std::min<uint32_t>(height, INT32_MAX));
    formatId = id;
    if (message) SetLastError(message);
    return DecodeOutcome::SizeOnly;
}

bool ZtImage::Decode(ZtFile* stream, uint32_t id) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    // A reduction is reported by the decode that makes it.
    SetFullSize(0, 0, 0);
    if (FormatSlot(id) != 0) {
        const FormatRow* row = FindFormatRow(id);
        if (row && row->decode) return row->decode(*this, *stream, id);
        // A known format whose decoder is not part of this build.
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    if (id == ImageFormat::Unknown) {
        const int32_t start = stream->Position();
        for (size_t i = 0; i < g_rowCount; ++i) {
            const FormatRow& row = g_rows[i];
            if (!row.decode || !row.tryAll) continue;
            if (row.decode(*this, *stream, ImageFormat::Unknown)) return true;
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
    // Without the buffer the stream keeps its default one.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLoadBufferBytes]);
    const auto open = [&]() {
        FILE* opened = OpenFilePath(path, "rb");
        if (opened && buffer) setvbuf(opened, buffer.get(), _IOFBF, kLoadBufferBytes);
        return opened;
    };
    if (FormatSlot(id) != 0) {
        FILE* f = open();
        if (!f) return false;
        const bool ok = Decode(f, id);
        fclose(f);
        if (ok) return true;
    }
    char saved[sizeof lastError];
    memcpy(saved, lastError, sizeof saved);
    FILE* f = open();
    if (!f) return false;
    const bool ok = Decode(f, ImageFormat::Unknown);
    fclose(f);
    if (!ok && id != ImageFormat::Unknown) SetLastError(saved);
    return ok;
}

bool ZtImage::LoadFromPath(const wchar_t* path, uint32_t id) {
    if (!path) return false;
#ifdef _WIN32
    // Wide paths are UTF-16 here; the narrow loader takes UTF-8.
    const int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    std::string utf8(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &utf8[0], n, nullptr, nullptr);
    return LoadFromPath(utf8.c_str(), id);
#else
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
#endif
}

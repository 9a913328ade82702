// Format ids: the numbers stored in an image's formatId, used by the extension
// table, the decoder dispatcher and the per-format decoder option slots.
#pragma once

#include <cstdint>
#include <cwchar>

struct ImageFormat {
    enum : uint32_t {
        Unknown = 0,  // no format: try every decoder
        Bmp = 1,
        Gif = 2,
        Jpeg = 3,
        Png = 4,
        Icon = 5,
        Tiff = 6,
        Targa = 7,
        Pcx = 8,
        Wbmp = 9,
        Metafile = 10,
        Jp2 = 11,
        Jpc = 12,
        Pgx = 13,
        Pnm = 14,
        SunRaster = 15,
        // 16 belongs to no format.
        Mng = 17,
        Ska = 18,
        CameraRaw = 19,
    };
};

// Maps a format id to its decoder option slot: 0..15 to themselves, 17..19 to
// 16..18; 16 and anything unknown to 0. A slot other than 0 is what makes an
// id a format id.
constexpr int FormatSlot(uint32_t id) {
    return id <= 15 ? static_cast<int>(id) : (id >= 17 && id <= 19) ? static_cast<int>(id - 1) : 0;
}

// Number of per-format option slots in an image's settings.
constexpr int kFormatSlots = FormatSlot(ImageFormat::CameraRaw) + 1;

// Maps an extension (without its dot) to a format id through the installed
// format table. Only the first three characters count, compared without
// regard to ASCII case; shorter extensions match nothing.
uint32_t FormatIdFromExtension(const wchar_t* extension);
uint32_t FormatIdFromExtension(const char* extension);

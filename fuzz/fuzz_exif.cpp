// Fuzz target for the EXIF reader: the section scan over the whole input, and
// the block parser over the input taken as an APP1 payload. The last input
// byte's bit 0 picks the scan mode (EXIF parsed or not).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/adapters/exif.h"
#include "image/zt_file.h"

namespace {

uint32_t Touch(const ExifRecord& rec) {
    uint32_t sum = uint32_t(strlen(rec.make) + strlen(rec.model) + strlen(rec.comment) +
                            strlen(rec.exifVersion) + strlen(rec.dateTimeOriginal));
    for (uint32_t i = 0; rec.thumbnail && i < rec.thumbnailSize; ++i) sum += rec.thumbnail[i];
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    {
        ExifRecord rec{};
        ZtExifReader reader(&rec);
        ZtMemFile stream(data, size);
        const int32_t mode = size && (data[size - 1] & 1) ? 0 : ZtExifReader::kReadExif;
        reader.ScanSections(&stream, mode);
        if (reader.SectionCount() > ZtExifReader::kMaxSections) abort();
        for (int32_t i = 0; i < reader.SectionCount(); ++i) {
            const uint8_t* s = reader.SectionData(i);
            if (!s || reader.SectionSize(i) < 2) abort();
            sum += s[reader.SectionSize(i) - 1];
        }
        sum += Touch(rec);
    }
    // The input as the payload of one APP1 section of at most 65533 bytes.
    if (size <= 65533) {
        std::vector<uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
        payload.insert(payload.end(), data, data + size);
        if (payload.size() > 65533) payload.resize(65533);
        ExifRecord rec{};
        ZtExifReader reader(&rec);
        reader.ParseExifBlock(payload.data(), int32_t(payload.size() + 2));
        sum += Touch(rec);
    }
    volatile uint32_t sink = sum;
    (void)sink;
    return 0;
}

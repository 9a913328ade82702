// ZtExifReader: walks the marker sections at the head of a JPEG file up to the
// start of scan, keeps them, reads the frame size and the comment, and parses
// an APP1 "Exif" block (a TIFF structure of image file directories) into an
// ExifRecord. It never fails a decode: a problem ends the scan with false and
// a text in ErrorText().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/zt_image.h"

class ZtFile;

struct ExifRecord {
    char exifVersion[5];
    char make[32];
    char model[40];
    char dateTimeOriginal[20];
    int32_t frameHeight;
    int32_t frameWidth;
    int32_t exifOrientation;
    int32_t isColour;
    int32_t frameMarker;
    int32_t flashFired;
    float focalLength;
    float exposureTime;
    float fNumber;
    float subjectDistance;
    float sensorWidthInches;
    float exposureBias;
    int32_t lightSource;
    int32_t meteringMode;
    int32_t exposureProgram;
    int32_t isoSpeed;
    int32_t compressedBitsPerPixel;
    float focalPlaneXResolution;
    float focalPlaneYResolution;
    float focalPlaneUnitFactor;
    float xResolution;
    float yResolution;
    float resolutionUnitFactor;
    float brightnessValue;
    char comment[1000];
    const uint8_t* thumbnail;  // inside a section the reader keeps; not owned
    uint32_t thumbnailSize;
    bool isExif;
};

class ZtExifReader {
public:
    static constexpr int kMaxSections = 20;
    // ScanSections mode bit: parse the EXIF block and the comment.
    static constexpr int32_t kReadExif = 0x1;

    explicit ZtExifReader(ExifRecord* record);
    ZtExifReader(const ZtExifReader&) = delete;
    ZtExifReader& operator=(const ZtExifReader&) = delete;

    // Reads sections from the stream's current position and leaves the stream
    // where the scan stopped. True when the start of scan was reached.
    bool ScanSections(ZtFile* stream, int32_t mode);
    // payload: an APP1 payload beginning "Exif"; sectionLength counts the two
    // length bytes, so the payload holds sectionLength - 2 bytes.
    bool ParseExifBlock(uint8_t* payload, int32_t sectionLength);
    // One image file directory at directory (inside [base, base + blockLength)).
    bool ParseDirectory(uint8_t* directory, uint8_t* base, uint32_t blockLength,
                        ExifRecord& record, int32_t depth);
    // The first component of a value (8 bytes readable at value for formats 5,
    // 10 and 12, 4 for 4, 9 and 11, 2 for 3 and 8, 1 for 1 and 6).
    double ConvertValue(const uint8_t* value, int32_t format) const;
    // section: the section's two length bytes followed by its payload.
    void StoreComment(const uint8_t* section, int32_t sectionLength);
    void StoreFrameHeader(const uint8_t* section, int32_t marker);

    const char* ErrorText() const { return errorText; }
    int32_t SectionCount() const { return sectionCount; }
    int32_t SectionMarker(int32_t index) const;
    int32_t SectionSize(int32_t index) const;
    const uint8_t* SectionData(int32_t index) const;
    bool BigEndian() const { return bigEndian; }

private:
    struct Section {
        ZtBytes data;
        int32_t marker = 0;
        int32_t size = 0;
    };

    void SetError(const char* text);
    void DropLastSection();
    uint16_t Read16(const uint8_t* p) const;
    uint32_t Read32(const uint8_t* p) const;

    ExifRecord* record;
    char errorText[256];
    int32_t largestPixelDimension = 0;
    bool bigEndian = false;
    // Directories parsed in the current block; bounds the work a block whose
    // links fan out can cause.
    int32_t directoriesParsed = 0;
    Section sections[kMaxSections];
    int32_t sectionCount = 0;
};

// Byte streams every decoder reads from. ZtFile mirrors the C stdio calls;
// ZtIOFile implements it over a FILE; ZtMemFile over a caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Opens a file by name like fopen. On Windows the name is UTF-8 and is
// opened through the wide-character call, so any file name can be reached; a
// name that is not valid UTF-8 is taken in the system's code page.
FILE* OpenFilePath(const char* path, const char* mode);
// Removes a file by name like remove, with the same naming rule.
int RemoveFilePath(const char* path);

// A read-only view of all of a stream's bytes, without a copy: a memory
// stream's own bytes, or a file mapped by the system (its pages are read when
// first touched). The mapping ends with the view.
class ZtFileView {
public:
    ZtFileView() = default;
    ~ZtFileView() { Release(); }
    ZtFileView(const ZtFileView&) = delete;
    ZtFileView& operator=(const ZtFileView&) = delete;

    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // Safe to call more than once.
    void Release();

    // For the streams: bytes the stream keeps alive, or the whole of an open
    // regular file mapped (false where the system cannot map it).
    void Borrow(const uint8_t* data, size_t size);
    bool MapFile(FILE* file);

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

class ZtFile {
public:
    virtual ~ZtFile() = default;
    virtual bool CloseStream() = 0;
    // Reads up to count blocks of size bytes; returns the number of whole blocks read.
    virtual size_t ReadBlocks(void* buffer, size_t size, size_t count) = 0;
    virtual size_t WriteBlocks(const void* buffer, size_t size, size_t count) = 0;
    // origin: 0 from the start, 1 from the current position, 2 from the end.
    virtual bool SeekTo(int32_t offset, int origin) = 0;
    virtual int32_t Position() = 0;
    // Total size in bytes; the position is left where it was.
    virtual int32_t Length() = 0;
    virtual bool FlushStream() = 0;
    virtual bool AtEnd() = 0;
    virtual int32_t ErrorState() = 0;
    virtual bool PutByte(uint8_t byte);
    // The next byte 0..255, or -1 at the end.
    virtual int32_t GetByte() = 0;
    // Reads a line like fgets; null at the end.
    virtual char* GetLine(char* buffer, int maxLength) = 0;
    // Formatted read of one value like fscanf; the number of values converted, or -1.
    virtual int ScanFormatted(const char* format, void* target) = 0;
    // Makes view show the stream's bytes from its start to its end; false
    // (and view left alone) for a stream that cannot be seen whole.
    virtual bool ViewContents(ZtFileView& view);
};

// A stream over a C FILE. Made around a caller's open file it never closes it;
// made with a null file it owns nothing and reads nothing.
class ZtIOFile : public ZtFile {
public:
    explicit ZtIOFile(FILE* f) : file(f), ownsFile(f == nullptr) {}
    ~ZtIOFile() override;
    ZtIOFile(const ZtIOFile&) = delete;
    ZtIOFile& operator=(const ZtIOFile&) = delete;

    bool CloseStream() override;
    size_t ReadBlocks(void* buffer, size_t size, size_t count) override;
    size_t WriteBlocks(const void* buffer, size_t size, size_t count) override;
    bool SeekTo(int32_t offset, int origin) override;
    int32_t Position() override;
    int32_t Length() override;
    bool FlushStream() override;
    bool AtEnd() override;
    int32_t ErrorState() override;
    bool PutByte(uint8_t byte) override;
    int32_t GetByte() override;
    char* GetLine(char* buffer, int maxLength) override;
    int ScanFormatted(const char* format, void* target) override;
    bool ViewContents(ZtFileView& view) override;

private:
    FILE* file;
    bool ownsFile;
};

// A read-only stream over bytes the caller keeps alive; used by tests, fuzz
// targets and decoders that hand a part of a file to another decoder.
class ZtMemFile : public ZtFile {
public:
    ZtMemFile(const uint8_t* data, size_t size);

    bool CloseStream() override { return true; }
    size_t ReadBlocks(void* buffer, size_t size, size_t count) override;
    size_t WriteBlocks(const void*, size_t, size_t) override { return 0; }
    bool SeekTo(int32_t offset, int origin) override;
    int32_t Position() override { return static_cast<int32_t>(pos_); }
    int32_t Length() override { return static_cast<int32_t>(size_); }
    bool FlushStream() override { return true; }
    bool AtEnd() override { return eof_; }
    int32_t ErrorState() override { return 0; }
    int32_t GetByte() override;
    char* GetLine(char* buffer, int maxLength) override;
    int ScanFormatted(const char* format, void* target) override;
    bool ViewContents(ZtFileView& view) override;

private:
    const uint8_t* data_;
    size_t size_;  // capped at INT32_MAX so positions fit the interface
    size_t pos_ = 0;
    bool eof_ = false;
};

// Reads from the stream's position to its end, at most cap bytes, so a
// decoder can parse a run-length or record stream through a ByteReader. The
// vector is as long as what was read; a stream shorter than the caller hoped
// is the caller's to judge.
std::vector<uint8_t> ReadToEnd(ZtFile& stream, size_t cap);

#include "image/zt_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/stat.h>
#endif

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// The UTF-16 form of a UTF-8 name; false when the bytes are not UTF-8.
bool WideName(const char* utf8, std::wstring& wide) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (n <= 0) return false;
    wide.assign(size_t(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &wide[0], n) != n) return false;
    wide.resize(size_t(n - 1));
    return true;
}

}  // namespace

FILE* OpenFilePath(const char* path, const char* mode) {
    std::wstring wpath, wmode;
    if (!WideName(path, wpath) || !WideName(mode, wmode)) return fopen(path, mode);
    return _wfopen(wpath.c_str(), wmode.c_str());
}

int RemoveFilePath(const char* path) {
    std::wstring wpath;
    if (!WideName(path, wpath)) return remove(path);
    return _wremove(wpath.c_str());
}
#else
FILE* OpenFilePath(const char* path, const char* mode) { return fopen(path, mode); }

int RemoveFilePath(const char* path) { return remove(path); }
#endif

bool ZtFile::PutByte(uint8_t byte) { return WriteBlocks(&byte, 1, 1) == 1; }

bool ZtFile::ViewContents(ZtFileView&) { return false; }

void ZtFileView::Borrow(const uint8_t* data, size_t size) {
    Release();
    data_ = data;
    size_ = size;
}

void ZtFileView::Release() {
#ifndef _WIN32
    if (mapped_) munmap(const_cast<uint8_t*>(data_), size_);
#endif
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool ZtFileView::MapFile(FILE* file) {
#ifdef _WIN32
    // Windows streams are read through the stream itself.
    (void)file;
    return false;
#else
    struct stat info {};
    const int fd = file ? fileno(file) : -1;
    // Only a regular file has a size to map; an empty one has nothing to show.
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        uint64_t(info.st_size) > SIZE_MAX)
        return false;
    void* at = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (at == MAP_FAILED) return false;
    Release();
    data_ = static_cast<const uint8_t*>(at);
    size_ = size_t(info.st_size);
    mapped_ = true;
    return true;
#endif
}

ZtIOFile::~ZtIOFile() {
    if (ownsFile && file) fclose(file);
}

bool ZtIOFile::CloseStream() {
    if (!file || !ownsFile) return true;
    int rc = fclose(file);
    file = nullptr;
    return rc == 0;
}

size_t ZtIOFile::ReadBlocks(void* buffer, size_t size, size_t count) {
    if (!file || !buffer || size == 0 || count == 0) return 0;
    return fread(buffer, size, count, file);
}

size_t ZtIOFile::WriteBlocks(const void* buffer, size_t size, size_t count) {
    if (!file || !buffer || size == 0 || count == 0) return 0;
    return fwrite(buffer, size, count, file);
}

bool ZtIOFile::SeekTo(int32_t offset, int origin) {
    if (!file) return false;
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return fseek(file, offset, whence) == 0;
}

int32_t ZtIOFile::Position() { return file ? static_cast<int32_t>(ftell(file)) : 0; }

int32_t ZtIOFile::Length() {
    if (!file) return -1;
    long here = ftell(file);
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fseek(file, here, SEEK_SET);
    return static_cast<int32_t>(size);
}

bool ZtIOFile::FlushStream() { return file && fflush(file) == 0; }
bool ZtIOFile::AtEnd() { return !file || feof(file) != 0; }
int32_t ZtIOFile::ErrorState() { return file ? ferror(file) : -1; }

bool ZtIOFile::PutByte(uint8_t byte) { return file && fputc(byte, file) == byte; }

int32_t ZtIOFile::GetByte() { return file ? fgetc(file) : -1; }

char* ZtIOFile::GetLine(char* buffer, int maxLength) {
    return file ? fgets(buffer, maxLength, file) : nullptr;
}

int ZtIOFile::ScanFormatted(const char* format, void* target) {
    return file ? fscanf(file, format, target) : -1;
}

bool ZtIOFile::ViewContents(ZtFileView& view) { return file && view.MapFile(file); }

ZtMemFile::ZtMemFile(const uint8_t* data, size_t size)
    : data_(data), size_(data ? std::min<size_t>(size, INT32_MAX) : 0) {}

size_t ZtMemFile::ReadBlocks(void* buffer, size_t size, size_t count) {
    if (!buffer || size == 0 || count == 0) return 0;
    size_t left = size_ - pos_;
    // Like fread, a partial last block is consumed but not counted.
    bool shortRead = count > left / size;
    size_t taken = shortRead ? left : size * count;
    if (taken) memcpy(buffer, data_ + pos_, taken);
    pos_ += taken;
    if (shortRead) eof_ = true;
    return taken / size;
}

bool ZtMemFile::SeekTo(int32_t offset, int origin) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(pos_)
                                                 : static_cast<int64_t>(size_);
    int64_t target = base + offset;
    if (target < 0) return false;
    // Seeking past the end is allowed, as with fseek; reads there return nothing.
    pos_ = static_cast<size_t>(std::min<int64_t>(target, static_cast<int64_t>(size_)));
    eof_ = false;
    return true;
}

int32_t ZtMemFile::GetByte() {
    if (pos_ >= size_) {
        eof_ = true;
        return -1;
    }
    return data_[pos_++];
}

char* ZtMemFile::GetLine(char* buffer, int maxLength) {
    if (!buffer || maxLength <= 0) return nullptr;
    if (pos_ >= size_) {
        eof_ = true;
        return nullptr;
    }
    int n = 0;
    while (n < maxLength - 1 && pos_ < size_) {
        char c = static_cast<char>(data_[pos_++]);
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return buffer;
}

bool ZtMemFile::ViewContents(ZtFileView& view) {
    if (size_ == 0) return false;
    view.Borrow(data_, size_);
    return true;
}

int ZtMemFile::ScanFormatted(const char* format, void* target) {
    // Scan from a bounded copy of the rest of the stream; %n tells how much was used.
    if (pos_ >= size_) {
        eof_ = true;
        return -1;
    }
    size_t avail = std::min<size_t>(size_ - pos_, 4096);
    std::string rest(reinterpret_cast<const char*>(data_ + pos_), avail);
    std::string fmt = std::string(format) + "%n";
    int used = 0;
    int rc = sscanf(rest.c_str(), fmt.c_str(), target, &used);
    if (rc > 0) pos_ += static_cast<size_t>(used);
    return rc;
}

std::vector<uint8_t> ReadToEnd(ZtFile& stream, size_t cap) {
    std::vector<uint8_t> bytes;
    const int32_t at = stream.Position();
    const int32_t length = stream.Length();
    // The known remaining length sizes the buffer once; streams that cannot
    // tell it are read in blocks.
    if (at >= 0 && length >= at) {
        bytes.resize(std::min<size_t>(size_t(length - at), cap));
        bytes.resize(stream.ReadBlocks(bytes.data(), 1, bytes.size()));
        return bytes;
    }
    uint8_t block[65536];
    while (bytes.size() < cap) {
        const size_t got = stream.ReadBlocks(block, 1, std::min(sizeof block, cap - bytes.size()));
        if (got == 0) break;
        bytes.insert(bytes.end(), block, block + got);
    }
    return bytes;
}

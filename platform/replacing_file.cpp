#include "platform/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/console.h"
#else
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
constexpr size_t kWritePiece = size_t(512) << 10;
#endif

#ifdef _WIN32
// Text mode: every line feed reaches the file as carriage return and line
// feed, the line end Windows editors expect. Names are UTF-8 and opened
// through their UTF-16 form, so any script survives.
int CreateNew(const std::string& name) {
    return _wopen(WidePath(name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}
int CurrentProcessId() { return _getpid(); }
int RemoveName(const std::string& name) { return _wunlink(WidePath(name).c_str()); }

// The system's text for an error code, in UTF-8 without the line end.
std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, int(n), nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            out.assign(size_t(bytes), '\0');
            WideCharToMultiByte(CP_UTF8, 0, text, int(n), &out[0], bytes, nullptr, nullptr);
        }
    }
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}
#else
int CreateNew(const std::string& name) {
    // 0666 before the umask, as a file opened with fopen(..., "w") gets.
    return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int CurrentProcessId() { return int(getpid()); }
int RemoveName(const std::string& name) { return unlink(name.c_str()); }
#endif

}  // namespace

bool ReplacingFile::Fail(int err) {
    if (error_.empty()) error_ = strerror(err);
    Abandon();
    return false;
}

bool ReplacingFile::Open(const std::string& target) {
    Abandon();
    error_.clear();
    written_ = reserved_ = 0;
    target_ = target;
    // Beside the target, so the final rename never crosses file systems. The
    // process id keeps two runs in one folder apart; a file of that name that
    // is already there (left by a killed run, say) is never touched.
    const std::string stem = target + "." + std::to_string(CurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = stem + (attempt ? "." + std::to_string(attempt) : "") + ".tmp";
        fd_ = CreateNew(temp);
        if (fd_ >= 0) {
            temp_ = temp;
            return true;
        }
        if (errno != EEXIST) break;
    }
    return Fail(errno);
}

bool ReplacingFile::Write(const char* data, size_t size) {
    if (fd_ < 0) return Fail(EBADF);
    while (size > 0) {
#ifdef _WIN32
        // The runtime's write takes an unsigned int count.
        const unsigned piece = unsigned(size < (1u << 30) ? size : (1u << 30));
        const int n = _write(fd_, data, piece);
#else
        // At most 512 KiB a call: the page cache backs a larger write with
        // 2 MiB pages, whose allocation stalls for tens of milliseconds once
        // memory is fragmented, while these pieces cost no more in the end.
        const ssize_t n = write(fd_, data, size < kWritePiece ? size : kWritePiece);
#endif
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        // A write that takes nothing would loop forever; the device is full.
        if (n == 0) return Fail(ENOSPC);
        data += n;
        size -= size_t(n);
        written_ += uint64_t(n);
    }
    return true;
}

void ReplacingFile::Reserve(uint64_t size) {
#ifdef __linux__
    if (fd_ < 0 || size <= reserved_ || size > uint64_t(INT64_MAX)) return;
    if (fallocate(fd_, 0, 0, off_t(size)) == 0) reserved_ = size;
#else
    (void)size;
#endif
}

bool ReplacingFile::Commit() {
    if (fd_ < 0) return Fail(EBADF);
    const int fd = fd_;
    fd_ = -1;
    // Some file systems report a failed write only when the file is closed.
#ifdef _WIN32
    if (_close(fd) != 0) return Fail(errno);
    // rename() on Windows refuses an existing target; MoveFileExW replaces
    // it in one step, as rename() does elsewhere.
    if (!MoveFileExW(WidePath(temp_).c_str(), WidePath(target_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (error_.empty()) error_ = SystemMessage(GetLastError());
        Abandon();
        return false;
    }
#else
    // Room reserved and not written is given back (it reads as zeros).
    if (reserved_ > written_ && ftruncate(fd, off_t(written_)) != 0) {
        const int err = errno;
        close(fd);
        return Fail(err);
    }
    if (close(fd) != 0) return Fail(errno);
    if (rename(temp_.c_str(), target_.c_str()) != 0) return Fail(errno);
#endif
    temp_.clear();
    return true;
}

void ReplacingFile::Abandon() {
    if (fd_ >= 0) {
#ifdef _WIN32
        _close(fd_);
#else
        close(fd_);
#endif
        fd_ = -1;
    }
    if (!temp_.empty()) {
        RemoveName(temp_);
        temp_.clear();
    }
}

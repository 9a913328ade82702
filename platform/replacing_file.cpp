#include "platform/replacing_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ReplacingFile::Fail(int err) {
    if (error_.empty()) error_ = strerror(err);
    Abandon();
    return false;
}

bool ReplacingFile::Open(const std::string& target) {
    Abandon();
    error_.clear();
    target_ = target;
    // Beside the target, so the final rename never crosses file systems. The
    // process id keeps two runs in one folder apart; a file of that name that
    // is already there (left by a killed run, say) is never touched.
    const std::string stem = target + "." + std::to_string(getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = stem + (attempt ? "." + std::to_string(attempt) : "") + ".tmp";
        // 0666 before the umask, as a file opened with fopen(..., "w") gets.
        fd_ = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
        const ssize_t n = write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        // A write that takes nothing would loop forever; the device is full.
        if (n == 0) return Fail(ENOSPC);
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool ReplacingFile::Commit() {
    if (fd_ < 0) return Fail(EBADF);
    const int fd = fd_;
    fd_ = -1;
    // Some file systems report a failed write only when the file is closed.
    if (close(fd) != 0) return Fail(errno);
    if (rename(temp_.c_str(), target_.c_str()) != 0) return Fail(errno);
    temp_.clear();
    return true;
}

void ReplacingFile::Abandon() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

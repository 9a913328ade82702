// A file that appears whole or not at all: its bytes go into a temporary file
// in the same folder, which is renamed over the target only after every write
// and the close succeeded. A failed or abandoned write removes the temporary
// file and leaves whatever the target held before. Names are UTF-8 on Windows,
// where the file is written in text mode (each line feed becomes carriage
// return and line feed) and the rename replaces an existing target too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile() { Abandon(); }
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file beside target. False, with Error() set, when
    // the folder takes no new file.
    bool Open(const std::string& target);
    // Writes all size bytes; false, with Error() set, on the first failure
    // (a full disk, say), after which nothing more is written.
    bool Write(const char* data, size_t size);
    // Asks the file system for room for size bytes in all, so that the
    // writes need not find it piece by piece (Linux; a hint, whose failure
    // changes nothing). Room left unwritten is given back by Commit.
    void Reserve(uint64_t size);
    // Closes the temporary file and renames it over the target; on failure
    // the temporary file is removed and Error() says why.
    bool Commit();
    // Closes and removes the temporary file; safe to call more than once.
    void Abandon();

    // The system's reason for the first failure ("No space left on device").
    const std::string& Error() const { return error_; }
    // The temporary file's name while it exists.
    const std::string& TemporaryName() const { return temp_; }

private:
    bool Fail(int err);

    int fd_ = -1;
    uint64_t written_ = 0, reserved_ = 0;
    std::string target_, temp_, error_;
};

// Helpers shared by the test files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/zt_image.h"

// ZENT_TEST_ASAN: built with AddressSanitizer, whose shadow memory rules out
// address-space limits.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZENT_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZENT_TEST_ASAN 1
#endif

namespace zt_test {

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string ReadFileText(const std::string& path);

// The shared corpus folder, or "" when this checkout has none beside it.
std::string CorpusDir();

// The exit status and captured output of one run of the program.
struct RunResult {
    int status = -1;
    std::string out, err;
};

// A word quoted for the POSIX shell, so any path survives a command line.
std::string ShellQuote(const std::string& s);

// A fresh empty directory below the system's temporary directory.
std::string MakeTempDir(const std::string& tag);

// 64-bit FNV-1a of text, as hex; the reference scripts use the same hash.
std::string Fnv1a64Hex(const std::string& text);

// An image decoded from bytes in memory with the given format id.
bool DecodeBytes(ZtImage& image, const std::vector<uint8_t>& bytes, uint32_t formatId);
// The same bytes decoded from a file on disk (a temporary one, removed after).
bool DecodeFileBytes(ZtImage& image, const std::vector<uint8_t>& bytes, uint32_t formatId);

// A 24-bit image with the given colours (0xRRGGBB), listed top line first.
void MakeTrueColour(ZtImage& image, int width, int height, const std::vector<uint32_t>& topDown);

// One row of a recorded reference table (tests/data/<fmt>_reference.tsv, made
// by scripts/reference/): a corpus path, the manifest's expectation, and the
// include hash computed from an independent decoder's pixels ("fail" when the
// reference decoder refused the file, "any" when no reference applies).
struct CorpusReference {
    std::string path;
    std::string expect;
    std::string reference;
    int width = 0;
    int height = 0;
};
std::vector<CorpusReference> LoadCorpusReferences(const std::string& tsvPath);

// The invariant of every sweep over damaged input: a decode that succeeded
// left pixels and a positive size; one that failed left the caller's image
// without pixels and, for formats that explain failures, a message.
testing::AssertionResult DecodedOrFailedCleanly(bool ok, const ZtImage& image, bool messageOnFailure);

// Hash of the art include our converter writes for image (identifier "ref").
std::string IncludeHash(const ZtImage& image);

// Whether image has the recorded reference's size and include hash.
testing::AssertionResult MatchesReference(const ZtImage& image, const CorpusReference& r);

}  // namespace zt_test

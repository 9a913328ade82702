#include "tests/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "codecs/format_table.h"
#include "converter/convert.h"
#include "image/zt_file.h"

namespace {

// Every test binary that uses these helpers loads through the full table.
const bool kCodecsInstalled = (InstallCodecs(), true);

}  // namespace

namespace zt_test {

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string CorpusDir() {
    std::error_code ec;
    const std::string dir = ZENT_CORPUS_DIR;
    return std::filesystem::is_directory(dir, ec) ? dir : std::string();
}

std::string MakeTempDir(const std::string& tag) {
#ifdef _WIN32
    // No mkdtemp here: try numbered names until one is created afresh.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned i = 0; i < 1000; ++i) {
        const std::filesystem::path dir =
            base / ("zent_" + tag + "_" + std::to_string(rand()) + "_" + std::to_string(i));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir.string();
    }
    return std::string();
#else
    std::string pattern = (std::filesystem::temp_directory_path() / ("zent_" + tag + "_XXXXXX")).string();
    char* made = mkdtemp(&pattern[0]);
    return made ? std::string(made) : std::string();
#endif
}

std::string Fnv1a64Hex(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

bool DecodeBytes(ZtImage& image, const std::vector<uint8_t>& bytes, uint32_t formatId) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return image.Decode(&stream, formatId);
}

bool DecodeFileBytes(ZtImage& image, const std::vector<uint8_t>& bytes, uint32_t formatId) {
    FILE* file = tmpfile();
    if (!file) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && fflush(file) == 0;
    rewind(file);
    const bool ok = written && image.Decode(file, formatId);
    fclose(file);
    return ok;
}

void MakeTrueColour(ZtImage& image, int width, int height, const std::vector<uint32_t>& topDown) {
    image.Create(uint32_t(width), uint32_t(height), 24, ImageFormat::Unknown);
    for (int line = 0; line < height; ++line)
        for (int x = 0; x < width; ++x) {
            const uint32_t v = topDown[size_t(line) * size_t(width) + size_t(x)];
            image.SetColorAt(x, height - 1 - line,
                             ZtQuad{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 0}, false);
        }
}

std::vector<CorpusReference> LoadCorpusReferences(const std::string& tsvPath) {
    std::vector<CorpusReference> rows;
    std::ifstream in(tsvPath);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream ss(line);
        CorpusReference r;
        std::string w, h;
        std::getline(ss, r.path, '\t');
        std::getline(ss, r.expect, '\t');
        std::getline(ss, r.reference, '\t');
        std::getline(ss, w, '\t');
        std::getline(ss, h, '\t');
        r.width = atoi(w.c_str());
        r.height = atoi(h.c_str());
        rows.push_back(r);
    }
    return rows;
}

testing::AssertionResult DecodedOrFailedCleanly(bool ok, const ZtImage& image, bool messageOnFailure) {
    if (ok) {
        if (!image.HasPixels() || image.Width() <= 0 || image.Height() <= 0)
            return testing::AssertionFailure() << "success without a picture (" << image.Width() << " x "
                                               << image.Height() << ")";
        return testing::AssertionSuccess();
    }
    if (image.HasPixels()) return testing::AssertionFailure() << "failure left pixels in the caller's image";
    if (messageOnFailure && image.LastError()[0] == '\0')
        return testing::AssertionFailure() << "failure without a message";
    return testing::AssertionSuccess();
}

std::string IncludeHash(const ZtImage& image) { return Fnv1a64Hex(ArtIncludeText(image, "ref")); }

testing::AssertionResult MatchesReference(const ZtImage& image, const CorpusReference& r) {
    if (image.Width() != r.width || image.Height() != r.height)
        return testing::AssertionFailure() << r.path << ": " << image.Width() << " x " << image.Height()
                                           << ", reference " << r.width << " x " << r.height;
    const std::string hash = IncludeHash(image);
    if (hash != r.reference)
        return testing::AssertionFailure() << r.path << ": include hash " << hash << ", reference "
                                           << r.reference;
    return testing::AssertionSuccess();
}

}  // namespace zt_test

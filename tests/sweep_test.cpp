// The mutation sweep judges every input by the program's own run: the real
// camera files and the largest picture of every corpus format that converts
// must come out of the sweep as successes, with the peak memory a run of the
// program by itself shows (not the sweep's own, which a forked child would
// report); a run starved by the address-space limit is its own kind of
// offender, never a clean failure.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// The sweep's --measure table for files under the given options.
std::string SweepMeasure(const std::vector<std::string>& files, const std::string& options = "") {
    std::string cmd = zt_test::ShellQuote(ZENT_SWEEP_BINARY) + " --measure";
    for (const std::string& f : files) cmd += " " + zt_test::ShellQuote(f);
    FILE* pipe = popen((cmd + " " + options).c_str(), "r");
    if (!pipe) return "";
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
    return text;
}

// The program run by itself on path inside dir: whether it converted, and its
// peak resident memory in MB.
bool RunDirect(const std::string& dir, const std::string& path, double& peakMb) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(null, 0), dup2(null, 1), dup2(null, 2);
        // ASan's quarantine and stack records weigh in the peak: the options
        // the sweep gives the programs it starts.
        setenv("ASAN_OPTIONS",
               "exitcode=77:detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=1024:"
               "quarantine_size_mb=32:malloc_context_size=20",
               1);
        execl(ZENT_BINARY, "zent", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    peakMb = double(usage.ru_maxrss) / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Sweep, LargestFilesConvertWithTheirOwnPeak) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no shared corpus beside this checkout";
    const std::string dir = zt_test::MakeTempDir("sweep");
    ASSERT_FALSE(dir.empty());

    // Per format folder the largest file that the program converts (trying
    // the four largest), and the real CR2 the old sweep starved of memory.
    std::map<std::string, double> expected;  // file name -> direct peak
    std::vector<std::string> chosen;
    auto take = [&](const fs::path& file) {
        double peak = 0;
        if (!RunDirect(dir, file.string(), peak)) return false;
        expected[file.filename().string()] = peak;
        chosen.push_back(file.string());
        return true;
    };
    ASSERT_TRUE(take(fs::path(corpus) / "raw/real/IMG_5952.CR2"));
    for (const auto& folder : fs::directory_iterator(corpus)) {
        if (!folder.is_directory()) continue;
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(folder.path()))
            if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
        std::sort(files.begin(), files.end(),
                  [](const fs::path& a, const fs::path& b) { return fs::file_size(a) > fs::file_size(b); });
        for (size_t i = 0; i < std::min<size_t>(files.size(), 4); ++i)
            if (expected.count(files[i].filename().string()) == 0 && take(files[i])) break;
    }
    ASSERT_GE(chosen.size(), 10u);

    // Time enough for a sanitizer build to convert the largest pictures.
    const std::string text = SweepMeasure(chosen, "--time-limit 120");

    // file, result, cpu-s, wall-s, peak-MB, detail
    std::istringstream lines(text);
    std::string line;
    size_t seen = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, result;
        double cpu = 0, wall = 0, peak = 0;
        if (!(fields >> name >> result >> cpu >> wall >> peak) || expected.count(name) == 0) continue;
        ++seen;
        EXPECT_EQ(result, "success") << line;
        // A run forked from this test starts from the test's own pages, so
        // small pictures differ by that much; large ones must agree closely.
        const double direct = expected[name];
        EXPECT_NEAR(peak, direct, std::max(16.0, direct * 0.1)) << line;
    }
    EXPECT_EQ(seen, chosen.size()) << text;
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// Run-length TGAs of one colour, a few hundred KB for megabytes of pixels.
// A 4000 x 4000 one (48 MB of pixels) cannot be made under a 40 MB address
// space and converts with four times the room; a 1280 x 1200 one fits, and
// its include is then written without the writer's thread, whose stack has
// no room left (the program used to abort there). ASan reserves terabytes of
// address space: no such limit there.
TEST(Sweep, RunStarvedByTheLimitIsOutOfMemory) {
#ifdef ZENT_TEST_ASAN
    GTEST_SKIP() << "no address-space limit under AddressSanitizer";
#endif
    const std::string dir = zt_test::MakeTempDir("sweep-limit");
    ASSERT_FALSE(dir.empty());
    auto makeTga = [&](const std::string& name, uint16_t w, uint16_t h) {
        std::vector<uint8_t> tga = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        tga.insert(tga.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 24, 0x20});
        for (int packet = 0; packet < w * h / 128; ++packet) tga.insert(tga.end(), {0xFF, 0x10, 0x20, 0x30});
        EXPECT_TRUE(zt_test::WriteFileBytes(dir + "/" + name, tga));
        return dir + "/" + name;
    };
    const struct {
        std::string path;
        const char* limit;
        const char* result;
    } cases[] = {
        {makeTga("big.tga", 4000, 4000), "--address-space-mb 40", " out-of-memory "},
        {makeTga("big.tga", 4000, 4000), "", " success "},
        {makeTga("mid.tga", 1280, 1200), "--address-space-mb 36", " success "},
    };
    for (const auto& c : cases) {
        const std::string table = SweepMeasure({c.path}, c.limit);
        EXPECT_NE(table.find(c.result), std::string::npos) << c.path << " " << c.limit << "\n" << table;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

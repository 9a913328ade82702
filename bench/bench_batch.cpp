// Several pictures in one run: the 250 smallest pictures of the shared corpus
// (broken ones included, as a folder of downloads has them) converted by one
// run of the program with --jobs 1 and with --jobs 2, and by 250 separate
// runs. On two cores --jobs 2 must take at most 0.6 of --jobs 1.
//
// Usage: bench_batch [--repeats N] [--count N] [--zent PROGRAM]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "codecs/format_table.h"
#include "converter/driver.h"
#include "image/image_format.h"
#include "image/zt_image.h"

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

// Runs the program in dir with input and output thrown away; wall seconds,
// or a negative number when it could not run.
double Run(const std::vector<std::string>& args, const std::string& dir) {
    const auto t0 = Clock::now();
    rusage usage{};
    const int status = bench::RunInFolder(args, dir, false, &usage);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) return -1;
    return Seconds(t0, Clock::now());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string zent = ZENT_BINARY;
    int repeats = 3;
    size_t count = 250;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repeats" && i + 1 < argc) repeats = std::max(1, atoi(argv[++i]));
        else if (a == "--count" && i + 1 < argc) count = size_t(std::max(1, atoi(argv[++i])));
        else if (a == "--zent" && i + 1 < argc) zent = argv[++i];
        else {
            fprintf(stderr, "usage: bench_batch [--repeats N] [--count N] [--zent PROGRAM]\n");
            return 2;
        }
    }
    const std::string corpus = ZENT_CORPUS_DIR;
    if (!fs::is_directory(corpus)) {
        printf("no shared corpus at %s: nothing to measure\n", corpus.c_str());
        return 0;
    }
    InstallCodecs();
    std::vector<std::pair<uintmax_t, fs::path>> found;
    for (const auto& e : fs::recursive_directory_iterator(corpus)) {
        if (!e.is_regular_file()) continue;
        const std::string ext = LoweredExtension(e.path().filename().string());
        if (FormatIdFromExtension(ext.c_str()) == ImageFormat::Unknown) continue;
        found.emplace_back(e.file_size(), e.path());
    }
    std::sort(found.begin(), found.end());
    found.resize(std::min(count, found.size()));

    // A folder of the pictures under names of their own, so no two write one include.
    const fs::path dir = fs::temp_directory_path() / ("zent_bench_batch_" + std::to_string(getpid()));
    fs::create_directories(dir / "pictures");
    fs::create_directories(dir / "out");
    std::vector<std::string> names;
    for (size_t i = 0; i < found.size(); ++i) {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "p%03zu_", i);
        const fs::path to = dir / "pictures" / (prefix + found[i].second.filename().string());
        fs::copy_file(found[i].second, to);
        names.push_back(to.string());
    }
    printf("%zu smallest corpus pictures (%.1f KB in all), %u cores, median of %d runs\n", names.size(),
           [&] { double s = 0; for (auto& f : found) s += double(f.first); return s / 1024; }(),
           std::thread::hardware_concurrency(), repeats);

    std::vector<double> one, two, separate;
    for (int r = 0; r < repeats; ++r) {
        one.push_back(Run({zent, "--jobs", "1", "-o", "out", "pictures"}, dir.string()));
        two.push_back(Run({zent, "--jobs", "2", "-o", "out", "pictures"}, dir.string()));
        double total = 0;
        for (const std::string& name : names) {
            const double t = Run({zent, "-o", (dir / "out" / "one.inc").string(), name}, dir.string());
            total += t < 0 ? 0 : t;
        }
        separate.push_back(total);
    }
    if (*std::min_element(one.begin(), one.end()) < 0 || *std::min_element(two.begin(), two.end()) < 0) {
        printf("a batch run failed\n");
        return 1;
    }
    const double t1 = Median(one), t2 = Median(two), ts = Median(separate);
    printf("  one run, --jobs 1:  %.3f s\n", t1);
    printf("  one run, --jobs 2:  %.3f s\n", t2);
    printf("  %zu separate runs:  %.3f s\n", names.size(), ts);
    printf("  ratio --jobs 2 / --jobs 1: %.2f (bound 0.6 on two cores) %s\n", t2 / t1,
           t2 / t1 <= 0.6 ? "within" : "OVER");
    fs::remove_all(dir);
    return 0;
}

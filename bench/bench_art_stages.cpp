// The stages of one conversion, in-process, on a picture given on the command
// line: decoding into the image, the measuring pass over the tiles, the
// include made in memory (measuring, encoding, chunk cutting, the output
// buffer) with its bytes dropped, and the include written to a file. CPU time
// of each, best and median of N runs.
//
// Usage: bench_art_stages PICTURE [--repeats N]
// (bench_jpeg --save photo.jpg makes the 24-megapixel photo of bench_jpeg.)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "codecs/format_table.h"
#include "converter/art_writer.h"
#include "converter/convert.h"
#include "image/image_format.h"
#include "image/zt_image.h"
#include "platform/replacing_file.h"

namespace {

double CpuNow() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// prepare runs before each timed run, outside the timing.
void Report(const char* label, int repeats, const std::function<bool()>& stage,
            const std::function<void()>& prepare = [] {}) {
    std::vector<double> cpu;
    for (int i = 0; i < repeats; ++i) {
        prepare();
        const double t0 = CpuNow();
        if (!stage()) {
            printf("  %-28s FAILED\n", label);
            return;
        }
        cpu.push_back(CpuNow() - t0);
    }
    std::sort(cpu.begin(), cpu.end());
    printf("  %-28s best %.3f s  median %.3f s CPU\n", label, cpu.front(), cpu[cpu.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int repeats = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repeats" && i + 1 < argc) repeats = std::max(1, atoi(argv[++i]));
        else if (path.empty() && a[0] != '-') path = a;
        else path.clear(), i = argc;
    }
    if (path.empty()) {
        fprintf(stderr, "usage: bench_art_stages PICTURE [--repeats N]\n");
        return 2;
    }
    InstallCodecs();
    const size_t dot = path.rfind('.');
    const uint32_t format = FormatIdFromExtension(dot == std::string::npos ? "" : path.c_str() + dot + 1);

    ZtImage image(ImageFormat::Unknown);
    printf("%s\n", path.c_str());
    Report("decode", repeats, [&] { return image.LoadFromPath(path.c_str(), format) && image.HasPixels(); });
    if (!image.HasPixels()) return 1;
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    Report("measuring pass", repeats, [&] { return MeasureAllTiles(image, grid, counts); });
    size_t bytes = 0;
    Report("include in memory", repeats, [&] {
        bytes = 0;
        ArtOutput out([&bytes](const char*, size_t size) {
            bytes += size;
            return true;
        });
        return WriteImageArt(image, "bench", out) == WriteResult::Ok;
    });
    const std::string target = "bench_art_stages_" + std::to_string(getpid()) + ".inc";
    // Dropping the previous include (its pages in the cache) is not timed.
    Report("include written to a file", repeats, [&] {
        ReplacingFile file;
        if (!file.Open(target)) return false;
        ArtOutput out([&file](const char* data, size_t size) { return file.Write(data, size); });
        return WriteImageArt(image, "bench", out) == WriteResult::Ok && file.Commit();
    }, [&] { unlink(target.c_str()); });
    unlink(target.c_str());
    printf("  include %.1f MB\n", double(bytes) / 1e6);
    return 0;
}

// End-to-end conversion of one 3000 x 2000 photo stored as PPM, BMP, LZW TIFF
// and JP2 by the real converter program, each against what bounds it:
//   PPM   against the BMP of the same pixels (at most 1.2 x), peak memory at
//         most the decoded picture + 16 MiB;
//   TIFF  against `tiffcp -c none` plus `cp` of the include (at most 1.5 x),
//         peak memory at most the picture + 32 MiB;
//   JP2   against `opj_decompress -threads 1` (at most 0.65 x; the converter
//         decodes on every core).
// Every program runs in a child process, N times in turn (7 by default), and
// the medians are compared; each peak is the largest over the runs. On a
// machine shared with other work the CPU times are the steadier, so the PPM
// and TIFF bounds hold when either the wall or the CPU ratio meets them; the
// JP2 bound is on wall time alone (more threads spend more CPU to end sooner).
//
// Usage: bench_readers [--repeats N] [--keep] [--zent PROGRAM]
// The photo is made here (smooth multi-scale noise, edges and grain) and
// written as PPM and BMP; ppm2tiff (libtiff-tools) makes the LZW TIFF and
// opj_compress (libopenjp2-tools, lossless defaults) the JP2 from the PPM.
// --zent measures another build of the converter (an older one, say).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_convert.h"

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Cost;
using bench::RunChild;
using bench::Runs;
using bench::Seconds;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kWidth = 3000, kHeight = 2000;

bool WritePpm(const std::string& path, const bench::Picture& p) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fprintf(f, "P6\n%d %d\n255\n", p.width, p.height) > 0 &&
                    fwrite(p.rgb.data(), 1, p.rgb.size(), f) == p.rgb.size();
    return fclose(f) == 0 && ok;
}

bool Made(const Cost& c, const std::string& path) { return c.ok && fs::exists(path); }

double PeakMiB(const Cost& c) { return double(c.maxRssKb) / 1024.0; }

// A few lines per figure; true when the ratio and the peak are within bounds.
bool Report(const char* label, const Cost& ours, const Cost& floor, const char* floorName, double ratioBound,
            double peakBoundMiB, bool wallOnly) {
    const double wall = ours.wall / floor.wall, cpu = ours.cpu / floor.cpu;
    const bool fast = (wallOnly ? wall : std::min(wall, cpu)) <= ratioBound;
    printf("%s\n  zent %.3f s wall (%.3f s CPU); %s %.3f s wall (%.3f s CPU)\n", label, ours.wall, ours.cpu,
           floorName, floor.wall, floor.cpu);
    printf("  ratio %.2f wall, %.2f CPU (bound %.2f%s) %s\n", wall, cpu, ratioBound, wallOnly ? " on wall" : "",
           fast ? "within" : "OVER");
    if (peakBoundMiB <= 0) return fast;
    const bool small = PeakMiB(ours) <= peakBoundMiB;
    printf("  peak memory %.1f MiB (bound %.1f MiB) %s\n", PeakMiB(ours), peakBoundMiB, small ? "within" : "OVER");
    return fast && small;
}

}  // namespace

int main(int argc, char** argv) {
    std::string zent = ZENT_BINARY;
    int repeats = 7;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repeats" && i + 1 < argc) repeats = std::max(1, atoi(argv[++i]));
        else if (a == "--keep") keep = true;
        else if (a == "--zent" && i + 1 < argc) zent = argv[++i];
        else {
            fprintf(stderr, "usage: bench_readers [--repeats N] [--keep] [--zent PROGRAM]\n");
            return 2;
        }
    }
    const std::string dir = (fs::temp_directory_path() / ("zent_readers_" + std::to_string(getpid()))).string();
    fs::create_directories(dir);

    const auto t0 = Clock::now();
    const std::string ppm = dir + "/photo_ppm.ppm", bmp = dir + "/photo_bmp.bmp", tif = dir + "/photo_tif.tif",
                      jp2 = dir + "/photo_jp2.jp2";
    {
        const bench::Picture photo = bench::MakePhoto(kWidth, kHeight);
        if (!WritePpm(ppm, photo) || !bench::WriteBmp(bmp, photo)) {
            fprintf(stderr, "cannot write the pictures into %s\n", dir.c_str());
            return 1;
        }
    }
    if (!Made(RunChild({"ppm2tiff", "-c", "lzw", ppm, tif}, dir), tif) ||
        !Made(RunChild({"opj_compress", "-i", ppm, "-o", jp2}, dir), jp2)) {
        fprintf(stderr, "ppm2tiff or opj_compress failed (apt-get install libtiff-tools libopenjp2-tools)\n");
        return 1;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    printf("made a %d x %d photo as PPM, BMP, LZW TIFF (%.1f MB) and JP2 (%.1f MB) in %.1f s; %u cores\n\n",
           kWidth, kHeight, double(fs::file_size(tif)) / 1e6, double(fs::file_size(jp2)) / 1e6,
           Seconds(t0, Clock::now()), cores);

    Runs ppmRuns, bmpRuns, tifRuns, tiffcpRuns, cpRuns, jp2Runs, opjRuns;
    const std::string plain = dir + "/plain.tif", copy = dir + "/copy.inc", decoded = dir + "/decoded.ppm";
    for (int i = 0; i < repeats; ++i) {
        ppmRuns.Add(RunChild({zent, ppm}, dir));
        bmpRuns.Add(RunChild({zent, bmp}, dir));
        tifRuns.Add(RunChild({zent, tif}, dir));
        fs::remove(plain);
        tiffcpRuns.Add(RunChild({"tiffcp", "-c", "none", tif, plain}, dir));
        fs::remove(copy);
        cpRuns.Add(RunChild({"cp", dir + "/photo_tif.inc", copy}, dir));
        jp2Runs.Add(RunChild({zent, jp2}, dir));
        fs::remove(decoded);
        opjRuns.Add(RunChild({"opj_decompress", "-threads", "1", "-i", jp2, "-o", decoded}, dir));
    }
    for (const Runs* r : {&ppmRuns, &bmpRuns, &tifRuns, &tiffcpRuns, &cpRuns, &jp2Runs, &opjRuns})
        if (!r->Pick(true).ok) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }

    // The decoded 24-bit picture: rows padded to four bytes.
    const double pictureMiB = double((uint64_t(kWidth) * 3 + 3) / 4 * 4 * kHeight) / kMiB;
    printf("medians of %d runs; decoded picture %.1f MiB\n", repeats, pictureMiB);
    bool within = Report("PPM against the BMP of the same pixels", ppmRuns.Pick(true), bmpRuns.Pick(true),
                         "BMP", 1.2, pictureMiB + 16, false);
    within &= Report("LZW TIFF against tiffcp -c none + cp of the include", tifRuns.Pick(true),
                     tiffcpRuns.Pick(true) + cpRuns.Pick(true), "tiffcp + cp", 1.5, pictureMiB + 32, false);
    within &= Report("JP2 against opj_decompress -threads 1", jp2Runs.Pick(true), opjRuns.Pick(true),
                     "opj_decompress", 0.65, 0, true);
    printf("  BMP peak memory %.1f MiB, JP2 peak memory %.1f MiB\n", PeakMiB(bmpRuns.Pick(true)),
           PeakMiB(jp2Runs.Pick(true)));

    printf("\n%s\n", within ? "all within bounds" : "SOME BOUND NOT MET");
    if (keep)
        printf("pictures kept in %s\n", dir.c_str());
    else
        fs::remove_all(dir);
    return 0;
}

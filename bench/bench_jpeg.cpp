// End-to-end conversion of 24-megapixel pictures by the real converter
// program, against the floor any converter has: decoding the picture with an
// independent decoder plus copying an include of the same size. Also the
// converter's peak memory, which must stay within the decoded picture plus
// 64 MiB.
//
// Usage: bench_jpeg [--repeats N] [--big] [--only jpeg|fit|png|bmp] [--keep] [--zent PROGRAM]
//        bench_jpeg --save out.jpg   (writes the generated photo and stops)
// --zent measures another build of the converter (an older one, say).
// One run makes a 6000 x 4000 picture with photographic structure (smooth
// multi-scale noise, edges and grain), stores it as a JPEG (libjpeg, quality
// 90, 4:2:0), a PNG (libpng) and a 24-bit BMP in a scratch folder, and for
// each converts it with the zent program in a child process (best and median
// of N runs, 3 by default). The floor is djpeg for the JPEG and stb_image for
// PNG and BMP, each plus `cp` of the include. Both the wall-clock and the
// CPU-time ratios are printed: on a shared machine the CPU times are the
// steadier. The full-size JPEG must cost at most decode + copy on two cores
// (1.5 x on one), PNG and BMP 1.5 x. The JPEG is also fitted into 120 x 90
// (--only fit): at most 1.3 x djpeg -scale 1/8 and 0.5 x vipsthumbnail.
// --big adds a 100-megapixel (grey) JPEG whose conversion must stay within
// the same memory bound.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <jpeglib.h>
}
#include <png.h>

#ifdef ZENT_HAVE_STB
#include <stb/stb_image.h>
#endif

#include "bench/bench_convert.h"
#include "bench/bench_support.h"


namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Cost;
using bench::CpuSeconds;
using bench::MakePhoto;
using bench::Noise;
using bench::Picture;
using bench::RunChild;
using bench::Runs;
using bench::Seconds;
using bench::WriteBmp;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kWidth = 6000, kHeight = 4000;

// A cheaper picture for the memory check: smooth gradients with grain, made
// row by row straight into the JPEG encoder.
using RowMaker = std::function<void(int y, uint8_t* rgb)>;

bool WriteJpeg(const std::string& path, int w, int h, const RowMaker& rowAt, int components = 3) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(w) * size_t(components));
    for (int y = 0; y < h; ++y) {
        rowAt(y, row.data());
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return fclose(f) == 0;
}

bool WritePng(const std::string& path, const Picture& p) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    // Fast compression: the benchmark is about decoding, not about making files.
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, png_uint_32(p.width), png_uint_32(p.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < p.height; ++y)
        png_write_row(png, const_cast<png_bytep>(p.rgb.data() + size_t(y) * size_t(p.width) * 3));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

#ifdef ZENT_HAVE_STB
// stb_image decoding in-process: wall and CPU time of the decode alone.
Cost StbDecode(const std::string& path) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = Clock::now();
    int w = 0, h = 0, n = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &n, 3);
    Cost c;
    c.wall = Seconds(t0, Clock::now());
    getrusage(RUSAGE_SELF, &after);
    c.cpu = CpuSeconds(after) - CpuSeconds(before);
    c.ok = pixels != nullptr;
    stbi_image_free(pixels);
    return c;
}
#endif

struct Setup {
    std::string zent, dir;
    int repeats = 3;
};

// Converts picture repeatedly (each run writes a new include, as a first run
// does) and compares with decode + copy. Returns whether both bounds hold.
bool Compare(const Setup& s, const std::string& label, const std::string& picture, uint64_t pictureBytes,
             const std::function<Cost()>& referenceDecode, const std::string& referenceName, double bound) {
    const std::string include = s.dir + "/" + fs::path(picture).stem().string() + ".inc";
    const std::string copy = s.dir + "/copy.inc";
    Runs oursRuns, decodeRuns, cpRuns;
    for (int i = 0; i < s.repeats; ++i) {
        fs::remove(include);
        oursRuns.Add(RunChild({s.zent, picture}, s.dir));
        decodeRuns.Add(referenceDecode());
        fs::remove(copy);
        cpRuns.Add(RunChild({"cp", include, copy}, s.dir));
    }
    fs::remove(copy);
    const Cost ours = oursRuns.Pick(false), decode = decodeRuns.Pick(false), cp = cpRuns.Pick(false);
    if (!ours.ok || !decode.ok || !cp.ok) {
        fprintf(stderr, "%s: a run failed (zent %d, %s %d, cp %d)\n", label.c_str(), ours.ok,
                referenceName.c_str(), decode.ok, cp.ok);
        return false;
    }
    const double includeMb = double(fs::file_size(include)) / 1e6;
    const Cost floor = decode + cp;
    const double wallRatio = ours.wall / floor.wall, cpuRatio = ours.cpu / floor.cpu;
    const double peakMiB = double(ours.maxRssKb) / 1024.0;
    const double boundMiB = double(pictureBytes) / kMiB + 64.0;
    printf("%s (%.1f MB file, include %.1f MB, best of %d)\n", label.c_str(),
           double(fs::file_size(picture)) / 1e6, includeMb, s.repeats);
    printf("  zent end to end:   %.3f s wall  %.3f s CPU\n", ours.wall, ours.cpu);
    printf("  %-18s %.3f s wall  %.3f s CPU\n", (referenceName + ":").c_str(), decode.wall, decode.cpu);
    printf("  cp of the include: %.3f s wall  %.3f s CPU\n", cp.wall, cp.cpu);
    printf("  ratio zent / (decode + copy): %.2f wall, %.2f CPU (bound %.1f)\n", wallRatio, cpuRatio, bound);
    // The same from the median run of each program: steadier on a shared machine.
    const Cost oursMedian = oursRuns.Pick(true), floorMedian = decodeRuns.Pick(true) + cpRuns.Pick(true);
    printf("  medians: zent %.3f s wall %.3f s CPU, floor %.3f s wall %.3f s CPU, ratio %.2f wall, %.2f CPU\n",
           oursMedian.wall, oursMedian.cpu, floorMedian.wall, floorMedian.cpu, oursMedian.wall / floorMedian.wall,
           oursMedian.cpu / floorMedian.cpu);
    printf("  peak memory: %.1f MiB (bound: picture %.1f MiB + 64 MiB = %.1f MiB) %s\n", peakMiB,
           double(pictureBytes) / kMiB, boundMiB, peakMiB <= boundMiB ? "within" : "OVER");
    fs::remove(include);
    return std::min(wallRatio, cpuRatio) <= bound && peakMiB <= boundMiB;
}

bool OnPath(const std::string& program) {
    return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The job users run most: the photo fitted to script size. zent --fit against
// the decoder's own floor at that size (djpeg -scale 1/8, which delivers the
// smallest picture libjpeg can still fit from) and against a thumbnailer
// (libvips' vipsthumbnail, when installed), best and median of N runs each.
bool CompareFit(const Setup& s, const std::string& picture) {
    const bool haveVips = OnPath("vipsthumbnail");
    Runs ours, scaled, thumb;
    for (int i = 0; i < s.repeats; ++i) {
        ours.Add(RunChild({s.zent, "--fit", "120x90", picture}, s.dir));
        scaled.Add(RunChild({"djpeg", "-scale", "1/8", "-outfile", "/dev/null", picture}, s.dir));
        if (haveVips) thumb.Add(RunChild({"vipsthumbnail", "-s", "120x90", "-o", s.dir + "/thumb.jpg", picture}, s.dir));
    }
    bool within = true;
    printf("24-megapixel JPEG fitted into 120 x 90 (best of %d; medians in brackets)\n", s.repeats);
    const auto line = [&](const char* name, const Runs& r) {
        const Cost best = r.Pick(false), median = r.Pick(true);
        printf("  %-26s %.3f s wall (%.3f)  %.3f s CPU (%.3f)  peak %.1f MiB%s\n", name, best.wall, median.wall,
               best.cpu, median.cpu, double(best.maxRssKb) / 1024.0, best.ok ? "" : "  FAILED");
        within &= best.ok;
    };
    line("zent --fit 120x90:", ours);
    line("djpeg -scale 1/8:", scaled);
    const auto ratio = [&](const char* name, const Runs& r, double bound) {
        const double wall = ours.Pick(false).wall / r.Pick(false).wall;
        const double median = ours.Pick(true).wall / r.Pick(true).wall;
        printf("  ratio zent / %s: %.2f wall, medians %.2f (bound %.1f)\n", name, wall, median, bound);
        within &= std::min(wall, median) <= bound;
    };
    ratio("djpeg -scale 1/8", scaled, 1.3);
    if (haveVips) {
        line("vipsthumbnail -s 120x90:", thumb);
        ratio("vipsthumbnail", thumb, 0.5);
    } else {
        printf("  vipsthumbnail not installed (apt-get install libvips-tools): that comparison skipped\n");
    }
    return within;
}

// Bytes of the decoded 24-bit picture: rows padded to four bytes.
uint64_t PictureBytes(int w, int h) { return ((uint64_t(w) * 3 + 3) & ~uint64_t(3)) * uint64_t(h); }

}  // namespace

int main(int argc, char** argv) {
    Setup s;
    s.zent = ZENT_BINARY;
    bool big = false, keep = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--save" && i + 1 < argc) {
            const Picture p = MakePhoto(kWidth, kHeight);
            return WriteJpeg(argv[i + 1], p.width, p.height, [&p](int y, uint8_t* rgb) {
                       memcpy(rgb, p.rgb.data() + size_t(y) * size_t(p.width) * 3, size_t(p.width) * 3);
                   }) ? 0 : 1;
        }
        if (a == "--repeats" && i + 1 < argc) s.repeats = std::max(1, atoi(argv[++i]));
        else if (a == "--big") big = true;
        else if (a == "--keep") keep = true;
        else if (a == "--zent" && i + 1 < argc) s.zent = argv[++i];
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else {
            fprintf(stderr, "usage: bench_jpeg [--repeats N] [--big] [--only jpeg|fit|png|bmp] [--keep] [--zent PROGRAM] | --save out.jpg\n");
            return 2;
        }
    }
    s.dir = (fs::temp_directory_path() / ("zent_bench_" + std::to_string(getpid()))).string();
    fs::create_directories(s.dir);

    auto t0 = Clock::now();
    const Picture photo = MakePhoto(kWidth, kHeight);
    const auto photoRow = [&photo](int y, uint8_t* rgb) {
        memcpy(rgb, photo.rgb.data() + size_t(y) * size_t(photo.width) * 3, size_t(photo.width) * 3);
    };
    const std::string jpeg = s.dir + "/photo.jpg", png = s.dir + "/photo_png.png", bmp = s.dir + "/photo_bmp.bmp";
    if (!WriteJpeg(jpeg, kWidth, kHeight, photoRow) || !WritePng(png, photo) || !WriteBmp(bmp, photo)) {
        fprintf(stderr, "cannot write the pictures into %s\n", s.dir.c_str());
        return 1;
    }
    printf("made a %d x %d photo as JPEG, PNG and BMP in %s (%.1f s)\n\n", kWidth, kHeight, s.dir.c_str(),
           Seconds(t0, Clock::now()));
    const uint64_t bytes = PictureBytes(kWidth, kHeight);

    bool within = true;
    // The full-size JPEG conversion overlaps decoding with encoding and
    // writing: on two cores it costs no more than decoding and copying.
    if (only.empty() || only == "jpeg")
        within &= Compare(s, "24-megapixel JPEG", jpeg, bytes,
                          [&] { return RunChild({"djpeg", "-outfile", "/dev/null", jpeg}, s.dir); }, "djpeg",
                          std::thread::hardware_concurrency() >= 2 ? 1.0 : 1.5);
    if (only.empty() || only == "jpeg" || only == "fit") {
        printf("\n");
        within &= CompareFit(s, jpeg);
        printf("\n");
    }
#ifdef ZENT_HAVE_STB
    if (only.empty() || only == "png")
        within &= Compare(s, "24-megapixel PNG", png, bytes, [&] { return StbDecode(png); }, "stb_image", 1.5);
    if (only.empty() || only == "bmp")
        within &= Compare(s, "24-megapixel BMP", bmp, bytes, [&] { return StbDecode(bmp); }, "stb_image", 1.5);
#else
    printf("stb_image not found at build time: PNG and BMP comparisons skipped\n");
#endif

    if (big) {
        // 12000 x 8400 = 100.8 megapixels. In colour that is 302 MB, past the
        // image library's 256 MiB ceiling, so the picture is grey: 8 bits a
        // pixel through a palette, 101 MB decoded.
        const int w = 12000, h = 8400;
        const std::string path = s.dir + "/big.jpg";
        const Noise grain(7);
        t0 = Clock::now();
        const bool made = WriteJpeg(path, w, h, [&](int y, uint8_t* grey) {
            for (int x = 0; x < w; ++x)
                grey[x] = uint8_t(((x + 2 * y) % 1024) / 5 + 50 * grain.At(x * 0.7, y * 0.7));
        }, 1);
        if (!made) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        printf("\nmade a %d x %d grey JPEG (%.1f MB) in %.1f s\n", w, h, double(fs::file_size(path)) / 1e6,
               Seconds(t0, Clock::now()));
        const Cost c = RunChild({s.zent, path}, s.dir);
        const std::string include = s.dir + "/big.inc";
        const uint64_t pictureBytes = ((uint64_t(w) + 3) & ~uint64_t(3)) * uint64_t(h) + 1024;
        const double peakMiB = double(c.maxRssKb) / 1024.0;
        const double boundMiB = double(pictureBytes) / kMiB + 64.0;
        printf("100-megapixel grey JPEG: %s, include %.1f MB, %.2f s wall, %.2f s CPU\n",
               c.ok ? "converted" : "FAILED", c.ok ? double(fs::file_size(include)) / 1e6 : 0.0, c.wall, c.cpu);
        printf("  peak memory: %.1f MiB (bound: picture %.1f MiB + 64 MiB = %.1f MiB) %s\n", peakMiB,
               double(pictureBytes) / kMiB, boundMiB, peakMiB <= boundMiB ? "within" : "OVER");
        within &= c.ok && peakMiB <= boundMiB;
    }

    printf("\n%s\n", within ? "all within bounds" : "SOME BOUND NOT MET");
    if (!keep) fs::remove_all(s.dir);
    return 0;
}

// End-to-end conversion of a 24-megapixel photographic JPEG (decode through
// ZtImageJPG, tiles, include written to a file) against djpeg alone decoding
// the same file to PPM.
//
// Usage: bench_jpeg [file.jpg] [repeats]
//        bench_jpeg --save out.jpg   (writes the generated picture and stops)
// Without a file, a 6000 x 4000 picture with photographic structure (smooth
// multi-scale noise, edges and grain) is made in memory and encoded with
// libjpeg at quality 90, 4:2:0, into the temporary directory. Each side runs
// `repeats` times (3 by default); the best time of each is reported with the
// ratio ours / djpeg.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "bench/bench_support.h"
#include "codecs/format_table.h"
#include "converter/art_writer.h"
#include "converter/convert.h"
#include "image/zt_image.h"

namespace {

using bench::Clock;
using bench::Noise;
using bench::Seconds;

// Writes a photographic-looking w x h JPEG to path.
bool MakePhoto(const std::string& path, int w, int h) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const Noise nr(1), ng(2), nb(3), grain(4), shape(5);
    std::vector<uint8_t> row(size_t(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Noise* n[3] = {&nr, &ng, &nb};
            // A few hard-edged regions, as objects in a scene have.
            const double edge = shape.At(x / 900.0, y / 900.0) > 0.55 ? 0.18 : 0.0;
            for (int c = 0; c < 3; ++c) {
                double v = 0, amp = 0.55, scale = 1.0 / 700;
                for (int o = 0; o < 5; ++o, amp *= 0.5, scale *= 2.3)
                    v += amp * n[c]->At(x * scale, y * scale);
                v += edge * (c == 1 ? -1 : 1);
                v += 0.05 * (grain.At(x * 0.9, y * 0.9) - 0.5);
                row[size_t(x) * 3 + size_t(c)] = uint8_t(std::clamp(v * 255.0, 0.0, 255.0));
            }
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return fclose(f) == 0;
}

// Decode, tiles and include, as the converter does them.
bool ConvertOnce(const std::string& jpeg, const std::string& include) {
    ZtImage image;
    if (!image.LoadFromPath(jpeg.c_str(), ImageFormat::Jpeg) || !image.HasPixels()) {
        fprintf(stderr, "decode failed: %s\n", image.LastError());
        return false;
    }
    FILE* out = fopen(include.c_str(), "w");
    if (!out) return false;
    ArtOutput sink([out](const char* data, size_t size) { return fwrite(data, 1, size, out) == size; });
    const bool ok = WriteImageArt(image, "bench", sink) == WriteResult::Ok;
    return fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    InstallCodecs();
    const fs::path dir = fs::temp_directory_path();
    if (argc > 2 && std::string(argv[1]) == "--save") return MakePhoto(argv[2], 6000, 4000) ? 0 : 1;
    std::string jpeg = argc > 1 ? argv[1] : "";
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    bool made = false;
    if (jpeg.empty()) {
        jpeg = (dir / "zent_bench_24mp.jpg").string();
        const auto t0 = Clock::now();
        if (!MakePhoto(jpeg, 6000, 4000)) {
            fprintf(stderr, "cannot write %s\n", jpeg.c_str());
            return 1;
        }
        made = true;
        printf("made %s (6000 x 4000, %.1f MB) in %.2f s\n", jpeg.c_str(),
               double(fs::file_size(jpeg)) / 1e6, Seconds(t0, Clock::now()));
    }
    const std::string include = (dir / "zent_bench_24mp.inc").string();
    const std::string djpeg = "djpeg -outfile /dev/null '" + jpeg + "'";

    double ours = 1e30, theirs = 1e30, decodeOnly = 1e30;
    for (int i = 0; i < repeats; ++i) {
        auto t0 = Clock::now();
        {
            ZtImage image;
            if (!image.LoadFromPath(jpeg.c_str(), ImageFormat::Jpeg)) return 1;
        }
        decodeOnly = std::min(decodeOnly, Seconds(t0, Clock::now()));
        t0 = Clock::now();
        if (!ConvertOnce(jpeg, include)) return 1;
        ours = std::min(ours, Seconds(t0, Clock::now()));
        t0 = Clock::now();
        if (system(djpeg.c_str()) != 0) {
            fprintf(stderr, "djpeg failed (is libjpeg-turbo-progs installed?)\n");
            return 1;
        }
        theirs = std::min(theirs, Seconds(t0, Clock::now()));
    }
    printf("include: %.1f MB\n", double(fs::file_size(include)) / 1e6);
    printf("zent decode+tiles+include: %.3f s (best of %d)\n", ours, repeats);
    printf("zent decode alone:         %.3f s (best of %d)\n", decodeOnly, repeats);
    printf("djpeg decode to PPM:       %.3f s (best of %d)\n", theirs, repeats);
    printf("ratio zent / djpeg: %.2f (decode alone: %.2f)\n", ours / theirs, decodeOnly / theirs);
    fs::remove(include);
    if (made) fs::remove(jpeg);
    return 0;
}

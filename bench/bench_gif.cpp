// Decode speed of ZtImageGIF against giflib on one large GIF.
//
// Usage: bench_gif [file.gif | -] [repeats]
//        bench_gif --save out.gif   (writes the generated picture and stops)
// Without a file, a 4000 x 3000 picture with photographic structure (smooth
// multi-scale noise, Floyd-Steinberg dithered to a 252-colour cube) is made
// in memory and encoded with giflib. Each decoder runs `repeats` times (5 by
// default) over the same bytes in memory; the best time of each is reported
// with the ratio ours / giflib.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "bench/bench_support.h"
#include "codecs/builtin/gif.h"
#include "image/zt_file.h"

#ifdef ZENT_HAVE_GIFLIB
#include <gif_lib.h>
#endif

namespace {

using bench::Clock;
using bench::Noise;
using bench::Seconds;

// Indices into a 6 x 7 x 6 colour cube, dithered, top line first.
std::vector<uint8_t> PhotographicIndices(int w, int h) {
    const Noise nr(1), ng(2), nb(3), grain(4);
    std::vector<float> err(size_t(w + 2) * 3 * 2, 0.0f);
    std::vector<uint8_t> out(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        float* cur = err.data() + size_t(y & 1) * size_t(w + 2) * 3;
        float* nxt = err.data() + size_t((y + 1) & 1) * size_t(w + 2) * 3;
        std::fill(nxt, nxt + size_t(w + 2) * 3, 0.0f);
        for (int x = 0; x < w; ++x) {
            double rgb[3];
            const Noise* n[3] = {&nr, &ng, &nb};
            for (int c = 0; c < 3; ++c) {
                double v = 0, amp = 0.55, scale = 1.0 / 700;
                for (int o = 0; o < 5; ++o, amp *= 0.5, scale *= 2.3)
                    v += amp * n[c]->At(x * scale, y * scale);
                v += 0.04 * (grain.At(x * 0.7, y * 0.7) - 0.5);
                rgb[c] = std::clamp(v * 255.0 + cur[(x + 1) * 3 + c], 0.0, 255.0);
            }
            const int levels[3] = {6, 7, 6};
            int q[3];
            for (int c = 0; c < 3; ++c) {
                q[c] = int(std::lround(rgb[c] * (levels[c] - 1) / 255.0));
                const double e = rgb[c] - q[c] * 255.0 / (levels[c] - 1);
                cur[(x + 2) * 3 + c] += float(e * 7 / 16);
                nxt[x * 3 + c] += float(e * 3 / 16);
                nxt[(x + 1) * 3 + c] += float(e * 5 / 16);
                nxt[(x + 2) * 3 + c] += float(e * 1 / 16);
            }
            out[size_t(y) * size_t(w) + size_t(x)] = uint8_t((q[0] * 7 + q[1]) * 6 + q[2]);
        }
    }
    return out;
}

double BestOf(int repeats, double (*run)(const std::vector<uint8_t>&), const std::vector<uint8_t>& bytes) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) best = std::min(best, run(bytes));
    return best;
}

double RunOurs(const std::vector<uint8_t>& bytes) {
    const auto t0 = Clock::now();
    ZtImageGIF img;
    ZtMemFile stream(bytes.data(), bytes.size());
    if (!img.Decode(&stream) || !img.HasPixels()) {
        fprintf(stderr, "ZtImageGIF failed to decode the picture\n");
        exit(1);
    }
    return Seconds(t0, Clock::now());
}

#ifdef ZENT_HAVE_GIFLIB
struct MemoryReader {
    const std::vector<uint8_t>* bytes;
    size_t pos;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* r = static_cast<MemoryReader*>(gif->UserData);
    const size_t take = std::min(size_t(n), r->bytes->size() - r->pos);
    memcpy(out, r->bytes->data() + r->pos, take);
    r->pos += take;
    return int(take);
}

int WriteMemory(GifFileType* gif, const GifByteType* in, int n) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), in, in + n);
    return n;
}

double RunGiflib(const std::vector<uint8_t>& bytes) {
    const auto t0 = Clock::now();
    MemoryReader reader{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadMemory, &error);
    if (!gif || DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) {
        fprintf(stderr, "giflib failed to decode the picture\n");
        exit(1);
    }
    DGifCloseFile(gif, &error);
    return Seconds(t0, Clock::now());
}

std::vector<uint8_t> EncodeWithGiflib(int w, int h, const std::vector<uint8_t>& indices) {
    std::vector<GifColorType> colours(256);
    for (int i = 0; i < 252; ++i) {
        colours[size_t(i)].Red = GifByteType((i / 42) * 51);
        colours[size_t(i)].Green = GifByteType(((i / 6) % 7) * 255 / 6);
        colours[size_t(i)].Blue = GifByteType((i % 6) * 51);
    }
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteMemory, &error);
    ColorMapObject* map = GifMakeMapObject(256, colours.data());
    bool ok = gif && map && EGifPutScreenDesc(gif, w, h, 8, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) == GIF_OK;
    std::vector<GifPixelType> line(static_cast<size_t>(w));
    for (int y = 0; ok && y < h; ++y) {
        memcpy(line.data(), indices.data() + size_t(y) * size_t(w), size_t(w));
        ok = EGifPutLine(gif, line.data(), w) == GIF_OK;
    }
    if (gif) EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    if (!ok) {
        fprintf(stderr, "giflib failed to encode the picture\n");
        exit(1);
    }
    return out;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    std::vector<uint8_t> bytes;
    if (argc > 1 && strcmp(argv[1], "-") != 0 && strcmp(argv[1], "--save") != 0) {
        std::ifstream in(argv[1], std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.empty()) {
            fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
    } else {
#ifdef ZENT_HAVE_GIFLIB
        const int w = 4000, h = 3000;
        bytes = EncodeWithGiflib(w, h, PhotographicIndices(w, h));
        printf("picture: %d x %d, 252 colours dithered, %zu bytes\n", w, h, bytes.size());
        if (argc > 2 && strcmp(argv[1], "--save") == 0) {
            std::ofstream out(argv[2], std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            return out ? 0 : 1;
        }
#else
        fprintf(stderr, "without giflib, give a GIF file to decode\n");
        return 1;
#endif
    }

    const double ours = BestOf(repeats, RunOurs, bytes);
    printf("ZtImageGIF: %.1f ms (best of %d)\n", ours * 1000, repeats);
#ifdef ZENT_HAVE_GIFLIB
    const double theirs = BestOf(repeats, RunGiflib, bytes);
    printf("giflib:     %.1f ms (best of %d)\n", theirs * 1000, repeats);
    printf("ratio ours / giflib: %.2f\n", ours / theirs);
#else
    printf("giflib not found at build time: no ratio\n");
#endif
    return 0;
}

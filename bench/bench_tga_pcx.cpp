// Decode speed of ZtImageTGA and ZtImagePCX against stb_image.
//
// Usage: bench_tga_pcx [repeats] [width height]
// A picture with photographic structure (smooth multi-scale noise, each
// channel posterised to 12 levels, so run-length files hold both runs and
// literal stretches) is made in memory, 4000 x 3000 by default, and stored
// as: a 24-bit TGA, plain and run-length encoded; a 24-bit PCX (three planes
// of 8 bits); an 8-bit PCX with a 256-colour palette. Each decoder runs
// `repeats` times (5 by default) over the same bytes in memory; the best time
// of each (in CPU time of the thread) is reported with the ratio ours / stb_image.
//
// stb_image reads no PCX. For the PCX files its yardstick is its decode of
// the same pixels as a run-length TGA (24-bit, or 8-bit colour-mapped for
// the palette file): the same picture, the same kind of run-length work.
// stb_image expands colour-mapped pixels to RGB, three times the bytes our
// 8-bit picture holds, so that last ratio compares unlike outputs.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "bench/bench_support.h"
#include "codecs/builtin/pcx.h"
#include "codecs/builtin/tga.h"
#include "image/zt_file.h"

#if __has_include(<stb/stb_image.h>)
#define ZENT_HAVE_STB 1
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using bench::Noise;

// CPU time of this thread: the machine is shared, and wall time would count
// the other processes' turns.
double Now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

constexpr int kLevels = 12;

// Red, green, blue per pixel, top line first.
Bytes PosterisedPicture(int w, int h) {
    const Noise n[3] = {Noise(11), Noise(12), Noise(13)};
    Bytes rgb(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                double v = 0, amp = 0.55, scale = 1.0 / 600;
                for (int o = 0; o < 5; ++o, amp *= 0.5, scale *= 2.3) v += amp * n[c].At(x * scale, y * scale);
                const int q = std::clamp(int(v * kLevels), 0, kLevels - 1);
                rgb[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)] = uint8_t(q * 255 / (kLevels - 1));
            }
    return rgb;
}

// One index per pixel into a 6 x 7 x 6 colour cube.
Bytes CubeIndices(const Bytes& rgb) {
    Bytes out(rgb.size() / 3);
    for (size_t i = 0; i < out.size(); ++i) {
        const int r = rgb[3 * i] * 5 / 255, g = rgb[3 * i + 1] * 6 / 255, b = rgb[3 * i + 2] * 5 / 255;
        out[i] = uint8_t((r * 7 + g) * 6 + b);
    }
    return out;
}

void Put16(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

// TGA packets over one line of pixels of `size` bytes: runs of 2 or more
// equal pixels, literal packets for the rest, at most 128 pixels each.
void PacketLine(Bytes& out, const uint8_t* line, int w, int size) {
    auto same = [&](int a, int b) { return memcmp(line + a * size, line + b * size, size_t(size)) == 0; };
    for (int x = 0; x < w;) {
        int run = 1;
        while (x + run < w && run < 128 && same(x, x + run)) ++run;
        if (run >= 2) {
            out.push_back(uint8_t(0x80 | (run - 1)));
            out.insert(out.end(), line + x * size, line + (x + 1) * size);
            x += run;
            continue;
        }
        int lit = 1;
        while (x + lit < w && lit < 128 && !(x + lit + 1 < w && same(x + lit, x + lit + 1))) ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), line + x * size, line + (x + lit) * size);
        x += lit;
    }
}

// A top-down TGA: 24-bit true colour, or 8-bit indices with a 24-bit map.
Bytes MakeTga(int w, int h, const Bytes& pixels, bool rle, const Bytes& map) {
    const bool mapped = !map.empty();
    Bytes out = {0, uint8_t(mapped), uint8_t((mapped ? 1 : 2) | (rle ? 8 : 0))};
    Put16(out, 0);
    Put16(out, mapped ? uint32_t(map.size() / 3) : 0);
    out.push_back(mapped ? 24 : 0);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, uint32_t(w));
    Put16(out, uint32_t(h));
    out.push_back(mapped ? 8 : 24);
    out.push_back(0x20);
    out.insert(out.end(), map.begin(), map.end());
    const int size = mapped ? 1 : 3;
    Bytes line(size_t(w) * size_t(size));
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = pixels.data() + size_t(y) * line.size();
        if (mapped) {
            memcpy(line.data(), src, line.size());
        } else {
            for (int x = 0; x < w; ++x) {  // stored blue, green, red
                line[3 * size_t(x)] = src[3 * size_t(x) + 2];
                line[3 * size_t(x) + 1] = src[3 * size_t(x) + 1];
                line[3 * size_t(x) + 2] = src[3 * size_t(x)];
            }
        }
        if (rle)
            PacketLine(out, line.data(), w, size);
        else
            out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

void EncodePcxLine(Bytes& out, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && run < 63 && p[i + run] == p[i]) ++run;
        if (run > 1 || p[i] >= 0xC0) out.push_back(uint8_t(0xC0 | run));
        out.push_back(p[i]);
        i += run;
    }
}

// A PCX of three 8-bit planes (rgb, 3 bytes a pixel) or one 8-bit plane of
// indices with the palette behind the data.
Bytes MakePcx(int w, int h, const Bytes& pixels, int planes, const Bytes& palette) {
    Bytes out(128, 0);
    out[0] = 10;
    out[1] = 5;
    out[2] = 1;
    out[3] = 8;
    out[8] = uint8_t(w - 1);
    out[9] = uint8_t((w - 1) >> 8);
    out[10] = uint8_t(h - 1);
    out[11] = uint8_t((h - 1) >> 8);
    out[65] = uint8_t(planes);
    const int bpl = w + (w & 1);
    out[66] = uint8_t(bpl);
    out[67] = uint8_t(bpl >> 8);
    Bytes plane(size_t(bpl), 0);
    for (int y = 0; y < h; ++y)
        for (int p = 0; p < planes; ++p) {
            for (int x = 0; x < w; ++x)
                plane[size_t(x)] = pixels[(size_t(y) * size_t(w) + size_t(x)) * size_t(planes) + size_t(p)];
            EncodePcxLine(out, plane.data(), plane.size());
        }
    if (!palette.empty()) {
        out.push_back(12);
        out.insert(out.end(), palette.begin(), palette.end());
    }
    return out;
}

template <class Decoder>
double RunOurs(const Bytes& bytes) {
    const double t0 = Now();
    Decoder img;
    ZtMemFile stream(bytes.data(), bytes.size());
    if (!img.Decode(&stream) || !img.HasPixels()) {
        fprintf(stderr, "our decoder failed: %s\n", img.LastError());
        exit(1);
    }
    return Now() - t0;
}

#ifdef ZENT_HAVE_STB
double RunStb(const Bytes& bytes) {
    const double t0 = Now();
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(bytes.data(), int(bytes.size()), &w, &h, &n, 0);
    if (!px) {
        fprintf(stderr, "stb_image failed: %s\n", stbi_failure_reason());
        exit(1);
    }
    stbi_image_free(px);
    return Now() - t0;
}

// Both decoders must see the same picture, or the timing compares nothing.
template <class Decoder>
void CheckSamePixels(const Bytes& ours, const Bytes& stbFile, const char* name) {
    Decoder img;
    ZtMemFile stream(ours.data(), ours.size());
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(stbFile.data(), int(stbFile.size()), &w, &h, &n, 3);
    const bool decoded = img.Decode(&stream) && px && w == img.Width() && h == img.Height();
    size_t differ = decoded ? 0 : 1;
    for (int y = 0; decoded && y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const ZtQuad q = img.ColorAt(x, h - 1 - y, false);
            const stbi_uc* s = px + (size_t(y) * size_t(w) + size_t(x)) * 3;
            differ += q.red != s[0] || q.green != s[1] || q.blue != s[2];
        }
    stbi_image_free(px);
    if (differ) {
        fprintf(stderr, "%s: our pixels differ from stb_image's (%zu)\n", name, differ);
        exit(1);
    }
}
#endif

double BestOf(int repeats, const std::function<double()>& run) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) best = std::min(best, run());
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const int w = argc > 3 ? atoi(argv[2]) : 4000, h = argc > 3 ? atoi(argv[3]) : 3000;
    if (w < 1 || h < 1 || w > 65535 || h > 65535) {
        fprintf(stderr, "width and height must be 1 to 65535\n");
        return 1;
    }
    const Bytes rgb = PosterisedPicture(w, h);
    const Bytes indices = CubeIndices(rgb);
    Bytes cube;
    for (int i = 0; i < 256; ++i)
        cube.insert(cube.end(), {uint8_t(i / 42 * 51), uint8_t(i / 6 % 7 * 255 / 6), uint8_t(i % 6 * 51)});
    Bytes cubeBgr;  // the same colours as a TGA colour map stores them
    for (size_t i = 0; i < cube.size(); i += 3) cubeBgr.insert(cubeBgr.end(), {cube[i + 2], cube[i + 1], cube[i]});

    struct Case {
        const char* name;
        Bytes ours;      // the file our decoder reads
        Bytes yardstick; // the file stb_image reads
        bool pcx;
    };
    const Bytes tgaRle = MakeTga(w, h, rgb, true, {});
    const Bytes tgaRle8 = MakeTga(w, h, indices, true, cubeBgr);
    const Case cases[] = {
        {"TGA 24-bit plain", MakeTga(w, h, rgb, false, {}), {}, false},
        {"TGA 24-bit RLE", tgaRle, {}, false},
        {"PCX 24-bit (3 planes)", MakePcx(w, h, rgb, 3, {}), tgaRle, true},
        {"PCX 8-bit + palette", MakePcx(w, h, indices, 1, cube), tgaRle8, true},
    };
    printf("picture: %d x %d, %d levels a channel; best of %d\n", w, h, kLevels, repeats);
    for (const Case& c : cases) {
        const Bytes& stbFile = c.yardstick.empty() ? c.ours : c.yardstick;
        const double ours = c.pcx ? BestOf(repeats, [&] { return RunOurs<ZtImagePCX>(c.ours); })
                                  : BestOf(repeats, [&] { return RunOurs<ZtImageTGA>(c.ours); });
        printf("%-22s %9zu bytes  ours %7.1f ms", c.name, c.ours.size(), ours * 1000);
#ifdef ZENT_HAVE_STB
        if (c.pcx)
            CheckSamePixels<ZtImagePCX>(c.ours, stbFile, c.name);
        else
            CheckSamePixels<ZtImageTGA>(c.ours, stbFile, c.name);
        const double stb = BestOf(repeats, [&] { return RunStb(stbFile); });
        printf("  stb_image %7.1f ms%s  ours/stb %.2f\n", stb * 1000, c.pcx ? " (as RLE TGA)" : "", ours / stb);
#else
        (void)stbFile;
        printf("  (stb_image not found at build time: no ratio)\n");
#endif
    }
    return 0;
}

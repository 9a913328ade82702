// Shared by the end-to-end benchmarks: the photographic test picture and a
// 24-bit BMP writer for it, and runs of a program (the converter, or an
// independent decoder) in a child process with its wall time, CPU time and
// peak memory. POSIX only, like the benchmarks.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace bench {

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // top line first
};

// The photographic test picture used since the first benchmark.
inline Picture MakePhoto(int w, int h) {
    Picture p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 3)};
    const Noise nr(1), ng(2), nb(3), grain(4), shape(5);
    const Noise* n[3] = {&nr, &ng, &nb};
    for (int y = 0; y < h; ++y) {
        uint8_t* row = p.rgb.data() + size_t(y) * size_t(w) * 3;
        for (int x = 0; x < w; ++x) {
            // A few hard-edged regions, as objects in a scene have.
            const double edge = shape.At(x / 900.0, y / 900.0) > 0.55 ? 0.18 : 0.0;
            for (int c = 0; c < 3; ++c) {
                double v = 0, amp = 0.55, scale = 1.0 / 700;
                for (int o = 0; o < 5; ++o, amp *= 0.5, scale *= 2.3) v += amp * n[c]->At(x * scale, y * scale);
                v += edge * (c == 1 ? -1 : 1);
                v += 0.05 * (grain.At(x * 0.9, y * 0.9) - 0.5);
                row[size_t(x) * 3 + size_t(c)] = uint8_t(std::clamp(v * 255.0, 0.0, 255.0));
            }
        }
    }
    return p;
}

inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

inline bool WriteBmp(const std::string& path, const Picture& p) {
    const size_t stride = (size_t(p.width) * 3 + 3) & ~size_t(3);
    std::vector<uint8_t> header(54, 0);
    header[0] = 'B';
    header[1] = 'M';
    Put32(header, 2, uint32_t(54 + stride * size_t(p.height)));
    Put32(header, 10, 54);
    Put32(header, 14, 40);
    Put32(header, 18, uint32_t(p.width));
    Put32(header, 22, uint32_t(p.height));
    Put16(header, 26, 1);
    Put16(header, 28, 24);
    Put32(header, 34, uint32_t(stride * size_t(p.height)));
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(header.data(), 1, header.size(), f) == header.size();
    std::vector<uint8_t> row(stride, 0);
    for (int y = p.height - 1; y >= 0 && ok; --y) {  // bottom line first
        const uint8_t* src = p.rgb.data() + size_t(y) * size_t(p.width) * 3;
        for (int x = 0; x < p.width; ++x) {
            row[size_t(x) * 3] = src[size_t(x) * 3 + 2];
            row[size_t(x) * 3 + 1] = src[size_t(x) * 3 + 1];
            row[size_t(x) * 3 + 2] = src[size_t(x) * 3];
        }
        ok = fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return fclose(f) == 0 && ok;
}

struct Cost {
    double wall = 0, cpu = 0;
    long maxRssKb = 0;
    bool ok = false;
    Cost operator+(const Cost& o) const { return {wall + o.wall, cpu + o.cpu, std::max(maxRssKb, o.maxRssKb), ok && o.ok}; }
};

inline double CpuSeconds(const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Runs argv in dir with standard input from /dev/null and output discarded;
// wall time, CPU time and peak resident memory of that one child.
inline Cost RunChild(const std::vector<std::string>& args, const std::string& dir) {
    const auto t0 = Clock::now();
    rusage usage{};
    const int status = RunInFolder(args, dir, true, &usage);
    Cost c;
    if (status < 0) return c;
    c.wall = Seconds(t0, Clock::now());
    c.cpu = CpuSeconds(usage);
    c.maxRssKb = usage.ru_maxrss;
    c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return c;
}

// The runs of one program: the best (smallest) and the median of each time;
// peak memory is the largest in both.
struct Runs {
    std::vector<Cost> all;
    void Add(const Cost& c) { all.push_back(c); }
    Cost Pick(bool median) const {
        Cost c{0, 0, 0, !all.empty()};
        std::vector<double> wall, cpu;
        for (const Cost& r : all) {
            wall.push_back(r.wall);
            cpu.push_back(r.cpu);
            c.maxRssKb = std::max(c.maxRssKb, r.maxRssKb);
            c.ok = c.ok && r.ok;
        }
        if (all.empty()) return c;
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        const size_t at = median ? all.size() / 2 : 0;
        c.wall = wall[at];
        c.cpu = cpu[at];
        return c;
    }
};

}  // namespace bench

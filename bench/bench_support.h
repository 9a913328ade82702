// Helpers shared by the benchmarks: a clock and smooth value noise for
// pictures with photographic structure.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Value noise on a unit lattice, smoothly interpolated; At() is in 0..1.
class Noise {
public:
    explicit Noise(uint32_t seed) : seed_(seed) {}
    double At(double x, double y) const {
        const int xi = int(std::floor(x)), yi = int(std::floor(y));
        const double fx = Smooth(x - xi), fy = Smooth(y - yi);
        const double a = Lattice(xi, yi), b = Lattice(xi + 1, yi);
        const double c = Lattice(xi, yi + 1), d = Lattice(xi + 1, yi + 1);
        return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
    }

private:
    static double Smooth(double t) { return t * t * (3 - 2 * t); }
    double Lattice(int x, int y) const {
        uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed_ * 2246822519u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return double((h ^ (h >> 16)) & 0xFFFF) / 65535.0;
    }
    uint32_t seed_;
};

}  // namespace bench

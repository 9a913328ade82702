// Helpers shared by the benchmarks: a clock and smooth value noise for
// pictures with photographic structure.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

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

// Runs args (the program first, found on the PATH) in dir with standard
// input and output on /dev/null (standard error too unless keepErrors), waits
// for it and returns its wait status, or -1 when it could not be started;
// usage receives the child's resource use.
inline int RunInFolder(const std::vector<std::string>& args, const std::string& dir, bool keepErrors,
                       rusage* usage) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        if (!keepErrors) dup2(devnull, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || wait4(pid, &status, 0, usage) != pid) return -1;
    return status;
}

}  // namespace bench

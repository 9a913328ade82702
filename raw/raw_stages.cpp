// The RAW engine's processing stages other than demosaicing (demosaic.cpp):
// repairs of dead photosites, black subtraction and white balance, the
// pre-interpolation step, Fuji 45-degree rotation, conversion to sRGB with
// the channel histogram, aspect correction, the 8-bit output curve with the
// ITU-R BT.709 transfer function, and the orientation-aware index.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "raw/raw_stages.h"

namespace {

uint16_t Clip16(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535)); }
uint16_t Clip16(double v) {
    if (!(v > 0)) return 0;  // negative, and NaN from a degenerate scale
    return v >= 65535 ? 65535 : static_cast<uint16_t>(v);
}

// The pixel holding photosite (row, col), shrink factor applied.
RawPixel& Site(RawContext& ctx, int row, int col) {
    return ctx.pixelArray[size_t(row >> ctx.shrinkShift) * ctx.arrayWidth + size_t(col >> ctx.shrinkShift)];
}

// Whether the pixel array covers the visible photosites; stages that walk
// photosites do nothing on an array that does not (nothing was loaded).
bool ArrayCoversVisible(const RawContext& ctx) {
    const size_t rows = (size_t(ctx.visibleHeight) + (1u << ctx.shrinkShift) - 1) >> ctx.shrinkShift;
    const size_t cols = (size_t(ctx.visibleWidth) + (1u << ctx.shrinkShift) - 1) >> ctx.shrinkShift;
    return rows <= ctx.arrayHeight && cols <= ctx.arrayWidth &&
           ctx.pixelArray.size() >= size_t(ctx.arrayHeight) * ctx.arrayWidth;
}

// Replaces the pixel array by a zeroed one of height x width, checked like
// every allocation of the engine.
std::vector<RawPixel> NewArray(RawContext& ctx, size_t height, size_t width, const char* place) {
    std::vector<RawPixel> out;
    const bool fits = height <= 65535 && width <= 65535 && height * width * sizeof(RawPixel) <= kRawMaxArrayBytes;
    try {
        if (fits) out.assign(height * width, RawPixel{});
    } catch (const std::bad_alloc&) {
        out.clear();
    }
    check_allocation(ctx, fits && (!out.empty() || height * width == 0) ? &ctx : nullptr, place);
    return out;
}

// The working directory in the form the bad-pixel search walks: forward
// slashes, no drive letter, no trailing slash.
std::string WorkingDirectory() {
    std::string dir;
    for (size_t size = 32;; size *= 2) {
        std::vector<char> buffer(size + 16);
        if (getcwd(buffer.data(), size)) {
            dir = buffer.data();
            break;
        }
        if (size > (1u << 20)) return std::string();
    }
    if (dir.size() >= 2 && dir[1] == ':') dir.erase(0, 2);
    std::replace(dir.begin(), dir.end(), '\\', '/');
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// Opens the nearest ".badpixels" from the working directory up to the root.
FILE* OpenBadPixelList() {
    std::string dir = WorkingDirectory();
    for (;;) {
        std::string path = (dir.empty() || dir == "/" ? std::string() : dir) + "/.badpixels";
#ifdef _WIN32
        // Rooted on the current drive. Opened with the native separator:
        // Wine takes a name that starts with a forward slash for a Unix path.
        std::replace(path.begin(), path.end(), '/', '\\');
#endif
        if (FILE* f = fopen(path.c_str(), "r")) return f;
        const size_t slash = dir.find_last_of('/');
        if (dir.empty() || dir == "/" || slash == std::string::npos) return nullptr;
        dir = slash == 0 ? std::string("/") : dir.substr(0, slash);
    }
}

}  // namespace

void fill_zero_pixels(RawContext& ctx) {
    if (!ArrayCoversVisible(ctx)) return;
    const int height = ctx.visibleHeight, width = ctx.visibleWidth;
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const int c = colourAt(ctx, row, col);
            if (Site(ctx, row, col)[c] != 0) continue;
            uint64_t sum = 0;
            uint32_t count = 0;
            for (int r = std::max(row - 2, 0); r <= std::min(row + 2, height - 1); ++r)
                for (int cc = std::max(col - 2, 0); cc <= std::min(col + 2, width - 1); ++cc) {
                    if (colourAt(ctx, r, cc) != c) continue;
                    const uint16_t v = Site(ctx, r, cc)[c];
                    if (v == 0) continue;
                    sum += v;
                    ++count;
                }
            if (count) Site(ctx, row, col)[c] = uint16_t(sum / count);
        }
}

void fix_bad_pixels(RawContext& ctx) {
    if (!ctx.cfaPattern || !ArrayCoversVisible(ctx)) return;
    FILE* list = OpenBadPixelList();
    if (!list) return;
    const int height = ctx.visibleHeight, width = ctx.visibleWidth;
    char line[128];
    bool announced = false;
    while (fgets(line, sizeof line, list)) {
        if (char* hash = strchr(line, '#')) *hash = '\0';
        int col = 0, row = 0;
        long long time = 0;
        if (sscanf(line, "%d %d %lld", &col, &row, &time) != 3) continue;
        if (col < 0 || row < 0 || col >= width || row >= height) continue;
        // A photosite that died after the picture was taken was still alive in it.
        if (time > ctx.timestamp) continue;
        const int c = colourAt(ctx, row, col);
        for (int radius = 1; radius <= 2; ++radius) {
            uint64_t sum = 0;
            uint32_t count = 0;
            for (int r = std::max(row - radius, 0); r <= std::min(row + radius, height - 1); ++r)
                for (int cc = std::max(col - radius, 0); cc <= std::min(col + radius, width - 1); ++cc) {
                    if ((r == row && cc == col) || colourAt(ctx, r, cc) != c) continue;
                    sum += Site(ctx, r, cc)[c];
                    ++count;
                }
            if (count) {
                Site(ctx, row, col)[c] = uint16_t(sum / count);
                if (ctx.progressMessages) {
                    if (!announced) fprintf(stderr, "Fixed bad pixels at:");
                    announced = true;
                    fprintf(stderr, " %d,%d", col, row);
                }
                break;
            }
        }
    }
    if (announced) fputc('\n', stderr);
    fclose(list);
}

void scale_colors(RawContext& ctx) {
    float* mul = ctx.balanceMultipliers;
    if (mul[3] == 0) mul[3] = ctx.colourCount == 4 ? 1.0f : mul[1];
    ctx.whiteLevel -= ctx.blackLevel;
    float dmin = mul[0], dmax = mul[0];
    for (int c = 1; c < 4; ++c) {
        dmin = std::min(dmin, mul[c]);
        dmax = std::max(dmax, mul[c]);
    }
    if (ctx.highlightMode == 0) dmax = dmin;
    // A white level at or below the black level would divide by zero; one
    // step of range keeps every value defined (and clipped).
    const double white = ctx.whiteLevel > 0 ? ctx.whiteLevel : 1;
    double scale[4];
    for (int c = 0; c < 4; ++c) {
        if (dmax != 0) mul[c] /= dmax;
        scale[c] = mul[c] * 65535.0 / white;
    }
    const int32_t black = ctx.blackLevel;
    for (RawPixel& p : ctx.pixelArray)
        for (int c = 0; c < 4; ++c) {
            if (p[c] == 0) continue;
            p[c] = Clip16(std::trunc((int64_t(p[c]) - black) * scale[c]));
        }
}

void unshrink(RawContext& ctx) {
    if (ctx.shrinkShift) {
        if (ctx.halfSizeOutput) {
            ctx.visibleHeight = ctx.arrayHeight;
            ctx.visibleWidth = ctx.arrayWidth;
            // Every pixel already holds its cell's colours; the cell's second
            // green joins the first as their mean.
            const bool secondGreen = ctx.cfaPattern != 1 && ctx.colourCount == 3 && !ctx.separateGreens &&
                                     (ctx.cfaPattern & ((ctx.cfaPattern & 0x55555555u) << 1)) != 0;
            if (secondGreen)
                for (RawPixel& p : ctx.pixelArray) p[1] = uint16_t((uint32_t(p[1]) + p[3] + 1) >> 1);
            ctx.cfaPattern = 0;
            return;
        } else {
            // Each photosite takes its own colour from the reduced pixel.
            const int height = ctx.visibleHeight, width = ctx.visibleWidth;
            std::vector<RawPixel> full = NewArray(ctx, size_t(height), size_t(width), "unshrink()");
            if (ArrayCoversVisible(ctx))
                for (int row = 0; row < height; ++row)
                    for (int col = 0; col < width; ++col) {
                        const int c = colourAt(ctx, row, col);
                        full[size_t(row) * width + size_t(col)][c] = Site(ctx, row, col)[c];
                    }
            ctx.pixelArray.swap(full);
            ctx.arrayHeight = uint16_t(height);
            ctx.arrayWidth = uint16_t(width);
            ctx.shrinkShift = 0;
        }
    }
    if (ctx.cfaPattern && ctx.colourCount == 3) {
        if (ctx.separateGreens) {
            ctx.colourCount = 4;
        } else {
            // The second green folds back into the first.
            if (ArrayCoversVisible(ctx))
                for (int row = 0; row < ctx.visibleHeight; ++row)
                    for (int col = 0; col < ctx.visibleWidth; ++col)
                        if (colourAt(ctx, row, col) == 3) {
                            RawPixel& p = Site(ctx, row, col);
                            p[1] = p[3];
                        }
            ctx.cfaPattern &= ~((ctx.cfaPattern & 0x55555555u) << 1);
        }
    }
    if (ctx.halfSizeOutput) ctx.cfaPattern = 0;
}

void median_smooth(RawContext& ctx) {
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    if (height < 3 || width < 3 || ctx.pixelArray.size() < size_t(height) * width) return;
    for (int pass = 0; pass < ctx.medianPassCount; ++pass)
        for (int c = 0; c < 3; c += 2) {
            // Differences to green, then a 3 x 3 median of them.
            std::vector<int32_t> diff(size_t(height) * width);
            for (size_t i = 0; i < diff.size(); ++i)
                diff[i] = int32_t(ctx.pixelArray[i][c]) - ctx.pixelArray[i][1];
            for (int row = 1; row < height - 1; ++row)
                for (int col = 1; col < width - 1; ++col) {
                    int32_t v[9];
                    int k = 0;
                    for (int dr = -1; dr <= 1; ++dr)
                        for (int dc = -1; dc <= 1; ++dc) v[k++] = diff[size_t(row + dr) * width + size_t(col + dc)];
                    std::nth_element(v, v + 4, v + 9);
                    RawPixel& p = ctx.pixelArray[size_t(row) * width + size_t(col)];
                    p[c] = Clip16(int64_t(v[4]) + p[1]);
                }
        }
}

void fuji_rotate(RawContext& ctx) {
    if (!ctx.fujiLayoutWidth) return;
    ctx.fujiLayoutWidth = uint16_t((ctx.fujiLayoutWidth - 1 + ctx.shrinkShift) >> ctx.shrinkShift);
    const double step = std::sqrt(0.5);
    const int fujiWidth = ctx.fujiLayoutWidth;
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    const int wide = int(fujiWidth / step);
    const int high = std::max(0, int((ctx.visibleHeight - fujiWidth) / step));
    std::vector<RawPixel> out = NewArray(ctx, size_t(high), size_t(wide), "fuji_rotate()");
    const bool haveSource = ctx.pixelArray.size() >= size_t(height) * width;
    for (int row = 0; row < high && haveSource; ++row)
        for (int col = 0; col < wide; ++col) {
            const double r = fujiWidth + (row - col) * step;
            const double c = (row + col) * step;
            const double ur = std::floor(r), uc = std::floor(c);
            // Positions outside the stored sensor stay black.
            if (ur < 0 || uc < 0 || ur > height - 2 || uc > width - 2) continue;
            const double fr = r - ur, fc = c - uc;
            const RawPixel* pix = &ctx.pixelArray[size_t(ur) * width + size_t(uc)];
            RawPixel& dst = out[size_t(row) * wide + size_t(col)];
            for (int i = 0; i < ctx.colourCount; ++i)
                dst[i] = Clip16((pix[0][i] * (1 - fc) + pix[1][i] * fc) * (1 - fr) +
                                (pix[width][i] * (1 - fc) + pix[width + 1][i] * fc) * fr);
        }
    ctx.pixelArray.swap(out);
    ctx.visibleHeight = ctx.arrayHeight = uint16_t(high);
    ctx.visibleWidth = ctx.arrayWidth = uint16_t(wide);
    ctx.fujiLayoutWidth = 0;
}

void convert_to_rgb(RawContext& ctx) {
    if (ctx.colourCount == 1 || ctx.rawDocumentMode || ctx.outputSpace < 1 || ctx.outputSpace > 5)
        ctx.keepCameraColour = 1;
    // sRGB is the only output space this engine serves; the others take the
    // same matrix (their profiles are never asked for).
    float matrix[3][4] = {};
    if (!ctx.keepCameraColour)
        for (int k = 0; k < 3; ++k)
            for (int c = 0; c < ctx.colourCount; ++c) matrix[k][c] = ctx.cameraToSrgb[k][c];
    memset(ctx.channelHistogram, 0, sizeof ctx.channelHistogram);
    const int colours = std::clamp(ctx.colourCount, 1, 4);
    for (RawPixel& p : ctx.pixelArray) {
        if (!ctx.keepCameraColour) {
            float out[3];
            for (int k = 0; k < 3; ++k) {
                out[k] = 0;
                for (int c = 0; c < colours; ++c) out[k] += matrix[k][c] * p[c];
            }
            for (int k = 0; k < 3; ++k) p[k] = Clip16(double(std::trunc(out[k])));
        }
        for (int c = 0; c < colours; ++c) ++ctx.channelHistogram[c][p[c] >> 3];
    }
    if (ctx.colourCount == 4 && ctx.outputSpace != 0) ctx.colourCount = 3;
}

void stretch(RawContext& ctx) {
    if (ctx.photositeAspect == 1 || !(ctx.photositeAspect > 0)) return;
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    if (ctx.pixelArray.size() < size_t(height) * width || height == 0 || width == 0) return;
    const double aspect = ctx.photositeAspect;
    if (aspect < 1) {
        const int newHeight = std::min(65535, int(height / aspect + 0.5));
        std::vector<RawPixel> out = NewArray(ctx, size_t(newHeight), size_t(width), "stretch()");
        for (int row = 0; row < newHeight; ++row) {
            const double rc = row * aspect;
            const int r0 = std::min(int(rc), height - 1);
            const int r1 = std::min(r0 + 1, height - 1);
            const double frac = rc - r0;
            for (int col = 0; col < width; ++col) {
                const RawPixel& a = ctx.pixelArray[size_t(r0) * width + size_t(col)];
                const RawPixel& b = ctx.pixelArray[size_t(r1) * width + size_t(col)];
                RawPixel& dst = out[size_t(row) * width + size_t(col)];
                for (int c = 0; c < ctx.colourCount; ++c) dst[c] = Clip16(a[c] * (1 - frac) + b[c] * frac + 0.5);
            }
        }
        ctx.pixelArray.swap(out);
        ctx.visibleHeight = ctx.arrayHeight = uint16_t(newHeight);
    } else {
        const int newWidth = std::min(65535, int(width * aspect + 0.5));
        std::vector<RawPixel> out = NewArray(ctx, size_t(height), size_t(newWidth), "stretch()");
        for (int col = 0; col < newWidth; ++col) {
            const double cc = col / aspect;
            const int c0 = std::min(int(cc), width - 1);
            const int c1 = std::min(c0 + 1, width - 1);
            const double frac = cc - c0;
            for (int row = 0; row < height; ++row) {
                const RawPixel& a = ctx.pixelArray[size_t(row) * width + size_t(c0)];
                const RawPixel& b = ctx.pixelArray[size_t(row) * width + size_t(c1)];
                RawPixel& dst = out[size_t(row) * newWidth + size_t(col)];
                for (int c = 0; c < ctx.colourCount; ++c) dst[c] = Clip16(a[c] * (1 - frac) + b[c] * frac + 0.5);
            }
        }
        ctx.pixelArray.swap(out);
        ctx.visibleWidth = ctx.arrayWidth = uint16_t(newWidth);
    }
}

void build_output_curve(RawContext& ctx, uint8_t* outputCurve) {
    int64_t perc = int64_t(ctx.visibleWidth * double(ctx.visibleHeight) * 0.01);
    if (ctx.fujiLayoutWidth) perc /= 2;
    if ((ctx.highlightMode & ~2) || ctx.fixedWhitePoint) perc = -1;
    double white = 0;
    for (int c = 0; c < std::clamp(ctx.colourCount, 1, 4); ++c) {
        int64_t total = 0;
        int val = 8191;
        for (; val > 32; --val) {
            total += ctx.channelHistogram[c][val];
            if (total > perc) break;
        }
        white = std::max(white, double(val));
    }
    white *= 8 / double(ctx.brightness);
    for (int i = 0; i < 0x10000; ++i) {
        double r = i / white;
        if (ctx.applyGamma) r = r <= 0.018 ? r * 4.5 : std::pow(r, 0.45) * 1.099 - 0.099;
        outputCurve[i] = uint8_t(std::clamp(std::trunc(256 * r), 0.0, 255.0));
    }
}

size_t oriented_index(const RawContext& ctx, int row, int col) {
    if (ctx.orientation & 4) std::swap(row, col);
    if (ctx.orientation & 2) row = ctx.arrayHeight - 1 - row;
    if (ctx.orientation & 1) col = ctx.arrayWidth - 1 - col;
    return size_t(row) * ctx.arrayWidth + size_t(col);
}

// Demosaicing of the RAW engine: bilinear, VNG (variable number of
// gradients), PPG (patterned pixel grouping) and AHD (adaptive homogeneity-
// directed), each filling in the colours a photosite's filter did not see.
// Every method first fills a border, whose photosites take the mean of the
// same-coloured photosites around them, so that the interior passes can read
// their neighbourhood without bounds checks.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "raw/raw_stages.h"

namespace {

// Every method interpolates photosite by photosite over the whole array,
// which holds the visible image with shrinkShift 0.
bool ReadyForDemosaic(const RawContext& ctx) {
    return ctx.cfaPattern != 0 && ctx.shrinkShift == 0 &&
           ctx.pixelArray.size() >= size_t(ctx.arrayHeight) * ctx.arrayWidth && ctx.arrayHeight > 0 &&
           ctx.arrayWidth > 0;
}

uint16_t Clip(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535)); }

// Photosites closer than border to an edge: each colour other than their
// own becomes the mean of that colour's photosites in the 3 x 3 around them.
void BorderFill(RawContext& ctx, int border) {
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            // Interior photosites are skipped by jumping over them.
            if (col == border && row >= border && row < height - border) col = std::max(col, width - border);
            if (col >= width) break;
            uint32_t sum[4] = {}, count[4] = {};
            for (int r = row - 1; r <= row + 1; ++r)
                for (int c = col - 1; c <= col + 1; ++c) {
                    if (r < 0 || c < 0 || r >= height || c >= width) continue;
                    const int f = colourAt(ctx, r, c);
                    sum[f] += ctx.pixelArray[size_t(r) * width + size_t(c)][f];
                    ++count[f];
                }
            RawPixel& p = ctx.pixelArray[size_t(row) * width + size_t(col)];
            const int own = colourAt(ctx, row, col);
            for (int f = 0; f < ctx.colourCount && f < 4; ++f)
                if (f != own && count[f]) p[f] = uint16_t(sum[f] / count[f]);
        }
}

// The pattern repeats every 16 rows and 16 columns (every 8 x 2 for the
// packed pattern words), so neighbourhood codes are built per position.
constexpr int kPatternSize = 16;

}  // namespace

void bilinear_interpolate(RawContext& ctx) {
    if (!ReadyForDemosaic(ctx)) return;
    BorderFill(ctx, 1);
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    // Per pattern position: for each colour other than the centre's, the
    // neighbour offsets and weights (2 edge, 1 diagonal) and 256 / total.
    struct Term {
        int offset;
        int colour;
        int weight;
    };
    struct Code {
        std::vector<Term> terms;
        int scale[4];
    };
    std::vector<Code> codes(kPatternSize * kPatternSize);
    for (int pr = 0; pr < kPatternSize; ++pr)
        for (int pc = 0; pc < kPatternSize; ++pc) {
            Code& code = codes[size_t(pr) * kPatternSize + size_t(pc)];
            const int own = colourAt(ctx, pr + kPatternSize, pc + kPatternSize);
            int total[4] = {};
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    if (dr == 0 && dc == 0) continue;
                    const int f = colourAt(ctx, pr + kPatternSize + dr, pc + kPatternSize + dc);
                    if (f == own) continue;
                    const int weight = (dr == 0 || dc == 0) ? 2 : 1;
                    code.terms.push_back(Term{dr * width + dc, f, weight});
                    total[f] += weight;
                }
            for (int f = 0; f < 4; ++f) code.scale[f] = (f != own && total[f]) ? 256 / total[f] : 0;
        }
    for (int row = 1; row < height - 1; ++row)
        for (int col = 1; col < width - 1; ++col) {
            const Code& code = codes[size_t(row % kPatternSize) * kPatternSize + size_t(col % kPatternSize)];
            RawPixel* p = &ctx.pixelArray[size_t(row) * width + size_t(col)];
            uint32_t sum[4] = {};
            for (const Term& t : code.terms) sum[t.colour] += uint32_t(p[t.offset][t.colour]) * uint32_t(t.weight);
            for (int f = 0; f < 4; ++f)
                if (code.scale[f]) (*p)[f] = Clip((int64_t(sum[f]) * code.scale[f]) >> 8);
        }
}

namespace {

// VNG's gradient terms: (y1, x1, y2, x2, weight, direction bits).
constexpr int kVngTerms[64][6] = {
    {-2, -2, 0, -1, 0, 1}, {-2, -2, 0, 0, 1, 1}, {-2, -1, -1, 0, 0, 1}, {-2, -1, 0, -1, 0, 2},
    {-2, -1, 0, 0, 0, 3}, {-2, -1, 0, 1, 1, 1}, {-2, 0, 0, -1, 0, 6}, {-2, 0, 0, 0, 1, 2},
    {-2, 0, 0, 1, 0, 3}, {-2, 1, -1, 0, 0, 4}, {-2, 1, 0, -1, 1, 4}, {-2, 1, 0, 0, 0, 6},
    {-2, 1, 0, 1, 0, 2}, {-2, 2, 0, 0, 1, 4}, {-2, 2, 0, 1, 0, 4}, {-1, -2, -1, 0, 0, 128},
    {-1, -2, 0, -1, 0, 1}, {-1, -2, 1, -1, 0, 1}, {-1, -2, 1, 0, 1, 1}, {-1, -1, -1, 1, 0, 136},
    {-1, -1, 1, -2, 0, 64}, {-1, -1, 1, -1, 0, 34}, {-1, -1, 1, 0, 0, 51}, {-1, -1, 1, 1, 1, 17},
    {-1, 0, -1, 2, 0, 8}, {-1, 0, 0, -1, 0, 68}, {-1, 0, 0, 1, 0, 17}, {-1, 0, 1, -2, 1, 64},
    {-1, 0, 1, -1, 0, 102}, {-1, 0, 1, 0, 1, 34}, {-1, 0, 1, 1, 0, 51}, {-1, 0, 1, 2, 1, 16},
    {-1, 1, 1, -1, 1, 68}, {-1, 1, 1, 0, 0, 102}, {-1, 1, 1, 1, 0, 34}, {-1, 1, 1, 2, 0, 16},
    {-1, 2, 0, 1, 0, 4}, {-1, 2, 1, 0, 1, 4}, {-1, 2, 1, 1, 0, 4}, {0, -2, 0, 0, 1, 128},
    {0, -1, 0, 1, 1, 136}, {0, -1, 1, -2, 0, 64}, {0, -1, 1, 0, 0, 17}, {0, -1, 2, -2, 0, 64},
    {0, -1, 2, -1, 0, 32}, {0, -1, 2, 0, 0, 48}, {0, -1, 2, 1, 1, 16}, {0, 0, 0, 2, 1, 8},
    {0, 0, 2, -2, 1, 64}, {0, 0, 2, -1, 0, 96}, {0, 0, 2, 0, 1, 32}, {0, 0, 2, 1, 0, 48},
    {0, 0, 2, 2, 1, 16}, {0, 1, 1, 0, 0, 68}, {0, 1, 1, 2, 0, 16}, {0, 1, 2, -1, 1, 64},
    {0, 1, 2, 0, 0, 96}, {0, 1, 2, 1, 0, 32}, {0, 1, 2, 2, 0, 16}, {1, -2, 1, 0, 0, 128},
    {1, -1, 1, 1, 0, 136}, {1, 0, 1, 2, 0, 8}, {1, 0, 2, -1, 0, 64}, {1, 0, 2, 1, 0, 16},
};
constexpr signed char kVngDirections[8][2] = {{-1, -1}, {-1, 0}, {-1, +1}, {0, +1}, {+1, +1}, {+1, 0}, {+1, -1}, {0, -1}};

struct VngGradientTerm {
    int offset1, offset2;  // photosite offsets of the two ends
    int colour;            // the colour both ends carry
    int weight;
    uint8_t directions;
};
struct VngDirection {
    int offset;     // the neighbour in this direction
    int farOffset;  // twice as far, when it carries the centre's colour and the neighbour does not; else 0
};
struct VngCode {
    std::vector<VngGradientTerm> terms;
    VngDirection directions[8];
};

}  // namespace

void vng_interpolate(RawContext& ctx) {
    if (!ReadyForDemosaic(ctx)) return;
    bilinear_interpolate(ctx);
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    if (height < 5 || width < 5) return;
    const int colours = std::clamp(ctx.colourCount, 1, 4);
    // The pattern word repeats every 8 rows and 2 columns; pattern 1 every 16 x 16.
    const int periodRows = ctx.cfaPattern == 1 ? 16 : 8;
    const int periodCols = ctx.cfaPattern == 1 ? 16 : 2;
    std::vector<VngCode> codes(size_t(periodRows) * periodCols);
    for (int pr = 0; pr < periodRows; ++pr)
        for (int pc = 0; pc < periodCols; ++pc) {
            // Positions far from the edges, so colourAt sees the same cells as in the image.
            const int row = pr + 16, col = pc + 16;
            VngCode& code = codes[size_t(pr) * periodCols + size_t(pc)];
            for (const auto& t : kVngTerms) {
                const int y1 = t[0], x1 = t[1], y2 = t[2], x2 = t[3];
                const int colour = colourAt(ctx, row + y1, col + x1);
                if (colourAt(ctx, row + y2, col + x2) != colour) continue;
                const int diag =
                    (colourAt(ctx, row, col + 1) == colour && colourAt(ctx, row + 1, col) == colour) ? 2 : 1;
                if (std::abs(y1 - y2) == diag && std::abs(x1 - x2) == diag) continue;
                code.terms.push_back(
                    VngGradientTerm{y1 * width + x1, y2 * width + x2, colour, t[4], static_cast<uint8_t>(t[5])});
            }
            const int own = colourAt(ctx, row, col);
            for (int g = 0; g < 8; ++g) {
                const int y = kVngDirections[g][0], x = kVngDirections[g][1];
                const bool far = colourAt(ctx, row + y, col + x) != own && colourAt(ctx, row + 2 * y, col + 2 * x) == own;
                code.directions[g] = VngDirection{y * width + x, far ? 2 * (y * width + x) : 0};
            }
        }

    // Results are written two rows behind the pass, through a ring of three
    // rows, so every gradient reads the bilinear values.
    std::vector<RawPixel> ring(size_t(3) * width);
    auto flush = [&](int row) {
        memcpy(&ctx.pixelArray[size_t(row) * width + 2], &ring[size_t(row % 3) * width + 2],
               size_t(width - 4) * sizeof(RawPixel));
    };
    for (int row = 2; row < height - 2; ++row) {
        for (int col = 2; col < width - 2; ++col) {
            const VngCode& code = codes[size_t(row % periodRows) * periodCols + size_t(col % periodCols)];
            const RawPixel* pix = &ctx.pixelArray[size_t(row) * width + size_t(col)];
            RawPixel& out = ring[size_t(row % 3) * width + size_t(col)];
            int32_t gval[8] = {};
            for (const VngGradientTerm& t : code.terms) {
                const int32_t diff = std::abs(int32_t(pix[t.offset1][t.colour]) - pix[t.offset2][t.colour]) << t.weight;
                for (int g = 0; g < 8; ++g)
                    if (t.directions & (1 << g)) gval[g] += diff;
            }
            const int32_t gmin = *std::min_element(gval, gval + 8);
            const int32_t gmax = *std::max_element(gval, gval + 8);
            if (gmax == 0) {
                out = *pix;  // a flat neighbourhood keeps the bilinear values
                continue;
            }
            const int32_t threshold = gmin + (gmax >> 1);
            const int own = colourAt(ctx, row, col);
            int64_t sum[4] = {};
            int num = 0;
            for (int g = 0; g < 8; ++g) {
                if (gval[g] > threshold) continue;
                const VngDirection& d = code.directions[g];
                for (int c = 0; c < colours; ++c) {
                    if (c == own && d.farOffset)
                        sum[c] += (int32_t(pix[0][c]) + pix[d.farOffset][c]) >> 1;
                    else
                        sum[c] += pix[d.offset][c];
                }
                ++num;
            }
            out = *pix;
            for (int c = 0; c < colours; ++c)
                if (c != own) out[c] = Clip(int64_t(pix[0][own]) + (sum[c] - sum[own]) / num);
        }
        if (row > 3) flush(row - 2);
    }
    for (int row = std::max(2, height - 4); row < height - 2; ++row) flush(row);
}

void ppg_demosaic(RawContext& ctx) {
    if (!ReadyForDemosaic(ctx)) return;
    BorderFill(ctx, 3);
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    const int dir[5] = {1, width, -1, -width, 1};
    auto at = [&](int row, int col) { return &ctx.pixelArray[size_t(row) * width + size_t(col)]; };

    // Green at the red and blue photosites.
    for (int row = 3; row < height - 3; ++row)
        for (int col = 3 + (colourAt(ctx, row, 3) & 1); col < width - 3; col += 2) {
            RawPixel* p = at(row, col);
            const int c = colourAt(ctx, row, col);
            int32_t gr[4];
            for (int i = 0; i < 4; ++i) gr[i] = 4 * int32_t(p[dir[i]][1]);
            const int32_t avg = (gr[0] + gr[1] + gr[2] + gr[3]) >> 2;
            for (const auto& pair : {std::array<int, 2>{0, 2}, {1, 3}, {0, 1}, {2, 3}})
                if (gr[pair[0]] > gr[pair[1]]) std::swap(gr[pair[0]], gr[pair[1]]);
            bool smooth = false;
            for (int d = 0; d < 4 && !smooth; ++d) {
                bool above = true;
                for (int i = -2; i <= 1 && above; ++i)
                    above = 4 * int32_t(p[i * dir[d] + (i + 1) * dir[d + 1]][1]) > avg;
                smooth = above;
            }
            if (smooth) {
                (*p)[1] = Clip((gr[1] + gr[2]) >> 3);
                continue;
            }
            int32_t diff[2], guess[2];
            for (int k = 0; k < 2; ++k) {
                const int d = k == 0 ? 1 : width;
                guess[k] = (int32_t(p[-d][1]) + p[0][c] + p[d][1]) * 2 - p[-2 * d][c] - p[2 * d][c];
                diff[k] = (std::abs(int32_t(p[-2 * d][c]) - p[0][c]) + std::abs(int32_t(p[2 * d][c]) - p[0][c]) +
                           std::abs(int32_t(p[-d][1]) - p[d][1])) * 3 +
                          (std::abs(int32_t(p[3 * d][1]) - p[d][1]) + std::abs(int32_t(p[-3 * d][1]) - p[-d][1])) * 2;
            }
            const int k = diff[1] < diff[0] ? 1 : 0;  // the horizontal guess wins ties
            const int d = k == 0 ? 1 : width;
            const int32_t lo = std::min(p[d][1], p[-d][1]), hi = std::max(p[d][1], p[-d][1]);
            (*p)[1] = uint16_t(std::clamp(guess[k] >> 2, lo, hi));
        }

    // Red and blue at the green photosites.
    for (int row = 1; row < height - 1; ++row)
        for (int col = 1 + (colourAt(ctx, row, 0) & 1); col < width - 1; col += 2) {
            RawPixel* p = at(row, col);
            int c = colourAt(ctx, row, col + 1);
            for (int k = 0; k < 2; ++k, c = 2 - c) {
                const int d = k == 0 ? 1 : width;
                (*p)[c] = Clip((int32_t(p[-d][c]) + p[d][c] + 2 * int32_t(p[0][1]) - p[-d][1] - p[d][1]) >> 1);
            }
        }

    // The opposite chroma colour at the red and blue photosites.
    for (int row = 1; row < height - 1; ++row)
        for (int col = 1 + (colourAt(ctx, row, 1) & 1); col < width - 1; col += 2) {
            RawPixel* p = at(row, col);
            const int c = 2 - colourAt(ctx, row, col);
            int32_t diff[2], guess[2];
            for (int k = 0; k < 2; ++k) {
                const int d = k == 0 ? width + 1 : width - 1;
                diff[k] = std::abs(int32_t(p[-d][c]) - p[d][c]) + std::abs(int32_t(p[-d][1]) - p[0][1]) +
                          std::abs(int32_t(p[d][1]) - p[0][1]);
                guess[k] = int32_t(p[-d][c]) + p[d][c] + 2 * int32_t(p[0][1]) - p[-d][1] - p[d][1];
            }
            if (diff[0] == diff[1])
                (*p)[c] = Clip((guess[0] + guess[1]) >> 2);
            else
                (*p)[c] = Clip(guess[diff[0] > diff[1] ? 1 : 0] >> 1);
        }
}

namespace {

constexpr int kAhdTile = 256;
constexpr int kAhdAdvance = 250;  // tiles overlap by 6 photosites

// CIE L*a*b* of one camera RGB value, through the cube-root table.
struct AhdLab {
    float l, a, b;
};

class AhdColour {
public:
    explicit AhdColour(const RawContext& ctx) : cube(0x10000) {
        for (int i = 0; i < 0x10000; ++i) {
            const double t = i / 65535.0;
            cube[size_t(i)] = float(t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16 / 116.0);
        }
        // Camera to XYZ: sRGB-to-XYZ times cameraToSrgb, each row divided by
        // the D65 white of that row.
        static constexpr double kSrgbToXyz[3][3] = {
            {0.412453, 0.357580, 0.180423}, {0.212671, 0.715160, 0.072169}, {0.019334, 0.119193, 0.950227}};
        static constexpr double kD65White[3] = {0.950456, 1, 1.088754};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double v = 0;
                for (int k = 0; k < 3; ++k) v += kSrgbToXyz[i][k] * ctx.cameraToSrgb[k][j];
                camToXyz[i][j] = float(v / kD65White[i]);
            }
    }
    AhdLab operator()(const uint16_t rgb[3]) const {
        float f[3];
        for (int i = 0; i < 3; ++i) {
            const float xyz = camToXyz[i][0] * rgb[0] + camToXyz[i][1] * rgb[1] + camToXyz[i][2] * rgb[2];
            f[i] = cube[size_t(std::clamp(int(xyz), 0, 0xFFFF))];
        }
        return AhdLab{116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
    }

private:
    std::vector<float> cube;
    float camToXyz[3][3];
};

}  // namespace

void ahd_interpolate(RawContext& ctx) {
    if (!ReadyForDemosaic(ctx)) return;
    BorderFill(ctx, 5);
    const int height = ctx.arrayHeight, width = ctx.arrayWidth;
    if (height < 11 || width < 11) return;  // the border fill covered every photosite
    const AhdColour toLab(ctx);
    constexpr size_t kCells = size_t(kAhdTile) * kAhdTile;
    // The working buffer: two RGB tiles, two L*a*b* tiles, two homogeneity maps.
    std::vector<std::array<uint16_t, 3>> rgb[2];
    std::vector<AhdLab> lab[2];
    std::vector<uint8_t> homo[2];
    try {
        for (int d = 0; d < 2; ++d) {
            rgb[d].resize(kCells);
            lab[d].resize(kCells);
            homo[d].resize(kCells);
        }
    } catch (const std::bad_alloc&) {
        check_allocation(ctx, nullptr, "ahd_interpolate()");
    }
    auto pix = [&](int row, int col) -> RawPixel& { return ctx.pixelArray[size_t(row) * width + size_t(col)]; };

    for (int top = 2; top < height - 5; top += kAhdAdvance)
        for (int left = 2; left < width - 5; left += kAhdAdvance) {
            const int bottom = std::min(top + kAhdTile, height - 2);
            const int right = std::min(left + kAhdTile, width - 2);
            auto cell = [&](int row, int col) { return size_t(row - top) * kAhdTile + size_t(col - left); };

            for (int d = 0; d < 2; ++d) {
                const int step = d == 0 ? 1 : width;  // horizontal, then vertical
                // Green along this direction at the red and blue photosites.
                for (int row = top; row < bottom; ++row)
                    for (int col = left; col < right; ++col) {
                        const RawPixel* p = &pix(row, col);
                        auto& out = rgb[d][cell(row, col)];
                        out = {p[0][0], p[0][1], p[0][2]};
                        const int c = colourAt(ctx, row, col);
                        if (c == 1 || c == 3) continue;
                        const int32_t guess =
                            ((int32_t(p[-step][1]) + p[0][c] + p[step][1]) * 2 - p[-2 * step][c] - p[2 * step][c]) >> 2;
                        const int32_t lo = std::min(p[-step][1], p[step][1]), hi = std::max(p[-step][1], p[step][1]);
                        out[1] = uint16_t(std::clamp(guess, lo, hi));
                    }
                // Red and blue from the colour differences to this version's green.
                for (int row = top + 1; row < bottom - 1; ++row)
                    for (int col = left + 1; col < right - 1; ++col) {
                        auto& out = rgb[d][cell(row, col)];
                        const int own = colourAt(ctx, row, col);
                        auto diff = [&](int r, int cc, int colour) {
                            const auto& n = rgb[d][cell(r, cc)];
                            return int32_t(pix(r, cc)[colour]) - n[1];
                        };
                        if (own == 1 || own == 3) {
                            const int hc = colourAt(ctx, row, col + 1);
                            const int vc = 2 - hc;
                            out[hc] = Clip(out[1] + ((diff(row, col - 1, hc) + diff(row, col + 1, hc)) >> 1));
                            out[vc] = Clip(out[1] + ((diff(row - 1, col, vc) + diff(row + 1, col, vc)) >> 1));
                        } else {
                            const int c = 2 - own;
                            out[c] = Clip(out[1] + ((diff(row - 1, col - 1, c) + diff(row - 1, col + 1, c) +
                                                     diff(row + 1, col - 1, c) + diff(row + 1, col + 1, c)) >> 2));
                        }
                        lab[d][cell(row, col)] = toLab(out.data());
                    }
            }

            // Homogeneity: neighbours within the smaller of the two versions'
            // luminance and chroma spreads along their own direction.
            static constexpr int kNeighbour[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
            for (int row = top + 2; row < bottom - 2; ++row)
                for (int col = left + 2; col < right - 2; ++col) {
                    float ldiff[2][4], abdiff[2][4];
                    for (int d = 0; d < 2; ++d) {
                        const AhdLab& centre = lab[d][cell(row, col)];
                        for (int i = 0; i < 4; ++i) {
                            const AhdLab& n = lab[d][cell(row + kNeighbour[i][0], col + kNeighbour[i][1])];
                            ldiff[d][i] = std::fabs(centre.l - n.l);
                            abdiff[d][i] = (centre.a - n.a) * (centre.a - n.a) + (centre.b - n.b) * (centre.b - n.b);
                        }
                    }
                    const float leps = std::min(std::max(ldiff[0][0], ldiff[0][1]), std::max(ldiff[1][2], ldiff[1][3]));
                    const float abeps =
                        std::min(std::max(abdiff[0][0], abdiff[0][1]), std::max(abdiff[1][2], abdiff[1][3]));
                    for (int d = 0; d < 2; ++d) {
                        uint8_t h = 0;
                        for (int i = 0; i < 4; ++i) h += ldiff[d][i] <= leps && abdiff[d][i] <= abeps;
                        homo[d][cell(row, col)] = h;
                    }
                }

            // Each photosite takes the more homogeneous version over its 3 x 3;
            // a tie takes the mean of both.
            const int rowEnd = std::min(top + 3 + kAhdAdvance, bottom - 3);
            const int colEnd = std::min(left + 3 + kAhdAdvance, right - 3);
            for (int row = top + 3; row < rowEnd; ++row)
                for (int col = left + 3; col < colEnd; ++col) {
                    int hm[2] = {0, 0};
                    for (int d = 0; d < 2; ++d)
                        for (int r = row - 1; r <= row + 1; ++r)
                            for (int c = col - 1; c <= col + 1; ++c) hm[d] += homo[d][cell(r, c)];
                    RawPixel& out = pix(row, col);
                    const auto& h = rgb[0][cell(row, col)];
                    const auto& v = rgb[1][cell(row, col)];
                    for (int c = 0; c < 3; ++c)
                        out[c] = hm[0] > hm[1] ? h[c] : hm[1] > hm[0] ? v[c] : uint16_t((h[c] + v[c]) >> 1);
                }
        }
}

// The drawing surface of the metafile player: a cairo ARGB32 image of the
// output size, painted white first. Everything it receives is already in
// output pixels; the painter does the mapping and the clamping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/metafile/device_context.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace metafile {

// How a shape's inside is painted.
struct FillStyle {
    enum Kind { Solid, Hatch, Pattern } kind = Solid;
    uint32_t color = 0;       // solid colour, or the hatch lines' colour
    uint32_t hatch = 0;       // HS_HORIZONTAL .. HS_DIAGCROSS
    bool opaqueBackground = false;
    uint32_t background = 0;  // behind hatch lines when opaqueBackground
    const Bitmap* pattern = nullptr;
};

struct StrokeStyle {
    uint32_t color = 0;
    double width = 1;          // output pixels
    uint32_t style = kPsSolid;  // PS_* with end cap and join bits
    double miterLimit = 10;
};

struct TextRun {
    std::string utf8;
    std::vector<double> advances;  // per character, output pixels; empty: the font's own
    PointD origin;                 // reference point, output pixels
    double angle = 0;              // radians, counter-clockwise on the picture
    double size = 12;              // em size, output pixels
    std::string family;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    uint32_t color = 0;
    uint32_t align = 0;            // TA_* bits
    bool opaque = false;           // fill the text box with background first
    uint32_t background = 0xFFFFFF;
};

class CairoCanvas {
public:
    CairoCanvas(int width, int height, uint32_t background);
    ~CairoCanvas();
    CairoCanvas(const CairoCanvas&) = delete;
    CairoCanvas& operator=(const CairoCanvas&) = delete;

    // False when the surface could not be made.
    bool Ok() const;
    // Whether cairo could be loaded (false makes every canvas fail).
    static bool Available();
    int Width() const { return width_; }
    int Height() const { return height_; }

    void SetClip(const std::vector<ClipShape>& clip);
    void Fill(const Path& path, bool evenOdd, const FillStyle& style, int rop2);
    void Stroke(const Path& path, const StrokeStyle& style, int rop2);
    // Returns the run's advance along its baseline, in output pixels.
    double DrawText(const TextRun& run);
    // Paints the bitmap's pixels (sx, sy, sw, sh: a rectangle of it, top line
    // 0) through toOutput, which maps bitmap pixels to output pixels.
    void DrawBitmap(const Bitmap& bitmap, double sx, double sy, double sw, double sh,
                    const Affine& toOutput, uint32_t rop);
    // Gradient fills: colours are 0x00BBGGRR. A rectangle shades from its
    // left to its right edge (or top to bottom); a triangle between its corners.
    void GradientRect(const PointD corners[4], uint32_t from, uint32_t to, bool vertical);
    void GradientTriangle(const PointD corners[3], const uint32_t colours[3]);
    // Fills a path with a raster operation that takes no source (PATCOPY,
    // BLACKNESS, WHITENESS, DSTINVERT, PATINVERT).
    void PatternBlit(const Path& area, const FillStyle& brush, uint32_t rop);

    // Top line first: 4 bytes per pixel (blue, green, red, alpha on a
    // little-endian host), stride RowStride().
    const uint8_t* Row(int y);
    int RowStride() const;

private:
    void AddPath(const Path& path);
    bool SetOperator(int rop2, uint32_t* color);
    void SetFillSource(const FillStyle& style);
    void DropSource();

    int width_;
    int height_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    bool flushed_ = false;
};

}  // namespace metafile

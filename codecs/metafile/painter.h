// The drawing operations of the Windows graphics interface that metafile
// records name (lines, shapes, arcs, paths, text, bitmaps, clipping), in
// logical coordinates. The painter maps them through the device context,
// clamps them to a bounded range and hands them to the canvas, or collects
// them in the context's path while a path bracket is open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/metafile/cairo_canvas.h"
#include "codecs/metafile/device_context.h"

namespace metafile {

// Output coordinates are clamped to this range, so that huge logical values
// cannot make cairo work without bound. Pictures are at most 4000 pixels.
constexpr double kMaxOutputCoordinate = 65536;

class Painter {
public:
    Painter(DeviceContext& dc, CairoCanvas& canvas) : dc_(dc), canvas_(canvas) {}

    DeviceContext& Dc() { return dc_; }

    void MoveTo(PointD p);
    void LineTo(PointD p);
    void Polyline(const std::vector<PointD>& points);
    void PolylineTo(const std::vector<PointD>& points);
    void PolyBezier(const std::vector<PointD>& points);
    void PolyBezierTo(const std::vector<PointD>& points);
    void PolyPolygon(const std::vector<std::vector<PointD>>& polygons);
    void PolyPolyline(const std::vector<std::vector<PointD>>& lines);
    void Rectangle(double l, double t, double r, double b);
    void RoundRect(double l, double t, double r, double b, double w, double h);
    void Ellipse(double l, double t, double r, double b);
    enum class ArcKind { Arc, ArcTo, Chord, Pie };
    void Arc(ArcKind kind, double l, double t, double r, double b, PointD start, PointD end);
    void AngleArc(PointD center, double radius, double startDeg, double sweepDeg);
    void SetPixel(PointD p, uint32_t color);

    // EMF path bracket.
    void BeginPath();
    void EndPath() { dc_.inPath = false; }
    void AbortPath();
    void CloseFigure();
    void FillPath();
    void StrokePath();
    void StrokeAndFillPath();
    // RGN_AND 1, RGN_OR 2, RGN_XOR 3, RGN_DIFF 4, RGN_COPY 5.
    void SelectClipPath(uint32_t mode);

    void IntersectClipRect(double l, double t, double r, double b);
    void ExcludeClipRect(double l, double t, double r, double b);
    // Rectangles (left, top, right, bottom) in logical units when logical,
    // else in reference-device pixels; an empty list with RGN_COPY resets the clip.
    void ClipRegion(const std::vector<int32_t>& rects, uint32_t mode, bool logical);
    void FillRegion(const std::vector<int32_t>& rects, const Brush& brush, bool logical);

    // ExtTextOut: options ETO_OPAQUE 2, ETO_CLIPPED 4; rect may be null.
    // dx: advances in logical units, may be empty.
    void Text(PointD reference, const std::string& utf8, const std::vector<double>& dx, uint32_t options,
              const double* rect);

    // Paints (xSrc, ySrc, wSrc, hSrc) of bitmap into the logical rectangle
    // (x, y, w, h). Source y counts from the bottom line when bottomUpOrigin.
    void DrawBitmap(const Bitmap& bitmap, bool bottomUpOrigin, double x, double y, double w, double h, double xSrc,
                    double ySrc, double wSrc, double hSrc, uint32_t rop);
    // Paints (xSrc, ySrc, wSrc, hSrc) of bitmap (top line 0) through toLogical,
    // which maps bitmap pixels to logical coordinates.
    void DrawBitmapMapped(const Bitmap& bitmap, double xSrc, double ySrc, double wSrc, double hSrc,
                          const Affine& toLogical, uint32_t rop);
    // Gradient fills between logical vertices; colours 0x00BBGGRR.
    void GradientRect(PointD upperLeft, PointD lowerRight, uint32_t from, uint32_t to, bool vertical);
    void GradientTriangle(const PointD corners[3], const uint32_t colours[3]);
    // A raster operation without a source, over a logical rectangle.
    void PatBlt(double x, double y, double w, double h, uint32_t rop);

private:
    PointD Out(PointD logical) const;
    void AddLogical(Path& out, const Path& logical) const;
    void Draw(const Path& logical, bool fill, bool stroke);
    void DrawOutput(const Path& output, bool fill, bool stroke);
    void ApplyClip();
    FillStyle BrushFill(const Brush& brush) const;
    StrokeStyle PenStroke() const;
    bool PenVisible() const;
    bool BrushVisible() const;
    Path RegionPath(const std::vector<int32_t>& rects, bool logical) const;
    Path EllipsePath(double l, double t, double r, double b) const;
    void ArcSegments(Path& path, double cx, double cy, double rx, double ry, double from, double sweep, bool lineToStart) const;

    DeviceContext& dc_;
    CairoCanvas& canvas_;
    std::vector<uint64_t> appliedClip_;
};

}  // namespace metafile

// Graphics operations named by metafile records ("[MS-WMF]" 2.3.3 and
// "[MS-EMF]" 2.3.5 drawing records, 2.3.10 path bracket records, 2.3.2
// clipping records, 2.3.1 bitmap records), done in logical coordinates.
#include "codecs/metafile/painter.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace metafile {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Clamp(double v) {
    if (!std::isfinite(v)) return 0;  // NaN and infinities from degenerate mappings draw at the origin
    return std::clamp(v, -kMaxOutputCoordinate, kMaxOutputCoordinate);
}

Path RectPath(double l, double t, double r, double b) {
    return {{PathOp::Move, {{l, t}}}, {PathOp::Line, {{r, t}}}, {PathOp::Line, {{r, b}}}, {PathOp::Line, {{l, b}}},
            {PathOp::Close, {}}};
}

// A box around everything that can be seen, for clips that cut a hole.
Path Everything() {
    const double m = kMaxOutputCoordinate;
    return RectPath(-m, -m, m, m);
}

bool LastIsOpen(const Path& path) { return !path.empty() && path.back().kind != PathOp::Close; }

}  // namespace

PointD Painter::Out(PointD p) const {
    const PointD o = dc_.LogicalToOutput().Apply(p);
    return {Clamp(o.x), Clamp(o.y)};
}

void Painter::AddLogical(Path& out, const Path& logical) const {
    const Affine t = dc_.LogicalToOutput();
    for (const PathOp& op : logical) {
        PathOp o = op;
        const int n = op.kind == PathOp::Curve ? 3 : op.kind == PathOp::Close ? 0 : 1;
        for (int i = 0; i < n; ++i) {
            const PointD q = t.Apply(op.p[i]);
            o.p[i] = {Clamp(q.x), Clamp(q.y)};
        }
        out.push_back(o);
    }
}

bool Painter::PenVisible() const { return (dc_.State().pen.style & kPsStyleMask) != kPsNull; }
bool Painter::BrushVisible() const { return dc_.State().brush.style != kBsNull; }

FillStyle Painter::BrushFill(const Brush& brush) const {
    FillStyle f;
    f.color = brush.color;
    if (brush.style == kBsHatched) {
        f.kind = FillStyle::Hatch;
        f.hatch = brush.hatch;
        f.opaqueBackground = dc_.State().bkMode == 2;
        f.background = dc_.State().bkColor;
    } else if ((brush.style == kBsPattern || brush.style == kBsDibPattern || brush.style == kBsDibPatternPt) &&
               brush.pattern && brush.pattern->width > 0 && brush.pattern->height > 0) {
        f.kind = FillStyle::Pattern;
        f.pattern = brush.pattern.get();
    }
    return f;
}

StrokeStyle Painter::PenStroke() const {
    const Pen& pen = dc_.State().pen;
    StrokeStyle s;
    s.color = pen.color;
    s.style = pen.style;
    s.miterLimit = dc_.State().miterLimit;
    const double scale = std::sqrt(std::fabs(dc_.LogicalToOutput().Determinant()));
    s.width = pen.cosmetic || pen.width <= 0 ? 1 : std::max(1.0, pen.width * scale);
    if (!std::isfinite(s.width)) s.width = 1;
    return s;
}

void Painter::ApplyClip() {
    const std::vector<ClipShape>& clip = dc_.State().clip;
    bool same = clip.size() == appliedClip_.size();
    for (size_t i = 0; same && i < clip.size(); ++i) same = clip[i].serial == appliedClip_[i];
    if (same) return;
    canvas_.SetClip(clip);
    appliedClip_.clear();
    for (const ClipShape& c : clip) appliedClip_.push_back(c.serial);
}

void Painter::DrawOutput(const Path& output, bool fill, bool stroke) {
    if (output.empty()) return;
    ApplyClip();
    const DcState& s = dc_.State();
    if (fill && BrushVisible()) canvas_.Fill(output, s.polyFillMode == 1, BrushFill(s.brush), s.rop2);
    if (stroke && PenVisible()) {
        // A device coordinate names a pixel; its centre is half a pixel in.
        Path shifted = output;
        for (PathOp& op : shifted)
            for (PointD& p : op.p) p = {p.x + 0.5, p.y + 0.5};
        canvas_.Stroke(shifted, PenStroke(), s.rop2);
    }
}

void Painter::Draw(const Path& logical, bool fill, bool stroke) {
    if (dc_.inPath) {
        AddLogical(dc_.path, logical);
        return;
    }
    Path output;
    AddLogical(output, logical);
    DrawOutput(output, fill, stroke);
}

void Painter::MoveTo(PointD p) {
    dc_.State().current = p;
    if (dc_.inPath) AddLogical(dc_.path, {{PathOp::Move, {p}}});
}

void Painter::LineTo(PointD p) { PolylineTo({p}); }

void Painter::Polyline(const std::vector<PointD>& points) {
    if (points.size() < 2) return;
    Path path;
    path.push_back({PathOp::Move, {points[0]}});
    for (size_t i = 1; i < points.size(); ++i) path.push_back({PathOp::Line, {points[i]}});
    Draw(path, false, true);
}

void Painter::PolylineTo(const std::vector<PointD>& points) {
    if (points.empty()) return;
    Path path;
    const PointD from = dc_.State().current;
    if (!dc_.inPath || !LastIsOpen(dc_.path)) path.push_back({PathOp::Move, {from}});
    for (const PointD& p : points) path.push_back({PathOp::Line, {p}});
    dc_.State().current = points.back();
    Draw(path, false, true);
}

void Painter::PolyBezier(const std::vector<PointD>& points) {
    if (points.size() < 4) return;
    Path path;
    path.push_back({PathOp::Move, {points[0]}});
    for (size_t i = 1; i + 2 < points.size(); i += 3)
        path.push_back({PathOp::Curve, {points[i], points[i + 1], points[i + 2]}});
    Draw(path, false, true);
}

void Painter::PolyBezierTo(const std::vector<PointD>& points) {
    if (points.size() < 3) return;
    Path path;
    if (!dc_.inPath || !LastIsOpen(dc_.path)) path.push_back({PathOp::Move, {dc_.State().current}});
    size_t i = 0;
    for (; i + 2 < points.size(); i += 3) path.push_back({PathOp::Curve, {points[i], points[i + 1], points[i + 2]}});
    dc_.State().current = points[i - 1];
    Draw(path, false, true);
}

void Painter::PolyPolygon(const std::vector<std::vector<PointD>>& polygons) {
    Path path;
    for (const auto& poly : polygons) {
        if (poly.size() < 2) continue;
        path.push_back({PathOp::Move, {poly[0]}});
        for (size_t i = 1; i < poly.size(); ++i) path.push_back({PathOp::Line, {poly[i]}});
        path.push_back({PathOp::Close, {}});
    }
    if (!path.empty()) Draw(path, true, true);
}

void Painter::PolyPolyline(const std::vector<std::vector<PointD>>& lines) {
    Path path;
    for (const auto& line : lines) {
        if (line.size() < 2) continue;
        path.push_back({PathOp::Move, {line[0]}});
        for (size_t i = 1; i < line.size(); ++i) path.push_back({PathOp::Line, {line[i]}});
    }
    if (!path.empty()) Draw(path, false, true);
}

void Painter::Rectangle(double l, double t, double r, double b) { Draw(RectPath(l, t, r, b), true, true); }

void Painter::ArcSegments(Path& path, double cx, double cy, double rx, double ry, double from, double sweep,
                          bool lineToStart) const {
    const PointD start{cx + rx * std::cos(from), cy + ry * std::sin(from)};
    path.push_back({lineToStart ? PathOp::Line : PathOp::Move, {start}});
    const int pieces = std::max(1, int(std::ceil(std::fabs(sweep) / (kPi / 2) - 1e-9)));
    const double step = sweep / pieces;
    const double k = 4.0 / 3.0 * std::tan(step / 4);
    double a = from;
    for (int i = 0; i < pieces; ++i) {
        const double b = a + step;
        const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
        path.push_back({PathOp::Curve,
                        {{cx + rx * (ca - k * sa), cy + ry * (sa + k * ca)},
                         {cx + rx * (cb + k * sb), cy + ry * (sb - k * cb)},
                         {cx + rx * cb, cy + ry * sb}}});
        a = b;
    }
}

Path Painter::EllipsePath(double l, double t, double r, double b) const {
    Path path;
    ArcSegments(path, (l + r) / 2, (t + b) / 2, (r - l) / 2, (b - t) / 2, 0, 2 * kPi, false);
    path.push_back({PathOp::Close, {}});
    return path;
}

void Painter::Ellipse(double l, double t, double r, double b) { Draw(EllipsePath(l, t, r, b), true, true); }

void Painter::RoundRect(double l, double t, double r, double b, double w, double h) {
    if (l > r) std::swap(l, r);
    if (t > b) std::swap(t, b);
    const double rx = std::min(std::fabs(w), r - l) / 2, ry = std::min(std::fabs(h), b - t) / 2;
    if (rx <= 0 || ry <= 0) {
        Rectangle(l, t, r, b);
        return;
    }
    Path path;
    ArcSegments(path, r - rx, t + ry, rx, ry, -kPi / 2, kPi / 2, false);
    ArcSegments(path, r - rx, b - ry, rx, ry, 0, kPi / 2, true);
    ArcSegments(path, l + rx, b - ry, rx, ry, kPi / 2, kPi / 2, true);
    ArcSegments(path, l + rx, t + ry, rx, ry, kPi, kPi / 2, true);
    path.push_back({PathOp::Close, {}});
    Draw(path, true, true);
}

void Painter::Arc(ArcKind kind, double l, double t, double r, double b, PointD start, PointD end) {
    const double cx = (l + r) / 2, cy = (t + b) / 2, rx = (r - l) / 2, ry = (b - t) / 2;
    if (rx == 0 || ry == 0) return;
    double from = std::atan2((start.y - cy) / ry, (start.x - cx) / rx);
    double to = std::atan2((end.y - cy) / ry, (end.x - cx) / rx);
    // Counter-clockwise as the picture shows it: with the y axis down that
    // is decreasing angles, unless the mapping mirrors the picture.
    const bool mirrored = dc_.LogicalToOutput().Determinant() < 0;
    const bool decreasing = mirrored == dc_.State().clockwiseArcs;
    double sweep = decreasing ? from - to : to - from;
    while (sweep <= 1e-9) sweep += 2 * kPi;  // equal points: the whole ellipse
    if (decreasing) sweep = -sweep;

    Path path;
    const bool fromCurrent = kind == ArcKind::ArcTo;
    if (fromCurrent && (!dc_.inPath || !LastIsOpen(dc_.path))) path.push_back({PathOp::Move, {dc_.State().current}});
    if (kind == ArcKind::Pie) path.push_back({PathOp::Move, {{cx, cy}}});
    ArcSegments(path, cx, cy, rx, ry, from, sweep, fromCurrent || kind == ArcKind::Pie);
    if (kind == ArcKind::Chord || kind == ArcKind::Pie) path.push_back({PathOp::Close, {}});
    if (fromCurrent) dc_.State().current = {cx + rx * std::cos(from + sweep), cy + ry * std::sin(from + sweep)};
    const bool closed = kind == ArcKind::Chord || kind == ArcKind::Pie;
    Draw(path, closed, true);
}

void Painter::AngleArc(PointD c, double radius, double startDeg, double sweepDeg) {
    if (!std::isfinite(radius) || !std::isfinite(startDeg) || !std::isfinite(sweepDeg)) return;
    sweepDeg = std::clamp(sweepDeg, -3600.0, 3600.0);
    // Angles count counter-clockwise with the y axis up.
    const double from = -startDeg * kPi / 180, sweep = -sweepDeg * kPi / 180;
    Path path;
    if (!dc_.inPath || !LastIsOpen(dc_.path)) path.push_back({PathOp::Move, {dc_.State().current}});
    if (sweep != 0) ArcSegments(path, c.x, c.y, radius, radius, from, sweep, true);
    dc_.State().current = {c.x + radius * std::cos(from + sweep), c.y + radius * std::sin(from + sweep)};
    Draw(path, false, true);
}

void Painter::SetPixel(PointD p, uint32_t color) {
    const PointD o = Out(p);
    ApplyClip();
    const double x = std::floor(o.x), y = std::floor(o.y);
    canvas_.Fill(RectPath(x, y, x + 1, y + 1), false, FillStyle{FillStyle::Solid, color}, dc_.State().rop2);
}

void Painter::BeginPath() {
    dc_.path.clear();
    dc_.inPath = true;
}

void Painter::AbortPath() {
    dc_.path.clear();
    dc_.inPath = false;
}

void Painter::CloseFigure() {
    if (dc_.inPath && LastIsOpen(dc_.path)) dc_.path.push_back({PathOp::Close, {}});
}

void Painter::FillPath() {
    if (dc_.inPath) return;  // only a closed bracket can be used
    DrawOutput(dc_.path, true, false);
    dc_.path.clear();
}

void Painter::StrokePath() {
    if (dc_.inPath) return;
    DrawOutput(dc_.path, false, true);
    dc_.path.clear();
}

void Painter::StrokeAndFillPath() {
    if (dc_.inPath) return;
    DrawOutput(dc_.path, true, true);
    dc_.path.clear();
}

void Painter::SelectClipPath(uint32_t mode) {
    if (dc_.inPath) return;
    ClipShape shape{std::move(dc_.path), dc_.State().polyFillMode == 1};
    dc_.path.clear();
    switch (mode) {
        case 5:  // RGN_COPY
            dc_.ResetClip();
            dc_.AddClip(std::move(shape));
            break;
        case 1:  // RGN_AND
            dc_.AddClip(std::move(shape));
            break;
        case 4: {  // RGN_DIFF: everything but the path
            Path hole = Everything();
            hole.insert(hole.end(), shape.path.begin(), shape.path.end());
            dc_.AddClip(ClipShape{std::move(hole), true});
            break;
        }
        default:  // RGN_OR, RGN_XOR: cairo can only narrow a clip; show everything rather than too little
            dc_.ResetClip();
            break;
    }
}

void Painter::IntersectClipRect(double l, double t, double r, double b) {
    ClipShape shape;
    AddLogical(shape.path, RectPath(l, t, r, b));
    dc_.AddClip(std::move(shape));
}

void Painter::ExcludeClipRect(double l, double t, double r, double b) {
    ClipShape shape{Everything(), true};
    AddLogical(shape.path, RectPath(l, t, r, b));
    dc_.AddClip(std::move(shape));
}

Path Painter::RegionPath(const std::vector<int32_t>& rects, bool logical) const {
    Path path;
    for (size_t i = 0; i + 3 < rects.size(); i += 4) {
        const Path r = RectPath(rects[i], rects[i + 1], rects[i + 2], rects[i + 3]);
        if (logical) {
            AddLogical(path, r);
        } else {
            const Affine& t = dc_.DeviceToOutput();
            for (PathOp op : r) {
                if (op.kind != PathOp::Close) {
                    const PointD q = t.Apply(op.p[0]);
                    op.p[0] = {Clamp(q.x), Clamp(q.y)};
                }
                path.push_back(op);
            }
        }
    }
    return path;
}

void Painter::ClipRegion(const std::vector<int32_t>& rects, uint32_t mode, bool logical) {
    Path path = RegionPath(rects, logical);
    if (mode == 5 && path.empty()) {
        dc_.ResetClip();
        return;
    }
    // The region's rectangles do not overlap, so either fill rule gives their union.
    const bool inPath = dc_.inPath;
    Path saved = std::move(dc_.path);
    dc_.path = std::move(path);
    dc_.inPath = false;
    SelectClipPath(mode);
    dc_.path = std::move(saved);
    dc_.inPath = inPath;
}

void Painter::FillRegion(const std::vector<int32_t>& rects, const Brush& brush, bool logical) {
    Path path = RegionPath(rects, logical);
    if (path.empty()) return;
    ApplyClip();
    canvas_.Fill(path, false, BrushFill(brush), dc_.State().rop2);
}

void Painter::Text(PointD reference, const std::string& utf8, const std::vector<double>& dx, uint32_t options,
                   const double* rect) {
    const DcState& s = dc_.State();
    const Affine t = dc_.LogicalToOutput();
    const bool updateCp = (s.textAlign & 1) != 0;  // TA_UPDATECP
    if (updateCp) reference = s.current;

    const std::vector<ClipShape> savedClip = s.clip;
    if (rect && (options & 2)) {  // ETO_OPAQUE
        Path box;
        AddLogical(box, RectPath(rect[0], rect[1], rect[2], rect[3]));
        ApplyClip();
        canvas_.Fill(box, false, FillStyle{FillStyle::Solid, s.bkColor}, 13);
    }
    if (rect && (options & 4)) IntersectClipRect(rect[0], rect[1], rect[2], rect[3]);  // ETO_CLIPPED

    const double xScale = std::hypot(t.a, t.b), yScale = std::hypot(t.c, t.d);
    TextRun run;
    run.utf8 = utf8;
    const Font& f = s.font;
    // Negative heights give the character height, positive the cell height
    // (about 1.15 of it with the usual faces); 0 asks for the default size.
    const double height = f.height == 0 ? 16 / std::max(yScale, 1e-9) : std::fabs(double(f.height));
    run.size = height * yScale * (f.height > 0 || f.height == 0 ? 0.87 : 1.0);
    if (!std::isfinite(run.size)) run.size = 12;
    run.origin = Out(reference);
    run.angle = f.escapement * kPi / 1800 + std::atan2(-t.b, t.a);
    if (!std::isfinite(run.angle)) run.angle = 0;
    run.family = f.face;
    run.bold = f.weight >= 600;
    run.italic = f.italic;
    run.underline = f.underline;
    run.strikeOut = f.strikeOut;
    run.color = s.textColor;
    run.align = s.textAlign;
    run.opaque = s.bkMode == 2;
    run.background = s.bkColor;
    for (double d : dx) run.advances.push_back(std::isfinite(d * xScale) ? std::clamp(d * xScale, -1e5, 1e5) : 0);
    ApplyClip();
    const double advance = canvas_.DrawText(run);
    if (updateCp && xScale > 0) {
        const double logicalAdvance = advance / xScale;
        dc_.State().current = {reference.x + logicalAdvance * std::cos(f.escapement * kPi / 1800),
                               reference.y - logicalAdvance * std::sin(f.escapement * kPi / 1800)};
    }
    dc_.State().clip = savedClip;
}

void Painter::DrawBitmap(const Bitmap& bitmap, bool bottomUpOrigin, double x, double y, double w, double h,
                         double xSrc, double ySrc, double wSrc, double hSrc, uint32_t rop) {
    if (wSrc == 0 || hSrc == 0 || w == 0 || h == 0) return;
    const double top = bottomUpOrigin ? bitmap.height - ySrc - hSrc : ySrc;
    Affine place;
    place.a = w / wSrc;
    place.d = h / hSrc;
    place.e = x - xSrc * place.a;
    place.f = y - top * place.d;
    DrawBitmapMapped(bitmap, xSrc, top, wSrc, hSrc, place, rop);
}

void Painter::DrawBitmapMapped(const Bitmap& bitmap, double xSrc, double ySrc, double wSrc, double hSrc,
                               const Affine& toLogical, uint32_t rop) {
    ApplyClip();
    canvas_.DrawBitmap(bitmap, xSrc, ySrc, wSrc, hSrc, toLogical.Then(dc_.LogicalToOutput()), rop);
}

void Painter::GradientRect(PointD ul, PointD lr, uint32_t from, uint32_t to, bool vertical) {
    const PointD corners[4] = {Out(ul), Out({lr.x, ul.y}), Out(lr), Out({ul.x, lr.y})};
    ApplyClip();
    canvas_.GradientRect(corners, from, to, vertical);
}

void Painter::GradientTriangle(const PointD corners[3], const uint32_t colours[3]) {
    const PointD out[3] = {Out(corners[0]), Out(corners[1]), Out(corners[2])};
    ApplyClip();
    canvas_.GradientTriangle(out, colours);
}

void Painter::PatBlt(double x, double y, double w, double h, uint32_t rop) {
    Path area;
    AddLogical(area, RectPath(x, y, x + w, y + h));
    ApplyClip();
    canvas_.PatternBlit(area, BrushFill(dc_.State().brush), rop);
}

}  // namespace metafile

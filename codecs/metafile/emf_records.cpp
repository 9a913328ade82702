// Enhanced metafile records, after Microsoft's "[MS-EMF]: Enhanced Metafile
// Format" (2.3 records, 2.2 objects). Offsets below count from the end of
// the 8-byte record header (type and size); the offsets of bitmaps and text
// inside a record count from its start, as the format stores them.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "codecs/metafile/cairo_canvas.h"
#include "codecs/metafile/device_context.h"
#include "codecs/metafile/dib.h"
#include "codecs/metafile/painter.h"
#include "codecs/metafile/records.h"

namespace metafile {

namespace {

enum : uint32_t {
    kHeader = 1, kPolyBezier = 2, kPolygon = 3, kPolyline = 4, kPolyBezierTo = 5, kPolylineTo = 6,
    kPolyPolyline = 7, kPolyPolygon = 8, kSetWindowExtEx = 9, kSetWindowOrgEx = 10, kSetViewportExtEx = 11,
    kSetViewportOrgEx = 12, kEof = 14, kSetPixelV = 15, kSetMapMode = 17, kSetBkMode = 18,
    kSetPolyFillMode = 19, kSetRop2 = 20, kSetTextAlign = 22, kSetTextColor = 24, kSetBkColor = 25,
    kMoveToEx = 27, kExcludeClipRect = 29, kIntersectClipRect = 30, kScaleViewportExtEx = 31,
    kScaleWindowExtEx = 32, kSaveDc = 33, kRestoreDc = 34, kSetWorldTransform = 35, kModifyWorldTransform = 36,
    kSelectObject = 37, kCreatePen = 38, kCreateBrushIndirect = 39, kDeleteObject = 40, kAngleArc = 41,
    kEllipse = 42, kRectangle = 43, kRoundRect = 44, kArc = 45, kChord = 46, kPie = 47, kCreatePalette = 49,
    kLineTo = 54, kArcTo = 55, kPolyDraw = 56, kSetArcDirection = 57, kSetMiterLimit = 58, kBeginPath = 59,
    kEndPath = 60, kCloseFigure = 61, kFillPath = 62, kStrokeAndFillPath = 63, kStrokePath = 64,
    kSelectClipPath = 67, kAbortPath = 68, kFillRgn = 71, kPaintRgn = 74, kExtSelectClipRgn = 75, kBitBlt = 76,
    kStretchBlt = 77, kSetDiBitsToDevice = 80, kStretchDiBits = 81, kExtCreateFontIndirectW = 82,
    kExtTextOutA = 83, kExtTextOutW = 84, kPolyBezier16 = 85, kPolygon16 = 86, kPolyline16 = 87,
    kPolyBezierTo16 = 88, kPolylineTo16 = 89, kPolyPolyline16 = 90, kPolyPolygon16 = 91, kPolyDraw16 = 92,
    kCreateMonoBrush = 93, kCreateDibPatternBrushPt = 94, kExtCreatePen = 95, kPolyTextOutA = 96,
    kPolyTextOutW = 97, kSmallTextOut = 108, kAlphaBlend = 114, kTransparentBlt = 116, kGradientFill = 118,
    kMaskBlt = 78, kPlgBlt = 79,
};

constexpr uint32_t kStockObject = 0x80000000u;
constexpr size_t kMaxObjects = 65536;

// Stock objects (GetStockObject numbers): brushes 0-5, pens 6-8, fonts 10-17.
bool StockObject(uint32_t index, GdiObject* out) {
    static const uint32_t kBrushGreys[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
    GdiObject o;
    if (index <= 4) {
        o.kind = GdiObject::BrushObject;
        o.brush.color = kBrushGreys[index];
    } else if (index == 5) {
        o.kind = GdiObject::BrushObject;
        o.brush.style = kBsNull;
    } else if (index == 6 || index == 7) {
        o.kind = GdiObject::PenObject;
        o.pen.color = index == 6 ? 0xFFFFFF : 0;
    } else if (index == 8) {
        o.kind = GdiObject::PenObject;
        o.pen.style = kPsNull;
    } else if (index >= 10 && index <= 17 && index != 15) {
        o.kind = GdiObject::FontObject;
        o.font.face = index == 10 || index == 11 || index == 16 ? "monospace" : "sans-serif";
    } else {
        return false;
    }
    *out = std::move(o);
    return true;
}

class EmfPlayer {
public:
    EmfPlayer(DeviceContext& dc, Painter& painter) : dc_(dc), painter_(painter) {}
    bool Play(uint32_t type, const Fields& f);

private:
    // count points of 8 (POINTL) or 4 (POINTS) bytes at offset at.
    std::vector<PointD> Points(const Fields& f, size_t at, size_t count, bool small) const {
        std::vector<PointD> pts(count);
        for (size_t i = 0; i < count; ++i)
            pts[i] = small ? PointD{double(f.I16(at + 4 * i)), double(f.I16(at + 4 * i + 2))}
                           : PointD{double(f.I32(at + 8 * i)), double(f.I32(at + 8 * i + 4))};
        return pts;
    }
    bool Budget(uint64_t points) {
        points_ += points;
        return points_ <= kMaxPoints;
    }
    GdiObject* Target(uint32_t index) { return index & kStockObject ? nullptr : dc_.Slot(index); }
    std::shared_ptr<const metafile::Bitmap> RecordDib(const Fields& f, size_t offsetField, bool* bottomUp) const;
    static std::vector<int32_t> RegionRects(const Fields& f, size_t at, uint64_t size);
    Affine XForm(const Fields& f, size_t at) const {
        Affine t;
        t.a = f.F32(at), t.b = f.F32(at + 4), t.c = f.F32(at + 8), t.d = f.F32(at + 12);
        t.e = f.F32(at + 16), t.f = f.F32(at + 20);
        return t;
    }
    void PolyDraw(const Fields& f, bool small);
    // EMRTEXT at offset at: reference point, count, string offset, options,
    // rectangle, advances offset.
    void Text(const Fields& f, size_t at, bool wide);
    void SmallText(const Fields& f);
    void GradientFill(const Fields& f);
    void ParallelogramBlit(const Fields& f);

    DeviceContext& dc_;
    Painter& painter_;
    uint64_t points_ = 0;
};

// The DIB whose offBmi, cbBmi, offBits, cbBits fields start at offsetField;
// the offsets count from the start of the record, 8 bytes before f.
std::shared_ptr<const metafile::Bitmap> EmfPlayer::RecordDib(const Fields& f, size_t offsetField, bool* bottomUp) const {
    const uint64_t offBmi = f.U32(offsetField), cbBmi = f.U32(offsetField + 4);
    const uint64_t offBits = f.U32(offsetField + 8), cbBits = f.U32(offsetField + 12);
    if (offBmi < 8 || offBits < 8 || cbBmi == 0) return nullptr;
    const uint8_t* info = f.At(offBmi - 8, cbBmi);
    const uint8_t* bits = f.At(offBits - 8, cbBits);
    if (!info || !bits) return nullptr;  // a bitmap reaching past its record is not drawn
    return DecodeDib(info, size_t(cbBmi), bits, size_t(cbBits), bottomUp);
}

std::vector<int32_t> EmfPlayer::RegionRects(const Fields& f, size_t at, uint64_t size) {
    // RGNDATA: a 32-byte header (size, type, count, bytes, bounds), then count RECTLs.
    std::vector<int32_t> rects;
    if (size < 32 || !f.Has(at + size)) return rects;
    const uint64_t count = std::min<uint64_t>(f.U32(at + 8), (size - 32) / 16);
    for (uint64_t i = 0; i < count; ++i)
        for (int k = 0; k < 4; ++k) rects.push_back(f.I32(at + 32 + size_t(i) * 16 + 4 * size_t(k)));
    return rects;
}

void EmfPlayer::PolyDraw(const Fields& f, bool small) {
    // Points, then one type byte per point: PT_MOVETO 6, PT_LINETO 2,
    // PT_BEZIERTO 4, with PT_CLOSEFIGURE 1 added.
    if (!f.Has(20)) return;
    const uint64_t n = f.U32(16);
    const uint64_t pointBytes = n * (small ? 4 : 8);
    if (!f.Has(20 + pointBytes + n) || !Budget(n)) return;
    const std::vector<PointD> pts = Points(f, 20, size_t(n), small);
    const uint8_t* types = f.At(20 + pointBytes, n);
    for (size_t i = 0; i < pts.size(); ++i) {
        const uint8_t t = types[i] & 6;
        if (t == 6) {
            painter_.MoveTo(pts[i]);
        } else if (t == 4 && i + 2 < pts.size()) {
            painter_.PolyBezierTo({pts[i], pts[i + 1], pts[i + 2]});
            i += 2;
        } else {
            painter_.LineTo(pts[i]);
        }
        if (types[i] & 1) painter_.CloseFigure();
    }
}

void EmfPlayer::Text(const Fields& f, size_t at, bool wide) {
    if (!f.Has(uint64_t(at) + 40)) return;
    const PointD ref{double(f.I32(at)), double(f.I32(at + 4))};
    const uint64_t count = f.U32(at + 8), offString = f.U32(at + 12), offDx = f.U32(at + 36);
    const uint32_t options = f.U32(at + 16);
    if (count == 0 || offString < 8) return;
    const uint8_t* str = f.At(offString - 8, count * (wide ? 2 : 1));
    if (!str) return;
    const bool symbol = dc_.State().font.charset == kSymbolCharset;
    const std::string text = wide ? TextFromUtf16(str, size_t(count), symbol) : TextFromAnsi(str, size_t(count), symbol);
    std::vector<double> dx;
    // ETO_PDY 0x2000: x and y advances in pairs; only the x ones are used.
    const uint64_t step = options & 0x2000 ? 8 : 4;
    if (offDx >= 8 && f.At(offDx - 8, count * step))
        for (uint64_t i = 0; i < count; ++i) dx.push_back(f.I32(size_t(offDx - 8 + i * step)));
    const double rect[4] = {double(f.I32(at + 20)), double(f.I32(at + 24)), double(f.I32(at + 28)),
                            double(f.I32(at + 32))};
    const bool withRect = rect[0] != rect[2] && rect[1] != rect[3];
    painter_.Text(ref, text, dx, options, withRect ? rect : nullptr);
}

void EmfPlayer::SmallText(const Fields& f) {
    // x, y, count, options, graphics mode, x and y scale, a rectangle unless
    // ETO_NO_RECT 0x100, then 8-bit text with ETO_SMALL_CHARS 0x200, else UTF-16.
    if (!f.Has(28)) return;
    const uint64_t count = f.U32(8);
    const uint32_t options = f.U32(12);
    const size_t at = options & 0x100 ? 28 : 44;
    const bool small = options & 0x200;
    const uint8_t* str = f.At(at, count * (small ? 1 : 2));
    if (!str || count == 0) return;
    const double rect[4] = {double(f.I32(28)), double(f.I32(32)), double(f.I32(36)), double(f.I32(40))};
    painter_.Text({double(f.I32(0)), double(f.I32(4))},
                  small ? TextFromAnsi(str, size_t(count), dc_.State().font.charset == kSymbolCharset)
                        : TextFromUtf16(str, size_t(count), dc_.State().font.charset == kSymbolCharset),
                  {}, options,
                  options & 0x100 ? nullptr : rect);
}

void EmfPlayer::GradientFill(const Fields& f) {
    // bounds, vertex count, shape count, mode; vertices of x, y and 16-bit
    // red, green, blue, alpha; then rectangles (two indices) or triangles (three).
    if (!f.Has(28)) return;
    const uint64_t vertices = f.U32(16), shapes = f.U32(20);
    const uint32_t mode = f.U32(24);
    if (mode > 2) return;
    const uint64_t per = mode == 2 ? 3 : 2;
    if (!f.Has(28 + vertices * 16 + shapes * per * 4) || !Budget(vertices + shapes)) return;
    auto point = [&](uint64_t i) { return PointD{double(f.I32(size_t(28 + 16 * i))), double(f.I32(size_t(32 + 16 * i)))}; };
    auto colour = [&](uint64_t i) {
        const size_t at = size_t(36 + 16 * i);
        return uint32_t(f.U16(at) >> 8) | uint32_t(f.U16(at + 2) >> 8) << 8 | uint32_t(f.U16(at + 4) >> 8) << 16;
    };
    const size_t shapesAt = size_t(28 + vertices * 16);
    for (uint64_t s = 0; s < shapes; ++s) {
        uint64_t index[3];
        bool inRange = true;
        for (uint64_t k = 0; k < per; ++k) {
            index[k] = f.U32(shapesAt + size_t((s * per + k) * 4));
            inRange = inRange && index[k] < vertices;
        }
        if (!inRange) continue;  // vertex numbers past the list name nothing
        if (mode == 2) {
            const PointD corners[3] = {point(index[0]), point(index[1]), point(index[2])};
            const uint32_t colours[3] = {colour(index[0]), colour(index[1]), colour(index[2])};
            painter_.GradientTriangle(corners, colours);
        } else {
            painter_.GradientRect(point(index[0]), point(index[1]), colour(index[0]), colour(index[1]), mode == 1);
        }
    }
}

void EmfPlayer::ParallelogramBlit(const Fields& f) {
    // bounds, three destination corners (upper left, upper right, lower
    // left), the source rectangle, its transform and colour, then the bitmap.
    if (!f.Has(132)) return;
    const double xs = f.I32(40), ys = f.I32(44), ws = f.I32(48), hs = f.I32(52);
    if (ws == 0 || hs == 0) return;
    bool bottomUp = true;
    const auto bitmap = RecordDib(f, 88, &bottomUp);
    if (!bitmap) return;
    const PointD p0{double(f.I32(16)), double(f.I32(20))}, p1{double(f.I32(24)), double(f.I32(28))},
        p2{double(f.I32(32)), double(f.I32(36))};
    Affine t;
    t.a = (p1.x - p0.x) / ws, t.b = (p1.y - p0.y) / ws;
    t.c = (p2.x - p0.x) / hs, t.d = (p2.y - p0.y) / hs;
    t.e = p0.x - t.a * xs - t.c * ys, t.f = p0.y - t.b * xs - t.d * ys;
    painter_.DrawBitmapMapped(*bitmap, xs, ys, ws, hs, t, 0x00CC0020);
}

bool EmfPlayer::Play(uint32_t type, const Fields& f) {
    DcState& s = dc_.State();
    switch (type) {
        case kPolyBezier:
        case kPolygon:
        case kPolyline:
        case kPolyBezierTo:
        case kPolylineTo:
        case kPolyBezier16:
        case kPolygon16:
        case kPolyline16:
        case kPolyBezierTo16:
        case kPolylineTo16: {
            const bool small = type >= kPolyBezier16;
            if (!f.Has(20)) break;
            const uint64_t n = f.U32(16);
            if (!f.Has(20 + n * (small ? 4 : 8)) || !Budget(n)) break;
            const std::vector<PointD> pts = Points(f, 20, size_t(n), small);
            switch (small ? type - kPolyBezier16 + kPolyBezier : type) {
                case kPolyBezier: painter_.PolyBezier(pts); break;
                case kPolygon: painter_.PolyPolygon({pts}); break;
                case kPolyline: painter_.Polyline(pts); break;
                case kPolyBezierTo: painter_.PolyBezierTo(pts); break;
                default: painter_.PolylineTo(pts); break;
            }
            break;
        }
        case kPolyPolyline:
        case kPolyPolygon:
        case kPolyPolyline16:
        case kPolyPolygon16: {
            const bool small = type >= kPolyPolyline16;
            if (!f.Has(24)) break;
            const uint64_t polys = f.U32(16), total = f.U32(20);
            const uint64_t at = 24 + 4 * polys;
            if (!f.Has(at + total * (small ? 4 : 8)) || !Budget(total + polys)) break;
            uint64_t sum = 0;
            for (uint64_t i = 0; i < polys; ++i) sum += f.U32(24 + 4 * size_t(i));
            if (sum > total) break;  // counts that overrun the points make the record unusable
            std::vector<std::vector<PointD>> list;
            size_t p = 0;
            for (uint64_t i = 0; i < polys; ++i) {
                const size_t n = f.U32(24 + 4 * size_t(i));
                list.push_back(Points(f, size_t(at) + p * (small ? 4 : 8), n, small));
                p += n;
            }
            if (type == kPolyPolygon || type == kPolyPolygon16)
                painter_.PolyPolygon(list);
            else
                painter_.PolyPolyline(list);
            break;
        }
        case kPolyDraw:
        case kPolyDraw16:
            PolyDraw(f, type == kPolyDraw16);
            break;
        case kSetWindowExtEx:
            if (f.Has(8)) dc_.SetWindowExt({double(f.I32(0)), double(f.I32(4))});
            break;
        case kSetWindowOrgEx:
            if (f.Has(8)) dc_.SetWindowOrg({double(f.I32(0)), double(f.I32(4))});
            break;
        case kSetViewportExtEx:
            if (f.Has(8)) dc_.SetViewportExt({double(f.I32(0)), double(f.I32(4))});
            break;
        case kSetViewportOrgEx:
            if (f.Has(8)) dc_.SetViewportOrg({double(f.I32(0)), double(f.I32(4))});
            break;
        case kScaleViewportExtEx:
        case kScaleWindowExtEx:
            if (f.Has(16) && f.I32(4) != 0 && f.I32(12) != 0) {
                const PointD e = type == kScaleWindowExtEx ? s.windowExt : s.viewportExt;
                const PointD scaled{e.x * f.I32(0) / f.I32(4), e.y * f.I32(8) / f.I32(12)};
                if (type == kScaleWindowExtEx)
                    dc_.SetWindowExt(scaled);
                else
                    dc_.SetViewportExt(scaled);
            }
            break;
        case kEof:
            return false;
        case kSetPixelV:
            if (f.Has(12)) painter_.SetPixel({double(f.I32(0)), double(f.I32(4))}, f.U32(8) & 0xFFFFFF);
            break;
        case kSetMapMode:
            if (f.Has(4)) dc_.SetMapMode(f.I32(0));
            break;
        case kSetBkMode:
            if (f.Has(4)) s.bkMode = f.I32(0);
            break;
        case kSetPolyFillMode:
            if (f.Has(4)) s.polyFillMode = f.I32(0);
            break;
        case kSetRop2:
            if (f.Has(4)) s.rop2 = f.I32(0);
            break;
        case kSetTextAlign:
            if (f.Has(4)) s.textAlign = f.U32(0);
            break;
        case kSetTextColor:
            if (f.Has(4)) s.textColor = f.U32(0) & 0xFFFFFF;
            break;
        case kSetBkColor:
            if (f.Has(4)) s.bkColor = f.U32(0) & 0xFFFFFF;
            break;
        case kMoveToEx:
            if (f.Has(8)) painter_.MoveTo({double(f.I32(0)), double(f.I32(4))});
            break;
        case kLineTo:
            if (f.Has(8)) painter_.LineTo({double(f.I32(0)), double(f.I32(4))});
            break;
        case kExcludeClipRect:
        case kIntersectClipRect:
            if (!f.Has(16)) break;
            if (type == kIntersectClipRect)
                painter_.IntersectClipRect(f.I32(0), f.I32(4), f.I32(8), f.I32(12));
            else
                painter_.ExcludeClipRect(f.I32(0), f.I32(4), f.I32(8), f.I32(12));
            break;
        case kSaveDc:
            dc_.Save();
            break;
        case kRestoreDc:
            if (f.Has(4)) dc_.Restore(f.I32(0));
            break;
        case kSetWorldTransform:
            if (f.Has(24)) dc_.SetWorld(XForm(f, 0));
            break;
        case kModifyWorldTransform:
            if (f.Has(28)) dc_.ModifyWorld(XForm(f, 0), f.U32(24));
            break;
        case kSelectObject: {
            if (!f.Has(4)) break;
            const uint32_t index = f.U32(0);
            GdiObject stock;
            if (index & kStockObject) {
                if (StockObject(index & ~kStockObject, &stock)) dc_.Select(stock);
            } else if (const GdiObject* o = dc_.Slot(index)) {
                dc_.Select(*o);
            }
            break;
        }
        case kDeleteObject:
            if (f.Has(4))
                if (GdiObject* o = Target(f.U32(0))) *o = GdiObject{};
            break;
        case kCreatePen:
            if (f.Has(20))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::PenObject;
                    o->pen.style = f.U32(4);
                    o->pen.width = f.I32(8);
                    o->pen.color = f.U32(16) & 0xFFFFFF;
                    o->pen.cosmetic = o->pen.width <= 0;
                }
            break;
        case kExtCreatePen:
            // ihPen, the pattern bitmap's four fields, then style, width,
            // brush style, colour, hatch, style entry count.
            if (f.Has(44))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::PenObject;
                    o->pen.style = f.U32(20);
                    o->pen.width = f.U32(24);
                    o->pen.color = f.U32(32) & 0xFFFFFF;
                    o->pen.cosmetic = (o->pen.style & kPsGeometric) == 0;
                    if (f.U32(28) == kBsNull) o->pen.style = (o->pen.style & ~uint32_t(kPsStyleMask)) | kPsNull;
                }
            break;
        case kCreateBrushIndirect:
            if (f.Has(16))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::BrushObject;
                    o->brush.style = f.U32(4);
                    o->brush.color = f.U32(8) & 0xFFFFFF;
                    o->brush.hatch = f.U32(12);
                }
            break;
        case kCreateMonoBrush:
        case kCreateDibPatternBrushPt:
            if (f.Has(24))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::BrushObject;
                    o->brush.style = kBsDibPattern;
                    o->brush.color = 0x808080;  // shown when the pattern cannot be read
                    bool bottomUp = true;
                    o->brush.pattern = RecordDib(f, 8, &bottomUp);
                }
            break;
        case kCreatePalette:
            if (f.Has(4))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::PaletteObject;
                }
            break;
        case kExtCreateFontIndirectW:
            // ihFont, then LOGFONTW: height, width, escapement, orientation,
            // weight, eight single bytes, a face name of 32 UTF-16 units.
            if (f.Has(4 + 92))
                if (GdiObject* o = Target(f.U32(0))) {
                    *o = GdiObject{};
                    o->kind = GdiObject::FontObject;
                    o->font.height = f.I32(4);
                    o->font.escapement = f.I32(12);
                    o->font.weight = f.I32(20);
                    o->font.italic = f.At(24, 1)[0] != 0;
                    o->font.underline = f.At(25, 1)[0] != 0;
                    o->font.strikeOut = f.At(26, 1)[0] != 0;
                    o->font.charset = f.At(27, 1)[0];
                    size_t len = 0;
                    while (len < 32 && f.U16(32 + 2 * len) != 0) ++len;
                    o->font.face = TextFromUtf16(f.At(32, 64), len);
                }
            break;
        case kAngleArc:
            if (f.Has(20)) painter_.AngleArc({double(f.I32(0)), double(f.I32(4))}, f.U32(8), f.F32(12), f.F32(16));
            break;
        case kEllipse:
            if (f.Has(16)) painter_.Ellipse(f.I32(0), f.I32(4), f.I32(8), f.I32(12));
            break;
        case kRectangle:
            if (f.Has(16)) painter_.Rectangle(f.I32(0), f.I32(4), f.I32(8), f.I32(12));
            break;
        case kRoundRect:
            if (f.Has(24)) painter_.RoundRect(f.I32(0), f.I32(4), f.I32(8), f.I32(12), f.I32(16), f.I32(20));
            break;
        case kArc:
        case kChord:
        case kPie:
        case kArcTo:
            if (f.Has(32)) {
                const auto kind = type == kArc ? Painter::ArcKind::Arc
                                  : type == kChord ? Painter::ArcKind::Chord
                                  : type == kPie ? Painter::ArcKind::Pie : Painter::ArcKind::ArcTo;
                painter_.Arc(kind, f.I32(0), f.I32(4), f.I32(8), f.I32(12), {double(f.I32(16)), double(f.I32(20))},
                             {double(f.I32(24)), double(f.I32(28))});
            }
            break;
        case kSetArcDirection:
            if (f.Has(4)) s.clockwiseArcs = f.U32(0) == 2;
            break;
        case kSetMiterLimit:
            if (f.Has(4)) s.miterLimit = f.U32(0);
            break;
        case kBeginPath: painter_.BeginPath(); break;
        case kEndPath: painter_.EndPath(); break;
        case kCloseFigure: painter_.CloseFigure(); break;
        case kFillPath: painter_.FillPath(); break;
        case kStrokeAndFillPath: painter_.StrokeAndFillPath(); break;
        case kStrokePath: painter_.StrokePath(); break;
        case kAbortPath: painter_.AbortPath(); break;
        case kSelectClipPath:
            if (f.Has(4)) painter_.SelectClipPath(f.U32(0));
            break;
        case kExtSelectClipRgn:
            if (f.Has(8)) painter_.ClipRegion(RegionRects(f, 8, f.U32(0)), f.U32(4), false);
            break;
        case kFillRgn:
        case kPaintRgn: {
            const size_t at = type == kFillRgn ? 24 : 20;
            if (!f.Has(at)) break;
            Brush brush = s.brush;
            if (type == kFillRgn) {
                const uint32_t index = f.U32(20);
                GdiObject stock;
                const GdiObject* o = index & kStockObject ? (StockObject(index & ~kStockObject, &stock) ? &stock : nullptr)
                                                          : dc_.Slot(index);
                if (!o || o->kind != GdiObject::BrushObject) break;
                brush = o->brush;
            }
            painter_.FillRegion(RegionRects(f, at, f.U32(16)), brush, false);  // device units
            break;
        }
        case kBitBlt:
        case kStretchBlt:
        case kMaskBlt:  // drawn without its mask
        case kAlphaBlend:
        case kTransparentBlt: {
            const bool stretch = type != kBitBlt && type != kMaskBlt;
            if (!f.Has(stretch ? 100 : 92)) break;
            const double x = f.I32(16), y = f.I32(20), w = f.I32(24), h = f.I32(28);
            const uint32_t rop = type == kBitBlt || type == kStretchBlt ? f.U32(32) : 0x00CC0020;
            if (f.U32(80) == 0) {  // no source bitmap: a pattern operation
                painter_.PatBlt(x, y, w, h, rop);
                break;
            }
            bool bottomUp = true;
            const auto bitmap = RecordDib(f, 76, &bottomUp);
            if (!bitmap) break;
            const double ws = stretch ? f.I32(92) : w, hs = stretch ? f.I32(96) : h;
            painter_.DrawBitmap(*bitmap, false, x, y, w, h, f.I32(36), f.I32(40), ws, hs, rop);
            break;
        }
        case kStretchDiBits:
        case kSetDiBitsToDevice: {
            const bool stretch = type == kStretchDiBits;
            if (!f.Has(stretch ? 72 : 68)) break;
            bool bottomUp = true;
            const auto bitmap = RecordDib(f, 40, &bottomUp);
            if (!bitmap) break;
            const double ws = f.I32(32), hs = f.I32(36);
            const double w = stretch ? f.I32(64) : ws, h = stretch ? f.I32(68) : hs;
            painter_.DrawBitmap(*bitmap, bottomUp, f.I32(16), f.I32(20), w, h, f.I32(24), f.I32(28), ws, hs,
                                stretch ? f.U32(60) : 0x00CC0020);
            break;
        }
        case kExtTextOutA:
        case kExtTextOutW:
            Text(f, 28, type == kExtTextOutW);
            break;
        case kPolyTextOutA:
        case kPolyTextOutW: {
            // bounds, graphics mode, x and y scale, string count, EMRTEXTs.
            if (!f.Has(32)) break;
            const uint64_t strings = f.U32(28);
            if (!f.Has(32 + 40 * strings)) break;
            for (uint64_t i = 0; i < strings; ++i) Text(f, size_t(32 + 40 * i), type == kPolyTextOutW);
            break;
        }
        case kSmallTextOut:
            SmallText(f);
            break;
        case kGradientFill:
            GradientFill(f);
            break;
        case kPlgBlt:
            ParallelogramBlit(f);
            break;
        default:
            break;  // records that do not draw, or that this player leaves out, are skipped by their size
    }
    return points_ <= kMaxPoints;
}

}  // namespace

void PlayEnhancedMetafile(const uint8_t* data, size_t size, CairoCanvas& canvas) {
    if (!data || size < 88) return;
    const Fields header(data, std::min<size_t>(size, Get32LE(data + 4)));
    if (!header.Has(88)) return;
    const int32_t bounds[4] = {header.I32(8), header.I32(12), header.I32(16), header.I32(20)};
    const int32_t frame[4] = {header.I32(24), header.I32(28), header.I32(32), header.I32(36)};
    const double devX = header.I32(72), devY = header.I32(76), mmX = header.I32(80), mmY = header.I32(84);
    // Reference-device pixels per millimetre; a header without them means the screen's 96 dots per inch.
    PointD ppmm{96 / 25.4, 96 / 25.4};
    if (devX > 0 && devY > 0 && mmX > 0 && mmY > 0) ppmm = {devX / mmX, devY / mmY};

    // The picture frame (hundredths of a millimetre) fills the canvas; a
    // frame without area leaves the bounds (device pixels) to do it.
    double l = frame[0] * ppmm.x / 100, t = frame[1] * ppmm.y / 100;
    double r = frame[2] * ppmm.x / 100, b = frame[3] * ppmm.y / 100;
    if (!(r - l > 0) || !(b - t > 0)) {
        l = bounds[0], t = bounds[1], r = bounds[2], b = bounds[3];
    }
    Affine toOutput;
    if (r - l > 0 && b - t > 0) {
        toOutput.a = canvas.Width() / (r - l);
        toOutput.d = canvas.Height() / (b - t);
        toOutput.e = -l * toOutput.a;
        toOutput.f = -t * toOutput.d;
    }
    DeviceContext dc(ppmm, toOutput);
    dc.ResizeTable(std::min<size_t>(header.U16(56), kMaxObjects));
    Painter painter(dc, canvas);
    EmfPlayer player(dc, painter);

    size_t pos = 0;
    for (uint32_t n = 0; n < kMaxRecords && pos + 8 <= size; ++n) {
        const uint32_t type = Get32LE(data + pos);
        const uint64_t bytes = Get32LE(data + pos + 4);
        // A record shorter than its own header, or longer than what is left,
        // ends the picture: what came before it stays drawn.
        if (bytes < 8 || bytes > size - pos) break;
        if (type != kHeader && !player.Play(type, Fields(data + pos + 8, size_t(bytes) - 8))) break;
        pos += size_t(bytes);
    }
}

}  // namespace metafile

// Windows metafile records, after Microsoft's "[MS-WMF]: Windows Metafile
// Format" (2.3 records; parameters are stored last one first). The picture's
// window (the placeable box until a record sets it) is mapped onto the whole
// canvas, the way a placeable metafile is played into a frame.
#include <algorithm>
#include <memory>
#include <vector>

#include "codecs/metafile/cairo_canvas.h"
#include "codecs/metafile/device_context.h"
#include "codecs/metafile/dib.h"
#include "codecs/metafile/painter.h"
#include "codecs/metafile/records.h"

namespace metafile {

namespace {

enum : uint16_t {
    kEof = 0x0000, kSaveDc = 0x001E, kRealizePalette = 0x0035, kSetPalEntries = 0x0037, kCreatePalette = 0x00F7,
    kSetBkMode = 0x0102, kSetMapMode = 0x0103, kSetRop2 = 0x0104, kSetPolyFillMode = 0x0106,
    kRestoreDc = 0x0127, kPaintRegion = 0x012B, kSelectClipRegion = 0x012C, kSelectObject = 0x012D,
    kSetTextAlign = 0x012E, kDibCreatePatternBrush = 0x0142, kDeleteObject = 0x01F0, kCreatePatternBrush = 0x01F9,
    kSetBkColor = 0x0201, kSetTextColor = 0x0209, kSetWindowOrg = 0x020B, kSetWindowExt = 0x020C,
    kOffsetWindowOrg = 0x020F, kLineTo = 0x0213, kMoveTo = 0x0214, kFillRegion = 0x0228,
    kCreatePenIndirect = 0x02FA, kCreateFontIndirect = 0x02FB, kCreateBrushIndirect = 0x02FC,
    kPolygon = 0x0324, kPolyline = 0x0325, kScaleWindowExt = 0x0410, kExcludeClipRect = 0x0415,
    kIntersectClipRect = 0x0416, kEllipse = 0x0418, kRectangle = 0x041B, kSetPixel = 0x041F, kTextOut = 0x0521,
    kPolyPolygon = 0x0538, kRoundRect = 0x061C, kPatBlt = 0x061D, kCreateRegion = 0x06FF, kArc = 0x0817,
    kPie = 0x081A, kChord = 0x0830, kDibBitBlt = 0x0940, kExtTextOut = 0x0A32, kDibStretchBlt = 0x0B41,
    kSetDibToDev = 0x0D33, kStretchDib = 0x0F43,
};

class WmfPlayer {
public:
    WmfPlayer(DeviceContext& dc, Painter& painter) : dc_(dc), painter_(painter) {}
    // False: stop playback.
    bool Play(uint16_t function, const Fields& f);

private:
    std::vector<PointD> Points(const Fields& f, size_t at, size_t count) const {
        std::vector<PointD> pts(count);
        for (size_t i = 0; i < count; ++i) pts[i] = {double(f.I16(at + 4 * i)), double(f.I16(at + 4 * i + 2))};
        return pts;
    }
    bool Budget(uint64_t points) {
        points_ += points;
        return points_ <= kMaxPoints;
    }
    void Store(GdiObject object) {
        const int32_t slot = dc_.FirstFreeSlot();
        if (slot >= 0) *dc_.Slot(uint64_t(slot)) = std::move(object);  // a full table drops the object
    }
    static std::vector<int32_t> ParseRegion(const Fields& f);
    bool Symbol() const { return dc_.State().font.charset == kSymbolCharset; }
    void Bitmap(const Fields& f, size_t dibAt, bool bottomUpOrigin, double x, double y, double w, double h, double xs,
                double ys, double ws, double hs, uint32_t rop);

    DeviceContext& dc_;
    Painter& painter_;
    uint64_t points_ = 0;
};

std::vector<int32_t> WmfPlayer::ParseRegion(const Fields& f) {
    // Region object: 22 bytes of header (bounding box at 14), then scans of
    // count, top, bottom, count / 2 (left, right) pairs, count again.
    std::vector<int32_t> rects;
    if (!f.Has(22)) return rects;
    const uint16_t scans = f.U16(10);
    size_t at = 22;
    for (uint32_t s = 0; s < scans; ++s) {
        if (!f.Has(uint64_t(at) + 6)) break;
        const uint16_t count = f.U16(at);
        const int16_t top = f.I16(at + 2), bottom = f.I16(at + 4);
        if (!f.Has(uint64_t(at) + 6 + 2 * uint64_t(count) + 2)) break;
        for (uint32_t i = 0; i + 1 < count; i += 2)
            rects.insert(rects.end(), {f.I16(at + 6 + 2 * i), top, f.I16(at + 8 + 2 * i), bottom});
        at += 6 + 2 * size_t(count) + 2;
    }
    if (rects.empty() && scans == 0) rects = {f.I16(14), f.I16(16), f.I16(18), f.I16(20)};
    return rects;
}

void WmfPlayer::Bitmap(const Fields& f, size_t dibAt, bool bottomUpOrigin, double x, double y, double w, double h,
                       double xs, double ys, double ws, double hs, uint32_t rop) {
    const uint8_t* dib = f.At(dibAt, f.Size() - std::min(f.Size(), dibAt));
    bool bottomUp = true;
    const auto bitmap = dib ? DecodePackedDib(dib, f.Size() - dibAt, &bottomUp) : nullptr;
    if (!bitmap) return;  // an unreadable bitmap leaves its place undrawn
    painter_.DrawBitmap(*bitmap, bottomUpOrigin && bottomUp, x, y, w, h, xs, ys, ws, hs, rop);
}

bool WmfPlayer::Play(uint16_t function, const Fields& f) {
    DcState& s = dc_.State();
    switch (function) {
        case kSetBkColor:
            if (f.Has(4)) s.bkColor = f.U32(0) & 0xFFFFFF;
            break;
        case kSetBkMode:
            if (f.Has(2)) s.bkMode = f.U16(0);
            break;
        case kSetMapMode:
            // The window is always mapped onto the frame: a placeable
            // metafile is played in MM_ANISOTROPIC, whatever it asks for.
            break;
        case kSetRop2:
            if (f.Has(2)) s.rop2 = f.U16(0);
            break;
        case kSetPolyFillMode:
            if (f.Has(2)) s.polyFillMode = f.U16(0);
            break;
        case kSetTextAlign:
            if (f.Has(2)) s.textAlign = f.U16(0);
            break;
        case kSetTextColor:
            if (f.Has(4)) s.textColor = f.U32(0) & 0xFFFFFF;
            break;
        case kSetWindowOrg:
            if (f.Has(4)) dc_.SetWindowOrg({double(f.I16(2)), double(f.I16(0))});
            break;
        case kSetWindowExt:
            if (f.Has(4)) dc_.SetWindowExt({double(f.I16(2)), double(f.I16(0))});
            break;
        case kOffsetWindowOrg:
            if (f.Has(4)) dc_.SetWindowOrg({s.windowOrg.x + f.I16(2), s.windowOrg.y + f.I16(0)});
            break;
        case kScaleWindowExt:
            if (f.Has(8) && f.I16(0) != 0 && f.I16(4) != 0)
                dc_.SetWindowExt({s.windowExt.x * f.I16(6) / f.I16(4), s.windowExt.y * f.I16(2) / f.I16(0)});
            break;
        case kSaveDc:
            dc_.Save();
            break;
        case kRestoreDc:
            if (f.Has(2)) dc_.Restore(f.I16(0));
            break;
        case kMoveTo:
            if (f.Has(4)) painter_.MoveTo({double(f.I16(2)), double(f.I16(0))});
            break;
        case kLineTo:
            if (f.Has(4)) painter_.LineTo({double(f.I16(2)), double(f.I16(0))});
            break;
        case kPolyline:
        case kPolygon: {
            if (!f.Has(2)) break;
            const uint16_t n = f.U16(0);
            if (!f.Has(2 + 4 * uint64_t(n)) || !Budget(n)) break;
            if (function == kPolyline)
                painter_.Polyline(Points(f, 2, n));
            else
                painter_.PolyPolygon({Points(f, 2, n)});
            break;
        }
        case kPolyPolygon: {
            if (!f.Has(2)) break;
            const uint16_t polys = f.U16(0);
            if (!f.Has(2 + 2 * uint64_t(polys))) break;
            uint64_t total = 0;
            for (uint16_t i = 0; i < polys; ++i) total += f.U16(2 + 2 * size_t(i));
            const size_t at = 2 + 2 * size_t(polys);
            if (!f.Has(at + 4 * total) || !Budget(total)) break;
            std::vector<std::vector<PointD>> list;
            size_t p = at;
            for (uint16_t i = 0; i < polys; ++i) {
                const uint16_t n = f.U16(2 + 2 * size_t(i));
                list.push_back(Points(f, p, n));
                p += 4 * size_t(n);
            }
            painter_.PolyPolygon(list);
            break;
        }
        case kRectangle:
            if (f.Has(8)) painter_.Rectangle(f.I16(6), f.I16(4), f.I16(2), f.I16(0));
            break;
        case kEllipse:
            if (f.Has(8)) painter_.Ellipse(f.I16(6), f.I16(4), f.I16(2), f.I16(0));
            break;
        case kRoundRect:
            if (f.Has(12)) painter_.RoundRect(f.I16(10), f.I16(8), f.I16(6), f.I16(4), f.I16(2), f.I16(0));
            break;
        case kArc:
        case kPie:
        case kChord:
            if (f.Has(16)) {
                const auto kind = function == kArc ? Painter::ArcKind::Arc
                                  : function == kPie ? Painter::ArcKind::Pie : Painter::ArcKind::Chord;
                painter_.Arc(kind, f.I16(14), f.I16(12), f.I16(10), f.I16(8), {double(f.I16(6)), double(f.I16(4))},
                             {double(f.I16(2)), double(f.I16(0))});
            }
            break;
        case kSetPixel:
            if (f.Has(8)) painter_.SetPixel({double(f.I16(6)), double(f.I16(4))}, f.U32(0) & 0xFFFFFF);
            break;
        case kTextOut: {
            if (!f.Has(2)) break;
            const uint16_t n = f.U16(0);
            const size_t padded = (size_t(n) + 1) & ~size_t(1);
            if (!f.Has(2 + padded + 4)) break;
            painter_.Text({double(f.I16(2 + padded + 2)), double(f.I16(2 + padded))}, TextFromAnsi(f.At(2, n), n, Symbol()),
                          {}, 0, nullptr);
            break;
        }
        case kExtTextOut: {
            if (!f.Has(8)) break;
            const PointD at{double(f.I16(2)), double(f.I16(0))};
            const uint16_t n = f.U16(4), options = f.U16(6);
            size_t p = 8;
            double rect[4];
            const bool withRect = (options & 6) != 0;  // ETO_OPAQUE or ETO_CLIPPED
            if (withRect) {
                if (!f.Has(16)) break;
                for (int i = 0; i < 4; ++i) rect[i] = f.I16(8 + 2 * size_t(i));
                p = 16;
            }
            if (!f.Has(p + n)) break;
            const std::string text = TextFromAnsi(f.At(p, n), n, Symbol());
            p += (size_t(n) + 1) & ~size_t(1);
            std::vector<double> dx;
            if (f.Has(p + 2 * uint64_t(n)))  // the advances are optional
                for (uint16_t i = 0; i < n; ++i) dx.push_back(f.I16(p + 2 * size_t(i)));
            painter_.Text(at, text, dx, options, withRect ? rect : nullptr);
            break;
        }
        case kCreatePenIndirect: {
            if (!f.Has(10)) break;
            GdiObject o;
            o.kind = GdiObject::PenObject;
            o.pen.style = f.U16(0);
            o.pen.width = f.I16(2);
            o.pen.color = f.U32(6) & 0xFFFFFF;
            o.pen.cosmetic = o.pen.width <= 0;
            Store(std::move(o));
            break;
        }
        case kCreateBrushIndirect: {
            if (!f.Has(8)) break;
            GdiObject o;
            o.kind = GdiObject::BrushObject;
            o.brush.style = f.U16(0);
            o.brush.color = f.U32(2) & 0xFFFFFF;
            o.brush.hatch = f.U16(6);
            Store(std::move(o));
            break;
        }
        case kCreateFontIndirect: {
            if (!f.Has(18)) break;
            GdiObject o;
            o.kind = GdiObject::FontObject;
            o.font.height = f.I16(0);
            o.font.escapement = f.I16(4);
            o.font.weight = f.I16(8);
            o.font.italic = f.At(10, 1)[0] != 0;
            o.font.underline = f.At(11, 1)[0] != 0;
            o.font.strikeOut = f.At(12, 1)[0] != 0;
            o.font.charset = f.At(13, 1)[0];
            const size_t faceBytes = std::min<size_t>(32, f.Size() - 18);
            const uint8_t* face = f.At(18, faceBytes);
            size_t len = 0;
            while (len < faceBytes && face[len]) ++len;
            o.font.face = TextFromAnsi(face, len);
            Store(std::move(o));
            break;
        }
        case kDibCreatePatternBrush: {
            GdiObject o;
            o.kind = GdiObject::BrushObject;
            o.brush.style = kBsDibPattern;
            o.brush.color = 0x808080;  // shown when the pattern cannot be read
            bool bottomUp = true;
            if (f.Has(4)) o.brush.pattern = DecodePackedDib(f.At(4, f.Size() - 4), f.Size() - 4, &bottomUp);
            Store(std::move(o));
            break;
        }
        case kCreatePatternBrush: {
            // The old device-dependent bitmap brush: drawn as a grey fill.
            GdiObject o;
            o.kind = GdiObject::BrushObject;
            o.brush.color = 0x808080;
            Store(std::move(o));
            break;
        }
        case kCreatePalette: {
            GdiObject o;
            o.kind = GdiObject::PaletteObject;
            Store(std::move(o));
            break;
        }
        case kCreateRegion: {
            GdiObject o;
            o.kind = GdiObject::RegionObject;
            o.region = ParseRegion(f);
            Store(std::move(o));
            break;
        }
        case kSelectObject: {
            if (!f.Has(2)) break;
            const GdiObject* o = dc_.Slot(f.U16(0));
            if (!o) break;
            if (o->kind == GdiObject::RegionObject)
                painter_.ClipRegion(o->region, 5, true);
            else
                dc_.Select(*o);
            break;
        }
        case kSelectClipRegion: {
            if (!f.Has(2)) break;
            const GdiObject* o = dc_.Slot(f.U16(0));
            if (o && o->kind == GdiObject::RegionObject)
                painter_.ClipRegion(o->region, 5, true);
            else
                dc_.ResetClip();
            break;
        }
        case kDeleteObject:
            if (f.Has(2))
                if (GdiObject* o = dc_.Slot(f.U16(0))) *o = GdiObject{};
            break;
        case kFillRegion:
        case kPaintRegion: {
            // Region index first, then (FillRegion) the brush's.
            if (!f.Has(function == kFillRegion ? 4 : 2)) break;
            const GdiObject* region = dc_.Slot(f.U16(0));
            const GdiObject* brush = function == kFillRegion ? dc_.Slot(f.U16(2)) : nullptr;
            if (!region || region->kind != GdiObject::RegionObject) break;
            if (function == kFillRegion && (!brush || brush->kind != GdiObject::BrushObject)) break;
            painter_.FillRegion(region->region, brush ? brush->brush : s.brush, true);
            break;
        }
        case kIntersectClipRect:
            if (f.Has(8)) painter_.IntersectClipRect(f.I16(6), f.I16(4), f.I16(2), f.I16(0));
            break;
        case kExcludeClipRect:
            if (f.Has(8)) painter_.ExcludeClipRect(f.I16(6), f.I16(4), f.I16(2), f.I16(0));
            break;
        case kPatBlt:
            if (f.Has(12)) painter_.PatBlt(f.I16(10), f.I16(8), f.I16(6), f.I16(4), f.U32(0));
            break;
        case kDibBitBlt:
            // Without a bitmap the record has one more reserved word and
            // paints with the brush.
            if (f.Size() == 18) {
                painter_.PatBlt(f.I16(16), f.I16(14), f.I16(12), f.I16(10), f.U32(0));
            } else if (f.Has(16)) {
                Bitmap(f, 16, false, f.I16(14), f.I16(12), f.I16(10), f.I16(8), f.I16(6), f.I16(4), f.I16(10),
                       f.I16(8), f.U32(0));
            }
            break;
        case kDibStretchBlt:
            if (f.Size() == 22) {
                painter_.PatBlt(f.I16(20), f.I16(18), f.I16(16), f.I16(14), f.U32(0));
            } else if (f.Has(20)) {
                Bitmap(f, 20, false, f.I16(18), f.I16(16), f.I16(14), f.I16(12), f.I16(10), f.I16(8), f.I16(6),
                       f.I16(4), f.U32(0));
            }
            break;
        case kStretchDib:
            if (f.Has(22))
                Bitmap(f, 22, true, f.I16(20), f.I16(18), f.I16(16), f.I16(14), f.I16(12), f.I16(10), f.I16(8),
                       f.I16(6), f.U32(0));
            break;
        case kSetDibToDev:
            if (f.Has(18))
                Bitmap(f, 18, true, f.I16(16), f.I16(14), f.I16(12), f.I16(10), f.I16(8), f.I16(6), f.I16(12),
                       f.I16(10), 0x00CC0020);
            break;
        default:
            break;  // records that do not draw, or that this player leaves out, are skipped by their size
    }
    return points_ <= kMaxPoints;
}

}  // namespace

void PlayWindowsMetafile(const uint8_t* data, size_t size, const int16_t box[4], CairoCanvas& canvas) {
    if (!data || size < 18) return;
    DeviceContext dc({96 / 25.4, 96 / 25.4}, Affine{});
    DcState& s = dc.State();
    s.mapMode = kMmAnisotropic;
    s.windowOrg = {double(box[0]), double(box[1])};
    s.windowExt = {double(box[2] - box[0]), double(box[3] - box[1])};
    if (s.windowExt.x == 0) s.windowExt.x = 1;
    if (s.windowExt.y == 0) s.windowExt.y = 1;
    s.viewportExt = {double(canvas.Width()), double(canvas.Height())};
    s.pen.width = 0;
    dc.ResizeTable(Get16LE(data + 10));
    Painter painter(dc, canvas);
    WmfPlayer player(dc, painter);

    // The header's size in words says where the records start.
    size_t pos = size_t(Get16LE(data + 2)) * 2;
    if (pos < 18) pos = 18;
    for (uint32_t n = 0; n < kMaxRecords && pos + 6 <= size; ++n) {
        const uint64_t bytes = uint64_t(Get32LE(data + pos)) * 2;
        const uint16_t function = Get16LE(data + pos + 4);
        // A record shorter than its own header, or longer than what is left,
        // ends the picture: what came before it stays drawn.
        if (bytes < 6 || bytes > size - pos) break;
        if (function == kEof) break;
        if (!player.Play(function, Fields(data + pos + 6, size_t(bytes) - 6))) break;
        pos += size_t(bytes);
    }
}

}  // namespace metafile

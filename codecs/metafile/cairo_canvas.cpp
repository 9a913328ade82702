// Cairo drawing for the metafile player: fills, strokes, text through
// cairo's toy font API (fontconfig picks the face), and bitmaps. The raster
// operations of the Windows graphics interface ("[MS-WMF]" 2.1.1.31
// Binary Raster Operation, 2.1.1.32 Ternary Raster Operation) are mapped to
// the nearest cairo operator.
#include "codecs/metafile/cairo_canvas.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "codecs/on_demand.h"

namespace metafile {

namespace {

// The cairo entry points the canvas calls.
#define ZENT_CAIRO_ENTRY_POINTS(X) X(cairo_clip) X(cairo_close_path) X(cairo_create) X(cairo_curve_to) \
    X(cairo_destroy) X(cairo_fill) X(cairo_font_extents) X(cairo_image_surface_create) \
    X(cairo_image_surface_create_for_data) X(cairo_image_surface_get_data) X(cairo_image_surface_get_stride) \
    X(cairo_line_to) X(cairo_matrix_init) X(cairo_matrix_invert) X(cairo_mesh_pattern_begin_patch) \
    X(cairo_mesh_pattern_end_patch) X(cairo_mesh_pattern_line_to) X(cairo_mesh_pattern_move_to) \
    X(cairo_mesh_pattern_set_corner_color_rgb) X(cairo_move_to) X(cairo_new_path) X(cairo_paint) \
    X(cairo_pattern_add_color_stop_rgb) X(cairo_pattern_create_for_surface) X(cairo_pattern_create_linear) \
    X(cairo_pattern_create_mesh) X(cairo_pattern_destroy) X(cairo_pattern_set_extend) \
    X(cairo_pattern_set_filter) X(cairo_pattern_set_matrix) X(cairo_rectangle) X(cairo_reset_clip) \
    X(cairo_restore) X(cairo_rotate) X(cairo_save) X(cairo_select_font_face) X(cairo_set_dash) \
    X(cairo_set_fill_rule) X(cairo_set_font_size) X(cairo_set_line_cap) X(cairo_set_line_join) \
    X(cairo_set_line_width) X(cairo_set_miter_limit) X(cairo_set_operator) X(cairo_set_source) \
    X(cairo_set_source_rgb) X(cairo_show_text) X(cairo_status) X(cairo_stroke) X(cairo_surface_destroy) \
    X(cairo_surface_flush) X(cairo_surface_mark_dirty) X(cairo_surface_status) X(cairo_text_extents) \
    X(cairo_translate)

// cairo's entry points: loaded when the first metafile is played, so that
// every other conversion starts without cairo and the fifteen libraries
// behind it (a third of the program's start time).
ZENT_LIBRARY(CairoLibrary, Cairo, ZENT_CAIRO_ENTRY_POINTS, "libcairo.so.2")

void SetColour(cairo_t* cr, uint32_t c) {
    Cairo().cairo_set_source_rgb(cr, RedOf(c) / 255.0, GreenOf(c) / 255.0, BlueOf(c) / 255.0);
}

double PathLength(const Path& path) {
    double total = 0;
    PointD at{}, start{};
    for (const PathOp& op : path) {
        const PointD to = op.kind == PathOp::Curve ? op.p[2] : op.kind == PathOp::Close ? start : op.p[0];
        if (op.kind == PathOp::Move) {
            start = to;
        } else if (op.kind == PathOp::Curve) {
            // The control polygon bounds the curve's length.
            total += std::hypot(op.p[0].x - at.x, op.p[0].y - at.y) + std::hypot(op.p[1].x - op.p[0].x, op.p[1].y - op.p[0].y) +
                     std::hypot(to.x - op.p[1].x, to.y - op.p[1].y);
        } else {
            total += std::hypot(to.x - at.x, to.y - at.y);
        }
        at = to;
    }
    return total;
}

// Bits of one 8 x 8 hatch tile row by row, most significant bit left.
void HatchRows(uint32_t hatch, uint8_t rows[8]) {
    for (int y = 0; y < 8; ++y) {
        uint8_t r = 0;
        switch (hatch) {
            case 0: r = y == 4 ? 0xFF : 0; break;                                          // HS_HORIZONTAL
            case 1: r = 0x08; break;                                                       // HS_VERTICAL
            case 2: r = uint8_t(0x80 >> y); break;                                         // HS_FDIAGONAL
            case 3: r = uint8_t(0x01 << y); break;                                         // HS_BDIAGONAL
            case 4: r = y == 4 ? 0xFF : 0x08; break;                                       // HS_CROSS
            default: r = uint8_t((0x80 >> y) | (0x01 << y)); break;                        // HS_DIAGCROSS
        }
        rows[y] = r;
    }
}

uint32_t Argb(uint32_t colorRef) {
    return 0xFF000000u | (uint32_t(RedOf(colorRef)) << 16) | (uint32_t(GreenOf(colorRef)) << 8) | BlueOf(colorRef);
}

}  // namespace

bool CairoCanvas::Available() { return Cairo().loaded; }

CairoCanvas::CairoCanvas(int width, int height, uint32_t background) : width_(width), height_(height) {
    if (!Available()) return;
    surface_ = Cairo().cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (Cairo().cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) return;
    cr_ = Cairo().cairo_create(surface_);
    if (Cairo().cairo_status(cr_) != CAIRO_STATUS_SUCCESS) return;
    SetColour(cr_, background);
    Cairo().cairo_paint(cr_);
}

CairoCanvas::~CairoCanvas() {
    if (cr_) Cairo().cairo_destroy(cr_);
    if (surface_) Cairo().cairo_surface_destroy(surface_);
}

bool CairoCanvas::Ok() const {
    return surface_ && cr_ && Cairo().cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS &&
           Cairo().cairo_status(cr_) == CAIRO_STATUS_SUCCESS;
}

void CairoCanvas::AddPath(const Path& path) {
    Cairo().cairo_new_path(cr_);
    for (const PathOp& op : path) {
        switch (op.kind) {
            case PathOp::Move: Cairo().cairo_move_to(cr_, op.p[0].x, op.p[0].y); break;
            case PathOp::Line: Cairo().cairo_line_to(cr_, op.p[0].x, op.p[0].y); break;
            case PathOp::Curve:
                Cairo().cairo_curve_to(cr_, op.p[0].x, op.p[0].y, op.p[1].x, op.p[1].y, op.p[2].x, op.p[2].y);
                break;
            case PathOp::Close: Cairo().cairo_close_path(cr_); break;
        }
    }
}

void CairoCanvas::SetClip(const std::vector<ClipShape>& clip) {
    if (!Ok()) return;
    Cairo().cairo_reset_clip(cr_);
    for (const ClipShape& shape : clip) {
        AddPath(shape.path);
        Cairo().cairo_set_fill_rule(cr_, shape.evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
        Cairo().cairo_clip(cr_);
    }
}

// Picks the cairo operator for a binary raster operation; false: draw nothing.
// The colour may change (R2_BLACK, R2_WHITE, R2_NOT draw a fixed colour).
bool CairoCanvas::SetOperator(int rop2, uint32_t* color) {
    cairo_operator_t op = CAIRO_OPERATOR_OVER;
    switch (rop2) {
        case 1: *color = 0; break;                                                   // R2_BLACK
        case 6: *color = 0xFFFFFF; op = CAIRO_OPERATOR_DIFFERENCE; break;            // R2_NOT
        case 7: op = CAIRO_OPERATOR_DIFFERENCE; break;                               // R2_XORPEN, nearly
        case 9: op = CAIRO_OPERATOR_MULTIPLY; break;                                 // R2_MASKPEN
        case 11: return false;                                                       // R2_NOP
        case 15: op = CAIRO_OPERATOR_LIGHTEN; break;                                 // R2_MERGEPEN, nearly
        case 16: *color = 0xFFFFFF; break;                                           // R2_WHITE
        default: break;                                                              // R2_COPYPEN and the rest
    }
    Cairo().cairo_set_operator(cr_, op);
    return true;
}

void CairoCanvas::DropSource() {
    Cairo().cairo_set_source_rgb(cr_, 0, 0, 0);
    Cairo().cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
}

void CairoCanvas::SetFillSource(const FillStyle& style) {
    if (style.kind == FillStyle::Solid || (style.kind == FillStyle::Pattern && !style.pattern)) {
        SetColour(cr_, style.color);
        return;
    }
    cairo_surface_t* tile = nullptr;
    if (style.kind == FillStyle::Hatch) {
        tile = Cairo().cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
        if (Cairo().cairo_surface_status(tile) != CAIRO_STATUS_SUCCESS) {
            Cairo().cairo_surface_destroy(tile);
            SetColour(cr_, style.color);
            return;
        }
        uint8_t rows[8];
        HatchRows(style.hatch, rows);
        const int stride = Cairo().cairo_image_surface_get_stride(tile);
        uint8_t* data = Cairo().cairo_image_surface_get_data(tile);
        const uint32_t back = style.opaqueBackground ? Argb(style.background) : 0;
        for (int y = 0; y < 8; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
            for (int x = 0; x < 8; ++x) row[x] = (rows[y] >> (7 - x)) & 1 ? Argb(style.color) : back;
        }
        Cairo().cairo_surface_mark_dirty(tile);
    } else {
        const Bitmap& b = *style.pattern;
        tile = Cairo().cairo_image_surface_create_for_data(
            reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(b.argb.data())), CAIRO_FORMAT_ARGB32, b.width,
            b.height, b.width * 4);
    }
    cairo_pattern_t* pattern = Cairo().cairo_pattern_create_for_surface(tile);
    Cairo().cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
    Cairo().cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
    Cairo().cairo_set_source(cr_, pattern);
    Cairo().cairo_pattern_destroy(pattern);
    Cairo().cairo_surface_destroy(tile);
}

void CairoCanvas::Fill(const Path& path, bool evenOdd, const FillStyle& style, int rop2) {
    if (!Ok() || path.empty()) return;
    uint32_t color = style.color;
    if (!SetOperator(rop2, &color)) return;
    FillStyle s = style;
    if (color != style.color) s = FillStyle{FillStyle::Solid, color};
    SetFillSource(s);
    AddPath(path);
    Cairo().cairo_set_fill_rule(cr_, evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
    Cairo().cairo_fill(cr_);
    DropSource();
}

void CairoCanvas::Stroke(const Path& path, const StrokeStyle& style, int rop2) {
    if (!Ok() || path.empty()) return;
    uint32_t color = style.color;
    if (!SetOperator(rop2, &color)) return;
    SetColour(cr_, color);
    const double w = std::clamp(style.width, 1.0, 4.0 * std::max(width_, height_) + 16.0);
    Cairo().cairo_set_line_width(cr_, w);
    const bool geometric = (style.style & kPsGeometric) != 0;
    const uint32_t cap = style.style & kPsEndCapMask;
    const uint32_t join = style.style & kPsJoinMask;
    Cairo().cairo_set_line_cap(cr_, !geometric || cap == 0 ? CAIRO_LINE_CAP_ROUND
                                                   : cap == 0x100 ? CAIRO_LINE_CAP_SQUARE : CAIRO_LINE_CAP_BUTT);
    Cairo().cairo_set_line_join(cr_, !geometric || join == 0 ? CAIRO_LINE_JOIN_ROUND
                                                     : join == 0x1000 ? CAIRO_LINE_JOIN_BEVEL : CAIRO_LINE_JOIN_MITER);
    Cairo().cairo_set_miter_limit(cr_, std::clamp(style.miterLimit, 1.0, 100.0));

    // Dash patterns in multiples of the pen width, as the screen draws them.
    double dashes[6];
    int count = 0;
    const double unit = std::max(1.0, w);
    switch (style.style & kPsStyleMask) {
        case kPsDash: dashes[0] = 18 * unit, dashes[1] = 6 * unit, count = 2; break;
        case kPsDot:
        case kPsAlternate: dashes[0] = 3 * unit, dashes[1] = 3 * unit, count = 2; break;
        case kPsDashDot: dashes[0] = 9 * unit, dashes[1] = 6 * unit, dashes[2] = 3 * unit, dashes[3] = 6 * unit, count = 4; break;
        case kPsDashDotDot:
            dashes[0] = 9 * unit, dashes[1] = 3 * unit, dashes[2] = 3 * unit, dashes[3] = 3 * unit;
            dashes[4] = 3 * unit, dashes[5] = 3 * unit, count = 6;
            break;
        default: break;
    }
    // Dashing costs time in proportion to the dashes: a path that would need
    // millions of them is drawn solid.
    if (count > 0 && PathLength(path) / (6 * unit) > 1e6) count = 0;
    Cairo().cairo_set_dash(cr_, dashes, count, 0);
    AddPath(path);
    Cairo().cairo_stroke(cr_);
    Cairo().cairo_set_dash(cr_, nullptr, 0, 0);
    DropSource();
}

double CairoCanvas::DrawText(const TextRun& run) {
    if (!Ok() || run.utf8.empty()) return 0;
    const double size = std::clamp(run.size, 0.5, 2048.0);
    Cairo().cairo_save(cr_);
    Cairo().cairo_select_font_face(cr_, run.family.empty() ? "sans-serif" : run.family.c_str(),
                           run.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           run.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    Cairo().cairo_set_font_size(cr_, size);
    Cairo().cairo_translate(cr_, run.origin.x, run.origin.y);
    Cairo().cairo_rotate(cr_, -run.angle);

    // Split into characters so explicit advances can place each one.
    std::vector<std::string> chars;
    for (size_t i = 0; i < run.utf8.size();) {
        size_t n = 1;
        const uint8_t lead = uint8_t(run.utf8[i]);
        if (lead >= 0xF0) n = 4;
        else if (lead >= 0xE0) n = 3;
        else if (lead >= 0xC0) n = 2;
        n = std::min(n, run.utf8.size() - i);
        chars.push_back(run.utf8.substr(i, n));
        i += n;
    }
    std::vector<double> advances(chars.size());
    double total = 0;
    for (size_t i = 0; i < chars.size(); ++i) {
        if (i < run.advances.size()) {
            advances[i] = run.advances[i];
        } else {
            cairo_text_extents_t te;
            Cairo().cairo_text_extents(cr_, chars[i].c_str(), &te);
            advances[i] = te.x_advance;
        }
        total += advances[i];
    }
    cairo_font_extents_t fe;
    Cairo().cairo_font_extents(cr_, &fe);

    // TA_CENTER 6, TA_RIGHT 2; TA_BASELINE 24, TA_BOTTOM 8, else TA_TOP.
    double x = 0, y = 0;
    if ((run.align & 6) == 6) x = -total / 2;
    else if (run.align & 2) x = -total;
    if ((run.align & 24) == 24) y = 0;
    else if (run.align & 8) y = -fe.descent;
    else y = fe.ascent;

    if (run.opaque) {
        SetColour(cr_, run.background);
        Cairo().cairo_rectangle(cr_, x, y - fe.ascent, total, fe.ascent + fe.descent);
        Cairo().cairo_fill(cr_);
    }
    SetColour(cr_, run.color);
    double pen = x;
    for (size_t i = 0; i < chars.size(); ++i) {
        Cairo().cairo_move_to(cr_, pen, y);
        Cairo().cairo_show_text(cr_, chars[i].c_str());
        pen += advances[i];
    }
    const double thickness = std::max(1.0, size / 14);
    if (run.underline) {
        Cairo().cairo_rectangle(cr_, x, y + size / 10, total, thickness);
        Cairo().cairo_fill(cr_);
    }
    if (run.strikeOut) {
        Cairo().cairo_rectangle(cr_, x, y - size * 0.3, total, thickness);
        Cairo().cairo_fill(cr_);
    }
    Cairo().cairo_restore(cr_);
    return total;
}

void CairoCanvas::DrawBitmap(const Bitmap& bitmap, double sx, double sy, double sw, double sh,
                             const Affine& toOutput, uint32_t rop) {
    if (!Ok() || bitmap.width <= 0 || bitmap.height <= 0 || !toOutput.IsUsable()) return;
    cairo_matrix_t m;
    Cairo().cairo_matrix_init(&m, toOutput.a, toOutput.b, toOutput.c, toOutput.d, toOutput.e, toOutput.f);
    if (Cairo().cairo_matrix_invert(&m) != CAIRO_STATUS_SUCCESS) return;

    cairo_operator_t op = CAIRO_OPERATOR_OVER;
    bool invert = false;
    switch (rop) {
        case 0x008800C6: op = CAIRO_OPERATOR_MULTIPLY; break;    // SRCAND
        case 0x00EE0086: op = CAIRO_OPERATOR_LIGHTEN; break;     // SRCPAINT, nearly
        case 0x00660046: op = CAIRO_OPERATOR_DIFFERENCE; break;  // SRCINVERT, nearly
        case 0x00330008: invert = true; break;                   // NOTSRCCOPY
        default: break;                                          // SRCCOPY and the rest
    }
    std::vector<uint32_t> inverted;
    const uint32_t* pixels = bitmap.argb.data();
    if (invert) {
        inverted.resize(bitmap.argb.size());
        for (size_t i = 0; i < inverted.size(); ++i) inverted[i] = bitmap.argb[i] ^ 0x00FFFFFFu;
        pixels = inverted.data();
    }
    cairo_surface_t* image = Cairo().cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(pixels)), CAIRO_FORMAT_ARGB32, bitmap.width,
        bitmap.height, bitmap.width * 4);
    cairo_pattern_t* pattern = Cairo().cairo_pattern_create_for_surface(image);
    Cairo().cairo_pattern_set_matrix(pattern, &m);
    Cairo().cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    // Enlarged bitmaps keep hard pixel edges, as the screen shows them.
    const double scale = std::sqrt(std::fabs(toOutput.Determinant()));
    Cairo().cairo_pattern_set_filter(pattern, scale >= 1 ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_GOOD);
    Cairo().cairo_set_operator(cr_, op);
    Cairo().cairo_set_source(cr_, pattern);

    Path area;
    const PointD corners[4] = {{sx, sy}, {sx + sw, sy}, {sx + sw, sy + sh}, {sx, sy + sh}};
    for (int i = 0; i < 4; ++i) {
        PointD p = toOutput.Apply(corners[i]);
        p.x = std::clamp(p.x, -65536.0, 65536.0);
        p.y = std::clamp(p.y, -65536.0, 65536.0);
        area.push_back({i == 0 ? PathOp::Move : PathOp::Line, {p}});
    }
    area.push_back({PathOp::Close, {}});
    AddPath(area);
    Cairo().cairo_fill(cr_);
    DropSource();
    Cairo().cairo_pattern_destroy(pattern);
    Cairo().cairo_surface_destroy(image);
}

void CairoCanvas::GradientRect(const PointD corners[4], uint32_t from, uint32_t to, bool vertical) {
    if (!Ok()) return;
    // corners: upper left, upper right, lower right, lower left.
    const PointD end = vertical ? corners[3] : corners[1];
    cairo_pattern_t* pattern = Cairo().cairo_pattern_create_linear(corners[0].x, corners[0].y, end.x, end.y);
    Cairo().cairo_pattern_add_color_stop_rgb(pattern, 0, RedOf(from) / 255.0, GreenOf(from) / 255.0, BlueOf(from) / 255.0);
    Cairo().cairo_pattern_add_color_stop_rgb(pattern, 1, RedOf(to) / 255.0, GreenOf(to) / 255.0, BlueOf(to) / 255.0);
    Cairo().cairo_set_source(cr_, pattern);
    Path area;
    for (int i = 0; i < 4; ++i) area.push_back({i == 0 ? PathOp::Move : PathOp::Line, {corners[i]}});
    area.push_back({PathOp::Close, {}});
    AddPath(area);
    Cairo().cairo_fill(cr_);
    DropSource();
    Cairo().cairo_pattern_destroy(pattern);
}

void CairoCanvas::GradientTriangle(const PointD corners[3], const uint32_t colours[3]) {
    if (!Ok()) return;
    cairo_pattern_t* mesh = Cairo().cairo_pattern_create_mesh();
    Cairo().cairo_mesh_pattern_begin_patch(mesh);
    Cairo().cairo_mesh_pattern_move_to(mesh, corners[0].x, corners[0].y);
    Cairo().cairo_mesh_pattern_line_to(mesh, corners[1].x, corners[1].y);
    Cairo().cairo_mesh_pattern_line_to(mesh, corners[2].x, corners[2].y);
    for (unsigned i = 0; i < 3; ++i)
        Cairo().cairo_mesh_pattern_set_corner_color_rgb(mesh, i, RedOf(colours[i]) / 255.0, GreenOf(colours[i]) / 255.0,
                                                BlueOf(colours[i]) / 255.0);
    Cairo().cairo_mesh_pattern_end_patch(mesh);
    Cairo().cairo_set_source(cr_, mesh);
    Path area;
    for (int i = 0; i < 3; ++i) area.push_back({i == 0 ? PathOp::Move : PathOp::Line, {corners[i]}});
    area.push_back({PathOp::Close, {}});
    AddPath(area);
    Cairo().cairo_fill(cr_);
    DropSource();
    Cairo().cairo_pattern_destroy(mesh);
}

void CairoCanvas::PatternBlit(const Path& area, const FillStyle& brush, uint32_t rop) {
    if (!Ok()) return;
    switch (rop) {
        case 0x00000042: Fill(area, false, FillStyle{FillStyle::Solid, 0}, 13); break;              // BLACKNESS
        case 0x00FF0062: Fill(area, false, FillStyle{FillStyle::Solid, 0xFFFFFF}, 13); break;       // WHITENESS
        case 0x00550009: Fill(area, false, FillStyle{FillStyle::Solid, 0xFFFFFF}, 7); break;        // DSTINVERT
        case 0x005A0049: Fill(area, false, brush, 7); break;                                        // PATINVERT
        case 0x00AA0029: break;                                                                     // D: no change
        default: Fill(area, false, brush, 13); break;                                               // PATCOPY
    }
}

const uint8_t* CairoCanvas::Row(int y) {
    if (!surface_ || y < 0 || y >= height_) return nullptr;
    if (!flushed_) {
        Cairo().cairo_surface_flush(surface_);
        flushed_ = true;
    }
    return Cairo().cairo_image_surface_get_data(surface_) + size_t(y) * size_t(RowStride());
}

int CairoCanvas::RowStride() const { return surface_ ? Cairo().cairo_image_surface_get_stride(surface_) : 0; }

}  // namespace metafile

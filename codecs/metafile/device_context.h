// The device-context model a metafile player keeps while it walks records:
// mapping mode, window and viewport, world transform, the selected pen, brush
// and font, colours and modes, the current position, the clip and the object
// table. Nothing here draws; the painter reads this state when it draws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace metafile {

struct PointD {
    double x = 0, y = 0;
};

// x' = a x + c y + e, y' = b x + d y + f (the layout of a Windows XFORM).
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
    PointD Apply(PointD p) const { return {a * p.x + c * p.y + e, b * p.x + d * p.y + f}; }
    PointD ApplyVector(PointD v) const { return {a * v.x + c * v.y, b * v.x + d * v.y}; }
    // This transform followed by next.
    Affine Then(const Affine& next) const;
    double Determinant() const { return a * d - b * c; }
    bool IsUsable() const;  // finite and not singular
};

// A path in device pixels of the output picture.
struct PathOp {
    enum Kind : uint8_t { Move, Line, Curve, Close } kind;
    PointD p[3];
};
using Path = std::vector<PathOp>;

// A decoded bitmap: premultiplied, opaque ARGB words, top line first.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;
};

// COLORREF: 0x00BBGGRR.
inline uint8_t RedOf(uint32_t c) { return uint8_t(c); }
inline uint8_t GreenOf(uint32_t c) { return uint8_t(c >> 8); }
inline uint8_t BlueOf(uint32_t c) { return uint8_t(c >> 16); }

enum PenStyle : uint32_t {
    kPsSolid = 0, kPsDash = 1, kPsDot = 2, kPsDashDot = 3, kPsDashDotDot = 4, kPsNull = 5,
    kPsInsideFrame = 6, kPsUserStyle = 7, kPsAlternate = 8,
    kPsStyleMask = 0xF, kPsEndCapMask = 0xF00, kPsJoinMask = 0xF000, kPsGeometric = 0x10000,
};
enum BrushStyle : uint32_t { kBsSolid = 0, kBsNull = 1, kBsHatched = 2, kBsPattern = 3, kBsDibPattern = 5, kBsDibPatternPt = 6 };

struct Pen {
    uint32_t style = kPsSolid;
    double width = 0;  // logical units; 0 draws one device pixel
    uint32_t color = 0;
    bool cosmetic = true;  // one device pixel whatever the width says
};

struct Brush {
    uint32_t style = kBsSolid;
    uint32_t color = 0xFFFFFF;
    uint32_t hatch = 0;
    std::shared_ptr<const Bitmap> pattern;
};

constexpr uint8_t kSymbolCharset = 2;

struct Font {
    int32_t height = 0;       // logical units; < 0 character height, > 0 cell height
    int32_t escapement = 0;   // tenths of a degree, counter-clockwise
    int32_t weight = 400;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    uint8_t charset = 0;
    std::string face;         // UTF-8
};

// One clip step in device pixels: the clip is the intersection of all steps.
struct ClipShape {
    Path path;
    bool evenOdd = false;
    uint64_t serial = 0;  // tells the canvas whether the clip changed
};

struct GdiObject {
    enum Kind : uint8_t { Empty, PenObject, BrushObject, FontObject, PaletteObject, RegionObject, OtherObject } kind = Empty;
    Pen pen;
    Brush brush;
    Font font;
    std::vector<int32_t> region;  // rectangles as left, top, right, bottom in logical units
};

enum MapMode : int { kMmText = 1, kMmLoMetric, kMmHiMetric, kMmLoEnglish, kMmHiEnglish, kMmTwips, kMmIsotropic, kMmAnisotropic };

struct DcState {
    int mapMode = kMmText;
    PointD windowOrg, windowExt{1, 1}, viewportOrg, viewportExt{1, 1};
    Affine world;
    Pen pen;
    Brush brush;
    Font font;
    uint32_t textColor = 0;
    uint32_t bkColor = 0xFFFFFF;
    int bkMode = 2;        // OPAQUE
    int polyFillMode = 1;  // ALTERNATE
    int rop2 = 13;         // R2_COPYPEN
    uint32_t textAlign = 0;
    bool clockwiseArcs = false;
    double miterLimit = 10;
    PointD current;        // logical
    std::vector<ClipShape> clip;
};

class DeviceContext {
public:
    // pixelsPerMm: the reference device's resolution, for the metric modes.
    DeviceContext(PointD pixelsPerMm, Affine deviceToOutput);

    DcState& State() { return state_; }
    const DcState& State() const { return state_; }

    // SaveDC / RestoreDC. Save refuses beyond a fixed depth; Restore takes a
    // negative count relative to the top or a positive absolute level.
    bool Save();
    bool Restore(int32_t which);

    void SetMapMode(int mode);
    void SetWindowOrg(PointD p) { state_.windowOrg = p; }
    void SetViewportOrg(PointD p) { state_.viewportOrg = p; }
    // Extents count only in the scaling modes; zero extents are refused.
    void SetWindowExt(PointD e);
    void SetViewportExt(PointD e);
    bool SetWorld(const Affine& t);
    // MWT_IDENTITY 1, MWT_LEFTMULTIPLY 2, MWT_RIGHTMULTIPLY 3, MWT_SET 4.
    bool ModifyWorld(const Affine& t, uint32_t mode);

    // Logical coordinates to output pixels: world, page, then device to output.
    Affine LogicalToOutput() const;
    // Reference-device pixels to output pixels (EMF regions are in device units).
    const Affine& DeviceToOutput() const { return deviceToOutput_; }

    // Appends a clip step; beyond a fixed number of steps the rest are ignored.
    void AddClip(ClipShape shape);
    void ResetClip() { state_.clip.clear(); }

    // The object table: a fixed number of slots.
    void ResizeTable(size_t slots) { table_.assign(slots, GdiObject{}); }
    // Lowest free slot (WMF numbering), or -1 when the table is full.
    int32_t FirstFreeSlot() const;
    GdiObject* Slot(uint64_t index) { return index < table_.size() ? &table_[size_t(index)] : nullptr; }
    bool Select(const GdiObject& object);

    // EMF path bracket: shapes drawn between BeginPath and EndPath collect here.
    bool inPath = false;
    Path path;

private:
    DcState state_;
    std::vector<DcState> saved_;
    std::vector<GdiObject> table_;
    uint64_t clipSerial_ = 0;
    PointD pixelsPerMm_;
    Affine deviceToOutput_;
};

constexpr size_t kMaxSaveDepth = 1024;
constexpr size_t kMaxClipSteps = 64;

}  // namespace metafile

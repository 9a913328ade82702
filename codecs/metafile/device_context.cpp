// Device-context state for metafile playback, after the model that the
// "[MS-WMF]" and "[MS-EMF]" documents describe (mapping modes, window and
// viewport, world transforms, SaveDC/RestoreDC, the object table).
#include "codecs/metafile/device_context.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace metafile {

Affine Affine::Then(const Affine& n) const {
    Affine r;
    r.a = n.a * a + n.c * b;
    r.b = n.b * a + n.d * b;
    r.c = n.a * c + n.c * d;
    r.d = n.b * c + n.d * d;
    r.e = n.a * e + n.c * f + n.e;
    r.f = n.b * e + n.d * f + n.f;
    return r;
}

bool Affine::IsUsable() const {
    const double det = Determinant();
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) && std::isfinite(e) &&
           std::isfinite(f) && std::isfinite(det) && std::fabs(det) > 1e-12;
}

DeviceContext::DeviceContext(PointD pixelsPerMm, Affine deviceToOutput)
    : pixelsPerMm_(pixelsPerMm), deviceToOutput_(deviceToOutput) {}

bool DeviceContext::Save() {
    if (saved_.size() >= kMaxSaveDepth) return false;  // bounded nesting
    saved_.push_back(state_);
    return true;
}

bool DeviceContext::Restore(int32_t which) {
    // Negative: that many levels back from the top; positive: an absolute level (1 is the first save).
    int64_t level = which < 0 ? int64_t(saved_.size()) + which : int64_t(which) - 1;
    if (which == 0 || level < 0 || level >= int64_t(saved_.size())) return false;
    const bool inPathNow = inPath;
    state_ = std::move(saved_[size_t(level)]);
    saved_.resize(size_t(level));
    inPath = inPathNow;
    return true;
}

void DeviceContext::SetMapMode(int mode) {
    if (mode < kMmText || mode > kMmAnisotropic) return;
    // Logical units of the metric modes in millimetres; their y axis points up.
    static const double kMillimetres[] = {0, 0, 0.1, 0.01, 0.254, 0.0254, 25.4 / 1440};
    DcState& s = state_;
    s.mapMode = mode;
    if (mode == kMmText) {
        s.windowExt = {1, 1};
        s.viewportExt = {1, 1};
    } else if (mode < kMmIsotropic) {
        const double mm = kMillimetres[mode];
        // Expressed as extents so that a later switch to a scaling mode keeps them.
        s.windowExt = {1000, 1000};
        s.viewportExt = {1000 * mm * pixelsPerMm_.x, -1000 * mm * pixelsPerMm_.y};
    }
}

void DeviceContext::SetWindowExt(PointD e) {
    if (state_.mapMode < kMmIsotropic || e.x == 0 || e.y == 0) return;
    state_.windowExt = e;
}

void DeviceContext::SetViewportExt(PointD e) {
    if (state_.mapMode < kMmIsotropic || e.x == 0 || e.y == 0) return;
    state_.viewportExt = e;
}

bool DeviceContext::SetWorld(const Affine& t) {
    if (!t.IsUsable()) return false;  // a singular or non-finite transform is refused, as GDI does
    state_.world = t;
    return true;
}

bool DeviceContext::ModifyWorld(const Affine& t, uint32_t mode) {
    switch (mode) {
        case 1:
            state_.world = Affine{};
            return true;
        case 2:
            return SetWorld(t.Then(state_.world));
        case 3:
            return SetWorld(state_.world.Then(t));
        case 4:
            return SetWorld(t);
        default:
            return false;
    }
}

Affine DeviceContext::LogicalToOutput() const {
    const DcState& s = state_;
    double sx = 1, sy = 1;
    if (s.mapMode != kMmText) {
        sx = s.viewportExt.x / s.windowExt.x;
        sy = s.viewportExt.y / s.windowExt.y;
        if (s.mapMode == kMmIsotropic) {
            // Equal scale on both axes: the smaller one wins, the signs stay.
            const double m = std::min(std::fabs(sx), std::fabs(sy));
            sx = std::copysign(m, sx);
            sy = std::copysign(m, sy);
        }
    }
    Affine page;
    page.a = sx;
    page.d = sy;
    page.e = s.viewportOrg.x - s.windowOrg.x * sx;
    page.f = s.viewportOrg.y - s.windowOrg.y * sy;
    return s.world.Then(page).Then(deviceToOutput_);
}

void DeviceContext::AddClip(ClipShape shape) {
    if (state_.clip.size() >= kMaxClipSteps) return;  // bounded: later steps are dropped
    shape.serial = ++clipSerial_;
    state_.clip.push_back(std::move(shape));
}

int32_t DeviceContext::FirstFreeSlot() const {
    for (size_t i = 0; i < table_.size(); ++i)
        if (table_[i].kind == GdiObject::Empty) return int32_t(i);
    return -1;
}

bool DeviceContext::Select(const GdiObject& object) {
    switch (object.kind) {
        case GdiObject::PenObject:
            state_.pen = object.pen;
            return true;
        case GdiObject::BrushObject:
            state_.brush = object.brush;
            return true;
        case GdiObject::FontObject:
            state_.font = object.font;
            return true;
        default:
            return false;
    }
}

}  // namespace metafile

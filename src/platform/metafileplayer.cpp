#include "platform/metafileplayer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace platform {

using namespace metafile;

namespace metafile {

float Reader::F32(std::size_t offset) const {
    return std::bit_cast<float>(U32(offset));
}

double Clamp(double value, double limit) {
    if (!(value == value))
        return 0;
    return std::clamp(value, -limit, limit);
}

} // namespace metafile

std::optional<MetafileDib> MetafileDibReader::Read(std::string_view info,
                                                   std::optional<std::string_view> separateBits,
                                                   bool paletteIndices) {
    std::optional<DibInfo> header = ReadDibInfo(info, DibTable::Full, paletteIndices);
    if (!header || (paletteIndices && header->bitCount <= 8))
        return std::nullopt;
    if (static_cast<std::int64_t>(header->width) * header->height > kMaxMetafileDibPixels)
        return std::nullopt;
    const std::string_view bits = separateBits ? *separateBits : info.substr(header->infoSize);
    if (bits.size() < header->BitsNeeded())
        return std::nullopt;
    MetafileDib dib;
    dib.info_ = std::move(*header);
    dib.bits_ = bits;
    return dib;
}

void MetafilePlayer::Run() {
    if (file_.enhanced_) {
        dc_.map.mode = kMapText;
        RunEmf();
    } else {
        // Played as into a rectangle: the frame is both window and viewport until the
        // file sets its own window.
        const MetafileRect& f = file_.frame_;
        dc_.map = {kMapAnisotropic,  f.left, f.top, f.right - f.left,
                   f.bottom - f.top, f.left, f.top, f.right - f.left,
                   f.bottom - f.top};
        if (dc_.map.wex == 0 || dc_.map.wey == 0)
            dc_.map.wex = dc_.map.wey = dc_.map.vex = dc_.map.vey = 1;
        RunWmf();
    }
}

// ---- mapping ----

MetafilePlayer::Xform MetafilePlayer::Xform::Then(const Xform& n) const {
    return {m11 * n.m11 + m12 * n.m21,      m11 * n.m12 + m12 * n.m22,
            m21 * n.m11 + m22 * n.m21,      m21 * n.m12 + m22 * n.m22,
            dx * n.m11 + dy * n.m21 + n.dx, dx * n.m12 + dy * n.m22 + n.dy};
}

void MetafilePlayer::Coefficients(double& ax, double& bx, double& ay, double& by) const {
    const Mapping& m = dc_.map;
    double sx = 1, sy = 1;
    if (m.mode >= 2 && m.mode <= 6) {
        static constexpr double kUnitMm[] = {0.1, 0.01, 0.254, 0.0254, 25.4 / 1440};
        const double unit = kUnitMm[m.mode - 2];
        sx = unit * file_.deviceUnitsPerMmX_;
        sy = -unit * file_.deviceUnitsPerMmY_;
    } else if (m.mode == kMapIsotropic || m.mode == kMapAnisotropic) {
        sx = m.vex / m.wex;
        sy = m.vey / m.wey;
        if (m.mode == kMapIsotropic) {
            const double s = std::min(std::abs(sx), std::abs(sy));
            sx = std::copysign(s, sx);
            sy = std::copysign(s, sy);
        }
    }
    const MetafileRect& f = file_.frame_;
    const double kx = f.right != f.left ? (target_.right - target_.left) / (f.right - f.left) : 0;
    const double ky = f.bottom != f.top ? (target_.bottom - target_.top) / (f.bottom - f.top) : 0;
    ax = sx * kx;
    bx = target_.left + (m.vox - m.wox * sx - f.left) * kx;
    ay = sy * ky;
    by = target_.top + (m.voy - m.woy * sy - f.top) * ky;
}

MetafilePoint MetafilePlayer::Map(double x, double y) const {
    double ax, bx, ay, by;
    Coefficients(ax, bx, ay, by);
    const Xform& w = dc_.world;
    const double px = w.m11 * x + w.m21 * y + w.dx, py = w.m12 * x + w.m22 * y + w.dy;
    return {Clamp(ax * px + bx, kMaxCoordinate), Clamp(ay * py + by, kMaxCoordinate)};
}

MetafileRect MetafilePlayer::MapRect(double l, double t, double r, double b) const {
    MetafilePoint p = Map(l, t), q = Map(r, b);
    return {p.x, p.y, q.x, q.y};
}

MetafilePoint MetafilePlayer::MapDevice(double x, double y) const {
    const MetafileRect& f = file_.frame_;
    const double kx = f.right != f.left ? (target_.right - target_.left) / (f.right - f.left) : 0;
    const double ky = f.bottom != f.top ? (target_.bottom - target_.top) / (f.bottom - f.top) : 0;
    return {Clamp(target_.left + (x - f.left) * kx, kMaxCoordinate),
            Clamp(target_.top + (y - f.top) * ky, kMaxCoordinate)};
}

double MetafilePlayer::ScaleX() const {
    double ax, bx, ay, by;
    Coefficients(ax, bx, ay, by);
    return std::hypot(ax * dc_.world.m11, ay * dc_.world.m12);
}

double MetafilePlayer::ScaleY() const {
    double ax, bx, ay, by;
    Coefficients(ax, bx, ay, by);
    return std::hypot(ax * dc_.world.m21, ay * dc_.world.m22);
}

bool MetafilePlayer::Turned() const {
    return dc_.world.m12 != 0 || dc_.world.m21 != 0;
}

MetafileState MetafilePlayer::State() const {
    MetafileState s;
    s.pen.style = dc_.pen.style;
    s.pen.color = dc_.pen.color;
    s.pen.width = Clamp(dc_.pen.width * ScaleX(), kMaxPenWidth);
    s.brush = dc_.brush;
    s.font = dc_.font.font;
    s.font.height = Clamp(dc_.font.font.height * ScaleY(), kMaxFontHeight);
    s.font.width = Clamp(std::abs(dc_.font.font.width) * ScaleX(), kMaxFontHeight);
    if (Turned()) {
        // The baseline turns with the transform (y downwards on the target).
        double ax, bx, ay, by;
        Coefficients(ax, bx, ay, by);
        const double angle =
            std::atan2(-ay * dc_.world.m12, ax * dc_.world.m11) * 180 / std::numbers::pi;
        s.font.escapement = std::fmod(s.font.escapement + angle, 360.0);
    }
    s.textColor = dc_.textColor;
    s.backgroundColor = dc_.backgroundColor;
    s.opaqueBackground = dc_.opaque;
    s.winding = dc_.winding;
    s.textAlign = dc_.textAlign;
    s.clip = dc_.clip;
    return s;
}

// ---- state records shared by both formats ----

void MetafilePlayer::SetWindowOrg(double x, double y) {
    dc_.map.wox = x, dc_.map.woy = y;
}

void MetafilePlayer::SetViewportOrg(double x, double y) {
    dc_.map.vox = x, dc_.map.voy = y;
}

bool MetafilePlayer::ExtentsApply() const {
    return dc_.map.mode == kMapIsotropic || dc_.map.mode == kMapAnisotropic;
}

// Extents are whole numbers of 32 bits, never 0, as the drawing layer keeps them;
// scaling one to nothing is refused like setting 0.
bool MetafilePlayer::UsableExtent(double& x, double& y) {
    x = std::trunc(x), y = std::trunc(y);
    constexpr double kLimit = 2147483647.0;
    return x != 0 && y != 0 && std::abs(x) <= kLimit && std::abs(y) <= kLimit;
}

void MetafilePlayer::SetWindowExt(double x, double y) {
    if (ExtentsApply() && UsableExtent(x, y))
        dc_.map.wex = x, dc_.map.wey = y;
}

void MetafilePlayer::SetViewportExt(double x, double y) {
    if (ExtentsApply() && UsableExtent(x, y))
        dc_.map.vex = x, dc_.map.vey = y;
}

double MetafilePlayer::CornerX(double logical) const {
    return Clamp(std::abs(logical) * ScaleX(), kMaxCoordinate);
}

double MetafilePlayer::CornerY(double logical) const {
    return Clamp(std::abs(logical) * ScaleY(), kMaxCoordinate);
}

void MetafilePlayer::ScaleWindowExt(double xn, double xd, double yn, double yd) {
    if (xd != 0 && yd != 0)
        SetWindowExt(dc_.map.wex * xn / xd, dc_.map.wey * yn / yd);
}

void MetafilePlayer::ScaleViewportExt(double xn, double xd, double yn, double yd) {
    if (xd != 0 && yd != 0)
        SetViewportExt(dc_.map.vex * xn / xd, dc_.map.vey * yn / yd);
}

void MetafilePlayer::SetMapMode(std::uint32_t mode) {
    if (mode >= 1 && mode <= 8)
        dc_.map.mode = static_cast<int>(mode);
}

void MetafilePlayer::SetBkMode(std::uint32_t mode) {
    if (mode == 1 || mode == 2)
        dc_.opaque = mode == 2;
}

void MetafilePlayer::SetPolyFillMode(std::uint32_t mode) {
    if (mode == 1 || mode == 2)
        dc_.winding = mode == 2;
}

void MetafilePlayer::SaveDc() {
    if (saved_.size() < kMaxSavedStates)
        saved_.push_back(dc_);
}

void MetafilePlayer::RestoreDc(std::int64_t which) {
    std::size_t index;
    if (which < 0) {
        if (static_cast<std::uint64_t>(-which) > saved_.size())
            return;
        index = saved_.size() - static_cast<std::size_t>(-which);
    } else if (which > 0 && static_cast<std::uint64_t>(which) <= saved_.size()) {
        index = static_cast<std::size_t>(which - 1);
    } else {
        return;
    }
    dc_ = saved_[index];
    saved_.resize(index);
}

void MetafilePlayer::SetWorldTransform(const Xform& x) {
    // A transform of no area, or beyond any coordinate we keep, is refused as the
    // drawing layer refuses it.
    const double values[] = {x.m11, x.m12, x.m21, x.m22, x.dx, x.dy};
    for (double v : values)
        if (!std::isfinite(v) || std::abs(v) > kMaxCoordinate)
            return;
    if (x.m11 * x.m22 - x.m12 * x.m21 == 0)
        return;
    dc_.world = x;
}

void MetafilePlayer::ModifyWorldTransform(const Xform& x, std::uint32_t mode) {
    switch (mode) {
    case 1: // identity
        dc_.world = Xform{};
        break;
    case 2: // the record's transform first, then the current one
        SetWorldTransform(x.Then(dc_.world));
        break;
    case 3: // the current one first
        SetWorldTransform(dc_.world.Then(x));
        break;
    case 4:
        SetWorldTransform(x);
        break;
    default:
        break;
    }
}

MetafilePlayer::LogPen MetafilePlayer::MakePen(std::uint32_t style, double width,
                                               MetafileColor color) {
    LogPen pen;
    switch (style & 0xF) {
    case 1:
        pen.style = MetafilePen::Style::Dash;
        break;
    case 2:
        pen.style = MetafilePen::Style::Dot;
        break;
    case 3:
        pen.style = MetafilePen::Style::DashDot;
        break;
    case 4:
        pen.style = MetafilePen::Style::DashDotDot;
        break;
    case 5:
        pen.style = MetafilePen::Style::Null;
        break;
    case 6:
        pen.style = MetafilePen::Style::InsideFrame;
        break;
    default:
        pen.style = MetafilePen::Style::Solid;
        break;
    }
    pen.width = std::abs(width);
    pen.color = color;
    return pen;
}

MetafileBrush MetafilePlayer::MakeBrush(std::uint32_t style, MetafileColor color,
                                        std::uint32_t hatch) {
    MetafileBrush brush;
    brush.color = color;
    if (style == 1) {
        brush.style = MetafileBrush::Style::Null;
    } else if (style == 2 && hatch <= 5) {
        brush.style = MetafileBrush::Style::Hatched;
        brush.hatch = static_cast<MetafileBrush::Hatch>(hatch);
    } else {
        // Solid, and pattern brushes whose pattern is not kept: the colour alone.
        brush.style = MetafileBrush::Style::Solid;
    }
    return brush;
}

MetafilePlayer::LogFont MetafilePlayer::MakeFont(const Reader& r, std::size_t offset, bool wide,
                                                 std::string face) {
    LogFont f;
    f.font.face = std::move(face);
    if (wide) {
        f.font.height = r.S32(offset);
        f.font.width = r.S32(offset + 4);
        f.font.escapement = r.S32(offset + 8) / 10.0;
        f.font.weight = r.S32(offset + 16);
        offset += 20;
    } else {
        f.font.height = r.S16(offset);
        f.font.width = r.S16(offset + 2);
        f.font.escapement = r.S16(offset + 4) / 10.0;
        f.font.weight = r.S16(offset + 8);
        offset += 10;
    }
    f.font.italic = r.U8(offset) != 0;
    f.font.underline = r.U8(offset + 1) != 0;
    f.font.strikeOut = r.U8(offset + 2) != 0;
    f.font.charset = r.U8(offset + 3);
    if (f.font.weight <= 0 || f.font.weight > 1000)
        f.font.weight = 400;
    return f;
}

void MetafilePlayer::Select(const Object& object) {
    if (const auto* pen = std::get_if<LogPen>(&object))
        dc_.pen = *pen;
    else if (const auto* brush = std::get_if<MetafileBrush>(&object))
        dc_.brush = *brush;
    else if (const auto* font = std::get_if<LogFont>(&object))
        dc_.font = *font;
}

// ---- clipping ----

void MetafilePlayer::Clip(MetafileClip::Op op, std::vector<std::vector<MetafilePoint>> polygons,
                          bool winding) {
    auto clip = std::make_shared<MetafileClip>();
    if (op != MetafileClip::Op::Copy && dc_.clip) {
        if (dc_.clip->depth >= kMaxClipSteps)
            return;
        clip->base = dc_.clip;
        clip->depth = dc_.clip->depth + 1;
    }
    clip->op = op;
    clip->polygons = std::move(polygons);
    clip->winding = winding;
    dc_.clip = std::move(clip);
}

std::vector<MetafilePoint> MetafilePlayer::LogicalRectPolygon(double l, double t, double r,
                                                              double b) const {
    return {Map(l, t), Map(r, t), Map(r, b), Map(l, b)};
}

void MetafilePlayer::IntersectClipRect(double l, double t, double r, double b) {
    Clip(MetafileClip::Op::Intersect, {LogicalRectPolygon(l, t, r, b)}, false);
}

void MetafilePlayer::ExcludeClipRect(double l, double t, double r, double b) {
    Clip(MetafileClip::Op::Exclude, {LogicalRectPolygon(l, t, r, b)}, false);
}

// ---- paths and figures ----

std::vector<MetafilePlayer::Figure> MetafilePlayer::Flatten(const Outline& outline,
                                                            bool closed) const {
    std::vector<Figure> figures;
    std::size_t cubics = 0;
    for (const Segment& s : outline)
        cubics += s.kind == Segment::Kind::Cubic;
    const std::size_t perCubic =
        std::max<std::size_t>(1, kMaxRecordPoints / std::max<std::size_t>(cubics, 1));
    for (const Segment& s : outline) {
        if (s.kind == Segment::Kind::Move || figures.empty())
            figures.push_back({{}, closed});
        std::vector<MetafilePoint>& points = figures.back().points;
        const MetafilePoint to = Map(s.to.x, s.to.y);
        if (s.kind == Segment::Kind::Cubic && !points.empty())
            FlattenCubic(points, Map(s.c1.x, s.c1.y), Map(s.c2.x, s.c2.y), to, perCubic);
        else
            points.push_back(to);
    }
    return figures;
}

void MetafilePlayer::ContinueFigure(std::vector<MetafilePoint> points, MetafilePoint start) {
    if (path_.empty() || path_.back().closed) {
        path_.push_back({{start}, false});
        ++pathPoints_;
    }
    if (points.size() > kMaxPathPoints - std::min(pathPoints_, kMaxPathPoints))
        return;
    pathPoints_ += points.size();
    auto& figure = path_.back().points;
    figure.insert(figure.end(), points.begin(), points.end());
}

void MetafilePlayer::DrawPolylineTo(std::vector<MetafilePoint> points) {
    if (points.empty())
        return;
    const MetafilePoint start = Map(dc_.curX, dc_.curY);
    if (pathOpen_) {
        ContinueFigure(std::move(points), start);
        return;
    }
    points.insert(points.begin(), start);
    canvas_.Polyline(State(), points);
}

void MetafilePlayer::AddFigures(std::vector<Figure> figures) {
    for (Figure& f : figures) {
        if (pathPoints_ + f.points.size() > kMaxPathPoints)
            return; // a path beyond any picture's needs keeps what it has
        pathPoints_ += f.points.size();
        path_.push_back(std::move(f));
    }
}

void MetafilePlayer::BeginPath() {
    pathOpen_ = true;
    path_.clear();
    pathPoints_ = 0;
}

void MetafilePlayer::EndPath() {
    pathOpen_ = false;
}

void MetafilePlayer::CloseFigure() {
    if (pathOpen_ && !path_.empty())
        path_.back().closed = true;
}

void MetafilePlayer::DrawPath(bool fill, bool stroke) {
    if (pathOpen_)
        return; // the path is still being written: the system refuses to use it
    std::vector<Figure> figures = std::move(path_);
    path_.clear();
    pathPoints_ = 0;
    MetafileState state = State();
    if (fill) {
        std::vector<std::vector<MetafilePoint>> polygons;
        for (Figure& f : figures)
            if (f.points.size() >= 2)
                polygons.push_back(f.points);
        if (!stroke)
            state.pen.style = MetafilePen::Style::Null;
        if (!polygons.empty())
            canvas_.PolyPolygon(state, polygons);
        return;
    }
    for (Figure& f : figures) {
        if (f.closed && f.points.size() >= 2)
            f.points.push_back(f.points.front());
        if (f.points.size() >= 2)
            canvas_.Polyline(state, f.points);
    }
}

void MetafilePlayer::SelectClipPath(std::uint32_t mode) {
    if (pathOpen_ || mode < 1 || mode > 5)
        return;
    std::vector<std::vector<MetafilePoint>> polygons;
    for (Figure& f : path_)
        if (f.points.size() >= 3)
            polygons.push_back(std::move(f.points));
    path_.clear();
    pathPoints_ = 0;
    Clip(static_cast<MetafileClip::Op>(mode - 1), std::move(polygons), dc_.winding);
}

// ---- drawing shared by both formats ----

std::vector<MetafilePoint>
MetafilePlayer::MapAll(const std::vector<std::pair<double, double>>& points) const {
    std::vector<MetafilePoint> out;
    out.reserve(points.size());
    for (const auto& [x, y] : points)
        out.push_back(Map(x, y));
    return out;
}

void MetafilePlayer::MoveTo(double x, double y) {
    dc_.curX = x, dc_.curY = y;
    if (pathOpen_)
        AddFigures({{{Map(x, y)}, false}});
}

void MetafilePlayer::LineTo(double x, double y) {
    if (pathOpen_) {
        ContinueFigure({Map(x, y)}, Map(dc_.curX, dc_.curY));
    } else {
        canvas_.Polyline(State(), {Map(dc_.curX, dc_.curY), Map(x, y)});
    }
    dc_.curX = x, dc_.curY = y;
}

void MetafilePlayer::DrawPolyline(std::vector<MetafilePoint> points) {
    if (pathOpen_) {
        AddFigures({{std::move(points), false}});
        return;
    }
    if (points.size() >= 2)
        canvas_.Polyline(State(), points);
}

void MetafilePlayer::DrawPolygons(std::vector<std::vector<MetafilePoint>> polygons) {
    if (pathOpen_) {
        std::vector<Figure> figures;
        figures.reserve(polygons.size());
        for (auto& p : polygons)
            figures.push_back({std::move(p), true});
        AddFigures(std::move(figures));
        return;
    }
    std::erase_if(polygons, [](const auto& p) { return p.size() < 2; });
    if (!polygons.empty())
        canvas_.PolyPolygon(State(), polygons);
}

void MetafilePlayer::DrawBeziers(const std::vector<std::pair<double, double>>& points, bool to) {
    Outline outline;
    std::size_t at = 0;
    const MetafilePoint start = Map(dc_.curX, dc_.curY);
    if (to) {
        outline.push_back({Segment::Kind::Move, {}, {}, {dc_.curX, dc_.curY}});
    } else {
        if (points.empty())
            return;
        outline.push_back({Segment::Kind::Move, {}, {}, {points[0].first, points[0].second}});
        at = 1;
    }
    for (; at + 3 <= points.size(); at += 3) {
        outline.push_back({Segment::Kind::Cubic,
                           {points[at].first, points[at].second},
                           {points[at + 1].first, points[at + 1].second},
                           {points[at + 2].first, points[at + 2].second}});
        if (to)
            dc_.curX = points[at + 2].first, dc_.curY = points[at + 2].second;
    }
    std::vector<Figure> figures = Flatten(outline, false);
    if (figures.empty())
        return;
    if (pathOpen_ && to) {
        // The curves continue the figure the current position ends.
        auto& more = figures.front().points;
        more.erase(more.begin());
        ContinueFigure(std::move(more), start);
        return;
    }
    DrawPolyline(std::move(figures.front().points));
}

void MetafilePlayer::DrawRectangle(double l, double t, double r, double b) {
    if (!pathOpen_ && !Turned()) {
        canvas_.Rectangle(State(), MapRect(l, t, r, b));
        return;
    }
    // Counter-clockwise from the top right, as the system writes a rectangle's figure.
    DrawPolygons({{Map(r, t), Map(l, t), Map(l, b), Map(r, b)}});
}

void MetafilePlayer::DrawEllipse(double l, double t, double r, double b) {
    if (!pathOpen_ && !Turned()) {
        canvas_.Ellipse(State(), MapRect(l, t, r, b));
        return;
    }
    std::vector<Figure> figures = Flatten(EllipseOutline({l, t, r, b}), true);
    std::vector<std::vector<MetafilePoint>> polygons;
    polygons.reserve(figures.size());
    for (Figure& f : figures)
        polygons.push_back(std::move(f.points));
    DrawPolygons(std::move(polygons));
}

void MetafilePlayer::DrawRoundRect(double l, double t, double r, double b, double w, double h) {
    if (!pathOpen_ && !Turned()) {
        canvas_.RoundRect(State(), MapRect(l, t, r, b), CornerX(w), CornerY(h));
        return;
    }
    std::vector<Figure> figures = Flatten(RoundRectOutline({l, t, r, b}, w, h), true);
    std::vector<std::vector<MetafilePoint>> polygons;
    polygons.reserve(figures.size());
    for (Figure& f : figures)
        polygons.push_back(std::move(f.points));
    DrawPolygons(std::move(polygons));
}

void MetafilePlayer::DrawArc(MetafileCanvas::ArcKind kind, double l, double t, double r, double b,
                             double xs, double ys, double xe, double ye) {
    if (!pathOpen_ && !Turned()) {
        canvas_.Arc(State(), kind, MapRect(l, t, r, b), Map(xs, ys), Map(xe, ye));
        return;
    }
    const MetafileRect box{l, t, r, b};
    const double t0 = EllipseAngle(box, {xs, ys});
    double sweep = EllipseAngle(box, {xe, ye}) - t0;
    while (sweep <= 0)
        sweep += 2 * std::numbers::pi;
    Outline outline;
    if (kind == MetafileCanvas::ArcKind::Pie)
        outline.push_back({Segment::Kind::Move, {}, {}, {(l + r) / 2, (t + b) / 2}});
    AppendEllipseArc(outline, box, t0, sweep, kind == MetafileCanvas::ArcKind::Pie);
    std::vector<Figure> figures = Flatten(outline, kind != MetafileCanvas::ArcKind::Arc);
    if (figures.empty())
        return;
    if (kind == MetafileCanvas::ArcKind::Arc)
        DrawPolyline(std::move(figures.front().points));
    else
        DrawPolygons({std::move(figures.front().points)});
}

void MetafilePlayer::Text(double x, double y, const std::string& utf8, std::uint32_t options,
                          const std::optional<MetafileRect>& rect,
                          const std::vector<double>& advances) {
    if (options & kTextOptionGlyphIndex)
        return; // glyph numbers of a font we do not have
    if (pathOpen_)
        return; // glyph outlines are not kept in paths
    const bool updateCp = dc_.textAlign & kTextAlignUpdateCp;
    if (updateCp)
        x = dc_.curX, y = dc_.curY;
    MetafileCanvas::TextOptions textOptions;
    if (rect && (options & kTextOptionOpaque))
        textOptions.opaque = rect;
    if (rect && (options & kTextOptionClipped))
        textOptions.clip = rect;
    const double scale = ScaleX();
    double logicalAdvance = 0;
    for (double a : advances) {
        textOptions.advances.push_back(Clamp(a * scale, kMaxCoordinate));
        logicalAdvance += a;
    }
    const double advance = canvas_.Text(State(), Map(x, y), utf8, textOptions);
    if (updateCp) {
        if (advances.empty())
            logicalAdvance = scale > 0 ? advance / scale : 0;
        dc_.curX = Clamp(x + logicalAdvance, kMaxCoordinate);
    }
}

void MetafilePlayer::PatternBlt(std::uint32_t rop, const MetafileRect& box) {
    MetafileState state = State();
    if (rop == kBlackness || rop == kWhiteness) {
        state.brush.style = MetafileBrush::Style::Solid;
        state.brush.color =
            rop == kBlackness ? MetafileColor{0, 0, 0} : MetafileColor{255, 255, 255};
    } else if (rop != kPatCopy) {
        return;
    }
    canvas_.FillRect(state, box);
}

bool MetafilePlayer::SourceInside(const MetafileDib& dib, std::int64_t& sx, std::int64_t& sy,
                                  std::int64_t& sw, std::int64_t& sh, bool sourceBottomUp) const {
    if (sw <= 0 || sh <= 0)
        return false;
    // Source rows of a bitmap handed over by the bitmap functions count from its bottom
    // line; those of a bitmap in a device context count from its top.
    if (sourceBottomUp)
        sy = dib.Height() - sy - sh;
    if (sx < 0 || sy < 0 || sx > dib.Width() || sy > dib.Height())
        return false;
    sw = std::min<std::int64_t>(sw, dib.Width() - sx);
    sh = std::min<std::int64_t>(sh, dib.Height() - sy);
    return sw > 0 && sh > 0;
}

void MetafilePlayer::DrawDib(const std::optional<MetafileDib>& dib, const MetafileRect& box,
                             std::int64_t sx, std::int64_t sy, std::int64_t sw, std::int64_t sh,
                             bool sourceBottomUp) {
    if (!dib || !SourceInside(*dib, sx, sy, sw, sh, sourceBottomUp))
        return;
    canvas_.StretchBitmap(State(), box, *dib, static_cast<int>(sx), static_cast<int>(sy),
                          static_cast<int>(sw), static_cast<int>(sh));
}

} // namespace platform

#include "platform/metafilegeometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace platform::metafile {

void FlattenCubic(std::vector<MetafilePoint>& out, MetafilePoint c1, MetafilePoint c2,
                  MetafilePoint end, std::size_t maxPoints) {
    const MetafilePoint start = out.empty() ? c1 : out.back();
    const double length = std::hypot(c1.x - start.x, c1.y - start.y) +
                          std::hypot(c2.x - c1.x, c2.y - c1.y) +
                          std::hypot(end.x - c2.x, end.y - c2.y);
    // A chord of length s on a curve of radius r strays s^2 / 8r from it: steps of about
    // the square root of the length keep that under a quarter pixel for any circle.
    double wanted = std::ceil(std::sqrt(length));
    if (!(wanted >= 1))
        wanted = 1;
    const std::size_t steps = static_cast<std::size_t>(
        std::clamp(wanted, 1.0, static_cast<double>(std::max<std::size_t>(maxPoints, 1))));
    for (std::size_t i = 1; i <= steps; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(steps);
        const double u = 1 - t;
        const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
        out.push_back({a * start.x + b * c1.x + c * c2.x + d * end.x,
                       a * start.y + b * c1.y + c * c2.y + d * end.y});
    }
}

namespace {

struct Ellipse {
    double cx, cy, rx, ry;
    explicit Ellipse(const MetafileRect& box)
        : cx((box.left + box.right) / 2), cy((box.top + box.bottom) / 2),
          rx(std::abs(box.right - box.left) / 2), ry(std::abs(box.bottom - box.top) / 2) {}
    MetafilePoint At(double t) const { return {cx + rx * std::cos(t), cy - ry * std::sin(t)}; }
    MetafilePoint Tangent(double t) const { return {-rx * std::sin(t), -ry * std::cos(t)}; }
};

} // namespace

void AppendEllipseArc(Outline& out, const MetafileRect& box, double t0, double sweep,
                      bool lineToStart) {
    const Ellipse e(box);
    out.push_back({lineToStart ? Segment::Kind::Line : Segment::Kind::Move, {}, {}, e.At(t0)});
    // Pieces of at most a quarter turn, each a cubic with the usual tangent length.
    const int pieces = std::clamp(
        static_cast<int>(std::ceil(std::abs(sweep) / (std::numbers::pi / 2) - 1e-9)), 1, 4);
    const double step = sweep / pieces;
    const double k = 4.0 / 3.0 * std::tan(step / 4);
    double t = t0;
    for (int i = 0; i < pieces; ++i, t += step) {
        const MetafilePoint p0 = e.At(t), p3 = e.At(t + step);
        const MetafilePoint d0 = e.Tangent(t), d3 = e.Tangent(t + step);
        out.push_back({Segment::Kind::Cubic,
                       {p0.x + k * d0.x, p0.y + k * d0.y},
                       {p3.x - k * d3.x, p3.y - k * d3.y},
                       p3});
    }
}

double EllipseAngle(const MetafileRect& box, MetafilePoint p) {
    const Ellipse e(box);
    return std::atan2(e.rx * (e.cy - p.y), e.ry * (p.x - e.cx));
}

Outline EllipseOutline(const MetafileRect& box) {
    Outline out;
    AppendEllipseArc(out, box, 0, 2 * std::numbers::pi, false);
    return out;
}

Outline RoundRectOutline(const MetafileRect& box, double cornerWidth, double cornerHeight) {
    const double l = std::min(box.left, box.right), r = std::max(box.left, box.right);
    const double t = std::min(box.top, box.bottom), b = std::max(box.top, box.bottom);
    const double w = std::min(std::abs(cornerWidth), r - l),
                 h = std::min(std::abs(cornerHeight), b - t);
    constexpr double kQuarter = std::numbers::pi / 2;
    Outline out;
    // Counter-clockwise from the top right corner, each corner a quarter of the ellipse
    // of the corner's size.
    AppendEllipseArc(out, {r - w, t, r, t + h}, 0, kQuarter, false);
    AppendEllipseArc(out, {l, t, l + w, t + h}, kQuarter, kQuarter, true);
    AppendEllipseArc(out, {l, b - h, l + w, b}, 2 * kQuarter, kQuarter, true);
    AppendEllipseArc(out, {r - w, b - h, r, b}, 3 * kQuarter, kQuarter, true);
    return out;
}

} // namespace platform::metafile

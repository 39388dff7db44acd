#include "platform/ui/drawing.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace platform {

namespace {

constexpr int kDefaultFontPixels = 12;

std::int64_t Round(double v) {
    return std::llround(v);
}

int ClampInt(std::int64_t v) {
    return int(std::clamp<std::int64_t>(v, -(std::int64_t(1) << 30), std::int64_t(1) << 30));
}

Rect Intersect(const Rect& a, const Rect& b) {
    return Rect{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
}

Rect Normalised(Rect r) {
    if (r.right < r.left) {
        std::swap(r.left, r.right);
    }
    if (r.bottom < r.top) {
        std::swap(r.top, r.bottom);
    }
    return r;
}

Qt::PenStyle QtPenStyle(PenStyle s) {
    switch (s) {
    case PenStyle::Dash:
        return Qt::DashLine;
    case PenStyle::Dot:
        return Qt::DotLine;
    case PenStyle::DashDot:
        return Qt::DashDotLine;
    case PenStyle::DashDotDot:
        return Qt::DashDotDotLine;
    case PenStyle::Null:
        return Qt::NoPen;
    case PenStyle::Solid:
    case PenStyle::InsideFrame:
        break;
    }
    return Qt::SolidLine;
}

Qt::BrushStyle QtHatch(HatchStyle h) {
    switch (h) {
    case HatchStyle::Horizontal:
        return Qt::HorPattern;
    case HatchStyle::Vertical:
        return Qt::VerPattern;
    case HatchStyle::ForwardDiagonal:
        return Qt::FDiagPattern;
    case HatchStyle::BackwardDiagonal:
        return Qt::BDiagPattern;
    case HatchStyle::Cross:
        return Qt::CrossPattern;
    case HatchStyle::DiagonalCross:
        return Qt::DiagCrossPattern;
    }
    return Qt::HorPattern;
}

// The painter's boxes for shapes whose right and bottom edges are exclusive: Qt's
// aliased one-pixel outline of QRect(l, t, w-1, h-1) covers columns l to r-1, and so do
// its curves in the floating-point box of that size (the integer one is lopsided).
QRect RectBox(const Rect& r) {
    return QRect(r.left, r.top, r.Width() - 1, r.Height() - 1);
}
QRectF CurveBox(const Rect& r) {
    return QRectF(r.left, r.top, r.Width() - 1, r.Height() - 1);
}

double RadialAngle(const Rect& r, Point p) {
    double cx = (r.left + r.right) / 2.0;
    double cy = (r.top + r.bottom) / 2.0;
    return std::atan2(cy - p.y, p.x - cx) * 180.0 / std::numbers::pi;
}

} // namespace

QRgb ToQRgb(Color c) {
    return qRgb(RedOf(c), GreenOf(c), BlueOf(c));
}

Color FromQRgb(QRgb c) {
    return Rgb(std::uint8_t(qRed(c)), std::uint8_t(qGreen(c)), std::uint8_t(qBlue(c)));
}

QImage NewPicture(int width, int height, Color fill) {
    QImage image(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
    if (!image.isNull()) {
        image.fill(ToQRgb(fill));
    }
    return image;
}

std::size_t DibStride(int width, int bitCount) {
    if (width <= 0 || bitCount <= 0) {
        return 0;
    }
    std::size_t bytes = (std::size_t(width) * std::size_t(bitCount) + 7) / 8;
    return (bytes + 3) & ~std::size_t(3);
}

QImage DibToImage(const Dib& dib) {
    const int bpp = dib.bitCount;
    if (dib.width <= 0 || dib.height == 0 || dib.height == INT32_MIN ||
        (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)) {
        return {};
    }
    const std::size_t width = std::size_t(dib.width);
    const std::size_t height = std::size_t(std::abs(dib.height));
    if (std::uint64_t(width) * height > std::uint64_t(kMaxDibPixels)) {
        return {};
    }
    const std::size_t rowBytes = (width * std::size_t(bpp) + 7) / 8;
    const std::size_t stride = dib.stride > 0 ? std::size_t(dib.stride) : DibStride(dib.width, bpp);
    if (stride < rowBytes) {
        return {};
    }
    // The one bitmap reader of the system decodes the rows.
    DibInfo info;
    info.width = dib.width;
    info.height = int(height);
    info.bottomUp = dib.height > 0;
    info.bitCount = bpp;
    info.rowStride = stride;
    if (bpp == 16) {
        info.redMask = 0x7C00, info.greenMask = 0x03E0, info.blueMask = 0x001F;
    } else if (bpp == 32) {
        info.redMask = 0xFF0000, info.greenMask = 0xFF00, info.blueMask = 0xFF;
    }
    if (bpp <= 8) {
        const std::size_t entries = std::min<std::size_t>(dib.palette.size(), 256);
        info.palette.reserve(entries);
        for (std::size_t i = 0; i < entries; ++i) {
            const Color c = dib.palette[i];
            info.palette.push_back(std::uint32_t(RedOf(c)) << 16 | std::uint32_t(GreenOf(c)) << 8 |
                                   BlueOf(c));
        }
    }
    const std::optional<DibPixels> pixels = DecodeDib(
        info, std::string_view(reinterpret_cast<const char*>(dib.bits.data()), dib.bits.size()));
    return pixels ? PixelsToImage(*pixels) : QImage();
}

QImage PixelsToImage(const DibPixels& pixels, bool keepAlpha) {
    QImage image(pixels.width, pixels.height,
                 keepAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    const std::uint32_t opaque = keepAlpha ? 0 : 0xFF000000u;
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint32_t* s = pixels.argb.data() + std::size_t(y) * std::size_t(pixels.width);
        auto* d = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < pixels.width; ++x) {
            d[x] = s[x] | opaque;
        }
    }
    return image;
}

Canvas::Canvas(QImage& target) : target_(target) {
    if (!target_.isNull() && target_.format() != QImage::Format_RGB32) {
        target_ = target_.convertToFormat(QImage::Format_RGB32);
    }
}

Canvas::~Canvas() = default;

void Canvas::SetWindowExt(Size s) {
    if (s.width != 0 && s.height != 0) {
        state_.windowExt = s;
    }
}

void Canvas::SetViewportExt(Size s) {
    if (s.width != 0 && s.height != 0) {
        state_.viewportExt = s;
    }
}

Point Canvas::ToDevice(Point p) const {
    const State& s = state_;
    if (s.windowExt == s.viewportExt) {
        return Point{ClampInt(std::int64_t(p.x) - s.windowOrg.x + s.viewportOrg.x),
                     ClampInt(std::int64_t(p.y) - s.windowOrg.y + s.viewportOrg.y)};
    }
    double x = double(std::int64_t(p.x) - s.windowOrg.x) * s.viewportExt.width / s.windowExt.width;
    double y =
        double(std::int64_t(p.y) - s.windowOrg.y) * s.viewportExt.height / s.windowExt.height;
    return Point{ClampInt(Round(x) + s.viewportOrg.x), ClampInt(Round(y) + s.viewportOrg.y)};
}

int Canvas::WidthToDevice(int logical) const {
    return ClampInt(
        std::abs(Round(double(logical) * state_.viewportExt.width / state_.windowExt.width)));
}

int Canvas::HeightToDevice(int logical) const {
    return ClampInt(
        std::abs(Round(double(logical) * state_.viewportExt.height / state_.windowExt.height)));
}

Rect Canvas::DeviceRect(const Rect& r) const {
    Point a = ToDevice({r.left, r.top});
    Point b = ToDevice({r.right, r.bottom});
    return Normalised(Rect{a.x, a.y, b.x, b.y});
}

Rect Canvas::ClipBox() const {
    Rect box{0, 0, target_.width(), target_.height()};
    return state_.clip ? Intersect(box, *state_.clip) : box;
}

void Canvas::IntersectClip(const Rect& logical) {
    Rect d = DeviceRect(logical);
    state_.clip = state_.clip ? Intersect(*state_.clip, d) : d;
}

void Canvas::ResetClip() {
    state_.clip.reset();
}

int Canvas::Save() {
    saved_.push_back(state_);
    return int(saved_.size());
}

void Canvas::Restore(int level) {
    const int count = int(saved_.size());
    int keep = -1;
    if (level < 0 && -level <= count) {
        keep = count + level;
    } else if (level > 0 && level <= count) {
        keep = level - 1;
    }
    if (keep < 0) {
        return;
    }
    state_ = saved_[std::size_t(keep)];
    saved_.resize(std::size_t(keep));
}

bool Canvas::ThinSolidPen() const {
    const Pen& pen = state_.pen;
    return (pen.style == PenStyle::Solid || pen.style == PenStyle::InsideFrame) &&
           WidthToDevice(pen.width) <= 1;
}

void Canvas::PlainLine(Point a, Point b, QRgb color) {
    const Rect clip = ClipBox();
    if (clip.Empty() || a == b) {
        return;
    }
    // Integer steps from a towards b; b itself is left out, so joined lines meet once.
    const std::int64_t dx = std::abs(std::int64_t(b.x) - a.x);
    const std::int64_t dy = std::abs(std::int64_t(b.y) - a.y);
    const int sx = a.x < b.x ? 1 : -1;
    const int sy = a.y < b.y ? 1 : -1;
    const std::int64_t steps = std::max(dx, dy);
    // A line far outside the picture is not walked pixel by pixel.
    const Rect hull = Normalised(Rect{a.x, a.y, b.x, b.y});
    if (hull.right < clip.left || hull.left >= clip.right || hull.bottom < clip.top ||
        hull.top >= clip.bottom) {
        return;
    }
    std::int64_t x = a.x;
    std::int64_t y = a.y;
    std::int64_t err = (dx > dy ? dx : -dy) / 2;
    const int stride = int(target_.bytesPerLine() / 4);
    auto* bits = reinterpret_cast<QRgb*>(target_.bits());
    for (std::int64_t i = 0; i < steps; ++i) {
        if (x >= clip.left && x < clip.right && y >= clip.top && y < clip.bottom) {
            bits[y * stride + x] = color;
        }
        const std::int64_t e = err;
        if (e > -dx) {
            err -= dy;
            x += sx;
        }
        if (e < dy) {
            err += dx;
            y += sy;
        }
    }
}

void Canvas::SetupPainter(QPainter& p, bool withPen, bool withBrush) const {
    p.setRenderHint(QPainter::Antialiasing, false);
    const Rect clip = ClipBox();
    p.setClipRect(
        QRect(clip.left, clip.top, std::max(clip.Width(), 0), std::max(clip.Height(), 0)));
    // The background shows only in the gaps of hatches and styled pens; Qt's opaque mode
    // also moves the outline of curves, so it is switched on only where it shows.
    const bool gaps =
        (withBrush && state_.brush.style == BrushStyle::Hatched) ||
        (withPen && state_.pen.style != PenStyle::Solid &&
         state_.pen.style != PenStyle::InsideFrame && state_.pen.style != PenStyle::Null);
    if (state_.backgroundMode == BackgroundMode::Opaque && gaps) {
        p.setBackgroundMode(Qt::OpaqueMode);
        p.setBackground(QColor(ToQRgb(state_.backgroundColor)));
    } else {
        p.setBackgroundMode(Qt::TransparentMode);
    }
    const Pen& pen = state_.pen;
    if (withPen && pen.style != PenStyle::Null) {
        const int width = WidthToDevice(pen.width);
        QPen qpen(QColor(ToQRgb(pen.color)));
        qpen.setStyle(QtPenStyle(pen.style));
        qpen.setWidth(width <= 1 ? 0 : width);
        qpen.setCapStyle(width <= 1 ? Qt::FlatCap : Qt::RoundCap);
        qpen.setJoinStyle(Qt::RoundJoin);
        p.setPen(qpen);
    } else {
        p.setPen(Qt::NoPen);
    }
    const Brush& brush = state_.brush;
    if (!withBrush || brush.style == BrushStyle::Null) {
        p.setBrush(Qt::NoBrush);
    } else if (brush.style == BrushStyle::Hatched) {
        p.setBrush(QBrush(QColor(ToQRgb(brush.color)), QtHatch(brush.hatch)));
    } else if (brush.style == BrushStyle::Pattern && !brush.pattern.isNull()) {
        p.setBrush(QBrush(brush.pattern));
    } else {
        p.setBrush(QColor(ToQRgb(brush.color)));
    }
}

void Canvas::LineTo(Point p) {
    const Point a = ToDevice(state_.position);
    const Point b = ToDevice(p);
    state_.position = p;
    if (state_.pen.style == PenStyle::Null || target_.isNull()) {
        return;
    }
    if (ThinSolidPen()) {
        PlainLine(a, b, ToQRgb(state_.pen.color));
        return;
    }
    QPainter painter(&target_);
    SetupPainter(painter, true, false);
    painter.drawLine(QPoint(a.x, a.y), QPoint(b.x, b.y));
}

void Canvas::Polyline(std::span<const Point> points) {
    if (points.size() < 2 || state_.pen.style == PenStyle::Null || target_.isNull()) {
        return;
    }
    if (ThinSolidPen()) {
        const QRgb color = ToQRgb(state_.pen.color);
        Point a = ToDevice(points[0]);
        for (std::size_t i = 1; i < points.size(); ++i) {
            Point b = ToDevice(points[i]);
            PlainLine(a, b, color);
            a = b;
        }
        return;
    }
    QPolygon polygon;
    for (const Point& pt : points) {
        Point d = ToDevice(pt);
        polygon << QPoint(d.x, d.y);
    }
    QPainter painter(&target_);
    SetupPainter(painter, true, false);
    painter.drawPolyline(polygon);
}

void Canvas::PolyBezier(std::span<const Point> points) {
    if (points.size() < 4 || state_.pen.style == PenStyle::Null || target_.isNull()) {
        return;
    }
    QPainterPath path;
    Point d = ToDevice(points[0]);
    path.moveTo(d.x, d.y);
    for (std::size_t i = 1; i + 2 < points.size(); i += 3) {
        Point c1 = ToDevice(points[i]);
        Point c2 = ToDevice(points[i + 1]);
        Point e = ToDevice(points[i + 2]);
        path.cubicTo(c1.x, c1.y, c2.x, c2.y, e.x, e.y);
    }
    QPainter painter(&target_);
    SetupPainter(painter, true, false);
    painter.drawPath(path);
}

void Canvas::Polygon(std::span<const Point> points) {
    std::vector<Point> one(points.begin(), points.end());
    PolyPolygon(std::span<const std::vector<Point>>(&one, 1));
}

void Canvas::PolyPolygon(std::span<const std::vector<Point>> polygons) {
    if (target_.isNull()) {
        return;
    }
    QPainterPath path;
    path.setFillRule(state_.fillMode == FillMode::Winding ? Qt::WindingFill : Qt::OddEvenFill);
    std::vector<std::vector<Point>> device;
    for (const auto& polygon : polygons) {
        if (polygon.size() < 2) {
            continue;
        }
        std::vector<Point> d;
        d.reserve(polygon.size());
        QPolygon q;
        for (const Point& pt : polygon) {
            d.push_back(ToDevice(pt));
            q << QPoint(d.back().x, d.back().y);
        }
        path.addPolygon(q);
        path.closeSubpath();
        device.push_back(std::move(d));
    }
    if (device.empty()) {
        return;
    }
    {
        QPainter painter(&target_);
        SetupPainter(painter, !ThinSolidPen(), true);
        painter.drawPath(path);
    }
    if (ThinSolidPen()) {
        const QRgb color = ToQRgb(state_.pen.color);
        for (const auto& d : device) {
            for (std::size_t i = 0; i < d.size(); ++i) {
                PlainLine(d[i], d[(i + 1) % d.size()], color);
            }
        }
    }
}

void Canvas::FillDeviceRect(const Rect& r, const Brush& brush) {
    const Rect box = Intersect(r, ClipBox());
    if (box.Empty() || brush.style == BrushStyle::Null) {
        return;
    }
    if (brush.style == BrushStyle::Solid ||
        (brush.style == BrushStyle::Pattern && brush.pattern.isNull())) {
        const QRgb color = ToQRgb(brush.color);
        for (int y = box.top; y < box.bottom; ++y) {
            auto* row = reinterpret_cast<QRgb*>(target_.scanLine(y));
            std::fill(row + box.left, row + box.right, color);
        }
        return;
    }
    QPainter painter(&target_);
    painter.setRenderHint(QPainter::Antialiasing, false);
    QRect q(box.left, box.top, box.Width(), box.Height());
    if (brush.style == BrushStyle::Hatched) {
        if (state_.backgroundMode == BackgroundMode::Opaque) {
            painter.fillRect(q, QColor(ToQRgb(state_.backgroundColor)));
        }
        painter.fillRect(q, QBrush(QColor(ToQRgb(brush.color)), QtHatch(brush.hatch)));
    } else {
        painter.fillRect(q, QBrush(brush.pattern));
    }
}

void Canvas::FillRect(const Rect& r, const Brush& brush) {
    if (!target_.isNull()) {
        FillDeviceRect(DeviceRect(r), brush);
    }
}

void Canvas::Rectangle(const Rect& r) {
    const Rect d = DeviceRect(r);
    if (d.Empty() || target_.isNull()) {
        return;
    }
    if (state_.pen.style == PenStyle::Null) {
        // Without an outline the filled area is one pixel smaller in each direction.
        FillDeviceRect(Rect{d.left, d.top, d.right - 1, d.bottom - 1}, state_.brush);
        return;
    }
    if (ThinSolidPen()) {
        FillDeviceRect(Rect{d.left + 1, d.top + 1, d.right - 1, d.bottom - 1}, state_.brush);
        const QRgb color = ToQRgb(state_.pen.color);
        const Point corners[] = {{d.left, d.top},
                                 {d.right - 1, d.top},
                                 {d.right - 1, d.bottom - 1},
                                 {d.left, d.bottom - 1}};
        for (int i = 0; i < 4; ++i) {
            PlainLine(corners[i], corners[(i + 1) % 4], color);
        }
        if (d.Width() == 1 && d.Height() == 1) {
            PlainLine({d.left, d.top}, {d.left + 1, d.top}, color);
        }
        return;
    }
    QPainter painter(&target_);
    SetupPainter(painter, true, true);
    Rect box = d;
    if (state_.pen.style == PenStyle::InsideFrame) {
        const int inset = WidthToDevice(state_.pen.width) / 2;
        box = Rect{d.left + inset, d.top + inset, d.right - inset, d.bottom - inset};
    }
    painter.drawRect(RectBox(box));
}

void Canvas::DrawShape(int kind, const Rect& r, Point start, Point end, Size corner) {
    const Rect d = DeviceRect(r);
    if (d.Empty() || target_.isNull()) {
        return;
    }
    enum { kEllipse, kRoundRect, kArc, kPie, kChord };
    QPainter painter(&target_);
    SetupPainter(painter, true, kind != kArc);
    const QRectF box = CurveBox(d);
    const Point s = ToDevice(start);
    const Point e = ToDevice(end);
    const double a0 = RadialAngle(d, s);
    double span = RadialAngle(d, e) - a0;
    while (span <= 0) {
        span += 360;
    }
    const int qStart = int(Round(a0 * 16));
    const int qSpan = int(Round(span * 16));
    switch (kind) {
    case kEllipse:
        painter.drawEllipse(box);
        break;
    case kRoundRect:
        painter.drawRoundedRect(box, WidthToDevice(corner.width) / 2.0,
                                HeightToDevice(corner.height) / 2.0);
        break;
    case kArc:
        painter.drawArc(box, qStart, qSpan);
        break;
    case kPie:
        painter.drawPie(box, qStart, qSpan);
        break;
    default:
        painter.drawChord(box, qStart, qSpan);
        break;
    }
}

void Canvas::RoundRect(const Rect& r, Size corner) {
    DrawShape(1, r, {}, {}, corner);
}
void Canvas::Ellipse(const Rect& r) {
    DrawShape(0, r, {}, {}, {});
}
void Canvas::Arc(const Rect& r, Point start, Point end) {
    DrawShape(2, r, start, end, {});
}
void Canvas::Pie(const Rect& r, Point start, Point end) {
    DrawShape(3, r, start, end, {});
}
void Canvas::Chord(const Rect& r, Point start, Point end) {
    DrawShape(4, r, start, end, {});
}

void Canvas::SetPixel(Point p, Color c) {
    const Point d = ToDevice(p);
    const Rect clip = ClipBox();
    if (d.x >= clip.left && d.x < clip.right && d.y >= clip.top && d.y < clip.bottom) {
        reinterpret_cast<QRgb*>(target_.scanLine(d.y))[d.x] = ToQRgb(c);
    }
}

std::optional<Color> Canvas::GetPixel(Point p) const {
    const Point d = ToDevice(p);
    if (d.x < 0 || d.y < 0 || d.x >= target_.width() || d.y >= target_.height()) {
        return std::nullopt;
    }
    return FromQRgb(target_.pixel(d.x, d.y));
}

QFont Canvas::DeviceFont() const {
    const Font& font = state_.font;
    QFont f(font.face);
    int pixels = kDefaultFontPixels;
    if (font.height < 0) {
        pixels = std::max(1, HeightToDevice(-font.height));
    } else if (font.height > 0) {
        // A cell height: scale the em so that ascent + descent fill it.
        QFont probe(font.face);
        probe.setPixelSize(256);
        QFontMetricsF m(probe);
        const double cell = m.ascent() + m.descent();
        const int wanted = HeightToDevice(font.height);
        pixels = std::max(1, int(cell > 0 ? Round(wanted * 256.0 / cell) : wanted));
    }
    f.setPixelSize(std::min(pixels, 4096));
    f.setWeight(QFont::Weight(font.weight <= 0 ? 400 : std::clamp(font.weight, 1, 1000)));
    f.setItalic(font.italic);
    f.setUnderline(font.underline);
    f.setStrikeOut(font.strikeOut);
    if (font.width > 0) {
        const double average = QFontMetricsF(f).averageCharWidth();
        if (average > 0) {
            f.setStretch(
                std::clamp(int(Round(WidthToDevice(font.width) * 100.0 / average)), 1, 4000));
        }
    }
    return f;
}

void Canvas::TextOut(Point p, const QString& text, const TextBox& box) {
    if (target_.isNull()) {
        return;
    }
    const QFont font = DeviceFont();
    const QFontMetricsF metrics(font);
    const unsigned align = state_.textAlign;
    const Point ref = ToDevice((align & TextAlign::UpdateCp) ? state_.position : p);

    std::vector<double> advances;
    double width = 0;
    if (!box.advances.empty()) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const int a = std::size_t(i) < box.advances.size() ? box.advances[std::size_t(i)] : 0;
            advances.push_back(a * double(state_.viewportExt.width) / state_.windowExt.width);
            width += advances.back();
        }
    } else {
        width = metrics.horizontalAdvance(text);
    }
    double x = ref.x;
    switch (align & TextAlign::Center) {
    case TextAlign::Right:
        x -= width;
        break;
    case TextAlign::Center:
        x -= width / 2;
        break;
    default:
        break;
    }
    double baseline = ref.y + metrics.ascent();
    if ((align & TextAlign::Baseline) == TextAlign::Baseline) {
        baseline = ref.y;
    } else if (align & TextAlign::Bottom) {
        baseline = ref.y - metrics.descent();
    }

    QPainter painter(&target_);
    painter.setRenderHint(QPainter::Antialiasing, false);
    Rect clip = ClipBox();
    if (box.rect && box.clip) {
        clip = Intersect(clip, DeviceRect(*box.rect));
    }
    painter.setClipRect(
        QRect(clip.left, clip.top, std::max(clip.Width(), 0), std::max(clip.Height(), 0)));
    if (box.rect && box.opaque) {
        const Rect o = Intersect(DeviceRect(*box.rect), ClipBox());
        if (!o.Empty()) {
            painter.fillRect(QRect(o.left, o.top, o.Width(), o.Height()),
                             QColor(ToQRgb(state_.backgroundColor)));
        }
    }
    if (state_.font.escapement != 0) {
        painter.translate(ref.x, ref.y);
        painter.rotate(-state_.font.escapement / 10.0);
        painter.translate(-ref.x, -ref.y);
    }
    if (state_.backgroundMode == BackgroundMode::Opaque && !box.opaque) {
        painter.fillRect(
            QRectF(x, baseline - metrics.ascent(), width, metrics.ascent() + metrics.descent()),
            QColor(ToQRgb(state_.backgroundColor)));
    }
    painter.setFont(font);
    painter.setPen(QColor(ToQRgb(state_.textColor)));
    if (advances.empty()) {
        painter.drawText(QPointF(x, baseline), text);
    } else {
        double cx = x;
        for (qsizetype i = 0; i < text.size(); ++i) {
            painter.drawText(QPointF(cx, baseline), QString(text[i]));
            cx += advances[std::size_t(i)];
        }
    }
    if (align & TextAlign::UpdateCp) {
        const int logical = int(Round(width * state_.windowExt.width / state_.viewportExt.width));
        if ((align & TextAlign::Center) == TextAlign::Left) {
            state_.position.x += logical;
        } else if ((align & TextAlign::Center) == TextAlign::Right) {
            state_.position.x -= logical;
        }
    }
}

Size Canvas::TextExtent(const QString& text) const {
    const QFontMetricsF metrics(DeviceFont());
    const double w = metrics.horizontalAdvance(text);
    const double h = metrics.ascent() + metrics.descent();
    return Size{int(Round(std::abs(w * state_.windowExt.width / state_.viewportExt.width))),
                int(Round(std::abs(h * state_.windowExt.height / state_.viewportExt.height)))};
}

void Canvas::BitBlt(Point dst, const QImage& src, const Rect& srcRect) {
    StretchBlt(Rect{dst.x, dst.y, dst.x + srcRect.Width(), dst.y + srcRect.Height()}, src, srcRect);
}

void Canvas::StretchBlt(const Rect& dst, const QImage& src, const Rect& srcRect) {
    if (target_.isNull() || src.isNull()) {
        return;
    }
    const QImage source =
        (src.format() == QImage::Format_RGB32 || src.format() == QImage::Format_ARGB32)
            ? src
            : src.convertToFormat(QImage::Format_RGB32);
    const Point a = ToDevice({dst.left, dst.top});
    const Point b = ToDevice({dst.right, dst.bottom});
    const std::int64_t dw = std::int64_t(b.x) - a.x;
    const std::int64_t dh = std::int64_t(b.y) - a.y;
    const std::int64_t sw = std::int64_t(srcRect.right) - srcRect.left;
    const std::int64_t sh = std::int64_t(srcRect.bottom) - srcRect.top;
    if (dw == 0 || dh == 0 || sw == 0 || sh == 0) {
        return;
    }
    const Rect d = Normalised(Rect{a.x, a.y, b.x, b.y});
    const Rect box = Intersect(d, ClipBox());
    if (box.Empty()) {
        return;
    }
    const bool mirrorX = (dw < 0) != (sw < 0);
    const bool mirrorY = (dh < 0) != (sh < 0);
    if (dw == sw && dh == sh && dw > 0 && dh > 0 && source.format() == QImage::Format_RGB32 &&
        target_.depth() == 32) {
        // One to one (a frame shown as it is): whole rows of the clipped span at once. An
        // RGB32 source has its alpha set already, as the pixel loop below would set it.
        const std::int64_t offsetX = std::int64_t(srcRect.left) - d.left;
        const std::int64_t offsetY = std::int64_t(srcRect.top) - d.top;
        const std::int64_t left = std::max<std::int64_t>(box.left, -offsetX);
        const std::int64_t right = std::min<std::int64_t>(box.right, source.width() - offsetX);
        if (left < right) {
            for (int y = box.top; y < box.bottom; ++y) {
                const std::int64_t sy = y + offsetY;
                if (sy < 0 || sy >= source.height()) {
                    continue;
                }
                const auto* s = reinterpret_cast<const QRgb*>(source.constScanLine(int(sy)));
                auto* row = reinterpret_cast<QRgb*>(target_.scanLine(y));
                std::memcpy(row + left, s + (left + offsetX), std::size_t(right - left) * 4);
            }
        }
        return;
    }
    const std::int64_t adw = std::abs(dw), adh = std::abs(dh);
    const std::int64_t asw = std::abs(sw), ash = std::abs(sh);
    const std::int64_t sx0 = std::min<std::int64_t>(srcRect.left, srcRect.right);
    const std::int64_t sy0 = std::min<std::int64_t>(srcRect.top, srcRect.bottom);

    // Nearest pixel: destination pixel i takes the source pixel under its centre.
    std::vector<int> columns(std::size_t(box.Width()));
    for (int x = box.left; x < box.right; ++x) {
        std::int64_t i = x - d.left;
        if (mirrorX) {
            i = adw - 1 - i;
        }
        const std::int64_t sx = sx0 + ((2 * i + 1) * asw) / (2 * adw);
        columns[std::size_t(x - box.left)] = (sx >= 0 && sx < source.width()) ? int(sx) : -1;
    }
    for (int y = box.top; y < box.bottom; ++y) {
        std::int64_t j = y - d.top;
        if (mirrorY) {
            j = adh - 1 - j;
        }
        const std::int64_t sy = sy0 + ((2 * j + 1) * ash) / (2 * adh);
        if (sy < 0 || sy >= source.height()) {
            continue;
        }
        const auto* s = reinterpret_cast<const QRgb*>(source.constScanLine(int(sy)));
        auto* row = reinterpret_cast<QRgb*>(target_.scanLine(y));
        for (int x = box.left; x < box.right; ++x) {
            const int sx = columns[std::size_t(x - box.left)];
            if (sx >= 0) {
                row[x] = s[sx] | 0xFF000000u;
            }
        }
    }
}

bool Canvas::DrawDib(Point dst, const Dib& dib) {
    const QImage image = DibToImage(dib);
    if (image.isNull()) {
        return false;
    }
    BitBlt(dst, image, Rect{0, 0, image.width(), image.height()});
    return true;
}

bool Canvas::StretchDib(const Rect& dst, const Dib& dib, const Rect& srcRect) {
    const QImage image = DibToImage(dib);
    if (image.isNull()) {
        return false;
    }
    StretchBlt(dst, image, srcRect);
    return true;
}

} // namespace platform

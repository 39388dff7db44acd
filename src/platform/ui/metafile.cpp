#include "platform/ui/metafile.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

namespace {

Color ToColor(const MetafileColor& c) {
    return Rgb(c.r, c.g, c.b);
}

int ToInt(double v) {
    // The reader keeps coordinates and sizes far inside int; this only rounds.
    return static_cast<int>(std::lround(v));
}

Point ToPoint(const MetafilePoint& p) {
    return {ToInt(p.x), ToInt(p.y)};
}

Rect ToRect(const MetafileRect& r) {
    return {ToInt(r.left), ToInt(r.top), ToInt(r.right), ToInt(r.bottom)};
}

std::vector<Point> ToPoints(const std::vector<MetafilePoint>& points) {
    std::vector<Point> out;
    out.reserve(points.size());
    for (const auto& p : points)
        out.push_back(ToPoint(p));
    return out;
}

PenStyle ToPenStyle(MetafilePen::Style s) {
    switch (s) {
    case MetafilePen::Style::Dash:
        return PenStyle::Dash;
    case MetafilePen::Style::Dot:
        return PenStyle::Dot;
    case MetafilePen::Style::DashDot:
        return PenStyle::DashDot;
    case MetafilePen::Style::DashDotDot:
        return PenStyle::DashDotDot;
    case MetafilePen::Style::Null:
        return PenStyle::Null;
    case MetafilePen::Style::InsideFrame:
        return PenStyle::InsideFrame;
    case MetafilePen::Style::Solid:
        break;
    }
    return PenStyle::Solid;
}

Brush ToBrush(const MetafileBrush& b) {
    switch (b.style) {
    case MetafileBrush::Style::Null:
        return Brush(BrushStyle::Null);
    case MetafileBrush::Style::Hatched:
        return Brush::Hatched(static_cast<HatchStyle>(b.hatch), ToColor(b.color));
    case MetafileBrush::Style::Solid:
        break;
    }
    return Brush(BrushStyle::Solid, ToColor(b.color));
}

// The metafile's calls onto the adapter. The reader has mapped every coordinate to
// picture pixels already, so the adapter's own mapping stays the identity. The adapter
// clips to rectangles only: a clip of another shape is kept here as a mask, and what is
// drawn through the adapter outside it is put back. Blends, masked copies and gradients
// are pixel operations of their own, written here inside the same clip.
class CanvasPlayer final : public MetafileCanvas {
public:
    explicit CanvasPlayer(QImage& picture) : canvas_(picture), picture_(canvas_.Target()) {}

    void PolyPolygon(const MetafileState& s,
                     const std::vector<std::vector<MetafilePoint>>& polygons) override {
        Apply(s);
        std::vector<std::vector<Point>> all;
        all.reserve(polygons.size());
        for (const auto& polygon : polygons)
            all.push_back(ToPoints(polygon));
        Clipped(s, [&] { canvas_.PolyPolygon(all); });
    }
    void Rectangle(const MetafileState& s, const MetafileRect& box) override {
        Apply(s);
        Clipped(s, [&] { canvas_.Rectangle(ToRect(box)); });
    }
    void RoundRect(const MetafileState& s, const MetafileRect& box, double cornerWidth,
                   double cornerHeight) override {
        Apply(s);
        Clipped(s, [&] {
            canvas_.RoundRect(ToRect(box), {ToInt(cornerWidth), ToInt(cornerHeight)});
        });
    }
    void Ellipse(const MetafileState& s, const MetafileRect& box) override {
        Apply(s);
        Clipped(s, [&] { canvas_.Ellipse(ToRect(box)); });
    }
    void Arc(const MetafileState& s, ArcKind kind, const MetafileRect& box, MetafilePoint start,
             MetafilePoint end) override {
        Apply(s);
        Clipped(s, [&] { DrawArc(kind, box, start, end); });
    }
    double Text(const MetafileState& s, MetafilePoint reference, const std::string& utf8,
                const TextOptions& options) override {
        Apply(s);
        // The reader keeps the current position itself and hands the point to use.
        canvas_.SetTextAlign(s.textAlign & ~TextAlign::UpdateCp);
        const QString text = QString::fromStdString(utf8);
        TextBox box;
        if (options.opaque || options.clip) {
            box.rect = ToRect(options.opaque ? *options.opaque : *options.clip);
            box.opaque = options.opaque.has_value();
            box.clip = options.clip.has_value();
        }
        // Whole pixels for the adapter, rounded along the run so that no error adds up.
        std::vector<int> advances;
        advances.reserve(options.advances.size());
        double end = 0;
        int placed = 0;
        for (double a : options.advances) {
            end = std::clamp(end + a, -1e8, 1e8);
            advances.push_back(ToInt(end) - placed);
            placed += advances.back();
        }
        box.advances = advances;
        Clipped(s, [&] { canvas_.TextOut(ToPoint(reference), text, box); });
        return s.textAlign & TextAlign::UpdateCp ? canvas_.TextExtent(text).width : 0;
    }
    void FillRect(const MetafileState& s, const MetafileRect& box) override {
        Clipped(s, [&] { canvas_.FillRect(ToRect(box), ToBrush(s.brush)); });
    }
    void Polyline(const MetafileState& s, const std::vector<MetafilePoint>& points) override {
        Apply(s);
        const std::vector<Point> p = ToPoints(points);
        Clipped(s, [&] { canvas_.Polyline(p); });
    }
    void StretchBitmap(const MetafileState& s, const MetafileRect& box, const MetafileDib& dib,
                       int srcX, int srcY, int srcWidth, int srcHeight) override {
        const std::optional<DibPixels> pixels = dib.Decode();
        if (!pixels)
            return;
        const QImage image = PixelsToImage(*pixels);
        Clipped(s, [&] {
            canvas_.StretchBlt(ToRect(box), image, {srcX, srcY, srcX + srcWidth, srcY + srcHeight});
        });
    }
    void AlphaBitmap(const MetafileState& s, const MetafileRect& box, const MetafileDib& dib,
                     int srcX, int srcY, int srcWidth, int srcHeight, std::uint8_t constantAlpha,
                     bool sourceAlpha) override {
        const std::optional<DibPixels> pixels = dib.Decode();
        if (!pixels)
            return;
        const unsigned ca = constantAlpha;
        EachPixel(s, ToRect(box), srcX, srcY, srcWidth, srcHeight, [&](QRgb& d, int sx, int sy) {
            const std::uint32_t p =
                pixels->argb[std::size_t(sy) * std::size_t(pixels->width) + std::size_t(sx)];
            // Source colours count as multiplied by their alpha already; the constant
            // alpha weighs colour and alpha alike.
            const unsigned a = sourceAlpha ? (p >> 24) * ca / 255 : ca;
            auto mix = [&](unsigned sc, unsigned dc) {
                return std::min(255u, sc * ca / 255 + dc * (255 - a) / 255);
            };
            d = qRgb(int(mix(p >> 16 & 0xFF, unsigned(qRed(d)))),
                     int(mix(p >> 8 & 0xFF, unsigned(qGreen(d)))),
                     int(mix(p & 0xFF, unsigned(qBlue(d)))));
        });
    }
    void MaskBitmap(const MetafileState& s, const MetafileRect& box, const MetafileDib* source,
                    int srcX, int srcY, int srcWidth, int srcHeight, const MetafileDib* mask,
                    int maskX, int maskY, std::uint8_t foreground,
                    std::uint8_t background) override {
        std::optional<DibPixels> src, bits;
        if (source && !(src = source->Decode()))
            return;
        if (mask && !(bits = mask->Decode()))
            return;
        // A monochrome mask is set where its pixel takes the second colour of its table;
        // any other where it is not black.
        std::optional<std::uint32_t> setColour;
        if (mask && mask->BitCount() == 1 && mask->Info().palette.size() >= 2 &&
            mask->Info().palette[0] != mask->Info().palette[1])
            setColour = mask->Info().palette[1];
        const std::uint32_t pattern = s.brush.style == MetafileBrush::Style::Null
                                          ? 0xFFFFFF
                                          : std::uint32_t(s.brush.color.r) << 16 |
                                                std::uint32_t(s.brush.color.g) << 8 |
                                                s.brush.color.b;
        EachPixel(s, ToRect(box), srcX, srcY, srcWidth, srcHeight, [&](QRgb& d, int sx, int sy) {
            const std::uint32_t sp =
                src ? src->argb[std::size_t(sy) * std::size_t(src->width) + std::size_t(sx)] &
                          0xFFFFFF
                    : 0;
            bool set = true;
            if (bits) {
                const std::int64_t mx = std::int64_t(maskX) + sx - srcX;
                const std::int64_t my = std::int64_t(maskY) + sy - srcY;
                set = false;
                if (mx >= 0 && my >= 0 && mx < bits->width && my < bits->height) {
                    const std::uint32_t m =
                        bits->argb[std::size_t(my) * std::size_t(bits->width) + std::size_t(mx)] &
                        0xFFFFFF;
                    set = setColour ? m == *setColour : m != 0;
                }
            }
            d = Rop3(set ? foreground : background, pattern, sp, d & 0xFFFFFF) | 0xFF000000u;
        });
    }
    void GradientRect(const MetafileState& s, const MetafileRect& box, MetafileColor from,
                      MetafileColor to, bool vertical) override {
        const Rect r = Normalised(ToRect(box));
        const double length = vertical ? r.Height() : r.Width();
        if (length <= 0)
            return;
        EachPixel(s, r, 0, 0, r.Width(), r.Height(), [&](QRgb& d, int x, int y) {
            const double t = ((vertical ? y : x) + 0.5) / length;
            d = Blend(from, to, t);
        });
    }
    void GradientTriangle(const MetafileState& s, const MetafileVertex& a, const MetafileVertex& b,
                          const MetafileVertex& c) override {
        const double area = (b.point.x - a.point.x) * (c.point.y - a.point.y) -
                            (c.point.x - a.point.x) * (b.point.y - a.point.y);
        if (area == 0)
            return;
        const Rect r{ToInt(std::floor(std::min({a.point.x, b.point.x, c.point.x}))),
                     ToInt(std::floor(std::min({a.point.y, b.point.y, c.point.y}))),
                     ToInt(std::ceil(std::max({a.point.x, b.point.x, c.point.x}))) + 1,
                     ToInt(std::ceil(std::max({a.point.y, b.point.y, c.point.y}))) + 1};
        auto edge = [](const MetafilePoint& p, const MetafilePoint& q, double x, double y) {
            return (q.x - p.x) * (y - p.y) - (x - p.x) * (q.y - p.y);
        };
        EachPixel(s, r, 0, 0, r.Width(), r.Height(), [&](QRgb& d, int dx, int dy) {
            const double x = r.left + dx + 0.5, y = r.top + dy + 0.5;
            const double wa = edge(b.point, c.point, x, y) / area;
            const double wb = edge(c.point, a.point, x, y) / area;
            const double wc = 1 - wa - wb;
            if (wa < 0 || wb < 0 || wc < 0)
                return;
            auto channel = [&](std::uint8_t ca, std::uint8_t cb, std::uint8_t cc) {
                return std::clamp(ToInt(wa * ca + wb * cb + wc * cc), 0, 255);
            };
            d = qRgb(channel(a.color.r, b.color.r, c.color.r),
                     channel(a.color.g, b.color.g, c.color.g),
                     channel(a.color.b, b.color.b, c.color.b));
        });
    }

private:
    void DrawArc(ArcKind kind, const MetafileRect& box, MetafilePoint start, MetafilePoint end) {
        switch (kind) {
        case ArcKind::Arc:
            canvas_.Arc(ToRect(box), ToPoint(start), ToPoint(end));
            break;
        case ArcKind::Chord:
            canvas_.Chord(ToRect(box), ToPoint(start), ToPoint(end));
            break;
        case ArcKind::Pie:
            canvas_.Pie(ToRect(box), ToPoint(start), ToPoint(end));
            break;
        }
    }
    void Apply(const MetafileState& s) {
        canvas_.SetPen(Pen(ToPenStyle(s.pen.style), ToInt(s.pen.width), ToColor(s.pen.color)));
        canvas_.SetBrush(ToBrush(s.brush));
        Font font;
        if (!s.font.face.empty())
            font.face = QString::fromStdString(s.font.face);
        font.height = ToInt(s.font.height);
        font.width = ToInt(s.font.width);
        font.escapement = ToInt(s.font.escapement * 10);
        font.weight = s.font.weight;
        font.italic = s.font.italic;
        font.underline = s.font.underline;
        font.strikeOut = s.font.strikeOut;
        canvas_.SetFont(font);
        canvas_.SetTextColor(ToColor(s.textColor));
        canvas_.SetBackgroundColor(ToColor(s.backgroundColor));
        canvas_.SetBackgroundMode(s.opaqueBackground ? BackgroundMode::Opaque
                                                     : BackgroundMode::Transparent);
        canvas_.SetTextAlign(s.textAlign);
        canvas_.SetFillMode(s.winding ? FillMode::Winding : FillMode::Alternate);
    }

    // The clip of a state as pixels: the box it covers inside the picture, and a mask of
    // the box where the clip is not the whole of it.
    struct ClipShape {
        Rect box;
        QImage mask; // Format_Grayscale8 of the box's size, non-zero inside; null: the box
    };
    struct CachedClip {
        std::shared_ptr<const MetafileClip> key;
        std::shared_ptr<const ClipShape> shape;
    };

    const ClipShape* ClipFor(const MetafileState& s) {
        if (!s.clip)
            return nullptr;
        return ShapeOf(s.clip).get();
    }

    // Recent clips are kept: records return to a saved clip often, and a new clip is
    // usually its base and one more step.
    std::shared_ptr<const ClipShape> ShapeOf(const std::shared_ptr<const MetafileClip>& clip) {
        for (const CachedClip& c : clips_)
            if (c.key == clip)
                return c.shape;
        std::shared_ptr<const ClipShape> base = clip->base ? ShapeOf(clip->base) : nullptr;
        auto shape = std::make_shared<const ClipShape>(Combine(base.get(), *clip));
        if (clips_.size() >= 8)
            clips_.erase(clips_.begin());
        clips_.push_back({clip, shape});
        return shape;
    }

    // The pixels of an upright rectangle (centres inside it), when the polygons are one.
    static std::optional<Rect> UprightRect(const MetafileClip& step) {
        if (step.polygons.size() != 1 || step.polygons[0].size() != 4)
            return std::nullopt;
        const auto& p = step.polygons[0];
        const bool upright =
            (p[0].y == p[1].y && p[1].x == p[2].x && p[2].y == p[3].y && p[3].x == p[0].x) ||
            (p[0].x == p[1].x && p[1].y == p[2].y && p[2].x == p[3].x && p[3].y == p[0].y);
        if (!upright)
            return std::nullopt;
        auto edge = [](double v) { return ToInt(std::ceil(v - 0.5)); };
        return Normalised(Rect{edge(p[0].x), edge(p[0].y), edge(p[2].x), edge(p[2].y)});
    }

    ClipShape Combine(const ClipShape* base, const MetafileClip& step) const {
        const int w = picture_.width(), h = picture_.height();
        // Rectangles within rectangles, by far the most common clip, need no mask.
        const std::optional<Rect> upright = UprightRect(step);
        if (upright &&
            (step.op == MetafileClip::Op::Copy || (step.op == MetafileClip::Op::Intersect &&
                                                   (base == nullptr || base->mask.isNull())))) {
            const Rect whole{0, 0, w, h};
            const Rect from = step.op == MetafileClip::Op::Intersect && base ? base->box : whole;
            ClipShape shape;
            shape.box = {std::max({from.left, upright->left, 0}),
                         std::max({from.top, upright->top, 0}),
                         std::min({from.right, upright->right, w}),
                         std::min({from.bottom, upright->bottom, h})};
            if (shape.box.Empty())
                shape.box = {};
            return shape;
        }
        // Only the area the result can cover is worked on: the step's polygons and the
        // region so far as the operation combines them.
        const Rect whole{0, 0, w, h};
        const Rect before = base ? base->box : whole;
        double pl = w, pt = h, pr = 0, pb = 0;
        for (const auto& polygon : step.polygons) {
            for (const MetafilePoint& pt2 : polygon) {
                pl = std::min(pl, pt2.x), pr = std::max(pr, pt2.x);
                pt = std::min(pt, pt2.y), pb = std::max(pb, pt2.y);
            }
        }
        const Rect drawn{std::max(ToInt(std::floor(pl)), 0), std::max(ToInt(std::floor(pt)), 0),
                         std::min(ToInt(std::ceil(pr)) + 1, w),
                         std::min(ToInt(std::ceil(pb)) + 1, h)};
        Rect area = before;
        switch (step.op) {
        case MetafileClip::Op::Intersect:
            area = Intersected(before, drawn);
            break;
        case MetafileClip::Op::Union:
        case MetafileClip::Op::Xor:
            area = Bounding(before, drawn);
            break;
        case MetafileClip::Op::Exclude:
            break;
        case MetafileClip::Op::Copy:
            area = drawn;
            break;
        }
        if (area.Empty())
            return {}; // an empty box: nothing is drawn
        QImage mask(area.Width(), area.Height(), QImage::Format_Grayscale8);
        if (mask.isNull())
            return {};
        // The step's polygons, pixels whose centres lie inside as the aliased fill
        // decides them.
        mask.fill(0);
        {
            QPainterPath p;
            p.setFillRule(step.winding ? Qt::WindingFill : Qt::OddEvenFill);
            for (const auto& polygon : step.polygons) {
                QPolygonF q;
                for (const MetafilePoint& pt2 : polygon)
                    q << QPointF(pt2.x, pt2.y);
                p.addPolygon(q);
                p.closeSubpath();
            }
            QPainter painter(&mask);
            painter.setRenderHint(QPainter::Antialiasing, false);
            painter.translate(-area.left, -area.top);
            painter.fillPath(p, Qt::white);
        }
        int l = area.right, t = area.bottom, r = -1, b = -1;
        for (int y = area.top; y < area.bottom; ++y) {
            uchar* row = mask.scanLine(y - area.top);
            for (int x = area.left; x < area.right; ++x) {
                const bool in = row[x - area.left] != 0;
                const bool was = Inside(base, x, y);
                bool out = in;
                switch (step.op) {
                case MetafileClip::Op::Intersect:
                    out = was && in;
                    break;
                case MetafileClip::Op::Union:
                    out = was || in;
                    break;
                case MetafileClip::Op::Xor:
                    out = was != in;
                    break;
                case MetafileClip::Op::Exclude:
                    out = was && !in;
                    break;
                case MetafileClip::Op::Copy:
                    break;
                }
                row[x - area.left] = out ? 255 : 0;
                if (out)
                    l = std::min(l, x), r = std::max(r, x), t = std::min(t, y), b = std::max(b, y);
            }
        }
        ClipShape shape;
        if (r < 0)
            return shape;
        shape.box = {l, t, r + 1, b + 1};
        for (int y = t; y <= b; ++y) {
            const uchar* row = mask.constScanLine(y - area.top);
            for (int x = l; x <= r; ++x) {
                if (row[x - area.left] == 0) {
                    shape.mask = mask.copy(l - area.left, t - area.top, r - l + 1, b - t + 1);
                    return shape;
                }
            }
        }
        return shape;
    }

    static Rect Intersected(const Rect& a, const Rect& b) {
        return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
    }
    static Rect Bounding(const Rect& a, const Rect& b) {
        if (a.Empty())
            return b;
        if (b.Empty())
            return a;
        return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
    }

    static bool Inside(const ClipShape* clip, int x, int y) {
        if (!clip)
            return true;
        if (x < clip->box.left || y < clip->box.top || x >= clip->box.right ||
            y >= clip->box.bottom)
            return false;
        return clip->mask.isNull() ||
               clip->mask.constScanLine(y - clip->box.top)[x - clip->box.left] != 0;
    }

    // Draws through the adapter inside the state's clip: the adapter clips to the clip's
    // box, and pixels of the box outside the clip get their colour back afterwards.
    template <class Draw> void Clipped(const MetafileState& s, Draw draw) {
        const ClipShape* clip = ClipFor(s);
        canvas_.ResetClip();
        if (clip == nullptr) {
            draw();
            return;
        }
        const Rect& box = clip->box;
        if (box.Empty())
            return;
        canvas_.IntersectClip(box);
        if (clip->mask.isNull()) {
            draw();
        } else {
            const QImage before = picture_.copy(box.left, box.top, box.Width(), box.Height());
            draw();
            for (int y = box.top; y < box.bottom; ++y) {
                auto* row = reinterpret_cast<QRgb*>(picture_.scanLine(y));
                const auto* old = reinterpret_cast<const QRgb*>(before.constScanLine(y - box.top));
                const uchar* m = clip->mask.constScanLine(y - box.top);
                for (int x = box.left; x < box.right; ++x)
                    if (m[x - box.left] == 0)
                        row[x] = old[x - box.left];
            }
        }
        canvas_.ResetClip();
    }

    // Calls pixel(destination, sourceX, sourceY) for every pixel of box (mirrored when
    // its corners are) inside the picture and the clip, with the source pixel under its
    // centre in the source rectangle, as the adapter's stretching copy picks it.
    template <class Pixel>
    void EachPixel(const MetafileState& s, const Rect& box, int srcX, int srcY, int srcWidth,
                   int srcHeight, Pixel pixel) {
        if (picture_.isNull() || srcWidth <= 0 || srcHeight <= 0)
            return;
        const ClipShape* clip = ClipFor(s);
        const Rect d = Normalised(box);
        const bool mirrorX = box.right < box.left, mirrorY = box.bottom < box.top;
        const std::int64_t dw = d.Width(), dh = d.Height();
        if (dw <= 0 || dh <= 0)
            return;
        const int left = std::max(d.left, 0), top = std::max(d.top, 0);
        const int right = std::min(d.right, picture_.width());
        const int bottom = std::min(d.bottom, picture_.height());
        for (int y = top; y < bottom; ++y) {
            std::int64_t j = y - d.top;
            if (mirrorY)
                j = dh - 1 - j;
            const int sy = srcY + int((2 * j + 1) * srcHeight / (2 * dh));
            auto* row = reinterpret_cast<QRgb*>(picture_.scanLine(y));
            for (int x = left; x < right; ++x) {
                if (!Inside(clip, x, y))
                    continue;
                std::int64_t i = x - d.left;
                if (mirrorX)
                    i = dw - 1 - i;
                const int sx = srcX + int((2 * i + 1) * srcWidth / (2 * dw));
                pixel(row[x], sx, sy);
            }
        }
    }

    static Rect Normalised(Rect r) {
        if (r.right < r.left)
            std::swap(r.left, r.right);
        if (r.bottom < r.top)
            std::swap(r.top, r.bottom);
        return r;
    }

    static QRgb Blend(const MetafileColor& a, const MetafileColor& b, double t) {
        t = std::clamp(t, 0.0, 1.0);
        auto mix = [t](std::uint8_t x, std::uint8_t y) { return ToInt(x + (y - x) * t); };
        return qRgb(mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b));
    }

    // A ternary raster operation: bit i of op is the result where the pattern, source and
    // destination bits are i's bits 2, 1 and 0.
    static std::uint32_t Rop3(std::uint8_t op, std::uint32_t p, std::uint32_t s, std::uint32_t d) {
        std::uint32_t out = 0;
        for (int i = 0; i < 8; ++i) {
            if (op >> i & 1)
                out |= ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
        }
        return out & 0xFFFFFF;
    }

    Canvas canvas_;
    QImage& picture_;
    std::vector<CachedClip> clips_;
};

} // namespace

void DrawMetafile(QImage& picture, const Metafile& metafile, const Rect& target) {
    if (picture.isNull())
        return;
    CanvasPlayer player(picture);
    metafile.Play(player, {static_cast<double>(target.left), static_cast<double>(target.top),
                           static_cast<double>(target.right), static_cast<double>(target.bottom)});
}

} // namespace platform

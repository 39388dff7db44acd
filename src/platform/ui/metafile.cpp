#include "platform/ui/metafile.h"

#include <algorithm>
#include <cmath>
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
// picture pixels already, so the adapter's own mapping stays the identity.
class CanvasPlayer final : public MetafileCanvas {
public:
    explicit CanvasPlayer(QImage& picture) : canvas_(picture) {}

    void Polyline(const MetafileState& s, const std::vector<MetafilePoint>& points) override {
        Apply(s);
        const std::vector<Point> p = ToPoints(points);
        canvas_.Polyline(p);
    }
    void PolyPolygon(const MetafileState& s,
                     const std::vector<std::vector<MetafilePoint>>& polygons) override {
        Apply(s);
        std::vector<std::vector<Point>> all;
        all.reserve(polygons.size());
        for (const auto& polygon : polygons)
            all.push_back(ToPoints(polygon));
        canvas_.PolyPolygon(all);
    }
    void Rectangle(const MetafileState& s, const MetafileRect& box) override {
        Apply(s);
        canvas_.Rectangle(ToRect(box));
    }
    void RoundRect(const MetafileState& s, const MetafileRect& box, double cornerWidth,
                   double cornerHeight) override {
        Apply(s);
        canvas_.RoundRect(ToRect(box), {ToInt(cornerWidth), ToInt(cornerHeight)});
    }
    void Ellipse(const MetafileState& s, const MetafileRect& box) override {
        Apply(s);
        canvas_.Ellipse(ToRect(box));
    }
    void Arc(const MetafileState& s, ArcKind kind, const MetafileRect& box, MetafilePoint start,
             MetafilePoint end) override {
        Apply(s);
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
        canvas_.TextOut(ToPoint(reference), text, box);
        return s.textAlign & TextAlign::UpdateCp ? canvas_.TextExtent(text).width : 0;
    }
    void FillRect(const MetafileState& s, const MetafileRect& box) override {
        canvas_.FillRect(ToRect(box), ToBrush(s.brush));
    }
    void StretchBitmap(const MetafileRect& box, const MetafileDib& dib, int srcX, int srcY,
                       int srcWidth, int srcHeight) override {
        const std::string_view table = dib.Palette();
        const auto entry = static_cast<std::size_t>(dib.PaletteEntrySize());
        std::vector<Color> palette;
        palette.reserve(table.size() / entry);
        for (std::size_t at = 0; at + entry <= table.size(); at += entry) {
            const auto* e = reinterpret_cast<const std::uint8_t*>(table.data() + at);
            palette.push_back(Rgb(e[2], e[1], e[0]));
        }
        Dib d;
        d.width = dib.Width();
        d.height = dib.BottomUp() ? dib.Height() : -dib.Height();
        d.bitCount = dib.BitCount();
        d.palette = palette;
        d.bits = {reinterpret_cast<const std::uint8_t*>(dib.Bits().data()), dib.Bits().size()};
        d.stride = static_cast<int>(dib.Stride());
        canvas_.StretchDib(ToRect(box), d, {srcX, srcY, srcX + srcWidth, srcY + srcHeight});
    }

private:
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

    Canvas canvas_;
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

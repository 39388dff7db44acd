#pragma once

// The drawing surface of the system and the one adapter that draws on it.
//
// A picture is a plain QImage (32-bit RGB), separate from any widget: most pictures are
// never shown, and some are painted from a timer thread, where Qt allows painting into
// a QImage but not into widgets or pixmaps.
//
// Canvas gives the drawing calls the rest of the system was written against, with their
// pixel rules kept here and nowhere else:
//  - rectangles exclude their right and bottom edges;
//  - a line leaves out its last pixel;
//  - block copies are plain source copies; a stretching copy takes the nearest source
//    pixel and never smooths;
//  - coordinates are logical and pass through a window/viewport mapping (identity by
//    default), as a metafile expects; the pixel rules hold in device pixels.
//
// Threads: a Canvas and its target picture belong to one thread at a time; any thread
// may create and draw pictures.

#include "platform/dib.h"

#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class QFont;
class QPainter;

namespace platform {

// A Windows colour value: red in the low byte, then green, then blue.
using Color = std::uint32_t;

constexpr Color Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return Color(r) | (Color(g) << 8) | (Color(b) << 16);
}
constexpr std::uint8_t RedOf(Color c) {
    return std::uint8_t(c & 0xFF);
}
constexpr std::uint8_t GreenOf(Color c) {
    return std::uint8_t((c >> 8) & 0xFF);
}
constexpr std::uint8_t BlueOf(Color c) {
    return std::uint8_t((c >> 16) & 0xFF);
}
constexpr Color kWhite = 0xFFFFFF;
constexpr Color kBlack = 0;

QRgb ToQRgb(Color c);
Color FromQRgb(QRgb c);

struct Point {
    int x = 0;
    int y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    int width = 0;
    int height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle whose right and bottom edges lie outside it.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Empty() const { return right <= left || bottom <= top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// A new picture of the given size filled with one colour; sizes below 0 count as 0.
QImage NewPicture(int width, int height, Color fill = kWhite);

enum class PenStyle { Solid, Dash, Dot, DashDot, DashDotDot, Null, InsideFrame };

struct Pen {
    Pen() = default;
    Pen(PenStyle s, int w = 0, Color c = kBlack) : style(s), width(w), color(c) {}
    PenStyle style = PenStyle::Solid;
    int width = 0; // logical units; 0 or 1 is one device pixel
    Color color = kBlack;
};

enum class BrushStyle { Solid, Null, Hatched, Pattern };
enum class HatchStyle {
    Horizontal,
    Vertical,
    ForwardDiagonal,
    BackwardDiagonal,
    Cross,
    DiagonalCross
};

struct Brush {
    Brush() = default;
    Brush(BrushStyle s, Color c = kWhite) : style(s), color(c) {}
    static Brush Hatched(HatchStyle h, Color c) {
        Brush b(BrushStyle::Hatched, c);
        b.hatch = h;
        return b;
    }
    static Brush Pattern(QImage image) {
        Brush b(BrushStyle::Pattern);
        b.pattern = std::move(image);
        return b;
    }
    BrushStyle style = BrushStyle::Solid;
    Color color = kWhite;
    HatchStyle hatch = HatchStyle::Horizontal;
    QImage pattern; // BrushStyle::Pattern only
};

struct Font {
    QString face = QStringLiteral("Arial");
    // Logical units: below 0 the character (em) height, above 0 the cell height
    // (ascent + descent), 0 a default size.
    int height = 0;
    int width = 0;      // average character width; 0 keeps the face's proportions
    int escapement = 0; // tenths of a degree, counter-clockwise
    int weight = 400;   // 100 to 900; 0 is normal
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
};

enum class BackgroundMode { Transparent, Opaque };
enum class FillMode { Alternate, Winding };

// Text alignment, combined with |: one horizontal, one vertical, optionally UpdateCp.
namespace TextAlign {
constexpr unsigned Left = 0;
constexpr unsigned UpdateCp = 1;
constexpr unsigned Right = 2;
constexpr unsigned Center = 6;
constexpr unsigned Top = 0;
constexpr unsigned Bottom = 8;
constexpr unsigned Baseline = 24;
} // namespace TextAlign

// Extra settings of one text output: an opaque or clipping rectangle and the advance of
// each character (logical units).
struct TextBox {
    std::optional<Rect> rect;
    bool opaque = false; // fill rect with the background colour first
    bool clip = false;   // draw only inside rect
    std::span<const int> advances;
};

// A packed device-independent bitmap in memory, as a GIF frame or a metafile holds it:
// rows padded to 4 bytes, 1, 4 or 8 bits through a palette, or 16 (5-5-5), 24 or 32
// bits of blue, green, red.
struct Dib {
    int width = 0;
    int height = 0; // above 0: bottom row first; below 0: top row first
    int bitCount = 0;
    std::span<const Color> palette; // indices past its end read black
    std::span<const std::uint8_t> bits;
    int stride = 0; // 0: DibStride(width, bitCount)
};

// Bytes per row of a DIB: rounded up to a multiple of 4.
std::size_t DibStride(int width, int bitCount);

// The bitmap as a picture (decoded by platform/dib.h); a null image when its header is
// unusable or the bits are too short for it. Never reads outside dib.bits or dib.palette.
QImage DibToImage(const Dib& dib);

// Decoded pixels as a picture: 32-bit RGB, or with keepAlpha 32-bit ARGB with the
// pixels' own alpha (not premultiplied).
QImage PixelsToImage(const DibPixels& pixels, bool keepAlpha = false);

class Canvas {
public:
    explicit Canvas(QImage& target);
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    ~Canvas();

    QImage& Target() { return target_; }

    void SetPen(const Pen& pen) { state_.pen = pen; }
    void SetBrush(const Brush& brush) { state_.brush = brush; }
    void SetFont(const Font& font) { state_.font = font; }
    const Pen& GetPen() const { return state_.pen; }
    const Brush& GetBrush() const { return state_.brush; }
    const Font& GetFont() const { return state_.font; }
    void SetTextColor(Color c) { state_.textColor = c; }
    void SetBackgroundColor(Color c) { state_.backgroundColor = c; }
    void SetBackgroundMode(BackgroundMode m) { state_.backgroundMode = m; }
    void SetTextAlign(unsigned align) { state_.textAlign = align; }
    void SetFillMode(FillMode m) { state_.fillMode = m; }

    // Mapping: device = (logical - windowOrg) * viewportExt / windowExt + viewportOrg.
    // An extent of 0 is ignored.
    void SetWindowOrg(Point p) { state_.windowOrg = p; }
    void SetWindowExt(Size s);
    void SetViewportOrg(Point p) { state_.viewportOrg = p; }
    void SetViewportExt(Size s);
    Point ToDevice(Point logical) const;
    // A logical length along x (or y) in device pixels, at least 0.
    int WidthToDevice(int logical) const;
    int HeightToDevice(int logical) const;

    // Clipping to logical rectangles; drawing never leaves the target in any case.
    void IntersectClip(const Rect& logical);
    void ResetClip();

    // Saves the whole state (tools, colours, mapping, clip, position); Restore(-1)
    // returns to the last saved one, Restore(n) with n > 0 to the n-th.
    int Save();
    void Restore(int level = -1);

    void MoveTo(Point p) { state_.position = p; }
    Point Position() const { return state_.position; }
    void LineTo(Point p);
    void Polyline(std::span<const Point> points);
    void PolyBezier(std::span<const Point> points); // start, then three points per curve
    void Polygon(std::span<const Point> points);
    void PolyPolygon(std::span<const std::vector<Point>> polygons);
    // Outlined with the pen and filled with the brush.
    void Rectangle(const Rect& r);
    void RoundRect(const Rect& r, Size corner);
    void Ellipse(const Rect& r);
    // Counter-clockwise from the radial through start to the radial through end.
    void Arc(const Rect& r, Point start, Point end);
    void Pie(const Rect& r, Point start, Point end);
    void Chord(const Rect& r, Point start, Point end);
    // Fills with a brush, no outline.
    void FillRect(const Rect& r, const Brush& brush);
    void SetPixel(Point p, Color c);
    // The pixel's colour; nullopt outside the target.
    std::optional<Color> GetPixel(Point p) const;

    void TextOut(Point p, const QString& text, const TextBox& box = {});
    Size TextExtent(const QString& text) const; // logical units

    // Plain copy of src's rectangle to dst (logical; the size is mapped).
    void BitBlt(Point dst, const QImage& src, const Rect& srcRect);
    // Copies src's rectangle stretched onto dst (logical), nearest pixel, no smoothing.
    // A negative extent of either rectangle mirrors.
    void StretchBlt(const Rect& dst, const QImage& src, const Rect& srcRect);
    // Plain copy of a whole DIB at dst; false when the bitmap is unusable.
    bool DrawDib(Point dst, const Dib& dib);
    // The DIB's rectangle stretched onto dst; false when the bitmap is unusable.
    bool StretchDib(const Rect& dst, const Dib& dib, const Rect& srcRect);

private:
    struct State {
        Pen pen;
        Brush brush;
        Font font;
        Color textColor = kBlack;
        Color backgroundColor = kWhite;
        BackgroundMode backgroundMode = BackgroundMode::Opaque;
        unsigned textAlign = TextAlign::Left | TextAlign::Top;
        FillMode fillMode = FillMode::Alternate;
        Point windowOrg;
        Size windowExt{1, 1};
        Point viewportOrg;
        Size viewportExt{1, 1};
        std::optional<Rect> clip; // device pixels
        Point position;
    };

    Rect DeviceRect(const Rect& logical) const; // mapped and normalised
    Rect ClipBox() const;                       // device pixels inside the target
    bool ThinSolidPen() const;
    void PlainLine(Point a, Point b, QRgb color); // device pixels, last one left out
    void FillDeviceRect(const Rect& r, const Brush& brush);
    void SetupPainter(QPainter& p, bool withPen, bool withBrush) const;
    QFont DeviceFont() const;
    void DrawShape(int kind, const Rect& r, Point start, Point end, Size corner);

    QImage& target_;
    State state_;
    std::vector<State> saved_;
};

} // namespace platform

#include "platform/ui/drawing.h"
#include "support/guiapp.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Brush;
using platform::BrushStyle;
using platform::Canvas;
using platform::Color;
using platform::Pen;
using platform::PenStyle;
using platform::Point;
using platform::Rect;
using platform::Rgb;

constexpr Color kRed = Rgb(255, 0, 0);
constexpr Color kBlue = Rgb(0, 0, 255);
constexpr Color kGreen = Rgb(0, 255, 0);
constexpr Color kWhite = platform::kWhite;

Color At(const QImage& image, int x, int y) {
    return platform::FromQRgb(image.pixel(x, y));
}

// The picture as one character per pixel: '.' white, 'R' red, 'B' blue, 'G' green,
// '#' anything else; rows separated by '|'.
std::string Art(const QImage& image) {
    std::string out;
    for (int y = 0; y < image.height(); ++y) {
        if (y > 0) {
            out += '|';
        }
        for (int x = 0; x < image.width(); ++x) {
            Color c = At(image, x, y);
            out += c == kWhite ? '.' : c == kRed ? 'R' : c == kBlue ? 'B' : c == kGreen ? 'G' : '#';
        }
    }
    return out;
}

class DrawingTest : public ::testing::Test {
protected:
    void SetUp() override { tolvar::test::EnsureGuiApp(); }
};

TEST_F(DrawingTest, NewPictureIsFilledAndRgb32) {
    QImage image = platform::NewPicture(3, 2, kBlue);
    ASSERT_EQ(image.size(), QSize(3, 2));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(Art(image), "BBB|BBB");
    EXPECT_TRUE(platform::NewPicture(-4, 5).isNull());
    EXPECT_EQ(platform::ToQRgb(Rgb(1, 2, 3)), qRgb(1, 2, 3));
    EXPECT_EQ(platform::FromQRgb(qRgb(1, 2, 3)), Color(0x030201));
}

TEST_F(DrawingTest, LinesLeaveOutTheirLastPixel) {
    struct Case {
        Point from, to;
        std::string art;
    } cases[] = {
        {{0, 0}, {4, 0}, "RRRR.|.....|.....|.....|....."},
        {{4, 4}, {0, 4}, ".....|.....|.....|.....|.RRRR"},
        {{1, 0}, {1, 3}, ".R...|.R...|.R...|.....|....."},
        {{0, 0}, {4, 4}, "R....|.R...|..R..|...R.|....."},
        {{2, 2}, {2, 2}, ".....|.....|.....|.....|....."},
    };
    for (const auto& c : cases) {
        QImage image = platform::NewPicture(5, 5);
        Canvas canvas(image);
        canvas.SetPen(Pen{PenStyle::Solid, 1, kRed});
        canvas.MoveTo(c.from);
        canvas.LineTo(c.to);
        EXPECT_EQ(Art(image), c.art) << c.from.x << "," << c.from.y;
        EXPECT_EQ(canvas.Position(), c.to);
    }
}

TEST_F(DrawingTest, PolylineDrawsEachJointOnceAndLeavesOutTheEnd) {
    QImage image = platform::NewPicture(4, 4);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Solid, 0, kRed});
    const Point points[] = {{0, 0}, {3, 0}, {3, 3}};
    canvas.Polyline(points);
    EXPECT_EQ(Art(image), "RRRR|...R|...R|....");
}

TEST_F(DrawingTest, RectangleExcludesRightAndBottomEdges) {
    QImage image = platform::NewPicture(6, 5);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Solid, 1, kRed});
    canvas.SetBrush(Brush{BrushStyle::Solid, kBlue});
    canvas.Rectangle(Rect{1, 1, 5, 4});
    EXPECT_EQ(Art(image), "......|.RRRR.|.RBBR.|.RRRR.|......");
}

TEST_F(DrawingTest, RectangleWithoutPenFillsOnePixelLess) {
    QImage image = platform::NewPicture(5, 4);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Null});
    canvas.SetBrush(Brush{BrushStyle::Solid, kBlue});
    canvas.Rectangle(Rect{0, 0, 4, 3});
    EXPECT_EQ(Art(image), "BBB..|BBB..|.....|.....");
}

TEST_F(DrawingTest, FillRectExcludesEdgesAndStaysInsideThePicture) {
    QImage image = platform::NewPicture(4, 3);
    Canvas canvas(image);
    canvas.FillRect(Rect{2, 1, 10, 10}, Brush{BrushStyle::Solid, kGreen});
    canvas.FillRect(Rect{-5, -5, 1, 1}, Brush{BrushStyle::Solid, kRed});
    canvas.FillRect(Rect{0, 0, 4, 3}, Brush{BrushStyle::Null});
    EXPECT_EQ(Art(image), "R...|..GG|..GG");
}

TEST_F(DrawingTest, PolygonFillLeavesRightAndBottomEdgesOut) {
    QImage image = platform::NewPicture(5, 5);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Null});
    canvas.SetBrush(Brush{BrushStyle::Solid, kBlue});
    const Point square[] = {{1, 1}, {4, 1}, {4, 4}, {1, 4}};
    canvas.Polygon(square);
    EXPECT_EQ(Art(image), ".....|.BBB.|.BBB.|.BBB.|.....");
}

TEST_F(DrawingTest, EllipseStaysInsideItsBox) {
    QImage image = platform::NewPicture(12, 12);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Solid, 1, kRed});
    canvas.SetBrush(Brush{BrushStyle::Solid, kBlue});
    canvas.Ellipse(Rect{1, 1, 11, 11});
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(At(image, 11, i), kWhite) << i;
        EXPECT_EQ(At(image, i, 11), kWhite) << i;
        EXPECT_EQ(At(image, 0, i), kWhite) << i;
    }
    EXPECT_EQ(At(image, 1, 6), kRed);
    EXPECT_EQ(At(image, 10, 6), kRed);
    EXPECT_EQ(At(image, 6, 10), kRed);
    EXPECT_EQ(At(image, 6, 6), kBlue);
    EXPECT_EQ(At(image, 1, 1), kWhite);
}

TEST_F(DrawingTest, ArcRunsCounterClockwiseFromStartToEnd) {
    QImage image = platform::NewPicture(21, 21);
    Canvas canvas(image);
    canvas.SetPen(Pen{PenStyle::Solid, 1, kRed});
    // From the right (3 o'clock) counter-clockwise to the top: the upper right quarter.
    canvas.Arc(Rect{0, 0, 21, 21}, Point{20, 10}, Point{10, 0});
    int upperRight = 0, elsewhere = 0;
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 21; ++x) {
            if (At(image, x, y) == kRed) {
                (x >= 10 && y <= 10 ? upperRight : elsewhere)++;
            }
        }
    }
    EXPECT_GT(upperRight, 10);
    EXPECT_EQ(elsewhere, 0);
}

TEST_F(DrawingTest, StretchBltTakesTheNearestPixelWithoutSmoothing) {
    QImage source = platform::NewPicture(2, 2, kRed);
    source.setPixel(1, 0, platform::ToQRgb(kBlue));
    source.setPixel(0, 1, platform::ToQRgb(kGreen));
    source.setPixel(1, 1, platform::ToQRgb(kWhite));

    QImage big = platform::NewPicture(4, 4, Rgb(9, 9, 9));
    Canvas(big).StretchBlt(Rect{0, 0, 4, 4}, source, Rect{0, 0, 2, 2});
    EXPECT_EQ(Art(big), "RRBB|RRBB|GG..|GG..");

    // Shrinking 3 to 1 takes the middle source pixel.
    QImage row = platform::NewPicture(3, 1);
    row.setPixel(0, 0, platform::ToQRgb(kRed));
    row.setPixel(1, 0, platform::ToQRgb(kGreen));
    row.setPixel(2, 0, platform::ToQRgb(kBlue));
    QImage one = platform::NewPicture(1, 1);
    Canvas(one).StretchBlt(Rect{0, 0, 1, 1}, row, Rect{0, 0, 3, 1});
    EXPECT_EQ(Art(one), "G");

    // A ramp shrunk to an odd size holds only colours of the source.
    QImage ramp(101, 1, QImage::Format_RGB32);
    std::set<QRgb> sourceColours;
    for (int x = 0; x < 101; ++x) {
        ramp.setPixel(x, 0, qRgb(x * 2, 0, 0));
        sourceColours.insert(qRgb(x * 2, 0, 0));
    }
    QImage shrunk = platform::NewPicture(37, 1);
    Canvas(shrunk).StretchBlt(Rect{0, 0, 37, 1}, ramp, Rect{0, 0, 101, 1});
    for (int x = 0; x < 37; ++x) {
        EXPECT_TRUE(sourceColours.count(shrunk.pixel(x, 0))) << x;
    }

    // A negative destination width mirrors.
    QImage mirrored = platform::NewPicture(3, 1);
    Canvas(mirrored).StretchBlt(Rect{3, 0, 0, 1}, row, Rect{0, 0, 3, 1});
    EXPECT_EQ(Art(mirrored), "BGR");
}

TEST_F(DrawingTest, BitBltIsAPlainCopyClippedToThePicture) {
    QImage source = platform::NewPicture(3, 3, kBlue);
    source.setPixel(0, 0, platform::ToQRgb(kRed));
    QImage image = platform::NewPicture(4, 4);
    Canvas canvas(image);
    canvas.BitBlt(Point{-1, -1}, source, Rect{0, 0, 3, 3});
    canvas.BitBlt(Point{3, 3}, source, Rect{0, 0, 3, 3});
    EXPECT_EQ(Art(image), "BB..|BB..|....|...R");
}

TEST_F(DrawingTest, DibRowsPalettesAndBounds) {
    const Color palette[] = {kWhite, kRed, kBlue};
    // 4 x 2 at 8 bits, bottom row first, stride 4; index 7 lies past the palette.
    const std::uint8_t bits8[] = {2, 2, 2, 7, 1, 0, 1, 0};
    QImage image = platform::DibToImage({4, 2, 8, palette, bits8});
    EXPECT_EQ(Art(image), "R.R.|BBB#");
    EXPECT_EQ(At(image, 3, 1), platform::kBlack);

    // The same rows top row first.
    image = platform::DibToImage({4, -2, 8, palette, bits8});
    EXPECT_EQ(Art(image), "BBB#|R.R.");

    // 1 and 4 bits: most significant first.
    const std::uint8_t bits1[] = {0xA0, 0, 0, 0};
    EXPECT_EQ(Art(platform::DibToImage({3, 1, 1, palette, bits1})), "R.R");
    const std::uint8_t bits4[] = {0x12, 0x10, 0, 0};
    EXPECT_EQ(Art(platform::DibToImage({3, 1, 4, palette, bits4})), "RBR");

    // 24 bits: blue, green, red.
    const std::uint8_t bits24[] = {255, 0, 0, 0, 0, 255, 0, 0};
    EXPECT_EQ(Art(platform::DibToImage({2, 1, 24, {}, bits24})), "BR");

    // Bits too short for the header, bad depths and sizes give no picture.
    EXPECT_TRUE(platform::DibToImage({4, 3, 8, palette, bits8}).isNull());
    EXPECT_TRUE(platform::DibToImage({4, 2, 7, palette, bits8}).isNull());
    EXPECT_TRUE(platform::DibToImage({0, 2, 8, palette, bits8}).isNull());
    EXPECT_TRUE(platform::DibToImage({1 << 20, 1 << 20, 1, palette, bits8}).isNull());
    EXPECT_EQ(platform::DibStride(3, 1), 4u);
    EXPECT_EQ(platform::DibStride(5, 24), 16u);

    QImage target = platform::NewPicture(5, 2);
    Canvas canvas(target);
    EXPECT_TRUE(canvas.DrawDib(Point{1, 0}, {4, 2, 8, palette, bits8}));
    EXPECT_EQ(Art(target), ".R.R.|.BBB#");
    EXPECT_FALSE(canvas.DrawDib(Point{0, 0}, {4, 3, 8, palette, bits8}));
}

TEST_F(DrawingTest, MappingScalesLogicalCoordinates) {
    QImage image = platform::NewPicture(8, 4);
    Canvas canvas(image);
    canvas.SetWindowOrg(Point{10, 10});
    canvas.SetWindowExt(platform::Size{100, 100});
    canvas.SetViewportExt(platform::Size{200, 200});
    EXPECT_EQ(canvas.ToDevice(Point{11, 12}), (Point{2, 4}));
    canvas.FillRect(Rect{11, 10, 13, 11}, Brush{BrushStyle::Solid, kRed});
    EXPECT_EQ(Art(image), "..RRRR..|..RRRR..|........|........");
    EXPECT_EQ(canvas.WidthToDevice(3), 6);
}

TEST_F(DrawingTest, ClipAndSavedStates) {
    QImage image = platform::NewPicture(4, 2);
    Canvas canvas(image);
    const int level = canvas.Save();
    canvas.IntersectClip(Rect{1, 0, 3, 2});
    canvas.SetPen(Pen{PenStyle::Solid, 1, kBlue});
    canvas.FillRect(Rect{0, 0, 4, 1}, Brush{BrushStyle::Solid, kRed});
    canvas.Restore(level);
    EXPECT_EQ(canvas.GetPen().color, platform::kBlack);
    canvas.FillRect(Rect{0, 1, 4, 2}, Brush{BrushStyle::Solid, kGreen});
    EXPECT_EQ(Art(image), ".RR.|GGGG");
    canvas.Restore(5); // nothing saved at that level: no change
    EXPECT_FALSE(canvas.GetPixel(Point{4, 0}).has_value());
    EXPECT_EQ(*canvas.GetPixel(Point{1, 0}), kRed);
}

TEST_F(DrawingTest, TextIsDrawnInTheTextColourAtItsAlignment) {
    QImage image = platform::NewPicture(80, 30);
    Canvas canvas(image);
    platform::Font font;
    font.height = -16;
    canvas.SetFont(font);
    canvas.SetTextColor(platform::kBlack);
    canvas.SetBackgroundMode(platform::BackgroundMode::Transparent);
    canvas.TextOut(Point{2, 2}, QStringLiteral("HHH"));
    const platform::Size extent = canvas.TextExtent(QStringLiteral("HHH"));
    EXPECT_GT(extent.width, 10);
    EXPECT_GT(extent.height, 12);
    int left = 80, right = -1, top = 30, bottom = -1;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 80; ++x) {
            if (At(image, x, y) != kWhite) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    ASSERT_GE(right, 0) << "no text drawn";
    EXPECT_GE(left, 2);
    EXPECT_LE(right, 2 + extent.width);
    EXPECT_GE(top, 2);
    EXPECT_LE(bottom, 2 + extent.height);

    // Right-aligned text ends at the reference point; opaque mode fills its cell.
    QImage second = platform::NewPicture(80, 30);
    Canvas other(second);
    other.SetFont(font);
    other.SetBackgroundColor(kBlue);
    other.SetTextAlign(platform::TextAlign::Right | platform::TextAlign::Top);
    other.TextOut(Point{60, 2}, QStringLiteral("HHH"));
    EXPECT_EQ(At(second, 61, 5), kWhite);
    EXPECT_EQ(At(second, 59, 3), kBlue);
    EXPECT_EQ(At(second, 60 - extent.width - 2, 5), kWhite);
}

TEST_F(DrawingTest, PicturesCanBeDrawnOffTheGuiThread) {
    QImage image = platform::NewPicture(20, 20);
    std::thread worker([&image] {
        Canvas canvas(image);
        canvas.SetPen(Pen{PenStyle::Solid, 1, kRed});
        canvas.SetBrush(Brush{BrushStyle::Solid, kBlue});
        canvas.Rectangle(Rect{0, 0, 10, 10});
        canvas.Ellipse(Rect{10, 10, 20, 20});
        canvas.TextOut(Point{0, 10}, QStringLiteral("x"));
    });
    worker.join();
    EXPECT_EQ(At(image, 0, 0), kRed);
    EXPECT_EQ(At(image, 5, 5), kBlue);
}

} // namespace

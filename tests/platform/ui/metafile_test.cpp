#include "platform/ui/metafile.h"
#include "support/guiapp.h"
#include "support/metafiles.h"

#include <QPainter>
#include <QPainterPath>
#include <gtest/gtest.h>
#include <string>

namespace {

using platform::Color;
using platform::Metafile;
using platform::Rgb;
using tolvar::test::MetafileFixture;

constexpr Color kWhite = platform::kWhite, kBlack = platform::kBlack;
constexpr Color kRed = Rgb(255, 0, 0), kGreen = Rgb(0, 160, 0), kBlue = Rgb(0, 0, 255),
                kYellow = Rgb(255, 255, 0);

class MetafilePixels : public ::testing::Test {
protected:
    void SetUp() override { tolvar::test::EnsureGuiApp(); }

    // The fixture drawn at its own size (or onto width x height) on white.
    static QImage Draw(const std::string& file, int width = 0, int height = 0) {
        auto mf = Metafile::Load(MetafileFixture(file));
        EXPECT_TRUE(mf.has_value()) << file;
        if (!mf)
            return {};
        if (width == 0)
            width = mf->Width(), height = mf->Height();
        QImage picture = platform::NewPicture(width, height);
        platform::DrawMetafile(picture, *mf, {0, 0, width, height});
        return picture;
    }

    static Color At(const QImage& image, int x, int y) {
        return platform::FromQRgb(image.pixel(x, y));
    }

    static bool Near(Color a, Color b, int tolerance) {
        return std::abs(platform::RedOf(a) - platform::RedOf(b)) <= tolerance &&
               std::abs(platform::GreenOf(a) - platform::GreenOf(b)) <= tolerance &&
               std::abs(platform::BlueOf(a) - platform::BlueOf(b)) <= tolerance;
    }

    // Pixels of one picture that no pixel of the other matches at or next to the same
    // place, counted both ways: edges may fall a pixel apart where two rasterisers round
    // differently, but a shape missing, misplaced or in another colour counts whole.
    static int Mismatches(const QImage& a, const QImage& b, int tolerance = 8) {
        if (a.size() != b.size())
            return a.width() * a.height() + 1;
        int count = 0;
        for (const auto& [one, other] : {std::pair(&a, &b), std::pair(&b, &a)}) {
            for (int y = 0; y < one->height(); ++y) {
                for (int x = 0; x < one->width(); ++x) {
                    bool matched = false;
                    for (int dy = -1; dy <= 1 && !matched; ++dy) {
                        for (int dx = -1; dx <= 1 && !matched; ++dx) {
                            const int u = x + dx, v = y + dy;
                            matched = u >= 0 && v >= 0 && u < other->width() &&
                                      v < other->height() &&
                                      Near(At(*one, x, y), At(*other, u, v), tolerance);
                        }
                    }
                    count += !matched;
                }
            }
        }
        return count;
    }

    // A white picture of the fixtures' size and an aliased painter on it, for the
    // reference pictures the tests draw with the toolkit.
    static QImage Blank() { return platform::NewPicture(240, 96); }
    static void Prepare(QPainter& painter) {
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::NoPen);
    }

    struct Ink {
        int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1, count = 0;
    };
    // Where pixels of a colour stand inside a region (right and bottom exclusive).
    static Ink Find(const QImage& image, Color color, int l, int t, int r, int b) {
        Ink ink;
        for (int y = t; y < b; ++y) {
            for (int x = l; x < r; ++x) {
                if (At(image, x, y) == color) {
                    ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
                    ink.top = std::min(ink.top, y), ink.bottom = std::max(ink.bottom, y);
                    ++ink.count;
                }
            }
        }
        return ink;
    }
};

struct PixelCheck {
    int x, y;
    Color color;
    const char* why;
};

struct FamilyCase {
    const char* family;
    std::vector<PixelCheck> checks;
};

const FamilyCase kFamilies[] = {
    {"lines",
     {{10, 10, kRed, "line start"},
      {29, 10, kRed, "line end but one"},
      {30, 10, kWhite, "a line leaves out its last pixel"},
      {30, 20, kRed, "polyline corner"},
      {30, 39, kRed, "polyline end but one"},
      {30, 40, kWhite, "polyline leaves out its last pixel"},
      {80, 20, kBlue, "wide pen"},
      {80, 30, kWhite, "beside the wide pen"},
      {30, 60, kWhite, "null pen draws nothing"}}},
    {"shapes",
     {{10, 10, kBlack, "rectangle outline, top left"},
      {29, 19, kBlack, "rectangle outline, bottom right inside"},
      {30, 15, kWhite, "right edge excluded"},
      {15, 20, kWhite, "bottom edge excluded"},
      {15, 15, kBlue, "rectangle fill"},
      {50, 20, kBlue, "ellipse fill"},
      {41, 11, kWhite, "outside the ellipse, inside its box"},
      {50, 10, kBlack, "ellipse outline at the top"},
      {90, 25, kBlue, "rounded rectangle fill"},
      {70, 10, kWhite, "rounded corner"},
      {90, 10, kBlack, "rounded rectangle's top edge"},
      {130, 20, kWhite, "hollow brush"},
      {120, 20, kBlack, "hollow brush's outline"}}},
    {"polygons",
     {{15, 15, kGreen, "triangle"},
      {45, 45, kWhite, "beside the triangle"},
      {65, 15, kGreen, "outer square"},
      {80, 30, kWhite, "alternate fill leaves the inner square"},
      {115, 15, kGreen, "outer square, winding"},
      {130, 30, kGreen, "winding fill covers the inner square"}}},
    {"arcs",
     {{38, 22, kRed, "pie: the top right quarter"},
      {22, 38, kWhite, "pie: not the opposite quarter"},
      {22, 22, kWhite, "pie: not the top left quarter"},
      {80, 20, kRed, "chord: the upper half"},
      {80, 40, kWhite, "chord: not the lower half"},
      {130, 10, kBlack, "arc: its top"},
      {130, 49, kWhite, "arc: not the lower half"},
      {130, 20, kWhite, "arc: never filled"}}},
    {"bitmap",
     {{10, 10, kRed, "2x2 stretched: top left"},
      {19, 19, kRed, "top left quarter's last pixel"},
      {20, 19, kGreen, "top right quarter, no smoothing"},
      {29, 10, kGreen, "top right"},
      {10, 29, kBlue, "bottom left"},
      {29, 29, kWhite, "bottom right"},
      {45, 15, kBlack, "4-bit: index 0"},
      {55, 15, kRed, "4-bit: index 1"},
      {65, 15, kGreen, "4-bit: index 2"},
      {75, 15, kBlue, "4-bit: index 3"},
      {45, 25, kBlue, "4-bit: second row"},
      {90, 10, kBlack, "1-bit: index 1 is black"},
      {92, 12, kWhite, "1-bit: index 0 is white"},
      {94, 13, kBlack, "1-bit: third pixel"},
      {120, 10, kGreen, "source rectangle: the top right pixel"},
      {129, 29, kGreen, "source rectangle stretched"},
      {150, 10, kBlue, "pattern fill"},
      {159, 19, kBlue, "pattern fill's last pixel"},
      {160, 19, kWhite, "pattern fill's right edge excluded"}}},
    {"mapping",
     {{10, 10, kBlue, "window origin and extent"},
      {28, 28, kBlue, "halved"},
      {30, 30, kWhite, "beyond"},
      {50, 10, kBlue, "after the saved state came back"},
      {70, 10, kWhite, "beyond the second"}}},
    {"objects",
     {{10, 10, kBlue, "the pen in the freed slot"},
      {20, 20, kGreen, "the brush in the second slot"},
      {40, 10, kBlue, "selecting nothing keeps the pen"},
      {50, 20, kGreen, "and the brush"}}},
};

TEST_F(MetafilePixels, EachRecordFamilyInBothFormats) {
    for (const FamilyCase& c : kFamilies) {
        for (const char* ext : {".wmf", ".emf"}) {
            const std::string file = std::string(c.family) + ext;
            const QImage picture = Draw(file);
            ASSERT_EQ(picture.size(), QSize(240, 96)) << file;
            for (const PixelCheck& p : c.checks)
                EXPECT_EQ(At(picture, p.x, p.y), p.color)
                    << file << " at " << p.x << "," << p.y << ": " << p.why;
        }
    }
}

TEST_F(MetafilePixels, WmfWithoutThePlaceableHeaderDrawsLikeWithIt) {
    // Each family's pixel checks hold for the WMF without the placeable header too; its
    // size comes from the window extent, which every family but mapping sets to the
    // picture's 240 x 96. Mapping's extent of half pixels doubles its size, while its own
    // viewport records keep what it draws where it was.
    for (const FamilyCase& c : kFamilies) {
        const std::string family = c.family;
        const std::string file = family + "_plain.wmf";
        const bool halfPixels = family == "mapping";
        auto mf = Metafile::Load(MetafileFixture(file));
        ASSERT_TRUE(mf) << file;
        EXPECT_EQ(QSize(mf->Width(), mf->Height()), halfPixels ? QSize(480, 192) : QSize(240, 96))
            << file;
        const QImage picture = Draw(file);
        for (const PixelCheck& p : c.checks)
            EXPECT_EQ(At(picture, p.x, p.y), p.color)
                << file << " at " << p.x << "," << p.y << ": " << p.why;
        if (!halfPixels) {
            EXPECT_EQ(picture, Draw(family + ".wmf")) << file;
        }
    }
}

TEST_F(MetafilePixels, HatchedBrushOnATransparentBackground) {
    for (const char* file : {"shapes.wmf", "shapes.emf"}) {
        const QImage picture = Draw(file);
        // Horizontal hatch lines: some rows of the inside are red, the rows between stay
        // white (transparent background).
        int redRows = 0, whiteRows = 0;
        for (int y = 11; y < 49; ++y) {
            const Ink red = Find(picture, kRed, 151, y, 189, y + 1);
            redRows += red.count == 189 - 151;
            whiteRows += Find(picture, kWhite, 151, y, 189, y + 1).count == 189 - 151;
        }
        EXPECT_GE(redRows, 3) << file;
        EXPECT_GE(whiteRows, 20) << file;
        EXPECT_EQ(redRows + whiteRows, 49 - 11) << file;
    }
}

TEST_F(MetafilePixels, TextWithArialMetrics) {
    for (const char* file : {"text.wmf", "text.emf", "text_plain.wmf"}) {
        const QImage picture = Draw(file);
        // Ten "H" of 20 pixels from 10,10: Arial's advance (1479 of 2048 units) puts the
        // last stem's right edge near 10 + 9 * 14.44 + 12.84 = 152.8; the caps stand from
        // the ascent (18.1) less the cap height (14.3) down to the baseline.
        const Ink black = Find(picture, kBlack, 0, 0, 240, 50);
        EXPECT_GE(black.left, 11) << file;
        EXPECT_LE(black.left, 13) << file;
        EXPECT_GE(black.right, 150) << file;
        EXPECT_LE(black.right, 154) << file;
        EXPECT_GE(black.top, 12) << file;
        EXPECT_LE(black.top, 15) << file;
        EXPECT_GE(black.bottom, 26) << file;
        EXPECT_LE(black.bottom, 28) << file;

        // The opaque rectangle in the background colour, the text over it in blue.
        EXPECT_EQ(At(picture, 5, 55), kYellow) << file;
        EXPECT_EQ(At(picture, 39, 89), kYellow) << file;
        EXPECT_EQ(At(picture, 40, 89), kWhite) << file;
        EXPECT_EQ(At(picture, 4, 55), kWhite) << file;
        EXPECT_GT(Find(picture, kBlue, 5, 55, 40, 90).count, 20) << file;

        // The record's own advances, 30 pixels: each "H" starts 30 pixels after the one
        // before, with white between them.
        for (int i = 0; i < 3; ++i) {
            const Ink h = Find(picture, kBlue, 95 + 30 * i, 55, 125 + 30 * i, 96);
            EXPECT_GE(h.left, 101 + 30 * i) << file << " H " << i;
            EXPECT_LE(h.left, 103 + 30 * i) << file << " H " << i;
            EXPECT_LE(h.right, 114 + 30 * i) << file << " H " << i;
        }

        // Right-aligned at 230: the last stem ends 1.6 pixels before it.
        const Ink right = Find(picture, kBlue, 190, 55, 240, 96);
        EXPECT_GE(right.right, 226) << file;
        EXPECT_LE(right.right, 229) << file;
        EXPECT_GE(right.left, 230 - 2 * 15) << file;
    }
}

TEST_F(MetafilePixels, StretchedOntoALargerPicture) {
    for (const char* file : {"shapes.wmf", "shapes.emf"}) {
        const QImage picture = Draw(file, 480, 192);
        EXPECT_EQ(At(picture, 20, 20), kBlack) << file;
        EXPECT_EQ(At(picture, 59, 39), kBlack) << file;
        EXPECT_EQ(At(picture, 60, 30), kWhite) << file;
        EXPECT_EQ(At(picture, 30, 30), kBlue) << file;
        EXPECT_EQ(At(picture, 100, 40), kBlue) << file; // the ellipse's centre
    }
}

TEST_F(MetafilePixels, DrawingStaysInsideThePicture) {
    // A target far larger than the picture and one that mirrors: nothing outside is
    // touched and nothing fails.
    auto mf = Metafile::Load(MetafileFixture("bitmap.emf"));
    ASSERT_TRUE(mf);
    QImage picture = platform::NewPicture(40, 30);
    platform::DrawMetafile(picture, *mf, {-1000, -1000, 100000, 40000});
    platform::DrawMetafile(picture, *mf, {40, 30, 0, 0});
    EXPECT_EQ(picture.size(), QSize(40, 30));
    QImage none;
    platform::DrawMetafile(none, *mf, {0, 0, 10, 10});
    EXPECT_TRUE(none.isNull());
}

constexpr Color kGreen160 = kGreen;

QColor Q(Color c) {
    return QColor(platform::RedOf(c), platform::GreenOf(c), platform::BlueOf(c));
}

TEST_F(MetafilePixels, BezierPathsAndCurvesAsTheirReference) {
    const QImage picture = Draw("beziers.emf");
    QImage reference = Blank();
    {
        QPainter painter(&reference);
        Prepare(painter);
        painter.setBrush(Q(kRed));
        painter.drawEllipse(QPointF(40, 48), 30, 30); // the circle the four curves make
        QPainterPath curves;
        curves.moveTo(100, 80);
        curves.cubicTo(130, 0, 160, 96, 190, 20);
        curves.moveTo(200, 80);
        curves.cubicTo(210, 10, 230, 10, 235, 80);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Q(kBlue), 0));
        painter.drawPath(curves);
    }
    EXPECT_EQ(At(picture, 40, 48), kRed) << "the circle is filled";
    EXPECT_EQ(At(picture, 14, 48), kRed);
    EXPECT_EQ(At(picture, 40, 20), kRed);
    EXPECT_EQ(At(picture, 15, 23), kWhite) << "outside the circle, inside its box";
    EXPECT_GT(Find(picture, kBlue, 100, 0, 240, 96).count, 150) << "the stroked curves";
    EXPECT_LE(Mismatches(picture, reference), 4);
}

TEST_F(MetafilePixels, PathsFilledStrokedAndAborted) {
    const QImage picture = Draw("paths.emf");
    QImage reference = Blank();
    {
        QPainter painter(&reference);
        Prepare(painter);
        painter.fillRect(QRect(10, 10, 50, 40), Q(kGreen160));
        painter.setPen(QPen(Q(kBlack), 0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRect(10, 10, 50, 40));
        painter.setPen(QPen(Q(kRed), 0));
        painter.drawPolygon(QPolygon({QPoint(80, 10), QPoint(120, 50), QPoint(80, 50)}));
    }
    EXPECT_EQ(At(picture, 30, 30), kGreen160) << "stroked and filled";
    EXPECT_EQ(At(picture, 10, 30), kBlack) << "its outline";
    EXPECT_EQ(At(picture, 90, 40), kWhite) << "stroked only";
    EXPECT_EQ(At(picture, 80, 30), kRed);
    EXPECT_EQ(Find(picture, kBlack, 140, 0, 240, 96).count, 0) << "aborted: nothing";
    EXPECT_LE(Mismatches(picture, reference), 4);
}

TEST_F(MetafilePixels, WorldTransformsScaleTurnAndCombine) {
    const QImage picture = Draw("transform.emf");
    QImage reference = Blank();
    {
        QPainter painter(&reference);
        Prepare(painter);
        painter.fillRect(QRect(10, 10, 40, 20), Q(kBlue));
        painter.setBrush(Q(kRed));
        const double d = 20 * std::sqrt(2.0); // corners of the turned square
        painter.drawPolygon(QPolygonF({QPointF(120, 48 - d), QPointF(120 + d, 48),
                                       QPointF(120, 48 + d), QPointF(120 - d, 48)}));
        painter.fillRect(QRect(180, 20, 20, 20), Q(kGreen160));
    }
    EXPECT_EQ(At(picture, 12, 12), kBlue);
    EXPECT_EQ(At(picture, 48, 28), kBlue);
    EXPECT_EQ(At(picture, 120, 48), kRed) << "the turned square's centre";
    EXPECT_EQ(At(picture, 101, 29), kWhite) << "a corner of the unturned square";
    EXPECT_EQ(At(picture, 190, 30), kGreen160) << "scaled first, then moved";
    EXPECT_LE(Mismatches(picture, reference), 4);
}

TEST_F(MetafilePixels, ClippingKeptAndRestoredWithTheSavedState) {
    for (const char* file : {"clipping.emf", "clipping.wmf"}) {
        const bool enhanced = std::string(file).ends_with(".emf");
        const QImage picture = Draw(file);
        QImage reference = Blank();
        {
            QPainter painter(&reference);
            Prepare(painter);
            painter.fillRect(QRect(10, 10, 40, 40), Q(kBlue));
            painter.fillRect(QRect(60, 10, 60, 40), Q(kGreen160));
            painter.fillRect(QRect(80, 20, 20, 20), Qt::white); // the excluded hole
            if (enhanced) {
                painter.fillRect(QRect(130, 10, 20, 20), Q(kRed));
                painter.fillRect(QRect(160, 10, 20, 20), Q(kRed));
                painter.setBrush(Q(kYellow));
                painter.drawEllipse(QRectF(190, 10, 40, 40));
            }
            painter.fillRect(QRect(0, 70, 240, 10), Q(kBlack));
        }
        EXPECT_EQ(At(picture, 30, 30), kBlue) << file;
        EXPECT_EQ(At(picture, 55, 30), kWhite) << file << ": outside the clip rectangle";
        EXPECT_EQ(At(picture, 90, 30), kWhite) << file << ": the excluded hole";
        EXPECT_EQ(At(picture, 70, 30), kGreen160) << file;
        EXPECT_EQ(At(picture, 5, 75), kBlack) << file << ": no clip after the last restore";
        EXPECT_EQ(At(picture, 235, 75), kBlack) << file;
        if (enhanced) {
            EXPECT_EQ(At(picture, 140, 20), kRed) << "the region's first rectangle";
            EXPECT_EQ(At(picture, 155, 20), kWhite) << "between the region's rectangles";
            EXPECT_EQ(At(picture, 210, 30), kYellow) << "inside the clip path";
            EXPECT_EQ(At(picture, 192, 12), kWhite) << "outside the clip path";
        }
        EXPECT_LE(Mismatches(picture, reference), 4) << file;
    }
}

TEST_F(MetafilePixels, GradientRectanglesAndTriangles) {
    const QImage picture = Draw("gradient.emf");
    struct Case {
        int x, y;
        Color color;
        const char* why;
    } cases[] = {
        {10, 25, kRed, "horizontal: red at the left edge"},
        {109, 25, kBlue, "blue at the right edge"},
        {60, 25, Rgb(127, 0, 127), "half way"},
        {60, 50, kGreen160, "vertical: green at the top"},
        {60, 89, kWhite, "white at the bottom"},
        {60, 70, Rgb(127, 207, 127), "half way"},
        {131, 11, kRed, "triangle: its first corner"},
        {228, 11, kGreen160, "its second"},
        {180, 88, kBlue, "its third"},
        {180, 36, Rgb(85, 53, 85), "its centre mixes all three"},
        {140, 60, kWhite, "outside it"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(Near(At(picture, c.x, c.y), c.color, 6))
            << c.x << "," << c.y << ": " << c.why << " is " << std::hex << At(picture, c.x, c.y);
    }
}

TEST_F(MetafilePixels, AlphaBlendWithConstantAndSourceAlpha) {
    const QImage picture = Draw("blend.emf");
    EXPECT_TRUE(Near(At(picture, 30, 30), Rgb(128, 0, 127), 2)) << std::hex << At(picture, 30, 30);
    EXPECT_EQ(At(picture, 80, 30), kBlue) << "beside the blended bitmap";
    EXPECT_TRUE(Near(At(picture, 150, 30), Rgb(127, 255, 127), 2))
        << std::hex << At(picture, 150, 30);
}

TEST_F(MetafilePixels, MaskBltCopiesTheSourceWhereTheMaskIsSet) {
    const QImage picture = Draw("maskblt.emf");
    for (int row = 0; row < 2; ++row) {
        for (int col = 0; col < 4; ++col) {
            const bool set = (row + col) % 2 == 0;
            EXPECT_EQ(At(picture, 15 + 10 * col, 15 + 10 * row), set ? kRed : kBlue)
                << "cell " << col << "," << row;
        }
    }
}

TEST_F(MetafilePixels, DamagedFilesDrawEveryRecordTheyHold) {
    // The header counts 1000 words more than the file holds: drawn whole.
    EXPECT_EQ(Draw("counted_long.wmf"), Draw("shapes.wmf"));
    // Cut inside its last record: everything before it is drawn, the hatched rectangle
    // is not.
    const QImage cut = Draw("cut.wmf"), whole = Draw("shapes.wmf");
    EXPECT_EQ(cut.copy(0, 0, 145, 96), whole.copy(0, 0, 145, 96));
    EXPECT_EQ(Find(cut, kRed, 145, 0, 240, 96).count, 0);
    EXPECT_EQ(Find(cut, kBlack, 145, 0, 240, 96).count, 0);

    // A bitmap whose colour table is short is skipped; the records around it are drawn.
    const QImage table = Draw("short_table.emf");
    EXPECT_EQ(At(table, 15, 15), kBlue);
    EXPECT_EQ(Find(table, kWhite, 40, 10, 80, 30).count, 40 * 20);
    EXPECT_EQ(At(table, 105, 15), kRed);
    EXPECT_EQ(At(table, 115, 25), kWhite);
}

} // namespace

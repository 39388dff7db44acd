#include "platform/ui/pictures.h"
#include "saver/aximage.h"
#include "support/gifwriter.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QBuffer>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using tolvar::test::BmpBytes;

using tolvar::test::GifColour;
using tolvar::test::GifWriter;
using tolvar::test::WriteFile;

constexpr QRgb kRed = qRgb(255, 0, 0);
constexpr QRgb kGreen = qRgb(0, 255, 0);
constexpr QRgb kBlue = qRgb(0, 0, 255);
constexpr QRgb kYellow = qRgb(255, 255, 0);
constexpr QRgb kWhite = qRgb(255, 255, 255);

const std::vector<GifColour> kQuadrantColours = {
    {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};

// Quadrant index of a pixel: 0 red top left, 1 green top right, 2 blue bottom left,
// 3 yellow bottom right.
std::uint8_t Quadrant(int x, int y, int w, int h) {
    return std::uint8_t((x >= w / 2 ? 1 : 0) + (y >= h / 2 ? 2 : 0));
}

std::string QuadrantGif(int w, int h, bool trailer = true) {
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            pixels.push_back(Quadrant(x, y, w, h));
        }
    }
    GifWriter writer(std::uint16_t(w), std::uint16_t(h), kQuadrantColours, 0, 1);
    writer.Descriptor(0, 0, std::uint16_t(w), std::uint16_t(h)).Pixels(2, pixels);
    if (trailer) {
        writer.Trailer();
    }
    return writer.Bytes();
}

QImage QuadrantImage(int w, int h) {
    const QRgb colours[] = {kRed, kGreen, kBlue, kYellow};
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setPixel(x, y, colours[Quadrant(x, y, w, h)]);
        }
    }
    return image;
}

bool Near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) <= 40 && std::abs(qGreen(a) - qGreen(b)) <= 40 &&
           std::abs(qBlue(a) - qBlue(b)) <= 40;
}

class AXImageTest : public ::testing::Test {
protected:
    void SetUp() override { tolvar::test::EnsureGuiApp(); }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = folder.Path() + "/" + name;
        WriteFile(path, bytes);
        return path;
    }
    tolvar::test::TempFolder folder;
};

TEST_F(AXImageTest, StartsEmpty) {
    AXImage image;
    EXPECT_FALSE(image.SizeToPicture);
    EXPECT_EQ(image.ScaleDivisor, 1);
    EXPECT_FALSE(image.Stretch);
    EXPECT_TRUE(image.Picture().isNull());
    EXPECT_EQ(image.Width(), 0);
}

TEST_F(AXImageTest, ChoosesTheReaderByTheLowerCasedExtension) {
    const std::string gif = QuadrantGif(4, 4);
    const std::string jpeg = tolvar::test::JpegBytes(QuadrantImage(16, 16));
    struct Case {
        std::string name;
        const std::string* bytes;
        bool loads;
    } cases[] = {
        {"banner.JPG", &jpeg, true},  {"banner.Jpeg", &jpeg, true}, {"face.Gif", &gif, true},
        {"pic.tar.gif", &gif, true},  {"noextension", &gif, false}, {"trailingdot.", &gif, false},
        {"picture.png", &gif, false},
    };
    for (const auto& c : cases) {
        AXImage image;
        image.SizeToPicture = true;
        image.LoadFromFile(Write(c.name, *c.bytes));
        EXPECT_EQ(!image.Picture().isNull(), c.loads) << c.name;
        EXPECT_EQ(image.Width() > 0, c.loads) << c.name;
    }
    // The only "." stands in a folder name: the rest of the path is the extension.
    const std::string folderPath = folder.Path() + "/photos.old";
    ASSERT_EQ(mkdir(folderPath.c_str(), 0755), 0);
    AXImage image;
    image.SizeToPicture = true;
    image.LoadFromFile(Write("photos.old/image", gif));
    EXPECT_TRUE(image.Picture().isNull());
}

TEST_F(AXImageTest, GifShrunkByTheDivisorIntoItsOwnSize) {
    AXImage image;
    image.SizeToPicture = true;
    image.ScaleDivisor = 2;
    image.LoadFromFile(Write("a.gif", QuadrantGif(101, 81)));
    ASSERT_EQ(image.Width(), 50);
    ASSERT_EQ(image.Height(), 40);
    const QImage& p = image.Picture();
    ASSERT_EQ(p.size(), QSize(50, 40));
    // The whole image, shrunk: every quadrant reaches its corner.
    EXPECT_EQ(p.pixel(0, 0), kRed);
    EXPECT_EQ(p.pixel(49, 0), kGreen);
    EXPECT_EQ(p.pixel(0, 39), kBlue);
    EXPECT_EQ(p.pixel(49, 39), kYellow);
    EXPECT_EQ(p.pixel(24, 19), kRed);
    EXPECT_EQ(p.pixel(26, 21), kYellow);
}

TEST_F(AXImageTest, GifAtFullSizeShowsItsTopLeftInASmallerControl) {
    AXImage image;
    image.SetSize(40, 40);
    image.LoadFromFile(Write("a.gif", QuadrantGif(101, 81)));
    EXPECT_EQ(image.Width(), 40);
    const QImage& p = image.Picture();
    ASSERT_EQ(p.size(), QSize(40, 40));
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 40; ++x) {
            ASSERT_EQ(p.pixel(x, y), kRed) << x << "," << y;
        }
    }
    // A larger control is white where the picture does not reach.
    AXImage large;
    large.SetSize(120, 90);
    large.LoadFromFile(Write("b.gif", QuadrantGif(101, 81)));
    EXPECT_EQ(large.Picture().pixel(100, 80), kYellow);
    EXPECT_EQ(large.Picture().pixel(101, 80), kWhite);
    EXPECT_EQ(large.Picture().pixel(100, 81), kWhite);
}

TEST_F(AXImageTest, GifStretchedOverTheControl) {
    AXImage image;
    image.SetSize(8, 8);
    image.Stretch = true;
    image.LoadFromFile(Write("a.gif", QuadrantGif(2, 2)));
    const QImage& p = image.Picture();
    EXPECT_EQ(p.pixel(3, 3), kRed);
    EXPECT_EQ(p.pixel(4, 3), kGreen);
    EXPECT_EQ(p.pixel(3, 4), kBlue);
    EXPECT_EQ(p.pixel(7, 7), kYellow);
}

TEST_F(AXImageTest, GifSizingCases) {
    // A 101 x 81 quadrant picture. Stretched or shrunk, the whole picture fills the
    // control: each corner shows its quadrant; at its own size it stands at the top left
    // and the control is white beyond it.
    const std::string path = Write("q.gif", QuadrantGif(101, 81));
    struct Case {
        int divisor;
        bool sizeToPicture, stretch;
        QSize control, expected;
        bool whole; // the whole picture fills the control
    } cases[] = {
        {2, true, false, {}, {50, 40}, true},        {4, true, false, {}, {25, 20}, true},
        {8, true, false, {7, 7}, {12, 10}, true},    {3, true, false, {}, {33, 27}, true},
        {1, true, false, {5, 5}, {101, 81}, true},   {1, true, true, {}, {101, 81}, true},
        {2, false, false, {30, 20}, {30, 20}, true}, {1, false, true, {30, 20}, {30, 20}, true},
        {4, true, true, {}, {25, 20}, true},         {1, false, false, {120, 90}, {120, 90}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "divisor " << c.divisor << " size-to-picture "
                                          << c.sizeToPicture << " stretch " << c.stretch);
        AXImage image;
        image.SetSize(c.control.width(), c.control.height());
        image.ScaleDivisor = c.divisor;
        image.SizeToPicture = c.sizeToPicture;
        image.Stretch = c.stretch;
        image.LoadFromFile(path);
        ASSERT_EQ(QSize(image.Width(), image.Height()), c.expected);
        const QImage& p = image.Picture();
        ASSERT_EQ(p.size(), c.expected);
        const int w = c.whole ? p.width() : 101, h = c.whole ? p.height() : 81;
        EXPECT_EQ(p.pixel(0, 0), kRed);
        EXPECT_EQ(p.pixel(w - 1, 0), kGreen);
        EXPECT_EQ(p.pixel(0, h - 1), kBlue);
        EXPECT_EQ(p.pixel(w - 1, h - 1), kYellow);
        if (!c.whole) {
            EXPECT_EQ(p.pixel(w, h - 1), kWhite);
            EXPECT_EQ(p.pixel(w - 1, h), kWhite);
        }
    }
}

TEST_F(AXImageTest, GifCutAfterItsFirstFrameShowsIt) {
    AXImage image;
    image.SizeToPicture = true;
    image.LoadFromFile(Write("cut.gif", QuadrantGif(6, 6, false)));
    ASSERT_EQ(image.Width(), 6);
    EXPECT_EQ(image.Picture().pixel(5, 5), kYellow);

    // Without a single frame the control stays as it was.
    AXImage empty;
    empty.SetSize(3, 3);
    empty.SizeToPicture = true;
    empty.LoadFromFile(Write("header.gif", QuadrantGif(6, 6).substr(0, 20)));
    EXPECT_EQ(empty.Width(), 3);
    EXPECT_TRUE(empty.Picture().isNull());
}

TEST_F(AXImageTest, TransparentGifPixelsShowWhite) {
    const std::string bytes = GifWriter(2, 1, kQuadrantColours, 0, 1)
                                  .GraphicControl(0, 0, 1)
                                  .Descriptor(0, 0, 2, 1)
                                  .Pixels(2, {0, 1})
                                  .Trailer()
                                  .Bytes();
    AXImage image;
    image.SizeToPicture = true;
    image.LoadFromFile(Write("t.gif", bytes));
    EXPECT_EQ(image.Picture().pixel(0, 0), kRed);
    EXPECT_EQ(image.Picture().pixel(1, 0), kWhite);
}

TEST_F(AXImageTest, ScaleDivisorBelowOneCountsAsOne) {
    for (int divisor : {0, -4}) {
        AXImage image;
        image.SizeToPicture = true;
        image.ScaleDivisor = divisor;
        image.LoadFromFile(Write("a.gif", QuadrantGif(10, 6)));
        EXPECT_EQ(image.Width(), 10) << divisor;
        EXPECT_EQ(image.Height(), 6) << divisor;
        EXPECT_EQ(image.Picture().pixel(9, 5), kYellow);
    }
}

TEST_F(AXImageTest, JpegSizesAndStretching) {
    const std::string path = Write("q.jpg", tolvar::test::JpegBytes(QuadrantImage(64, 32)));
    struct Case {
        int divisor;
        bool sizeToPicture, stretch;
        QSize control, expected;
    } cases[] = {
        {1, true, false, {}, {64, 32}},    {2, true, false, {}, {32, 16}},
        {8, true, false, {}, {8, 4}},      {3, true, false, {}, {64, 32}},
        {4, false, false, {5, 5}, {5, 5}}, {1, false, true, {16, 8}, {16, 8}},
    };
    for (const auto& c : cases) {
        AXImage image;
        image.SetSize(c.control.width(), c.control.height());
        image.SizeToPicture = c.sizeToPicture;
        image.ScaleDivisor = c.divisor;
        image.Stretch = c.stretch;
        image.LoadFromFile(path);
        ASSERT_EQ(QSize(image.Width(), image.Height()), c.expected) << c.divisor;
        const QImage& p = image.Picture();
        ASSERT_EQ(p.size(), c.expected);
        EXPECT_TRUE(Near(p.pixel(0, 0), kRed));
        if (c.control.width() != 5) {
            EXPECT_TRUE(Near(p.pixel(p.width() - 1, p.height() - 1), kYellow)) << c.divisor;
        }
    }
    // Unstretched and smaller than the control: white beyond it.
    AXImage wide;
    wide.SetSize(20, 10);
    wide.ScaleDivisor = 8;
    wide.LoadFromFile(path);
    EXPECT_TRUE(Near(wide.Picture().pixel(7, 3), kYellow));
    EXPECT_EQ(wide.Picture().pixel(8, 3), kWhite);
    EXPECT_EQ(wide.Picture().pixel(7, 4), kWhite);
}

TEST_F(AXImageTest, UnreadableJpegsAndMetafiles) {
    for (const std::string name : {"missing.jpg", "bad.jpg", "any.wmf", "any.emf"}) {
        if (name != "missing.jpg") {
            Write(name, "not a picture");
        }
        const std::string path = folder.Path() + "/" + name;
        AXImage sized;
        sized.SetSize(7, 5);
        sized.SizeToPicture = true;
        sized.LoadFromFile(path);
        EXPECT_EQ(sized.Width(), 0) << name;
        EXPECT_EQ(sized.Height(), 0) << name;

        AXImage plain;
        plain.SetSize(7, 5);
        plain.LoadFromFile(path);
        ASSERT_EQ(plain.Picture().size(), QSize(7, 5)) << name;
        for (int i = 0; i < 35; ++i) {
            ASSERT_EQ(plain.Picture().pixel(i % 7, i / 7), kWhite) << name;
        }
    }
}

TEST_F(AXImageTest, BitmapsKeepTheirOwnSize) {
    const std::string path = Write("b.bmp", BmpBytes(QuadrantImage(6, 4)));
    AXImage image;
    image.SetSize(30, 30);
    image.SizeToPicture = true;
    image.ScaleDivisor = 2;
    image.LoadFromFile(path);
    EXPECT_EQ(image.Width(), 30);
    EXPECT_EQ(image.Height(), 30);
    ASSERT_EQ(image.Picture().size(), QSize(6, 4));
    EXPECT_EQ(image.Picture().pixel(5, 3), kYellow);

    // A missing bitmap throws and keeps the picture.
    EXPECT_THROW(image.LoadFromFile(folder.Path() + "/missing.bmp"), platform::PictureError);
    EXPECT_EQ(image.Picture().size(), QSize(6, 4));

    // Another extension leaves the picture in place.
    image.LoadFromFile(Write("x.png", BmpBytes(QuadrantImage(2, 2))));
    EXPECT_EQ(image.Picture().size(), QSize(6, 4));
}

TEST_F(AXImageTest, LaterPicturesAreDrawnOverTheBitmap) {
    AXImage image;
    image.SetSize(20, 10);
    image.LoadFromFile(Write("red.bmp", BmpBytes(QImage(QSize(20, 10), QImage::Format_RGB32))));
    QImage red(20, 10, QImage::Format_RGB32);
    red.fill(kRed);
    image.LoadFromFile(Write("red2.bmp", BmpBytes(red)));
    image.LoadFromFile(Write("small.gif", QuadrantGif(4, 4)));
    const QImage& p = image.Picture();
    ASSERT_EQ(p.size(), QSize(20, 10));
    EXPECT_EQ(p.pixel(3, 3), kYellow);
    EXPECT_EQ(p.pixel(15, 5), kRed);
}

TEST_F(AXImageTest, PaintsAtItsPlaceClippedOrStretched) {
    platform::ControlHost host;
    host.resize(10, 10);
    host.SetBackgroundColor(platform::Rgb(1, 1, 1));
    AXImage image(&host);
    image.SizeToPicture = true;
    image.LoadFromFile(Write("a.gif", QuadrantGif(4, 4)));
    image.SetBounds(2, 1, 3, 3);
    host.ComposeNow();
    const QImage& target = host.Surface();
    EXPECT_EQ(target.pixel(2, 1), kRed);
    EXPECT_EQ(target.pixel(4, 3), kYellow);
    EXPECT_EQ(target.pixel(5, 3), qRgb(1, 1, 1)); // clipped to the control
    EXPECT_EQ(target.pixel(4, 4), qRgb(1, 1, 1));

    image.Stretch = true;
    image.SetBounds(0, 6, 8, 4);
    host.ComposeNow();
    EXPECT_EQ(target.pixel(0, 6), kRed);
    EXPECT_EQ(target.pixel(7, 6), kGreen);
    EXPECT_EQ(target.pixel(7, 9), kYellow);
    EXPECT_EQ(target.pixel(2, 1), qRgb(1, 1, 1)); // the old place composed anew
}

} // namespace

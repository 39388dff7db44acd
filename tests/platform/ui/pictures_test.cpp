#include "platform/ui/pictures.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/metafiles.h"
#include "support/temphome.h"

#include <QBuffer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using tolvar::test::JpegBytes;
using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

// Four quadrants: red, green, blue, yellow.
QImage Quadrants(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            image.setPixel(x, y,
                           !right && !bottom  ? qRgb(255, 0, 0)
                           : right && !bottom ? qRgb(0, 255, 0)
                           : !right           ? qRgb(0, 0, 255)
                                              : qRgb(255, 255, 0));
        }
    }
    return image;
}

bool Near(QRgb a, QRgb b, int tolerance = 40) {
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

std::string BmpBytes(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "BMP"));
    return bytes.toStdString();
}

class PicturesTest : public ::testing::Test {
protected:
    void SetUp() override { tolvar::test::EnsureGuiApp(); }
    TempFolder folder;
    std::string Path(const std::string& name) const { return folder.Path() + "/" + name; }
};

TEST_F(PicturesTest, BitmapFilesReadAsRgbPictures) {
    WriteFile(Path("a.bmp"), BmpBytes(Quadrants(6, 4)));
    const QImage image = platform::LoadBitmapFile(Path("a.bmp"));
    ASSERT_EQ(image.size(), QSize(6, 4));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(image.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(5, 3), qRgb(255, 255, 0));
}

TEST_F(PicturesTest, BadBitmapsFailCleanly) {
    std::string good = BmpBytes(Quadrants(6, 4));
    // A header that claims 100000 x 100000 pixels over a few bytes.
    std::string huge = good;
    for (int i = 0; i < 2; ++i) {
        const int at = 18 + 4 * i;
        huge[std::size_t(at)] = char(0xA0);
        huge[std::size_t(at + 1)] = char(0x86);
        huge[std::size_t(at + 2)] = char(0x01);
        huge[std::size_t(at + 3)] = 0;
    }
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty.bmp", ""},
        {"text.bmp", "this is not a bitmap"},
        {"header.bmp", good.substr(0, 20)},
        {"huge.bmp", huge},
    };
    for (const auto& c : cases) {
        WriteFile(Path(c.name), c.bytes);
        EXPECT_THROW(platform::LoadBitmapFile(Path(c.name)), platform::PictureError) << c.name;
        EXPECT_TRUE(platform::DecodeBitmap(QByteArray::fromStdString(c.bytes)).isNull()) << c.name;
    }
    try {
        platform::LoadBitmapFile(Path("missing.bmp"));
        FAIL() << "no error";
    } catch (const platform::PictureError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.bmp"), std::string::npos);
    }
}

TEST_F(PicturesTest, JpegDecodesAtEachDivisor) {
    WriteFile(Path("q.jpg"), JpegBytes(Quadrants(64, 48)));
    struct Case {
        int divisor;
        QSize size;
    } cases[] = {{1, {64, 48}}, {2, {32, 24}}, {4, {16, 12}}, {8, {8, 6}},
                 {3, {64, 48}}, {0, {64, 48}}, {-2, {64, 48}}};
    for (const auto& c : cases) {
        const QImage image = platform::LoadJpegFile(Path("q.jpg"), c.divisor);
        ASSERT_EQ(image.size(), c.size) << c.divisor;
        EXPECT_EQ(image.format(), QImage::Format_RGB32);
        const int w = image.width(), h = image.height();
        EXPECT_TRUE(Near(image.pixel(1, 1), qRgb(255, 0, 0))) << c.divisor;
        EXPECT_TRUE(Near(image.pixel(w - 2, 1), qRgb(0, 255, 0))) << c.divisor;
        EXPECT_TRUE(Near(image.pixel(1, h - 2), qRgb(0, 0, 255))) << c.divisor;
        EXPECT_TRUE(Near(image.pixel(w - 2, h - 2), qRgb(255, 255, 0))) << c.divisor;
    }
    // Grayscale files come out as 24-bit colour too.
    WriteFile(Path("g.jpg"), JpegBytes(Quadrants(16, 16), 95, true));
    const QImage gray = platform::LoadJpegFile(Path("g.jpg"), 1);
    ASSERT_EQ(gray.size(), QSize(16, 16));
    EXPECT_EQ(qRed(gray.pixel(1, 1)), qGreen(gray.pixel(1, 1)));
    EXPECT_TRUE(Near(gray.pixel(1, 1), qRgb(85, 85, 85), 10));
}

TEST_F(PicturesTest, BadJpegsReturnToTheCaller) {
    const std::string good = JpegBytes(Quadrants(64, 48));
    QImage noise(128, 128, QImage::Format_RGB32);
    for (int i = 0; i < 128 * 128; ++i) {
        noise.setPixel(i % 128, i / 128, qRgb(i * 7 % 256, i * 13 % 256, i * 29 % 256));
    }
    const std::string noisy = JpegBytes(noise);
    // The frame header of a 10000 x 7000 picture: past 64 megapixels.
    std::string huge = good;
    const auto sof = huge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    huge[sof + 5] = char(7000 >> 8);
    huge[sof + 6] = char(7000 & 0xFF);
    huge[sof + 7] = char(10000 >> 8);
    huge[sof + 8] = char(10000 & 0xFF);
    struct Case {
        const char* name;
        std::string bytes;
        bool readable;
    } cases[] = {
        {"empty.jpg", "", false},
        {"text.jpg", "not a jpeg at all", false},
        {"soi.jpg", "\xFF\xD8\xFF", false},
        {"header.jpg", good.substr(0, good.size() / 8), false},
        {"huge.jpg", huge, false},
        // Cut inside the data: libjpeg warns and pads the picture; it still decodes.
        {"cut.jpg", noisy.substr(0, noisy.size() * 3 / 4), true},
    };
    for (const auto& c : cases) {
        WriteFile(Path(c.name), c.bytes);
        const QImage image = platform::LoadJpegFile(Path(c.name), 1);
        EXPECT_EQ(!image.isNull(), c.readable) << c.name;
    }
    EXPECT_TRUE(platform::LoadJpegFile(Path("missing.jpg"), 1).isNull());
}

TEST_F(PicturesTest, MetafilesGiveTheirSizeAndAPlayer) {
    for (const char* file : {"shapes.emf", "shapes.wmf", "shapes_plain.wmf"}) {
        const platform::MetafilePicture m =
            platform::LoadMetafile(tolvar::test::MetafileFixture(file));
        EXPECT_EQ(m.size, (platform::Size{240, 96})) << file;
        ASSERT_TRUE(m.draw) << file;
        // Drawn onto a target half its size: the filled rectangle 10,10 - 30,20 lands at
        // 5,5 - 15,10.
        QImage picture = platform::NewPicture(120, 48);
        m.draw(picture, platform::Rect{0, 0, 120, 48});
        EXPECT_EQ(picture.pixel(10, 7), qRgb(0, 0, 255)) << file;
        EXPECT_EQ(picture.pixel(16, 7), qRgb(255, 255, 255)) << file;
    }
    // What is not a metafile, or is missing, is the empty metafile.
    WriteFile(Path("m.wmf"), "whatever");
    for (const std::string& path : {Path("m.wmf"), Path("missing.emf")}) {
        const platform::MetafilePicture m = platform::LoadMetafile(path);
        EXPECT_EQ(m.size, (platform::Size{0, 0})) << path;
        EXPECT_FALSE(m.draw) << path;
    }
}

} // namespace

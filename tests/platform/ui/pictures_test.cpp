#include "platform/ui/pictures.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/metafiles.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QBuffer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using tolvar::test::BmpBytes;

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

// ---- bitmaps as the system reads them ----

std::string Le(std::uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += char(v >> (8 * i));
    return s;
}

// A BITMAPINFOHEADER: width, height (negative: top row first), depth, compression,
// colours used.
std::string InfoHeader(int w, int h, int bpp, std::uint32_t compression = 0,
                       std::uint32_t colours = 0) {
    return Le(40, 4) + Le(std::uint32_t(w), 4) + Le(std::uint32_t(h), 4) + Le(1, 2) +
           Le(std::uint32_t(bpp), 2) + Le(compression, 4) + Le(0, 4) + Le(0, 4) + Le(0, 4) +
           Le(colours, 4) + Le(0, 4);
}

// A BMP file: the file header, then info (header, masks, colour table) and the rows
// right after it.
std::string BmpFile(const std::string& info, const std::string& rows) {
    return "BM" + Le(std::uint32_t(14 + info.size() + rows.size()), 4) + Le(0, 4) +
           Le(std::uint32_t(14 + info.size()), 4) + info + rows;
}

// The system's widening of a channel of n bits: its bits repeated from the top.
int Widen(unsigned v, int n) {
    return n == 5 ? int(v << 3 | v >> 2) : n == 6 ? int(v << 2 | v >> 4) : int(v * 0x11);
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
        const std::size_t at = 18 + 4 * std::size_t(i);
        huge[at] = char(0xA0);
        huge[at + 1] = char(0x86);
        huge[at + 2] = char(0x01);
        huge[at + 3] = 0;
    }
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty.bmp", ""},
        {"text.bmp", "this is not a bitmap"},
        {"header.bmp", good.substr(0, 20)},
        {"huge.bmp", huge},
        {"rows.bmp", good.substr(0, good.size() - 30)},
        {"depth.bmp", BmpFile(InfoHeader(1, 1, 7), std::string(4, '\0'))},
        {"embedded.bmp", BmpFile(InfoHeader(1, 1, 24, 4), std::string(4, '\0'))},
        // Runs of two bytes for 8192 x 8192 pixels: far fewer than the size could use.
        {"runs.bmp", BmpFile(InfoHeader(8192, 8192, 8, 1, 2) + std::string(8, '\0'),
                             std::string("\x02\x01\x00\x01", 4))},
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

struct BitmapCase {
    const char* what;
    std::string bytes;
    int width;
    std::vector<QRgb> pixels; // top row first
};

std::vector<BitmapCase> BitmapCases() {
    std::vector<BitmapCase> cases;
    // 16 bits, 5-5-5 by default: white stays white, one step is 8, half scale is 132.
    cases.push_back({"16-bit 5-5-5",
                     BmpFile(InfoHeader(4, 1, 16),
                             Le(0x7FFF, 2) + Le(0x7C00, 2) + Le(0x0421, 2) + Le(0x4210, 2)),
                     4,
                     {qRgb(255, 255, 255), qRgb(255, 0, 0), qRgb(8, 8, 8),
                      qRgb(Widen(16, 5), Widen(16, 5), Widen(16, 5))}});
    // 5-6-5 through bit-field masks.
    cases.push_back(
        {"16-bit 5-6-5",
         BmpFile(InfoHeader(4, 1, 16, 3) + Le(0xF800, 4) + Le(0x07E0, 4) + Le(0x001F, 4),
                 Le(0xFFFF, 2) + Le(0x07E0, 2) + Le(0x0020, 2) + Le(0x8410, 2)),
         4,
         {qRgb(255, 255, 255), qRgb(0, 255, 0), qRgb(0, 4, 0),
          qRgb(Widen(16, 5), Widen(32, 6), Widen(16, 5))}});
    // Masks of 4 bits, and masks of 10 bits in 32-bit rows: the top 8 of each.
    cases.push_back(
        {"16-bit 4-4-4",
         BmpFile(InfoHeader(2, 1, 16, 3) + Le(0x0F00, 4) + Le(0x00F0, 4) + Le(0x000F, 4),
                 Le(0x0F80, 2) + Le(0x0FFF, 2)),
         2,
         {qRgb(255, Widen(8, 4), 0), qRgb(255, 255, 255)}});
    cases.push_back({"32-bit 10-10-10",
                     BmpFile(InfoHeader(3, 1, 32, 3) + Le(0x3FF00000, 4) + Le(0x000FFC00, 4) +
                                 Le(0x000003FF, 4),
                             Le(0x3FFFFFFF, 4) + Le(1023u << 20 | 512u << 10 | 3u, 4) +
                                 Le(4u << 20 | 1020u << 10, 4)),
                     3,
                     {qRgb(255, 255, 255), qRgb(255, 128, 0), qRgb(1, 255, 0)}});
    // OS/2 1.x: a 12-byte header, colour entries of three bytes, and a table of three
    // entries where the rows begin; index 3 lies past it and reads black.
    const std::string os2 = Le(12, 4) + Le(4, 2) + Le(2, 2) + Le(1, 2) + Le(8, 2) +
                            std::string("\x00\x00\xFF"
                                        "\x00\xFF\x00"
                                        "\xFF\x00\x00",
                                        9);
    cases.push_back({"OS/2 1.x, short palette",
                     BmpFile(os2, std::string("\x03\x02\x01\x00"
                                              "\x00\x01\x02\x03",
                                              8)),
                     4,
                     {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(0, 0, 0),
                      qRgb(0, 0, 0), qRgb(0, 0, 255), qRgb(0, 255, 0), qRgb(255, 0, 0)}});
    // Run-length rows: a run of three, an end of row, two literal indices.
    cases.push_back({"8-bit run-length",
                     BmpFile(InfoHeader(4, 2, 8, 1, 2) + Le(0x000000FF, 4) + Le(0x0000FF00, 4),
                             std::string("\x03\x01\x00\x00\x00\x03\x00\x01\x00\x00\x00\x01", 12)),
                     4,
                     {qRgb(0, 0, 255), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(0, 0, 0),
                      qRgb(0, 255, 0), qRgb(0, 255, 0), qRgb(0, 255, 0), qRgb(0, 0, 0)}});
    return cases;
}

TEST_F(PicturesTest, BitmapClassesReadPixelForPixelByTheSystemsRule) {
    for (const BitmapCase& c : BitmapCases()) {
        WriteFile(Path("b.bmp"), c.bytes);
        const QImage image = platform::LoadBitmapFile(Path("b.bmp"));
        const int height = int(c.pixels.size()) / c.width;
        ASSERT_EQ(image.size(), QSize(c.width, height)) << c.what;
        for (int i = 0; i < int(c.pixels.size()); ++i) {
            EXPECT_EQ(image.pixel(i % c.width, i / c.width), c.pixels[std::size_t(i)])
                << c.what << " pixel " << i << ": " << std::hex
                << image.pixel(i % c.width, i / c.width);
        }
    }
}

TEST_F(PicturesTest, MetafileBitmapsReadByTheSameReader) {
    // Each class as a bitmap record of an EMF: drawn 1:1, the same pixels as the file.
    for (const BitmapCase& c : BitmapCases()) {
        // In a metafile a colour table shorter than its header counts makes the record
        // damaged, and it is skipped (see the metafile player's tests).
        if (std::string(c.what).starts_with("OS/2"))
            continue;
        const std::string dib = c.bytes.substr(14);
        const std::size_t infoSize = std::size_t(std::uint8_t(c.bytes[10])) - 14;
        const int height = int(c.pixels.size()) / c.width;
        const std::string info = dib.substr(0, infoSize), bits = dib.substr(infoSize);
        std::string record =
            Le(81, 4) + Le(std::uint32_t(80 + info.size() + bits.size() + 3) & ~3u, 4) +
            std::string(16, '\0') + Le(0, 4) + Le(0, 4) + Le(0, 4) + Le(0, 4) +
            Le(std::uint32_t(c.width), 4) + Le(std::uint32_t(height), 4) + Le(80, 4) +
            Le(std::uint32_t(info.size()), 4) + Le(std::uint32_t(80 + info.size()), 4) +
            Le(std::uint32_t(bits.size()), 4) + Le(0, 4) + Le(0x00CC0020, 4) +
            Le(std::uint32_t(c.width), 4) + Le(std::uint32_t(height), 4) + info + bits;
        record.resize((record.size() + 3) & ~std::size_t(3), '\0');
        // A frame of width x height pixels at 96 dpi on a device of 96 dpi.
        std::string header =
            Le(1, 4) + Le(88, 4) + std::string(16, '\0') + Le(0, 4) + Le(0, 4) +
            Le(std::uint32_t(c.width * 2540 / 96), 4) + Le(std::uint32_t(height * 2540 / 96), 4) +
            Le(0x464D4520, 4) + Le(0x10000, 4) + Le(0, 4) + Le(0, 4) + Le(1, 2) + Le(0, 2) +
            std::string(12, '\0') + Le(960, 4) + Le(960, 4) + Le(254, 4) + Le(254, 4);
        std::string all =
            header + record + Le(14, 4) + Le(20, 4) + Le(0, 4) + Le(16, 4) + Le(20, 4);
        const std::string size = Le(std::uint32_t(all.size()), 4);
        all.replace(48, 4, size);
        WriteFile(Path("b.emf"), all);
        const platform::MetafilePicture m = platform::LoadMetafile(Path("b.emf"));
        ASSERT_TRUE(m.draw) << c.what;
        QImage picture = platform::NewPicture(c.width, height, platform::Rgb(1, 2, 3));
        m.draw(picture, platform::Rect{0, 0, c.width, height});
        for (int i = 0; i < int(c.pixels.size()); ++i) {
            EXPECT_EQ(picture.pixel(i % c.width, i / c.width), c.pixels[std::size_t(i)])
                << c.what << " pixel " << i;
        }
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

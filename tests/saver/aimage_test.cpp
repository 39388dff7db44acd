// The static picture (AImage) and the background (ABgimage) widgets.

#include "platform/ui/pictures.h"
#include "saver/abgimage.h"
#include "saver/aimage.h"
#include "support/gifwriter.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/metafiles.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QBuffer>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using tolvar::test::BmpBytes;

using platform::Color;
using platform::ControlHost;
using platform::Rgb;

constexpr Color kRed = Rgb(255, 0, 0), kGreen = Rgb(0, 255, 0), kBlue = Rgb(0, 0, 255),
                kYellow = Rgb(255, 255, 0), kGrey = Rgb(9, 9, 9);
constexpr Color kQuadrants[] = {kRed, kGreen, kBlue, kYellow};

// 0 red top left, 1 green top right, 2 blue bottom left, 3 yellow bottom right.
int Quadrant(int x, int y, int w, int h) {
    return (x >= w / 2 ? 1 : 0) + (y >= h / 2 ? 2 : 0);
}

QImage QuadrantImage(int w, int h) {
    QImage image = platform::NewPicture(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setPixel(x, y, platform::ToQRgb(kQuadrants[Quadrant(x, y, w, h)]));
        }
    }
    return image;
}

std::string QuadrantGif(int w, int h) {
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            pixels.push_back(std::uint8_t(Quadrant(x, y, w, h)));
        }
    }
    tolvar::test::GifWriter writer(std::uint16_t(w), std::uint16_t(h),
                                   {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}}, 0, 1);
    writer.Descriptor(0, 0, std::uint16_t(w), std::uint16_t(h)).Pixels(2, pixels).Trailer();
    return writer.Bytes();
}

// JPEG colours drift a little from what was written.
bool Near(Color a, Color b) {
    const auto close = [](int x, int y) { return std::abs(x - y) <= 40; };
    return close(platform::RedOf(a), platform::RedOf(b)) &&
           close(platform::GreenOf(a), platform::GreenOf(b)) &&
           close(platform::BlueOf(a), platform::BlueOf(b));
}

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

class WidgetTest : public ::testing::Test, private GuiAppFirst {
protected:
    void SetUp() override {
        host.resize(120, 80);
        host.SetBackgroundColor(kGrey);
    }
    Color At(int x, int y) {
        host.ComposeNow();
        return platform::FromQRgb(host.Surface().pixel(x, y));
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = folder.Path() + "/" + name;
        tolvar::test::WriteFile(path, bytes);
        return path;
    }
    tolvar::test::TempFolder folder;
    ControlHost host;
};

// ---- AImage ----

TEST_F(WidgetTest, ImageSqueezesTheWholePictureIntoItsRectangle) {
    AImage image(&host);
    image.SetBounds(10, 20, 100, 50);
    image.Image = std::make_unique<AXImage>();
    image.Image->SizeToPicture = true;
    image.Image->LoadFromFile(Write("square.gif", QuadrantGif(200, 200)));
    ASSERT_EQ(image.Image->Picture().size(), QSize(200, 200));

    struct Probe {
        int x, y;
        Color expected;
    } probes[] = {
        {10, 20, kRed}, {109, 20, kGreen}, {10, 69, kBlue},  {109, 69, kYellow},
        {59, 44, kRed}, {60, 45, kYellow}, {60, 44, kGreen}, {59, 45, kBlue},
        {9, 20, kGrey}, {110, 20, kGrey},  {10, 19, kGrey},  {10, 70, kGrey},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(At(p.x, p.y), p.expected) << p.x << "," << p.y;
    }
}

TEST_F(WidgetTest, ImageWithoutAPicturePaintsNothing) {
    AImage below(&host);
    below.SetBounds(0, 0, 20, 20);
    below.Image = std::make_unique<AXImage>();
    below.Image->SetPicture(platform::NewPicture(1, 1, kBlue));

    AImage empty(&host); // no image at all
    empty.SetBounds(0, 0, 10, 10);
    AImage unloaded(&host); // an image whose load gave nothing
    unloaded.SetBounds(10, 10, 10, 10);
    unloaded.Image = std::make_unique<AXImage>();
    unloaded.Image->LoadFromFile(Write("broken.gif", "GIF89a"));
    ASSERT_TRUE(unloaded.Image->Picture().isNull());

    EXPECT_EQ(At(5, 5), kBlue);
    EXPECT_EQ(At(15, 15), kBlue);
    EXPECT_EQ(At(25, 25), kGrey);
}

// ---- ABgimage ----

TEST_F(WidgetTest, BackgroundStartsStretchingAtTheOriginBehindItsSiblings) {
    AImage front(&host);
    front.SetBounds(0, 0, 10, 10);
    ABgimage background(&host);
    EXPECT_TRUE(background.Stretch);
    EXPECT_FALSE(background.SizeToPicture);
    EXPECT_EQ(background.BoundsRect(), (platform::Rect{0, 0, 0, 0}));
    EXPECT_EQ(background.ScreenWidth, 0);
    EXPECT_EQ(background.ScreenHeight, 0);
    EXPECT_EQ(host.Controls().front(), &background);
}

TEST_F(WidgetTest, BackgroundFillsTheScreenAreaForEveryFormat) {
    const QImage quadrants = QuadrantImage(16, 12);
    struct Case {
        std::string name;
        std::string bytes;
        bool nearColours; // lossy
    } cases[] = {
        {"back.bmp", BmpBytes(quadrants), false},
        {"back.jpg", tolvar::test::JpegBytes(QuadrantImage(32, 24)), true},
        {"back.gif", QuadrantGif(16, 12), false},
        {"back.GIF", QuadrantGif(7, 5), false}, // smaller than the area, odd sizes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ABgimage background(&host);
        background.ScreenWidth = 100;
        background.ScreenHeight = 60;
        background.LoadFromFile(Write(c.name, c.bytes));
        // The picture's own size plays no part: the control keeps the area's size.
        EXPECT_EQ(background.BoundsRect(), (platform::Rect{0, 0, 100, 60}));
        struct Probe {
            int x, y;
            Color expected;
        } probes[] = {{0, 0, kRed},    {99, 0, kGreen},  {0, 59, kBlue},  {99, 59, kYellow},
                      {10, 50, kBlue}, {90, 10, kGreen}, {100, 0, kGrey}, {0, 60, kGrey}};
        for (const Probe& p : probes) {
            const Color got = At(p.x, p.y);
            if (c.nearColours && p.expected != kGrey) {
                EXPECT_TRUE(Near(got, p.expected)) << p.x << "," << p.y << " " << std::hex << got;
            } else {
                EXPECT_EQ(got, p.expected) << p.x << "," << p.y;
            }
        }
    }
}

TEST_F(WidgetTest, MetafileBackgroundIsStretchedOverTheArea) {
    // shapes.* is 240 x 96, white, with a blue rectangle 10,10 - 30,20 outlined black:
    // stretched onto 480 x 192 every coordinate doubles.
    for (const char* file : {"shapes.wmf", "shapes.emf"}) {
        SCOPED_TRACE(file);
        host.resize(500, 200);
        ABgimage background(&host);
        background.ScreenWidth = 480;
        background.ScreenHeight = 192;
        background.LoadFromFile(tolvar::test::MetafileFixture(file));
        EXPECT_EQ(background.BoundsRect(), (platform::Rect{0, 0, 480, 192}));
        EXPECT_EQ(At(30, 30), kBlue);
        EXPECT_EQ(At(20, 20), platform::kBlack);
        EXPECT_EQ(At(479, 191), platform::kWhite);
        EXPECT_EQ(At(480, 191), kGrey);
    }
}

TEST_F(WidgetTest, BackgroundGoesBehindItsSiblingsAfterEveryLoad) {
    ABgimage background(&host);
    background.ScreenWidth = 40;
    background.ScreenHeight = 30;
    AImage image(&host);
    image.SetBounds(5, 5, 10, 10);
    image.Image = std::make_unique<AXImage>();
    image.Image->SetPicture(platform::NewPicture(1, 1, kGreen));
    background.BringToFront();

    background.LoadFromFile(Write("back.gif", QuadrantGif(4, 4)));
    EXPECT_EQ(host.Controls().front(), &background);
    EXPECT_EQ(At(6, 6), kGreen);
    EXPECT_EQ(At(1, 1), kRed);
}

TEST_F(WidgetTest, BackgroundBitmapThatCannotBeReadThrowsAndKeepsThePicture) {
    ABgimage background(&host);
    background.ScreenWidth = 40;
    background.ScreenHeight = 30;
    background.LoadFromFile(Write("back.gif", QuadrantGif(4, 4)));
    EXPECT_THROW(background.LoadFromFile(folder.Path() + "/missing.bmp"), platform::PictureError);
    EXPECT_EQ(At(1, 1), kRed);
    EXPECT_EQ(At(39, 29), kYellow);
}

} // namespace

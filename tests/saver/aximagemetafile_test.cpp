// Metafiles through the image control: the two sizes of a metafile load (the control's
// with Stretch, the metafile's own without), SizeToPicture, and drawing over the picture
// the control already holds.

#include "platform/fileio.h"
#include "saver/aximage.h"
#include "support/guiapp.h"
#include "support/metafiles.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using platform::Color;
using platform::Rgb;
using tolvar::test::MetafileFixture;

constexpr Color kWhite = platform::kWhite, kBlack = platform::kBlack;
constexpr Color kGreen = Rgb(0, 160, 0), kBlue = Rgb(0, 0, 255);

Color At(const AXImage& image, int x, int y) {
    return platform::FromQRgb(image.Picture().pixel(x, y));
}

class AXImageMetafile : public ::testing::Test {
protected:
    void SetUp() override { tolvar::test::EnsureGuiApp(); }
};

// shapes.* is 240 x 96: a rectangle 10,10 - 30,20 outlined black and filled blue.
struct SizeCase {
    bool sizeToPicture, stretch;
    int width, height; // the control's size after the load
    int scale;         // the metafile drawn at its own size (1) or stretched onto 480 x 192 (2)
};

TEST_F(AXImageMetafile, TheTwoSizesWithAndWithoutSizeToPictureAndStretch) {
    const SizeCase cases[] = {
        {false, false, 480, 192, 1}, // own size, top left of the larger control
        {false, true, 480, 192, 2},  // stretched over the control
        {true, false, 240, 96, 1},   // the control takes the metafile's size
        {true, true, 240, 96, 1},    // stretched onto the same size
    };
    for (const char* file : {"shapes.wmf", "shapes.emf", "shapes_plain.wmf"}) {
        for (const SizeCase& c : cases) {
            SCOPED_TRACE(std::string(file) + (c.sizeToPicture ? " size-to-picture" : "") +
                         (c.stretch ? " stretch" : ""));
            AXImage image;
            image.SetSize(480, 192);
            image.SizeToPicture = c.sizeToPicture;
            image.Stretch = c.stretch;
            image.LoadFromFile(MetafileFixture(file));
            EXPECT_EQ(image.Width(), c.width);
            EXPECT_EQ(image.Height(), c.height);
            ASSERT_EQ(image.Picture().size(), QSize(c.width, c.height));
            const int s = c.scale;
            EXPECT_EQ(At(image, 10 * s, 10 * s), kBlack);
            EXPECT_EQ(At(image, 15 * s, 15 * s), kBlue);
            EXPECT_EQ(At(image, 30 * s, 15 * s), kWhite);
            // Beyond the metafile's own size the picture stays white.
            if (c.width > 240 * s) {
                EXPECT_EQ(At(image, 240 * s + 5, 20), kWhite);
            }
        }
    }
}

TEST_F(AXImageMetafile, SmallerControlShowsTheTopLeftOfTheMetafile) {
    AXImage image;
    image.SetSize(20, 15);
    image.LoadFromFile(MetafileFixture("shapes.emf"));
    ASSERT_EQ(image.Picture().size(), QSize(20, 15));
    EXPECT_EQ(At(image, 10, 10), kBlack);
    EXPECT_EQ(At(image, 15, 14), kBlue);
}

TEST_F(AXImageMetafile, DrawsOverThePictureItHolds) {
    AXImage image;
    image.SizeToPicture = true;
    image.LoadFromFile(MetafileFixture("shapes.wmf"));
    image.SizeToPicture = false;
    image.LoadFromFile(MetafileFixture("polygons.emf"));
    ASSERT_EQ(image.Picture().size(), QSize(240, 96));
    EXPECT_EQ(At(image, 50, 20), kBlue);  // the ellipse of the first
    EXPECT_EQ(At(image, 65, 15), kGreen); // a polygon of the second
}

TEST_F(AXImageMetafile, DamagedAndEmptyMetafiles) {
    tolvar::test::TempFolder folder;
    const std::string whole = platform::ReadFile(MetafileFixture("shapes.emf")).value();
    // Cut inside its end record: still the whole picture, at its own size.
    const std::string cut = folder.Path() + "/cut.emf";
    tolvar::test::WriteFile(cut, whole.substr(0, whole.size() - 1));
    AXImage drawn;
    drawn.SizeToPicture = true;
    drawn.LoadFromFile(cut);
    ASSERT_EQ(drawn.Picture().size(), QSize(240, 96));
    EXPECT_EQ(At(drawn, 15, 15), kBlue);
    // Cut inside its header: nothing to read.
    const std::string damaged = folder.Path() + "/header.emf";
    tolvar::test::WriteFile(damaged, whole.substr(0, 60));
    for (const std::string& path : {damaged, MetafileFixture("size_none.wmf")}) {
        AXImage sized;
        sized.SetSize(30, 20);
        sized.SizeToPicture = true;
        sized.LoadFromFile(path);
        EXPECT_EQ(sized.Width(), 0) << path;
        EXPECT_EQ(sized.Height(), 0) << path;

        AXImage plain;
        plain.SetSize(30, 20);
        plain.Stretch = true;
        plain.LoadFromFile(path);
        ASSERT_EQ(plain.Picture().size(), QSize(30, 20)) << path;
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 30; ++x)
                ASSERT_EQ(At(plain, x, y), kWhite) << path << " at " << x << "," << y;
    }
}

} // namespace

// tolvar-inspect gif and image, run as a real program.

#include "support/gifwriter.h"
#include "support/inspect.h"
#include "support/metafiles.h"
#include "support/temphome.h"

#include <QImage>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using tolvar::test::ScopedEnv;

using tolvar::test::GifColour;
using tolvar::test::GifWriter;
using tolvar::test::RunInspect;

const std::vector<GifColour> kFour = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};

std::string TwoFrames(bool trailer) {
    GifWriter w(6, 4, kFour);
    w.GraphicControl(2, 7, 3).Descriptor(0, 0, 6, 4).Pixels(2, std::vector<std::uint8_t>(24, 1));
    w.GraphicControl(1, 12).Descriptor(2, 1, 2, 2, true).Pixels(2, {2, 2, 2, 2});
    if (trailer) {
        w.Trailer();
    }
    return w.Bytes();
}

class InspectPictures : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = folder.Path() + "/" + name;
        tolvar::test::WriteFile(path, bytes);
        return path;
    }
    tolvar::test::TempFolder folder;
};

TEST_F(InspectPictures, GifPrintsFramesAndTheError) {
    const auto run = RunInspect({"gif", Write("a.gif", TwoFrames(true))});
    EXPECT_EQ(run.status, 0);
    for (const char* piece : {"\"complete\": true", "\"error\": null", "\"width\": 6",
                              "\"delay\": 70", "\"delay\": 120", "\"disposal\": 2",
                              "\"transparentIndex\": 3", "\"interlaced\": true", "\"left\": 2"}) {
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
    }
    const auto cut = RunInspect({"gif", Write("cut.gif", TwoFrames(false))});
    EXPECT_EQ(cut.status, 0);
    EXPECT_NE(cut.out.find("\"error\": \"Unexpected end-of-file in SafeRead\""), std::string::npos)
        << cut.out;
    const auto bad = RunInspect({"gif", Write("bad.gif", "gif89a")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("is not a GIF file"), std::string::npos) << bad.out;
}

TEST_F(InspectPictures, ImageWritesThePictureAsPng) {
    const std::string gif = Write("a.gif", TwoFrames(true));
    const std::string png = folder.Path() + "/out.png";
    const auto run =
        RunInspect({"image", gif, "--divisor", "2", "--size-to-picture", "--png", png});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("control 3x2, picture 3x2"), std::string::npos) << run.out;
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(png).substr(0, 8), "\x89PNG\r\n\x1a\n");

    const auto sized = RunInspect({"image", gif, "--size", "10x5", "--stretch", "--png", png});
    EXPECT_NE(sized.out.find("control 10x5, picture 10x5"), std::string::npos) << sized.out;

    EXPECT_EQ(RunInspect({"image", folder.Path() + "/missing.bmp", "--png", png}).status, 1);
    EXPECT_EQ(RunInspect({"image", gif}).status, 2);
    EXPECT_EQ(RunInspect({"image", gif, "--divisor", "x", "--png", png}).status, 2);
}

// Text needs fonts, and fonts need a GUI application: the tool makes its own on the
// offscreen platform, so it runs with no display and no platform named at all.
TEST_F(InspectPictures, ImageDrawsMetafileTextWithoutADisplay) {
    const ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    const ScopedEnv display("DISPLAY", nullptr);
    const ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    for (const char* fixture : {"text.wmf", "text.emf"}) {
        const std::string png = folder.Path() + "/" + fixture + ".png";
        const auto run = RunInspect(
            {"image", tolvar::test::MetafileFixture(fixture), "--size-to-picture", "--png", png});
        ASSERT_EQ(run.status, 0) << fixture << "\n" << run.out;
        EXPECT_NE(run.out.find("control 240x96, picture 240x96"), std::string::npos)
            << fixture << "\n"
            << run.out;
        QImage image;
        ASSERT_TRUE(image.load(QString::fromStdString(png))) << fixture;
        // Some pixels are no longer the white background: the text was drawn.
        int inked = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                inked += image.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
            }
        }
        EXPECT_GT(inked, 20) << fixture;
    }
}

} // namespace

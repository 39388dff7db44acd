#include "saver/abutton.h"
#include "support/guiapp.h"

#include <QApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

using platform::Color;
using platform::ControlHost;
using platform::CursorShape;
using platform::Rgb;

constexpr Color kDefault = Rgb(255, 0, 0), kPressed = Rgb(0, 0, 255), kHover = Rgb(0, 255, 0),
                kDisabled = Rgb(255, 255, 0), kGrey = Rgb(9, 9, 9), kOther = Rgb(1, 2, 3);

std::unique_ptr<AXImage> Picture(Color color) {
    auto image = std::make_unique<AXImage>();
    image->SetPicture(platform::NewPicture(2, 2, color));
    return image;
}

// Which of the four pictures a face has.
enum Pictures { kNone = 0, kWithDefault = 1, kWithPressed = 2, kWithHover = 4, kWithDisabled = 8 };

std::unique_ptr<AButtonFace> Face(const std::string& context, int pictures,
                                  const std::string& link = "", const std::string& hint = "") {
    auto face = std::make_unique<AButtonFace>();
    face->Context = context;
    face->Link = link;
    face->Hint = hint;
    if (pictures & kWithDefault) {
        face->DefaultImage = Picture(kDefault);
    }
    if (pictures & kWithPressed) {
        face->PressedImage = Picture(kPressed);
    }
    if (pictures & kWithHover) {
        face->HoverImage = Picture(kHover);
    }
    if (pictures & kWithDisabled) {
        face->DisabledImage = Picture(kDisabled);
    }
    return face;
}

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

class AButtonTest : public ::testing::Test, private GuiAppFirst {
protected:
    void SetUp() override {
        host.resize(40, 30);
        host.SetBackgroundColor(kGrey);
        button.SetBounds(10, 10, 10, 10);
    }
    // The colour the button shows (its picture is one colour, stretched over it).
    Color Shown() {
        host.ComposeNow();
        return platform::FromQRgb(host.Surface().pixel(15, 15));
    }
    void Mouse(QEvent::Type type, int x, int y, Qt::MouseButton b = Qt::NoButton) {
        const QPointF local(x, y);
        QMouseEvent e(type, local, host.mapToGlobal(local), b,
                      type == QEvent::MouseButtonPress ? Qt::MouseButtons(b) : Qt::NoButton,
                      Qt::NoModifier);
        QApplication::sendEvent(&host, &e);
    }
    void MoveIn() { Mouse(QEvent::MouseMove, 15, 15); }
    void MoveOut() { Mouse(QEvent::MouseMove, 35, 25); }
    void Press(Qt::MouseButton b = Qt::LeftButton) { Mouse(QEvent::MouseButtonPress, 15, 15, b); }
    void Release(Qt::MouseButton b = Qt::LeftButton) {
        Mouse(QEvent::MouseButtonRelease, 15, 15, b);
    }

    ControlHost host;
    AButton button{&host};
};

TEST_F(AButtonTest, StartsWithoutFaceContextOrLink) {
    EXPECT_TRUE(button.Id.empty());
    EXPECT_TRUE(button.CurrentContext().empty());
    EXPECT_TRUE(button.CurrentLink().empty());
    EXPECT_EQ(button.CurrentFace(), nullptr);
    EXPECT_FALSE(button.MouseInside());
    EXPECT_FALSE(button.Pressed());
    EXPECT_TRUE(button.ShowHint());
    EXPECT_EQ(button.Cursor(), CursorShape::Arrow);
    EXPECT_EQ(Shown(), kGrey);
}

TEST_F(AButtonTest, ContextSelectsTheLastFaceOfThatNameWithItsLinkHintAndCursor) {
    button.AddFace(Face("default", kWithDefault, "", "plain"));
    button.AddFace(Face("active", kWithDefault, "http://first.example/", "first"));
    button.AddFace(Face("active", kWithHover, "http://second.example/", "second"));
    const AButtonFace* plain = button.Faces()[0].get();
    const AButtonFace* second = button.Faces()[2].get();
    // The current context is still empty: no face has it.
    EXPECT_EQ(button.CurrentFace(), nullptr);

    struct Step {
        std::string context;
        const AButtonFace* face;
        std::string link, hint;
        CursorShape cursor;
    } steps[] = {
        {"default", plain, "", "plain", CursorShape::Arrow},
        {"active", second, "http://second.example/", "second", CursorShape::HandPoint},
        // Compared case-sensitively; without a face the tooltip stays as it was.
        {"Active", nullptr, "", "second", CursorShape::Arrow},
        {"default", plain, "", "plain", CursorShape::Arrow},
        {"gone", nullptr, "", "plain", CursorShape::Arrow},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.context);
        button.SetCurrentContext(s.context);
        EXPECT_EQ(button.CurrentContext(), s.context);
        EXPECT_EQ(button.CurrentFace(), s.face);
        EXPECT_EQ(button.CurrentLink(), s.link);
        EXPECT_EQ(button.Hint(), s.hint);
        EXPECT_EQ(button.Cursor(), s.cursor);
        button.Invalidate(); // as the screen builder does after a context change
        EXPECT_EQ(Shown(), s.face == plain ? kDefault : kGrey);
    }
    // The host shows the link's cursor over the button.
    button.SetCurrentContext("active");
    MoveIn();
    EXPECT_EQ(host.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(AButtonTest, AFaceOfTheCurrentContextBecomesCurrentWhenAdded) {
    button.SetCurrentContext("playing");
    EXPECT_EQ(button.CurrentFace(), nullptr);
    button.AddFace(Face("paused", kWithDefault, "x"));
    EXPECT_EQ(button.CurrentFace(), nullptr);
    button.AddFace(Face("playing", kWithDefault, "http://play.example/", "Play"));
    ASSERT_EQ(button.CurrentFace(), button.Faces()[1].get());
    EXPECT_EQ(button.CurrentLink(), "http://play.example/");
    EXPECT_EQ(button.Hint(), "Play");
    EXPECT_EQ(button.Cursor(), CursorShape::HandPoint);
}

TEST_F(AButtonTest, PressedBeatsHoverAndHoverReturnsAfterTheRelease) {
    button.AddFace(Face("default", kWithDefault | kWithPressed | kWithHover));
    button.SetCurrentContext("default");
    EXPECT_EQ(Shown(), kDefault);
    MoveIn();
    EXPECT_TRUE(button.MouseInside());
    EXPECT_EQ(Shown(), kHover);
    Press();
    EXPECT_TRUE(button.Pressed());
    EXPECT_EQ(Shown(), kPressed);
    Release();
    EXPECT_FALSE(button.Pressed());
    EXPECT_EQ(Shown(), kHover);
    MoveOut();
    EXPECT_FALSE(button.MouseInside());
    EXPECT_EQ(Shown(), kDefault);
    // Any mouse button presses it.
    MoveIn();
    Press(Qt::RightButton);
    EXPECT_EQ(Shown(), kPressed);
    Release(Qt::RightButton);
    EXPECT_EQ(Shown(), kHover);
}

TEST_F(AButtonTest, DisabledShowsItsDisabledPictureElseTheDefault) {
    struct Case {
        int pictures;
        Color expected;
    } cases[] = {
        {kWithDefault | kWithPressed | kWithHover | kWithDisabled, kDisabled},
        {kWithDefault | kWithPressed | kWithHover, kDefault},
        {kWithPressed | kWithHover, kGrey}, // nothing to show
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pictures);
        AButton b(&host);
        b.SetBounds(10, 10, 10, 10);
        b.AddFace(Face("default", c.pictures));
        b.SetCurrentContext("default");
        // Inside and held down, then disabled: neither pressed nor hover is used.
        MoveIn();
        Press();
        ASSERT_TRUE(b.Pressed());
        ASSERT_TRUE(b.MouseInside());
        b.SetEnabled(false);
        EXPECT_EQ(Shown(), c.expected);
        Release();
        b.SetEnabled(true);
        MoveOut();
    }
}

TEST_F(AButtonTest, RepaintsOnlyWhenThePictureCanChange) {
    struct Case {
        const char* name;
        int pictures;
        bool press; // else move in
        bool repaints;
        Color after;
    } cases[] = {
        {"press without pressed picture", kWithDefault | kWithHover, true, false, kDefault},
        {"press with pressed picture", kWithDefault | kWithPressed, true, true, kPressed},
        {"enter without hover picture", kWithDefault | kWithPressed, false, false, kDefault},
        {"enter with hover picture", kWithDefault | kWithHover, false, true, kHover},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AButton b(&host);
        b.SetBounds(10, 10, 10, 10);
        b.AddFace(Face("default", c.pictures));
        b.SetCurrentContext("default");
        MoveOut();
        ASSERT_EQ(Shown(), kDefault);
        if (c.press) {
            MoveIn();
        }
        const Color before = Shown();
        // Change the default picture behind the button's back: only a repaint shows it.
        b.CurrentFace()->DefaultImage->SetPicture(platform::NewPicture(1, 1, kOther));
        if (c.press) {
            Press();
        } else {
            MoveIn();
        }
        EXPECT_EQ(Shown(), c.repaints ? c.after : before);
        if (c.press) {
            Release();
            EXPECT_EQ(Shown(), c.repaints ? kOther : before);
        }
        MoveOut();
        Shown();
    }
}

TEST_F(AButtonTest, WithoutAFaceTheMouseOnlySetsItsFlags) {
    int downs = 0;
    int clicks = 0;
    button.OnMouseDown = [&](platform::GraphicControl&, platform::MouseButton, platform::Point) {
        ++downs;
    };
    button.OnClick = [&](platform::GraphicControl&) { ++clicks; };
    MoveIn();
    EXPECT_TRUE(button.MouseInside());
    Press();
    EXPECT_TRUE(button.Pressed());
    EXPECT_EQ(Shown(), kGrey);
    Release();
    EXPECT_FALSE(button.Pressed());
    MoveOut();
    EXPECT_FALSE(button.MouseInside());
    // The state handling leaves the control's events to their users.
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(clicks, 1);
}

TEST_F(AButtonTest, AnImageWhoseLoadGaveNoPictureIsChosenAndShowsNothing) {
    // Each state picks the face's image by its presence; an image that loaded nothing
    // leaves the button's area to what lies below, and still makes the state repaint.
    auto face = Face("default", kWithDefault);
    face->HoverImage = std::make_unique<AXImage>();   // nothing loaded
    face->PressedImage = std::make_unique<AXImage>(); // nothing loaded
    face->DisabledImage = std::make_unique<AXImage>();
    button.AddFace(std::move(face));
    button.SetCurrentContext("default");
    EXPECT_EQ(Shown(), kDefault);
    MoveIn();
    EXPECT_EQ(Shown(), kGrey);
    Press();
    EXPECT_EQ(Shown(), kGrey);
    Release();
    MoveOut();
    EXPECT_EQ(Shown(), kDefault);
    button.SetEnabled(false);
    button.Invalidate();
    EXPECT_EQ(Shown(), kGrey);
    button.SetEnabled(true);
    button.Invalidate();
    EXPECT_EQ(Shown(), kDefault);
    // A default image without a picture: nothing at all.
    auto empty = Face("empty", kNone);
    empty->DefaultImage = std::make_unique<AXImage>();
    button.AddFace(std::move(empty));
    button.SetCurrentContext("empty");
    button.Invalidate();
    EXPECT_EQ(Shown(), kGrey);
}

TEST_F(AButtonTest, PictureIsStretchedOverTheWholeButton) {
    auto face = std::make_unique<AButtonFace>();
    face->Context = "default";
    face->DefaultImage = std::make_unique<AXImage>();
    QImage picture = platform::NewPicture(2, 1, kDefault);
    picture.setPixel(1, 0, platform::ToQRgb(kHover));
    face->DefaultImage->SetPicture(picture);
    button.AddFace(std::move(face));
    button.SetCurrentContext("default");
    host.ComposeNow();
    const QImage& s = host.Surface();
    EXPECT_EQ(platform::FromQRgb(s.pixel(10, 10)), kDefault);
    EXPECT_EQ(platform::FromQRgb(s.pixel(14, 19)), kDefault);
    EXPECT_EQ(platform::FromQRgb(s.pixel(15, 10)), kHover);
    EXPECT_EQ(platform::FromQRgb(s.pixel(19, 19)), kHover);
    EXPECT_EQ(platform::FromQRgb(s.pixel(20, 19)), kGrey);
}

} // namespace

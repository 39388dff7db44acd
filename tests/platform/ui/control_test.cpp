#include "platform/ui/control.h"
#include "platform/ui/timer.h"
#include "support/guiapp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using platform::Canvas;
using platform::Color;
using platform::ControlHost;
using platform::GraphicControl;
using platform::MouseButton;
using platform::Point;
using platform::Rect;
using platform::Rgb;

constexpr Color kRed = Rgb(255, 0, 0);
constexpr Color kBlue = Rgb(0, 0, 255);
constexpr Color kGrey = Rgb(9, 9, 9);

// A control that fills itself with one colour, or only a marked pixel, and logs its mouse
// input.
class Probe : public GraphicControl {
public:
    Probe(ControlHost* host, Color fill, std::vector<std::string>* log = nullptr)
        : GraphicControl(host), color(fill), log_(log) {}
    Color color;
    bool onlyPixel = false; // paint just (0, 0): what lay there before stays

    void Paint(Canvas& canvas) override {
        if (onlyPixel) {
            canvas.SetPixel(Point{0, 0}, color);
        } else {
            canvas.FillRect(Rect{0, 0, Width(), Height()},
                            platform::Brush(platform::BrushStyle::Solid, color));
        }
    }

protected:
    void MouseEnter() override { Log("enter"); }
    void MouseLeave() override { Log("leave"); }
    void MouseDown(MouseButton b, Point p) override {
        Log("down " + std::to_string(int(b)) + " " + std::to_string(p.x) + "," +
            std::to_string(p.y));
        GraphicControl::MouseDown(b, p);
    }
    void MouseUp(MouseButton, Point) override { Log("up"); }

private:
    void Log(const std::string& s) {
        if (log_ != nullptr) {
            log_->push_back(s);
        }
    }
    std::vector<std::string>* log_;
};

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

class ControlTest : public ::testing::Test, private GuiAppFirst {
protected:
    void SetUp() override {
        host.resize(20, 10);
        host.SetBackgroundColor(kGrey);
    }
    Color At(int x, int y) {
        host.ComposeNow();
        return platform::FromQRgb(host.Surface().pixel(x, y));
    }
    void Mouse(QEvent::Type type, int x, int y, Qt::MouseButton button = Qt::NoButton) {
        const QPointF local(x, y);
        QMouseEvent e(type, local, host.mapToGlobal(local), button,
                      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton,
                      Qt::NoModifier);
        QApplication::sendEvent(&host, &e);
    }
    void ClickAt(int x, int y, Qt::MouseButton button = Qt::LeftButton) {
        Mouse(QEvent::MouseButtonPress, x, y, button);
        Mouse(QEvent::MouseButtonRelease, x, y, button);
    }
    ControlHost host;
};

TEST_F(ControlTest, LaterControlsLieAboveAndRestackingChangesThat) {
    Probe a(&host, kRed);
    a.SetBounds(0, 0, 10, 10);
    Probe b(&host, kBlue);
    b.SetBounds(5, 0, 10, 10);
    EXPECT_EQ(At(2, 2), kRed);
    EXPECT_EQ(At(7, 2), kBlue);
    EXPECT_EQ(At(17, 2), kGrey);
    EXPECT_EQ(host.ControlAt(Point{7, 2}), &b);

    b.SendToBack();
    EXPECT_EQ(At(7, 2), kRed);
    EXPECT_EQ(host.ControlAt(Point{7, 2}), &a);
    a.SendToBack();
    EXPECT_EQ(At(7, 2), kBlue);
    a.BringToFront();
    EXPECT_EQ(At(7, 2), kRed);
}

TEST_F(ControlTest, HiddenDisabledAndRemovedControls) {
    auto a = std::make_unique<Probe>(&host, kRed);
    a->SetBounds(0, 0, 10, 10);
    Probe b(&host, kBlue);
    b.SetBounds(0, 0, 5, 5);

    b.SetEnabled(false); // still painted, but the mouse goes to what lies below
    EXPECT_EQ(At(1, 1), kBlue);
    EXPECT_EQ(host.ControlAt(Point{1, 1}), a.get());
    b.SetVisible(false);
    EXPECT_EQ(At(1, 1), kRed);
    a.reset();
    EXPECT_EQ(At(1, 1), kGrey);
    EXPECT_EQ(host.ControlAt(Point{1, 1}), nullptr);
    EXPECT_EQ(host.Controls().size(), 1u);

    // Off its host a control is only state; a new host shows it again.
    b.SetVisible(true);
    b.SetHost(nullptr);
    EXPECT_EQ(At(1, 1), kGrey);
    b.SetHost(&host);
    EXPECT_EQ(At(1, 1), kBlue);
}

TEST_F(ControlTest, PaintNowDrawsOverWhatIsThereUntilTheAreaIsInvalidated) {
    Probe a(&host, kRed);
    a.SetBounds(2, 2, 4, 4);
    EXPECT_EQ(At(3, 3), kRed);
    // Painting straight onto the surface does not clear it first: a clock without a face
    // keeps the hands of earlier seconds.
    a.onlyPixel = true;
    a.color = kBlue;
    a.PaintNow();
    EXPECT_EQ(At(2, 2), kBlue);
    EXPECT_EQ(At(3, 3), kRed);
    a.Invalidate();
    EXPECT_EQ(At(2, 2), kBlue);
    EXPECT_EQ(At(3, 3), kGrey); // composed anew: background, then the control
}

TEST_F(ControlTest, PaintingIsClippedToTheControlAndItsOriginIsItsCorner) {
    Probe a(&host, kRed);
    a.onlyPixel = true;
    a.SetBounds(7, 3, 2, 2);
    EXPECT_EQ(At(7, 3), kRed);
    EXPECT_EQ(At(0, 0), kGrey);

    class Spill : public GraphicControl {
    public:
        using GraphicControl::GraphicControl;
        void Paint(Canvas& canvas) override {
            canvas.FillRect(Rect{-5, -5, 50, 50},
                            platform::Brush(platform::BrushStyle::Solid, kBlue));
        }
    } spill(&host);
    spill.SetBounds(10, 5, 3, 2);
    EXPECT_EQ(At(10, 5), kBlue);
    EXPECT_EQ(At(12, 6), kBlue);
    EXPECT_EQ(At(13, 6), kGrey);
    EXPECT_EQ(At(12, 7), kGrey);
    EXPECT_EQ(At(9, 5), kGrey);
}

TEST_F(ControlTest, MouseGoesToTheTopmostControlUnderIt) {
    std::vector<std::string> log;
    Probe a(&host, kRed, &log);
    a.SetBounds(0, 0, 10, 10);
    a.SetCursor(platform::CursorShape::HandPoint);
    Probe b(&host, kBlue, &log);
    b.SetBounds(12, 0, 5, 5);
    int clicks = 0;
    int popups = 0;
    a.OnClick = [&](GraphicControl&) { ++clicks; };
    a.OnContextPopup = [&](GraphicControl&, Point p, bool& handled) {
        ++popups;
        EXPECT_EQ(p, (Point{3, 4}));
        handled = true;
    };

    Mouse(QEvent::MouseMove, 2, 2);
    EXPECT_EQ(host.cursor().shape(), Qt::PointingHandCursor);
    Mouse(QEvent::MouseMove, 13, 1);
    EXPECT_EQ(host.cursor().shape(), Qt::ArrowCursor);
    Mouse(QEvent::MouseMove, 19, 9);
    EXPECT_EQ(log, (std::vector<std::string>{"enter", "leave", "enter", "leave"}));
    log.clear();

    ClickAt(3, 4);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"enter", "down 0 3,4", "up"}));
    ClickAt(3, 4, Qt::RightButton);
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(clicks, 1);

    // A press on one control and a release on another is no click.
    Mouse(QEvent::MouseButtonPress, 3, 4, Qt::LeftButton);
    Mouse(QEvent::MouseButtonRelease, 13, 1, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    // Nor is a release on the background.
    Mouse(QEvent::MouseButtonPress, 3, 4, Qt::LeftButton);
    Mouse(QEvent::MouseButtonRelease, 11, 9, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

TEST_F(ControlTest, AControlMayGoFromItsOwnHandlers) {
    // A button that ends the screen frees itself from its click handler; the host must
    // not call it again (the sanitizers catch a use after free).
    auto a = std::make_unique<Probe>(&host, kRed);
    a->SetBounds(0, 0, 10, 10);
    a->OnMouseDown = [&](GraphicControl&, MouseButton, Point) {};
    a->OnClick = [&](GraphicControl&) { a.reset(); };
    Mouse(QEvent::MouseMove, 2, 2);
    ClickAt(2, 2);
    EXPECT_EQ(a, nullptr);
    Mouse(QEvent::MouseMove, 3, 3);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&host, &leave);
    EXPECT_EQ(host.cursor().shape(), Qt::ArrowCursor);

    auto b = std::make_unique<Probe>(&host, kRed);
    b->SetBounds(0, 0, 10, 10);
    b->OnMouseDown = [&](GraphicControl&, MouseButton, Point) { b.reset(); };
    ClickAt(2, 2);
    EXPECT_EQ(b, nullptr);
}

// Runs the event loop until the condition holds or two seconds pass.
template <typename F> bool WaitFor(F condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < 2000) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

TEST(TimerTest, TicksWhileEnabledAndStopsOnDisableOrIntervalZero) {
    tolvar::test::EnsureGuiApp();
    platform::Timer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    timer.SetInterval(5);
    ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }));

    timer.SetEnabled(false);
    const int stopped = ticks;
    QApplication::processEvents(QEventLoop::AllEvents, 30);
    EXPECT_EQ(ticks, stopped);

    timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return ticks > stopped; }));
    timer.SetInterval(0); // as a window timer: no ticks at all
    const int zero = ticks;
    QApplication::processEvents(QEventLoop::AllEvents, 30);
    EXPECT_EQ(ticks, zero);
    EXPECT_TRUE(timer.Enabled());
}

TEST(TimerTest, AHandlerMayStopItsOwnTimer) {
    tolvar::test::EnsureGuiApp();
    platform::Timer timer;
    int ticks = 0;
    timer.OnTimer = [&] {
        ++ticks;
        timer.SetEnabled(false);
    };
    timer.SetInterval(1);
    ASSERT_TRUE(WaitFor([&] { return ticks == 1; }));
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(ticks, 1);
}

} // namespace

#include "platform/ui/timer.h"
#include "saver/abgimage.h"
#include "saver/aclock.h"
#include "saver/axclocktimer.h"
#include "support/guiapp.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using tolvar::test::BmpBytes;

using platform::Color;
using platform::ControlHost;
using platform::Point;
using platform::Rect;
using platform::Rgb;

constexpr Color kFace = Rgb(0, 0, 0), kHour = Rgb(255, 0, 0), kMinute = Rgb(0, 255, 0),
                kSecond = Rgb(0, 0, 255), kMarks = Rgb(255, 255, 0), kGrey = Rgb(9, 9, 9);

// ---- geometry ----

struct Figures {
    int width, height;
    Point center;
    int hourLength, minuteLength, secondLength;
    int hourPen, minutePen, secondPen;
    Rect minuteHub;
};

TEST(AClockLayout, CentreHandsPensAndHubsOfTwoClockSizes) {
    const Figures cases[] = {
        {104, 104, {50, 50}, 21, 34, 38, 1, 1, 0, {47, 47, 52, 52}},
        {300, 200, {148, 98}, 41, 67, 75, 3, 3, 1, {140, 93, 155, 102}},
    };
    for (const Figures& f : cases) {
        SCOPED_TRACE(std::to_string(f.width) + "x" + std::to_string(f.height));
        const ClockDrawing d = AClock::Layout(f.width, f.height, ClockTime{});
        EXPECT_EQ(d.center, f.center);
        EXPECT_EQ(d.hourLength, f.hourLength);
        EXPECT_EQ(d.minuteLength, f.minuteLength);
        EXPECT_EQ(d.secondLength, f.secondLength);
        EXPECT_EQ(d.hourPen, f.hourPen);
        EXPECT_EQ(d.minutePen, f.minutePen);
        EXPECT_EQ(d.secondPen, f.secondPen);
        EXPECT_EQ(d.minuteHub, f.minuteHub);
    }
    const ClockDrawing small = AClock::Layout(104, 104, ClockTime{});
    EXPECT_EQ(small.secondHub, (Rect{48, 48, 51, 51}));
    EXPECT_EQ(small.markRadius, 47);
    EXPECT_EQ(small.marks[0], (Rect{48, 1, 51, 4}));    // twelve: a large mark
    EXPECT_EQ(small.marks[15], (Rect{95, 48, 98, 51})); // three
    EXPECT_EQ(small.marks[5], (Rect{72, 8, 74, 10}));   // one: a middle mark
}

TEST(AClockLayout, HandEndsAreTakenFromTheHourOfTheDayAndTruncated) {
    struct Case {
        ClockTime time;
        Point hour, minute, second;
    } cases[] = {
        {{3, 30, 0}, {70, 55}, {50, 84}, {50, 12}}, {{3, 0, 0}, {71, 49}, {50, 16}, {50, 12}},
        {{15, 0, 0}, {71, 49}, {50, 16}, {50, 12}}, {{0, 0, 0}, {50, 29}, {50, 16}, {50, 12}},
        {{12, 0, 0}, {49, 29}, {50, 16}, {50, 12}}, {{0, 0, 15}, {50, 29}, {50, 16}, {88, 49}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.time.hour) + ":" + std::to_string(c.time.minute) + ":" +
                     std::to_string(c.time.second));
        const ClockDrawing d = AClock::Layout(104, 104, c.time);
        EXPECT_EQ(d.hourEnd, c.hour);
        EXPECT_EQ(d.minuteEnd, c.minute);
        EXPECT_EQ(d.secondEnd, c.second);
    }
}

// ---- painting ----

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

std::unique_ptr<AXImage> SolidFace(Color color) {
    auto face = std::make_unique<AXImage>();
    face->SetPicture(platform::NewPicture(4, 4, color));
    return face;
}

class AClockTest : public ::testing::Test, private GuiAppFirst {
protected:
    void SetUp() override {
        ASSERT_EQ(AXClockTimer::RegistrationCount(), 0u);
        host.resize(320, 220);
        host.SetBackgroundColor(kGrey);
        host.ComposeNow();
    }
    // A clock at (kX, kY) with a black face and one colour per hand, reading `time`.
    std::unique_ptr<AClock> MakeClock(int width, int height, bool face = true) {
        auto clock = std::make_unique<AClock>(&host);
        clock->SetBounds(kX, kY, width, height);
        if (face) {
            clock->Clockface = SolidFace(kFace);
        }
        clock->ColorHoursHand = kHour;
        clock->ColorMinutesHand = kMinute;
        clock->ColorSecondsHand = kSecond;
        clock->ColorHourMarks = kMarks;
        clock->TimeSource = [this] { return time; };
        return clock;
    }
    // A pixel of the surface as it stands, in the clock's coordinates.
    Color At(int x, int y) const {
        return platform::FromQRgb(host.Surface().pixel(kX + x, kY + y));
    }
    Color Composed(int x, int y) {
        host.ComposeNow();
        return At(x, y);
    }

    static constexpr int kX = 10, kY = 6;
    ClockTime time{3, 30, 0};
    ControlHost host;
};

TEST_F(AClockTest, TickDrawsFaceHandsAndHubsOfThe104Clock) {
    auto clock = MakeClock(104, 104);
    clock->SetEnabled(true);
    host.ComposeNow();
    AXClockTimer::Tick();
    struct Probe {
        int x, y;
        Color expected;
        const char* what;
    } probes[] = {
        {0, 0, kFace, "face corner"},
        {103, 103, kFace, "face corner"},
        {50, 83, kMinute, "minute hand, last pixel drawn"},
        {50, 84, kFace, "minute hand end left out"},
        {49, 70, kFace, "minute hand one pixel wide"},
        {51, 70, kFace, "minute hand one pixel wide"},
        {50, 70, kMinute, "minute hand"},
        {50, 13, kSecond, "second hand, last pixel drawn"},
        {50, 12, kFace, "second hand end left out"},
        {49, 30, kFace, "second hand one pixel wide"},
        {60, 52, kHour, "hour hand"},
        {70, 55, kFace, "hour hand end left out"},
        {49, 49, kSecond, "second hub"},
        {47, 49, kMinute, "minute hub"},
        {46, 49, kFace, "outside the minute hub"},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(At(p.x, p.y), p.expected) << p.what << " " << p.x << "," << p.y;
    }
    // Nothing outside the clock.
    EXPECT_EQ(platform::FromQRgb(host.Surface().pixel(kX - 1, kY + 50)), kGrey);
    EXPECT_EQ(platform::FromQRgb(host.Surface().pixel(kX + 104, kY + 50)), kGrey);
    // The window system's repaint draws the same.
    clock->Invalidate();
    EXPECT_EQ(Composed(50, 83), kMinute);
    EXPECT_EQ(Composed(60, 52), kHour);
}

TEST_F(AClockTest, HoursTwelveAndZeroDifferByOnePixel) {
    auto clock = MakeClock(104, 104);
    clock->SetEnabled(true);
    struct Case {
        ClockTime time;
        Color at49x30, at70x49;
    } cases[] = {
        {{0, 0, 0}, kFace, kFace},
        {{12, 0, 0}, kHour, kFace},
        {{3, 0, 0}, kFace, kHour},
        {{15, 0, 0}, kFace, kHour},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time.hour);
        time = c.time;
        AXClockTimer::Tick();
        EXPECT_EQ(At(49, 30), c.at49x30);
        EXPECT_EQ(At(70, 49), c.at70x49);
        EXPECT_EQ(At(71, 49), kFace); // the end point itself is left out
    }
}

TEST_F(AClockTest, PenWidthsOfThe300x200Clock) {
    auto clock = MakeClock(300, 200);
    clock->SetEnabled(true);
    time = ClockTime{6, 30, 0}; // minute hand straight down, second hand straight up
    AXClockTimer::Tick();
    // Minute pen 3: three columns around x = 148.
    EXPECT_EQ(At(146, 130), kFace);
    EXPECT_EQ(At(147, 130), kMinute);
    EXPECT_EQ(At(148, 130), kMinute);
    EXPECT_EQ(At(149, 130), kMinute);
    EXPECT_EQ(At(150, 130), kFace);
    // Second pen 1: one column.
    EXPECT_EQ(At(147, 60), kFace);
    EXPECT_EQ(At(148, 60), kSecond);
    EXPECT_EQ(At(149, 60), kFace);
    // Minute hub box (140, 93, 155, 102) in the minute colour around the second hub.
    EXPECT_EQ(At(141, 97), kMinute);
    EXPECT_EQ(At(139, 97), kFace);
    EXPECT_EQ(At(148, 97), kSecond);
}

TEST_F(AClockTest, HourMarksOnlyWhenSwitchedOn) {
    auto clock = MakeClock(104, 104);
    clock->SetEnabled(true);
    AXClockTimer::Tick();
    EXPECT_EQ(At(49, 2), kFace);
    EXPECT_EQ(At(96, 49), kFace);
    clock->ShowHourMarks = true;
    AXClockTimer::Tick();
    EXPECT_EQ(At(49, 2), kMarks);  // twelve
    EXPECT_EQ(At(96, 49), kMarks); // three
    EXPECT_EQ(At(49, 96), kMarks); // six
    EXPECT_EQ(At(3, 49), kMarks);  // nine
}

TEST_F(AClockTest, TheFaceCoversEarlierHandsWithoutOneTheyStay) {
    for (const bool face : {true, false}) {
        SCOPED_TRACE(face ? "face" : "no face");
        auto clock = MakeClock(104, 104, face);
        clock->SetEnabled(true);
        host.ComposeNow();
        time = ClockTime{3, 30, 0};
        AXClockTimer::Tick();
        ASSERT_EQ(At(50, 30), kSecond);
        time = ClockTime{3, 30, 15};
        AXClockTimer::Tick();
        EXPECT_EQ(At(60, 50), kSecond);
        EXPECT_EQ(At(50, 30), face ? kFace : kSecond);
        // Composed anew, the area shows only the present second.
        clock->Invalidate();
        EXPECT_EQ(Composed(50, 30), face ? kFace : kGrey);
    }
}

TEST_F(AClockTest, ADisabledClockPaintsNothing) {
    auto clock = MakeClock(104, 104);
    EXPECT_FALSE(clock->Enabled());
    clock->Invalidate();
    EXPECT_EQ(Composed(0, 0), kGrey);
    AXClockTimer::Tick();
    EXPECT_EQ(At(0, 0), kGrey);
    EXPECT_EQ(At(50, 70), kGrey);

    clock->SetEnabled(true); // repaints at once
    EXPECT_EQ(Composed(0, 0), kFace);
    EXPECT_EQ(At(50, 70), kMinute);

    clock->SetEnabled(false);
    EXPECT_EQ(Composed(0, 0), kGrey);
    EXPECT_EQ(Composed(50, 70), kGrey);
    AXClockTimer::Tick();
    EXPECT_EQ(At(50, 70), kGrey);
    clock->Invalidate();
    EXPECT_EQ(Composed(50, 70), kGrey);

    // A hidden clock neither.
    clock->SetEnabled(true);
    clock->SetVisible(false);
    AXClockTimer::Tick();
    EXPECT_EQ(Composed(0, 0), kGrey);
}

TEST_F(AClockTest, TinyClocksDrawNothingOutsideThemselves) {
    const int sizes[][2] = {{0, 0}, {1, 1}, {3, 3}, {3, 40}, {40, 3}, {4, 4}, {5, 7}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
        for (const bool face : {true, false}) {
            auto clock = MakeClock(size[0], size[1], face);
            clock->ShowHourMarks = true;
            clock->SetEnabled(true);
            host.ComposeNow();
            AXClockTimer::Tick();
            const QImage& s = host.Surface();
            for (int y = 0; y < s.height(); ++y) {
                for (int x = 0; x < s.width(); ++x) {
                    const bool inside = x >= kX && x < kX + size[0] && y >= kY && y < kY + size[1];
                    if (!inside) {
                        ASSERT_EQ(platform::FromQRgb(s.pixel(x, y)), kGrey) << x << "," << y;
                    }
                }
            }
            if (face && size[0] > 0 && size[1] > 0) {
                EXPECT_EQ(At(0, 0), kFace);
            }
        }
    }
    // Below 4 pixels a side there is no room for the hands: the face only.
    auto clock = MakeClock(3, 40);
    clock->SetEnabled(true);
    AXClockTimer::Tick();
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 3; ++x) {
            ASSERT_EQ(At(x, y), kFace) << x << "," << y;
        }
    }
}

// ---- the shared timer ----

TEST_F(AClockTest, ClocksShareOneTimerThatLivesWhileAClockDoes) {
    EXPECT_EQ(AXClockTimer::SharedTimer(), nullptr);
    auto first = MakeClock(104, 104);
    const platform::Timer* timer = AXClockTimer::SharedTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 1000);

    auto second = std::make_unique<AClock>(&host);
    EXPECT_EQ(AXClockTimer::SharedTimer(), timer);
    EXPECT_EQ(AXClockTimer::RegistrationCount(), 2u);

    // Destroying one leaves the other ticking.
    second.reset();
    EXPECT_EQ(AXClockTimer::SharedTimer(), timer);
    EXPECT_EQ(AXClockTimer::RegistrationCount(), 1u);
    first->SetEnabled(true);
    host.ComposeNow();
    time = ClockTime{3, 30, 15};
    AXClockTimer::Tick();
    EXPECT_EQ(At(60, 50), kSecond);

    first.reset();
    EXPECT_EQ(AXClockTimer::SharedTimer(), nullptr);
    EXPECT_EQ(AXClockTimer::RegistrationCount(), 0u);
    AXClockTimer::Tick(); // nothing registered: nothing happens

    AClock third;
    EXPECT_NE(AXClockTimer::SharedTimer(), nullptr);
    EXPECT_EQ(AXClockTimer::RegistrationCount(), 1u);
}

TEST_F(AClockTest, TickCallsEnabledRegistrationsInTheOrderMade) {
    std::vector<std::string> calls;
    AXClockTimer a, b, c, d;
    a.Callback = [&] { calls.push_back("a"); };
    b.Callback = [&] { calls.push_back("b"); };
    b.Enabled = false;
    c.Callback = [&] { calls.push_back("c"); };
    // d has no callback.
    AXClockTimer::Tick();
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(AXClockTimer::RegistrationCount(), 4u);
}

TEST_F(AClockTest, TheSharedTimerTicksFromTheEventLoop) {
    auto clock = MakeClock(104, 104);
    int reads = 0;
    clock->TimeSource = [&] {
        ++reads;
        return ClockTime{3, 30, 0};
    };
    clock->SetEnabled(true);
    host.ComposeNow();
    reads = 0;
    QElapsedTimer waited;
    waited.start();
    while (reads == 0 && waited.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    ASSERT_GT(reads, 0);
    EXPECT_EQ(At(50, 70), kMinute);
}

TEST_F(AClockTest, AClockWithoutAHostTicksHarmlessly) {
    AClock clock;
    clock.SetBounds(0, 0, 50, 50);
    clock.SetEnabled(true);
    AXClockTimer::Tick();
    EXPECT_TRUE(clock.Enabled());
}

// ---- the face taken from the background ----

TEST_F(AClockTest, FaceFromTheBackgroundIsWhatTheScreenShowsUnderTheClock) {
    // A bitmap background keeps the file's size and is stretched only when painted: the
    // face must still match the screen.
    QImage stripes = platform::NewPicture(7, 5);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
            stripes.setPixel(x, y, qRgb(30 * x, 40 * y, 200));
        }
    }
    tolvar::test::TempFolder folder;
    const std::string path = folder.Path() + "/back.bmp";
    tolvar::test::WriteFile(path, BmpBytes(stripes));
    ABgimage background(&host);
    background.ScreenWidth = 300;
    background.ScreenHeight = 200;
    background.LoadFromFile(path);
    host.ComposeNow();
    const QImage screen = host.Surface().copy();

    struct Case {
        int left, top, width, height;
    } cases[] = {{37, 21, 104, 104}, {250, 150, 60, 60}, {0, 0, 3, 3}};
    for (const Case& c : cases) {
        AClock clock(&host);
        clock.SetBounds(c.left, c.top, c.width, c.height);
        clock.Clockface = SolidFace(kFace); // replaced
        AClock::TakeClockfaceFromBackground(clock, &background);
        ASSERT_TRUE(clock.Clockface);
        const QImage& face = clock.Clockface->Picture();
        ASSERT_EQ(face.size(), QSize(c.width, c.height));
        EXPECT_EQ(clock.Clockface->Width(), c.width);
        for (int y = 0; y < face.height(); ++y) {
            for (int x = 0; x < face.width(); ++x) {
                const int sx = c.left + x, sy = c.top + y;
                // Past the background (300 x 200) the host's colour shows.
                const QRgb expected =
                    sx < 300 && sy < 200 ? screen.pixel(sx, sy) : platform::ToQRgb(kGrey);
                ASSERT_EQ(face.pixel(x, y), expected) << x << "," << y;
            }
        }
    }
}

TEST_F(AClockTest, FaceWithoutABackgroundHoldsTheHostsColour) {
    AClock hosted(&host);
    hosted.SetBounds(5, 5, 20, 10);
    AClock::TakeClockfaceFromBackground(hosted, nullptr);
    ASSERT_TRUE(hosted.Clockface);
    EXPECT_EQ(hosted.Clockface->Picture().size(), QSize(20, 10));
    EXPECT_EQ(platform::FromQRgb(hosted.Clockface->Picture().pixel(19, 9)), kGrey);

    AXImage empty; // a background whose picture could not be loaded
    AClock alone;
    alone.SetBounds(0, 0, 8, 8);
    AClock::TakeClockfaceFromBackground(alone, &empty);
    EXPECT_EQ(platform::FromQRgb(alone.Clockface->Picture().pixel(7, 7)), platform::kWhite);
}

} // namespace

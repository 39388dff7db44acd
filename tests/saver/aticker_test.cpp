#include "saver/aticker.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QApplication>
#include <QMouseEvent>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using tolvar::test::PixelAt;

using platform::Canvas;
using platform::Color;
using tolvar::test::WaitUntil;

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

// An interval the tick timer never reaches in a test: ticks are then driven by hand.
constexpr int kNever = 1'000'000'000;

constexpr Color kRed = 0x0000FF;
constexpr Color kGreen = 0x00FF00;
constexpr Color kBlue = 0xFF0000;
constexpr Color kYellow = 0x00FFFF;

AXMessageImage* Thumb(int width, int height, Color color) {
    auto* thumb = new AXMessageImage;
    thumb->SetPicture(platform::NewPicture(width, height, color));
    return thumb;
}

struct Cell {
    AXMessage* item;
    int x;
    friend bool operator==(const Cell&, const Cell&) = default;
};

// Records the cells each frame paints.
class RecordingTicker : public ATicker {
public:
    std::vector<Cell> cells;

protected:
    void PaintCell(Canvas& canvas, AXMessage& item, int x, int y) override {
        cells.push_back(Cell{&item, x});
        ATicker::PaintCell(canvas, item, x, y);
    }
};

class TickerTest : public ::testing::Test, private GuiAppFirst {
protected:
    // n new items with the given links (cycled), shown in the display list; returns them
    // in display order.
    static std::vector<AXMessage*> Show(ATicker& ticker, const std::vector<std::string>& links,
                                        int n) {
        AXMessageList source;
        for (int i = 0; i < n; ++i) {
            auto* item = new AXMessage;
            item->ChannelName = "Kanal " + std::to_string(i);
            item->Link = links.empty() ? std::string() : links[std::size_t(i) % links.size()];
            source.AddMessage(item);
        }
        ticker.SetMessages(&source);
        ticker.RebuildDisplayList();
        const auto view = ticker.DisplayList().LockList();
        return *view;
    }
    // Enabled, with ticks driven by the test alone.
    static void Manual(ATicker& ticker) {
        ticker.SetTickInterval(kNever);
        ticker.SetEnabled(true);
    }
};

TEST_F(TickerTest, CreatedDisabledWithItsOwnDefaults) {
    ATicker t;
    EXPECT_FALSE(t.Enabled());
    EXPECT_FALSE(t.TickTimer().Enabled());
    EXPECT_EQ(t.TickInterval(), 500);
    EXPECT_EQ(t.TickTimer().Interval(), 500);
    EXPECT_EQ(t.TickTimer().SecondPhaseLength(), 251);
    EXPECT_EQ(t.MessageWidth.load(), 300);
    EXPECT_EQ(t.TitleHeight, 22);
    EXPECT_EQ(t.MaxImageWidth, 100);
    EXPECT_EQ(t.MaxImageHeight, 100);
    EXPECT_EQ(t.TitleBorderWidth, 2);
    EXPECT_EQ(t.TitleFontSize, 8);
    EXPECT_EQ(t.BodyFontSize, 8);
    EXPECT_EQ(t.MoreStr, "[mehr]"); // the base's defaults stay
    EXPECT_FALSE(t.DrawOnScreen());
    EXPECT_TRUE(t.Frame().isNull());
    EXPECT_EQ(t.ClickedLink(), "");

    t.SetTickInterval(30);
    EXPECT_EQ(t.TickTimer().Interval(), 30);
    EXPECT_EQ(t.TickTimer().SecondPhaseLength(), 16);
    t.SetEnabled(true);
    EXPECT_TRUE(t.TickTimer().Enabled());
    t.SetEnabled(false);
    EXPECT_FALSE(t.TickTimer().Enabled());
}

TEST_F(TickerTest, EachTickMovesOnePixelAndAWholeCellStepsOneItem) {
    struct Case {
        int offsetBefore;
        int messageWidth;
        int offsetAfter;
        int index; // CurrentIndex afterwards, from 0, with 3 items
    };
    const Case cases[] = {
        {0, 100, 1, 0},     {50, 100, 51, 0},
        {99, 100, 100, 0},  {100, 100, 1, 1},  // MessageWidth + 1 wraps to 1, one item on
        {1, 1, 1, 1},       {250, 100, 51, 2}, // a narrower cell since: every whole cell is a step
        {1049, 100, 50, 1},
    };
    for (const Case& c : cases) {
        ATicker t;
        Show(t, {}, 3);
        t.SetBounds(0, 0, 250, 60);
        Manual(t);
        t.MessageWidth = c.messageWidth;
        t.CurrentMessageScrollOffset = c.offsetBefore;
        t.TickerTick();
        EXPECT_EQ(t.CurrentMessageScrollOffset.load(), c.offsetAfter) << c.offsetBefore;
        EXPECT_EQ(t.CurrentIndex(), c.index) << c.offsetBefore;
        EXPECT_FALSE(t.Frame().isNull()) << c.offsetBefore;
    }
}

// The band's distance follows the time that passed on the ticker's clock, not the number of
// ticks: ticks that come late because a frame painted for 3 ms, or walks of the timer
// thread that a busy machine held back, still move the band by the set speed. Driven
// through the tick timer itself on a clock of the test's, holding the timer list's lock so
// that no walk of the real thread comes between.
TEST_F(TickerTest, TheBandFollowsElapsedTimeAtTheSetSpeed) {
    struct Case {
        const char* name;
        int interval;
        // Periods (ms) of each walk while no tick is due, and of the walk after a tick.
        int idleWalk;
        int walkAfterTick;
        int stallEvery; // every n-th walk stands for stallMs (0: never)
        int stallMs;
    };
    const Case cases[] = {
        {"idle machine", 32, 1, 1, 0, 0},
        {"each frame paints for 3 ms", 32, 1, 4, 0, 0},
        {"busy machine", 32, 3, 9, 7, 47},
        {"faster speed", 20, 2, 5, 11, 30},
    };
    constexpr std::int64_t kMs = 1'000'000;
    constexpr int kRunMs = 30'000;
    for (const Case& c : cases) {
        ATicker t;
        t.SetBounds(0, 0, 0, 0); // nothing to paint: the pace alone is measured
        t.MessageWidth = 1'000'000'000;
        std::int64_t now = 5 * kMs;
        t.SetClock([&] { return now; });
        t.SetTickInterval(c.interval);
        const auto lock = platform::LockTickList();
        t.SetEnabled(true);
        const std::int64_t start = now;
        int walks = 0;
        int next = c.idleWalk;
        std::int64_t worst = 0;
        while (now - start < kRunMs * kMs) {
            const std::int64_t before = t.PixelsMoved();
            const bool stall = c.stallEvery > 0 && ++walks % c.stallEvery == 0;
            const int periods = stall ? c.stallMs : next;
            now += periods * kMs;
            t.TickTimer().Advance(periods);
            // After a frame the next walk stands for the time it took to paint.
            next = t.PixelsMoved() != before ? c.walkAfterTick : c.idleWalk;
            const std::int64_t expected = (now - start) / (c.interval * kMs);
            worst = std::max(worst, std::abs(t.PixelsMoved() - expected));
        }
        const double speed = double(t.PixelsMoved()) * 1000.0 / double(kRunMs);
        const double set = 1000.0 / c.interval;
        EXPECT_NEAR(speed, set, set * 0.01) << c.name;
        // Never more than a tick's worth and the longest walk behind or ahead.
        EXPECT_LE(worst, 1 + std::max(c.stallMs, c.walkAfterTick) / c.interval) << c.name;
        EXPECT_EQ(t.CurrentMessageScrollOffset.load(), t.PixelsMoved()) << c.name;
    }
}

TEST_F(TickerTest, AStallLongerThanTheCatchUpIsNotMadeUp) {
    ATicker t;
    t.MessageWidth = 1'000'000'000;
    std::int64_t now = 0;
    t.SetClock([&] { return now; });
    t.SetTickInterval(kNever);
    t.SetEnabled(true);
    // Driven by hand: TickerTickDue reads the interval the timer was given.
    {
        const auto lock = platform::LockTickList();
        t.TickTimer().SetInterval(10);
    }
    now = std::int64_t(60) * 1'000'000'000; // a minute stopped
    t.TickerTickDue();
    EXPECT_EQ(t.PixelsMoved(), ATicker::kMaxCatchUpMs / 10);
    now += 10'000'000;
    t.TickerTickDue();
    EXPECT_EQ(t.PixelsMoved(), ATicker::kMaxCatchUpMs / 10 + 1);
    t.TickerTickDue(); // no time passed: nothing due
    EXPECT_EQ(t.PixelsMoved(), ATicker::kMaxCatchUpMs / 10 + 1);
}

// A cell is rendered once when its item comes into view and reused while it stays there;
// a change of the look renders it again. A frame of reused cells equals one whose cells
// were all rendered for it.
TEST_F(TickerTest, CellsAreRenderedOnceWhileInViewAndAgainWhenTheLookChanges) {
    ATicker t;
    Show(t, {"http://a.test/", ""}, 4);
    t.SetBounds(0, 0, 250, 60);
    Manual(t);
    t.MessageWidth = 100;
    t.PaintFrame(); // cells 0, 1, 2 in view
    EXPECT_EQ(t.CellsRendered(), 3);
    for (int i = 0; i < 40; ++i) {
        t.TickerTick();
    }
    EXPECT_EQ(t.CellsRendered(), 3);
    for (int i = 0; i < 60; ++i) {
        t.TickerTick(); // one item stepped out, the fourth in
    }
    EXPECT_EQ(t.CellsRendered(), 4);
    for (int i = 0; i < 37; ++i) {
        t.TickerTick();
    }
    const QImage reused = t.Frame().copy();
    const platform::Color background = t.BodyBgColor;
    t.BodyBgColor = kYellow;
    t.PaintFrame();
    EXPECT_EQ(t.CellsRendered(), 7);
    EXPECT_NE(t.Frame(), reused);
    t.BodyBgColor = background;
    t.PaintFrame();
    EXPECT_EQ(t.CellsRendered(), 10);
    EXPECT_EQ(t.Frame(), reused);
}

// Thumbnails left to decode when shown: the ticker chooses by the size from the file's
// header and decodes only the thumbnail it paints.
TEST_F(TickerTest, OnlyThePaintedThumbnailIsDecoded) {
    tolvar::test::TempFolder folder;
    const std::string path = folder.Path() + "/pic.jpg";
    tolvar::test::WriteFile(path, tolvar::test::JpegBytes(platform::NewPicture(64, 48, kRed)));
    ATicker t;
    auto* item = new AXMessage;
    item->Title = "Titel";
    AXMessageImage** thumbSlots[] = {&item->Thumb1, &item->Thumb2, &item->Thumb4, &item->Thumb8};
    for (int k = 0; k < 4; ++k) {
        auto* thumb = new AXMessageImage;
        thumb->ScaleDivisor = 1 << k;
        thumb->SetPendingJpeg(path);
        *thumbSlots[k] = thumb;
    }
    AXMessageList source;
    source.AddMessage(item);
    t.SetMessages(&source);
    t.RebuildDisplayList();
    // Body 96 - 22 - 4 = 70 high: Thumb1 (48) needs 72, Thumb2 (24) needs 36.
    t.SetBounds(0, 0, 300, 96);
    Manual(t);
    t.PaintFrame();
    for (int k = 0; k < 4; ++k) {
        AXMessageImage* thumb = *thumbSlots[k];
        const std::lock_guard lock(thumb->CanvasLock());
        EXPECT_EQ(thumb->Picture().isNull(), k != 1) << k;
    }
    // The decoded thumbnail is in the frame (red within the JPEG's rounding).
    const QRgb shown = t.Frame().pixel(2 + 5, 22 + 2 + 5);
    EXPECT_GT(qRed(shown), 240);
    EXPECT_LT(qGreen(shown), 16);
}

TEST_F(TickerTest, NoScrollingOrPaintingWhileDisabledOrWithoutACellWidth) {
    for (const int width : {0, -5}) {
        ATicker t;
        Show(t, {}, 2);
        t.SetBounds(0, 0, 200, 60);
        Manual(t);
        t.MessageWidth = width;
        t.CurrentMessageScrollOffset = 7;
        t.TickerTick();
        EXPECT_EQ(t.CurrentMessageScrollOffset.load(), 7) << width;
        EXPECT_TRUE(t.Frame().isNull()) << width;
        EXPECT_EQ(t.LinkAt(10), "") << width;
    }
    ATicker t;
    Show(t, {}, 2);
    t.SetTickInterval(kNever);
    t.TickerTick(); // never enabled
    EXPECT_EQ(t.CurrentMessageScrollOffset.load(), 0);
    EXPECT_TRUE(t.Frame().isNull());
}

TEST_F(TickerTest, LinkAtNamesTheItemOfTheCellUnderThePoint) {
    ATicker t;
    const auto items = Show(t, {"http://a", "", "http://c"}, 3);
    t.SetBounds(0, 0, 250, 60);
    t.MessageWidth = 100;
    t.CurrentMessageScrollOffset = 30;
    // Cells on screen: item 0 at -30..69, item 1 at 70..169, item 2 at 170..269.
    struct Case {
        int x;
        std::size_t item;
    };
    const Case cases[] = {{0, 0}, {69, 0}, {70, 1}, {100, 1}, {169, 1}, {170, 2}, {249, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(t.LinkAt(c.x), items[c.item]->Link) << c.x;
    }
    // The left half of the second visible cell.
    EXPECT_EQ(t.LinkAt(90), items[1]->Link);

    ATicker empty;
    EXPECT_EQ(empty.LinkAt(10), "");
}

TEST_F(TickerTest, ClicksAndMenuRequestsHandOutTheLinkOfTheCellUnderTheMouse) {
    ATicker t;
    const auto items = Show(t, {"http://a", ""}, 2);
    t.SetBounds(0, 0, 200, 60);
    t.MessageWidth = 100;
    const AXMessage* linked = items[0]->Link.empty() ? items[1] : items[0];
    const int linkedX = linked == items[0] ? 20 : 120;
    const int plainX = linked == items[0] ? 120 : 20;

    auto press = [&](int x, Qt::MouseButton button) {
        const QPointF p(x, 30);
        QMouseEvent down(QEvent::MouseButtonPress, p, t.mapToGlobal(p), button, button,
                         Qt::NoModifier);
        QMouseEvent up(QEvent::MouseButtonRelease, p, t.mapToGlobal(p), button, Qt::NoButton,
                       Qt::NoModifier);
        QApplication::sendEvent(&t, &down);
        QApplication::sendEvent(&t, &up);
    };

    // Without a handler a click changes nothing.
    press(linkedX, Qt::LeftButton);
    EXPECT_EQ(t.ClickedLink(), "");

    std::vector<std::string> clicked;
    t.OnLinkClick = [&](ATicker& sender) { clicked.push_back(sender.ClickedLink()); };
    press(linkedX, Qt::LeftButton);
    press(plainX, Qt::LeftButton);
    EXPECT_EQ(clicked, (std::vector<std::string>{"http://a", ""}));

    std::vector<std::pair<std::string, int>> menus;
    t.OnLinkContextPopup = [&](ATicker& sender, platform::Point p, bool& handled) {
        menus.emplace_back(sender.ClickedLink(), p.x);
        handled = true;
    };
    press(linkedX, Qt::RightButton);
    EXPECT_EQ(menus, (std::vector<std::pair<std::string, int>>{{"http://a", linkedX}}));

    auto move = [&](int x) {
        const QPointF p(x, 30);
        QMouseEvent e(QEvent::MouseMove, p, t.mapToGlobal(p), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
        QApplication::sendEvent(&t, &e);
    };
    move(linkedX);
    EXPECT_EQ(t.cursor().shape(), Qt::PointingHandCursor);
    move(plainX);
    EXPECT_EQ(t.cursor().shape(), Qt::ArrowCursor);
    move(linkedX);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&t, &leave);
    EXPECT_EQ(t.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(TickerTest, AFramePaintsTheCellsFromTheFirstVisibleToTheRightEdge) {
    struct Case {
        int width;
        int offset;
        std::vector<int> xs; // cell i at xs[i]
    };
    const Case cases[] = {
        {50, 0, {0}}, // narrower than one cell: cell 0 only
        {50, 10, {-10}},
        {200, 0, {0, 100, 200}}, // exactly two cells wide: three cells
        {200, 1, {-1, 99, 199}},
        {200, 100, {-100, 0, 100}},
        // The last of cells 0 .. width / MessageWidth would end at 240: one more reaches
        // the edge.
        {250, 60, {-60, 40, 140, 240}},
        {50, 60, {-60, 40}},
    };
    for (const Case& c : cases) {
        RecordingTicker t;
        const auto items = Show(t, {}, 2);
        t.SetBounds(0, 0, c.width, 40);
        t.MessageWidth = 100;
        t.CurrentMessageScrollOffset = c.offset;
        t.PaintFrame();
        std::vector<Cell> expected;
        for (std::size_t i = 0; i < c.xs.size(); ++i) {
            expected.push_back(Cell{items[i % items.size()], c.xs[i]});
        }
        EXPECT_EQ(t.cells, expected) << c.width << " offset " << c.offset;
        EXPECT_EQ(t.Frame().size(), QSize(c.width, 40));
    }
}

TEST_F(TickerTest, FramePixelsShowTitleBarBodyAndTheThumbnailThatLeavesAThirdFree) {
    ATicker t;
    t.TitleHeight = 10;
    t.TitleBorderContrast = 0;
    t.TitleBgColor = kGreen;
    t.BodyBgColor = 0xFFFFFF;
    t.MessageWidth = 40;
    t.SetBounds(0, 0, 100, 60);
    // Body 36 x 46: a 10 x 10 thumbnail fits whole (46 >= 15, 18 >= 10).
    auto* item = new AXMessage;
    item->Thumb1 = Thumb(10, 10, kRed);
    AXMessageList source;
    source.AddMessage(item);
    t.SetMessages(&source);
    t.RebuildDisplayList();
    t.CurrentMessageScrollOffset = 5;
    t.PaintFrame();
    const QImage frame = t.Frame();
    ASSERT_EQ(frame.size(), QSize(100, 60));
    struct Probe {
        int x, y;
        Color expected;
    };
    // Cells at -5, 35 and 75; their thumbnails at -3, 37 and 77, rows 12 to 21.
    const Probe probes[] = {
        {0, 12, kRed},      {6, 21, kRed},      {7, 15, 0xFFFFFF},  {37, 12, kRed},
        {46, 21, kRed},     {47, 12, 0xFFFFFF}, {36, 12, 0xFFFFFF}, {80, 15, kRed},
        {20, 5, kGreen},    {60, 9, kGreen},    {20, 50, 0xFFFFFF}, {37, 22, 0xFFFFFF},
        {99, 59, 0xFFFFFF},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(PixelAt(frame, p.x, p.y), p.expected) << p.x << "," << p.y;
    }
    // The widget shows the frame.
    QImage shown(t.size(), QImage::Format_RGB32);
    t.render(&shown);
    EXPECT_EQ(PixelAt(shown, 40, 15), kRed);
    EXPECT_EQ(PixelAt(shown, 20, 5), kGreen);
}

TEST_F(TickerTest, ThumbnailChoiceKeepsAThirdOfTheBodyFree) {
    struct Case {
        int height; // of the ticker; the body is height - 14 high
        int thumb;  // Thumb1's side; Thumb2, 4 and 8 are half, a quarter, an eighth
        Color expected;
    };
    // Body width 36: W / 2 = 18.
    const Case cases[] = {
        {44, 16, kRed},      // body 30 >= 24, 18 >= 16
        {37, 16, kGreen},    // body 23 < 24: Thumb2 (23 >= 12, 18 >= 8)
        {44, 30, kGreen},    // 18 < 30: Thumb2 (30 >= 22, 18 >= 15)
        {44, 40, kBlue},     // Thumb4 (30 >= 15, 18 >= 10)
        {44, 80, kYellow},   // Thumb8 (30 >= 15, 18 >= 10)
        {44, 200, 0xFFFFFF}, // none fits
    };
    for (const Case& c : cases) {
        ATicker t;
        t.TitleHeight = 10;
        t.TitleBorderContrast = 0;
        t.MessageWidth = 40;
        t.SetBounds(0, 0, 40, c.height);
        auto* item = new AXMessage;
        item->Thumb1 = Thumb(c.thumb, c.thumb, kRed);
        item->Thumb2 = Thumb(c.thumb / 2, c.thumb / 2, kGreen);
        item->Thumb4 = Thumb(c.thumb / 4, c.thumb / 4, kBlue);
        item->Thumb8 = Thumb(c.thumb / 8, c.thumb / 8, kYellow);
        AXMessageList list;
        list.AddMessage(item);
        t.SetMessages(&list);
        t.RebuildDisplayList();
        t.PaintFrame();
        EXPECT_EQ(PixelAt(t.Frame(), 2, 12), c.expected) << c.height << " " << c.thumb;
    }
}

TEST_F(TickerTest, AFrameWithoutItemsIsAnEmptyBand) {
    ATicker t;
    t.BodyBgColor = kBlue;
    t.SetBounds(0, 0, 80, 30);
    t.PaintFrame();
    const QImage frame = t.Frame();
    ASSERT_EQ(frame.size(), QSize(80, 30));
    EXPECT_EQ(PixelAt(frame, 0, 0), kBlue);
    EXPECT_EQ(PixelAt(frame, 79, 29), kBlue);
}

TEST_F(TickerTest, AHugeTickerPaintsAFrameOfBoundedSize) {
    ATicker t;
    Show(t, {}, 2);
    t.MessageWidth = 4000;
    t.SetBounds(0, 0, 1'000'000, 100'000);
    t.PaintFrame();
    EXPECT_EQ(t.Frame().size(), QSize(ATicker::kMaxFrameWidth, ATicker::kMaxFrameHeight));
}

TEST_F(TickerTest, AFrameMergesAWaitingItemSetAfterwards) {
    RecordingTicker t;
    const auto first = Show(t, {}, 3);
    t.SetBounds(0, 0, 100, 40);
    t.MessageWidth = 100;
    AXMessageList next;
    for (int i = 0; i < 2; ++i) {
        next.AddMessage(new AXMessage);
    }
    t.SetMessages(&next);
    t.PaintFrame();
    EXPECT_EQ(t.cells.front().item, first[0]); // painted from the old list
    EXPECT_EQ(t.PendingList().Count(), 0);
    // The item on screen stays, retiring, ahead of the new set.
    EXPECT_EQ(t.DisplayList().Count(), 3);
    EXPECT_EQ(t.MessageAt(0).get(), first[0]);
    EXPECT_TRUE(first[0]->Retiring.load());
}

// In both modes the cells appear at the ticker's place in its parent.
TEST_F(TickerTest, FramesAppearAtTheTickersPlace) {
    for (const bool onScreen : {false, true}) {
        QWidget form;
        form.resize(200, 100);
        ATicker t(&form);
        t.TitleHeight = 10;
        t.TitleBorderContrast = 0;
        t.TitleBgColor = kGreen;
        t.BodyBgColor = kBlue;
        t.SetDrawOnScreen(onScreen);
        t.SetBounds(20, 30, 100, 40);
        t.MessageWidth = 50;
        Show(t, {}, 1);
        t.PaintFrame();
        QApplication::processEvents();
        QImage shown(form.size(), QImage::Format_RGB32);
        form.render(&shown);
        EXPECT_EQ(PixelAt(shown, 68, 31), kGreen) << onScreen; // right of the title text
        EXPECT_EQ(PixelAt(shown, 110, 60), kBlue) << onScreen;
        EXPECT_NE(PixelAt(shown, 10, 35), kGreen) << onScreen;
    }
}

// The timer thread scrolls, paints, steps past retiring items and merges while the main
// thread stores new sets, steps, resizes, asks for links and shows the frames. Each set's
// source list is dropped at once, so the ticker's lists hold the only references: an
// item freed while still in use is a sanitizer report, one never freed keeps a reference
// to the thumbnail all items share.
TEST_F(TickerTest, ALiveTickerSharesItsListsWithTheMainThread) {
    constexpr int kRounds = 60;
    constexpr int kSetSize = 3;
    AXMessageImage* shared = Thumb(8, 8, kRed);
    auto ticker = std::make_unique<ATicker>();
    ATicker& t = *ticker;
    t.TitleHeight = 10;
    t.MessageWidth = 60;
    t.SetBounds(0, 0, 250, 40);
    t.SetTickInterval(1);
    t.SetEnabled(true);
    for (int round = 0; round < kRounds; ++round) {
        {
            AXMessageList set;
            for (int i = 0; i < kSetSize; ++i) {
                auto* item = new AXMessage;
                item->ChannelName = "r" + std::to_string(round);
                item->Title = "Titel " + std::to_string(i);
                item->Link = i == 0 ? std::string() : "http://r" + std::to_string(round);
                item->Thumb1 = shared->AddRef();
                set.AddMessage(item);
            }
            t.SetMessages(&set);
        }
        t.Step(round % 2 == 0 ? 1 : -1);
        const std::string link = t.LinkAt(round * 7 % 250);
        EXPECT_TRUE(link.empty() || link.rfind("http://r", 0) == 0) << link;
        t.SetBounds(0, 0, 150 + round % 3 * 60, 40);
        QImage shown(t.size(), QImage::Format_RGB32);
        t.render(&shown);
        QApplication::processEvents();
        // At least one tick between two rounds.
        const int offset = t.CurrentMessageScrollOffset.load();
        ASSERT_TRUE(WaitUntil([&] { return t.CurrentMessageScrollOffset.load() != offset; }));
    }
    // The last set is merged by a frame.
    ASSERT_TRUE(WaitUntil([&] { return t.PendingList().Count() == 0; }));
    t.SetEnabled(false);
    const std::string last = "r" + std::to_string(kRounds - 1);
    int fresh = 0;
    for (AXMessage* item : t.DisplayList().LockList()) {
        EXPECT_EQ(item->RefCount(), 1) << item->ChannelName;
        if (!item->Retiring.load()) {
            EXPECT_EQ(item->ChannelName, last);
            ++fresh;
        }
    }
    EXPECT_EQ(fresh, kSetSize);
    ticker.reset();
    // Every item is gone, and with it its reference to the thumbnail.
    EXPECT_EQ(shared->RefCount(), 1);
    shared->Release();
}

// Holds a thumbnail's canvas lock on a thread of its own, so that a tick painting the
// thumbnail waits on the timer thread. Once the test has begun to stop the ticker it
// keeps holding a while longer: a stop that did not wait for the tick would return
// meanwhile.
class ThumbHold {
public:
    explicit ThumbHold(AXMessageImage* thumb)
        : thread_([this, thumb] {
              const std::lock_guard lock(thumb->CanvasLock());
              held_ = true;
              WaitUntil([&] { return stopping.load(); });
              if (WaitUntil([&] { return stopped.load(); }, std::chrono::milliseconds(200))) {
                  stoppedWhileHeld = true;
              }
          }) {
        WaitUntil([&] { return held_.load(); });
    }
    ThumbHold(const ThumbHold&) = delete;
    ThumbHold& operator=(const ThumbHold&) = delete;
    ~ThumbHold() { Join(); }
    void Join() {
        stopping = true;
        stopped = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::atomic<bool> stopping{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> stoppedWhileHeld{false};

private:
    std::atomic<bool> held_{false};
    std::thread thread_;
};

class HeldTickerTest : public TickerTest {
protected:
    // A ticker ticking every period whose next tick waits for the held thumbnail.
    std::unique_ptr<ATicker> StartHeld() {
        auto t = std::make_unique<ATicker>();
        auto* item = new AXMessage;
        item->Thumb1 = Thumb(10, 10, kRed);
        items.AddMessage(item); // keeps the item and its thumbnail beyond the ticker
        hold = std::make_unique<ThumbHold>(item->Thumb1);
        t->SetMessages(&items);
        t->RebuildDisplayList();
        t->SetBounds(0, 0, 100, 40);
        t->MessageWidth = 100;
        t->SetTickInterval(1);
        t->SetEnabled(true);
        // The tick is painting, and waits for the thumbnail.
        EXPECT_TRUE(WaitUntil([&] { return t->IsPainting.load(); }));
        return t;
    }
    AXMessageList items;
    std::unique_ptr<ThumbHold> hold;
};

TEST_F(HeldTickerTest, DisablingWaitsForARunningTickAndNoneFollows) {
    const auto t = StartHeld();
    hold->stopping = true;
    t->SetEnabled(false);
    hold->stopped = true;
    hold.reset();
    // Set only while a frame is painted: the frame had ended when disabling returned.
    EXPECT_FALSE(t->IsPainting.load());

    const QImage frame = t->Frame();
    const int offset = t->CurrentMessageScrollOffset.load();
    xMMTimer walks(nullptr);
    walks.SetInterval(1);
    std::atomic<int> count{0};
    walks.SetOnTimer([&](QObject*) { ++count; });
    walks.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return count.load() >= 20; }));
    EXPECT_EQ(t->CurrentMessageScrollOffset.load(), offset);
    EXPECT_EQ(t->Frame().cacheKey(), frame.cacheKey());
}

TEST_F(HeldTickerTest, DisablingReturnsOnlyAfterTheRunningTick) {
    const auto t = StartHeld();
    hold->stopping = true;
    t->SetEnabled(false);
    hold->stopped = true;
    hold->Join();
    EXPECT_FALSE(hold->stoppedWhileHeld.load());
}

// A tick that ran on after the destructor returned would touch freed memory (the
// sanitizer reports it) and see the stop.
TEST_F(HeldTickerTest, DestructionReturnsOnlyAfterTheRunningTick) {
    auto t = StartHeld();
    hold->stopping = true;
    t.reset();
    hold->stopped = true;
    hold->Join();
    EXPECT_FALSE(hold->stoppedWhileHeld.load());
}

} // namespace

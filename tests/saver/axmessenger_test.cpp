#include "saver/axmessenger.h"
#include "support/guiapp.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QBuffer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using tolvar::test::BmpBytes;
using tolvar::test::PixelAt;

using platform::Canvas;
using platform::Color;
using platform::Rect;
using tolvar::test::TempFolder;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;
using Line = AXMessenger::TextLine;

// The application must exist before the fixture's widgets.
struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

// The base paints nothing of its own; the derived widgets do.
class Messenger : public AXMessenger {
protected:
    void Paint(Canvas&) override {}
};

// Every character (not UTF-16 unit) 10 pixels wide.
int TenPerCharacter(const QString& text) {
    return int(text.toUcs4().size()) * 10;
}

// A list of new items named prefix + index; the list holds the only reference.
std::unique_ptr<AXMessageList> MakeItems(const std::string& prefix, int n) {
    auto list = std::make_unique<AXMessageList>();
    for (int i = 0; i < n; ++i) {
        auto* item = new AXMessage;
        item->ChannelName = prefix + std::to_string(i);
        list->AddMessage(item);
    }
    return list;
}

std::vector<AXMessage*> Entries(const AXMessageList& list) {
    const auto view = list.LockList();
    return *view;
}

class MessengerTest : public ::testing::Test, private GuiAppFirst {
protected:
    // The display list holding exactly the items of `items` (in the shuffled order).
    std::vector<AXMessage*> Show(AXMessageList& items) {
        m.SetMessages(&items);
        m.RebuildDisplayList();
        return Entries(m.DisplayList());
    }
    Messenger m;
};

// --- Bevel and frame box

TEST(BevelShadesTest, ChannelsShadeInTheirPlaceAndLightStopsAtFull) {
    struct Case {
        Color color;
        int k;
        Color light;
        Color dark;
    };
    const Case cases[] = {
        // Green 0x80: 0x8000 / 6 = 0x1555, whose low bits fall off with the mask.
        {0x008000, 6, 0x009500, 0x006A00},
        // Every channel full: light stays full, dark loses a sixth of each.
        {0xFFFFFF, 6, 0xFFFFFF, 0xD4D4D5},
        {0x102030, 1, 0x204060, 0x000000},
        {0x000000, 3, 0x000000, 0x000000},
        // A high byte outside the three channels is ignored.
        {0xFF000080, 2, 0x0000C0, 0x000040},
    };
    for (const Case& c : cases) {
        const auto shades = AXMessenger::BevelShades(c.color, c.k);
        EXPECT_EQ(shades.light, c.light) << std::hex << c.color << " k " << c.k;
        EXPECT_EQ(shades.dark, c.dark) << std::hex << c.color << " k " << c.k;
    }
}

TEST_F(MessengerTest, FrameBoxFillsTitleAndBodyWithARaisedBevel) {
    m.TitleHeight = 8;
    m.TitleBorderWidth = 2;
    m.TitleBgColor = 0x008000;
    m.BodyBgColor = 0x0000FF;
    const auto shades = AXMessenger::BevelShades(m.TitleBgColor, m.TitleBorderContrast);
    QImage image = platform::NewPicture(30, 20, 0x123456);
    Canvas canvas(image);
    m.PaintFrameBox(canvas, Rect{5, 0, 25, 20});

    struct Probe {
        int x, y;
        Color expected;
    };
    const Probe probes[] = {
        {10, 0, shades.light},   {10, 1, shades.light},   {5, 4, shades.light},
        {6, 4, shades.light},    {5, 0, shades.light},    {24, 0, shades.light},
        {10, 7, shades.dark},    {10, 6, shades.dark},    {24, 4, shades.dark},
        {23, 4, shades.dark},    {10, 3, m.TitleBgColor}, {10, 8, m.BodyBgColor},
        {24, 19, m.BodyBgColor}, {4, 4, 0x123456},        {25, 10, 0x123456},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(PixelAt(image, p.x, p.y), p.expected) << p.x << "," << p.y;
    }
}

TEST_F(MessengerTest, NoBevelWithoutContrastAndNoneOutsideItsOwnBar) {
    m.TitleHeight = 8;
    m.TitleBgColor = 0x008000;
    m.BodyBgColor = 0xFFFFFF;
    for (const int contrast : {0, -3}) {
        m.TitleBorderContrast = contrast;
        QImage image = platform::NewPicture(20, 20);
        Canvas canvas(image);
        m.PaintFrameBox(canvas, Rect{0, 0, 20, 20});
        EXPECT_EQ(PixelAt(image, 5, 0), m.TitleBgColor) << contrast;
        EXPECT_EQ(PixelAt(image, 5, 7), m.TitleBgColor) << contrast;
    }
    // A border wider than the bar: the bevel of the left cell stays out of its neighbour
    // and out of its own body.
    m.TitleBorderContrast = 6;
    m.TitleBorderWidth = 50;
    QImage image = platform::NewPicture(40, 20, 0x123456);
    Canvas canvas(image);
    m.PaintFrameBox(canvas, Rect{0, 0, 20, 20});
    for (int x = 20; x < 40; ++x) {
        for (int y = 0; y < 20; ++y) {
            ASSERT_EQ(PixelAt(image, x, y), 0x123456u) << x << "," << y;
        }
    }
    EXPECT_EQ(PixelAt(image, 10, 15), m.BodyBgColor);
}

TEST_F(MessengerTest, TitleTallerThanTheBoxLeavesNoBodyFill) {
    m.TitleHeight = 15;
    m.TitleBgColor = 0x008000;
    m.BodyBgColor = 0x0000FF;
    QImage image = platform::NewPicture(20, 20, 0x123456);
    Canvas canvas(image);
    m.PaintFrameBox(canvas, Rect{0, 0, 20, 10});
    EXPECT_EQ(PixelAt(image, 10, 12), m.TitleBgColor);
    for (int y = 0; y < 20; ++y) {
        EXPECT_NE(PixelAt(image, 10, y), m.BodyBgColor) << y;
    }
}

// --- Title text

TEST(FitWithEllipsisTest, CutsCharacterByCharacterUntilTheEllipsisFits) {
    struct Case {
        const char* text;
        int available;
        const char* expected;
    };
    const Case cases[] = {
        {"abc", 30, "abc"},      // fits exactly: unchanged
        {"abcdef", 50, "ab..."}, // cut until text + "..." fits
        {"abcdef", 59, "ab..."}, //
        {"abc", 20, "..."},      // nothing fits: the ellipsis alone
        {"abc", -5, "..."},      // no room at all
        {"", 0, ""},             // empty fits
        {"a😀😀bcd", 50, "a😀..."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            AXMessenger::FitWithEllipsis(TenPerCharacter, QString::fromUtf8(c.text), c.available),
            QString::fromUtf8(c.expected))
            << c.text << " in " << c.available;
    }
    // Measured by UTF-16 units, "a😀" plus half a pair and "..." would fit in 75; a
    // surrogate pair is one character and goes whole.
    const auto perUnit = [](const QString& text) { return int(text.size()) * 10; };
    EXPECT_EQ(AXMessenger::FitWithEllipsis(perUnit, QString::fromUtf8("a😀😀bcd"), 75),
              QString::fromUtf8("a😀..."));
}

TEST_F(MessengerTest, TitleTextStaysInsideTheBevelInItsColour) {
    m.TitleHeight = 20;
    m.TitleBorderWidth = 2;
    m.TitleFontSize = 14;
    m.TitleFgColor = 0x0000FF;
    m.TitleBgColor = 0x00FF00;
    QImage image = platform::NewPicture(80, 30, m.TitleBgColor);
    Canvas canvas(image);
    m.PaintTitle(canvas, Rect{0, 0, 80, 20}, "WWWWWWWWWWWWWWWWWWWWWW");
    int inside = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 80; ++x) {
            const bool inClip = x >= 2 && x < 80 - 4 && y >= 2 && y < 18;
            const Color c = PixelAt(image, x, y);
            if (!inClip) {
                ASSERT_EQ(c, m.TitleBgColor) << x << "," << y;
            } else if (c == m.TitleFgColor) {
                ++inside;
            }
        }
    }
    EXPECT_GT(inside, 0);

    // No room between the bevels: nothing is drawn (not a mirrored clip).
    QImage narrow = platform::NewPicture(5, 20, m.TitleBgColor);
    Canvas narrowCanvas(narrow);
    m.PaintTitle(narrowCanvas, Rect{0, 0, 5, 20}, "WWW");
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 5; ++x) {
            ASSERT_EQ(PixelAt(narrow, x, y), m.TitleBgColor) << x << "," << y;
        }
    }
}

// --- Word wrap

struct WrapCase {
    const char* name;
    int w;
    int height;
    const char* text;
    const char* more; // null: no more-marker
    std::vector<Line> lines;
    int bottom;
};

TEST(WrapTextTest, LinesAndFinalTop) {
    // Ten pixels a character (a space too), lines 10 high, starting at y = 100.
    const WrapCase cases[] = {
        {"one word fits", 100, 30, "abc", nullptr, {{100, "abc "}}, 110},
        {"one word with marker", 100, 30, "abc", "[m]", {{100, "abc  [m]"}}, 110},
        {"two lines", 70, 100, "aa bb cc dd", nullptr, {{100, "aa bb "}, {110, "cc dd "}}, 120},
        {"one line stops after the first word",
         100,
         10,
         "aa bb cc",
         "[m]",
         {{100, "aa  [m]"}},
         110},
        {"one line without marker", 100, 19, "aa bb cc", nullptr, {{100, "aa "}}, 110},
        // The marker takes a line of its own only while one more line fits.
        {"marker on its own line", 70, 30, "aa bb", "[mm]", {{100, "aa bb "}, {110, "[mm]"}}, 120},
        {"last line cut for the marker",
         70,
         20,
         "aa bb cc dd ee ff",
         "[m]",
         {{100, "aa bb "}, {110, "cc  [m]"}},
         120},
        // The last line that fits is full before its second word: it still ends the text
        // and carries the marker; nothing goes below it.
        {"full last line keeps the marker",
         70,
         20,
         "aa bb ccccc ddddd",
         "[m]",
         {{100, "aa bb "}, {110, "ccc [m]"}},
         120},
        {"full last line without marker",
         70,
         20,
         "aa bb ccccc ddddd eeeee",
         nullptr,
         {{100, "aa bb "}, {110, "ccccc "}},
         120},
        // A last word that does not fit goes on the next line with the marker.
        {"last word on its own line",
         70,
         30,
         "aa bb cccc",
         "[m]",
         {{100, "aa bb "}, {110, "cccc [m]"}},
         120},
        // A first word wider than the line is not preceded by an empty line.
        {"long word alone", 50, 10, "abcdefgh", nullptr, {{100, "ab..."}}, 110},
        {"long word alone with marker", 50, 10, "abcdefgh", "[m]", {{100, "a [m]"}}, 110},
        {"long first word then more",
         50,
         30,
         "abcdefgh xy",
         "[m]",
         {{100, "abcdefgh "}, {110, "xy [m]"}},
         120},
        // Not even one line fits: nothing, and the top stays.
        {"no whole line", 100, 9, "abc", "[m]", {}, 100},
        {"negative height", 100, -30, "abc", nullptr, {}, 100},
        {"empty text", 100, 30, "", "[m]", {}, 100},
        // Separators: two spaces give an empty word, breaks separate, a final one ends.
        {"double space", 100, 30, "a  b", nullptr, {{100, "a  b "}}, 110},
        {"line breaks", 100, 30, "a\nb\r\nc\rd", nullptr, {{100, "a b c d "}}, 110},
        {"trailing space", 100, 30, "a ", nullptr, {{100, "a "}}, 110},
    };
    for (const WrapCase& c : cases) {
        const QString more = c.more != nullptr ? QString::fromUtf8(c.more) : QString();
        const auto wrapped =
            AXMessenger::WrapText(TenPerCharacter, 10, 100, c.w, c.height,
                                  QString::fromUtf8(c.text), c.more != nullptr ? &more : nullptr);
        EXPECT_EQ(wrapped.lines, c.lines) << c.name;
        EXPECT_EQ(wrapped.bottom, c.bottom) << c.name;
    }
}

TEST(WrapTextTest, EveryLineLiesInsideTheHeight) {
    // Whatever the text, no line starts below the last whole line and the top never
    // passes the rectangle's bottom.
    const QString texts[] = {
        QStringLiteral("aa bb cc dd ee ff gg hh ii jj kk ll"),
        QStringLiteral("aaaaaaaaaaaaaaaa b c"),
        QStringLiteral("a bbbbbbbbbbbbbbbbbbbb cccccccccccccccc dddddddddddddd"),
        QStringLiteral("          "),
    };
    const QString more = QStringLiteral("[mehr]");
    for (const QString& text : texts) {
        for (int height = 0; height <= 45; height += 5) {
            for (const QString* m : {static_cast<const QString*>(nullptr), &more}) {
                const auto wrapped =
                    AXMessenger::WrapText(TenPerCharacter, 10, 0, 80, height, text, m);
                EXPECT_LE(wrapped.bottom, height / 10 * 10) << text.toStdString() << height;
                for (const Line& line : wrapped.lines) {
                    EXPECT_LE(line.y + 10, height) << text.toStdString() << height;
                }
            }
        }
    }
}

TEST_F(MessengerTest, PaintTextDrawsOnlyInsideItsRectangleAndMovesTheTop) {
    m.BodyFgColor = 0x000000;
    m.BodyBgColor = 0xFFFFFF;
    m.BodyFontSize = 12;
    const std::string text =
        "Ein langer Text mit vielen Wörtern, der nicht in das kleine Rechteck passt, "
        "weil er viel zu lang ist und immer weiter geht.";
    QImage image = platform::NewPicture(200, 100);
    Canvas canvas(image);
    Rect r{10, 10, 110, 50};
    m.PaintText(canvas, r, true, false, false, text);
    const int lineHeight = canvas.TextExtent(QStringLiteral("ÄyWftbiíâ")).height;
    ASSERT_GT(lineHeight, 0);
    EXPECT_EQ(r.top, 10 + 40 / lineHeight * lineHeight);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 200; ++x) {
            if (y < 10 || y >= 50) {
                ASSERT_EQ(PixelAt(image, x, y), 0xFFFFFFu) << x << "," << y;
            }
        }
    }

    // Shorter than one line: nothing drawn, top unchanged.
    QImage small = platform::NewPicture(200, 100);
    Canvas smallCanvas(small);
    Rect tiny{10, 10, 110, 10 + lineHeight - 1};
    m.PaintText(smallCanvas, tiny, true, false, false, text);
    EXPECT_EQ(tiny.top, 10);
    EXPECT_EQ(small, platform::NewPicture(200, 100));
}

// --- Thumbnail

TEST_F(MessengerTest, ThumbDrawsAtTopLeftAndMovesTheLeftEdge) {
    TempFolder folder;
    QImage red(6, 4, QImage::Format_RGB32);
    red.fill(qRgb(255, 0, 0));
    WriteFile(folder.Path() + "/t.bmp", BmpBytes(red));
    auto* thumb = new AXMessageImage;
    thumb->LoadFromFile(folder.Path() + "/t.bmp");
    m.TitleBorderWidth = 3;

    QImage image = platform::NewPicture(30, 20);
    Canvas canvas(image);
    Rect r{5, 7, 30, 20};
    m.PaintThumb(canvas, r, thumb);
    EXPECT_EQ(r, (Rect{5 + 6 + 3, 7, 30, 20}));
    EXPECT_EQ(m.ThumbHeight(), 4);
    EXPECT_EQ(PixelAt(image, 5, 7), platform::Rgb(255, 0, 0));
    EXPECT_EQ(PixelAt(image, 10, 10), platform::Rgb(255, 0, 0));
    EXPECT_EQ(PixelAt(image, 11, 7), platform::kWhite);
    EXPECT_EQ(PixelAt(image, 5, 11), platform::kWhite);

    m.PaintThumb(canvas, r, nullptr);
    EXPECT_EQ(r, (Rect{14, 7, 30, 20}));
    EXPECT_EQ(m.ThumbHeight(), 0);
    thumb->Release();
}

// --- Pending and display lists

TEST_F(MessengerTest, SetMessagesWithNothingKeepsThePendingList) {
    auto items = MakeItems("a", 3);
    m.SetMessages(items.get());
    ASSERT_EQ(m.PendingList().Count(), 3);
    const auto before = Entries(m.PendingList());

    AXMessageList empty;
    m.SetMessages(&empty);
    m.SetMessages(nullptr);
    EXPECT_EQ(Entries(m.PendingList()), before);

    // A new set replaces the pending one and releases its items.
    auto other = MakeItems("b", 2);
    m.SetMessages(other.get());
    EXPECT_EQ(m.PendingList().Count(), 2);
    for (AXMessage* item : Entries(*items)) {
        EXPECT_EQ(item->RefCount(), 1);
    }
    EXPECT_EQ(m.DisplayList().Count(), 0);
}

TEST_F(MessengerTest, RebuildKeepsTheShownItemRetiringBeforeTheNewSet) {
    auto first = MakeItems("a", 4);
    const auto shown = Show(*first);
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(m.CurrentIndex(), 0);
    EXPECT_EQ(m.PendingList().Count(), 0);
    m.Step(2);

    // Nothing pending: nothing changes.
    m.RebuildDisplayList();
    EXPECT_EQ(Entries(m.DisplayList()), shown);
    EXPECT_EQ(m.CurrentIndex(), 2);

    auto second = MakeItems("b", 3);
    m.SetMessages(second.get());
    const auto pending = Entries(m.PendingList());
    m.RebuildDisplayList();
    // One message fills the widget (MessageWidth 0): only the current one stays.
    std::vector<AXMessage*> expected = {shown[2]};
    expected.insert(expected.end(), pending.begin(), pending.end());
    EXPECT_EQ(Entries(m.DisplayList()), expected);
    EXPECT_EQ(m.CurrentIndex(), 0);
    EXPECT_TRUE(shown[2]->Retiring.load());
    EXPECT_EQ(m.PendingList().Count(), 0);
    for (int i : {0, 1, 3}) {
        EXPECT_EQ(shown[std::size_t(i)]->RefCount(), 1) << i; // only its source list
    }
    for (AXMessage* item : pending) {
        EXPECT_FALSE(item->Retiring.load());
    }

    // Stepped past, the retiring item leaves; the new set goes round.
    m.Step(1);
    EXPECT_EQ(Entries(m.DisplayList()), pending);
    EXPECT_EQ(m.CurrentIndex(), 0);
    EXPECT_EQ(shown[2]->RefCount(), 1);
}

TEST_F(MessengerTest, RebuildKeepsEveryCellOnScreenInTheOrderShown) {
    // Cells of 100 in 250 pixels, scrolled: four cells show, wrapping past the end.
    m.MessageWidth = 100;
    m.SetBounds(0, 0, 250, 50);
    m.CurrentMessageScrollOffset = 5;
    auto first = MakeItems("a", 6);
    const auto shown = Show(*first);
    m.Step(4);
    ASSERT_EQ(m.CurrentIndex(), 4);

    auto second = MakeItems("b", 2);
    m.SetMessages(second.get());
    const auto pending = Entries(m.PendingList());
    m.RebuildDisplayList();
    std::vector<AXMessage*> expected = {shown[4], shown[5], shown[0], shown[1]};
    expected.insert(expected.end(), pending.begin(), pending.end());
    EXPECT_EQ(Entries(m.DisplayList()), expected);
    for (int i : {4, 5, 0, 1}) {
        EXPECT_TRUE(shown[std::size_t(i)]->Retiring.load()) << i;
    }
    EXPECT_EQ(shown[2]->RefCount(), 1);
    EXPECT_EQ(shown[3]->RefCount(), 1);
}

TEST_F(MessengerTest, VisibilityOfEntries) {
    struct Case {
        int messageWidth;
        int width;
        int offset;
        int current;
        std::vector<int> visible; // of 5 entries
    };
    const Case cases[] = {
        {0, 300, 0, 0, {0}},
        {0, 300, 0, 3, {3}},
        {0, 300, 7, 4, {4, 0}}, // scrolled: one more cell, wrapping
        {100, 300, 0, 1, {1, 2, 3}},
        {100, 250, 0, 1, {1, 2, 3}},
        {100, 250, 1, 1, {1, 2, 3, 4}},
        {100, 300, 0, 3, {3, 4, 0}},
        {100, 1000, 0, 2, {0, 1, 2, 3, 4}},
        {-50, 300, 0, 2, {2}}, // a negative width counts as 0
        {100, 0, 0, 2, {}},
    };
    auto items = MakeItems("a", 5);
    Show(*items);
    for (const Case& c : cases) {
        m.MessageWidth = c.messageWidth;
        m.SetBounds(0, 0, c.width, 40);
        m.CurrentMessageScrollOffset = c.offset;
        m.Step(c.current - m.CurrentIndex());
        ASSERT_EQ(m.CurrentIndex(), c.current);
        std::vector<int> visible;
        for (int j = 0; j < 5; ++j) {
            if (m.IsVisible(j)) {
                visible.push_back(j);
            }
        }
        std::sort(visible.begin(), visible.end());
        auto expected = c.visible;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(visible, expected)
            << c.messageWidth << " " << c.width << " " << c.offset << " " << c.current;
    }
}

TEST_F(MessengerTest, StepWrapsBothWaysAndZeroDoesNothing) {
    auto items = MakeItems("a", 3);
    Show(*items);
    struct Move {
        int n;
        int index;
    };
    const Move moves[] = {{0, 0}, {-1, 2}, {1, 0},  {1, 1},       {1, 2},
                          {1, 0}, {5, 2},  {-7, 1}, {INT_MAX, 2}, {INT_MIN, 0}};
    for (const Move& move : moves) {
        m.Step(move.n);
        EXPECT_EQ(m.CurrentIndex(), move.index) << move.n;
    }
    EXPECT_EQ(m.DisplayList().Count(), 3);

    Messenger empty;
    empty.Step(1);
    empty.Step(-1);
    EXPECT_EQ(empty.CurrentIndex(), 0);
    EXPECT_FALSE(empty.MessageAt(0));
}

TEST_F(MessengerTest, SteppingPastRetiringItemsRemovesThem) {
    auto items = MakeItems("a", 4);
    const auto shown = Show(*items);

    // Forward from a retiring item: it leaves and the index names the next one.
    shown[1]->Retiring = true;
    m.Step(1);
    m.Step(1);
    EXPECT_EQ(Entries(m.DisplayList()), (std::vector<AXMessage*>{shown[0], shown[2], shown[3]}));
    EXPECT_EQ(m.MessageAt(0).get(), shown[2]);

    // Back onto a retiring last entry: it leaves and the index stays inside the list.
    shown[3]->Retiring = true;
    m.Step(-1); // to shown[0]
    m.Step(-1); // onto shown[3], which leaves
    EXPECT_EQ(Entries(m.DisplayList()), (std::vector<AXMessage*>{shown[0], shown[2]}));
    EXPECT_GE(m.CurrentIndex(), 0);
    EXPECT_LT(m.CurrentIndex(), 2);
    EXPECT_TRUE(m.MessageAt(0));

    // A huge step over retiring items still ends, with every one of them gone.
    shown[0]->Retiring = true;
    shown[2]->Retiring = true;
    m.Step(INT_MAX);
    EXPECT_EQ(m.DisplayList().Count(), 0);
    EXPECT_EQ(m.CurrentIndex(), 0);
    EXPECT_FALSE(m.MessageAt(0));
}

TEST_F(MessengerTest, MessageAtWrapsAroundTheList) {
    auto items = MakeItems("a", 3);
    const auto shown = Show(*items);
    m.Step(1);
    struct Case {
        int offset;
        int entry;
    };
    const Case cases[] = {{0, 1},  {1, 2},  {2, 0},  {3, 1},       {7, 2},
                          {-1, 0}, {-2, 2}, {-4, 0}, {INT_MAX, 2}, {INT_MIN, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(m.MessageAt(c.offset).get(), shown[std::size_t(c.entry)]) << c.offset;
    }
}

TEST_F(MessengerTest, AnItemFromMessageAtOutlivesItsRemoval) {
    auto items = MakeItems("a", 2);
    const auto shown = Show(*items);
    AXMessage* current = shown[0];
    current->Retiring = true;
    items->RemoveMessage(current); // now only the display list holds it
    AXMessageRef held = m.MessageAt(0);
    ASSERT_EQ(held.get(), current);
    EXPECT_EQ(current->RefCount(), 2);
    m.Step(1); // stepped past: it leaves the display list
    EXPECT_EQ(m.DisplayList().Count(), 1);
    EXPECT_EQ(held->RefCount(), 1);
    EXPECT_EQ(held->ChannelName.substr(0, 1), "a");
}

// --- The flags between storing and rebuilding

TEST_F(MessengerTest, RebuildWaitsForAStoreAndAStoreWaitsForARebuild) {
    auto items = MakeItems("a", 2);
    m.SetMessages(items.get());

    // A store in progress: the rebuild is skipped.
    m.IsEnqueuing = true;
    m.RebuildDisplayList();
    EXPECT_EQ(m.DisplayList().Count(), 0);
    m.IsEnqueuing = false;
    // A rebuild in progress elsewhere: this one is skipped too.
    m.IsConstructing = true;
    m.RebuildDisplayList();
    EXPECT_EQ(m.DisplayList().Count(), 0);

    // A store during that rebuild claims its flag, then waits for the rebuild to end.
    auto more = MakeItems("b", 3);
    auto store = std::async(std::launch::async, [&] { m.SetMessages(more.get()); });
    ASSERT_TRUE(WaitUntil([&] { return m.IsEnqueuing.load(); }));
    EXPECT_EQ(m.PendingList().Count(), 2);
    EXPECT_EQ(store.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    m.IsConstructing = false;
    ASSERT_EQ(store.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(m.PendingList().Count(), 3);
    EXPECT_FALSE(m.IsEnqueuing.load());

    m.RebuildDisplayList();
    EXPECT_EQ(m.DisplayList().Count(), 3);
    EXPECT_FALSE(m.IsConstructing.load());
}

TEST_F(MessengerTest, StoresAndRebuildsOnTwoThreadsNeverMix) {
    // One thread stores sets of four items, each set its own generation; the other
    // rebuilds and steps. After every rebuild the display list must hold the retiring
    // item and exactly one whole set, and the last set stored must arrive: a rebuild that
    // ran during a store could take an empty pending list or clear one just stored.
    constexpr int kSets = 800;
    constexpr int kSize = 4;
    std::vector<std::unique_ptr<AXMessageList>> sets;
    for (int g = 0; g < kSets; ++g) {
        sets.push_back(MakeItems("g" + std::to_string(g) + ":", kSize));
    }
    std::atomic<bool> storing{true};
    std::atomic<int> rebuilds{0};
    std::atomic<int> violations{0};
    auto rebuilder = std::async(std::launch::async, [&] {
        std::string lastGeneration;
        while (storing.load() || m.PendingList().Count() != 0) {
            m.RebuildDisplayList();
            // Only this thread changes the display list, so it can be checked at leisure.
            std::string generation;
            int fresh = 0;
            for (AXMessage* item : Entries(m.DisplayList())) {
                if (item->Retiring.load()) {
                    continue;
                }
                const std::string g = item->ChannelName.substr(0, item->ChannelName.find(':'));
                if (!generation.empty() && g != generation) {
                    ++violations;
                }
                generation = g;
                ++fresh;
            }
            // Before the first rebuild the list is empty; from then on it always holds
            // one whole set.
            if (fresh != (lastGeneration.empty() && generation.empty() ? 0 : kSize)) {
                ++violations;
            }
            if (generation != lastGeneration) {
                ++rebuilds;
                lastGeneration = generation;
            }
            m.Step(1);
        }
    });
    for (auto& set : sets) {
        m.SetMessages(set.get());
    }
    storing = false;
    ASSERT_EQ(rebuilder.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_GT(rebuilds.load(), 0);
    // The last set stored is the one shown: no rebuild dropped it.
    for (AXMessage* item : Entries(m.DisplayList())) {
        if (!item->Retiring.load()) {
            EXPECT_EQ(item->ChannelName.substr(0, item->ChannelName.find(':')),
                      "g" + std::to_string(kSets - 1));
        }
    }
    EXPECT_FALSE(m.IsConstructing.load());
    EXPECT_FALSE(m.IsEnqueuing.load());
}

} // namespace

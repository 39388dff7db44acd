#include "saver/amessagewindow.h"
#include "support/guiapp.h"
#include "support/pictures.h"
#include "support/temphome.h"

#include <QApplication>
#include <QBuffer>
#include <QCoreApplication>
#include <QMouseEvent>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using tolvar::test::PixelAt;

using platform::Canvas;
using platform::Color;
using tolvar::test::TempFolder;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;

constexpr Color kRed = platform::Rgb(255, 0, 0);
constexpr Color kGreen = platform::Rgb(0, 255, 0);
constexpr Color kBlue = platform::Rgb(0, 0, 255);
constexpr Color kYellow = platform::Rgb(255, 255, 0);

struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

struct ItemText {
    std::string title;
    std::string text;
    std::string link;
};

AXMessage* NewItem(const ItemText& t) {
    auto* item = new AXMessage;
    item->ChannelName = "Kanal";
    item->Title = t.title;
    item->Text = t.text;
    item->Link = t.link;
    return item;
}

std::vector<AXMessage*> Entries(const AXMessageList& list) {
    const auto view = list.LockList();
    return *view;
}

// The rightmost column holding a dark pixel (text, smoothed or not) in rows [top,
// bottom); -1 if none.
int InkRight(const QImage& image, int top, int bottom) {
    int right = -1;
    for (int y = std::max(top, 0); y < std::min(bottom, image.height()); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qRed(p) < 128 && qGreen(p) < 128 && qBlue(p) < 128) {
                right = std::max(right, x);
            }
        }
    }
    return right;
}

class MessageWindowTest : public ::testing::Test, private GuiAppFirst {
protected:
    MessageWindowTest() {
        w.SetBounds(0, 0, 300, 40);
        w.MinHeight = 40;
        w.MaxHeight = 200;
    }

    // Items with the given texts; the window shows the first one after Start().
    void Give(const std::vector<ItemText>& texts) {
        for (const ItemText& t : texts) {
            source.AddMessage(NewItem(t));
        }
        w.SetMessages(&source);
    }
    // Turning the rotation on shows the placeholder (no items yet), merges the pending
    // set, and then shows its first item.
    void Start() { w.SetEnabled(true); }

    AXMessageImage* Thumb(int width, int height, Color color) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(platform::ToQRgb(color));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "BMP");
        const std::string path = folder.Path() + "/t" + std::to_string(++files) + ".bmp";
        WriteFile(path, bytes.toStdString());
        auto* thumb = new AXMessageImage;
        thumb->LoadFromFile(path);
        return thumb;
    }

    TempFolder folder;
    int files = 0;
    AXMessageList source;
    AMessagewindow w;
};

TEST_F(MessageWindowTest, CreatedWithItsRotationOff) {
    AMessagewindow fresh;
    EXPECT_FALSE(fresh.Enabled());
    EXPECT_EQ(fresh.Interval(), 0);
    EXPECT_FALSE(fresh.RotationTimer().Enabled());
    EXPECT_EQ(fresh.RotationTimer().Interval(), 10000);
    EXPECT_TRUE(fresh.Rendering().isNull());
    EXPECT_EQ(fresh.CurrentTitle(), "");
    EXPECT_EQ(fresh.MoreStr, "[mehr]");
    EXPECT_EQ(fresh.TitleBgColor, 0x008000u);

    fresh.SetInterval(3000);
    EXPECT_EQ(fresh.Interval(), 3000);
    EXPECT_EQ(fresh.RotationTimer().Interval(), 3000);
    fresh.SetEnabled(true);
    EXPECT_TRUE(fresh.RotationTimer().Enabled());
    fresh.SetEnabled(false);
    EXPECT_FALSE(fresh.RotationTimer().Enabled());
}

TEST_F(MessageWindowTest, WithoutItemsTheGermanPlaceholderShowsAndClicksOpenNothing) {
    Start();
    EXPECT_EQ(w.CurrentChannelName(), "Fehler");
    EXPECT_EQ(w.CurrentTitle(), "Keine Daten");
    EXPECT_EQ(w.CurrentText(),
              "Momentan liegen keine Daten vor. Dies kann daran liegen, daß keine "
              "Online-Verbindung besteht, oder daß der Server nicht erreicht werden konnte. ");
    EXPECT_EQ(w.CurrentLink(), "");
    EXPECT_EQ(w.CurrentThumb1(), nullptr);
    EXPECT_EQ(w.cursor().shape(), Qt::ArrowCursor);
    ASSERT_FALSE(w.Rendering().isNull());
    EXPECT_EQ(w.Height(), w.Rendering().height());
    EXPECT_GT(w.Height(), w.MinHeight); // the placeholder text needs several lines
    EXPECT_LE(w.Height(), w.MaxHeight);

    std::string opened = "none";
    w.OnClick = [&](platform::CustomControl&) { opened = w.CurrentLink(); };
    const QPointF p(5, 5);
    QMouseEvent press(QEvent::MouseButtonPress, p, w.mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, p, w.mapToGlobal(p), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
    QApplication::sendEvent(&w, &release);
    EXPECT_EQ(opened, "");
}

TEST_F(MessageWindowTest, ItemsLeavingTheListBringThePlaceholderBackKeepingThePicturePath) {
    Give({{"Eins", "", "http://a"}});
    Entries(source)[0]->ImagePath = "/cache/pic.jpg";
    Entries(source)[0]->ImageUri = "#pic";
    Start();
    EXPECT_EQ(w.CurrentTitle(), "Eins");
    EXPECT_EQ(w.CurrentLink(), "http://a");
    EXPECT_EQ(w.cursor().shape(), Qt::PointingHandCursor);

    Entries(w.DisplayList())[0]->Retiring = true;
    w.RotationTimer().OnTimer(); // stepped past: the list is empty
    EXPECT_EQ(w.CurrentTitle(), "Keine Daten");
    EXPECT_EQ(w.CurrentImageUri(), "");
    EXPECT_EQ(w.CurrentImagePath(), "/cache/pic.jpg");
    EXPECT_EQ(w.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(MessageWindowTest, TheTimerAndEachEnablingMoveOnOneItem) {
    Give({{"A", "", ""}, {"B", "", ""}, {"C", "", ""}});
    Start();
    const auto shown = Entries(w.DisplayList());
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(w.CurrentTitle(), shown[0]->Title);

    w.RotationTimer().OnTimer();
    EXPECT_EQ(w.CurrentTitle(), shown[1]->Title);
    w.SetEnabled(true); // on again: one more
    EXPECT_EQ(w.CurrentTitle(), shown[2]->Title);
    w.SetEnabled(true);
    EXPECT_EQ(w.CurrentTitle(), shown[0]->Title);

    // Off: the timer's event does nothing.
    w.SetEnabled(false);
    w.RotationTimer().OnTimer();
    EXPECT_EQ(w.CurrentTitle(), shown[0]->Title);

    // On a short interval the event loop rotates it.
    w.SetInterval(10);
    w.SetEnabled(true);
    const std::string before = w.CurrentTitle();
    EXPECT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return w.CurrentTitle() != before;
    }));
}

TEST_F(MessageWindowTest, ANewSetArrivesAfterTheItemShown) {
    Give({{"A", "", ""}, {"B", "", ""}});
    Start();
    AXMessageList second;
    second.AddMessage(NewItem({"X", "", ""}));
    second.AddMessage(NewItem({"Y", "", ""}));
    w.SetMessages(&second);

    w.RotationTimer().OnTimer(); // shows the next old item, then merges the new set
    const std::string shownOld = w.CurrentTitle();
    auto entries = Entries(w.DisplayList());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]->Title, shownOld);
    EXPECT_TRUE(entries[0]->Retiring.load());
    EXPECT_EQ(w.CurrentIndex(), 0);

    w.RotationTimer().OnTimer(); // the old item leaves once passed
    EXPECT_NE(w.CurrentTitle(), shownOld);
    EXPECT_TRUE(w.CurrentTitle() == "X" || w.CurrentTitle() == "Y") << w.CurrentTitle();
    EXPECT_EQ(w.DisplayList().Count(), 2);
}

TEST_F(MessageWindowTest, HeightFollowsTheContentBetweenMinAndMax) {
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "Wort" + std::to_string(i) + " ";
    }
    std::string hugeText;
    for (int i = 0; i < 400; ++i) {
        hugeText += "Wort" + std::to_string(i) + " ";
    }
    Give({{"Kurz", "", ""}});
    Start();
    EXPECT_EQ(w.Height(), w.MinHeight);
    EXPECT_EQ(w.Width(), 300);

    AMessagewindow tall;
    tall.SetBounds(0, 0, 300, 40);
    tall.MinHeight = 40;
    tall.MaxHeight = 200;
    AXMessageList items;
    items.AddMessage(NewItem({"Lang", longText, ""}));
    tall.SetMessages(&items);
    tall.SetEnabled(true);
    EXPECT_GT(tall.Height(), tall.MinHeight);
    EXPECT_LT(tall.Height(), tall.MaxHeight);
    EXPECT_EQ(tall.Height(), tall.Rendering().height());

    AMessagewindow huge;
    huge.SetBounds(0, 0, 300, 40);
    huge.MinHeight = 40;
    huge.MaxHeight = 200;
    AXMessageList hugeItems;
    hugeItems.AddMessage(NewItem({"Riesig", hugeText, "http://x"}));
    huge.SetMessages(&hugeItems);
    huge.SetEnabled(true);
    EXPECT_GT(huge.Height(), tall.Height());
    EXPECT_LE(huge.Height(), huge.MaxHeight);
}

TEST_F(MessageWindowTest, ThumbnailIsTheFirstSizeThatFits) {
    // Title bar 10 and border 2: the body is Width - 4 wide and MaxHeight - 14 high.
    struct Case {
        const char* name;
        int width;
        int maxHeight;
        bool withThumb2;
        Color atBodyCorner; // 0 when no thumbnail lies there
    };
    const Case cases[] = {
        {"full size fits", 104, 60, true, kRed},
        {"half width only", 64, 60, true, kGreen},
        {"low body", 104, 30, true, kBlue},
        {"very low body", 104, 21, true, kYellow},
        {"nothing fits", 104, 18, true, 0},
        // The half size is chosen but missing: none is drawn, no smaller one instead.
        {"chosen size missing", 64, 60, false, 0},
    };
    for (const Case& c : cases) {
        AMessagewindow win;
        win.SetBounds(0, 0, c.width, 20);
        win.MaxHeight = c.maxHeight;
        win.MinHeight = 0;
        AXMessage* item = NewItem({"", "", ""});
        item->Thumb1 = Thumb(40, 40, kRed);
        item->Thumb2 = c.withThumb2 ? Thumb(20, 20, kGreen) : nullptr;
        item->Thumb4 = Thumb(10, 10, kBlue);
        item->Thumb8 = Thumb(5, 5, kYellow);
        AXMessageList items;
        items.AddMessage(item);
        win.SetMessages(&items);
        win.SetEnabled(true);
        const QImage& r = win.Rendering();
        ASSERT_FALSE(r.isNull()) << c.name;
        const Color corner = PixelAt(r, 2, 12);
        if (c.atBodyCorner != 0) {
            EXPECT_EQ(corner, c.atBodyCorner) << c.name;
        } else {
            for (const Color thumb : {kRed, kGreen, kBlue, kYellow}) {
                EXPECT_NE(corner, thumb) << c.name;
            }
        }
    }
}

TEST_F(MessageWindowTest, WithoutAThumbnailTheTextStartsAtTheBodyEdge) {
    AMessagewindow win;
    win.SetBounds(0, 0, 12, 20); // body 8 wide: even the eighth (5 wide) is too wide
    win.MaxHeight = 100;
    AXMessage* item = NewItem({"Titel", "", ""});
    item->Thumb1 = Thumb(40, 40, kRed);
    item->Thumb2 = Thumb(20, 20, kGreen);
    item->Thumb4 = Thumb(10, 10, kBlue);
    item->Thumb8 = Thumb(5, 5, kYellow);
    AXMessageList items;
    items.AddMessage(item);
    win.SetMessages(&items);
    win.SetEnabled(true);
    const QImage& r = win.Rendering();
    bool ink = false;
    for (int y = 12; y < 30 && y < r.height(); ++y) {
        for (int x = 2; x < 10; ++x) {
            const Color c = PixelAt(r, x, y);
            EXPECT_TRUE(c != kRed && c != kGreen && c != kBlue && c != kYellow);
            const QRgb p = r.pixel(x, y);
            ink = ink || (qRed(p) < 128 && qGreen(p) < 128 && qBlue(p) < 128);
        }
    }
    EXPECT_TRUE(ink);
}

TEST_F(MessageWindowTest, AThumbnailTallerThanItsShareDoesNotGrowPastMaxHeight) {
    // The body is 20 high; the full size (41) is too high, so the half size is chosen,
    // but it is 21 high, as a decoder that rounds up makes it.
    AMessagewindow win;
    win.SetBounds(0, 0, 204, 20);
    win.MaxHeight = 34;
    win.MinHeight = 0;
    AXMessage* item = NewItem({"", "", ""});
    item->Thumb1 = Thumb(41, 41, kRed);
    item->Thumb2 = Thumb(21, 21, kGreen);
    AXMessageList items;
    items.AddMessage(item);
    win.SetMessages(&items);
    win.SetEnabled(true);
    EXPECT_EQ(PixelAt(win.Rendering(), 2, 12), kGreen);
    EXPECT_EQ(win.Height(), 34);
}

TEST_F(MessageWindowTest, TheMoreMarkerFollowsTheTextOrElseTheTitle) {
    struct Case {
        const char* name;
        ItemText item;
        bool titleWide;
        bool textWide;
    };
    const Case cases[] = {
        {"link and text: after the text", {"T", "X", "http://a"}, false, true},
        {"link, no text: after the title", {"T", "", "http://a"}, true, false},
        {"no link: no marker", {"T", "X", ""}, false, false},
    };
    // Line height of the body font, bold for the title line.
    QImage scratch = platform::NewPicture(1, 1);
    Canvas measure(scratch);
    platform::Font font;
    font.height = 10;
    font.weight = 700;
    measure.SetFont(font);
    const int titleLine = measure.TextExtent(QStringLiteral("ÄyWftbiíâ")).height;
    font.weight = 400;
    measure.SetFont(font);
    const int textLine = measure.TextExtent(QStringLiteral("ÄyWftbiíâ")).height;
    ASSERT_GT(titleLine, 0);

    for (const Case& c : cases) {
        AMessagewindow win;
        win.SetBounds(0, 0, 300, 20);
        win.MaxHeight = 100;
        win.MoreStr = "WWWWWWWWWW";
        AXMessageList items;
        items.AddMessage(NewItem(c.item));
        win.SetMessages(&items);
        win.SetEnabled(true);
        const QImage& r = win.Rendering();
        const int top = win.TitleHeight + win.TitleBorderWidth;
        const int titleRight = InkRight(r, top, top + titleLine);
        const int textRight = InkRight(r, top + titleLine, top + titleLine + textLine);
        EXPECT_EQ(titleRight > 60, c.titleWide) << c.name << " " << titleRight;
        EXPECT_EQ(textRight > 60, c.textWide) << c.name << " " << textRight;
    }
}

// Sizes from a layout can be anything: the widget then takes its least height (or
// keeps its size when nothing can be rendered) and shows what fits, and never fails.
TEST_F(MessageWindowTest, DegenerateSizesFromTheLayoutStillShow) {
    struct Case {
        const char* name;
        int width;
        int maxHeight;
        int minHeight;
        int height; // expected afterwards
    };
    const Case cases[] = {
        {"no rendering height", 300, 0, 40, 40},
        {"negative rendering height", 300, -20, 30, 30},
        {"rendering lower than the least height", 300, 20, 60, 60},
        {"title bar taller than the rendering", 300, 8, 0, 8},
        {"no width", 0, 200, 40, 40},
    };
    for (const Case& c : cases) {
        AMessagewindow win;
        win.SetBounds(0, 0, c.width, c.minHeight);
        win.MaxHeight = c.maxHeight;
        win.MinHeight = c.minHeight;
        AXMessageList items;
        items.AddMessage(NewItem({"Titel", "Ein Text mit einigen Wörtern", "http://a"}));
        win.SetMessages(&items);
        win.SetEnabled(true);
        EXPECT_EQ(win.Height(), c.height) << c.name;
        EXPECT_EQ(win.CurrentTitle(), "Titel") << c.name;
        if (!win.Rendering().isNull()) {
            EXPECT_EQ(win.Rendering().height(), c.height) << c.name;
        }
    }
}

TEST_F(MessageWindowTest, AHiddenWindowDoesNotRender) {
    Give({{"A", "", ""}});
    w.hide();
    Start();
    EXPECT_TRUE(w.Rendering().isNull());
    EXPECT_EQ(w.CurrentTitle(), "A"); // the item is still taken
}

} // namespace

#include "platform/ui/messagebox.h"
#include "saver/layoutcontrol.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/temphome.h"

#include <QApplication>
#include <QBuffer>
#include <QMouseEvent>
#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

struct GuiAppFirst {
    GuiAppFirst() { tolvar::test::EnsureGuiApp(); }
};

std::string BmpBytes(int width, int height, platform::Color color) {
    const QImage image = platform::NewPicture(width, height, color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    return bytes.toStdString();
}

LFScreen MakeScreen(int width, int height, const std::string& context = "") {
    LFScreen screen;
    screen.width = width;
    screen.height = height;
    screen.context = context;
    return screen;
}

LFScreenButton MakeButton(const std::string& id, int left, int top, int width, int height) {
    LFScreenButton button;
    button.id = id;
    button.left = left;
    button.top = top;
    button.width = width;
    button.height = height;
    return button;
}

std::unique_ptr<LFScreenTicker> MakeTicker() {
    auto ticker = std::make_unique<LFScreenTicker>();
    ticker->width = 400;
    ticker->height = 80;
    ticker->messagewidth = 200;
    ticker->title = std::make_unique<LFScreenTickerLayout>();
    ticker->title->fontsize = 10;
    ticker->title->height = 20;
    ticker->title->border = 2;
    ticker->body = std::make_unique<LFScreenTickerLayout>();
    ticker->body->fontsize = 10;
    return ticker;
}

std::unique_ptr<LFScreenMessagewindow> MakeMessagewindow() {
    auto w = std::make_unique<LFScreenMessagewindow>();
    w->left = 10;
    w->top = 10;
    w->width = 300;
    w->minheight = 60;
    w->maxheight = 200;
    w->title = std::make_unique<LFScreenMessagewindowLayout>();
    w->title->fontsize = 10;
    w->title->height = 20;
    w->body = std::make_unique<LFScreenMessagewindowLayout>();
    w->body->fontsize = 10;
    return w;
}

class LayoutControlTest : public ::testing::Test, private GuiAppFirst {
protected:
    LayoutControlTest() : cache(folder.Path()) {
        host.resize(1280, 1024);
        lc = std::make_unique<LayoutControl>(&host);
        lc->area = {0, 0, 1280, 1024};
        lc->cache = &cache;
        lc->RefreshRate = [this] { return refreshRate; };
    }
    ~LayoutControlTest() override { lc.reset(); }

    // A file in the cache folder, recorded under key and serial.
    void Cache(const std::string& key, const std::string& serial, const std::string& file,
               const std::string& bytes) {
        WriteFile(folder.Path() + "/" + file, bytes);
        auto entry = std::make_unique<CCObject>();
        entry->uri = key;
        entry->serial = serial;
        entry->file = file;
        cache.entries.Add(std::move(entry));
    }
    void Build(const LF& layout, int width = 1280, int height = 1024) {
        lc->BuildScreen(layout, width, "", height);
    }

    TempFolder folder;
    CC cache;
    platform::ControlHost host;
    double refreshRate = 60.0;
    std::unique_ptr<LayoutControl> lc;
};

// --- Choosing the screen and scaling

TEST_F(LayoutControlTest, ScreensOfAnotherSizeAreScaledFromTheirBaseSize) {
    struct Case {
        int areaWidth, areaHeight;
        int screenWidth, screenHeight; // the only screen of the layout
        int baseWidth, baseHeight;
        float scaleX, scaleY;
        int left, top, width, height; // the button placed at 100, 300 sized 64 x 48
    };
    const Case cases[] = {
        {1280, 1024, 1024, 768, 1024, 768, 1.25F, 1.3333334F, 125, 400, 80, 64},
        {800, 600, 1024, 768, 1024, 768, 0.78125F, 0.78125F, 78, 234, 50, 37},
        {1280, 1024, 1280, 1024, 1280, 1024, 1.0F, 1.0F, 100, 300, 64, 48},
    };
    for (const Case& c : cases) {
        lc->area = {0, 0, c.areaWidth, c.areaHeight};
        LF layout;
        layout.screens.push_back(MakeScreen(c.screenWidth, c.screenHeight));
        layout.screens.back().buttons.push_back(MakeButton("#b", 100, 300, 64, 48));
        layout.screens.back().ticker = MakeTicker();
        lc->BuildScreen(layout, c.areaWidth, "", c.areaHeight);
        ASSERT_EQ(lc->Screen(), &layout.screens.back()) << c.areaWidth;
        EXPECT_EQ(lc->BaseWidth(), c.baseWidth);
        EXPECT_EQ(lc->BaseHeight(), c.baseHeight);
        EXPECT_EQ(lc->ScaleX(), c.scaleX) << c.areaWidth;
        EXPECT_EQ(lc->ScaleY(), c.scaleY) << c.areaWidth;
        ASSERT_EQ(lc->Buttons().size(), 1u);
        const AButton& b = *lc->Buttons()[0];
        EXPECT_EQ(b.Left(), c.left) << c.areaWidth;
        EXPECT_EQ(b.Top(), c.top) << c.areaWidth;
        EXPECT_EQ(b.Width(), c.width) << c.areaWidth;
        EXPECT_EQ(b.Height(), c.height) << c.areaWidth;
        EXPECT_EQ(b.CurrentContext(), "default");
        // Font sizes scale with y and are truncated: 10 x 0.78125 gives 7.
        ASSERT_NE(lc->Ticker(), nullptr);
        EXPECT_EQ(lc->Ticker()->TitleFontSize, int(10 * c.scaleY)) << c.areaWidth;
        EXPECT_EQ(lc->Ticker()->MessageWidth.load(), int(200 * c.scaleX)) << c.areaWidth;
        EXPECT_FALSE(lc->Suspended());
    }
    lc->area = {0, 0, 800, 600};
    LF layout;
    layout.screens.push_back(MakeScreen(1024, 768));
    layout.screens.back().ticker = MakeTicker();
    lc->BuildScreen(layout, 800, "", 600);
    EXPECT_EQ(lc->Ticker()->TitleFontSize, 7);
}

TEST_F(LayoutControlTest, TheLastScreenOfTheSizeAndStateWins) {
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().buttons.push_back(MakeButton("first", 0, 0, 10, 10));
    layout.screens.push_back(MakeScreen(1280, 1024, "offline"));
    layout.screens.back().buttons.push_back(MakeButton("offline", 0, 0, 10, 10));
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().buttons.push_back(MakeButton("second", 0, 0, 10, 10));
    layout.screens.push_back(MakeScreen(1024, 768));
    layout.screens.back().buttons.push_back(MakeButton("base", 0, 0, 10, 10));
    Build(layout);
    ASSERT_EQ(lc->Buttons().size(), 1u);
    EXPECT_EQ(lc->Buttons()[0]->Id, "second");

    lc->BuildScreen(layout, 1280, "offline", 1024);
    ASSERT_EQ(lc->Buttons().size(), 1u);
    EXPECT_EQ(lc->Buttons()[0]->Id, "offline");

    // Neither the size nor 1024 x 768 with that state: an empty screen, not suspended.
    lc->BuildScreen(layout, 1280, "elsewhere", 1024);
    EXPECT_EQ(lc->Screen(), nullptr);
    EXPECT_TRUE(lc->Buttons().empty());
    EXPECT_FALSE(lc->Suspended());
}

TEST_F(LayoutControlTest, TheMessageWindowAndTheTickerTakeTheirLookScaled) {
    lc->area = {0, 0, 800, 600}; // 0.78125 on both axes
    LF layout;
    layout.screens.push_back(MakeScreen(1024, 768));
    LFScreen& screen = layout.screens.back();
    const auto look = [](const char* font, int size, bool bold, bool italic, LFColor fg, LFColor bg,
                         int border, int height) {
        auto l = std::make_unique<LFScreenTickerLayout>();
        *l = {{font, size, bold, italic, fg, bg, border, height}};
        return l;
    };
    screen.messagewindow = std::make_unique<LFScreenMessagewindow>();
    LFScreenMessagewindow& mw = *screen.messagewindow;
    mw.left = 100;
    mw.top = 200;
    mw.width = 300;
    mw.minheight = 64;
    mw.maxheight = 256;
    mw.thumbmaxwidth = 5;
    mw.title = look("Verdana", 10, false, true, 0x111111, 0x222222, 4, 32);
    mw.body = look("Times", 13, true, false, 0x333333, 0x444444, 9, 9);
    screen.ticker = std::make_unique<LFScreenTicker>();
    LFScreenTicker& tk = *screen.ticker;
    tk.left = 10;
    tk.top = 500;
    tk.width = 400;
    tk.height = 80;
    tk.messagewidth = 200;
    tk.defaultspeed = 3;
    tk.title = look("Courier", 10, false, true, 0x555555, 0x666666, 4, 20);
    tk.body = look("Tahoma", 13, false, true, 0x777777, 0x888888, 9, 9);

    struct Case {
        const char* morestr;
        const char* shown;
    };
    const Case cases[] = {{"", "[mehr]"}, {"(weiter)", "(weiter)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.morestr);
        layout.morestr = c.morestr;
        lc->SetTickerDrawOnScreenDC(true);
        lc->BuildScreen(layout, 800, "", 600);
        EXPECT_EQ(lc->MoreStr(), c.shown);

        const AMessagewindow& w = *lc->Messagewindow();
        EXPECT_EQ(QRect(w.Left(), w.Top(), w.Width(), 0), QRect(78, 156, 234, 0));
        EXPECT_EQ(w.MinHeight, 50);
        EXPECT_EQ(w.MaxHeight, 200);
        EXPECT_EQ(w.TitleFontName, "Verdana");
        EXPECT_EQ(w.TitleFontSize, 7);
        EXPECT_FALSE(w.TitleFontBold);
        EXPECT_TRUE(w.TitleFontItalic);
        EXPECT_EQ(w.TitleFgColor, 0x111111u);
        EXPECT_EQ(w.TitleBgColor, 0x222222u);
        EXPECT_EQ(w.TitleBorderWidth, 3);
        EXPECT_EQ(w.TitleHeight, 25);
        EXPECT_EQ(w.BodyFontName, "Times");
        EXPECT_EQ(w.BodyFontSize, 10);
        EXPECT_TRUE(w.BodyFontBold);
        EXPECT_FALSE(w.BodyFontItalic);
        EXPECT_EQ(w.BodyFgColor, 0x333333u);
        EXPECT_EQ(w.BodyBgColor, 0x444444u);
        EXPECT_TRUE(w.Debug);
        EXPECT_EQ(w.Interval(), 20000);
        EXPECT_EQ(w.MoreStr, c.shown);

        const ATicker& t = *lc->Ticker();
        const ATicker fresh;
        EXPECT_EQ(QRect(t.Left(), t.Top(), t.Width(), t.Height()), QRect(7, 390, 312, 62));
        EXPECT_EQ(t.MessageWidth.load(), 156);
        EXPECT_EQ(t.TitleFontName, "Courier");
        EXPECT_EQ(t.TitleFontSize, 7);
        EXPECT_EQ(t.TitleFgColor, 0x555555u);
        EXPECT_EQ(t.TitleBgColor, 0x666666u);
        EXPECT_EQ(t.TitleBorderWidth, 3);
        EXPECT_EQ(t.TitleHeight, 15);
        EXPECT_EQ(t.BodyFontName, "Tahoma");
        EXPECT_EQ(t.BodyFontSize, 10);
        EXPECT_EQ(t.BodyFgColor, 0x777777u);
        EXPECT_EQ(t.BodyBgColor, 0x888888u);
        // The ticker takes no bold, italic or speed from the layout.
        EXPECT_EQ(t.TitleFontBold, fresh.TitleFontBold);
        EXPECT_EQ(t.TitleFontItalic, fresh.TitleFontItalic);
        EXPECT_EQ(t.BodyFontBold, fresh.BodyFontBold);
        EXPECT_EQ(t.BodyFontItalic, fresh.BodyFontItalic);
        EXPECT_EQ(t.TickInterval(), 32 * 2);
        EXPECT_TRUE(t.DrawOnScreen());
        EXPECT_EQ(t.MoreStr, c.shown);
        lc->SetTickerDrawOnScreenDC(false);
        EXPECT_FALSE(t.DrawOnScreen());
    }
}

TEST_F(LayoutControlTest, ScaledLengthsStayWithinTheArea) {
    LF layout;
    layout.screens.push_back(MakeScreen(1024, 768));
    Build(layout);
    struct Case {
        int value;
        int x;
        int y;
    };
    const Case cases[] = {
        {0, 0, 0},
        {100, 125, 133},
        {-100, -125, -133},
        {INT_MAX, 1280, 1024},
        {INT_MIN, -1280, -1024},
        {2000, 1280, 1024},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lc->ScaleXValue(c.value), c.x) << c.value;
        EXPECT_EQ(lc->ScaleYValue(c.value), c.y) << c.value;
    }
    // A message window from a hostile layout renders no picture larger than the screen.
    layout.screens.back().messagewindow = MakeMessagewindow();
    layout.screens.back().messagewindow->width = INT_MAX;
    layout.screens.back().messagewindow->maxheight = INT_MAX;
    Build(layout);
    ASSERT_NE(lc->Messagewindow(), nullptr);
    EXPECT_LE(lc->Messagewindow()->Width(), 1280);
    EXPECT_LE(lc->Messagewindow()->MaxHeight, 1024);
    EXPECT_LE(lc->Messagewindow()->Rendering().width(), 1280);
    EXPECT_LE(lc->Messagewindow()->Rendering().height(), 1024);
}

// --- Cache pictures

TEST_F(LayoutControlTest, CachePicturesComeFromPlainFilesOfTheCacheFolder) {
    Cache("#pic", "2", "pic.bmp", BmpBytes(7, 5, 0x0000FF));
    Cache("#bad", "1", "bad.bmp", "not a bitmap");
    Cache("#outside", "1", "../outside.bmp", BmpBytes(7, 5, 0x0000FF));
    WriteFile(folder.Path() + "/../outside.bmp", BmpBytes(7, 5, 0x0000FF));

    const auto image = lc->LoadCacheImage("#pic", "");
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(image->SizeToPicture);
    EXPECT_FALSE(image->Stretch);
    EXPECT_EQ(image->Picture().size(), QSize(7, 5));
    EXPECT_NE(lc->LoadCacheImage("#pic", "2"), nullptr);
    EXPECT_EQ(lc->LoadCacheImage("#pic", "3"), nullptr);
    EXPECT_EQ(lc->LoadCacheImage("#none", ""), nullptr);
    EXPECT_EQ(lc->LoadCacheImage("#bad", ""), nullptr);
    EXPECT_EQ(lc->LoadCacheImage("#outside", ""), nullptr);
    lc->cache = nullptr;
    EXPECT_EQ(lc->LoadCacheImage("#pic", ""), nullptr);
}

TEST_F(LayoutControlTest, PicturesCoverTheirPlacesAndAClockWithoutFaceTakesTheBackground) {
    Cache("#bg", "1", "bg.bmp", BmpBytes(32, 24, 0x0000FF));
    Cache("#img", "1", "img.bmp", BmpBytes(7, 5, 0x00FF00));
    Cache("#face", "1", "face.bmp", BmpBytes(10, 10, 0xFF0000));
    LF layout;
    layout.screens.push_back(MakeScreen(1024, 768));
    LFScreen& screen = layout.screens.back();
    screen.background = std::make_unique<LFxScreenImg>();
    screen.background->src = "#bg";
    screen.background->width = 100; // not used: the background covers the area
    screen.background->height = 100;
    const LFScreenImage images[] = {
        {"a", 32, 48, 8, 12, "#img", ""}, // width, height, left, top
        {"b", 8, 8, 0, 0, "", ""},
        {"c", 8, 8, 0, 0, "#missing", ""},
    };
    for (const LFScreenImage& image : images) {
        screen.images.push_back(image);
    }
    screen.clock = std::make_unique<LFScreenClock>();
    *screen.clock = {"", "", 64, 48, 100, 300, 0x123456, 0x654321};

    struct Case {
        const char* face;
        QSize faceSize; // the face's picture
    };
    // No face, a cached face, a face that is not cached.
    const Case cases[] = {{"", QSize(80, 64)}, {"#face", QSize(10, 10)}, {"#none", QSize(80, 64)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.face);
        screen.clock->facesrc = c.face;
        Build(layout);
        ASSERT_NE(lc->Background(), nullptr);
        const ABgimage& bg = *lc->Background();
        EXPECT_EQ(QRect(bg.Left(), bg.Top(), bg.Width(), bg.Height()), QRect(0, 0, 1280, 1024));
        EXPECT_EQ(bg.ScreenWidth, 1280);
        EXPECT_EQ(bg.ScreenHeight, 1024);

        ASSERT_EQ(lc->Images().size(), 3u);
        const AImage& a = *lc->Images()[0];
        EXPECT_EQ(a.Id, "a");
        EXPECT_EQ(QRect(a.Left(), a.Top(), a.Width(), a.Height()), QRect(10, 16, 40, 64));
        ASSERT_NE(a.Image, nullptr);
        EXPECT_EQ(a.Image->Picture().size(), QSize(7, 5));
        EXPECT_EQ(lc->Images()[1]->Id, "b");
        EXPECT_EQ(lc->Images()[1]->Image, nullptr);
        EXPECT_EQ(lc->Images()[2]->Id, "c");
        EXPECT_EQ(lc->Images()[2]->Image, nullptr);

        ASSERT_NE(lc->Clock(), nullptr);
        const AClock& clock = *lc->Clock();
        EXPECT_EQ(QRect(clock.Left(), clock.Top(), clock.Width(), clock.Height()),
                  QRect(125, 400, 80, 64));
        EXPECT_EQ(clock.ColorHoursHand, 0x123456u);
        EXPECT_EQ(clock.ColorMinutesHand, 0x123456u);
        EXPECT_EQ(clock.ColorSecondsHand, 0x654321u);
        EXPECT_FALSE(clock.ShowHourMarks);
        EXPECT_TRUE(clock.Enabled());
        ASSERT_NE(clock.Clockface, nullptr);
        EXPECT_EQ(clock.Clockface->Picture().size(), c.faceSize);
        // A face taken from the background holds the background's red; the cached face
        // is blue.
        const bool ownFace = std::string(c.face) == "#face";
        const QColor centre =
            clock.Clockface->Picture().pixelColor(c.faceSize.width() / 2, c.faceSize.height() / 2);
        EXPECT_EQ(centre.red(), ownFace ? 0 : 255);
        EXPECT_EQ(centre.blue(), ownFace ? 255 : 0);
    }
}

// --- Items

class LayoutChannelsTest : public LayoutControlTest {
protected:
    CFChannel& AddChannel(const std::string& title, const std::string& uri, bool subscribed) {
        CFChannel channel;
        channel.title = title;
        channel.uri = uri;
        channel.subscribed = subscribed;
        cf.channels.push_back(channel);
        return cf.channels.back();
    }
    std::vector<AXMessage*> Items() {
        const auto view = lc->Messages().LockList();
        return *view;
    }
    CF cf;
};

TEST_F(LayoutChannelsTest, SubscribedFeedsBecomeItemsWithoutTheCustomizeEntryOrUntitledOnes) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Customize this feed</title><link>http://x</link></item>"
          "<item><title></title><link>http://empty</link></item>"
          "<item><link>http://untitled</link></item>"
          "<item><title>Eins</title><description>Text eins</description>"
          "<link>http://eins</link></item>"
          "<item><title>customize this feed</title></item>"
          "</channel></rss>");
    Cache("#other", "1", "other.xml",
          "<rss version=\"2.0\"><channel><title>o</title>"
          "<item><title>Fremd</title></item></channel></rss>");
    AddChannel("Nachrichten", "#feed", true);
    AddChannel("Abbestellt", "#other", false);
    AddChannel("Ohne Cache", "#missing", true);
    lc->LoadChannels(&cf);
    const auto items = Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->ChannelName, "Nachrichten");
    EXPECT_EQ(items[0]->Title, "Eins");
    EXPECT_EQ(items[0]->Text, "Text eins");
    EXPECT_EQ(items[0]->Link, "http://eins");
    EXPECT_EQ(items[0]->Thumb1, nullptr);              // no picture and no icon
    EXPECT_EQ(items[1]->Title, "customize this feed"); // compared case-sensitively

    // A reload starts from an empty list; nothing happens without a control file.
    lc->LoadChannels(&cf);
    EXPECT_EQ(Items().size(), 2u);
    lc->LoadChannels(nullptr);
    EXPECT_EQ(Items().size(), 2u);
}

TEST_F(LayoutChannelsTest, ReadOnAnotherThreadSharesTheLiveThumbnailsAndStopsWhenAsked) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title></item><item><title>Zwei</title></item>"
          "<item><title>Drei</title></item></channel></rss>");
    Cache("#icon", "1", "icon.bmp", BmpBytes(16, 16, 0x00FF00));
    AddChannel("Eins", "#feed", true).iconuri = "#icon";
    lc->LoadChannels(&cf);
    ASSERT_EQ(Items().size(), 3u);
    AXMessageImage* const live = Items()[0]->Thumb1;
    ASSERT_NE(live, nullptr);

    // The reload's worker reads while the screen shows the items it has.
    std::vector<AXMessageRef> read;
    std::thread([&] { read = LayoutControl::ReadChannels(cf, &cache, true); }).join();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1]->Title, "Zwei");
    EXPECT_EQ(read[0]->Thumb1, live); // shared, not read again
    EXPECT_EQ(read[2]->Thumb8, Items()[2]->Thumb8);
    EXPECT_NE(read[0].get(), Items()[0]); // new items all the same
    lc->SetChannels(read);
    const auto items = Items();
    ASSERT_EQ(items.size(), 3u);
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i], read[i].get()) << i;
    }

    // Asked before each feed and each item: the third look stops after the first item.
    int looks = 0;
    EXPECT_EQ(LayoutControl::ReadChannels(cf, &cache, true, [&] { return ++looks > 2; }).size(),
              1u);
    EXPECT_TRUE(LayoutControl::ReadChannels(cf, &cache, true, [] { return true; }).empty());
    EXPECT_TRUE(LayoutControl::ReadChannels(cf, nullptr, true).empty());
}

TEST_F(LayoutChannelsTest, ItemsOfOnePictureShareTheirFourThumbnails) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title></item><item><title>Zwei</title></item>"
          "</channel></rss>");
    Cache("#rdf", "1", "rdf.xml",
          "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
          " xmlns=\"http://purl.org/rss/1.0/\""
          " xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">"
          "<channel><title>r</title></channel>"
          "<item><title>Drei</title><content:items><rdf:Bag><rdf:li>"
          "<content:item rdf:about=\"#pic\"/></rdf:li></rdf:Bag></content:items></item>"
          "</rdf:RDF>");
    Cache("#icon", "1", "icon.bmp", BmpBytes(16, 16, 0x00FF00));
    Cache("#pic", "1", "pic.bmp", BmpBytes(8, 8, 0x0000FF));
    AddChannel("Eins", "#feed", true).iconuri = "#icon";
    AddChannel("Zwei", "#rdf", true).iconuri = "#icon";
    lc->LoadChannels(&cf);
    const auto items = Items();
    ASSERT_EQ(items.size(), 3u);
    // Without a picture of its own an item shows its channel's icon, loaded once for all.
    AXMessage& first = *items[0];
    ASSERT_NE(first.Thumb1, nullptr);
    EXPECT_EQ(first.ImagePath, folder.Path() + "/icon.bmp");
    AXMessageImage* const thumbs[] = {first.Thumb1, first.Thumb2, first.Thumb4, first.Thumb8};
    for (int k = 0; k < 4; ++k) {
        ASSERT_NE(thumbs[k], nullptr) << k;
        EXPECT_EQ(thumbs[k]->ScaleDivisor, 1 << k);
        EXPECT_EQ(thumbs[k]->Key, "#icon");
        EXPECT_EQ(thumbs[k]->RefCount(), 2) << k; // the two items of the icon
    }
    EXPECT_EQ(first.Thumb1->Picture().size(), QSize(16, 16));
    EXPECT_EQ(items[1]->Thumb1, first.Thumb1);
    EXPECT_EQ(items[1]->Thumb2, first.Thumb2);
    EXPECT_EQ(items[1]->Thumb4, first.Thumb4);
    EXPECT_EQ(items[1]->Thumb8, first.Thumb8);
    // An item's own picture beats the icon.
    ASSERT_NE(items[2]->Thumb1, nullptr);
    EXPECT_EQ(items[2]->Thumb1->Key, "#pic");
    EXPECT_EQ(items[2]->Thumb1->Picture().size(), QSize(8, 8));

    lc->loadThumbnails = false;
    lc->LoadChannels(&cf);
    EXPECT_EQ(Items()[0]->Thumb1, nullptr);
}

// Thumbnails are what loading the file at their divisor gives, without decoding it four
// times: a JPEG's sizes come from its header when first asked for and each size is
// decoded only when first painted (Realize); a bitmap is read once and shared by all four.
TEST_F(LayoutChannelsTest, ThumbnailsAreDecodedOnlyAsTheyAreShown) {
    QImage gradient(37, 29, QImage::Format_RGB32);
    for (int y = 0; y < gradient.height(); ++y) {
        for (int x = 0; x < gradient.width(); ++x) {
            gradient.setPixel(x, y, qRgb(x * 6, y * 8, 200 - x * 2 - y * 3));
        }
    }
    struct Case {
        const char* file;
        std::string bytes;
        bool decodedWhenShown;
    };
    const Case cases[] = {
        {"pic.jpg", tolvar::test::JpegBytes(gradient, 95), true},
        {"pic.bmp", BmpBytes(13, 11, 0x3366CC), false},
    };
    for (const Case& c : cases) {
        cf.channels.clear();
        const std::string key = std::string("#") + c.file;
        Cache("#feed-" + key, "1", std::string("feed-") + c.file + ".xml",
              "<rss version=\"2.0\"><channel><title>c</title>"
              "<item><title>Eins</title></item></channel></rss>");
        AddChannel("Kanal", "#feed-" + key, true).iconuri = key;
        Cache(key, "1", c.file, c.bytes);
        lc->LoadChannels(&cf);
        const auto items = Items();
        ASSERT_EQ(items.size(), 1u) << c.file;
        AXMessageImage* const thumbs[] = {items[0]->Thumb1, items[0]->Thumb2, items[0]->Thumb4,
                                          items[0]->Thumb8};
        for (int k = 0; k < 4; ++k) {
            ASSERT_NE(thumbs[k], nullptr) << c.file << k;
            AXImage direct;
            direct.SizeToPicture = true;
            direct.ScaleDivisor = 1 << k;
            direct.LoadFromFile(folder.Path() + "/" + c.file);
            if (!c.decodedWhenShown) {
                EXPECT_EQ(thumbs[k]->Width(), direct.Width()) << c.file << k;
                EXPECT_EQ(thumbs[k]->Height(), direct.Height()) << c.file << k;
            }
            const std::lock_guard lock(thumbs[k]->CanvasLock());
            EXPECT_EQ(thumbs[k]->Picture().isNull(), c.decodedWhenShown) << c.file << k;
            EXPECT_EQ(thumbs[k]->PictureSize(), direct.Picture().size()) << c.file << k;
            thumbs[k]->Realize();
            EXPECT_EQ(thumbs[k]->Picture(), direct.Picture()) << c.file << k;
            if (!c.decodedWhenShown) {
                EXPECT_EQ(thumbs[k]->Picture().cacheKey(), thumbs[0]->Picture().cacheKey());
            }
        }
    }
}

TEST_F(LayoutChannelsTest, AReloadWhilePausedRunsTheWidgetsAgain) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title></item><item><title>Zwei</title></item>"
          "</channel></rss>");
    AddChannel("Kanal", "#feed", true);
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().messagewindow = MakeMessagewindow();
    layout.screens.back().ticker = MakeTicker();
    Build(layout);
    std::vector<bool> states;
    lc->OnPlayState = [&](bool paused) { states.push_back(paused); };
    lc->Pause();
    EXPECT_FALSE(lc->Messagewindow()->Enabled());
    EXPECT_FALSE(lc->Ticker()->Enabled());
    lc->LoadChannels(&cf);
    EXPECT_TRUE(lc->Messagewindow()->Enabled());
    EXPECT_TRUE(lc->Ticker()->Enabled());
    EXPECT_TRUE(lc->Paused());
    EXPECT_EQ(states, std::vector<bool>{true});
    // Both were handed the items.
    EXPECT_EQ(
        lc->Messagewindow()->DisplayList().Count() + lc->Messagewindow()->PendingList().Count(), 2);
}

TEST_F(LayoutChannelsTest, TheMessageWindowRoutesClicksAndNamesItsPictureOnARightClick) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title><link>http://eins</link></item>"
          "</channel></rss>");
    Cache("#icon", "1", "icon.bmp", BmpBytes(16, 16, 0x00FF00));
    AddChannel("Kanal", "#feed", true).iconuri = "#icon";
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().messagewindow = MakeMessagewindow();
    Build(layout);
    lc->LoadChannels(&cf);
    AMessagewindow& w = *lc->Messagewindow();
    // The first showing merges the new items in; the second shows one of them.
    w.ShowCurrentMessage();
    w.ShowCurrentMessage();
    ASSERT_EQ(w.CurrentTitle(), "Eins");

    std::vector<std::string> links;
    lc->OnMessagewindowClick = [&](const std::string& link) { links.push_back(link); };
    std::vector<platform::MessageBoxRequest> boxes;
    platform::SetMessageBoxHandler(
        [&](const platform::MessageBoxRequest& box) { boxes.push_back(box); });
    auto press = [&](Qt::MouseButton button) {
        const QPointF p(10, 10);
        QMouseEvent down(QEvent::MouseButtonPress, p, w.mapToGlobal(p), button, button,
                         Qt::NoModifier);
        QMouseEvent up(QEvent::MouseButtonRelease, p, w.mapToGlobal(p), button, Qt::NoButton,
                       Qt::NoModifier);
        QApplication::sendEvent(&w, &down);
        QApplication::sendEvent(&w, &up);
    };
    press(Qt::LeftButton);
    press(Qt::RightButton);
    lc->SetSuspended(true);
    press(Qt::LeftButton); // not while suspended
    press(Qt::RightButton);
    platform::SetMessageBoxHandler({});

    EXPECT_EQ(links, std::vector<std::string>{"http://eins"});
    ASSERT_EQ(boxes.size(), 2u);
    for (const platform::MessageBoxRequest& box : boxes) {
        EXPECT_EQ(box.caption, "Messagewindow");
        EXPECT_EQ(box.text, "URI: #icon\nPath: " + folder.Path() + "/icon.bmp");
        EXPECT_EQ(box.icon, platform::MessageBoxIcon::None);
    }
    // Without a click handler a click is dropped.
    lc->SetSuspended(false);
    lc->OnMessagewindowClick = nullptr;
    press(Qt::LeftButton);
    EXPECT_EQ(links.size(), 1u);
}

TEST_F(LayoutChannelsTest, TheTickerHandsOutTheClickedLinkAndShowsNoMenu) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title><link>http://eins</link></item>"
          "</channel></rss>");
    AddChannel("Kanal", "#feed", true);
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().ticker = MakeTicker();
    Build(layout);
    lc->LoadChannels(&cf);
    ATicker& t = *lc->Ticker();
    t.RebuildDisplayList();
    ASSERT_EQ(t.LinkAt(10), "http://eins");

    std::vector<std::string> links;
    lc->OnTickerClick = [&](const std::string& link) { links.push_back(link); };
    std::vector<platform::MessageBoxRequest> boxes;
    platform::SetMessageBoxHandler(
        [&](const platform::MessageBoxRequest& box) { boxes.push_back(box); });
    auto press = [&](Qt::MouseButton button) {
        const QPointF p(10, 40);
        QMouseEvent down(QEvent::MouseButtonPress, p, t.mapToGlobal(p), button, button,
                         Qt::NoModifier);
        QMouseEvent up(QEvent::MouseButtonRelease, p, t.mapToGlobal(p), button, Qt::NoButton,
                       Qt::NoModifier);
        QApplication::sendEvent(&t, &down);
        QApplication::sendEvent(&t, &up);
    };
    press(Qt::LeftButton);
    press(Qt::RightButton);
    lc->SetSuspended(true);
    press(Qt::LeftButton);
    platform::SetMessageBoxHandler({});
    EXPECT_EQ(links, std::vector<std::string>{"http://eins"});
    EXPECT_TRUE(boxes.empty());
}

TEST_F(LayoutChannelsTest, ForwardAndRewindStepTheMessageWindowAndShowTheItemAtOnce) {
    Cache("#feed", "1", "feed.xml",
          "<rss version=\"2.0\"><channel><title>c</title>"
          "<item><title>Eins</title></item><item><title>Zwei</title></item>"
          "<item><title>Drei</title></item><item><title>Vier</title></item>"
          "</channel></rss>");
    AddChannel("Kanal", "#feed", true);
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().messagewindow = MakeMessagewindow();
    Build(layout);
    lc->LoadChannels(&cf);
    AMessagewindow& w = *lc->Messagewindow();
    w.ShowCurrentMessage();
    ASSERT_EQ(w.DisplayList().Count(), 4);
    const auto shownAt = [&](int offset) {
        const AXMessageRef item = w.MessageAt(offset);
        return item ? item->Title : std::string("(none)");
    };

    struct Step {
        bool forward;
        int moved; // from the start, modulo 4
    };
    const Step steps[] = {{true, 1}, {true, 2}, {false, 1}, {false, 0}, {false, 3}};
    const int start = w.CurrentIndex();
    for (const Step& s : steps) {
        SCOPED_TRACE(s.moved);
        if (s.forward) {
            lc->Forward();
        } else {
            lc->Rewind();
        }
        EXPECT_EQ(w.CurrentIndex(), (start + s.moved) % 4);
        // Shown at once, not at the next rotation.
        EXPECT_EQ(w.CurrentTitle(), shownAt(0));
        EXPECT_FALSE(w.Enabled());
        EXPECT_TRUE(lc->ResumeTimer().Enabled());
    }
    // Playing again from the resume timer: the rotation runs.
    lc->ResumeTimer().OnTimer();
    EXPECT_TRUE(w.Enabled());
    EXPECT_FALSE(lc->Paused());
}

// --- Driving

TEST(TickIntervalTest, OneStepPerFrameDoubledUntilAtLeastTwentyMilliseconds) {
    const std::pair<int, int> cases[] = {
        {0, 20},   {1, 20},   {30, 20},  {50, 20},  {60, 32},   {75, 26},   {85, 22},
        {100, 20}, {120, 32}, {144, 24}, {240, 32}, {1000, 32}, {2000, 32}, // a whole millisecond
                                                                            // at least: 0 would
                                                                            // double for ever
    };
    for (const auto& [hz, ms] : cases) {
        EXPECT_EQ(LayoutControl::TickIntervalForRefreshRate(hz), ms) << hz;
    }
}

TEST_F(LayoutControlTest, TickerSpeedIsClampedAndMultipliesTheStep) {
    // Without a ticker the speed is still stored.
    EXPECT_EQ(lc->SetTickerSpeed(7), 3);
    EXPECT_EQ(lc->TickerSpeed(), 3);
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().ticker = MakeTicker();
    Build(layout);
    EXPECT_EQ(lc->Ticker()->TickInterval(), 32 * 3); // the stored speed at building
    struct Case {
        double hz;
        int speed;
        int used;
        int interval;
    };
    const Case cases[] = {
        {60, 0, 1, 32}, {60, 7, 3, 96}, {60, 2, 2, 64},           {59.94, 1, 1, 32},
        {85, 2, 2, 44}, {0, 1, 1, 20},  {std::nan(""), 2, 2, 40}, {1e300, 1, 1, 20},
    };
    for (const Case& c : cases) {
        refreshRate = c.hz;
        EXPECT_EQ(lc->SetTickerSpeed(c.speed), c.used) << c.hz << " " << c.speed;
        EXPECT_EQ(lc->Ticker()->TickInterval(), c.interval) << c.hz << " " << c.speed;
    }
}

TEST_F(LayoutControlTest, MessageIntervalIsClampedAndNeedsAMessageWindow) {
    EXPECT_EQ(lc->SetMessageInterval(30), 0);
    EXPECT_EQ(lc->MessageInterval(), 10);
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().messagewindow = MakeMessagewindow();
    Build(layout);
    EXPECT_EQ(lc->Messagewindow()->Interval(), 20000);
    const std::pair<int, int> cases[] = {{2, 4}, {90, 60}, {15, 15}, {4, 4}, {60, 60}, {-1, 4}};
    for (const auto& [seconds, used] : cases) {
        EXPECT_EQ(lc->SetMessageInterval(seconds), used) << seconds;
        EXPECT_EQ(lc->MessageInterval(), used);
        EXPECT_EQ(lc->Messagewindow()->Interval(), used * 1000) << seconds;
    }
}

TEST_F(LayoutControlTest, ForwardAndRewindPauseAndResumeOnlyFromPlaying) {
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    layout.screens.back().ticker = MakeTicker();
    Build(layout);
    AXMessageList items;
    for (int i = 0; i < 4; ++i) {
        items.AddMessage(new AXMessage);
    }
    ATicker& t = *lc->Ticker();
    t.SetMessages(&items);
    t.RebuildDisplayList();

    lc->Forward(); // from playing: paused, resumed by the timer
    EXPECT_TRUE(lc->Paused());
    EXPECT_FALSE(t.Enabled());
    EXPECT_TRUE(lc->ResumeTimer().Enabled());
    EXPECT_EQ(lc->ResumeTimer().Interval(), 3000);
    EXPECT_EQ(t.CurrentMessageScrollOffset.load(), 0);
    const int index = t.CurrentIndex();

    // The timer's event plays again.
    lc->ResumeTimer().OnTimer();
    EXPECT_FALSE(lc->Paused());
    EXPECT_TRUE(t.Enabled());
    EXPECT_FALSE(lc->ResumeTimer().Enabled());

    lc->Pause();
    lc->Forward(); // from paused: stays paused
    EXPECT_TRUE(lc->Paused());
    EXPECT_FALSE(lc->ResumeTimer().Enabled());
    EXPECT_EQ(t.CurrentIndex(), (index + 1) % 4);

    // Rewind in the middle of an item: back to its start; again: the item before.
    t.CurrentMessageScrollOffset = 57;
    lc->Rewind();
    EXPECT_EQ(t.CurrentMessageScrollOffset.load(), 0);
    EXPECT_EQ(t.CurrentIndex(), (index + 1) % 4);
    lc->Rewind();
    EXPECT_EQ(t.CurrentIndex(), index);
    EXPECT_TRUE(lc->Paused());
    EXPECT_FALSE(lc->ResumeTimer().Enabled());
}

TEST_F(LayoutControlTest, ButtonClicksReachTheFormOnlyWhileNotSuspended) {
    LF layout;
    layout.screens.push_back(MakeScreen(1280, 1024));
    LFScreenButton button = MakeButton("#play", 100, 100, 40, 40);
    LFScreenButtonFace face;
    face.link = "http://default";
    button.faces.push_back(face);
    face.context = "playing";
    face.link = "http://playing";
    button.faces.push_back(face);
    layout.screens.back().buttons.push_back(button);
    Build(layout);
    // Resuming showed the "#play" buttons as playing.
    EXPECT_EQ(lc->Buttons()[0]->CurrentContext(), "playing");

    std::vector<std::string> clicks;
    lc->OnButtonClick = [&](const std::string& id, const std::string& context,
                            const std::string& link) {
        clicks.push_back(id + " " + context + " " + link);
    };
    auto click = [&] {
        const QPointF p(110, 110);
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent e(type, p, host.mapToGlobal(p), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
            QApplication::sendEvent(&host, &e);
        }
    };
    click();
    lc->SetSuspended(true);
    click();
    lc->SetSuspended(false);
    lc->SetButtonContext("#play", "default");
    lc->SetButtonContext("#PLAY", "playing"); // ids compare case-sensitively
    click();
    EXPECT_EQ(clicks, (std::vector<std::string>{"#play playing http://playing",
                                                "#play default http://default"}));
}

} // namespace

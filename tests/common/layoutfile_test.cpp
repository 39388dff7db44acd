#include "common/layoutfile.h"
#include "platform/variant.h"
#include "support/temphome.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

using tolvar::test::DataPath;

// Parses a document; value errors are left to the caller.
LF ParseLayout(const std::string& xml) {
    LF lf;
    EXPECT_TRUE(lf.Parse(xml)) << xml;
    return lf;
}

std::string Screen(const std::string& attributes, const std::string& body = "") {
    return "<screen " + attributes + ">" + body + "</screen>";
}

std::string Doc(const std::string& body) {
    return "<layout>" + body + "</layout>";
}

TEST(LayoutValueForms, Integers) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"1024", 1024},
        {"0x400", 1024},
        {"0X400", 1024},
        {"$400", 1024},
        {"x400", 1024},
        {"X400", 1024},
        {"$ff", 255},
        {" 800", 800},
        {"   -5", -5},
        {"+7", 7},
        {"-0x10", -16},
        {"0xFFFFFFFF", -1},
        {"0x80000000", INT_MIN},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"0800", 800},
        {"0", 0},
        // the fallback (here 99) for everything else
        {"2147483648", 99},
        {"0x100000000", 99},
        {"800px", 99},
        {"8 00", 99},
        {"800 ", 99},
        {"", 99},
        {" ", 99},
        {"-", 99},
        {"0x", 99},
        {"$", 99},
        {"0xG", 99},
        {"\t5", 99},
        {"1.5", 99},
        {"--1", 99},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(layoutfile::ParseInteger(c.text, 99), c.expected) << '"' << c.text << '"';
    }
}

TEST(LayoutValueForms, Colours) {
    constexpr LFColor fallback = 0xABCDEF;
    const struct {
        const char* text;
        LFColor expected;
    } cases[] = {
        {"#FF8000", 0x000080FF},
        {"#ff8000", 0x000080FF},
        {"#FF", 0x0000FF},
        {"#12345", 0x053412},
        {"#000000", 0},
        {"#FF0000", 0x0000FF},
        {"#0000FF", 0xFF0000},
        {"#", 0},
        {"#FF800099", 0x0080FF},
        // the first character is not examined
        {"*FF8000", 0x000080FF},
        // any invalid piece keeps the default whole
        {"#GG0000", fallback},
        {"#12G456", fallback},
        {"#FF80 0", fallback},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(layoutfile::ParseColor(c.text, fallback), c.expected) << c.text;
    }
}

TEST(LayoutValueForms, Booleans) {
    const struct {
        const char* text;
        bool expected;
    } cases[] = {
        {"true", true}, {"TRUE", true}, {"True", true}, {"false", false}, {"FaLsE", false},
        {"1", true},    {"0", false},   {"-1", true},   {"+0", false},    {"0.0", false},
        {"0.5", true},  {" 1 ", true},  {"00", false},  {"12.", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::VariantTextToBool(c.text), c.expected) << c.text;
    }
    for (const char* bad : {"", "yes", "on", "1e3", ".", "true ", "- 1", "0x1", "1,5"}) {
        try {
            platform::VariantTextToBool(bad);
            ADD_FAILURE() << "no error for \"" << bad << '"';
        } catch (const platform::VariantConversionError& e) {
            EXPECT_STREQ(e.what(),
                         "Could not convert variant of type (String) into type (Boolean)");
        }
    }
}

TEST(LayoutFile, ScreensWithoutUsableSizeAreDropped) {
    const struct {
        const char* attributes;
        int width; // -1: the screen is dropped
        int height;
    } cases[] = {
        {R"(width="1024" height="768")", 1024, 768},
        {R"(width="0x400" height="768")", 1024, 768},
        {R"(width=" 800" height="600")", 800, 600},
        {R"(width="800" o:width="1024" height="768")", 1024, 768}, // the same local name: last wins
        {R"(width="1024")", -1, -1},
        {R"(height="768")", -1, -1},
        {R"(width="abc" height="768")", -1, -1},
        {R"(width="800px" height="600")", -1, -1},
        {R"(width="-1" height="768")", -1, -1},
        {R"(width="1024" height="0xFFFFFFFF")", -1, -1},
        {R"(Width="1024" height="768")", -1, -1},
        {R"(width="0" height="0")", 0, 0},
    };
    for (const auto& c : cases) {
        const std::string xml =
            Doc(Screen(c.attributes, R"(<image id="i" src="k"/><clock/><ticker/>)"));
        LF lf;
        const bool parsed = lf.Parse(xml);
        if (c.width == -1) {
            EXPECT_TRUE(lf.screens.empty()) << c.attributes;
            continue;
        }
        ASSERT_TRUE(parsed);
        ASSERT_EQ(lf.screens.size(), 1u) << c.attributes;
        EXPECT_EQ(lf.screens[0].width, c.width);
        EXPECT_EQ(lf.screens[0].height, c.height);
        EXPECT_EQ(lf.screens[0].images.size(), 1u);
    }
}

TEST(LayoutFile, MinimalScreenHasNothingButItsSize) {
    const LF lf = ParseLayout(Doc(Screen(R"(width="1024" height="768")")));
    ASSERT_EQ(lf.screens.size(), 1u);
    const LFScreen& s = lf.screens[0];
    EXPECT_EQ(s.context, "");
    EXPECT_EQ(s.clock, nullptr);
    EXPECT_EQ(s.messagewindow, nullptr);
    EXPECT_EQ(s.ticker, nullptr);
    EXPECT_EQ(s.background, nullptr);
    EXPECT_TRUE(s.buttons.empty());
    EXPECT_TRUE(s.images.empty());
    EXPECT_EQ(lf.configbanner, nullptr);
    EXPECT_EQ(lf.tnaicon, nullptr);
}

TEST(LayoutFile, NamesMatchByExactLocalName) {
    const LF lf = ParseLayout(R"(<l:layout xmlns:l="urn:layout" xmlns:o="urn:other">)"
                              R"(<Screen width="640" height="480"/>)"
                              R"(<l:screen width="1024" height="768" context="a"/>)"
                              R"(<o:screen o:width="800" height="600" context="b"/>)"
                              R"(<screen WIDTH="1280" height="1024"/>)"
                              R"(<screen width="1024" height="768" Context="ignored"/>)"
                              R"(</l:layout>)");
    ASSERT_EQ(lf.screens.size(), 3u);
    EXPECT_EQ(lf.screens[0].context, "a");
    EXPECT_EQ(lf.screens[1].width, 800);
    EXPECT_EQ(lf.screens[1].context, "b");
    EXPECT_EQ(lf.screens[2].context, "");
}

TEST(LayoutFile, SameSizeAndContextAreBothKeptInOrder) {
    const LF lf = ParseLayout(Doc(Screen(R"(width="1024" height="768" serial="1")") +
                                  Screen(R"(width="1024" height="768" serial="2")")));
    ASSERT_EQ(lf.screens.size(), 2u);
    EXPECT_EQ(lf.screens[0].serial, "1");
    EXPECT_EQ(lf.screens[1].serial, "2");
}

TEST(LayoutFile, TextLayoutsAlwaysWriteTheirFields) {
    const LF lf = ParseLayout(
        Doc(Screen(R"(width="1" height="1")", R"(<messagewindow><title fontsize="12"/>)"
                                              R"(<body bold="TRUE" italic="1" fgcolor="#GG0000"/>)"
                                              R"(<body bold="TRUE" italic="0" bgcolor="#010203"/>)"
                                              R"(</messagewindow>)")));
    const auto& window = *lf.screens.at(0).messagewindow;
    ASSERT_NE(window.title, nullptr);
    EXPECT_FALSE(window.title->bold); // absent: false, not the initial true
    EXPECT_FALSE(window.title->italic);
    EXPECT_EQ(window.title->fgcolor, 0x008000u);
    EXPECT_EQ(window.title->fontsize, 12);
    ASSERT_NE(window.body, nullptr); // the later body replaced the earlier one
    EXPECT_TRUE(window.body->bold);
    EXPECT_FALSE(window.body->italic);
    EXPECT_EQ(window.body->fgcolor, 0x008000u);
    EXPECT_EQ(window.body->bgcolor, 0x030201u);
}

TEST(LayoutFile, LastAttributeOrChildWins) {
    const LF lf = ParseLayout(Doc(Screen(R"(width="1" height="1")",
                                         R"(<clock colorhands="#FF0000"><face src="a" serial="1"/>)"
                                         R"(<face src="b"/></clock><clock width="5"/>)")));
    const auto& clock = *lf.screens.at(0).clock;
    EXPECT_EQ(clock.width, 5); // the second clock replaced the first whole
    EXPECT_EQ(clock.colorhands, 0xFFFFFFu);
    EXPECT_EQ(clock.facesrc, "");
    const LF faces = ParseLayout(Doc(Screen(
        R"(width="1" height="1")", R"(<clock><face src="a" serial="1"/><face src="b"/></clock>)")));
    EXPECT_EQ(faces.screens.at(0).clock->facesrc, "b");
    EXPECT_EQ(faces.screens.at(0).clock->faceserial, "1");
}

TEST(LayoutFile, TrayFacesByExactContext) {
    const LF lf =
        ParseLayout(Doc(R"(<tnaicon>)"
                        R"(<face context="News"><default src="x"/></face>)"
                        R"(<face context="news" tooltip="n1"><default src="d" serial="1"/></face>)"
                        R"(<face context="news" tooltip="n2">)"
                        R"(<sync src="s"/><unknown src="u" serial="9"/></face>)"
                        R"(<face context="other"><default src="o"/></face>)"
                        R"(<face><default src="nocontext"/></face>)"
                        R"(<face context="mnews"><sync_blink src="m" serial="3"/></face>)"
                        R"(</tnaicon>)"));
    ASSERT_NE(lf.tnaicon, nullptr);
    EXPECT_EQ(lf.tnaicon->no_news, nullptr);
    ASSERT_NE(lf.tnaicon->news, nullptr);
    EXPECT_EQ(lf.tnaicon->news->tooltip, "n2"); // replaced the earlier "news" face
    EXPECT_EQ(lf.tnaicon->news->syncsrc, "s");
    EXPECT_EQ(lf.tnaicon->news->syncserial, "");
    EXPECT_EQ(lf.tnaicon->news->defaultsrc, "");
    ASSERT_NE(lf.tnaicon->mnews, nullptr);
    EXPECT_EQ(lf.tnaicon->mnews->syncblinksrc, "m");
    EXPECT_EQ(lf.tnaicon->mnews->syncblinkserial, "3");
}

TEST(LayoutFile, ValueErrorsEndTheLoadAndKeepWhatCameBefore) {
    const std::string kNull = "Could not convert variant of type (Null) into type (String)";
    const std::string kBool = "Could not convert variant of type (String) into type (Boolean)";
    const std::string kText = "Element does not contain a single text node";
    const std::string good = Screen(R"(width="800" height="600")");
    const struct {
        std::string body;
        std::string message;
        size_t screens; // kept before the error
    } cases[] = {
        {good +
             Screen(R"(width="1024" height="768")", R"(<button id="b"><face link=""/></button>)") +
             good,
         kNull, 1},
        {good + Screen(R"(width="1024" height="768" context="")"), kNull, 1},
        {good + Screen(R"(width="1024" height="768")", R"(<ticker><title bold="yes"/></ticker>)"),
         kBool, 1},
        {good + Screen(R"(width="1024" height="768")",
                       R"(<messagewindow><body italic=""/></messagewindow>)"),
         kNull, 1},
        {good + "<tooltip/>" + good, kNull, 1},
        {good + "<tooltip><![CDATA[Tipp]]></tooltip>", kText, 1},
        {good + "<morestr>a<!-- c -->b</morestr>", kText, 1},
        {good + "<morestr><b>x</b></morestr>", kText, 1},
        {good + R"(<configbanner src="a"/><configbanner src=""/>)", kNull, 1},
        {good + R"(<tnaicon><face context="news"><sync serial=""/></face></tnaicon>)", kNull, 1},
        {good + Screen(R"(width="1024" height="768")", R"(<image id="x" width=""/>)"), kNull, 1},
    };
    for (const auto& c : cases) {
        LF lf;
        try {
            lf.Parse(Doc(c.body));
            ADD_FAILURE() << "no error for " << c.body;
        } catch (const LFValueError& e) {
            EXPECT_EQ(e.what(), c.message) << c.body;
        }
        EXPECT_EQ(lf.screens.size(), c.screens) << c.body;
    }
    // An empty attribute of an unknown name is no error.
    EXPECT_EQ(ParseLayout(Doc(Screen(R"(width="1" height="1" colour="")"))).screens.size(), 1u);
}

TEST(LayoutFile, ErrorInASingleElementKeepsTheEarlierOne) {
    LF lf;
    EXPECT_THROW(lf.Parse(Doc(R"(<configbanner src="a" width="5"/><configbanner src=""/>)")),
                 LFValueError);
    ASSERT_NE(lf.configbanner, nullptr);
    EXPECT_EQ(lf.configbanner->src, "a");
    EXPECT_EQ(lf.configbanner->width, 5);
    // The tray icon is replaced at once; faces completed before the error stay.
    LF tray;
    EXPECT_THROW(tray.Parse(Doc(R"(<tnaicon><face context="news"/><face context=""/></tnaicon>)")),
                 LFValueError);
    ASSERT_NE(tray.tnaicon, nullptr);
    EXPECT_NE(tray.tnaicon->news, nullptr);
}

TEST(LayoutFile, SingleTextElements) {
    const LF lf = ParseLayout(Doc("<tooltip>Tipp &amp; mehr</tooltip><morestr>[mehr]</morestr>"));
    EXPECT_EQ(lf.tooltip, "Tipp & mehr");
    EXPECT_EQ(lf.morestr, "[mehr]");
}

TEST(LayoutFile, ReadsEveryElementOfTheFormat) {
    LF lf;
    ASSERT_TRUE(lf.Load(DataPath("layoutfile/full.xml")));
    EXPECT_EQ(lf.compat, "2");
    EXPECT_EQ(lf.tooltip, "Tolvar Nachrichten");
    EXPECT_EQ(lf.morestr, "[weiter]");
    ASSERT_NE(lf.configbanner, nullptr);
    EXPECT_EQ(lf.configbanner->width, 480);
    EXPECT_EQ(lf.configbanner->height, 60);
    ASSERT_NE(lf.preview, nullptr);
    EXPECT_EQ(lf.preview->width, 0);
    EXPECT_EQ(lf.preview->serial, "5");
    ASSERT_NE(lf.splashscreen, nullptr);
    EXPECT_EQ(lf.splashscreen->src, "#brimwald:///images/p/splash.jpg");
    ASSERT_NE(lf.tnaicon, nullptr);
    ASSERT_NE(lf.tnaicon->no_news, nullptr);
    EXPECT_EQ(lf.tnaicon->no_news->defaultblinksrc, "#brimwald:///images/p/t0b.ico");
    EXPECT_EQ(lf.tnaicon->no_news->syncserial, "");
    EXPECT_EQ(lf.tnaicon->no_news->syncblinkserial, "2");
    EXPECT_NE(lf.tnaicon->news, nullptr);
    EXPECT_NE(lf.tnaicon->mnews, nullptr);

    ASSERT_EQ(lf.screens.size(), 1u);
    const LFScreen& s = lf.screens[0];
    EXPECT_EQ(s.context, "default");
    EXPECT_EQ(s.serial, "7");
    ASSERT_NE(s.background, nullptr);
    EXPECT_EQ(s.background->width, -1);
    EXPECT_EQ(s.background->height, -1);
    EXPECT_EQ(s.background->serial, "7");
    ASSERT_NE(s.clock, nullptr);
    EXPECT_EQ(s.clock->left, 880);
    EXPECT_EQ(s.clock->colorhands, 0u);
    EXPECT_EQ(s.clock->colorsecondshand, 0x00FF00u);
    EXPECT_EQ(s.clock->facesrc, "#brimwald:///images/p/clock.gif");
    ASSERT_NE(s.messagewindow, nullptr);
    EXPECT_EQ(s.messagewindow->minheight, 100);
    EXPECT_EQ(s.messagewindow->thumbmaxheight, 90);
    EXPECT_EQ(s.messagewindow->thumbmaxwidth, 120);
    ASSERT_NE(s.messagewindow->title, nullptr);
    EXPECT_TRUE(s.messagewindow->title->bold);
    EXPECT_FALSE(s.messagewindow->title->italic);
    EXPECT_EQ(s.messagewindow->title->bgcolor, 0x663300u);
    EXPECT_EQ(s.messagewindow->title->border, 2);
    EXPECT_EQ(s.messagewindow->title->height, 24);
    EXPECT_EQ(s.messagewindow->body->fontsize, 11);
    ASSERT_NE(s.ticker, nullptr);
    EXPECT_EQ(s.ticker->messagewidth, 300);
    EXPECT_EQ(s.ticker->defaultspeed, 2);
    EXPECT_TRUE(s.ticker->title->bold);
    EXPECT_TRUE(s.ticker->body->italic);
    ASSERT_EQ(s.buttons.size(), 1u);
    EXPECT_EQ(s.buttons[0].id, "#quit");
    ASSERT_EQ(s.buttons[0].faces.size(), 2u);
    const auto& face = s.buttons[0].faces[0];
    EXPECT_EQ(face.link, "http://example.com/ende");
    EXPECT_EQ(face.pressedsrc, "#brimwald:///images/p/quit_p.gif");
    EXPECT_EQ(face.hoverserial, "");
    EXPECT_EQ(face.disabledserial, "9");
    EXPECT_EQ(s.buttons[0].faces[1].context, "paused");
    ASSERT_EQ(s.images.size(), 1u);
    EXPECT_EQ(s.images[0].id, "logo");
    EXPECT_EQ(s.images[0].src, "#brimwald:///images/p/logo.gif");
}

TEST(LayoutFile, ALoadAddsToWhatTheModelHolds) {
    LF lf;
    ASSERT_TRUE(lf.Load(DataPath("layoutfile/full.xml")));
    ASSERT_TRUE(lf.Load(DataPath("layoutfile/full.xml")));
    EXPECT_EQ(lf.screens.size(), 2u);
}

TEST(LayoutFile, UnreadableDocumentsLeaveTheModelEmpty) {
    for (const std::string& path : {DataPath("layoutfile/malformed.xml"),
                                    DataPath("layoutfile/missing.xml"), DataPath("layoutfile")}) {
        LF lf;
        EXPECT_FALSE(lf.Load(path)) << path;
        EXPECT_TRUE(lf.screens.empty());
        EXPECT_EQ(lf.compat, "");
    }
    LF unknown;
    EXPECT_TRUE(unknown.Parse("<other><thing/></other>"));
    EXPECT_TRUE(unknown.screens.empty());
}

} // namespace

#include "common/cache.h"
#include "common/layoutfile.h"
#include "saver/cachereadlayout.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

// The pictures a full layout of the fixture names, each cached at serial "1" unless a
// case leaves it out.
const std::vector<std::string> kAllKeys = {"banner",  "splash", "preview",  "bg1024",
                                           "bg800",   "bg640",  "clock",    "default",
                                           "pressed", "hover",  "disabled", "logo"};

const std::string kTopLevel = R"(<configbanner src="banner" serial="1"/>)"
                              R"(<splashscreen src="splash" serial="1"/>)"
                              R"(<preview src="preview" serial="1"/>)";

const std::string kClock =
    R"(<clock width="50" height="50"><face src="clock" serial="1"/></clock>)";
const std::string kButton = R"(<button id="#quit" width="9" height="9"><face context="default">)"
                            R"(<default src="default" serial="1"/>)"
                            R"(<pressed src="pressed" serial="1"/>)"
                            R"(<hover src="hover" serial="1"/>)"
                            R"(<disabled src="disabled" serial="1"/>)"
                            R"(</face></button>)";
const std::string kImage = R"(<image id="i" width="9" height="9" src="logo" serial="1"/>)";

std::string Background(int width) {
    return R"(<background src="bg)" + std::to_string(width) + R"(" serial="1"/>)";
}

std::string Screen(int width, int height, const std::string& body,
                   const std::string& context = "default") {
    return "<screen width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
           "\" context=\"" + context + "\">" + body + "</screen>";
}

// A screen entry with every picture the grades look at, and a static image.
std::string FullScreen(int width, int height) {
    return Screen(width, height, Background(width) + kClock + kButton + kImage);
}

std::string Doc(const std::string& body) {
    return "<layout>" + body + "</layout>";
}

const std::string kFullLayout =
    Doc(kTopLevel + FullScreen(1024, 768) + FullScreen(800, 600) + FullScreen(640, 480));

struct CacheFixture {
    TempFolder folder;
    CC cache{folder.Path()};

    // Writes "cache.dir" with every key of kAllKeys but the missing ones, plus extra
    // lines, and loads it the way the saver does.
    CacheFixture(const std::set<std::string>& missing, const std::string& extra) {
        std::string text;
        for (const std::string& key : kAllKeys) {
            if (missing.count(key) == 0) {
                text.append(key).append(".gif|1|").append(key).append("\r\n");
            }
        }
        WriteFile(cache.IndexPath(), text + extra);
        cache.Load();
    }
};

LF ParseLayout(const std::string& xml) {
    LF lf;
    EXPECT_TRUE(lf.Parse(xml)) << xml;
    return lf;
}

struct GradeCase {
    const char* what;
    std::string layout;
    std::set<std::string> missing; // keys left out of the cache
    std::string extra;             // further "cache.dir" lines
    bool complete;
    bool halfComplete;
};

TEST(CacheReadLayout, GradesLayoutsAgainstTheCache) {
    const std::string screens1024And800 = FullScreen(1024, 768) + FullScreen(800, 600);
    const GradeCase cases[] = {
        {"everything cached", kFullLayout, {}, "", true, true},
        {"no preview element",
         Doc(R"(<configbanner src="banner" serial="1"/><splashscreen src="splash" serial="1"/>)" +
             screens1024And800),
         {},
         "",
         false,
         false},
        {"no banner element",
         Doc(R"(<splashscreen src="splash" serial="1"/><preview src="preview" serial="1"/>)" +
             screens1024And800),
         {},
         "",
         false,
         false},
        {"no splash element",
         Doc(R"(<configbanner src="banner" serial="1"/><preview src="preview" serial="1"/>)" +
             screens1024And800),
         {},
         "",
         false,
         false},
        {"splash not cached", kFullLayout, {"splash"}, "", false, false},
        {"1024 entry without clock",
         Doc(kTopLevel + Screen(1024, 768, Background(1024) + kButton) + FullScreen(800, 600)),
         {},
         "",
         false,
         false},
        {"800 entry without background",
         Doc(kTopLevel + FullScreen(1024, 768) + Screen(800, 600, kClock + kButton)),
         {},
         "",
         false,
         false},
        {"other size without clock",
         Doc(kTopLevel + screens1024And800 + Screen(640, 480, Background(640))),
         {},
         "",
         false,
         true},
        {"other size's background not cached", kFullLayout, {"bg640"}, "", false, true},
        {"clock face without src needs no look-up",
         Doc(kTopLevel + Screen(1024, 768, Background(1024) + "<clock/>")),
         {"clock"},
         "",
         true,
         true},
        {"clock face not cached", kFullLayout, {"clock"}, "", false, false},
        {"no 800 x 600 entry", Doc(kTopLevel + FullScreen(1024, 768)), {"bg800"}, "", true, true},
        {"no screen entries", Doc(kTopLevel), {}, "", true, true},
        {"no screen entries, preview not cached", Doc(kTopLevel), {"preview"}, "", false, false},
        {"static image not cached", kFullLayout, {"logo"}, "", true, true},
        {"button face without pressed picture",
         Doc(kTopLevel +
             Screen(1024, 768,
                    Background(1024) + kClock +
                        R"(<button id="b" width="9" height="9"><face context="default">)"
                        R"(<default src="default" serial="1"/></face></button>)")),
         {"pressed"},
         "",
         true,
         true},
        {"button picture at an uncached serial",
         Doc(kTopLevel +
             Screen(1024, 768,
                    Background(1024) + kClock +
                        R"(<button id="b" width="9" height="9"><face context="default">)"
                        R"(<default src="default" serial="1"/><pressed src="pressed" serial="2"/>)"
                        R"(</face></button>)")),
         {},
         "",
         false,
         false},
        {"hover picture of a later face not cached",
         Doc(kTopLevel +
             Screen(1024, 768,
                    Background(1024) + kClock +
                        R"(<button id="b" width="9" height="9"><face context="default"/>)"
                        R"(<face context="paused"><hover src="hover" serial="1"/></face>)"
                        R"(</button>)")),
         {"hover"},
         "",
         false,
         false},
        {"disabled picture not cached", kFullLayout, {"disabled"}, "", false, false},
        {"empty serial takes any cached version",
         Doc(R"(<configbanner src="banner"/><splashscreen src="splash" serial="1"/>)"
             R"(<preview src="preview" serial="1"/>)"),
         {"banner"},
         "b.gif|7|banner\r\n",
         true,
         true},
        {"named serial must be the cached one",
         Doc(R"(<configbanner src="banner" serial="2"/><splashscreen src="splash" serial="1"/>)"
             R"(<preview src="preview" serial="1"/>)"),
         {},
         "",
         false,
         false},
        {"second 1024 entry of another context incomplete",
         Doc(kTopLevel + screens1024And800 +
             Screen(1024, 768, kClock + Background(1024) + kButton, "paused") +
             Screen(1024, 768, kClock, "quiet")),
         {},
         "",
         false,
         false},
        {"keys compare case-sensitively",
         kFullLayout,
         {"bg1024"},
         "x.jpg|1|BG1024\r\n",
         false,
         false},
    };
    for (const GradeCase& c : cases) {
        SCOPED_TRACE(c.what);
        CacheFixture fixture(c.missing, c.extra);
        const LF layout = ParseLayout(c.layout);
        CacheReadLayout grader;
        grader.layout = &layout;
        grader.cache = &fixture.cache;
        EXPECT_EQ(grader.IsComplete(), c.complete);
        EXPECT_EQ(grader.IsHalfComplete(), c.halfComplete);
    }
}

TEST(CacheReadLayout, WithoutCacheOrLayoutNothingIsComplete) {
    CacheFixture fixture({}, "");
    const LF layout = ParseLayout(kFullLayout);
    const LF empty = ParseLayout(Doc(""));

    CacheReadLayout grader;
    EXPECT_FALSE(grader.IsComplete());
    EXPECT_FALSE(grader.IsHalfComplete());
    EXPECT_FALSE(grader.IsSizeComplete(1024, 768));

    grader.layout = &layout; // no cache: every picture counts as missing
    EXPECT_FALSE(grader.IsImageCached("banner", "1"));
    EXPECT_FALSE(grader.IsComplete());
    EXPECT_FALSE(grader.IsHalfComplete());
    grader.layout = &empty; // even a layout that names no picture on a screen
    EXPECT_FALSE(grader.IsComplete());

    grader.layout = nullptr; // a cache but no layout
    grader.cache = &fixture.cache;
    EXPECT_FALSE(grader.IsComplete());
    EXPECT_FALSE(grader.IsHalfComplete());
    EXPECT_FALSE(grader.IsTopLevelComplete());
    EXPECT_FALSE(grader.IsSizeComplete(1024, 768));
}

TEST(CacheReadLayout, SizeGradeAndLayoutSwap) {
    CacheFixture fixture({"bg640"}, "");
    const LF full = ParseLayout(kFullLayout);
    const LF small = ParseLayout(Doc(kTopLevel + FullScreen(640, 480)));
    CacheReadLayout grader;
    grader.cache = &fixture.cache;
    grader.layout = &full;
    EXPECT_TRUE(grader.IsSizeComplete(1024, 768));
    EXPECT_FALSE(grader.IsSizeComplete(640, 480));
    EXPECT_TRUE(grader.IsSizeComplete(1280, 1024)); // no such entry
    EXPECT_FALSE(grader.IsComplete());
    EXPECT_TRUE(grader.IsHalfComplete());
    // The user swaps the layout between tests; the grades follow the new one.
    grader.layout = &small;
    EXPECT_FALSE(grader.IsComplete());
    EXPECT_TRUE(grader.IsHalfComplete());
    EXPECT_TRUE(grader.IsSizeComplete(1024, 768));
}

TEST(CacheReadLayout, BackgroundWithEmptySrcIsLookedUp) {
    // A model can hold a background without src (the reader refuses one in the file);
    // the grade looks the empty key up like any other.
    CacheFixture fixture({}, "");
    LF layout = ParseLayout(Doc(kTopLevel + FullScreen(1024, 768)));
    layout.screens.at(0).background->src.clear();
    CacheReadLayout grader;
    grader.layout = &layout;
    grader.cache = &fixture.cache;
    EXPECT_FALSE(grader.IsComplete());
    CacheFixture withEmptyKey({}, "e.jpg|1|\r\n");
    grader.cache = &withEmptyKey.cache;
    EXPECT_TRUE(grader.IsComplete());
}

} // namespace

#include "common/channelfeeds.h"
#include "platform/fileio.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using platform::xml::XmlParseError;
using platform::xml::XmlTextError;
using tolvar::test::DataPath;

std::string Fixture(const std::string& name) {
    return DataPath("channelfeeds/" + name);
}

std::vector<std::string> Titles(const CHFChannel& feed) {
    std::vector<std::string> titles;
    for (const auto& m : feed.messages) {
        titles.push_back(m.title);
    }
    return titles;
}

TEST(CHFChannelLoad, Rss2ItemsInsideTheChannel) {
    CHFChannel feed;
    feed.Load(Fixture("rss2.xml"));
    // Items inside "channel" and beside it under the document element; none deeper,
    // none under another element or a "Channel".
    EXPECT_EQ(Titles(feed),
              (std::vector<std::string>{"beside the channel", "First", "Second", ""}));
    ASSERT_EQ(feed.messages.size(), 4u);
    EXPECT_EQ(feed.messages[1].description, "One");
    EXPECT_EQ(feed.messages[1].link, "http://example.com/1");
    EXPECT_EQ(feed.messages[2].link, ""); // an empty link element
    EXPECT_EQ(feed.messages[3].description, "no title");
    EXPECT_EQ(feed.messages[3].link, "http://example.com/3?a=1&b=2");
    for (const auto& m : feed.messages) {
        EXPECT_EQ(m.contenturi, "");
    }
}

TEST(CHFChannelLoad, Rss091) {
    CHFChannel feed;
    feed.Load(Fixture("rss091.xml"));
    EXPECT_EQ(Titles(feed), (std::vector<std::string>{"Eins", "Zwei"}));
    EXPECT_EQ(feed.messages[1].link, "http://example.com/zwei");
}

TEST(CHFChannelLoad, Rss1ItemsBesideTheChannelWithTheirPictures) {
    CHFChannel feed;
    feed.Load(Fixture("rss1.xml"));
    EXPECT_EQ(Titles(feed), (std::vector<std::string>{"A", "B", "C"}));
    ASSERT_EQ(feed.messages.size(), 3u);
    EXPECT_EQ(feed.messages[0].link, "http://example.com/a");
    // The last non-empty rdf:about wins, wherever it stands among the attributes.
    EXPECT_EQ(feed.messages[0].contenturi, "#brimwald:///images/a2.jpg");
    // Another prefix for the about attribute, a Seq in place of the Bag, an item
    // without the content prefix: none counts.
    EXPECT_EQ(feed.messages[1].contenturi, "");
    // The prefix counts as written, not the namespace address.
    EXPECT_EQ(feed.messages[2].contenturi, "");
}

TEST(CHFChannelLoad, AppendsToWhatItHolds) {
    CHFChannel feed;
    feed.Load(Fixture("rss091.xml"));
    feed.Load(Fixture("rss091.xml"));
    EXPECT_EQ(feed.messages.size(), 4u);
}

class CHFLinkErrors : public testing::TestWithParam<const char*> {};

TEST_P(CHFLinkErrors, EndTheReadingAndKeepTheItemsBefore) {
    CHFChannel feed;
    try {
        feed.Load(Fixture(GetParam()));
        FAIL() << "no error";
    } catch (const XmlTextError& e) {
        EXPECT_STREQ(e.what(), "Element does not contain a single text node");
    }
    EXPECT_EQ(Titles(feed), (std::vector<std::string>{"A"}));
}

INSTANTIATE_TEST_SUITE_P(Table, CHFLinkErrors,
                         testing::Values("link-element.xml", "link-comment.xml"),
                         [](const testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             return name.substr(5, name.find('.') - 5);
                         });

// The faults real feeds carry, each read as it was meant; what counts as an item and the
// cleaning of the texts stay as they are.
struct FlawCase {
    const char* name;
    const char* file;
    std::vector<std::string> titles;
    std::vector<std::string> links;
    std::vector<std::string> descriptions; // compared when not empty
};

class CHFFeedFlaws : public testing::TestWithParam<FlawCase> {};

TEST_P(CHFFeedFlaws, AreReadAsMeant) {
    const FlawCase& c = GetParam();
    CHFChannel feed;
    feed.Load(Fixture(c.file));
    EXPECT_EQ(Titles(feed), c.titles);
    std::vector<std::string> links;
    std::vector<std::string> descriptions;
    for (const auto& m : feed.messages) {
        links.push_back(m.link);
        descriptions.push_back(m.description);
    }
    EXPECT_EQ(links, c.links);
    if (!c.descriptions.empty()) {
        EXPECT_EQ(descriptions, c.descriptions);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CHFFeedFlaws,
    testing::Values(
        FlawCase{"BlankLinesBeforeTheDeclaration",
                 "blank-before-declaration.xml",
                 {"One", "Two"},
                 {"http://example.com/1", "http://example.com/2"},
                 {}},
        FlawCase{"UndeclaredHtmlEntities",
                 "html-entities.xml",
                 {"Caf\xC3\xA9\xC2\xA0\xE2\x80\x93 \xE2\x82\xAC"
                  "5",
                  "\xE2\x80\x98Two\xE2\x80\x99 & \"three\""},
                 {"http://example.com/?q=caf\xC3\xA9", ""},
                 {"\xE2\x99\xA5 \xCE\xA9\xE2\x80\xA6", ""}},
        FlawCase{
            "DeclaredEntityWinsOverHtml", "html-entity-declared.xml", {"CafE \xC3\xA0"}, {""}, {}},
        FlawCase{"BareAmpersandsStandForThemselves",
                 "bare-ampersand.xml",
                 {"Tom & Jerry & AT&T&co", "Kept as written", "& at the end &"},
                 {"http://example.com/?a=1&b=2", "http://example.com/?x=1&y=2&amp;z",
                  "http://example.com/?c=&#; &#x; &"},
                 {}},
        FlawCase{"CDataLink",
                 "link-cdata.xml",
                 {"A", "B", "C"},
                 {"http://example.com/a", "http://example.com/b", ""},
                 {}},
        // The reader keeps a link as written; the launcher takes the blanks off.
        FlawCase{"CDataLinkWithBlanksKeepsThem",
                 "link-cdata-padded.xml",
                 {"P"},
                 {"\n     http://example.com/p \n  "},
                 {}}),
    [](const testing::TestParamInfo<FlawCase>& p) { return std::string(p.param.name); });

TEST(CHFChannelLoad, UnknownEntityStillRefusesTheFeed) {
    CHFChannel feed;
    try {
        feed.Load(Fixture("entity-unknown.xml"));
        FAIL() << "no error";
    } catch (const XmlParseError& e) {
        EXPECT_NE(std::string(e.what()).find("html4"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(feed.messages.empty());
}

// UTF-32 in either byte order, with or without a byte-order mark, reads like UTF-8; a
// UTF-32 text that does not decode is refused as not well-formed.
TEST(CHFChannelParse, Utf32Feeds) {
    const std::u32string text = U"<rss><channel><item><title>Gr\u00FC\u00DFe \u20AC \U0001F600"
                                U"</title><link>http://example.com/u</link></item></channel></rss>";
    const auto encode = [](const std::u32string& chars, bool bigEndian, bool mark) {
        std::string out;
        std::u32string all = chars;
        if (mark) {
            all.insert(all.begin(), U'\uFEFF');
        }
        for (const char32_t c : all) {
            for (int i = 0; i < 4; ++i) {
                const int shift = bigEndian ? 24 - 8 * i : 8 * i;
                out.push_back(static_cast<char>((c >> shift) & 0xFF));
            }
        }
        return out;
    };
    for (const bool bigEndian : {false, true}) {
        for (const bool mark : {false, true}) {
            CHFChannel feed;
            feed.Parse(encode(text, bigEndian, mark));
            ASSERT_EQ(feed.messages.size(), 1u) << bigEndian << mark;
            EXPECT_EQ(feed.messages[0].title, "Gr\xC3\xBC\xC3\x9F"
                                              "e \xE2\x82\xAC \xF0\x9F\x98\x80");
            EXPECT_EQ(feed.messages[0].link, "http://example.com/u");
        }
        std::u32string beyondUnicode = U"<rss>";
        beyondUnicode.push_back(char32_t{0x110000});
        beyondUnicode += U"</rss>";
        CHFChannel broken;
        EXPECT_THROW(broken.Parse(encode(beyondUnicode, bigEndian, true)), XmlParseError);
        EXPECT_TRUE(broken.messages.empty());
    }
}

TEST(CHFChannelLoad, UnreadableFilesPassTheirError) {
    tolvar::test::TempFolder dir;
    CHFChannel feed;
    EXPECT_THROW(feed.Load(dir.Path() + "/missing.xml"), platform::FileError);
    EXPECT_THROW(feed.Load(dir.Path()), platform::FileError);
    const std::string broken = dir.Path() + "/broken.xml";
    tolvar::test::WriteFile(broken, "<rss><channel><item><title>x</title></item>");
    EXPECT_THROW(feed.Load(broken), XmlParseError);
    EXPECT_TRUE(feed.messages.empty());
}

TEST(CHFChannelLoad, EncodingsGiveTheSameUtf8Titles) {
    const std::string expected = "\xE2\x80\x9C"
                                 "Euro \xE2\x82\xAC\xE2\x80\x9D \xE2\x80\x93 Gr\xC3\xBC\xC3\x9F"
                                 "e";
    for (const char* file : {"cp1252-undeclared.xml", "latin1-declared.xml", "utf8.xml"}) {
        CHFChannel feed;
        feed.Load(Fixture(file));
        ASSERT_EQ(feed.messages.size(), 1u) << file;
        EXPECT_EQ(feed.messages[0].title, expected) << file;
        EXPECT_EQ(feed.messages[0].description, expected + " \xE2\x84\xA2") << file;
    }
}

TEST(CHFChannelLoad, CleansTitlesAndDescriptions) {
    CHFChannel feed;
    feed.Load(Fixture("cleaning.xml"));
    ASSERT_EQ(feed.messages.size(), 5u);
    const std::pair<std::string, std::string> expected[] = {
        {"Tom & Jerry", ""},
        {"a", "Hello world"},
        {"x \"y\"", "Hello"},     // CDATA cleaned like escaped text: no "]]>" left
        {"a > b", "Tom & Jerry"}, // no text eaten; text and CDATA joined
        {"line break and tabs",
         "Hello world & more"}, // child elements: escapes undone after the tags
    };
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(feed.messages[i].title, expected[i].first) << i;
        EXPECT_EQ(feed.messages[i].description, expected[i].second) << i;
    }
}

struct CleanCase {
    const char* name;
    std::string markup;
    bool isText;
    std::string expected;
};

class CleanFeedTextRules : public testing::TestWithParam<CleanCase> {};

TEST_P(CleanFeedTextRules, Clean) {
    const auto& c = GetParam();
    EXPECT_EQ(CleanFeedText(c.markup, c.isText), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CleanFeedTextRules,
    testing::Values(
        CleanCase{"AmpersandKept", "<t>Tom &amp; Jerry</t>", true, "Tom & Jerry"},
        CleanCase{"EscapedAmpersandEntityStaysText", "<t>&amp;lt;</t>", true, "&lt;"},
        CleanCase{"EscapedMarkupRemoved",
                  "<t>&lt;p&gt;Hello &lt;b&gt;world&lt;/b&gt;&lt;/p&gt;</t>", true, "Hello world"},
        CleanCase{"LessThanStartsATag", "<t>a &lt; b</t>", true, "a"},
        CleanCase{"Quot", "<t>x &quot;y&quot;</t>", true, "x \"y\""},
        CleanCase{"LetterCaseOfNamesCounts", "<t>a&LT;b&Amp;c</t>", true, "abc"},
        CleanCase{"OtherNamesGiveNothing", "<t>a&nbsp;b&#233;c</t>", true, "abc"},
        CleanCase{"AmpersandWithoutSemicolon", "a & b", true, "a b"},
        CleanCase{"MarkupEscapesUndoneAfterTags", "<t>a &lt; b &amp;&gt; <b>c</b></t>", false,
                  "a < b &> c"},
        CleanCase{"MarkupEscapedTagStaysText", "<t>&lt;p&gt;x<i/></t>", false, "<p>x"},
        CleanCase{"MarkupOtherAmpersandsStay", "<t>a &amp;amp; &quot; &x</t>", false,
                  "a &amp; &quot; &x"},
        CleanCase{"UnclosedTag", "a <b c", false, "a b c"},
        CleanCase{"ControlsAndRunsOfBlanks", "<t>\t a\r\n\n b \x01 c  </t>", false, "a b c"},
        CleanCase{"OnlyBlanks", "<t>   </t>", true, ""}, CleanCase{"Empty", "<t/>", false, ""},
        CleanCase{"LongTextCut", std::string(3000, 'x'), false, std::string(1024, 'x')},
        CleanCase{"CutAtAWholeCharacter", std::string(1023, 'x') + "\xC3\xBC" + "yyy", false,
                  std::string(1023, 'x')},
        CleanCase{"CutAfterAWholeCharacter", std::string(1022, 'x') + "\xC3\xBC" + "yyy", false,
                  std::string(1022, 'x') + "\xC3\xBC"},
        CleanCase{"CutThreeByteCharacter", std::string(1022, 'x') + "\xE2\x82\xAC", false,
                  std::string(1022, 'x')}),
    [](const testing::TestParamInfo<CleanCase>& p) { return std::string(p.param.name); });

// The element's own attributes are no part of its text, even when a value holds what
// the entity step would turn into a tag's end.
TEST(CHFChannelParse, AttributesOfTheTextElementLeaveNoTrace) {
    const struct {
        const char* title;
        const char* expected;
    } cases[] = {
        {R"(<title type="a&gt;b">T</title>)", "T"},
        {R"(<title type='say "hi"'>T &amp; U</title>)", "T & U"},
        {R"(<title a="&lt;"><![CDATA[x]]> y</title>)", "x y"},
    };
    for (const auto& c : cases) {
        CHFChannel feed;
        feed.Parse(std::string("<rss><channel><item>") + c.title + "</item></channel></rss>");
        ASSERT_EQ(feed.messages.size(), 1u) << c.title;
        EXPECT_EQ(feed.messages[0].title, c.expected) << c.title;
    }
}

TEST(CHFChannelParse, LongDescriptionIsCutAndNormalised) {
    std::string text = "  \t";
    for (int i = 0; i < 300; ++i) {
        text += "word \n\t ";
    }
    CHFChannel feed;
    feed.Parse("<rss><channel><item><description>" + text +
               "</description></item></channel></rss>");
    ASSERT_EQ(feed.messages.size(), 1u);
    const std::string& d = feed.messages[0].description;
    EXPECT_EQ(d.size(), 1024u);
    EXPECT_EQ(d.substr(0, 10), "word word ");
    EXPECT_EQ(d.find("  "), std::string::npos);
    EXPECT_EQ(d.find_first_of("\t\n"), std::string::npos);
}

} // namespace

#include "platform/xml.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::xml::Document;
using platform::xml::Node;
using platform::xml::NodeType;
using platform::xml::XmlParseError;
using platform::xml::XmlTextError;

std::vector<Node> ChildList(Node node) {
    std::vector<Node> out;
    for (Node child : node.Children()) {
        out.push_back(child);
    }
    return out;
}

struct EncodingCase {
    const char* name;
    std::string bytes;
    std::string text;     // the root element's text, UTF-8
    std::string encoding; // the encoding the layer chose
};

class Encoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(Encoding, DecodesToUtf8) {
    const auto& c = GetParam();
    const Document doc = Document::Parse(c.bytes);
    EXPECT_EQ(doc.Root().Text().value_or("<none>"), c.text);
    EXPECT_EQ(doc.Encoding(), c.encoding);
}

const std::string kCurly = "\xE2\x80\x9C"
                           "Euro \xE2\x82\xAC"
                           "\xE2\x80\x9D"; // “Euro €”

INSTANTIATE_TEST_SUITE_P(
    Table, Encoding,
    testing::Values(
        EncodingCase{"Utf8Declared",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>" + kCurly + "</r>", kCurly,
                     "UTF-8"},
        EncodingCase{"Utf8DeclaredLowerCase",
                     "<?xml version='1.0' encoding='utf-8'?><r>\xC3\xBC</r>", "\xC3\xBC", "UTF-8"},
        EncodingCase{"Utf8ByteOrderMark", "\xEF\xBB\xBF<r>\xC3\xBC</r>", "\xC3\xBC", "UTF-8"},
        EncodingCase{"NoDeclarationValidUtf8", "<r>" + kCurly + "</r>", kCurly, "UTF-8"},
        EncodingCase{"NoDeclarationWindows1252",
                     "<r>\x93"
                     "Euro \x80\x94</r>",
                     kCurly, "WINDOWS-1252"},
        EncodingCase{"Latin1DeclaredHighControls",
                     "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\x93"
                     "Euro \x80\x94</r>",
                     kCurly, "WINDOWS-1252"},
        EncodingCase{"AsciiDeclared", "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><r>\xE9</r>",
                     "\xC3\xA9", "WINDOWS-1252"},
        EncodingCase{"Windows1252Declared",
                     "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>\x80</r>", "\xE2\x82\xAC",
                     "WINDOWS-1252"},
        EncodingCase{"UndefinedByteKeepsItsNumber", "<r>\x81</r>", "\xC2\x81", "WINDOWS-1252"},
        EncodingCase{"OtherDeclaredHonoured",
                     "<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?><r>\xA4</r>", "\xE2\x82\xAC",
                     "ISO-8859-15"},
        EncodingCase{"UnknownDeclaredFallsBack",
                     "<?xml version=\"1.0\" encoding=\"x-no-such-thing\"?><r>\xE4</r>", "\xC3\xA4",
                     "WINDOWS-1252"},
        EncodingCase{"DeclaredFailsToDecodeFallsBack",
                     "<?xml version=\"1.0\" encoding=\"EUC-JP\"?><r>\xFF</r>", "\xC3\xBF",
                     "WINDOWS-1252"},
        EncodingCase{"Utf8DeclaredButNotUtf8FallsBack",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\xE4</r>", "\xC3\xA4",
                     "WINDOWS-1252"},
        EncodingCase{"Utf16ByteOrderMark", std::string("\xFF\xFE<\0r\0>\0\xFC\0<\0/\0r\0>\0", 18),
                     "\xC3\xBC", "UTF-16LE"}),
    [](const testing::TestParamInfo<EncodingCase>& p) { return std::string(p.param.name); });

TEST(XmlValues, EmptyTextsHaveNoValue) {
    const Document doc = Document::Parse("<r a=\"\" b=\"x\"><e/><f></f><t>x</t></r>");
    std::vector<std::optional<std::string>> values;
    for (auto attr : doc.Root().Attributes()) {
        values.push_back(attr.Value());
    }
    ASSERT_EQ(values.size(), 2u);
    EXPECT_FALSE(values[0].has_value());
    EXPECT_EQ(values[1].value(), "x");
    const auto children = ChildList(doc.Root());
    ASSERT_EQ(children.size(), 3u);
    EXPECT_FALSE(children[0].Text().has_value());
    EXPECT_FALSE(children[1].Text().has_value());
    EXPECT_EQ(children[2].Text().value(), "x");
}

TEST(XmlValues, TextOfAnythingButOnePlainTextNodeFails) {
    for (const char* xml : {"<r><![CDATA[x]]></r>", "<r><b>x</b></r>", "<r><!--c--></r>",
                            "<r>x<![CDATA[y]]></r>", "<r>x<b/>y</r>"}) {
        const Document doc = Document::Parse(xml);
        try {
            (void)doc.Root().Text();
            ADD_FAILURE() << xml;
        } catch (const XmlTextError& e) {
            EXPECT_STREQ(e.what(), "Element does not contain a single text node") << xml;
        }
    }
}

TEST(XmlNodes, CDataStaysApartFromText) {
    const Document doc = Document::Parse("<r>a<![CDATA[<b>&amp;]]>c<!--n--><?pi d?></r>");
    const auto children = ChildList(doc.Root());
    ASSERT_EQ(children.size(), 5u);
    EXPECT_EQ(children[0].Type(), NodeType::Text);
    EXPECT_EQ(children[1].Type(), NodeType::CData);
    EXPECT_EQ(children[1].Value().value(), "<b>&amp;");
    EXPECT_EQ(children[2].Type(), NodeType::Text);
    EXPECT_EQ(children[3].Type(), NodeType::Comment);
    EXPECT_EQ(children[4].Type(), NodeType::ProcessingInstruction);
    EXPECT_EQ(children[4].LocalName(), "pi");
}

TEST(XmlNodes, NamesAndPrefixesAsWritten) {
    const Document doc = Document::Parse(
        "<rdf:RDF xmlns:rdf=\"urn:r\" xmlns=\"urn:d\"><Item/><rdf:li rdf:about=\"a\" "
        "about=\"b\"/><x:y/></rdf:RDF>");
    const Node root = doc.Root();
    EXPECT_EQ(root.LocalName(), "RDF");
    EXPECT_EQ(root.Prefix(), "rdf");
    EXPECT_EQ(root.NamespaceUri(), "urn:r");
    const auto children = ChildList(root);
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[0].LocalName(), "Item");
    EXPECT_EQ(children[0].Prefix(), "");
    EXPECT_EQ(children[0].NamespaceUri(), "urn:d");
    EXPECT_EQ(children[1].QualifiedName(), "rdf:li");
    std::vector<std::string> attrs;
    for (auto attr : children[1].Attributes()) {
        attrs.push_back(attr.QualifiedName() + "=" + attr.Value().value());
    }
    EXPECT_EQ(attrs, (std::vector<std::string>{"rdf:about=a", "about=b"}));
    // An undeclared prefix is split off as written.
    EXPECT_EQ(children[2].Prefix(), "x");
    EXPECT_EQ(children[2].LocalName(), "y");
}

TEST(XmlMarkup, EscapesOnlyAmpersandAndAngleBracketsInText) {
    struct Case {
        const char* xml;
        const char* markup;
    };
    const Case cases[] = {
        {"<t>Tom &amp; Jerry &lt;b&gt; \"q\" 'a' \xC3\xBC &#8364;&#233;</t>",
         "<t>Tom &amp; Jerry &lt;b&gt; \"q\" 'a' \xC3\xBC \xE2\x82\xAC\xC3\xA9</t>"},
        {"<t a='x&amp;&quot;&lt;y'>v</t>", "<t a=\"x&amp;&quot;&lt;y\">v</t>"},
        {"<t></t>", "<t/>"},
        {"<dc:title xmlns:dc=\"urn:dc\">x</dc:title>",
         "<dc:title xmlns:dc=\"urn:dc\">x</dc:title>"},
        {"<t><p>a<![CDATA[<b>]]></p><!--c--><e/></t>",
         "<t><p>a<![CDATA[<b>]]></p><!--c--><e/></t>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Document::Parse(c.xml).Root().Markup(), c.markup) << c.xml;
    }
}

TEST(XmlMarkup, OfAChildElement) {
    const Document doc = Document::Parse("<r><a>1</a><b x=\"2\"><c/></b>tail</r>");
    const auto children = ChildList(doc.Root());
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[1].Markup(), "<b x=\"2\"><c/></b>");
    EXPECT_EQ(children[2].Markup(), "tail");
}

TEST(XmlEntities, InternalEntitiesAreExpanded) {
    const Document doc =
        Document::Parse("<!DOCTYPE r [<!ENTITY e \"hello\">]><r a=\"&e;!\">&e; world</r>");
    EXPECT_EQ(doc.Root().Text().value(), "hello world");
    EXPECT_EQ((*doc.Root().Attributes().begin()).Value().value(), "hello!");
}

TEST(XmlHostile, BillionLaughsIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol0 \"lollollollol\">";
    for (int i = 1; i <= 9; ++i) {
        xml += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            xml += "&lol" + std::to_string(i - 1) + ";";
        }
        xml += "\">";
    }
    xml += "]><lolz>&lol9;</lolz>";
    EXPECT_THROW(Document::Parse(xml), XmlParseError);
}

// One entity of 50 KB referenced thousands of times: no nesting, yet 200 MB of text.
TEST(XmlHostile, QuadraticEntityExpansionIsRefused) {
    const std::string decl = "<!DOCTYPE r [<!ENTITY e \"" + std::string(50000, 'x') + "\">]>";
    std::string refs;
    for (int i = 0; i < 4000; ++i) {
        refs += "&e;";
    }
    std::string elements;
    for (int i = 0; i < 4000; ++i) {
        elements += "<a>&e;</a>";
    }
    const std::string docs[] = {
        decl + "<r>" + refs + "</r>",
        decl + "<r>" + elements + "</r>",
        decl + "<r a=\"" + refs + "\"/>",
    };
    for (const auto& xml : docs) {
        EXPECT_THROW(Document::Parse(xml), XmlParseError) << xml.substr(xml.size() - 40);
    }
}

TEST(XmlHostile, DeepNestingIsRefused) {
    constexpr int kDepth = 100000;
    std::string xml;
    xml.reserve(kDepth * 7);
    for (int i = 0; i < kDepth; ++i) {
        xml += "<a>";
    }
    for (int i = 0; i < kDepth; ++i) {
        xml += "</a>";
    }
    EXPECT_THROW(Document::Parse(xml), XmlParseError);
}

TEST(XmlHostile, ExternalResourcesAreNeverLoaded) {
    tolvar::test::TempFolder dir;
    const std::string secret = dir.Path() + "/secret.txt";
    const std::string dtd = dir.Path() + "/evil.dtd";
    tolvar::test::WriteFile(secret, "SECRET");
    tolvar::test::WriteFile(dtd, "<!ENTITY x \"SECRET\">");
    const std::string docs[] = {
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtd + "\"> %p;]><r>&x;</r>",
        "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r>&x;</r>",
        "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"file://" + secret +
            "\" parse=\"text\"/></r>",
    };
    for (const auto& xml : docs) {
        try {
            const Document doc = Document::Parse(xml);
            EXPECT_EQ(doc.Root().Markup().find("SECRET"), std::string::npos) << xml;
        } catch (const XmlParseError&) {
            // Refusing the document is as good as not loading the resource.
        }
    }
}

TEST(XmlParse, MalformedInputIsRefused) {
    for (const char* xml : {"", "   ", "<r>", "<r></R>", "text", "<r a=1/>", "<a/><b/>",
                            "<r>&undefined;</r>", "<r>\x01</r>"}) {
        EXPECT_THROW(Document::Parse(xml), XmlParseError) << xml;
    }
}

TEST(XmlParse, ErrorNamesTheFault) {
    try {
        Document::Parse("<r>\n<a></b></r>");
        FAIL();
    } catch (const XmlParseError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
}

TEST(XmlParse, ParsesOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &ok] {
            for (int i = 0; i < 200; ++i) {
                const std::string text = std::to_string(t * 1000 + i);
                const Document doc = Document::Parse("<r><v>" + text + "</v></r>");
                if ((*doc.Root().Children().begin()).Text() == text) {
                    ++ok[t];
                }
                try {
                    Document::Parse("<broken>");
                } catch (const XmlParseError&) {
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ok, (std::vector<int>(4, 200)));
}

} // namespace

#include "platform/metafileplayer.h"
#include "platform/textcodec.h"
#include "platform/xml.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using platform::ByteOrder;
using platform::Utf16Faults;
using platform::Utf16ToUtf8;

std::string Utf8(char32_t c) {
    std::string out;
    platform::AppendUtf8(out, c);
    return out;
}

TEST(Windows1252, TheHighControlsRangeCharacterByCharacter) {
    struct Case {
        unsigned char byte;
        char32_t expected;
    };
    const Case cases[] = {
        {0x80, 0x20AC},
        {0x81, 0x0081},
        {0x82, 0x201A},
        {0x83, 0x0192},
        {0x84, 0x201E},
        {0x85, 0x2026},
        {0x86, 0x2020},
        {0x87, 0x2021},
        {0x88, 0x02C6},
        {0x89, 0x2030},
        {0x8A, 0x0160},
        {0x8B, 0x2039},
        {0x8C, 0x0152},
        {0x8D, 0x008D},
        {0x8E, 0x017D},
        {0x8F, 0x008F},
        {0x90, 0x0090},
        {0x91, 0x2018},
        {0x92, 0x2019},
        {0x93, 0x201C},
        {0x94, 0x201D},
        {0x95, 0x2022},
        {0x96, 0x2013},
        {0x97, 0x2014},
        {0x98, 0x02DC},
        {0x99, 0x2122},
        {0x9A, 0x0161},
        {0x9B, 0x203A},
        {0x9C, 0x0153},
        {0x9D, 0x009D},
        {0x9E, 0x017E},
        {0x9F, 0x0178},
        // Around the range every byte is its own code point.
        {0x00, 0x0000},
        {0x7F, 0x007F},
        {0xA0, 0x00A0},
        {0xE4, 0x00E4},
        {0xFF, 0x00FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(platform::Windows1252CodePoint(c.byte), c.expected);
        EXPECT_EQ(platform::Windows1252ToUtf8(std::string(1, static_cast<char>(c.byte))),
                  Utf8(c.expected));
    }
    EXPECT_EQ(platform::Windows1252ToUtf8("Gr\xFC\xDF"
                                          "e \x80 \x81!"),
              "Grüße € \xC2\x81!");
}

// The XML layer and the metafile reader read every byte alike, the undefined five
// included (no character is lost in either).
TEST(Windows1252, TheDocumentsAndTheMetafilesAgreeOnEveryByte) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        SCOPED_TRACE(b);
        const std::string byte(1, static_cast<char>(b));
        const auto decoded = platform::xml::DecodeXmlBytes("<r>" + byte + "</r>");
        EXPECT_EQ(decoded.encoding, "WINDOWS-1252");
        const std::string expected = platform::Windows1252ToUtf8(byte);
        EXPECT_EQ(decoded.utf8, "<r>" + expected + "</r>");
        EXPECT_EQ(platform::metafile::AnsiToUtf8(byte), expected);
    }
}

TEST(Utf16, BothByteOrdersAndWhatIsBrokenReplacedOrRefused) {
    struct Case {
        const char* name;
        std::string littleEndian; // the big-endian form is made by swapping each pair
        std::string replaced;
        bool refused;
    };
    const Case cases[] = {
        {"plain", std::string("A\0\xE4\0\xAC\x20", 6), "A\xC3\xA4\xE2\x82\xAC", false},
        {"pair", std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80", false},
        {"lone high",
         std::string("\x3D\xD8"
                     "A\0",
                     4),
         "\xEF\xBF\xBD"
         "A",
         true},
        {"lone low", std::string("\x00\xDC", 2), "\xEF\xBF\xBD", true},
        {"high at the end", std::string("A\0\x3D\xD8", 4), "A\xEF\xBF\xBD", true},
        {"odd last byte", std::string("A\0B", 3), "A", true},
        {"empty", std::string(), "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bigEndian = c.littleEndian;
        for (std::size_t i = 0; i + 1 < bigEndian.size(); i += 2) {
            std::swap(bigEndian[i], bigEndian[i + 1]);
        }
        EXPECT_EQ(Utf16ToUtf8(c.littleEndian, ByteOrder::LittleEndian), c.replaced);
        EXPECT_EQ(Utf16ToUtf8(bigEndian, ByteOrder::BigEndian), c.replaced);
        const auto strict =
            Utf16ToUtf8(c.littleEndian, ByteOrder::LittleEndian, Utf16Faults::Refuse);
        EXPECT_EQ(!strict.has_value(), c.refused);
        if (strict) {
            EXPECT_EQ(*strict, c.replaced);
        }
        EXPECT_EQ(platform::metafile::Utf16ToUtf8(c.littleEndian), c.replaced);
    }
}

// A UTF-16 document decodes through the same decoder; one that does not decode falls
// back to Windows-1252 as the XML layer promises.
TEST(Utf16, DocumentsOfBothByteOrders) {
    const std::string le("\xFF\xFE<\0r\0>\0\x3D\xD8\x00\xDE<\0/\0r\0>\0", 20);
    const std::string be("\xFE\xFF\0<\0r\0>\xD8\x3D\xDE\x00\0<\0/\0r\0>", 20);
    for (const auto& [bytes, encoding] : {std::pair{le, "UTF-16LE"}, std::pair{be, "UTF-16BE"}}) {
        const auto decoded = platform::xml::DecodeXmlBytes(bytes);
        EXPECT_EQ(decoded.encoding, encoding);
        EXPECT_EQ(decoded.utf8, "<r>\xF0\x9F\x98\x80</r>");
    }
    const std::string broken("\xFF\xFE<\0\0\xD8", 6);
    EXPECT_EQ(platform::xml::DecodeXmlBytes(broken).encoding, "WINDOWS-1252");
}

} // namespace

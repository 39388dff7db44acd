#include "platform/textcase.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Only ASCII letters fold; UTF-8 and other bytes are compared as they are.
TEST(TextCase, OnlyAsciiLettersFold) {
    EXPECT_EQ(platform::AsciiLower("HTTP://Ex.Test/ÄÖ-[@`Z]"), "http://ex.test/ÄÖ-[@`z]");
    EXPECT_EQ(platform::AsciiUpper("utf-16le ä"), "UTF-16LE ä");
    struct Case {
        const char* a;
        const char* b;
        bool equal;
        bool starts; // a starts with b
        bool ends;   // a ends with b
    };
    const Case cases[] = {
        {"Content-Type:", "content-type:", true, true, true},
        {"HTTPS://host", "https://", false, true, false},
        {"Start.DESKTOP", ".desktop", false, false, true},
        {"Ä", "ä", false, false, false}, // two different UTF-8 sequences
        {"@", "`", false, false, false}, // neighbours of the letters stay apart
        {"[", "{", false, false, false},
        {"", "", true, true, true},
        {"ab", "abc", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(platform::EqualsNoCase(c.a, c.b), c.equal);
        EXPECT_EQ(platform::StartsWithNoCase(c.a, c.b), c.starts);
        EXPECT_EQ(platform::EndsWithNoCase(c.a, c.b), c.ends);
    }
}

} // namespace

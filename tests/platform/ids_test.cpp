#include "platform/ids.h"

#include <gtest/gtest.h>
#include <set>

namespace {

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The registry form: 38 characters, braces, 8-4-4-4-12 upper-case hex digits.
void ExpectGuidForm(const std::string& text) {
    ASSERT_EQ(text.size(), 38u) << text;
    EXPECT_EQ(text.front(), '{');
    EXPECT_EQ(text.back(), '}');
    for (size_t i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            EXPECT_EQ(text[i], '-') << text;
        } else {
            EXPECT_TRUE(IsUpperHex(text[i])) << text;
        }
    }
}

TEST(Ids, GuidTextOfKnownBytes) {
    const platform::Uuid uuid = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                 0x00, 0xff, 0x10, 0x20, 0x30, 0x40, 0x5a, 0xa5};
    EXPECT_EQ(platform::UuidToGuidString(uuid), "{01234567-89AB-CDEF-00FF-102030405AA5}");
}

TEST(Ids, GuidStringsOfNewUuidsAreUniqueVersion4Texts) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string text = platform::UuidToGuidString(platform::NewRandomUuid());
        ExpectGuidForm(text);
        EXPECT_EQ(text[15], '4') << "version nibble: " << text;
        EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos) << "variant: " << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Ids, NewRandomUuidSetsOnlyTheVersionAndVariantBits) {
    // Over many UUIDs every other bit is seen both set and clear, so nothing else is fixed.
    platform::Uuid anySet{}, anyClear{};
    for (int i = 0; i < 256; ++i) {
        const platform::Uuid uuid = platform::NewRandomUuid();
        EXPECT_EQ(uuid[6] >> 4, 4);
        EXPECT_EQ(uuid[8] >> 6, 2);
        for (size_t k = 0; k < uuid.size(); ++k) {
            anySet[k] |= uuid[k];
            anyClear[k] |= static_cast<std::uint8_t>(~uuid[k]);
        }
    }
    for (size_t k = 0; k < anySet.size(); ++k) {
        const std::uint8_t fixed = k == 6 ? 0xF0 : k == 8 ? 0xC0 : 0x00;
        EXPECT_EQ(anySet[k] & anyClear[k] & ~fixed & 0xFF, ~fixed & 0xFF) << "byte " << k;
    }
}

} // namespace

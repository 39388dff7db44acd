#include "saver/ssutils.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(ParseSaverCommandLine, SwitchLetterAndWindowNumber) {
    struct Case {
        std::vector<std::string> args;
        SaverMode mode;
        SaverWindowId parent;
    };
    const Case cases[] = {
        // No argument, a lone prefix and a bare letter: the dialog.
        {{}, SaverModeConfig, 0},
        {{""}, SaverModeConfig, 0},
        {{"/"}, SaverModeConfig, 0},
        {{"-"}, SaverModeConfig, 0},
        {{"s"}, SaverModeConfig, 0},
        {{"p", "1234"}, SaverModeConfig, 0},
        // The letter after "/" or "-", read case-insensitively.
        {{"/s"}, SaverModeRun, 0},
        {{"-s"}, SaverModeRun, 0},
        {{"/S"}, SaverModeRun, 0},
        {{"-S"}, SaverModeRun, 0},
        {{"/c"}, SaverModeConfig, 0},
        {{"/C"}, SaverModeConfig, 0},
        {{"/a"}, SaverModeNone, 0},
        {{"-A"}, SaverModeNone, 0},
        {{"/x"}, SaverModeConfig, 0},
        {{"/1"}, SaverModeConfig, 0},
        // Only one prefix is dropped: "//s" names no letter.
        {{"//s"}, SaverModeConfig, 0},
        // Two characters without a prefix: the first is the letter.
        {{"sx"}, SaverModeRun, 0},
        // Only the first letter counts.
        {{"/save"}, SaverModeRun, 0},
        {{"/preview"}, SaverModePreview, 0},
        // The preview's number after a colon in the same argument, or as the second.
        {{"/p:1234"}, SaverModePreview, 1234},
        {{"/P:1234"}, SaverModePreview, 1234},
        {{"/l:77"}, SaverModePreview, 77},
        {{"-L:77"}, SaverModePreview, 77},
        {{"/p", "1234"}, SaverModePreview, 1234},
        {{"/l", "4294967295"}, SaverModePreview, 4294967295u},
        // The colon form wins over a second argument.
        {{"/p:12", "34"}, SaverModePreview, 12},
        // "p:" with nothing after it is not longer than two characters: the second
        // argument is the number.
        {{"/p:", "34"}, SaverModePreview, 34},
        // Without a colon the rest of the argument is not the number.
        {{"/p1234"}, SaverModePreview, 0},
        {{"/p1234", "56"}, SaverModePreview, 56},
        // A missing or non-numeric number: no window.
        {{"/p"}, SaverModePreview, 0},
        {{"/p", ""}, SaverModePreview, 0},
        {{"/p", "12ab"}, SaverModePreview, 0},
        {{"/p", "-5"}, SaverModePreview, 0},
        {{"/p", "+5"}, SaverModePreview, 0},
        {{"/p", " 5"}, SaverModePreview, 0},
        {{"/p", "0x1a"}, SaverModePreview, 0},
        {{"/p", "4294967296"}, SaverModePreview, 0},
        {{"/p", "99999999999999999999999"}, SaverModePreview, 0},
        {{"/p:abc"}, SaverModePreview, 0},
        // Every switch reads the number; only the preview uses it.
        {{"/s", "42"}, SaverModeRun, 42},
        {{"/c:9"}, SaverModeConfig, 9},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& arg : c.args) {
            trace += "[" + arg + "]";
        }
        SCOPED_TRACE(trace);
        const SaverCommandLine parsed = ParseSaverCommandLine(c.args);
        EXPECT_EQ(parsed.mode, c.mode);
        EXPECT_EQ(parsed.parentWindow, c.parent);
    }
}

TEST(ParseSaverWindowId, DecimalDigitsWithinThirtyTwoBits) {
    struct Case {
        const char* text;
        std::optional<SaverWindowId> id;
    };
    const Case cases[] = {
        {"0", 0u},
        {"7", 7u},
        {"0042", 42u},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"18446744073709551617", std::nullopt},
        {"", std::nullopt},
        {"12 ", std::nullopt},
        {"1e3", std::nullopt},
        {"$1A", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseSaverWindowId(c.text), c.id);
    }
}

TEST(SSUtils, OneObjectParsedFromTheProgramsArguments) {
    SSUtils::SetProgramArguments({"/p:5"});
    SSUtils* utils = SSUtils::GetInstance();
    ASSERT_NE(utils, nullptr);
    EXPECT_EQ(SSUtils::GetInstance(), utils);

    // Parsing again gives the same result; new arguments give theirs.
    utils->ParseCommandLine();
    utils->ParseCommandLine();
    EXPECT_EQ(utils->Mode(), SaverModePreview);
    EXPECT_EQ(utils->ParentWindow(), 5u);

    SSUtils::SetProgramArguments({"-S"});
    utils->ParseCommandLine();
    EXPECT_EQ(utils->Mode(), SaverModeRun);
    EXPECT_EQ(utils->ParentWindow(), 0u);

    SSUtils::SetProgramArguments({});
    utils->ParseCommandLine();
    EXPECT_EQ(utils->Mode(), SaverModeConfig);
}

} // namespace

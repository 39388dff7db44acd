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

TEST(ParseSaverCommandLine, TheSwitchesOfScreenSaverHosts) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> variable; // the host's XSCREENSAVER_WINDOW
        SaverMode mode;
        bool inHost;
        SaverWindowId hostWindow;
        bool error;
    };
    const Case cases[] = {
        // The window after "-window-id", decimal or hexadecimal as the hosts write it.
        {{"-window-id", "4194311"}, {}, SaverModeRun, true, 4194311, false},
        {{"--window-id", "0x400007"}, {}, SaverModeRun, true, 0x400007, false},
        {{"-WINDOW-ID", "0X40000A"}, {}, SaverModeRun, true, 0x40000A, false},
        // The number on the command line wins over the variable.
        {{"-window-id", "12"}, "0x99", SaverModeRun, true, 12, false},
        // Without a usable number nothing is shown and the run says why.
        {{"-window-id"}, {}, SaverModeNone, true, 0, true},
        {{"--window-id", "0"}, {}, SaverModeNone, true, 0, true},
        {{"-window-id", "0x"}, {}, SaverModeNone, true, 0, true},
        {{"-window-id", "0x1g"}, {}, SaverModeNone, true, 0, true},
        {{"-window-id", "0x100000000"}, {}, SaverModeNone, true, 0, true},
        {{"-window-id", "-5"}, {}, SaverModeNone, true, 0, true},
        // "-root": the window in the variable, else the root window (0).
        {{"-root"}, "0x400007", SaverModeRun, true, 0x400007, false},
        {{"--root"}, "4194311", SaverModeRun, true, 4194311, false},
        {{"-root"}, {}, SaverModeRun, true, 0, false},
        {{"-root"}, "garbage", SaverModeRun, true, 0, false},
        // No argument with a host's window: the host's run; without one the dialog.
        {{}, "0x400007", SaverModeRun, true, 0x400007, false},
        {{}, "", SaverModeConfig, false, 0, false},
        {{}, "nonsense", SaverModeConfig, false, 0, false},
        // The original switches keep their meaning, with or without a host's variable.
        {{"/s"}, "0x400007", SaverModeRun, false, 0, false},
        {{"/c"}, "0x400007", SaverModeConfig, false, 0, false},
        {{"/p", "5"}, "0x400007", SaverModePreview, false, 0, false},
        {{"-r"}, {}, SaverModeConfig, false, 0, false},
        {{"-rooted"}, {}, SaverModeConfig, false, 0, false},
        {{"-window"}, {}, SaverModeConfig, false, 0, false},
    };
    for (const Case& c : cases) {
        std::string trace = c.variable ? "XSCREENSAVER_WINDOW=" + *c.variable + " " : "";
        for (const std::string& arg : c.args) {
            trace += "[" + arg + "]";
        }
        SCOPED_TRACE(trace);
        const SaverCommandLine parsed = ParseSaverCommandLine(
            c.args, c.variable ? std::optional<std::string_view>(*c.variable) : std::nullopt);
        EXPECT_EQ(parsed.mode, c.mode);
        EXPECT_EQ(parsed.inHost, c.inHost);
        EXPECT_EQ(parsed.hostWindow, c.hostWindow);
        EXPECT_EQ(!parsed.error.empty(), c.error) << parsed.error;
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

#include "platform/autostart.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "support/temphome.h"

#include <gtest/gtest.h>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;
using tolvar::test::TempHome;

constexpr const char* kRun = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST(SplitRunCommand, SplitsAsTheDesktopSplitsAnUnquotedCommand) {
    TempHome home;
    const std::string dir = home.Root() + "/Program Files";
    platform::MakeFolders(dir + "/Tolvar Ctrl");
    tolvar::test::WriteFile(dir + "/Tolvar Ctrl/TolvarCtrl", "");
    tolvar::test::WriteFile(dir + "/a", "");
    tolvar::test::WriteFile(dir + "/a b", "");
    struct Case {
        std::string command;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"\"/opt/x y/prog\" --startup", {"/opt/x y/prog", "--startup"}},
        {"\"/opt/x y/prog\"--startup", {"/opt/x y/prog", "--startup"}},
        {"\"/never closed --startup", {"/never closed --startup"}},
        {dir + "/Tolvar Ctrl/TolvarCtrl --startup", {dir + "/Tolvar Ctrl/TolvarCtrl", "--startup"}},
        {dir + "/Tolvar Ctrl/TolvarCtrl", {dir + "/Tolvar Ctrl/TolvarCtrl"}},
        // The longest prefix that names a file wins over a shorter one.
        {dir + "/a b c", {dir + "/a b", "c"}},
        {dir + "/a  c", {dir + "/a", "c"}},
        // No prefix names a file: the first word is the program.
        {"/no such/program --startup", {"/no", "such/program", "--startup"}},
        {"  /bin/x \t a   b  ", {"/bin/x", "a", "b"}},
        {dir, {home.Root() + "/Program", "Files"}}, // a folder is not a program
        {"", {}},
        {" \t ", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(platform::SplitRunCommand(c.command), c.args);
    }
}

TEST(DesktopExecValue, QuotesEveryArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string exec;
    };
    const Case cases[] = {
        {{"/opt/Tolvar Ctrl/TolvarCtrl", "--startup"},
         R"("/opt/Tolvar Ctrl/TolvarCtrl" "--startup")"},
        {{"/a\"b"}, R"("/a\\"b")"},
        {{"/a\\b"}, R"("/a\\\\b")"},
        {{"/$HOME/`x`"}, R"("/\\$HOME/\\`x\\`")"},
        {{"/100%/x", "%f"}, R"("/100%%/x" "%%f")"},
        {{"/a;b|c&d<e>f*g?h#i(j)k~l'm"}, R"("/a;b|c&d<e>f*g?h#i(j)k~l'm")"},
        {{"/x", "two\nlines\ttab"}, R"("/x" "two\nlines\ttab")"},
        {{"/x", ""}, R"("/x" "")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exec);
        EXPECT_EQ(platform::DesktopExecValue(c.args), c.exec);
    }
    EXPECT_THROW(platform::DesktopExecValue({std::string("/x\x01")}), std::invalid_argument);
}

TEST(AutostartEntry, FollowsTheRunValue) {
    TempHome home;
    const std::string entry = home.ConfigHome() + "/autostart/TolvarCtrl.desktop";
    EXPECT_EQ(platform::AutostartEntryPath("TolvarCtrl"), entry);
    auto run = RegistryKey::Open(Hive::LocalMachine, kRun, Access::ReadWrite);
    ASSERT_TRUE(run.has_value());

    run->WriteString("TolvarCtrl", "/opt/tolvar/TolvarCtrl --startup");
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(entry),
              "[Desktop Entry]\nType=Application\nName=TolvarCtrl\n"
              "Exec=\"/opt/tolvar/TolvarCtrl\" \"--startup\"\n");

    // Any case of the name is the same value; a new path replaces the entry.
    run->WriteString("tolvarctrl", "/usr/bin/TolvarCtrl --startup");
    EXPECT_NE(tolvar::test::ReadFileOrEmpty(entry).find("Exec=\"/usr/bin/TolvarCtrl\""),
              std::string::npos);

    EXPECT_TRUE(run->DeleteValue("TOLVARCTRL"));
    EXPECT_FALSE(platform::FileExists(entry));

    // Other values of the Run key make no entry; a number is no command.
    run->WriteString("Other", "/bin/other");
    run->WriteInteger("TolvarCtrl", 1);
    EXPECT_FALSE(platform::FileExists(entry));
    run->WriteString("TolvarCtrl", "/opt/tolvar/TolvarCtrl --startup");
    EXPECT_TRUE(platform::FileExists(entry));

    // Deleting the key (or a key above it) deletes the value, so the entry goes.
    EXPECT_TRUE(platform::DeleteRegistryKey(Hive::LocalMachine, "\\Software\\Microsoft"));
    EXPECT_FALSE(platform::FileExists(entry));

    // The user hive's Run key is not the one honoured here.
    RegistryKey::Open(Hive::CurrentUser, kRun, Access::ReadWrite, true)
        ->WriteString("TolvarCtrl", "/opt/tolvar/TolvarCtrl --startup");
    EXPECT_FALSE(platform::FileExists(entry));
}

TEST(AutostartEntry, AnEntryThatCannotBeWrittenLeavesTheValueWritten) {
    TempHome home;
    // A file where the autostart folder should be: the entry cannot be written.
    platform::MakeFolders(home.ConfigHome());
    tolvar::test::WriteFile(home.ConfigHome() + "/autostart", "");
    auto run = RegistryKey::Open(Hive::LocalMachine, kRun, Access::ReadWrite);
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(run->WriteString("TolvarCtrl", "/opt/tolvar/TolvarCtrl --startup"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("autostart"), std::string::npos);
    EXPECT_EQ(run->ReadString("TolvarCtrl"), "/opt/tolvar/TolvarCtrl --startup");
}

} // namespace

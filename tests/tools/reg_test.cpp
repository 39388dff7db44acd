// tolvar-reg as a user runs it: a real process over the hives of a temporary home.

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "support/process.h"
#include "support/temphome.h"

#include <gtest/gtest.h>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;
using tolvar::test::TempHome;

struct RegRun {
    int code;
    std::string output; // standard output and error together
};

RegRun Reg(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>&1", TOLVAR_REG_PATH};
    all.insert(all.end(), args.begin(), args.end());
    tolvar::test::Child child("/bin/sh", all, true);
    std::string output = child.ReadAllOutput();
    return {child.ExitCode().value_or(-100), output};
}

constexpr const char* kMain = "HKLM\\Software\\Brimwald\\Tolvar";

TEST(TolvarReg, AddsEveryTypeAndQueriesIt) {
    TempHome home;
    EXPECT_EQ(Reg({"add", std::string(kMain) + "\\System", "/v", "ShowDebug", "/d", "true"}).code,
              0);
    EXPECT_EQ(Reg({"add", kMain, "/v", "Hex", "/t", "REG_DWORD", "/d", "0x1F"}).code, 0);
    EXPECT_EQ(Reg({"add", kMain, "/v", "Dec", "/t", "reg_dword", "/d", "4294967295"}).code, 0);
    EXPECT_EQ(Reg({"add", kMain, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x"}).code, 0);
    EXPECT_EQ(Reg({"add", kMain, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).code, 0);
    EXPECT_EQ(
        Reg({"add", "HKEY_CURRENT_USER\\Software\\Brimwald\\Tolvar", "/v", "", "/d", "x"}).code, 0);

    const auto key =
        RegistryKey::Open(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar", Access::Read);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ReadInteger("Hex"), 31u);
    EXPECT_EQ(key->ReadInteger("Dec"), 0xFFFFFFFFu);
    EXPECT_EQ(key->TypeOf("Path"), platform::ValueType::ExpandString);
    EXPECT_EQ(key->ReadBinary("Bin"), (std::vector<std::uint8_t>{0, 0xFF, 0x10}));

    const RegRun all = Reg({"query", "hklm\\software\\brimwald\\tolvar"});
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(all.output, "HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar\n"
                          "    Hex    REG_DWORD    0x1f\n"
                          "    Dec    REG_DWORD    0xffffffff\n"
                          "    Path    REG_EXPAND_SZ    %HOME%\\x\n"
                          "    Bin    REG_BINARY    00FF10\n"
                          "\n"
                          "HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar\\System\n");
    const RegRun one = Reg({"query", std::string(kMain) + "\\System", "/V", "showdebug"});
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(one.output, "HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar\\System\n"
                          "    ShowDebug    REG_SZ    true\n");
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Brimwald\\Tolvar", "/v", ""}).output,
              "HKEY_CURRENT_USER\\Software\\Brimwald\\Tolvar\n    (Default)    REG_SZ    x\n");
}

TEST(TolvarReg, ReplacesAndDeletesOnlyWithForce) {
    TempHome home;
    ASSERT_EQ(Reg({"add", kMain, "/v", "N", "/t", "REG_DWORD", "/d", "1"}).code, 0);
    const RegRun again = Reg({"add", kMain, "/v", "n", "/t", "REG_DWORD", "/d", "2"});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.output.find("/f"), std::string::npos);
    EXPECT_EQ(Reg({"add", kMain, "/v", "n", "/t", "REG_DWORD", "/d", "2", "/f"}).code, 0);
    EXPECT_EQ(Reg({"query", kMain, "/v", "N"}).output.find("0x2") != std::string::npos, true);

    EXPECT_EQ(Reg({"delete", kMain, "/v", "N"}).code, 2);
    EXPECT_EQ(Reg({"delete", kMain, "/v", "N", "/f"}).code, 0);
    EXPECT_EQ(Reg({"delete", kMain, "/v", "N", "/f"}).code, 1);
    EXPECT_EQ(Reg({"add", std::string(kMain) + "\\Providers\\Deep", "/v", "a"}).code, 0);
    EXPECT_EQ(Reg({"delete", "HKLM\\Software\\Brimwald", "/f"}).code, 0);
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, "\\Software\\Brimwald"));
    EXPECT_EQ(Reg({"delete", "HKLM\\Software\\Brimwald", "/f"}).code, 1);
    EXPECT_EQ(Reg({"delete", "HKLM", "/f"}).code, 2);
}

TEST(TolvarReg, ExportAndImportRoundTrip) {
    TempHome home;
    ASSERT_EQ(Reg({"add", std::string(kMain) + "\\Providers", "/v", "Nordwind", "/d", "nw"}).code,
              0);
    ASSERT_EQ(
        Reg({"add", std::string(kMain) + "\\Providers", "/v", "Ahorn", "/d", "ah \"q\""}).code, 0);
    ASSERT_EQ(Reg({"add", std::string(kMain) + "\\System", "/v", "HideQuit", "/d", "true"}).code,
              0);
    ASSERT_EQ(Reg({"add", kMain, "/v", "Bin", "/t", "REG_BINARY", "/d", ""}).code, 0);
    const std::string file = home.Root() + "/tolvar.reg";
    ASSERT_EQ(Reg({"export", kMain, file}).code, 0);
    const std::string exported = tolvar::test::ReadFileOrEmpty(file);
    EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar\\Providers]\n"
                            "\"Nordwind\"=\"nw\"\n\"Ahorn\"=\"ah \\\"q\\\"\"\n"),
              std::string::npos)
        << exported;

    ASSERT_EQ(Reg({"delete", "HKLM\\Software\\Brimwald", "/f"}).code, 0);
    ASSERT_EQ(Reg({"import", file}).code, 0);
    const auto providers = RegistryKey::Open(
        Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\Providers", Access::Read);
    ASSERT_TRUE(providers.has_value());
    EXPECT_EQ(providers->ValueNames(), (std::vector<std::string>{"Nordwind", "Ahorn"}));
    EXPECT_EQ(providers->ReadString("Ahorn"), "ah \"q\"");
    ASSERT_EQ(Reg({"export", kMain, file + "2"}).code, 0);
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(file + "2"), exported);

    // One file may set both hives.
    tolvar::test::WriteFile(file,
                            "Tolvar Registry 1\n[HKEY_CURRENT_USER\\Software\\Brimwald\\Tolvar]\n"
                            "\"MessageInterval\"=dword:00000014\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar]\n"
                            "\"SysHostID\"=\"h\"\n");
    ASSERT_EQ(Reg({"import", file}).code, 0);
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar", Access::Read)
                  ->ReadInteger("MessageInterval"),
              20u);
}

TEST(TolvarReg, BadInputIsAClearErrorAndChangesNothing) {
    TempHome home;
    ASSERT_EQ(Reg({"add", kMain, "/v", "Kept", "/d", "k"}).code, 0);
    const std::string before = tolvar::test::ReadFileOrEmpty(platform::MachineHivePath());
    const std::string bad = home.Root() + "/bad.reg";
    tolvar::test::WriteFile(bad, "Tolvar Registry 1\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"1\"\n"
                                 "[HKEY_LOCAL_MACHINE\\Y]\n\"b\"=dword:xyz\n");
    const std::string otherHive = home.Root() + "/other.reg";
    tolvar::test::WriteFile(otherHive, "Tolvar Registry 1\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"1\"\n"
                                       "[HKEY_USERS\\Y]\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {{}, 2, "usage"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"query"}, 2, "KEY"},
        {{"query", "HKXX\\Software"}, 2, "HKLM or HKCU"},
        {{"query", "HKLM\\Software\\\\Brimwald"}, 2, "not a valid key path"},
        {{"query", "HKLM\\Nowhere"}, 1, "does not exist"},
        {{"query", kMain, "/v", "Missing"}, 1, "does not exist"},
        {{"query", kMain, "/x"}, 2, "unknown switch"},
        {{"add", kMain, "/d", "x"}, 2, "/v NAME"},
        {{"add", kMain, "/v"}, 2, "needs a value"},
        {{"add", kMain, "/v", "a", "/t", "REG_MULTI_SZ", "/d", "x"}, 2, "unknown type"},
        {{"add", kMain, "/v", "a", "/t", "REG_DWORD"}, 2, "/d NUMBER"},
        {{"add", kMain, "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, 2, "32-bit"},
        {{"add", kMain, "/v", "a", "/t", "REG_DWORD", "/d", "-1"}, 2, "32-bit"},
        {{"add", kMain, "/v", "a", "/t", "REG_DWORD", "/d", "0x"}, 2, "32-bit"},
        {{"add", kMain, "/v", "a", "/t", "REG_BINARY", "/d", "abc"}, 2, "two hexadecimal"},
        {{"add", kMain, "/v", "a", "/t", "REG_BINARY", "/d", "zz"}, 2, "hexadecimal"},
        {{"add", kMain, "/v", "two\nlines"}, 2, "control characters"},
        {{"export", kMain}, 2, "KEY and FILE"},
        {{"export", "HKLM\\Nowhere", home.Root() + "/x.reg"}, 1, "does not exist"},
        {{"import", home.Root() + "/missing.reg"}, 1, "no file"},
        {{"import", bad}, 1, "line 5"},
        {{"import", otherHive}, 1, "not a hive"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        const RegRun r = Reg(c.args);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(platform::MachineHivePath()), before);
}

TEST(TolvarReg, RefusesAHiveItCannotParse) {
    TempHome home;
    ASSERT_EQ(Reg({"add", kMain, "/v", "Kept", "/d", "k"}).code, 0);
    tolvar::test::WriteFile(platform::MachineHivePath(), "not a hive\n");
    const RegRun r = Reg({"add", kMain, "/v", "New", "/d", "n"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.output.find("cannot be parsed"), std::string::npos) << r.output;
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(platform::MachineHivePath()), "not a hive\n");
}

} // namespace

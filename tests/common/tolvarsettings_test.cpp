#include "common/tolvarsettings.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "support/elffile.h"
#include "support/temphome.h"

#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;
using platform::ValueType;

constexpr const char* kMain = "\\Software\\Brimwald\\Tolvar";
constexpr const char* kRun = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// A value as a test stores it in a hive.
struct Stored {
    ValueType type;
    std::uint32_t number = 0;
    std::string text;
};
Stored Dword(std::uint32_t n) {
    return {ValueType::Dword, n, {}};
}
Stored Sz(std::string s) {
    return {ValueType::String, 0, std::move(s)};
}
Stored ExpandSz(std::string s) {
    return {ValueType::ExpandString, 0, std::move(s)};
}
Stored Bin() {
    return {ValueType::Binary, 0, {}};
}

RegistryKey Key(Hive hive, const std::string& path) {
    auto key = RegistryKey::Open(hive, path, Access::ReadWrite, true);
    if (!key) {
        throw std::runtime_error("cannot open " + path);
    }
    return *key;
}

void Put(Hive hive, const std::string& path, const std::string& name, const Stored& v) {
    const RegistryKey key = Key(hive, path);
    switch (v.type) {
    case ValueType::Dword:
        key.WriteInteger(name, v.number);
        break;
    case ValueType::String:
        key.WriteString(name, v.text);
        break;
    case ValueType::ExpandString:
        key.WriteExpandString(name, v.text);
        break;
    case ValueType::Binary:
        key.WriteBinary(name, {1, 2, 3});
        break;
    }
}

std::optional<ValueType> TypeIn(Hive hive, const std::string& path, const std::string& name) {
    auto key = RegistryKey::Open(hive, path, Access::Read);
    return key ? key->TypeOf(name) : std::nullopt;
}

class SettingsTest : public testing::Test {
protected:
    tolvar::test::TempHome home;
    TolvarSettings settings{"Brimwald", "Tolvar"};
};

// Each getter of the table, with its value name and its default as text.
struct Getter {
    const char* name;
    std::function<std::string(const TolvarSettings&)> get;
    std::string defaultText;
};

template <typename T> std::string Text(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_same_v<T, int>) {
        return std::to_string(v);
    } else {
        return v;
    }
}

#define GETTER(Name, Default)                                                                      \
    Getter {                                                                                       \
#Name, [](const TolvarSettings& s) { return Text(s.Get##Name()); }, Default                \
    }

const std::vector<Getter> kGetters = {
    GETTER(MessageInterval, "15"),
    GETTER(TickerSpeed, "0"),
    GETTER(SyncInterval, "10"),
    Getter{"TolvarCtrl", [](const TolvarSettings& s) { return s.GetBaseappPath(); }, ""},
    GETTER(ActLANTolvar, "false"),
    GETTER(ActLANSys, "false"),
    GETTER(ActLANAuto, "true"),
    GETTER(ActLANAutoInterval, "10"),
    GETTER(ActLANThumbs, "true"),
    GETTER(ActLANTimeout, "25"),
    GETTER(ActLANAlwaysOn, "false"),
    GETTER(UseDUN, "true"),
    GETTER(ActDUNTolvar, "false"),
    GETTER(ActDUNSys, "false"),
    GETTER(ActDUNAuto, "false"),
    GETTER(ActDUNAutoInterval, "20"),
    GETTER(ActDUNThumbs, "true"),
    GETTER(ActDUNMsgBox, "0"),
    GETTER(ActDUNTimeout, "45"),
    GETTER(ActDUNAskOnlyIfSSActive, "false"),
    GETTER(SysAutostartBaseapp, "true"),
    GETTER(SysAutoregisterSaver, "true"),
    GETTER(CurrentProvider, ""),
    GETTER(SysUserID, ""),
    GETTER(SysHostID, ""),
};

const Getter& FindGetter(const std::string& name) {
    for (const auto& g : kGetters) {
        if (name == g.name) {
            return g;
        }
    }
    throw std::logic_error("no getter " + name);
}

TEST_F(SettingsTest, EmptyRegistryGivesEveryDefaultAndCreatesTheUserKey) {
    ASSERT_FALSE(platform::RegistryKeyExists(Hive::CurrentUser, kMain));
    for (const auto& g : kGetters) {
        EXPECT_EQ(g.get(settings), g.defaultText) << g.name;
    }
    EXPECT_FALSE(settings.GetTickerDrawOnScreenDC());
    EXPECT_FALSE(settings.GetShowTNAIcon());
    EXPECT_FALSE(settings.GetShowDebug());
    EXPECT_FALSE(settings.GetHideQuit());
    EXPECT_TRUE(settings.GetProviderNames().empty());
    EXPECT_TRUE(settings.GetProviderValues().empty());
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::CurrentUser, kMain));
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, kMain));
}

TEST_F(SettingsTest, EveryGetterReadsItsOwnValueName) {
    // A machine-wide value of each name, unlike its default, must reach its getter.
    for (const auto& g : kGetters) {
        const bool isBool = g.defaultText == "true" || g.defaultText == "false";
        const Stored v = isBool                  ? Dword(g.defaultText == "true" ? 0 : 1)
                         : g.defaultText.empty() ? Sz(std::string("x-") + g.name)
                                                 : Dword(77);
        Put(Hive::LocalMachine, kMain, g.name, v);
        const std::string expected = v.type == ValueType::String ? v.text
                                     : isBool ? (g.defaultText == "true" ? "false" : "true")
                                              : "77";
        EXPECT_EQ(g.get(settings), expected) << g.name;
    }
}

// The read rule for values of each type: machine value first, the user's overrides; a
// wrong type gives the default in the machine hive and keeps the result in the user's.
struct ReadCase {
    const char* what;
    const char* getter;
    std::optional<Stored> machine;
    std::optional<Stored> user;
    std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.what;
}

class ReadRuleTest : public SettingsTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadRuleTest, MachineThenUser) {
    const ReadCase& c = GetParam();
    if (c.machine) {
        Put(Hive::LocalMachine, kMain, c.getter, *c.machine);
    }
    if (c.user) {
        Put(Hive::CurrentUser, kMain, c.getter, *c.user);
    }
    EXPECT_EQ(FindGetter(c.getter).get(settings), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadRuleTest,
    testing::Values(
        ReadCase{"int_user_over_machine", "MessageInterval", Dword(30), Dword(20), "20"},
        ReadCase{"int_machine_only", "MessageInterval", Dword(30), {}, "30"},
        ReadCase{"int_user_only", "MessageInterval", {}, Dword(20), "20"},
        ReadCase{"int_machine_string_gives_default", "MessageInterval", Sz("30"), {}, "15"},
        ReadCase{"int_machine_binary_gives_default", "MessageInterval", Bin(), {}, "15"},
        ReadCase{"int_user_string_keeps_machine", "MessageInterval", Dword(30), Sz("20"), "30"},
        ReadCase{"int_user_binary_keeps_machine", "MessageInterval", Dword(30), Bin(), "30"},
        ReadCase{"int_both_wrong", "MessageInterval", Sz("30"), Sz("20"), "15"},
        ReadCase{"int_machine_wrong_user_right", "MessageInterval", Sz("30"), Dword(20), "20"},
        ReadCase{"int_is_32_bit_signed", "TickerSpeed", {}, Dword(0xFFFFFFFF), "-1"},
        ReadCase{"bool_nonzero_is_true", "ActLANTolvar", {}, Dword(7), "true"},
        ReadCase{"bool_user_zero_over_machine", "ActLANAuto", Dword(1), Dword(0), "false"},
        ReadCase{"bool_machine_zero", "ActLANAuto", Dword(0), {}, "false"},
        ReadCase{"bool_machine_string_gives_default", "ActLANAuto", Sz("0"), {}, "true"},
        ReadCase{"bool_user_string_keeps_machine", "UseDUN", Dword(0), Sz("1"), "false"},
        ReadCase{"string_user_over_machine", "CurrentProvider", Sz("A"), Sz("B"), "B"},
        ReadCase{"string_machine_only", "CurrentProvider", Sz("A"), {}, "A"},
        ReadCase{"string_expandable_counts", "CurrentProvider", ExpandSz("%X%"), {}, "%X%"},
        ReadCase{"string_user_empty_wins", "CurrentProvider", Sz("A"), Sz(""), ""},
        ReadCase{"string_machine_dword_gives_default", "SysUserID", Dword(5), {}, ""},
        ReadCase{"string_user_dword_keeps_machine", "TolvarCtrl", Sz("/a/b"), Dword(5), "/a/b"}),
    [](const testing::TestParamInfo<ReadCase>& param) { return std::string(param.param.what); });

TEST_F(SettingsTest, NamesMatchInAnyLetterCase) {
    Put(Hive::LocalMachine, "\\SOFTWARE\\brimwald\\TOLVAR", "messageinterval", Dword(30));
    Put(Hive::CurrentUser, "\\software\\BRIMWALD\\tolvar", "ACTLANTIMEOUT", Dword(99));
    Put(Hive::LocalMachine, "\\software\\brimwald\\tolvar\\PROVIDERS", "Alpha", Sz("alpha"));
    Put(Hive::LocalMachine, "\\software\\brimwald\\tolvar\\system", "showtnaicon", Sz("true"));
    EXPECT_EQ(settings.GetMessageInterval(), 30);
    EXPECT_EQ(settings.GetActLANTimeout(), 99);
    EXPECT_EQ(settings.GetProviderNames(), std::vector<std::string>{"Alpha"});
    EXPECT_TRUE(settings.GetShowTNAIcon());
    // A write to an existing name in another case replaces that value.
    settings.SetActLANTimeout(7);
    EXPECT_EQ(settings.GetActLANTimeout(), 7);
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ValueNames(),
              std::vector<std::string>{"ACTLANTIMEOUT"});
}

// Every setter writes its own name into the user's hive with the value's type, returns
// what it wrote, and leaves the machine hive alone.
struct Setter {
    const char* name;
    std::function<std::string(const TolvarSettings&)> set;
    ValueType type;
    std::string written;
};

#define SETTER(Name, V, Type, Written)                                                             \
    Setter {                                                                                       \
#Name, [](const TolvarSettings& s) { return Text(s.Set##Name(V)); }, Type, Written         \
    }

TEST_F(SettingsTest, SettersWriteTheUserHive) {
    const auto dword = ValueType::Dword;
    const std::vector<Setter> setters = {
        SETTER(MessageInterval, 33, dword, "33"),
        SETTER(TickerSpeed, 2, dword, "2"),
        SETTER(SyncInterval, 11, dword, "11"),
        Setter{"TolvarCtrl", [](const TolvarSettings& s) { return s.SetBaseappPath("/p/c"); },
               ValueType::String, "/p/c"},
        SETTER(ActLANTolvar, true, dword, "true"),
        SETTER(ActLANSys, true, dword, "true"),
        SETTER(ActLANAuto, false, dword, "false"),
        SETTER(ActLANAutoInterval, 3, dword, "3"),
        SETTER(ActLANThumbs, false, dword, "false"),
        SETTER(ActLANTimeout, 6, dword, "6"),
        SETTER(ActLANAlwaysOn, true, dword, "true"),
        SETTER(UseDUN, false, dword, "false"),
        SETTER(ActDUNTolvar, true, dword, "true"),
        SETTER(ActDUNSys, true, dword, "true"),
        SETTER(ActDUNAuto, true, dword, "true"),
        SETTER(ActDUNAutoInterval, 4, dword, "4"),
        SETTER(ActDUNThumbs, false, dword, "false"),
        SETTER(ActDUNMsgBox, 3, dword, "3"),
        SETTER(ActDUNTimeout, 170, dword, "170"),
        SETTER(ActDUNAskOnlyIfSSActive, true, dword, "true"),
        SETTER(SysAutostartBaseapp, false, dword, "false"),
        SETTER(SysAutoregisterSaver, false, dword, "false"),
        SETTER(CurrentProvider, "prov", ValueType::String, "prov"),
        SETTER(SysUserID, "{USER}", ValueType::String, "{USER}"),
    };
    for (const auto& s : setters) {
        EXPECT_EQ(s.set(settings), s.written) << s.name;
        EXPECT_EQ(TypeIn(Hive::CurrentUser, kMain, s.name), s.type) << s.name;
        EXPECT_EQ(FindGetter(s.name).get(settings), s.written) << s.name;
    }
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ValueNames().size(),
              setters.size());
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, kMain));
    // Booleans are stored as 1 and 0.
    settings.SetActLANTolvar(true);
    settings.SetUseDUN(false);
    auto user = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read);
    EXPECT_EQ(user->ReadInteger("ActLANTolvar"), 1u);
    EXPECT_EQ(user->ReadInteger("UseDUN"), 0u);
}

TEST_F(SettingsTest, SysHostIDLivesInTheMachineHiveOnly) {
    Put(Hive::CurrentUser, kMain, "SysHostID", Sz("{FROM-USER}"));
    EXPECT_EQ(settings.GetSysHostID(), "");
    EXPECT_EQ(settings.SetSysHostID("{HOST}"), "{HOST}");
    EXPECT_EQ(settings.GetSysHostID(), "{HOST}");
    EXPECT_EQ(TypeIn(Hive::LocalMachine, kMain, "SysHostID"), ValueType::String);
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ReadString("SysHostID"),
              "{FROM-USER}");
    Put(Hive::LocalMachine, kMain, "SysHostID", Dword(1));
    EXPECT_EQ(settings.GetSysHostID(), "");
}

TEST_F(SettingsTest, WritesThatCannotBeMadeAreDroppedSilently) {
    settings.SetMessageInterval(20);
    // Root may write anywhere, so put a file where the user hive's folder belongs.
    const std::string hiveFolder = platform::ParentFolder(platform::UserHivePath());
    tolvar::test::RemoveTree(hiveFolder);
    tolvar::test::WriteFile(hiveFolder, "not a folder");
    EXPECT_EQ(settings.SetMessageInterval(44), 44);
    EXPECT_EQ(settings.GetMessageInterval(), 15);
}

TEST_F(SettingsTest, AUserHiveThatCannotBeWrittenStillGivesItsValues) {
    Put(Hive::LocalMachine, kMain, "MessageInterval", Dword(30));
    settings.SetMessageInterval(20);
    settings.SetCurrentProvider("mine");
    // The hive stays readable for the other user, who may not write it or its folder.
    const std::string hiveFolder = platform::ParentFolder(platform::UserHivePath());
    for (const std::string& f :
         {home.Root(), home.ConfigHome(), hiveFolder, home.DataHome(), platform::SystemFolder()}) {
        ASSERT_EQ(::chmod(f.c_str(), 0755), 0) << f;
    }
    ASSERT_EQ(::chmod(platform::UserHivePath().c_str(), 0644), 0);
    const std::string before = tolvar::test::ReadFileOrEmpty(platform::UserHivePath());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        const TolvarSettings user("Brimwald", "Tolvar");
        if (user.GetMessageInterval() != 20 || user.GetCurrentProvider() != "mine") {
            ::_exit(1); // the user's own values must win over the machine's
        }
        if (user.SetMessageInterval(44) != 44) {
            ::_exit(2);
        }
        ::_exit(user.GetMessageInterval() == 20 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(platform::UserHivePath()), before);
}

// The System switches: on only for exactly "true"; ShowTNAIcon from the machine hive only.
struct SwitchCase {
    const char* what;
    std::optional<Stored> machine;
    std::optional<Stored> user;
    bool overridable; // expected for TickerDrawOnScreenDC, ShowDebug, HideQuit
    bool machineOnly; // expected for ShowTNAIcon
};

void PrintTo(const SwitchCase& c, std::ostream* out) {
    *out << c.what;
}

class SwitchTest : public SettingsTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchTest, ExactTrueRule) {
    const SwitchCase& c = GetParam();
    const std::string system = std::string(kMain) + "\\System";
    const std::pair<const char*, bool (TolvarSettings::*)() const> switches[] = {
        {"TickerDrawOnScreenDC", &TolvarSettings::GetTickerDrawOnScreenDC},
        {"ShowTNAIcon", &TolvarSettings::GetShowTNAIcon},
        {"ShowDebug", &TolvarSettings::GetShowDebug},
        {"HideQuit", &TolvarSettings::GetHideQuit},
    };
    for (const auto& [name, get] : switches) {
        if (c.machine) {
            Put(Hive::LocalMachine, system, name, *c.machine);
        }
        if (c.user) {
            Put(Hive::CurrentUser, system, name, *c.user);
        }
    }
    for (const auto& [name, get] : switches) {
        const bool machineOnly = std::string(name) == "ShowTNAIcon";
        EXPECT_EQ((settings.*get)(), machineOnly ? c.machineOnly : c.overridable) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SwitchTest,
    testing::Values(SwitchCase{"machine_true", Sz("true"), {}, true, true},
                    SwitchCase{"user_true_only", {}, Sz("true"), true, false},
                    SwitchCase{"machine_true_user_false", Sz("true"), Sz("false"), false, true},
                    SwitchCase{"machine_false_user_true", Sz("false"), Sz("true"), true, false},
                    SwitchCase{"true_and_blank", Sz("true "), {}, false, false},
                    SwitchCase{"capital_True", Sz("True"), Sz("TRUE"), false, false},
                    SwitchCase{"one", Sz("1"), Sz("1"), false, false},
                    SwitchCase{"dword_one", Dword(1), {}, false, false},
                    SwitchCase{"expandable_true", ExpandSz("true"), {}, true, true},
                    SwitchCase{"user_wrong_type_keeps_machine", Sz("true"), Dword(0), true, true},
                    SwitchCase{"user_empty_overrides", Sz("true"), Sz(""), false, true}),
    [](const testing::TestParamInfo<SwitchCase>& param) { return std::string(param.param.what); });

TEST_F(SettingsTest, SwitchesNeverCreateKeys) {
    settings.GetShowDebug();
    settings.GetTickerDrawOnScreenDC();
    const std::string system = std::string(kMain) + "\\System";
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::CurrentUser, system));
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, system));
}

TEST_F(SettingsTest, ProvidersInEnumerationOrder) {
    const std::string providers = std::string(kMain) + "\\Providers";
    settings.SetProviderValue("Zeta", "zeta-folder");
    settings.SetProviderValue("alpha", "alpha-folder");
    Put(Hive::LocalMachine, providers, "Mid", ExpandSz("mid-folder"));
    settings.SetProviderValue("ZETA", "zeta-new"); // replaced in its place
    EXPECT_EQ(settings.GetProviderNames(), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
    EXPECT_EQ(settings.GetProviderValues(),
              (std::vector<std::string>{"zeta-new", "alpha-folder", "mid-folder"}));
    EXPECT_EQ(TypeIn(Hive::LocalMachine, providers, "alpha"), ValueType::String);
    // Providers of the user's hive do not count.
    Put(Hive::CurrentUser, providers, "Other", Sz("other"));
    EXPECT_EQ(settings.GetProviderNames().size(), 3u);
}

TEST_F(SettingsTest, ANonStringProviderValueIsTheRegistryReadError) {
    settings.SetProviderValue("Good", "good");
    Put(Hive::LocalMachine, std::string(kMain) + "\\Providers", "Bad", Dword(1));
    EXPECT_EQ(settings.GetProviderNames(), (std::vector<std::string>{"Good", "Bad"}));
    EXPECT_THROW(settings.GetProviderValues(), platform::RegistryTypeError);
}

TEST_F(SettingsTest, AutostartEntry) {
    settings.RegisterBaseappAutostart("/opt/tolvar/bin/TolvarCtrl");
    auto run = RegistryKey::Open(Hive::LocalMachine, kRun, Access::Read);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->ReadString("TolvarCtrl"), "/opt/tolvar/bin/TolvarCtrl --startup");
    EXPECT_EQ(run->TypeOf("TolvarCtrl"), ValueType::String);
    settings.RegisterBaseappAutostart("");
    EXPECT_EQ(run->ReadString("TolvarCtrl"), "/opt/tolvar/bin/TolvarCtrl --startup");
    settings.UnregisterBaseappAutostart();
    EXPECT_FALSE(run->ValueExists("TolvarCtrl"));
    settings.UnregisterBaseappAutostart(); // nothing to delete: no error
    // The Run key is opened, never created.
    ASSERT_TRUE(platform::DeleteRegistryKey(Hive::LocalMachine, kRun));
    settings.RegisterBaseappAutostart("/opt/tolvar/bin/TolvarCtrl");
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, kRun));
}

TEST_F(SettingsTest, AutostartWithAnEmptyPathTouchesNoHive) {
    settings.RegisterBaseappAutostart("");
    EXPECT_FALSE(platform::FileExists(platform::MachineHivePath()));
    EXPECT_FALSE(platform::FileExists(platform::UserHivePath()));
}

TEST_F(SettingsTest, BaseappVersionText) {
    using tolvar::test::ElfNote;
    using tolvar::test::MakeElfFile;
    tolvar::test::TempFolder dir;
    struct Case {
        const char* file;
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"v1", MakeElfFile({ElfNote{"Tolvar", 1, {0x00010000, 0x0006005F}}}), "1.0.6.95"},
        {"v2", MakeElfFile({ElfNote{"Tolvar", 1, {0x00010002, 0x012C0004}}}), "1.2.44.4"},
        {"v3", MakeElfFile({ElfNote{"Tolvar", 1, {0xFFFF0100, 0x01FF0200}}}), "255.0.255.0"},
        {"plain", MakeElfFile({}), ""},
        {"text", "no program", ""},
    };
    for (const auto& c : cases) {
        const std::string path = dir.Path() + "/" + c.file;
        tolvar::test::WriteFile(path, c.bytes);
        settings.SetBaseappPath(path);
        EXPECT_EQ(settings.GetBaseappVersion(), c.expected) << c.file;
    }
    settings.SetBaseappPath(dir.Path() + "/missing");
    EXPECT_EQ(settings.GetBaseappVersion(), "");
    settings.SetBaseappPath("");
    EXPECT_EQ(settings.GetBaseappVersion(), "");
    // A program of this build.
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    settings.SetBaseappPath(self);
    EXPECT_FALSE(settings.GetBaseappVersion().empty());
}

class WriteRightsTest : public SettingsTest {
protected:
    void SetUp() override {
        program = folder.Path() + "/bin";
        ASSERT_TRUE(platform::MakeFolders(program));
        settings.SetBaseappPath(program + "/TolvarCtrl");
    }
    bool NoTrace() const {
        auto key = RegistryKey::Open(Hive::LocalMachine, kMain, Access::Read);
        return (!key || !key->ValueExists("CheckWriteRights")) &&
               !platform::FileExists(program + "/tmp/CheckWriteRights");
    }
    tolvar::test::TempFolder folder;
    std::string program;
};

TEST_F(WriteRightsTest, PassesWithRightsAndLeavesNoTrace) {
    EXPECT_TRUE(settings.CheckWriteRights());
    EXPECT_TRUE(platform::FolderExists(program + "/tmp"));
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::LocalMachine, kMain));
    EXPECT_TRUE(NoTrace());
    // A path with "\" before the program name counts the same.
    settings.SetBaseappPath(program + "\\TolvarCtrl");
    EXPECT_TRUE(settings.CheckWriteRights());
}

TEST_F(WriteRightsTest, FailsWhenAStepFails) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"no folder in the path", [&] { settings.SetBaseappPath("TolvarCtrl"); }},
        {"no path", [&] { settings.SetBaseappPath(""); }},
        {"program folder missing",
         [&] { settings.SetBaseappPath(folder.Path() + "/gone/TolvarCtrl"); }},
        {"tmp is a file", [&] { tolvar::test::WriteFile(program + "/tmp", ""); }},
        {"the test file is a folder",
         [&] { platform::MakeFolders(program + "/tmp/CheckWriteRights"); }},
    };
    for (const auto& c : cases) {
        settings.SetBaseappPath(program + "/TolvarCtrl");
        tolvar::test::RemoveTree(program + "/tmp");
        c.arrange();
        EXPECT_FALSE(settings.CheckWriteRights()) << c.what;
        EXPECT_FALSE(platform::FolderExists(folder.Path() + "/gone")) << c.what;
    }
}

TEST_F(WriteRightsTest, FailsForAUserWithoutRightsAndWritesNothing) {
    // The machine hive exists, owned by root; the program folder is open to everyone, so
    // only the registry step can stop the test.
    // The path stands in the machine hive too, in case the user's hive is private.
    Put(Hive::LocalMachine, kMain, "TolvarCtrl", Sz(program + "/TolvarCtrl"));
    ASSERT_TRUE(platform::FileExists(platform::MachineHivePath()));
    // Everyone may read the machine hive, as on a real machine; the other user has a
    // config folder of its own.
    for (const std::string& f :
         {home.Root(), home.DataHome(), platform::SystemFolder(), folder.Path()}) {
        ASSERT_EQ(::chmod(f.c_str(), 0755), 0) << f;
    }
    ASSERT_EQ(::chmod(program.c_str(), 0777), 0);
    const std::string otherConfig = folder.Path() + "/other-config";
    ASSERT_TRUE(platform::MakeFolders(otherConfig));
    ASSERT_EQ(::chown(otherConfig.c_str(), 65534, 65534), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", otherConfig.c_str(), 1);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        const TolvarSettings user("Brimwald", "Tolvar");
        if (user.GetBaseappPath() != program + "/TolvarCtrl") {
            ::_exit(2); // this user cannot even read the settings: the test shows nothing
        }
        ::_exit(user.CheckWriteRights() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(platform::FolderExists(program + "/tmp"));
    EXPECT_TRUE(NoTrace());
}

} // namespace

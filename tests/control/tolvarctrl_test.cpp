#include "common/tolvarsettings.h"
#include "control/tolvarctrl.h"
#include "platform/bus.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/namedlock.h"
#include "platform/registry.h"
#include "platform/screensaver.h"
#include "platform/ui/messagebox.h"
#include "support/process.h"
#include "support/recordingsaver.h"
#include "support/temphome.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using tolvar::test::MakeRecordingSaver;
using tolvar::test::WaitForSaverArgs;

using namespace std::chrono_literals;
using platform::Access;
using platform::Hive;
using platform::RegistryKey;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;

constexpr const char* kSettingsKey = "\\Software\\Brimwald\\Tolvar";
constexpr const char* kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kQueueKey = "\\Software\\Brimwald\\Tolvar\\IPC";

// ---- reading the switch ----

// Which flag a switch sets, by name; "" for none.
std::string FlagOf(const CtrlSwitches& s) {
    std::string names;
    const std::pair<const char*, bool> flags[] = {
        {"quit", s.quit},         {"config", s.config},       {"activate", s.activateSaver},
        {"sync", s.sync},         {"uninstall", s.uninstall}, {"install", s.install},
        {"startup", s.startup},   {"profile", s.profile},     {"version", s.version},
        {"splash", s.showSplash}, {"rights", s.writeRights},
    };
    for (const auto& [name, set] : flags) {
        if (set) {
            names += names.empty() ? name : std::string(",") + name;
        }
    }
    return names;
}

TEST(ReadCtrlSwitches, OneSwitchFromTheFirstArgument) {
    struct Case {
        std::vector<std::string> args;
        const char* flag;
    };
    const Case cases[] = {
        // Long names after a double prefix, compared whole; any mix of the two prefixes.
        {{"--quit"}, "quit"},
        {{"//quit"}, "quit"},
        {{"-/quit"}, "quit"},
        {{"/-quit"}, "quit"},
        {{"--config"}, "config"},
        {{"--configure"}, "config"},
        {{"--activatesaver"}, "activate"},
        {{"--activate-saver"}, "activate"},
        {{"--sync"}, "sync"},
        {{"--synchronize"}, "sync"},
        {{"--uninst"}, "uninstall"},
        {{"--uninstall"}, "uninstall"},
        {{"--inst"}, "install"},
        {{"--install"}, "install"},
        {{"--profile"}, "profile"},
        {{"--useprofile"}, "profile"},
        {{"--use-profile"}, "profile"},
        {{"--version"}, "version"},
        {{"--showversion"}, "version"},
        {{"--show-version"}, "version"},
        {{"--startup"}, "startup"},
        {{"--showsplash"}, "splash"},
        {{"--show-splash"}, "splash"},
        {{"--SYNC"}, "sync"}, // lower-cased first
        {{"--Show-Splash"}, "splash"},
        // A long name that is not whole, or not known, sets nothing.
        {{"--syn"}, ""},
        {{"--sync2"}, ""},
        {{"--q"}, ""},
        {{"--t"}, ""},
        {{"---sync"}, ""},
        {{"--"}, ""},
        {{"--bogus"}, ""},
        // One prefix or none: the first letter only.
        {{"/sync"}, "activate"},
        {{"-sync"}, "activate"},
        {{"sync"}, "activate"},
        {{"-s"}, "activate"},
        {{"-startup"}, "activate"},
        {{"/c"}, "config"},
        {{"-config"}, "config"},
        {{"config"}, "config"},
        {{"-y"}, "sync"},
        {{"-Y"}, "sync"},
        {{"Yes"}, "sync"},
        {{"yx"}, "sync"},
        {{"-q"}, "quit"},
        {{"-u"}, "uninstall"},
        {{"-i"}, "install"},
        {{"-p"}, "profile"},
        {{"-v"}, "version"},
        {{"-l"}, "splash"},
        {{"-t"}, "rights"},
        {{"-x"}, ""},
        {{"-1"}, ""},
        // Shorter than two characters: ignored.
        {{"y"}, ""},
        {{"s"}, ""},
        {{"-"}, ""},
        {{""}, ""},
        {{}, ""},
        // Only the first argument chooses; the second is a provider key.
        {{"x", "--sync"}, ""},
        {{"--config", "--quit"}, "config"},
        {{"-c", "provider"}, "config"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        EXPECT_EQ(FlagOf(ReadCtrlSwitches(c.args)), c.flag);
    }
}

TEST(ChooseCtrlCommand, FirstCommandInTheDecisionOrderActs) {
    auto with = [](std::initializer_list<bool CtrlSwitches::*> flags) {
        CtrlSwitches s;
        for (auto flag : flags) {
            s.*flag = true;
        }
        return s;
    };
    using S = CtrlSwitches;
    struct Case {
        CtrlSwitches switches;
        CtrlCommand command;
    };
    const Case cases[] = {
        {with({&S::config, &S::activateSaver}), CtrlCommand::Config},
        {with({&S::activateSaver, &S::sync}), CtrlCommand::ActivateSaver},
        {with({&S::sync, &S::quit}), CtrlCommand::Sync},
        {with({&S::quit, &S::install}), CtrlCommand::Quit},
        {with({&S::install, &S::uninstall}), CtrlCommand::Install},
        {with({&S::uninstall, &S::profile}), CtrlCommand::Uninstall},
        {with({&S::profile, &S::version}), CtrlCommand::Profile},
        {with({&S::version, &S::writeRights}), CtrlCommand::Version},
        {with({&S::writeRights, &S::startup}), CtrlCommand::WriteRights},
        {with({&S::startup, &S::showSplash}), CtrlCommand::Startup},
        {with({&S::showSplash}), CtrlCommand::NormalStart},
        {with({}), CtrlCommand::NormalStart},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ChooseCtrlCommand(cases[i].switches), cases[i].command);
    }
}

TEST(ProviderKey, OnlyPlainFolderNamesAreSafe) {
    struct Case {
        std::string key;
        bool safe;
    };
    const Case cases[] = {
        {"brimwald", true}, {"Provider 2", true}, {"a.b", true},   {"", false},
        {"..", false},      {".", true},          {"a..b", false}, {"../x", false},
        {"a/b", false},     {"a\\b", false},      {"/abs", false}, {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(IsSafeProviderKey(c.key), c.safe);
    }
    EXPECT_EQ(ProviderBatchPath("brimwald"), "vorlk/brimwald/copylcache.bat");
}

// ---- runs of the program's logic in this process ----

std::string ReadValue(Hive hive, const std::string& key, const std::string& name) {
    try {
        if (auto k = RegistryKey::Open(hive, key, Access::Read)) {
            if (k->ValueExists(name)) {
                return k->ReadString(name);
            }
        }
    } catch (const std::runtime_error&) {
    }
    return "(none)";
}

void WriteValue(Hive hive, const std::string& key, const std::string& name,
                const std::string& value) {
    auto k = RegistryKey::Open(hive, key, Access::ReadWrite, true);
    ASSERT_TRUE(k);
    k->WriteString(name, value);
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" with upper-case hexadecimal digits.
bool IsBracelessGuid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// Four numbers joined by dots.
bool IsVersionText(const std::string& text) {
    int dots = 0;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit) {
                return false;
            }
            ++dots;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return dots == 3 && digit;
}

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The build's own control program and the saver file the build puts beside it.
constexpr const char* kRealCtrl = TOLVAR_CTRL_PATH;
std::string RealSaverFile() {
    return SaverFileBeside(kRealCtrl);
}

// Runs the build's control program in the working folder; its exit code as a byte.
int RunReal(const std::vector<std::string>& args) {
    Child run(kRealCtrl, args);
    return run.ExitCode(60s).value_or(-100);
}

// Each test gets its own home and a working folder, and reads the message boxes instead
// of showing them.
class CtrlRun : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = home_.Root() + "/work";
        platform::MakeFolders(work_);
        char buffer[4096];
        ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
        oldFolder_ = buffer;
        ASSERT_EQ(::chdir(work_.c_str()), 0);
        platform::SetMessageBoxHandler(
            [this](const platform::MessageBoxRequest& request) { boxes_.push_back(request); });
    }
    void TearDown() override {
        platform::SetMessageBoxHandler({});
        EXPECT_EQ(::chdir(oldFolder_.c_str()), 0);
    }

    int Run(const std::vector<std::string>& args) {
        claims_ = 0;
        runs_ = 0;
        ResidentStart start;
        start.claim = [this] {
            ++claims_;
            return claimSucceeds_;
        };
        start.run = [this] {
            ++runs_;
            return 0;
        };
        return RunTolvarCtrl(args, start);
    }

    TolvarSettings Settings() const { return TolvarSettings("Brimwald", "Tolvar"); }

    TempHome home_;
    std::string work_;
    std::string oldFolder_;
    std::vector<platform::MessageBoxRequest> boxes_;
    bool claimSucceeds_ = true;
    int claims_ = 0;
    int runs_ = 0;
};

TEST_F(CtrlRun, EachCommandEndsOrGoesOnToTheNormalStart) {
    struct Case {
        std::vector<std::string> args;
        bool claimSucceeds;
        int exitCode;
        bool claimed;
        bool ran;
    };
    const Case cases[] = {
        {{}, true, 0, true, true},
        {{}, false, 4, true, false},
        {{"y"}, true, 0, true, true},       // too short: nothing recognised
        {{"--bogus"}, true, 0, true, true}, // unknown long name
        {{"-l"}, true, 0, true, true},      // the splash is the main form's business
        {{"--startup"}, false, 4, true, false},
        {{"-s"}, false, 4, true, false}, // activate goes on to the normal start
        {{"-s"}, true, 0, true, true},
        {{"--quit"}, false, 0, false, false}, // commands never claim the guard
        {{"--sync"}, false, 0, false, false},
        {{"-c"}, false, 0, false, false},
        {{"-u"}, false, 0, false, false},
        {{"-p"}, false, 0, false, false},
        {{"-v"}, false, 0, false, false},
        {{"-t"}, false, 0, false, false},
        {{"-i"}, false, -1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        claimSucceeds_ = c.claimSucceeds;
        EXPECT_EQ(Run(c.args), c.exitCode);
        EXPECT_EQ(claims_, c.claimed ? 1 : 0);
        EXPECT_EQ(runs_, c.ran ? 1 : 0);
    }
}

TEST_F(CtrlRun, StartupEndsAtOnceWhenAutostartIsOff) {
    Settings().SetSysAutostartBaseapp(false);
    EXPECT_EQ(Run({"--startup"}), 0);
    EXPECT_EQ(claims_, 0);
    Settings().SetSysAutostartBaseapp(true);
    EXPECT_EQ(Run({"--startup"}), 0);
    EXPECT_EQ(runs_, 1);
}

TEST_F(CtrlRun, IdentitiesAreMadeOnceOnEveryKindOfRun) {
    const std::vector<std::vector<std::string>> runs = {{"--quit"}, {"--sync"}, {"-v"},
                                                        {},         {"-p"},     {"--bogus"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
        TempHome fresh;
        Run(args);
        const std::string host = ReadValue(Hive::LocalMachine, kSettingsKey, "SysHostID");
        const std::string user = ReadValue(Hive::CurrentUser, kSettingsKey, "SysUserID");
        EXPECT_TRUE(IsBracelessGuid(host)) << host;
        EXPECT_TRUE(IsBracelessGuid(user)) << user;
        EXPECT_NE(host, user);
        // The machine identity is the machine's, the user's the user's.
        EXPECT_EQ(ReadValue(Hive::CurrentUser, kSettingsKey, "SysHostID"), "(none)");
        EXPECT_EQ(ReadValue(Hive::LocalMachine, kSettingsKey, "SysUserID"), "(none)");
        // Made once: later runs keep them.
        Run({"--quit"});
        EXPECT_EQ(ReadValue(Hive::LocalMachine, kSettingsKey, "SysHostID"), host);
        EXPECT_EQ(ReadValue(Hive::CurrentUser, kSettingsKey, "SysUserID"), user);
    }
}

TEST_F(CtrlRun, IdentitiesAlreadyThereStay) {
    WriteValue(Hive::LocalMachine, kSettingsKey, "SysHostID", "host-from-installer");
    WriteValue(Hive::CurrentUser, kSettingsKey, "SysUserID", "user-before");
    Run({"--quit"});
    EXPECT_EQ(Settings().GetSysHostID(), "host-from-installer");
    EXPECT_EQ(Settings().GetSysUserID(), "user-before");
}

TEST_F(CtrlRun, ConfigStoresTheProviderAndOpensTheSaversDialogs) {
    const std::string saver = home_.Root() + "/registered saver.scr";
    MakeRecordingSaver(saver);
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, saver);
    EXPECT_EQ(Run({"-c", "Provider B"}), 0);
    EXPECT_EQ(Settings().GetCurrentProvider(), "Provider B");
    EXPECT_EQ(WaitForSaverArgs(saver), "/c\n");
    // Without a key the provider stays.
    platform::RemoveFile(saver + ".args");
    EXPECT_EQ(Run({"--configure"}), 0);
    EXPECT_EQ(Settings().GetCurrentProvider(), "Provider B");
    EXPECT_EQ(WaitForSaverArgs(saver), "/c\n");
}

TEST_F(CtrlRun, ActivateStartsOurSaverAndPutsThePreviousOneBack) {
    const std::string installed = InstalledSaverPath();
    platform::MakeFolders(platform::WindowsFolder());
    MakeRecordingSaver(installed);
    struct Case {
        bool autoregister;
        std::string registeredAfter;
    };
    const Case cases[] = {{false, "/previous/Other.scr"}, {true, installed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.autoregister);
        platform::RemoveFile(installed + ".args");
        platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry,
                                        "/previous/Other.scr");
        platform::SetScreenSaverActive(false);
        Settings().SetSysAutoregisterSaver(c.autoregister);
        EXPECT_EQ(Run({"-s", "prov"}), 0);
        EXPECT_EQ(WaitForSaverArgs(installed), "/s\n");
        EXPECT_EQ(platform::RegisteredScreenSaver(), c.registeredAfter);
        EXPECT_TRUE(platform::IsScreenSaverActive());
        EXPECT_EQ(Settings().GetCurrentProvider(), "prov");
        EXPECT_EQ(runs_, 1);
    }
}

TEST_F(CtrlRun, ActivateWithoutAnInstalledSaverLeavesTheSystemSaver) {
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, "/previous/Other.scr");
    Settings().SetSysAutoregisterSaver(true);
    EXPECT_EQ(Run({"-s"}), 0);
    EXPECT_EQ(platform::RegisteredScreenSaver(), "/previous/Other.scr");
    EXPECT_EQ(runs_, 1);
}

TEST_F(CtrlRun, SetSystemScreenSaverReturnsThePreviousEntryAndSwitchesTheSaverOn) {
    struct Case {
        const char* name;
        bool keyThere;
        const char* before; // nullptr: no entry
        std::string returned;
        std::string after;
    };
    const Case cases[] = {
        {"another saver before", true, "/previous/Other.scr", "/previous/Other.scr", "/new/A.scr"},
        {"no entry before", true, nullptr, "", "/new/A.scr"},
        // The user's key is only opened: without it nothing is written.
        {"no desktop key", false, nullptr, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempHome fresh;
        constexpr const char* kDesktop = "\\Control Panel\\Desktop";
        if (!c.keyThere) {
            ASSERT_TRUE(platform::DeleteRegistryKey(Hive::CurrentUser, kDesktop));
        } else {
            auto key = RegistryKey::Open(Hive::CurrentUser, kDesktop, Access::ReadWrite, true);
            ASSERT_TRUE(key);
            key->WriteString("ScreenSaveActive", "0");
            if (c.before != nullptr) {
                key->WriteString("SCRNSAVE.EXE", c.before);
            }
        }
        EXPECT_EQ(SetSystemScreenSaver("/new/A.scr"), c.returned);
        EXPECT_EQ(platform::RegisteredScreenSaver(), c.after);
        EXPECT_TRUE(platform::IsScreenSaverActive());
    }
}

TEST_F(CtrlRun, InstallWithoutKeyInstallsTheBuildsSaverFileAndStillFails) {
    ASSERT_TRUE(platform::FileExists(RealSaverFile())) << "the build puts it beside TolvarCtrl";
    platform::SetScreenSaverActive(false);
    EXPECT_EQ(RunReal({"-i"}), 255); // -1 as the parent sees it
    EXPECT_EQ(ReadValue(Hive::LocalMachine, kRunKey, "TolvarCtrl"),
              std::string(kRealCtrl) + " --startup");
    const std::string installed = InstalledSaverPath();
    // The build's saver, whatever the working folder holds.
    EXPECT_EQ(ReadFileOrEmpty(installed), ReadFileOrEmpty(TOLVAR_SAVER_PATH));
    EXPECT_EQ(::access(installed.c_str(), X_OK), 0);
    EXPECT_EQ(platform::RegisteredScreenSaver(), installed);
    EXPECT_TRUE(platform::IsScreenSaverActive());
}

TEST_F(CtrlRun, InstallReplacesAnOlderSaverFile) {
    platform::MakeFolders(platform::WindowsFolder());
    WriteFile(InstalledSaverPath(), "old saver");
    WriteFile(work_ + "/Tolvar.scr", "a file in the working folder is not the saver");
    EXPECT_EQ(RunReal({"--install"}), 255);
    EXPECT_EQ(ReadFileOrEmpty(InstalledSaverPath()), ReadFileOrEmpty(TOLVAR_SAVER_PATH));
}

TEST_F(CtrlRun, InstallWithoutSaverFileKeepsTheUsersSaver) {
    // In this process the program is the test, which has no saver file beside it.
    ASSERT_FALSE(platform::FileExists(SaverFileBeside(SelfPath())));
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, "/previous/Other.scr");
    EXPECT_EQ(Run({"-i"}), -1);
    EXPECT_FALSE(platform::FileExists(InstalledSaverPath()));
    EXPECT_EQ(platform::RegisteredScreenSaver(), "/previous/Other.scr");
    // The autostart entry is written all the same.
    EXPECT_EQ(ReadValue(Hive::LocalMachine, kRunKey, "TolvarCtrl"), SelfPath() + " --startup");
}

TEST(SaverFileBeside, TheSaverFileInTheProgramsFolder) {
    EXPECT_EQ(SaverFileBeside("/usr/libexec/tolvar/TolvarCtrl"), "/usr/libexec/tolvar/Tolvar.scr");
    EXPECT_EQ(SaverFileBeside("/TolvarCtrl"), "/Tolvar.scr");
    EXPECT_EQ(SaverFileBeside("TolvarCtrl"), "Tolvar.scr");
}

TEST_F(CtrlRun, InstallWithKeySeedsFromTheProvidersBatchFile) {
    platform::MakeFolders(work_ + "/vorlk/Brim wald");
    WriteFile(work_ + "/vorlk/Brim wald/copylcache.bat", "%QRX% -register seeded v\r\n");
    EXPECT_EQ(Run({"-i", "Brim wald"}), 0);
    // The batch file's "-register" ran after the key was stored.
    EXPECT_EQ(ReadValue(Hive::LocalMachine, kSettingsKey + std::string("\\Providers"), "seeded"),
              "v");
    EXPECT_EQ(Settings().GetCurrentProvider(), "seeded");
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(CtrlRun, InstallWithMissingBatchFileShowsTheErrorAndFails) {
    EXPECT_EQ(Run({"-i", "nothere"}), -1);
    EXPECT_EQ(Settings().GetCurrentProvider(), "nothere");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, "TolvarCtrl");
    EXPECT_EQ(boxes_[0].text, "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.\n\n"
                              "Executable: [" +
                                  SelfPath() + "]\nArbeitsverzeichnis: [" + work_ +
                                  "]\nBatchfile: [vorlk/nothere/copylcache.bat]\n");
    EXPECT_EQ(boxes_[0].icon, platform::MessageBoxIcon::Stop);
    EXPECT_TRUE(boxes_[0].beep);
}

TEST_F(CtrlRun, ProviderKeysThatLeaveTheProviderFolderAreRefused) {
    // A batch file that a key escaping "vorlk" would reach.
    for (const char* folder : {"/x", "/vorlk/a/b", "/vorlk/a..b"}) {
        platform::MakeFolders(work_ + folder);
        WriteFile(work_ + folder + "/copylcache.bat", "%QRX% -register escaped v\r\n");
    }
    Settings().SetCurrentProvider("before");
    const std::string keys[] = {"../x", "a/b", "a\\b", "..", "a..b", ""};
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        boxes_.clear();
        EXPECT_EQ(Run({"-i", key}), -1);
        ASSERT_EQ(boxes_.size(), 1u);
        // The box of a missing batch file, naming the path the key would give.
        EXPECT_EQ(boxes_[0].caption, "TolvarCtrl");
        EXPECT_EQ(boxes_[0].text, "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.\n\n"
                                  "Executable: [" +
                                      SelfPath() + "]\nArbeitsverzeichnis: [" + work_ +
                                      "]\nBatchfile: [vorlk/" + key + "/copylcache.bat]\n");
        EXPECT_TRUE(boxes_[0].beep);
        boxes_.clear();
        EXPECT_EQ(Run({"-p", key}), 0);
        EXPECT_TRUE(boxes_.empty());
        EXPECT_EQ(Settings().GetCurrentProvider(), "before");
        EXPECT_EQ(
            ReadValue(Hive::LocalMachine, kSettingsKey + std::string("\\Providers"), "escaped"),
            "(none)");
    }
}

TEST_F(CtrlRun, ProfileSeedsQuietly) {
    platform::MakeFolders(work_ + "/vorlk/p1");
    WriteFile(work_ + "/vorlk/p1/copylcache.bat", "%QRX% -register fromprofile v\r\n");
    EXPECT_EQ(Run({"--use-profile", "p1"}), 0);
    EXPECT_EQ(
        ReadValue(Hive::LocalMachine, kSettingsKey + std::string("\\Providers"), "fromprofile"),
        "v");
    // A missing batch file: no box, still 0; the key is stored.
    EXPECT_EQ(Run({"-p", "gone"}), 0);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(Settings().GetCurrentProvider(), "gone");
    // No key: nothing.
    EXPECT_EQ(Run({"-p"}), 0);
    EXPECT_EQ(Settings().GetCurrentProvider(), "gone");
}

TEST_F(CtrlRun, UninstallRemovesWhatInstallMade) {
    RunReal({"-i"});
    ASSERT_TRUE(platform::FileExists(InstalledSaverPath()));
    EXPECT_EQ(RunReal({"--uninstall"}), 0);
    EXPECT_FALSE(platform::FileExists(InstalledSaverPath()));
    EXPECT_EQ(ReadValue(Hive::LocalMachine, kRunKey, "TolvarCtrl"), "(none)");
    EXPECT_FALSE(platform::IsScreenSaverActive());
}

TEST_F(CtrlRun, UninstallLeavesAnotherChosenSaverOn) {
    RunReal({"-i"});
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, "/other/Saver.scr");
    EXPECT_EQ(RunReal({"-u"}), 0);
    EXPECT_FALSE(platform::FileExists(InstalledSaverPath()));
    EXPECT_TRUE(platform::IsScreenSaverActive());
    EXPECT_EQ(platform::RegisteredScreenSaver(), "/other/Saver.scr");
}

TEST_F(CtrlRun, PathsLongerThanTheOldLimitAreKeptWhole) {
    // A Windows folder and a working folder far past 260 characters.
    std::string system = home_.Root();
    while (system.size() < 400) {
        system += "/a-long-system-folder-name";
    }
    ASSERT_EQ(::setenv("TOLVAR_SYSTEM_DIR", system.c_str(), 1), 0); // TempHome restores it
    std::string deep = work_;
    while (deep.size() < 400) {
        deep += "/another-long-working-folder";
    }
    platform::MakeFolders(deep);
    ASSERT_EQ(::chdir(deep.c_str()), 0);
    EXPECT_EQ(RunReal({"-i"}), 255);
    const std::string installed = system + "/Windows/Tolvar.scr";
    EXPECT_EQ(InstalledSaverPath(), installed);
    EXPECT_EQ(platform::RegisteredScreenSaver(), installed);
    EXPECT_EQ(ReadFileOrEmpty(installed), ReadFileOrEmpty(TOLVAR_SAVER_PATH));
}

TEST_F(CtrlRun, VersionBoxShowsTheControlProgramsVersion) {
    EXPECT_EQ(Run({"-v"}), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, "TolvarCtrl.exe");
    EXPECT_EQ(boxes_[0].text, ""); // no stored program path: no version
    EXPECT_EQ(boxes_[0].icon, platform::MessageBoxIcon::None);

    // Every executable of the project carries the version; this test is one.
    Settings().SetBaseappPath(SelfPath());
    boxes_.clear();
    EXPECT_EQ(Run({"--show-version"}), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_TRUE(IsVersionText(boxes_[0].text)) << boxes_[0].text;
}

TEST_F(CtrlRun, WriteRightsBoxAnswersYesOrNo) {
    // The test also writes beside the stored program path.
    platform::MakeFolders(home_.Root() + "/program");
    Settings().SetBaseappPath(home_.Root() + "/program/TolvarCtrl");
    EXPECT_EQ(Run({"-t"}), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, "InstallRights");
    EXPECT_EQ(boxes_[0].text, "yes");

    if (::geteuid() == 0) {
        return; // permissions do not bind root
    }
    // A machine hive this user cannot write.
    Run({"--quit"}); // the hive exists now
    ::chmod(platform::SystemFolder().c_str(), 0555);
    ::chmod(platform::MachineHivePath().c_str(), 0444);
    boxes_.clear();
    EXPECT_EQ(Run({"-t"}), 0);
    ::chmod(platform::SystemFolder().c_str(), 0755);
    ::chmod(platform::MachineHivePath().c_str(), 0644);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "no");
}

TEST_F(CtrlRun, QueuedUrlsBelongToTheRunningCopy) {
    struct Case {
        std::vector<std::string> args;
        bool claimSucceeds;
        bool queueKept;
    };
    const Case cases[] = {
        {{"--sync"}, true, true}, {{"--quit"}, true, true}, {{"-v"}, true, true},
        {{"-c"}, true, true},     {{}, false, true}, // a second copy
        {{}, true, false},                           // the copy that owns the queue
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none) ") + (c.claimSucceeds ? "1" : "0")
                                    : c.args[0]);
        WriteValue(Hive::LocalMachine, kQueueKey, "0", "http://example.org/item");
        claimSucceeds_ = c.claimSucceeds;
        Run(c.args);
        EXPECT_EQ(ReadValue(Hive::LocalMachine, kQueueKey, "0"),
                  c.queueKept ? "http://example.org/item" : "(none)");
    }
}

// ---- the program as a real process ----

// The program's entry as built for tests (the same entry as TolvarCtrl's main).
std::string ProgramPath() {
    return HelperPath("tolvarctrl_helper");
}

TEST(CtrlProcess, SecondNormalStartEndsWithFourAndNotifiesTheFirst) {
    TempHome home;
    Child first(HelperPath("singletonapp_helper"), {kCtrlGuardName, "hold"}, true);
    ASSERT_EQ(first.ReadLine(), "claim 1");
    ASSERT_TRUE(first.ReadLine()); // its window

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        bool notifies;
    };
    const Case cases[] = {
        {{}, 4, true},          {{"--startup"}, 4, true},
        {{"-s"}, 4, true},      {{"--sync"}, 0, false}, // a command works beside the running copy
        {{"--quit"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        Child second(ProgramPath(), c.args);
        EXPECT_EQ(second.ExitCode(), c.exitCode);
        if (c.notifies) {
            EXPECT_EQ(first.ReadLine(), "front");
        }
    }
    EXPECT_TRUE(first.Running());
}

// The resident program ends on the quit message, the end of the session and after a
// splash-only start; each end is a clean exit that frees the guard.
TEST(CtrlProcess, NormalStartStaysResidentUntilItIsToldToEnd) {
    TempHome home;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int signal; // 0: a second copy's quit command; -1: ends on its own
    };
    const Case cases[] = {
        {"quit command", {}, 0},
        {"end of the session", {"--startup"}, SIGTERM},
        {"closed terminal", {}, SIGHUP},
        {"splash only", {"--show-splash"}, -1},
    };
    TolvarSettings("Brimwald", "Tolvar").SetSysAutostartBaseapp(true);
    platform::Bus bus;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Child run(ProgramPath(), c.args);
        if (c.signal >= 0) {
            // Resident: besides the guard's listener, its main window is on the bus.
            ASSERT_TRUE(WaitUntil([&] {
                int windows = 0;
                for (const auto& w : bus.Windows()) {
                    windows += w.pid == run.Pid();
                }
                return windows >= 2;
            }));
            if (c.signal == 0) {
                Child quit(ProgramPath(), {"--quit"});
                EXPECT_EQ(quit.ExitCode(), 0);
            } else {
                run.Kill(c.signal);
            }
        }
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_FALSE(platform::NamedLock::IsHeldByAnotherProcess(kCtrlGuardName));
    }
}

TEST(CtrlProcess, NormalStartWithoutAnyDisplayEndsWithOneInsteadOfAborting) {
    TempHome home;
    // The child inherits this environment; each variable is put back afterwards.
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = std::getenv(name)) {
            saved.emplace_back(name, value);
        }
        ::unsetenv(name);
    }
    Child run(ProgramPath(), {});
    const auto code = run.ExitCode();
    for (const auto& [name, value] : saved) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(platform::NamedLock::IsHeldByAnotherProcess(kCtrlGuardName));
}

TEST(CtrlProcess, InstallWithoutKeyExitsWithMinusOne) {
    TempHome home;
    Child run(ProgramPath(), {"-i"});
    EXPECT_EQ(run.ExitCode(), 255); // -1 as the parent sees it
    EXPECT_EQ(ReadValue(Hive::LocalMachine, kRunKey, "TolvarCtrl"), ProgramPath() + " --startup");
}

TEST(CtrlProcess, CommandsBroadcastToEveryWindow) {
    TempHome home;
    Child monitor(TOLVAR_IPC_PATH, {"monitor"}, true);
    const auto first = monitor.ReadLine(10s);
    ASSERT_TRUE(first && first->rfind("monitor window ", 0) == 0) << first.value_or("(nothing)");
    struct Case {
        std::vector<std::string> args;
        const char* line;
    };
    const Case cases[] = {
        {{"--sync"}, "IPC_SYNC_NOW first=0"}, {{"--synchronize"}, "IPC_SYNC_NOW first=0"},
        {{"-y"}, "IPC_SYNC_NOW first=0"},     {{"--quit"}, "IPC_QUIT first=0"},
        {{"-q"}, "IPC_QUIT first=0"},         {{"--uninstall"}, "IPC_QUIT first=0"},
        {{"-i"}, "IPC_QUIT first=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Child run(ProgramPath(), c.args);
        EXPECT_EQ(monitor.ReadLine(10s).value_or("(nothing)"), c.line);
        run.ExitCode();
    }
}

} // namespace

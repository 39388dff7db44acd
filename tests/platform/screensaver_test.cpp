#include "platform/autostart.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/idlestart.h"
#include "platform/namedlock.h"
#include "platform/registry.h"
#include "platform/screensaver.h"
#include "support/process.h"
#include "support/recordingsaver.h"
#include "support/temphome.h"

#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using tolvar::test::MakeRecordingSaver;
using tolvar::test::WaitForSaverArgs;

using platform::ScreenSaverStore;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;

constexpr const char* kDesktop = "\\Control Panel\\Desktop";

TEST(SystemIni, ProfileStringsAreReadLikeTheSystemReadsThem) {
    TempHome home;
    platform::MakeFolders(platform::WindowsFolder());
    WriteFile(platform::SystemIniPath(), "[386Enh]\r\nSCRNSAVE.EXE=wrong\r\n"
                                         "[Boot]\r\n; SCRNSAVE.EXE=commented\r\n"
                                         "  scrnsave.exe  =  C:\\a b\\x.scr  \r\n"
                                         "shell=Explorer.exe\n"
                                         "[ boot2 ]\nkey=v2\n");
    struct Case {
        const char* section;
        const char* entry;
        const char* expected;
    };
    const Case cases[] = {
        {"boot", "SCRNSAVE.EXE", "C:\\a b\\x.scr"}, // names without case, value trimmed
        {"BOOT", "Shell", "Explorer.exe"},          // a lone LF ends a line too
        {"386enh", "scrnsave.exe", "wrong"},
        {"boot2", "key", "v2"}, // blanks inside brackets do not count
        {"boot", "missing", "default"},
        {"nosection", "shell", "default"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.entry);
        EXPECT_EQ(platform::ReadSystemIniString(c.section, c.entry, "default"), c.expected);
    }
}

TEST(SystemIni, MissingFileGivesTheDefault) {
    TempHome home;
    EXPECT_EQ(platform::ReadSystemIniString("boot", "SCRNSAVE.EXE", "none"), "none");
    EXPECT_EQ(platform::ReadSystemIniString("boot", "SCRNSAVE.EXE"), "");
}

TEST(SystemIni, WritesKeepEveryOtherLine) {
    struct Case {
        const char* name;
        std::string before; // nothing: no file
        const char* section;
        const char* entry;
        const char* value;
        std::string after;
    };
    const Case cases[] = {
        {"new file", "", "boot", "SCRNSAVE.EXE", "/w/T.scr", "[boot]\r\nSCRNSAVE.EXE=/w/T.scr\r\n"},
        {"replace keeps the name as written",
         "[Boot]\r\nshell=x\r\nscrnsave.exe=old\r\n[other]\r\na=1\r\n", "boot", "SCRNSAVE.EXE",
         "new", "[Boot]\r\nshell=x\r\nscrnsave.exe=new\r\n[other]\r\na=1\r\n"},
        {"insert after the section's last line, before blank lines",
         "[boot]\nshell=x\n\n[other]\na=1\n", "boot", "SCRNSAVE.EXE", "v",
         "[boot]\r\nshell=x\r\nSCRNSAVE.EXE=v\r\n\r\n[other]\r\na=1\r\n"},
        {"an entry of the same name in another section stays", "[other]\r\nSCRNSAVE.EXE=keep\r\n",
         "boot", "SCRNSAVE.EXE", "v",
         "[other]\r\nSCRNSAVE.EXE=keep\r\n[boot]\r\nSCRNSAVE.EXE=v\r\n"},
        {"empty value", "[boot]\r\nSCRNSAVE.EXE=old\r\n", "boot", "SCRNSAVE.EXE", "",
         "[boot]\r\nSCRNSAVE.EXE=\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempHome home;
        if (!c.before.empty()) {
            platform::MakeFolders(platform::WindowsFolder());
            WriteFile(platform::SystemIniPath(), c.before);
        }
        EXPECT_TRUE(platform::WriteSystemIniString(c.section, c.entry, c.value));
        EXPECT_EQ(ReadFileOrEmpty(platform::SystemIniPath()), c.after);
        EXPECT_EQ(platform::ReadSystemIniString(c.section, c.entry, "?"), c.value);
    }
}

TEST(SystemIni, BadNamesAndValuesChangeNothing) {
    TempHome home;
    platform::MakeFolders(platform::WindowsFolder());
    const std::string before = "[boot]\r\nSCRNSAVE.EXE=old\r\n";
    WriteFile(platform::SystemIniPath(), before);
    struct Case {
        std::string section;
        std::string entry;
        std::string value;
    };
    const Case cases[] = {
        {"boot", "SCRNSAVE.EXE", "a\r\n[evil]\r\nx=y"}, // a value must not make lines
        {"boot", "SCRNSAVE.EXE", std::string("a\0b", 3)},
        {"boot", "a=b", "v"},
        {"boot", "", "v"},
        {"bo]ot", "x", "v"},
        {"", "x", "v"},
        {"boot", "two\nlines", "v"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section + "/" + c.entry);
        EXPECT_FALSE(platform::WriteSystemIniString(c.section, c.entry, c.value));
        EXPECT_EQ(ReadFileOrEmpty(platform::SystemIniPath()), before);
    }
}

TEST(SystemIni, ConcurrentWritersLoseNoEntry) {
    TempHome home;
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i) {
        writers.emplace_back([i] {
            for (int j = 0; j < 5; ++j) {
                platform::WriteSystemIniString("boot", "e" + std::to_string(i), std::to_string(j));
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(platform::ReadSystemIniString("boot", "e" + std::to_string(i)), "4") << i;
    }
}

TEST(ScreenSaverEntry, BothStoresReadAndWriteTheirOwnPlace) {
    TempHome home;
    EXPECT_EQ(platform::SystemScreenSaverStore(), ScreenSaverStore::Registry);
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::Registry), "");
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::SystemIni), "");

    ASSERT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, "/r/Reg.scr"));
    ASSERT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::SystemIni, "/s/Ini.scr"));
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::Registry), "/r/Reg.scr");
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::SystemIni), "/s/Ini.scr");
    EXPECT_EQ(platform::ReadSystemIniString("boot", "SCRNSAVE.EXE"), "/s/Ini.scr");

    const auto key =
        platform::RegistryKey::Open(platform::Hive::CurrentUser, kDesktop, platform::Access::Read);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString("SCRNSAVE.EXE"), "/r/Reg.scr");
    // The system is on the NT line: its saver is the registry's.
    EXPECT_EQ(platform::RegisteredScreenSaver(), "/r/Reg.scr");
}

TEST(ScreenSaverEntry, RegistryRouteNeverCreatesTheDesktopKey) {
    TempHome home;
    ASSERT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, "/old.scr"));
    ASSERT_TRUE(platform::DeleteRegistryKey(platform::Hive::CurrentUser, kDesktop));
    EXPECT_FALSE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, "/new.scr"));
    EXPECT_FALSE(platform::RegistryKeyExists(platform::Hive::CurrentUser, kDesktop));
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::Registry), "");
}

TEST(ScreenSaverEntry, ValueOfAnotherTypeCountsAsNotSet) {
    TempHome home;
    const auto key = platform::RegistryKey::Open(platform::Hive::CurrentUser, kDesktop,
                                                 platform::Access::ReadWrite, true);
    ASSERT_TRUE(key);
    key->WriteInteger("SCRNSAVE.EXE", 5);
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::Registry), "");
    // Writing replaces it with the text.
    EXPECT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, "/x.scr"));
    EXPECT_EQ(platform::ReadScreenSaverEntry(ScreenSaverStore::Registry), "/x.scr");
}

TEST(ScreenSaverActive, SwitchIsStoredForTheUser) {
    TempHome home;
    EXPECT_FALSE(platform::IsScreenSaverActive());
    // Made even where the desktop key is gone.
    platform::DeleteRegistryKey(platform::Hive::CurrentUser, kDesktop);
    ASSERT_TRUE(platform::SetScreenSaverActive(true));
    EXPECT_TRUE(platform::IsScreenSaverActive());
    const auto key =
        platform::RegistryKey::Open(platform::Hive::CurrentUser, kDesktop, platform::Access::Read);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString("ScreenSaveActive"), "1");
    ASSERT_TRUE(platform::SetScreenSaverActive(false));
    EXPECT_FALSE(platform::IsScreenSaverActive());
    EXPECT_EQ(key->ReadString("ScreenSaveActive"), "0");
}

TEST(ScreenSaverTimeout, WholeSecondsAsTheSystemWritesThem) {
    struct Case {
        const char* stored; // nullptr: no value
        int seconds;
    };
    const Case cases[] = {
        {nullptr, 600},       {"", 600},        {"2", 2},          {"  900 ", 900},
        {"0", 600},           {"-5", 600},      {"1.5", 600},      {"10 min", 600},
        {"2147483", 2147483}, {"2147484", 600}, {"99999999", 600},
    };
    for (const Case& c : cases) {
        TempHome home;
        if (c.stored != nullptr) {
            auto key = platform::RegistryKey::Open(platform::Hive::CurrentUser, kDesktop,
                                                   platform::Access::ReadWrite, true);
            ASSERT_TRUE(key);
            key->WriteString("ScreenSaveTimeOut", c.stored);
        }
        EXPECT_EQ(platform::ScreenSaveTimeout(), c.seconds) << (c.stored ? c.stored : "(none)");
    }
}

TEST(ScreenSaverTimeout, ANumberValueCountsAsNotSet) {
    TempHome home;
    auto key = platform::RegistryKey::Open(platform::Hive::CurrentUser, kDesktop,
                                           platform::Access::ReadWrite, true);
    ASSERT_TRUE(key);
    key->WriteInteger("ScreenSaveTimeOut", 30);
    EXPECT_EQ(platform::ScreenSaveTimeout(), platform::kDefaultScreenSaveTimeout);
}

TEST(ScreenSaverActive, SwitchingOffRemovesTheIdleWatchersEntry) {
    TempHome home;
    const std::string entry = platform::AutostartEntryPath(platform::kIdleWatcherName);
    platform::UpdateAutostartEntry(platform::kIdleWatcherName, "\"/opt/tolvar/tolvar-idle\"");
    ASSERT_TRUE(platform::FileExists(entry));
    // This test program has no watcher beside it: switching on leaves the entry as it was.
    ASSERT_TRUE(platform::SetScreenSaverActive(true));
    EXPECT_NE(ReadFileOrEmpty(entry).find("/opt/tolvar/tolvar-idle"), std::string::npos);
    ASSERT_TRUE(platform::SetScreenSaverActive(false));
    EXPECT_FALSE(platform::FileExists(entry));
    EXPECT_TRUE(platform::IdleWatcherPath().ends_with("/tolvar-idle"));
}

TEST(ScreenSaverRunning, TrueWhileAnotherProcessShowsTheSaversScreen) {
    TempHome home;
    EXPECT_FALSE(platform::IsScreenSaverRunning());
    {
        // This process's own mark is no running saver of another process.
        auto own = platform::NamedLock::TryAcquire(platform::kSaverRunningLockName);
        ASSERT_TRUE(own);
        EXPECT_FALSE(platform::IsScreenSaverRunning());
    }
    // The saver's guard alone is held by its dialogs too: no screen saver runs.
    Child dialogs(HelperPath("namedlock_helper"), {platform::kSaverGuardName}, true);
    ASSERT_EQ(dialogs.ReadLine(), "held");
    EXPECT_FALSE(platform::IsScreenSaverRunning());
    EXPECT_FALSE(platform::IsSaverScreenShown());

    Child saver(HelperPath("namedlock_helper"), {platform::kSaverRunningLockName}, true);
    ASSERT_EQ(saver.ReadLine(), "held");
    EXPECT_TRUE(platform::IsScreenSaverRunning());
    EXPECT_TRUE(platform::IsSaverScreenShown());
    // A crashed saver runs no more.
    saver.Kill(SIGKILL);
    saver.Wait();
    EXPECT_FALSE(platform::IsScreenSaverRunning());
}

TEST(ScreenSaverRunning, TheDesktopsOwnSaverCountsWhereTheBoundProbeTellsIt) {
    TempHome home;
    bool desktopSaverOn = false;
    int asked = 0;
    platform::SetDesktopScreenSaverProbe([&] {
        ++asked;
        return desktopSaverOn;
    });
    EXPECT_FALSE(platform::IsScreenSaverRunning());
    desktopSaverOn = true;
    EXPECT_TRUE(platform::IsScreenSaverRunning());
    EXPECT_FALSE(platform::IsSaverScreenShown()) << "the desktop's saver is not ours";
    EXPECT_EQ(asked, 2);
    platform::SetDesktopScreenSaverProbe({});
    EXPECT_FALSE(platform::IsScreenSaverRunning());
}

TEST(ScreenSaverStart, RegisteredSaverIsStartedWithItsSwitchAndNoShell) {
    TempHome home;
    // Blanks and shell characters in the path must reach the saver as one word.
    const std::string folder = home.Root() + "/a b;$(x)";
    platform::MakeFolders(folder);
    struct Case {
        const char* name;
        std::optional<int> (*start)();
        const char* expected;
    };
    const Case cases[] = {
        {"run", &platform::StartSystemScreenSaver, "/s\n"},
        {"dialogs", &platform::OpenScreenSaverDialogs, "/c\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string saver = MakeRecordingSaver(folder + "/" + c.name + ".scr");
        ASSERT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, saver));
        const auto pid = c.start();
        ASSERT_TRUE(pid);
        EXPECT_GT(*pid, 0);
        EXPECT_EQ(WaitForSaverArgs(saver), c.expected);
    }
}

TEST(ScreenSaverStart, NothingStartsWithoutAUsableSaver) {
    TempHome home;
    EXPECT_FALSE(platform::StartSystemScreenSaver()); // none registered
    EXPECT_FALSE(platform::OpenScreenSaverDialogs());
    const std::string plain = home.Root() + "/plain.scr";
    WriteFile(plain, "not a program");
    ::chmod(plain.c_str(), 0644);
    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        {"missing file", home.Root() + "/missing.scr"},
        {"not executable", plain},
        {"a folder", home.Root()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(platform::WriteScreenSaverEntry(ScreenSaverStore::Registry, c.path));
        EXPECT_FALSE(platform::StartSystemScreenSaver());
        EXPECT_FALSE(platform::SpawnScreenSaver(c.path, "/c"));
    }
    EXPECT_FALSE(platform::SpawnScreenSaver("", "/s"));
}

} // namespace

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/hivefile.h"
#include "platform/registry.h"
#include "support/process.h"
#include "support/temphome.h"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using tolvar::test::AsNobody;

using platform::Access;
using platform::Hive;
using platform::RegistryError;
using platform::RegistryKey;
using platform::RegistryTypeError;
using platform::ValueType;
using tolvar::test::TempHome;

constexpr const char* kMain = "\\Software\\Brimwald\\Tolvar";

RegistryKey OpenWritable(Hive hive, const char* path = kMain) {
    auto key = RegistryKey::Open(hive, path, Access::ReadWrite, true);
    if (!key) {
        throw std::runtime_error("cannot open the key for writing");
    }
    return *key;
}

// The hive as a fresh process would load it from the file.
platform::hivefile::Key LoadFromFile(Hive hive) {
    return platform::hivefile::LoadHive(platform::ReadFile(platform::HiveFilePath(hive)).value(),
                                        platform::HiveName(hive));
}

TEST(Registry, NewHivesHoldTheKeysOfAFreshSystem) {
    TempHome home;
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::LocalMachine,
                                            "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::CurrentUser, "\\Control Panel\\Desktop"));
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::CurrentUser, kMain));
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read).has_value());
    // Reading creates nothing on disk; the first write keeps the default keys.
    EXPECT_FALSE(platform::FileExists(platform::MachineHivePath()));
    auto run = RegistryKey::Open(
        Hive::LocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", Access::ReadWrite);
    ASSERT_TRUE(run.has_value());
    OpenWritable(Hive::LocalMachine).WriteString("SysHostID", "x");
    const auto stored = LoadFromFile(Hive::LocalMachine);
    EXPECT_NE(stored.FindSubKey("software")->FindSubKey("microsoft"), nullptr);
}

TEST(Registry, NamesMatchInAnyCaseAndKeepTheirFirstCase) {
    TempHome home;
    auto key = OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar");
    key.WriteInteger("MessageInterval", 20);
    key.WriteInteger("MESSAGEINTERVAL", 30);
    EXPECT_EQ(key.ReadInteger("messageinterval"), 30u);
    EXPECT_EQ(key.ValueNames(), std::vector<std::string>{"MessageInterval"});

    auto again = RegistryKey::Open(Hive::CurrentUser, "software\\BRIMWALD\\tolvar", Access::Read);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->Path(), "\\Software\\Brimwald\\Tolvar");
    EXPECT_EQ(again->ReadInteger("MessageInterval"), 30u);
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::CurrentUser, "SOFTWARE\\brimwald"));
}

TEST(Registry, ValuesAndKeysEnumerateInFirstWrittenOrder) {
    TempHome home;
    auto key = OpenWritable(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\Providers");
    for (const char* name : {"Zeta", "alpha", "Mid"}) {
        key.WriteString(name, name);
    }
    key.WriteString("ALPHA", "again"); // a rewrite keeps the place
    EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
    EXPECT_TRUE(key.DeleteValue("zeta"));
    EXPECT_FALSE(key.DeleteValue("zeta"));
    key.WriteString("Zeta", "back");
    EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"alpha", "Mid", "Zeta"}));

    for (const char* sub : {"b", "a", "c"}) {
        OpenWritable(Hive::LocalMachine, (std::string(kMain) + "\\Order\\" + sub).c_str());
    }
    auto order =
        RegistryKey::Open(Hive::LocalMachine, std::string(kMain) + "\\Order", Access::Read);
    EXPECT_EQ(order->SubKeyNames(), (std::vector<std::string>{"b", "a", "c"}));
    // The order survives the file.
    const auto file = LoadFromFile(Hive::LocalMachine);
    const auto* stored = file.FindSubKey("Software")
                             ->FindSubKey("Brimwald")
                             ->FindSubKey("Tolvar")
                             ->FindSubKey("Providers");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->values.at(2).name, "Zeta");
}

TEST(Registry, EveryTypeReadsBackAndWrongTypesAreToldApart) {
    TempHome home;
    auto key = OpenWritable(Hive::CurrentUser);
    key.WriteInteger("Number", 0xFFFFFFFFu);
    key.WriteString("Text", "Nordwind");
    key.WriteExpandString("Expand", "%HOME%/x");
    key.WriteBinary("Bytes", {0, 1, 0xFF});
    EXPECT_EQ(key.ReadInteger("Number"), 0xFFFFFFFFu);
    EXPECT_EQ(key.ReadString("Text"), "Nordwind");
    EXPECT_EQ(key.ReadString("Expand"), "%HOME%/x");
    EXPECT_EQ(key.ReadBinary("Bytes"), (std::vector<std::uint8_t>{0, 1, 0xFF}));

    struct Case {
        const char* name;
        ValueType type;
        bool integerOk, stringOk, binaryOk;
    };
    const Case cases[] = {
        {"Number", ValueType::Dword, true, false, false},
        {"Text", ValueType::String, false, true, false},
        {"Expand", ValueType::ExpandString, false, true, false},
        {"Bytes", ValueType::Binary, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(key.TypeOf(c.name), c.type);
        auto check = [&](bool ok, const std::function<void()>& read) {
            if (ok) {
                EXPECT_NO_THROW(read());
            } else {
                EXPECT_THROW(read(), RegistryTypeError);
            }
        };
        check(c.integerOk, [&] { key.ReadInteger(c.name); });
        check(c.stringOk, [&] { key.ReadString(c.name); });
        check(c.binaryOk, [&] { key.ReadBinary(c.name); });
    }
    // A missing value is an error, but not a type error.
    try {
        key.ReadInteger("Missing");
        ADD_FAILURE() << "no error";
    } catch (const RegistryTypeError&) {
        ADD_FAILURE() << "a missing value reported as a type error";
    } catch (const RegistryError&) {
    }
    EXPECT_FALSE(key.TypeOf("Missing").has_value());
    // Replacing a value with another type changes the type.
    key.WriteString("Number", "15");
    EXPECT_THROW(key.ReadInteger("Number"), RegistryTypeError);
}

TEST(Registry, KeysOpenedForReadingRefuseChanges) {
    TempHome home;
    OpenWritable(Hive::CurrentUser).WriteInteger("A", 1);
    auto key = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read);
    ASSERT_TRUE(key.has_value());
    EXPECT_THROW(key->WriteInteger("A", 2), RegistryError);
    EXPECT_THROW(key->DeleteValue("A"), RegistryError);
    EXPECT_EQ(key->ReadInteger("A"), 1u);
}

TEST(Registry, OpeningForReadingWithCreateMakesTheKey) {
    TempHome home;
    auto key = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read, true);
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(platform::RegistryKeyExists(Hive::CurrentUser, kMain));
    EXPECT_FALSE(
        RegistryKey::Open(Hive::CurrentUser, "\\Software\\\\Brimwald", Access::Read, true));
}

TEST(Registry, KeysDeleteRecursively) {
    TempHome home;
    OpenWritable(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\IPC\\Deep")
        .WriteString("u", "v");
    auto ipc = OpenWritable(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\IPC");
    ipc.WriteString("0", "http://a");
    OpenWritable(Hive::LocalMachine).WriteInteger("Kept", 1);

    EXPECT_TRUE(
        platform::DeleteRegistryKey(Hive::LocalMachine, "\\software\\brimwald\\tolvar\\ipc"));
    EXPECT_FALSE(
        platform::RegistryKeyExists(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\IPC\\Deep"));
    EXPECT_FALSE(
        platform::RegistryKeyExists(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\IPC"));
    EXPECT_FALSE(
        platform::DeleteRegistryKey(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\IPC"));
    EXPECT_FALSE(platform::DeleteRegistryKey(Hive::LocalMachine, ""));
    EXPECT_EQ(RegistryKey::Open(Hive::LocalMachine, kMain, Access::Read)->ReadInteger("Kept"), 1u);
    // A key handle of a deleted key: reads find nothing, writes fail.
    EXPECT_FALSE(ipc.ValueExists("0"));
    EXPECT_TRUE(ipc.ValueNames().empty());
    EXPECT_THROW(ipc.WriteString("1", "x"), RegistryError);
}

TEST(Registry, TextsAndNamesSurviveTheFile) {
    TempHome home;
    auto key = OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Escapes");
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"back\\slash", "C:\\Programme\\Tolvar\\"},
        {"quote\"d", "say \"hi\""},
        {"", "the default value"},
        {"Umlaut", "Rückfrage ÄÖÜ ß"},
        {"Lines", "one\r\ntwo\n"},
        {"Latin1", std::string("caf\xE9", 4)},
        {"Nul", std::string("a\0b", 3)},
        {"Empty", ""},
        {"Trailing", "ends in \\"},
    };
    for (const auto& [name, text] : texts) {
        key.WriteString(name, text);
    }
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    key.WriteBinary("All", all);
    key.WriteBinary("None", {});
    key.WriteExpandString("Expand", "%TEMP%\\\"x\"");

    const std::string file = platform::ReadFile(platform::UserHivePath()).value();
    EXPECT_NE(file.find("\"back\\\\slash\"=\"C:\\\\Programme\\\\Tolvar\\\\\""), std::string::npos)
        << file;
    EXPECT_NE(file.find("\"quote\\\"d\"=\"say \\\"hi\\\"\""), std::string::npos);
    EXPECT_NE(file.find("@=\"the default value\""), std::string::npos);
    EXPECT_EQ(file.rfind(platform::hivefile::kHeader, 0), 0u);

    const auto stored = LoadFromFile(Hive::CurrentUser);
    const auto* escapes = stored.FindSubKey("Software")
                              ->FindSubKey("Brimwald")
                              ->FindSubKey("Tolvar")
                              ->FindSubKey("Escapes");
    ASSERT_NE(escapes, nullptr);
    for (const auto& [name, text] : texts) {
        SCOPED_TRACE(name);
        const auto* v = escapes->FindValue(name);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->type, ValueType::String);
        EXPECT_EQ(v->data, text);
    }
    EXPECT_EQ(escapes->FindValue("All")->data, std::string(all.begin(), all.end()));
    EXPECT_EQ(escapes->FindValue("None")->data, "");
    EXPECT_EQ(escapes->FindValue("Expand")->type, ValueType::ExpandString);
    EXPECT_EQ(escapes->FindValue("Expand")->data, "%TEMP%\\\"x\"");
    // Names a line cannot hold are refused, not written broken.
    EXPECT_THROW(key.WriteString("two\nlines", "x"), RegistryError);
}

TEST(Registry, ShellFoldersAnswerFromXdgUnlessTheHiveHoldsThem) {
    TempHome home;
    constexpr const char* kShell =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    auto key = RegistryKey::Open(Hive::CurrentUser, kShell, Access::Read);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ReadString("AppData"), home.ConfigHome());
    EXPECT_EQ(key->ReadString("local appdata"), home.DataHome());
    EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"AppData", "Local AppData"}));
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, kShell));

    auto writable = RegistryKey::Open(Hive::CurrentUser, kShell, Access::ReadWrite);
    ASSERT_TRUE(writable.has_value());
    writable->WriteString("Local AppData", "/srv/data");
    EXPECT_EQ(key->ReadString("Local AppData"), "/srv/data");
    EXPECT_EQ(key->ReadString("AppData"), home.ConfigHome());
    // The fallback is never written to the file.
    const auto stored = LoadFromFile(Hive::CurrentUser);
    std::vector<std::string> names;
    platform::hivefile::SplitKeyPath(kShell, names);
    const auto* k = &stored;
    for (const auto& n : names) {
        k = k->FindSubKey(n);
        ASSERT_NE(k, nullptr);
    }
    ASSERT_EQ(k->values.size(), 1u);
    EXPECT_EQ(k->values[0].name, "Local AppData");
}

TEST(Registry, UnparsableHiveReadsEmptyAndIsNeverRewritten) {
    TempHome home;
    OpenWritable(Hive::CurrentUser).WriteInteger("A", 1);
    auto before = RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite);
    ASSERT_TRUE(before.has_value());
    const std::string broken = platform::ReadFile(platform::UserHivePath()).value() + "garbage\n";
    tolvar::test::WriteFile(platform::UserHivePath(), broken);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::CurrentUser, kMain));
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::CurrentUser, "\\Control Panel\\Desktop"));
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read).has_value());
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite, true).has_value());
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read, true).has_value());
    EXPECT_THROW(before->WriteInteger("A", 2), RegistryError);
    EXPECT_FALSE(platform::DeleteRegistryKey(Hive::CurrentUser, "\\Software"));
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_NE(warnings.find(platform::UserHivePath()), std::string::npos);
    EXPECT_NE(warnings.find("line"), std::string::npos);
    EXPECT_EQ(platform::ReadFile(platform::UserHivePath()).value(), broken);
    // The machine hive is another file and unaffected.
    EXPECT_TRUE(RegistryKey::Open(Hive::LocalMachine, kMain, Access::ReadWrite, true).has_value());
}

TEST(Registry, UnwritableHiveRefusesReadWriteOpening) {
    struct Case {
        const char* what;
        mode_t folder, file;
        bool writable;
    };
    const Case cases[] = {
        {"folder not writable", 0755, 0666, false},
        {"file not writable", 0777, 0644, false},
        {"both writable", 0777, 0666, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        OpenWritable(Hive::LocalMachine).WriteInteger("A", 1);
        // nobody may walk to the hive and read it.
        ::chmod(home.Root().c_str(), 0755);
        ::chmod(home.DataHome().c_str(), 0755);
        ::chmod(platform::SystemFolder().c_str(), c.folder);
        ::chmod(platform::MachineHivePath().c_str(), c.file);
        const int code = AsNobody([&] {
            auto read = RegistryKey::Open(Hive::LocalMachine, kMain, Access::Read);
            if (!read || read->ReadInteger("A") != 1) {
                return 10;
            }
            auto write = RegistryKey::Open(Hive::LocalMachine, kMain, Access::ReadWrite);
            if (write.has_value() != c.writable) {
                return 11;
            }
            if (!c.writable) {
                if (platform::DeleteRegistryKey(Hive::LocalMachine, kMain) ||
                    RegistryKey::Open(Hive::LocalMachine, "\\New", Access::ReadWrite, true)) {
                    return 12;
                }
                return 0;
            }
            write->WriteInteger("A", 2);
            return 0;
        });
        EXPECT_EQ(code, 0);
        EXPECT_EQ(LoadFromFile(Hive::LocalMachine)
                      .FindSubKey("Software")
                      ->FindSubKey("Brimwald")
                      ->FindSubKey("Tolvar")
                      ->FindValue("A")
                      ->number,
                  c.writable ? 2u : 1u);
    }
}

TEST(Registry, FreshAccountGetsItsFolders) {
    TempHome home;
    ASSERT_FALSE(platform::FolderExists(home.ConfigHome()));
    OpenWritable(Hive::CurrentUser).WriteString("CurrentProvider", "x");
    EXPECT_TRUE(platform::FileExists(platform::UserHivePath()));
    struct stat st {};
    ASSERT_EQ(::stat(platform::UserHivePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Changes gathered by a transaction reach the file together at the commit, in one
// publication of the hive; until then the file, and so every other reader, is unchanged.
TEST(Registry, ATransactionPublishesAllItsChangesAtOnce) {
    TempHome home;
    OpenWritable(Hive::CurrentUser).WriteInteger("Old", 1);
    const std::string file = platform::HiveFilePath(Hive::CurrentUser);
    const ino_t before = InodeOf(file);
    {
        platform::RegistryTransaction transaction(Hive::CurrentUser);
        // A key made inside the transaction opens at once and takes values.
        auto fresh = OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Neu");
        fresh.WriteString("Name", "Wert");
        auto key = OpenWritable(Hive::CurrentUser);
        for (int i = 0; i < 21; ++i) {
            key.WriteInteger("V" + std::to_string(i), std::uint32_t(i));
        }
        EXPECT_TRUE(key.DeleteValue("Old"));
        EXPECT_EQ(InodeOf(file), before);
        EXPECT_TRUE(key.ValueExists("Old")); // reads see the hive as it stands
        EXPECT_FALSE(key.ValueExists("V0"));
        transaction.Commit();
        EXPECT_NE(InodeOf(file), before);
        // After the commit changes are made at once again.
        const ino_t committed = InodeOf(file);
        key.WriteInteger("After", 7);
        EXPECT_NE(InodeOf(file), committed);
    }
    const auto root = LoadFromFile(Hive::CurrentUser);
    const auto* key = root.FindSubKey("Software")->FindSubKey("Brimwald")->FindSubKey("Tolvar");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->FindValue("Old"), nullptr);
    for (int i = 0; i < 21; ++i) {
        ASSERT_NE(key->FindValue("V" + std::to_string(i)), nullptr) << i;
        EXPECT_EQ(key->FindValue("V" + std::to_string(i))->number, std::uint32_t(i));
    }
    ASSERT_NE(key->FindSubKey("Neu"), nullptr);
    EXPECT_EQ(key->FindSubKey("Neu")->FindValue("Name")->data, "Wert");
    EXPECT_NE(key->FindValue("After"), nullptr);
}

// Nothing of a transaction is written when it is dropped, or when one of its changes
// cannot be made at the commit (its key was deleted meanwhile by another writer).
TEST(Registry, ATransactionThatFailsOrIsDroppedWritesNothing) {
    TempHome home;
    OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Gone").WriteInteger("X", 1);
    const std::string file = platform::HiveFilePath(Hive::CurrentUser);
    const ino_t before = InodeOf(file);
    {
        platform::RegistryTransaction transaction(Hive::CurrentUser);
        OpenWritable(Hive::CurrentUser).WriteInteger("Dropped", 1);
    }
    EXPECT_EQ(InodeOf(file), before);
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ValueExists("Dropped"));

    platform::RegistryTransaction transaction(Hive::CurrentUser);
    OpenWritable(Hive::CurrentUser).WriteInteger("First", 1);
    auto gone = OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Gone");
    gone.WriteInteger("Y", 2);
    // Another writer (a thread has no transaction of its own) deletes the key meanwhile.
    std::thread([] {
        EXPECT_TRUE(
            platform::DeleteRegistryKey(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Gone"));
    }).join();
    const ino_t deleted = InodeOf(file);
    EXPECT_THROW(transaction.Commit(), RegistryError);
    EXPECT_EQ(InodeOf(file), deleted);
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ValueExists("First"));
    // A second transaction on the same thread and hive is refused while one is open.
    platform::RegistryTransaction again(Hive::CurrentUser);
    EXPECT_THROW(platform::RegistryTransaction{Hive::CurrentUser}, RegistryError);
}

TEST(Registry, ThreadsWritingDifferentValuesLoseNothing) {
    TempHome home;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            auto key = OpenWritable(Hive::CurrentUser);
            for (int i = 0; i < 25; ++i) {
                key.WriteInteger("T" + std::to_string(t) + "_" + std::to_string(i), i);
                (void)key.ValueNames();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read)->ValueNames().size(), 100u);
}

TEST(Registry, ProcessesWritingDifferentValuesLoseNothing) {
    TempHome home;
    // This process has the hive cached: the other processes' saves must replace that.
    OpenWritable(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Test").WriteInteger("Own", 1);
    tolvar::test::Child a(tolvar::test::HelperPath("registry_helper"), {"write", "A", "60"});
    tolvar::test::Child b(tolvar::test::HelperPath("registry_helper"), {"write", "B", "60"});
    EXPECT_EQ(a.ExitCode(std::chrono::seconds(120)), 0);
    EXPECT_EQ(b.ExitCode(std::chrono::seconds(120)), 0);
    auto key =
        RegistryKey::Open(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Test", Access::Read);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ValueNames().size(), 121u);
    EXPECT_EQ(key->ReadInteger("Own"), 1u);
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(key->ReadInteger("A" + std::to_string(i)), static_cast<std::uint32_t>(i));
        EXPECT_EQ(key->ReadInteger("B" + std::to_string(i)), static_cast<std::uint32_t>(i));
    }
}

TEST(Registry, WriterKilledDuringSavesLeavesOldOrNewContent) {
    TempHome home;
    std::mt19937 rng(std::random_device{}());
    std::uint32_t last = 0;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        tolvar::test::Child writer(tolvar::test::HelperPath("registry_helper"), {"churn"}, true);
        ASSERT_EQ(writer.ReadLine(std::chrono::seconds(30)), "ready");
        // Each round kills a writer that has saved since the last one, however slowly a
        // loaded machine runs it; only the moment after that is random.
        ASSERT_TRUE(tolvar::test::WaitUntil(
            [&] {
                try {
                    const auto now = LoadFromFile(Hive::CurrentUser);
                    const auto* test = now.FindSubKey("Software");
                    for (const char* name : {"Brimwald", "Tolvar", "Test"}) {
                        test = test != nullptr ? test->FindSubKey(name) : nullptr;
                    }
                    const auto* counter = test != nullptr ? test->FindValue("Counter") : nullptr;
                    return counter != nullptr && counter->number > last;
                } catch (const std::exception&) {
                    return false; // no hive saved yet
                }
            },
            std::chrono::seconds(60)));
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
        writer.Kill(SIGKILL);
        ASSERT_TRUE(writer.Wait().has_value());

        const auto stored = LoadFromFile(Hive::CurrentUser); // throws when half-written
        const auto* key = stored.FindSubKey("Software")
                              ->FindSubKey("Brimwald")
                              ->FindSubKey("Tolvar")
                              ->FindSubKey("Test");
        ASSERT_NE(key, nullptr);
        const auto* counter = key->FindValue("Counter");
        const std::uint32_t n = counter ? counter->number : 0;
        EXPECT_GE(n, last);
        last = n;
        if (const auto* blob = key->FindValue("Blob")) {
            ASSERT_EQ(blob->data.size(), 24000u);
            // The blob is the counter's or the next one's (saved first).
            const auto first = static_cast<std::uint8_t>(blob->data[0]);
            EXPECT_TRUE(first == static_cast<std::uint8_t>(n * 31) ||
                        first == static_cast<std::uint8_t>((n + 1) * 31));
            for (size_t i = 0; i < blob->data.size(); ++i) {
                ASSERT_EQ(static_cast<std::uint8_t>(blob->data[i]),
                          static_cast<std::uint8_t>(first + i));
            }
        }
    }
    EXPECT_GT(last, 0u);
    // The next save clears what killed saves left behind.
    OpenWritable(Hive::CurrentUser).WriteInteger("Done", 1);
    const std::string folder = platform::ParentFolder(platform::UserHivePath());
    std::vector<std::string> files;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                files.push_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"user.reg", "user.reg.lock"}));
}

} // namespace

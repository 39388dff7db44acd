#include "common/cache.h"
#include "platform/fileio.h"
#include "support/process.h"
#include "support/temphome.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using tolvar::test::AsNobody;

using tolvar::test::TempFolder;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;

// One entry as the tests compare it.
struct Row {
    std::string file;
    std::string serial;
    std::string uri;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << '"' << r.file << '|' << r.serial << '|' << r.uri << '"';
}

std::vector<Row> Rows(const CC& cc) {
    std::vector<Row> rows;
    for (const auto& e : cc.entries.Lock()) {
        rows.push_back({e->file, e->serial, e->uri});
    }
    return rows;
}

void AddRows(CC& cc, const std::vector<Row>& rows) {
    for (const auto& r : rows) {
        auto e = std::make_unique<CCObject>();
        e->uri = r.uri;
        e->file = r.file;
        e->serial = r.serial;
        cc.entries.Add(std::move(e));
    }
}

// ---- the "cache.dir" text ----

struct LinesCase {
    const char* name;
    std::string text;
    std::vector<Row> rows;
};

TEST(CacheDir, LinesTable) {
    using namespace std::string_literals;
    const LinesCase cases[] = {
        {"plain line", "a.xml|1|k\r\n", {{"a.xml", "1", "k"}}},
        {"last line without end", "a.xml|1|k", {{"a.xml", "1", "k"}}},
        {"one bar only", "a.xml|1\r\n", {}},
        {"no bar", "a.xml\r\n", {}},
        {"empty line", "\r\n", {}},
        {"empty file", "", {}},
        {"key holds bars", "a.xml|1|k|x\r\n", {{"a.xml", "1", "k|x"}}},
        {"empty file name", "|1|k\r\n", {{"", "1", "k"}}},
        {"all fields empty", "||\r\n", {{"", "", ""}}},
        {"blanks are kept", " a.xml | 1 | k \r\n", {{" a.xml ", " 1 ", " k "}}},
        {"UTF-8 kept as it is",
         "\xc3\xa4.xml|\xc3\x9f|#brimwald:///\xe2\x82\xac\r\n",
         {{"\xc3\xa4.xml", "\xc3\x9f", "#brimwald:///\xe2\x82\xac"}}},
        {"two equal lines give one", "a.xml|1|k\r\na.xml|1|k\r\n", {{"a.xml", "1", "k"}}},
        {"equal pair, other file", "a.xml|1|k\r\nb.xml|1|k\r\n", {{"a.xml", "1", "k"}}},
        {"empty serial after a held key", "a.xml|1|k\r\nb.xml||k\r\n", {{"a.xml", "1", "k"}}},
        {"empty serial first",
         "b.xml||k\r\na.xml|1|k\r\n",
         {{"b.xml", "", "k"}, {"a.xml", "1", "k"}}},
        {"empty serial of another key",
         "a.xml|1|k\r\nb.xml||j\r\n",
         {{"a.xml", "1", "k"}, {"b.xml", "", "j"}}},
        {"lone LF, lone CR, CR LF",
         "a|1|k\nb|2|k\rc|3|k\r\nd|4|k",
         {{"a", "1", "k"}, {"b", "2", "k"}, {"c", "3", "k"}, {"d", "4", "k"}}},
        {"CR CR LF is two line ends", "a|1|k\r\r\nb|2|k\r\n", {{"a", "1", "k"}, {"b", "2", "k"}}},
        {"LF CR is two line ends", "a|1|k\n\rb|2|k", {{"a", "1", "k"}, {"b", "2", "k"}}},
        {"NUL ends the text", "a|1|k\0b|2|k\r\n"s, {{"a", "1", "k"}}},
        {"NUL after a line end", "a|1|k\r\n\0b|2|k\r\n"s, {{"a", "1", "k"}}},
        {"NUL first", "\0a|1|k\r\n"s, {}},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        WriteFile(dir.Path() + "/cache.dir", c.text);
        CC cc(dir.Path());
        cc.Load();
        EXPECT_EQ(Rows(cc), c.rows) << c.name;
    }
}

TEST(CacheDir, MissingFileAddsNothing) {
    TempFolder dir;
    CC cc(dir.Path());
    AddRows(cc, {{"a", "1", "k"}});
    EXPECT_NO_THROW(cc.Load());
    EXPECT_EQ(Rows(cc), (std::vector<Row>{{"a", "1", "k"}}));
    CC nowhere(dir.Path() + "/no/such/folder");
    EXPECT_NO_THROW(nowhere.Load());
    EXPECT_EQ(nowhere.entries.Count(), 0u);
}

TEST(CacheDir, LoadAddsOnlyWhatTheIndexDoesNotHold) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\nb|2|k\r\nc||j\r\n");
    CC cc(dir.Path());
    AddRows(cc, {{"x", "2", "k"}, {"y", "5", "j"}});
    cc.Load();
    cc.Load();
    // (k, 2) is held already; c has an empty serial and j is held, so it is skipped too.
    EXPECT_EQ(Rows(cc), (std::vector<Row>{{"x", "2", "k"}, {"y", "5", "j"}, {"a", "1", "k"}}));
}

// ---- look-ups ----

struct LatestCase {
    const char* name;
    std::vector<std::string> serials; // entries of key k, in list order
    int expected;                     // index into serials, -1 for none
};

TEST(CacheLookup, FindLatestTable) {
    const LatestCase cases[] = {
        {"9 is newer than 10", {"9", "10"}, 0},
        {"10 then 9", {"10", "9"}, 1},
        {"a serial wins over none", {"", "1"}, 1},
        {"a serial wins over a later none", {"1", ""}, 0},
        {"of two without serial the later", {"", ""}, 1},
        {"of two equal serials the earlier", {"5", "5"}, 0},
        {"an extension is newer", {"2004a", "2004"}, 0},
        {"B is older than a", {"B", "a"}, 1},
        {"bytes compare unsigned", {"\xc3\xa9", "z"}, 0},
        {"greatest in the middle", {"1", "3", "2"}, 1},
        {"no entry", {}, -1},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        CC cc(dir.Path());
        std::vector<CCObject*> added;
        for (size_t i = 0; i < c.serials.size(); ++i) {
            // Entries of another key between them must not count.
            cc.entries.Add(std::make_unique<CCObject>(CCObject{"other", "o.xml", "zzz"}));
            added.push_back(cc.entries.Add(std::make_unique<CCObject>(
                CCObject{"k", std::string("f").append(std::to_string(i)), c.serials[i]})));
        }
        CCObject* expected = c.expected < 0 ? nullptr : added[static_cast<size_t>(c.expected)];
        EXPECT_EQ(cc.FindLatest("k"), expected) << c.name;
        EXPECT_EQ(cc.Find("k", ""), expected) << c.name;
        EXPECT_EQ(cc.FindLatest("K"), nullptr) << c.name;
    }
}

TEST(CacheLookup, FindMatchesKeyAndSerialExactly) {
    TempFolder dir;
    CC cc(dir.Path());
    AddRows(cc, {{"a", "7", "k"}, {"b", "7", "j"}, {"c", "7", "k"}, {"d", "7 ", "k"}});
    auto locked = cc.entries.Lock();
    EXPECT_EQ(cc.Find("k", "7"), (*locked)[2].get()) << "the later of two equal pairs";
    EXPECT_EQ(cc.Find("j", "7"), (*locked)[1].get());
    EXPECT_EQ(cc.Find("k", "7 "), (*locked)[3].get());
    EXPECT_EQ(cc.Find("k", "8"), nullptr);
    EXPECT_EQ(cc.Find("k ", "7"), nullptr);
    EXPECT_EQ(cc.Find("x", ""), nullptr);
}

TEST(CacheLookup, ListSerialsInTheOrderOfFindLatest) {
    TempFolder dir;
    CC cc(dir.Path());
    EXPECT_FALSE(cc.ListSerials("k").has_value());
    AddRows(cc, {{"1", "b", "k"}, {"2", "a", "k"}, {"3", "A", "k"}, {"4", "x", "j"}});
    EXPECT_EQ(cc.ListSerials("k"), (std::vector<std::string>{"A", "a", "b"}));

    const std::vector<std::vector<std::string>> sets = {
        {"10", "9", "9"},        {"2004", "2004a", "2004"}, {"", "1", ""},
        {"B", "a", "b", "A"},    {"\xc3\xa9", "z", "e"},    {"", ""},
        {"20041201", "20041130"}};
    for (const auto& serials : sets) {
        CC one(dir.Path());
        for (const auto& s : serials) {
            AddRows(one, {{"f", s, "k"}});
        }
        auto list = one.ListSerials("k");
        ASSERT_TRUE(list.has_value());
        EXPECT_TRUE(std::is_sorted(list->begin(), list->end()));
        EXPECT_EQ(std::adjacent_find(list->begin(), list->end()), list->end()) << "duplicates";
        EXPECT_EQ(list->back(), one.FindLatest("k")->serial) << "the last is the newest";
    }
}

TEST(CacheLookup, LockIsReentrant) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\n");
    CC cc(dir.Path());
    auto locked = cc.entries.Lock();
    cc.Load();
    EXPECT_NE(cc.FindLatest("k"), nullptr);
    EXPECT_TRUE(cc.ListSerials("k").has_value());
    cc.entries.Add(std::make_unique<CCObject>(CCObject{"j", "b", "2"}));
    EXPECT_EQ(locked->size(), 2u);
}

TEST(CacheLookup, EveryOperationReleasesTheLock) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\nb|2|k\r\n");
    CC cc(dir.Path());
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"Load", [&] { cc.Load(); }},
        {"FindLatest", [&] { cc.FindLatest("k"); }},
        {"Find", [&] { cc.Find("k", "1"); }},
        {"Find empty serial", [&] { cc.Find("k", ""); }},
        {"ListSerials", [&] { cc.ListSerials("k"); }},
        {"Save", [&] { cc.Save(); }},
        {"Remove", [&] { cc.Remove("k", "2"); }},
        {"RemoveFile", [&] { cc.RemoveFile("a"); }},
        {"Add", [&] { cc.entries.Add(std::make_unique<CCObject>()); }},
    };
    for (const auto& [name, operation] : operations) {
        operation();
        bool taken = false;
        std::thread other([&] { taken = cc.entries.TryLock().has_value(); });
        other.join();
        EXPECT_TRUE(taken) << name;
    }
}

// ---- saving ----

TEST(CacheSave, RoundTrip) {
    TempFolder dir;
    const std::vector<Row> rows = {
        {"{A}.xml", "20041201", "#brimwald:///feeds/content.php"},
        {"", "", ""},
        {" b.gif ", " 2 ", "k|with|bars "},
        {"\xc3\xa4.jpg", "", "#brimwald:///images/\xe2\x82\xac"},
        {"{A}.xml", "20041201", "#brimwald:///feeds/content.php"}, // a writer's repeat
    };
    CC cc(dir.Path());
    AddRows(cc, rows);
    cc.Save();
    EXPECT_EQ(platform::ReadFile(cc.IndexPath()).value(),
              "{A}.xml|20041201|#brimwald:///feeds/content.php\r\n"
              "||\r\n"
              " b.gif | 2 |k|with|bars \r\n"
              "\xc3\xa4.jpg||#brimwald:///images/\xe2\x82\xac\r\n"
              "{A}.xml|20041201|#brimwald:///feeds/content.php\r\n");
    CC again(dir.Path());
    again.Load();
    // The repeated pair is dropped by the reader's duplicate rule, nothing else changes.
    EXPECT_EQ(Rows(again), std::vector<Row>(rows.begin(), rows.end() - 1));
}

TEST(CacheSave, EmptyIndexWritesZeroBytesAndNeverMerges) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\n");
    CC empty(dir.Path());
    empty.Save();
    EXPECT_EQ(platform::ReadFile(empty.IndexPath()).value(), "");
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\n");
    CC other(dir.Path());
    AddRows(other, {{"b", "2", "j"}});
    other.Save();
    EXPECT_EQ(platform::ReadFile(other.IndexPath()).value(), "b|2|j\r\n");
}

TEST(CacheSave, HoldsAnExclusiveLockBesideTheIndex) {
    TempFolder dir;
    const std::string lockPath = dir.Path() + "/cache.dir.lock";
    CC cc(dir.Path());
    AddRows(cc, {{"a", "1", "k"}});
    {
        auto held = platform::FileLock::Acquire(lockPath, platform::FileLock::Mode::Shared);
        std::atomic<bool> done{false};
        std::thread saver([&] {
            cc.Save();
            done = true;
        });
        // While another holder has the lock, the index is not replaced.
        EXPECT_FALSE(WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(300)));
        EXPECT_FALSE(platform::FileExists(cc.IndexPath()));
        held.Release();
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
        saver.join();
    }
    EXPECT_EQ(platform::ReadFile(cc.IndexPath()).value(), "a|1|k\r\n");
    EXPECT_FALSE(platform::FileLock::IsHeld(lockPath)) << "released after the save";
}

// Writers that add through Update keep each other's entries, however their saves
// interleave, and what the index held before the reload stays in it.
TEST(CacheUpdate, WritersKeepEachOthersEntries) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "seed|1|k\r\n");
    CC first(dir.Path());
    CC second(dir.Path());
    first.Load();
    second.Load();
    first.Update([&] { AddRows(first, {{"a", "1", "ka"}}); });
    second.Update([&] { AddRows(second, {{"b", "1", "kb"}}); });
    EXPECT_EQ(platform::ReadFile(second.IndexPath()).value(), "seed|1|k\r\na|1|ka\r\nb|1|kb\r\n");
    // The other writer's entry is visible to a later look-up in the first index too.
    first.Update({});
    EXPECT_NE(first.Find("kb", "1"), nullptr);

    // Many writers at once, threads of one process as well as separate indexes.
    constexpr int kWriters = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&dir, w] {
            CC cc(dir.Path());
            for (int r = 0; r < kRounds; ++r) {
                cc.Update([&] {
                    const std::string id = std::to_string(w) + "-" + std::to_string(r);
                    AddRows(cc, {{"f" + id, "1", "k" + id}});
                });
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    CC all(dir.Path());
    all.Load();
    for (int w = 0; w < kWriters; ++w) {
        for (int r = 0; r < kRounds; ++r) {
            const std::string id = std::to_string(w) + "-" + std::to_string(r);
            EXPECT_NE(all.Find("k" + id, "1"), nullptr) << id;
        }
    }
    EXPECT_EQ(all.entries.Count(), 3u + kWriters * kRounds);
}

// A removal inside Update acts on the reloaded list, so it is saved and not undone.
TEST(CacheUpdate, RemovalInsideUpdateIsSaved) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\nb|2|k\r\n");
    WriteFile(dir.Path() + "/a", "x");
    CC cc(dir.Path());
    cc.Update([&] { cc.Remove("k", "1"); });
    EXPECT_EQ(platform::ReadFile(cc.IndexPath()).value(), "b|2|k\r\n");
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/a"));
}

TEST(CacheUpdate, RemovedFilesGoOnlyOnceTheIndexWithoutThemIsSaved) {
    struct Case {
        const char* name;
        bool changeThrows;
    };
    for (const Case& c : {Case{"saved", false}, Case{"change throws after the removal", true}}) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        // "s" is named by an old and a kept version; only "a" may go.
        WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\ns|1|pic\r\nb|2|k\r\ns|2|pic\r\n");
        for (const char* f : {"a", "b", "s"}) {
            WriteFile(dir.Path() + "/" + f, "x");
        }
        CC cc(dir.Path());
        bool stillThere = false;
        auto change = [&] {
            cc.Remove("k", "1");
            cc.Remove("pic", "1");
            // A kill now would leave the saved index naming "a": it must still be there.
            stillThere = platform::FileExists(dir.Path() + "/a");
            if (c.changeThrows) {
                throw std::runtime_error("refused");
            }
        };
        if (c.changeThrows) {
            EXPECT_THROW(cc.Update(change), std::runtime_error);
        } else {
            cc.Update(change);
        }
        EXPECT_TRUE(stillThere);
        const std::string index = platform::ReadFile(cc.IndexPath()).value();
        if (c.changeThrows) {
            EXPECT_EQ(index, "a|1|k\r\ns|1|pic\r\nb|2|k\r\ns|2|pic\r\n");
            EXPECT_TRUE(platform::FileExists(dir.Path() + "/a"));
        } else {
            EXPECT_EQ(index, "b|2|k\r\ns|2|pic\r\n");
            EXPECT_FALSE(platform::FileExists(dir.Path() + "/a"));
        }
        EXPECT_TRUE(platform::FileExists(dir.Path() + "/s")) << "still named";
        EXPECT_TRUE(platform::FileExists(dir.Path() + "/b"));
    }
}

TEST(CacheUpdate, ChangeThatChangesNothingWritesNothing) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a|1|k\r\n");
    struct stat before {};
    ASSERT_EQ(::stat((dir.Path() + "/cache.dir").c_str(), &before), 0);
    CC cc(dir.Path());
    cc.Update([&] { cc.Remove("k", "7"); }); // matches nothing
    cc.Update({});
    struct stat after {};
    ASSERT_EQ(::stat((dir.Path() + "/cache.dir").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "not replaced";
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    // A real change is written.
    cc.Update([&] { AddRows(cc, {{"b", "2", "k"}}); });
    EXPECT_EQ(platform::ReadFile(cc.IndexPath()).value(), "a|1|k\r\nb|2|k\r\n");
}

// ---- orphans ----

TEST(CacheOrphans, OnlyAWriterAloneRemovesWhatNoEntryNames) {
    TempFolder dir;
    const std::string& f = dir.Path();
    WriteFile(f + "/cache.dir", "named.xml|1|k\r\n");
    WriteFile(f + "/named.xml", "x");
    ASSERT_TRUE(platform::MakeFolders(f + "/sub"));
    auto names = [&] {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(f.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != ".." && n != "cache.dir.lock" && n != "cache.dir.writers") {
                    out.push_back(n);
                }
            }
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    {
        // Another writer at work (here: of this process, its lock is as good): nothing goes.
        const CacheWriterClaim running(f);
        ASSERT_TRUE(running.Held());
        for (const char* name : {"orphan.jpg", "x{1}.tmp", "{2}.tmp.tmp0badf00d",
                                 "cache.dir.tmp12345678", "late.jpg"}) {
            WriteFile(f + "/" + name, "x");
        }
        const CacheWriterClaim second(f);
        EXPECT_TRUE(second.Held());
        EXPECT_EQ(second.Removed(), 0u);
        EXPECT_TRUE(platform::FileExists(f + "/late.jpg"));
    }
    const CacheWriterClaim alone(f);
    EXPECT_EQ(alone.Removed(), 4u); // the index's own temporary goes uncounted
    EXPECT_EQ(names(), (std::vector<std::string>{"cache.dir", "named.xml", "sub"}));
}

TEST(CacheOrphans, UnreadableIndexRemovesNothing) {
    TempFolder dir;
    ::mkdir((dir.Path() + "/cache.dir").c_str(), 0755);
    WriteFile(dir.Path() + "/maybe.jpg", "x");
    EXPECT_THROW(RemoveOrphanFiles(dir.Path()), platform::FileError);
    const CacheWriterClaim claim(dir.Path());
    EXPECT_EQ(claim.Removed(), 0u);
    EXPECT_TRUE(platform::FileExists(dir.Path() + "/maybe.jpg"));
}

TEST(CacheUpdate, FailuresLeaveTheFileAsItWas) {
    struct Case {
        const char* name;
        bool indexIsFolder; // the index exists and cannot be read
        bool changeThrows;
    };
    const Case cases[] = {
        {"unreadable index", true, false},
        {"change throws", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        if (c.indexIsFolder) {
            ::mkdir((dir.Path() + "/cache.dir").c_str(), 0755);
        } else {
            WriteFile(dir.Path() + "/cache.dir", "old|1|k\r\n");
        }
        CC cc(dir.Path());
        bool ran = false;
        auto change = [&] {
            ran = true;
            AddRows(cc, {{"new", "2", "k"}});
            if (c.changeThrows) {
                throw std::runtime_error("refused");
            }
        };
        if (c.indexIsFolder) {
            EXPECT_THROW(cc.Update(change), platform::FileError);
            EXPECT_FALSE(ran) << "nothing is changed against an index that was not read";
            EXPECT_TRUE(platform::FolderExists(dir.Path() + "/cache.dir"));
        } else {
            EXPECT_THROW(cc.Update(change), std::runtime_error);
            EXPECT_EQ(platform::ReadFile(cc.IndexPath()).value(), "old|1|k\r\n");
        }
        EXPECT_FALSE(platform::FileLock::IsHeld(dir.Path() + "/cache.dir.lock"));
    }
}

// ---- errors ----

TEST(CacheErrors, UnreadableIndexThrowsAndKeepsTheEntries) {
    TempFolder dir;
    ::mkdir((dir.Path() + "/cache.dir").c_str(), 0755);
    CC cc(dir.Path());
    AddRows(cc, {{"a", "1", "k"}});
    EXPECT_THROW(cc.Load(), platform::FileError);
    EXPECT_EQ(Rows(cc), (std::vector<Row>{{"a", "1", "k"}}));
}

TEST(CacheErrors, IndexWithoutReadRights) {
    TempFolder dir;
    ::chmod(dir.Path().c_str(), 0755);
    WriteFile(dir.Path() + "/cache.dir", "b|2|k\r\n");
    ::chmod((dir.Path() + "/cache.dir").c_str(), 0600);
    const int status = AsNobody([&] {
        CC cc(dir.Path());
        AddRows(cc, {{"a", "1", "k"}});
        try {
            cc.Load();
            return 1;
        } catch (const platform::FileError& e) {
            if (e.Code() != EACCES) {
                return 2;
            }
        }
        return Rows(cc) == std::vector<Row>{{"a", "1", "k"}} ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

TEST(CacheErrors, UnwritableIndexThrowsAndKeepsTheOldFile) {
    TempFolder dir;
    ::chmod(dir.Path().c_str(), 0755);
    WriteFile(dir.Path() + "/cache.dir", "old|1|k\r\n");
    // The lock file may exist and be readable; the index itself must not be writable.
    WriteFile(dir.Path() + "/cache.dir.lock", "");
    ::chmod((dir.Path() + "/cache.dir.lock").c_str(), 0644);
    const int status = AsNobody([&] {
        CC cc(dir.Path());
        AddRows(cc, {{"new", "2", "k"}});
        try {
            cc.Save();
            return 1;
        } catch (const platform::FileError& e) {
            return e.Code() == EACCES ? 0 : 2;
        }
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(platform::ReadFile(dir.Path() + "/cache.dir").value(), "old|1|k\r\n");

    CC nowhere(dir.Path() + "/missing");
    AddRows(nowhere, {{"new", "2", "k"}});
    EXPECT_THROW(nowhere.Save(), platform::FileError);
}

// ---- removal ----

TEST(CacheRemove, RemovesMatchingEntriesAndTheirFiles) {
    TempFolder dir;
    for (const char* name : {"a", "b", "c", "d"}) {
        WriteFile(dir.Path() + "/" + name, name);
    }
    CC cc(dir.Path());
    AddRows(cc, {{"a", "1", "k"}, {"b", "", "k"}, {"c", "1", "j"}, {"d", "", "k"}});

    EXPECT_TRUE(cc.Remove("k", ""));
    EXPECT_EQ(Rows(cc), (std::vector<Row>{{"a", "1", "k"}, {"c", "1", "j"}}))
        << "an empty serial matches only an empty serial";
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/b"));
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/d"));
    EXPECT_TRUE(platform::FileExists(dir.Path() + "/a"));

    EXPECT_TRUE(cc.Remove("k", "9")) << "true also when nothing matched";
    EXPECT_TRUE(cc.Remove("x", ""));
    EXPECT_EQ(cc.entries.Count(), 2u);

    EXPECT_TRUE(cc.Remove("k", "1")) << "a file that is gone already is no error";
    platform::RemoveFile(dir.Path() + "/c");
    EXPECT_TRUE(cc.Remove("j", "1"));
    EXPECT_EQ(cc.entries.Count(), 0u);
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/a"));
}

TEST(CacheRemove, RemoveFileDropsEveryEntryNamingTheFile) {
    TempFolder dir;
    WriteFile(dir.Path() + "/shared.gif", "x");
    WriteFile(dir.Path() + "/other.gif", "y");
    CC cc(dir.Path());
    AddRows(cc, {{"shared.gif", "1", "k"}, {"other.gif", "1", "k"}, {"shared.gif", "2", "j"}});
    EXPECT_TRUE(cc.RemoveFile("shared.gif"));
    EXPECT_EQ(Rows(cc), (std::vector<Row>{{"other.gif", "1", "k"}}));
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/shared.gif"));
    EXPECT_TRUE(platform::FileExists(dir.Path() + "/other.gif"));
    EXPECT_TRUE(cc.RemoveFile("missing.gif"));
    EXPECT_EQ(cc.entries.Count(), 1u);
}

TEST(CacheRemove, NamesThatReachOutsideTheFolderDeleteNothing) {
    using namespace std::string_literals;
    TempFolder root;
    const std::string cache = root.Path() + "/cache";
    ASSERT_TRUE(platform::MakeFolders(cache + "/a"));
    ASSERT_TRUE(platform::MakeFolders(cache + "/sub"));
    const std::vector<std::string> survivors = {
        root.Path() + "/x", cache + "/a/b", cache + "/sub/x",     cache + "/sub\\x",
        cache + "/x",       cache + "/..x", cache + "/cache.dir", cache + "/cache.dir.lock"};
    const std::string names[] = {
        "",          "../x", "a/b",       "sub\\x",        "..", "..x", "/" + root.Path() + "/x",
        "x\0/../x"s, ".",    "cache.dir", "cache.dir.lock"};
    for (const bool byFile : {false, true}) {
        for (const auto& name : names) {
            for (const auto& path : survivors) {
                WriteFile(path, "keep");
            }
            CC cc(cache);
            AddRows(cc, {{name, "1", "k"}, {"x", "2", "j"}});
            if (byFile) {
                EXPECT_TRUE(cc.RemoveFile(name));
            } else {
                EXPECT_TRUE(cc.Remove("k", "1"));
            }
            EXPECT_EQ(Rows(cc), (std::vector<Row>{{"x", "2", "j"}})) << "entry dropped";
            for (const auto& path : survivors) {
                EXPECT_TRUE(platform::FileExists(path)) << path << " after removing " << name;
            }
            EXPECT_TRUE(platform::FolderExists(cache));
        }
    }
}

// ---- from an entry to its file ----

TEST(CachePath, OnlyPlainNamesInsideTheFolderHaveAFile) {
    using namespace std::string_literals;
    struct Case {
        std::string file;
        bool plain;
    };
    const Case cases[] = {
        {"{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}.xml", true},
        {"a.gif", true},
        {" a.gif", true}, // blanks belong to the name
        {"a.b.c", true},
        {"cache", true},
        {"", false},
        {".", false},
        {"..", false},
        {"..x", false},
        {"a..b.gif", false},
        {"../x", false},
        {"a/b", false},
        {"/etc/passwd", false},
        {"sub\\x", false},
        {"x\0/../x"s, false},
        {"cache.dir", false},
        {"cache.dir.lock", false},
        {"cache.dir.tmp123", false},
    };
    const CC cc("/var/cache/t");
    for (const Case& c : cases) {
        EXPECT_EQ(IsPlainCacheFileName(c.file), c.plain) << '"' << c.file << '"';
        CCObject entry;
        entry.file = c.file;
        const std::optional<std::string> path = cc.PathOf(entry);
        if (c.plain) {
            EXPECT_EQ(path, "/var/cache/t/" + c.file);
        } else {
            EXPECT_EQ(path, std::nullopt) << '"' << c.file << '"';
        }
    }
}

TEST(CachePath, NewestFileFollowsFindLatest) {
    CC cc("/c");
    AddRows(cc, {{"old.xml", "1", "k"},
                 {"new.xml", "2", "k"},
                 {"../up.xml", "9", "bad"},
                 {"plain.xml", "1", "bad"},
                 {"none.gif", "", "n"}});
    struct Case {
        std::string key;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"k", "/c/new.xml"},
        {"n", "/c/none.gif"},
        // The newest entry names no plain file: the key has no file, not an older one.
        {"bad", std::nullopt},
        {"missing", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cc.NewestFile(c.key), c.path) << c.key;
    }
}

// ---- a writer killed at random moments ----

TEST(CacheCrash, KilledWriterLeavesOldOrNewIndex) {
    TempFolder root;
    const std::string target = root.Path() + "/cache";
    const std::string contents[2] = {root.Path() + "/old", root.Path() + "/new"};
    std::vector<Row> expected[2];
    for (int v = 0; v < 2; ++v) {
        ASSERT_TRUE(platform::MakeFolders(contents[v]));
        CC cc(contents[v]);
        // Different sizes, so a cut-off or mixed file cannot pass for either.
        for (int i = 0; i < (v == 0 ? 300 : 170); ++i) {
            const std::string n = std::to_string(i);
            AddRows(cc,
                    {{std::string("{").append(n).append(v == 0 ? "-old}.xml" : "-new}.xml"),
                      std::to_string(v * 1000 + i), std::string("#brimwald:///feeds/").append(n)}});
        }
        cc.Save();
        expected[v] = Rows(cc);
    }
    ASSERT_TRUE(platform::MakeFolders(target));

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> pause(0, 4000);
    int seen[2] = {0, 0};
    for (int run = 0; run < 60; ++run) {
        tolvar::test::Child writer(tolvar::test::HelperPath("cachewriter_helper"),
                                   {target, contents[0], contents[1]}, true);
        ASSERT_EQ(writer.ReadLine(std::chrono::seconds(30)), "saved");
        // A random moment inside the writer's save loop.
        std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
        writer.Kill(SIGKILL);
        ASSERT_EQ(writer.ExitCode(), -SIGKILL);

        CC cc(target);
        cc.Load();
        const auto rows = Rows(cc);
        const bool isOld = rows == expected[0];
        const bool isNew = rows == expected[1];
        ASSERT_TRUE(isOld || isNew) << "run " << run << ": " << rows.size() << " entries";
        ++seen[isOld ? 0 : 1];
    }
    RecordProperty("old", seen[0]);
    RecordProperty("new", seen[1]);
    // The next save clears what the killed writers left half-written.
    CC cc(target);
    cc.Load();
    cc.Save();
    DIR* dir = ::opendir(target.c_str());
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"cache.dir", "cache.dir.lock"}));
}

} // namespace

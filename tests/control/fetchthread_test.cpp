#include "contenthost.h"
#include "control/cachewriteaccess.h"
#include "control/fetchthread.h"
#include "support/process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using tolvar::test::ContentTest;
using tolvar::test::ControlFile;
using tolvar::test::ControlParams;
using tolvar::test::DataPath;
using tolvar::test::Feed;
using tolvar::test::Fixture;
using tolvar::test::HttpServerResponse;
using tolvar::test::kChannelC3;
using tolvar::test::Picture;
using tolvar::test::ServeCycleContent;
using tolvar::test::WaitUntil;

class FetchThreadTest : public ContentTest {
protected:
    void SetUp() override {
        ContentTest::SetUp();
        // The main form sets the scheme and key at start; the cycle finds its hosts itself.
        HttpGetter::SetHostList({});
        subscriptions = GetAppDataDir() + "/subscriptions.dir";
        thread = std::make_unique<TFetchThread>(
            [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            [this] { ++changedMessages; });
    }

    // The content of a first cycle: control file, layout with its pictures, two
    // subscribed channels with icon, feed and item pictures, and an unsubscribed one.
    void ServeContent(const ControlParams& params = {}) { ServeCycleContent(hostA, params); }
    // The control file that an earlier run (or the provider's seeding) left in the cache.
    void SeedControl(const ControlParams& params, const std::string& serial = "2025-12-31") {
        Seed(GetControlFileKey(), serial, ControlFile(params), "seed-control.xml");
    }

    void RunCycle(bool thumbs = true, int timeoutSeconds = 5) {
        {
            std::lock_guard lock(mutex);
            lines.clear();
        }
        changedMessages = 0;
        hostA.ResetCounts();
        thread->FetchThumbs = thumbs;
        thread->TimeoutSeconds = timeoutSeconds;
        // A short cycle may be over before Busy could be looked at here; that Busy holds
        // from the wake-up on is shown with a stalled host.
        ASSERT_TRUE(thread->Resume());
        ASSERT_TRUE(WaitUntil([&] { return !thread->Busy.load(); }, 120s));
    }

    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
    bool Logged(const std::string& line) {
        const auto all = Lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    // The position of a line in the log; -1 when missing.
    int IndexOf(const std::string& line) {
        const auto all = Lines();
        const auto it = std::find(all.begin(), all.end(), line);
        return it == all.end() ? -1 : static_cast<int>(it - all.begin());
    }
    int GetRequests() {
        int n = 0;
        for (const auto& r : hostA.Requests()) {
            n += r.method == "GET";
        }
        return n;
    }

    std::string subscriptions;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<int> changedMessages{0};
    std::unique_ptr<TFetchThread> thread; // destroyed before the hosts
};

TEST_F(FetchThreadTest, EmptyCacheEndsAtOnce) {
    ServeContent();
    RunCycle();
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "Synchronization started width key=[k1]",
                           "Timeout value = 5s",
                           "Fetching Control file...",
                           "Error fetching the control file (CO missing).",
                       }));
    EXPECT_EQ(hostA.Total(), 0);
    EXPECT_EQ(changedMessages.load(), 0);
    EXPECT_EQ(CacheWriteAccess::CurrentCache.load(), nullptr);
}

TEST_F(FetchThreadTest, ControlFileWithoutHostsEndsTheCycle) {
    ControlParams params;
    params.hosts.clear();
    SeedControl(params);
    RunCycle();
    EXPECT_EQ(Lines().back(), "No Brimwald hosts found in control file [seed-control.xml].");
    EXPECT_TRUE(Logged("Error fetching the control file."));
    EXPECT_EQ(hostA.Total(), 0);
}

TEST_F(FetchThreadTest, UnreadableCachedControlFileEndsTheCycle) {
    const struct {
        const char* name;
        const char* bytes; // nullptr: the entry names a file that is gone
    } cases[] = {
        {"file gone", nullptr},
        {"not a document", "<content time=\"1\"><hosts>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        thread.reset();
        TearDown();
        tolvar::test::RemoveTree(GetAppDataDir());
        SetUp();
        ServeContent();
        Seed(GetControlFileKey(), "2025-12-31", c.bytes != nullptr ? c.bytes : "",
             "seed-control.xml");
        if (c.bytes == nullptr) {
            platform::RemoveFile(cacheDir + "/seed-control.xml");
        }
        RunCycle();
        EXPECT_EQ(Lines().back(), "Error fetching the control file (Load failed).");
        EXPECT_EQ(Lines().size(), 4u);
        EXPECT_EQ(hostA.Total(), 0);
        EXPECT_EQ(changedMessages.load(), 0);
    }
}

// From a cache that holds only a control file to a full cache, then a cycle that finds
// everything cached.
TEST_F(FetchThreadTest, FirstCycleFillsTheCacheAndTheSecondFindsNothingNew) {
    SeedControl({});
    ServeContent();
    RunCycle();
    const auto log = Lines();
    // The lines of the steps themselves (the detail lines begin with blanks), in order.
    std::vector<std::string> steps;
    std::copy_if(log.begin(), log.end(), std::back_inserter(steps),
                 [](const std::string& line) { return !line.starts_with(" "); });
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "Synchronization started width key=[k1]",
                         "Timeout value = 5s",
                         "Fetching Control file...",
                         "Control file and subscriptions loaded [2026-01-01]",
                         "Brimwald working host set to host-a",
                         "Fetching Layout basics...",
                         "LAYOUT: p : 1 : #brimwald:///layouts/p.xml  -  - Fetched.",
                         "Fetching subscribed channels:",
                         "CHANNEL(c1): One [#brimwald:///feeds/c1.xml]",
                         "CHANNEL(c2): Two [#brimwald:///feeds/c2.xml]",
                         "Fetching Layout remainders...",
                         "Synchronization finished.",
                         "You have 4 new messages.",
                     }));
    EXPECT_TRUE(Logged("Control file and subscriptions loaded [2026-01-01]"));
    EXPECT_TRUE(Logged("Brimwald working host set to host-a"));
    EXPECT_TRUE(Logged("LAYOUT: p : 1 : #brimwald:///layouts/p.xml  -  - Fetched."));
    EXPECT_TRUE(Logged("CHANNEL(c1): One [#brimwald:///feeds/c1.xml]"));
    EXPECT_TRUE(Logged("   Icon : Serial=1, URI=#brimwald:///icons/c1.gif"));
    EXPECT_TRUE(Logged("   Icon : Serial=1, URI=#brimwald:///icons/c1.gif  --> Fetched."));
    EXPECT_TRUE(Logged("   Feed(c2): Serial=1, URI=#brimwald:///feeds/c2.xml  --> Fetched."));
    EXPECT_FALSE(Logged("CHANNEL(c3): Three [#brimwald:///feeds/c3.xml]")) << "not subscribed";
    EXPECT_EQ(log.back(), "You have 4 new messages.");
    // Pictures of 1024 x 768 screens come with the basics, the others with the remainders.
    const int basics = IndexOf("Fetching Layout basics...");
    const int remainders = IndexOf("Fetching Layout remainders...");
    const int bg1024 = IndexOf("   Background : 1 : #brimwald:///images/p/bg1024.jpg  - ");
    const int bg800 = IndexOf("   Background : 1 : #brimwald:///images/p/bg800.jpg  - ");
    EXPECT_TRUE(basics >= 0 && basics < bg1024 && bg1024 < remainders && remainders < bg800);
    EXPECT_TRUE(Logged("   SplashScreen : 1 : #brimwald:///images/p/splash.jpg  - "));
    EXPECT_TRUE(Logged("   Btn(hover) : 1 : #brimwald:///images/p/quit_h.gif  - "));

    EXPECT_EQ(changedMessages.load(), 1);
    EXPECT_TRUE(thread->GotNews.load());
    EXPECT_TRUE(thread->GotMandatoryNews.load());
    EXPECT_EQ(hostA.Count("/feeds/c3.xml"), 0);
    for (const char* path : {"/images/p1.jpg", "/images/p2.jpg", "/images/p3.jpg", "/icons/c1.gif",
                             "/layouts/p.xml", "/images/p/clock.gif"}) {
        EXPECT_EQ(hostA.Count(path), 1) << path;
    }
    EXPECT_EQ(platform::ReadFile(subscriptions).value_or(""), "c1\r\nc2\r\n");
    EXPECT_TRUE(Latest(Picture("p1")).has_value());
    EXPECT_EQ(Latest(GetControlFileKey())->serial, "2026-01-01");
    // Every cached file is named in the index; nothing else lies in the folder.
    std::set<std::string> named;
    for (const auto& e : IndexEntries()) {
        named.insert(e.file);
    }
    EXPECT_EQ(CacheFiles(), named);

    const int getsBefore = GetRequests();
    RunCycle();
    EXPECT_EQ(changedMessages.load(), 0);
    EXPECT_FALSE(thread->GotNews.load());
    EXPECT_EQ(GetRequests(), getsBefore) << "only the control file is asked for";
    EXPECT_EQ(hostA.Total(), 1);
    EXPECT_TRUE(Logged("LAYOUT: p : 1 : #brimwald:///layouts/p.xml  - Cached."));
    EXPECT_TRUE(Logged("   Feed(c1): Serial=1, URI=#brimwald:///feeds/c1.xml  --> Cached."));
    EXPECT_EQ(Lines().back(), "You have 0 new messages.");
}

// New versions of a feed: from the third on, the oldest goes with the pictures only it
// used.
TEST_F(FetchThreadTest, NewFeedVersionsReplaceTheOldest) {
    SeedControl({});
    ServeContent();
    RunCycle();
    const std::string v1File = Latest("#brimwald:///feeds/c1.xml")->file;
    const std::string p1File = Latest(Picture("p1"))->file;

    ControlParams two;
    two.time = "2026-01-02";
    two.c1 = "2";
    ServeContent(two);
    hostA.Put("/feeds/c1.xml", Feed({Picture("p2"), Picture("p4")}));
    RunCycle();
    EXPECT_EQ(changedMessages.load(), 1);
    EXPECT_EQ(hostA.Count("/feeds/c1.xml"), 1);
    EXPECT_EQ(hostA.Count("/feeds/c2.xml"), 0);
    EXPECT_EQ(hostA.Count("/images/p4.jpg"), 1);
    EXPECT_EQ(hostA.Count("/images/p2.jpg"), 0);
    EXPECT_TRUE(CacheFiles().count(v1File)) << "two versions stay";

    ControlParams three;
    three.time = "2026-01-03";
    three.c1 = "3";
    ServeContent(three);
    hostA.Put("/feeds/c1.xml", Feed({Picture("p4"), Picture("p5")}));
    RunCycle();
    EXPECT_FALSE(CacheFiles().count(v1File));
    EXPECT_FALSE(CacheFiles().count(p1File));
    EXPECT_FALSE(Latest(Picture("p1")).has_value());
    EXPECT_TRUE(Latest(Picture("p2")).has_value()) << "still used by version 2";
    CC after(cacheDir);
    after.Load();
    EXPECT_EQ(*after.ListSerials("#brimwald:///feeds/c1.xml"),
              (std::vector<std::string>{"2", "3"}));
    // The control file versions: only the two newest stay.
    EXPECT_EQ(*after.ListSerials(GetControlFileKey()),
              (std::vector<std::string>{"2026-01-02", "2026-01-03"}));
}

TEST_F(FetchThreadTest, ChannelListChangesAnnounceNewContent) {
    const struct {
        const char* name;
        std::string extra;
        int messages;
    } cases[] = {
        {"same channels", kChannelC3, 0},
        {"channel added",
         kChannelC3 +
             R"(<channel id="c4" serial="1" title="Four" uri="#brimwald:///feeds/c4.xml"/>)",
         1},
        {"channel removed", "", 1},
        {"feed address changed",
         R"(<channel id="c3" serial="1" title="Three" uri="#brimwald:///feeds/c3b.xml"/>)", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        thread.reset();
        TearDown();
        tolvar::test::RemoveTree(GetAppDataDir());
        SetUp();
        SeedControl({});
        ControlParams params;
        params.extra = c.extra;
        ServeContent(params);
        // Thumbnails off, with the feeds cached: nothing of the content is fetched.
        Seed("#brimwald:///feeds/c1.xml", "1", Feed({}), "c1.xml");
        Seed("#brimwald:///feeds/c2.xml", "1", Feed({}), "c2.xml");
        RunCycle(false);
        EXPECT_EQ(changedMessages.load(), c.messages);
        EXPECT_EQ(thread->Changed.load(), c.messages != 0);
        EXPECT_FALSE(thread->GotNews.load());
    }
}

// A feed version newer than the one the control file names may be cached already (serials
// order byte-wise, so "9" is newer than "10"). Nothing is downloaded then: the feed counts
// as cached, brings no news and no content-changed message.
TEST_F(FetchThreadTest, NewerCachedFeedIsNoNews) {
    const struct {
        const char* name;
        const char* cachedSerial; // the control file names "1"
        bool fetched;
    } cases[] = {
        {"newer version cached", "2", false},
        {"older version cached", "0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        thread.reset();
        TearDown();
        tolvar::test::RemoveTree(GetAppDataDir());
        SetUp();
        SeedControl({});
        ServeContent();
        Seed("#brimwald:///icons/c1.gif", "1", "icon1", "i1.gif");
        Seed("#brimwald:///icons/c2.gif", "1", "icon2", "i2.gif");
        Seed("#brimwald:///feeds/c2.xml", "1", Feed({}), "c2.xml");
        Seed("#brimwald:///feeds/c1.xml", c.cachedSerial, Feed({"", ""}), "c1.xml");
        RunCycle(true);
        EXPECT_EQ(hostA.Count("/feeds/c1.xml"), c.fetched ? 1 : 0);
        EXPECT_TRUE(
            Logged(std::string("   Feed(c1): Serial=1, URI=#brimwald:///feeds/c1.xml  --> ") +
                   (c.fetched ? "Fetched." : "Cached.")))
            << ::testing::PrintToString(Lines());
        EXPECT_EQ(changedMessages.load(), c.fetched ? 1 : 0);
        EXPECT_EQ(thread->GotNews.load(), c.fetched);
        EXPECT_EQ(thread->GotMandatoryNews.load(), c.fetched);
        EXPECT_EQ(Lines().back(),
                  c.fetched ? "You have 2 new messages." : "You have 0 new messages.");
    }
}

TEST_F(FetchThreadTest, IconWithoutUriIsLoggedAsAnError) {
    ControlParams params;
    params.extra = R"(<channel id="c5" serial="1" subscriptiondefault="true" title="Five" )"
                   R"(uri="#brimwald:///feeds/c5.xml"><icon id="i5" serial="1"/></channel>)";
    SeedControl(params);
    ServeContent(params);
    hostA.Put("/feeds/c5.xml", Feed({}));
    RunCycle(true);
    const int first = IndexOf("   Icon : Serial=1, URI=");
    ASSERT_GE(first, 0) << ::testing::PrintToString(Lines());
    EXPECT_EQ(IndexOf("   Icon : Serial=1, URI=  --> Error: Icon is defined but URI is empty."),
              first + 1);
    EXPECT_EQ(IndexOf("   Feed(c5): Serial=1, URI=#brimwald:///feeds/c5.xml  --> Fetched."),
              first + 3);
}

TEST_F(FetchThreadTest, ThumbnailsOffFetchesNoPictureOfAChannel) {
    SeedControl({});
    ServeContent();
    RunCycle(false);
    for (const char* path :
         {"/icons/c1.gif", "/icons/c2.gif", "/images/p1.jpg", "/images/p3.jpg"}) {
        EXPECT_EQ(hostA.Count(path), 0) << path;
    }
    EXPECT_EQ(hostA.Count("/feeds/c1.xml"), 1);
    EXPECT_EQ(Lines().back(), "You have 0 new messages.");
    for (const auto& line : Lines()) {
        EXPECT_EQ(line.find("Icon :"), std::string::npos) << line;
    }
}

TEST_F(FetchThreadTest, ControlFileRequestFailsOverToTheNextHost) {
    ControlParams params;
    params.hosts = {"host-dead", "host-b"};
    SeedControl(params);
    hostB.Put("/feeds/content.php", ControlFile(params));
    RunCycle(false);
    EXPECT_TRUE(Logged("Brimwald working host set to host-b"));
    EXPECT_EQ(hostB.Count("/feeds/content.php"), 1);
    EXPECT_EQ(hostB.Requests().at(0).target, "/feeds/content.php?key=k1");
    EXPECT_EQ(Latest(GetControlFileKey())->serial, "2026-01-01");
}

// A host that fails: while the LAN is up the cycle goes on with the cached control file
// and skips what it cannot fetch; without a connection it ends. A host that never
// answers holds each request no longer than the time-out.
TEST_F(FetchThreadTest, DeadHosts) {
    const struct {
        const char* name;
        bool lan;
        bool silent;
        const char* last;
    } cases[] = {
        {"refusing, online", true, false, "You have 0 new messages."},
        {"refusing, offline", false, false, "Connection terminated."},
        {"silent, online", true, true, "You have 0 new messages."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        thread.reset();
        TearDown();
        tolvar::test::RemoveTree(GetAppDataDir());
        SetUp();
        SeedControl({});
        hostA.SetDead(!c.silent);
        if (c.silent) {
            HttpServerResponse never;
            never.neverAnswer = true;
            for (const char* path :
                 {"/feeds/content.php", "/layouts/p.xml", "/feeds/c1.xml", "/feeds/c2.xml"}) {
                hostA.PutResponse(path, never);
            }
        }
        dialup->SetLan(c.lan);
        RunCycle(false, 1);
        EXPECT_TRUE(Logged("Error fetching the control file."));
        EXPECT_EQ(Lines().back(), c.last);
        EXPECT_EQ(Logged("Trying to use previous control file."), c.lan);
        if (c.lan) {
            EXPECT_TRUE(Logged("   Feed(c1): Serial=1, URI=#brimwald:///feeds/c1.xml  --> HTTP "
                               "Get failed: " +
                               std::string(c.silent ? "HttpSendRequest failed: Timeout."
                                                    : "HttpSendRequest failed: error: 52"
                                                      "Empty reply from server")))
                << ::testing::PrintToString(Lines());
            EXPECT_EQ(changedMessages.load(), 0) << "the same channel list, nothing fetched";
        }
    }
}

// A control file that is not read whole is never cached, and "subscriptions.dir" is never
// reconciled against one: the channels after its fault would be unsubscribed.
TEST_F(FetchThreadTest, HalfControlFileNeverRewritesTheSubscriptions) {
    const std::string c4 =
        R"(<channel id="c4" serial="1" title="Four" uri="#brimwald:///feeds/c4.xml"/>)";
    ControlParams whole;
    whole.extra = c4;
    ControlParams half;
    half.time = "2026-01-05";
    half.extra = R"(<channel id="bad" serial="1" title="" uri="#brimwald:///feeds/x.xml"/>)" + c4;
    const struct {
        const char* name;
        bool halfIsCached; // else it is what the host sends
        std::string subscriptionsAfter;
    } cases[] = {
        {"downloaded", false, "c1\r\nc2\r\nc4\r\n"},
        {"cached", true, "c2\r\nc4\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        thread.reset();
        TearDown();
        tolvar::test::RemoveTree(GetAppDataDir());
        SetUp();
        platform::AtomicWriteFile(subscriptions, "c2\r\nc4\r\n");
        SeedControl(c.halfIsCached ? half : whole);
        ServeContent(half);
        if (c.halfIsCached) {
            HttpServerResponse busy;
            busy.status = 503;
            busy.reason = "Busy";
            hostA.PutResponse("/feeds/content.php", busy);
        }
        RunCycle(false);
        EXPECT_EQ(platform::ReadFile(subscriptions).value(), c.subscriptionsAfter);
        if (c.halfIsCached) {
            EXPECT_TRUE(Logged("HTTP Get failed: 503 Busy"));
            EXPECT_TRUE(Logged("Fatal error parsing control file."));
            EXPECT_TRUE(Logged(ControlFile(half)));
            EXPECT_EQ(Lines().back(), "Synchronization aborted.");
        } else {
            EXPECT_TRUE(Logged("HTTP Get failed: Parse error for control file."));
            EXPECT_TRUE(Logged("Trying to use previous control file."));
            EXPECT_EQ(Latest(GetControlFileKey())->serial, "2025-12-31");
            EXPECT_EQ(Lines().back(), "You have 0 new messages.");
        }
    }
}

TEST_F(FetchThreadTest, SecondWakeUpIsRefusedWhileBusyAndStopEndsTheCycle) {
    SeedControl({});
    HttpServerResponse never;
    never.neverAnswer = true;
    hostA.PutResponse("/feeds/content.php", never);
    thread->TimeoutSeconds = 2;
    ASSERT_TRUE(thread->Resume());
    EXPECT_FALSE(thread->Resume());
    ASSERT_TRUE(WaitUntil([&] { return hostA.Count("/feeds/content.php") == 1; }));
    EXPECT_TRUE(thread->Busy.load()) << "busy from the wake-up on";
    thread->Terminate();
    ASSERT_TRUE(WaitUntil([&] { return !thread->Busy.load(); }, 60s));
    EXPECT_FALSE(thread->Resume()) << "a stopped thread takes no more cycles";
    EXPECT_FALSE(Logged("Fetching Layout basics..."));
    thread.reset(); // joins
}

// The folder's files with their sizes and modification times.
std::map<std::string, std::pair<off_t, std::int64_t>> FolderState(const std::string& folder) {
    std::map<std::string, std::pair<off_t, std::int64_t>> state;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            struct stat st {};
            const std::string name = e->d_name;
            if (name != "." && name != ".." && ::stat((folder + "/" + name).c_str(), &st) == 0) {
                state[name] = {st.st_size,
                               static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                                   st.st_mtim.tv_nsec};
            }
        }
        ::closedir(dir);
    }
    return state;
}

TEST_F(FetchThreadTest, CycleThatFindsNothingNewWritesNothing) {
    SeedControl({});
    ServeContent();
    RunCycle();
    ASSERT_TRUE(Logged("Synchronization finished."));
    const auto before = FolderState(cacheDir);
    ASSERT_GT(before.count("cache.dir"), 0u);
    RunCycle();
    ASSERT_TRUE(Logged("Synchronization finished."));
    EXPECT_EQ(hostA.Count("/feeds/content.php"), 1) << "the control file was asked for";
    // The same control file again: not stored, not recorded, the index not rewritten.
    EXPECT_EQ(FolderState(cacheDir), before);
    const auto serials = [&] {
        CC cc(cacheDir);
        cc.Load();
        return cc.ListSerials(GetControlFileKey()).value_or(std::vector<std::string>{});
    }();
    EXPECT_EQ(serials, (std::vector<std::string>{"2025-12-31", "2026-01-01"}));
}

// A stop reaches the cycle wherever it waits for the network: the request in flight ends
// at once, nothing further is asked for or logged, and the folder is what its index names.
TEST_F(FetchThreadTest, StopEndsTheCycleAtOnceWhateverTheHostDoes) {
    HttpServerResponse never;
    never.neverAnswer = true;
    HttpServerResponse trickle;
    trickle.body = Feed({});
    trickle.generatedBytes = 200000;
    trickle.trickleBytes = 10;
    trickle.trickleEvery = 20ms;
    struct Case {
        const char* name;
        const char* path; // what hangs
        HttpServerResponse response;
    };
    const Case cases[] = {
        {"control file never answered", "/feeds/content.php", never},
        {"control file trickles", "/feeds/content.php", trickle},
        {"feed after its icon never answered", "/feeds/c1.xml", never},
        {"feed after its icon trickles", "/feeds/c1.xml", trickle},
        {"layout picture trickles", "/images/p/splash.jpg", trickle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tolvar::test::RemoveTree(cacheDir);
        platform::MakeFolders(cacheDir);
        thread = std::make_unique<TFetchThread>(
            [this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            [this] { ++changedMessages; });
        SeedControl({});
        ServeContent();
        hostA.PutResponse(c.path, c.response);
        hostA.ResetCounts();
        thread->FetchThumbs = true;
        thread->TimeoutSeconds = 600; // no time-out comes to the rescue
        ASSERT_TRUE(thread->Resume());
        ASSERT_TRUE(WaitUntil([&] { return hostA.Count(c.path) == 1; }, 60s));
        const int requests = hostA.Total();
        const std::size_t logged = Lines().size();
        const auto stop = std::chrono::steady_clock::now();
        thread->Terminate();
        ASSERT_TRUE(WaitUntil([&] { return thread->Ended(); }, 30s));
        const auto took = std::chrono::steady_clock::now() - stop;
        EXPECT_LT(took, 1s);
        std::printf("%s: the cycle ended %lld ms after the stop\n", c.name,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_FALSE(thread->Busy.load());
        EXPECT_EQ(hostA.Total(), requests) << "nothing is asked for after the stop";
        EXPECT_EQ(Lines().size(), logged) << "a stopping cycle logs nothing";
        thread.reset();
        const auto mismatch = tolvar::test::CheckCacheFolder(cacheDir);
        EXPECT_EQ(mismatch.unnamed, std::vector<std::string>{});
        EXPECT_EQ(mismatch.broken, std::vector<std::string>{});
    }
}

// A host that trickles holds each object for about the time-out, not for the minutes
// its trickle would take; the cycle goes on after each failure.
TEST_F(FetchThreadTest, TricklingHostCostsAboutTheTimeOutPerObject) {
    SeedControl({});
    ServeContent();
    HttpServerResponse trickle;
    trickle.contentType = "text/xml";
    trickle.generatedBytes = 200000;
    trickle.trickleBytes = 100;
    trickle.trickleEvery = 100ms; // 1 KB a second: the first 64 KB would take a minute
    hostA.PutResponse("/feeds/content.php", trickle);
    hostA.PutResponse("/feeds/c1.xml", trickle);
    const auto start = std::chrono::steady_clock::now();
    RunCycle(true, 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(Logged("Trying to use previous control file."));
    EXPECT_TRUE(Logged("Synchronization finished."));
    const auto log = Lines();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("   Feed(c1): ") && line.ends_with(" failed: Timeout.");
    }));
    // Two trickling objects with a 1 s time-out, the rest served at once.
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 8s);
    std::printf("two trickling objects, 1 s time-out: the cycle took %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

// A writer killed at any moment of a synchronisation leaves an index whose every entry
// names a whole file; the next cycle removes what the killed one left unnamed.
TEST_F(FetchThreadTest, KilledCyclesLeaveTheFolderExactlyWhatTheIndexNames) {
    SeedControl({});
    ServeContent();
    std::mt19937 rng(std::random_device{}());
    int cycles = 0;
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        tolvar::test::Child writer(tolvar::test::HelperPath("fetchthread_helper"),
                                   {"churn", std::to_string(round * 1000 + 1)}, true);
        ASSERT_EQ(writer.ReadLine(60s), "ready");
        // The moment is what is random: somewhere in the first few cycles.
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400000));
        writer.Kill(SIGKILL);
        ASSERT_TRUE(writer.Wait().has_value());
        const std::string output = writer.ReadAllOutput(10s);
        for (std::size_t at = output.find("cycle "); at != std::string::npos;
             at = output.find("cycle ", at + 1)) {
            ++cycles;
        }
        const auto killed = tolvar::test::CheckCacheFolder(cacheDir);
        EXPECT_EQ(killed.broken, std::vector<std::string>{}) << "right after the kill";

        RunCycle();
        ASSERT_TRUE(Logged("Synchronization finished."));
        const auto clean = tolvar::test::CheckCacheFolder(cacheDir);
        EXPECT_EQ(clean.unnamed, std::vector<std::string>{});
        EXPECT_EQ(clean.broken, std::vector<std::string>{});
    }
    std::printf("100 kills after %d whole cycles of the killed writers\n", cycles);
    EXPECT_GT(cycles, 0) << "the kills should land inside and between cycles";
}

TEST(SubscriptionsRequestText, JoinsTheLines) {
    tolvar::test::TempFolder dir;
    const struct {
        const char* name;
        const char* content; // nullptr: no file
        const char* text;
    } cases[] = {
        {"missing", nullptr, ""},
        {"empty", "", ""},
        {"three lines", "a\r\nb\r\nc\r\n", "a,+b,+c"},
        {"one line without end", "a", "a"},
        {"other line ends and blank lines", "a\nb\r\rc\r\n\r\n", "a,+b,+c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Path() + "/subscriptions.dir";
        platform::RemoveFile(path);
        if (c.content != nullptr) {
            tolvar::test::WriteFile(path, c.content);
        }
        EXPECT_EQ(SubscriptionsRequestText(path), c.text);
    }
}

TEST(CleanControlFiles, KeepsTheTwoGreatestSerials) {
    const struct {
        std::vector<std::string> serials;
        std::vector<std::string> kept;
    } cases[] = {
        {{"1", "2", "3", "4"}, {"3", "4"}},
        {{"9", "10"}, {"10", "9"}},
        {{"10", "9", "8"}, {"8", "9"}},
        {{"1"}, {"1"}},
    };
    for (const auto& c : cases) {
        tolvar::test::TempFolder dir;
        CC cc(dir.Path());
        for (const auto& s : c.serials) {
            tolvar::test::WriteFile(dir.Path() + "/cf" + s + ".xml", "x");
            cc.entries.Add(
                std::make_unique<CCObject>(CCObject{GetControlFileKey(), "cf" + s + ".xml", s}));
        }
        CleanControlFiles(cc);
        CC saved(dir.Path());
        saved.Load();
        EXPECT_EQ(*saved.ListSerials(GetControlFileKey()), c.kept);
        for (const auto& s : c.serials) {
            const bool kept = std::count(c.kept.begin(), c.kept.end(), s) != 0;
            EXPECT_EQ(platform::FileExists(dir.Path() + "/cf" + s + ".xml"), kept) << s;
        }
    }
}

} // namespace

#include "contenthost.h"
#include "control/cachewriteaccess.h"
#include "control/httpgetobject.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace CacheWriteAccess;
using tolvar::test::ContentTest;
using tolvar::test::Feed;

const std::string kFeed = "#brimwald:///feeds/c1.xml";
const std::string kOtherFeed = "#brimwald:///feeds/c2.xml";

std::string Picture(const std::string& name) {
    return "#brimwald:///images/" + name + ".jpg";
}

// A cycle's index on the test's cache folder, made current for the test's lifetime.
class CacheWriteTest : public ContentTest {
protected:
    void SetUp() override {
        ContentTest::SetUp();
        HttpGetter::SetWorkingHost("host-a");
        cache = std::make_unique<CC>(cacheDir);
        cache->Load();
        CurrentCache = cache.get();
        NewMessageCount = 0;
    }
    void TearDown() override {
        CurrentCache = nullptr;
        ContentTest::TearDown();
    }
    void ServePicture(const std::string& name) {
        hostA.Put("/images/" + name + ".jpg", "jpeg " + name, "image/jpeg");
    }
    // A feed version and its item pictures as an earlier cycle left them.
    void SeedFeed(const std::string& uri, const std::string& serial,
                  const std::vector<std::string>& pictures) {
        std::vector<std::string> keys;
        for (const auto& p : pictures) {
            keys.push_back(Picture(p));
            if (!Latest(Picture(p))) {
                Seed(Picture(p), "", "jpeg " + p, "pic-" + p + ".jpg");
            }
        }
        Seed(uri, serial, Feed(keys), "feed-" + uri.substr(uri.rfind('/') + 1) + "-" + serial);
    }

    std::unique_ptr<CC> cache;
};

TEST_F(CacheWriteTest, NothingHappensWithoutACurrentIndex) {
    CurrentCache = nullptr;
    hostA.Put("/feeds/c1.xml", Feed({}));
    ServePicture("a");
    EXPECT_FALSE(IsCached(kFeed, ""));
    EXPECT_FALSE(CacheWriteAccess::HttpGetControlFile("#brimwald:///feeds/content.php", ""));
    EXPECT_FALSE(HttpGetLayout("#brimwald:///l.xml", "1"));
    EXPECT_FALSE(HttpGetIcon(Picture("a"), "1"));
    EXPECT_FALSE(HttpGetChannel(kFeed, "c1", "1", true));
    EXPECT_FALSE(FetchThumb(nullptr, Picture("a"), "n"));
    EXPECT_EQ(hostA.Total(), 0);
    EXPECT_TRUE(CacheFiles().empty());
}

// Each writer records (key, generated file, serial) in "cache.dir" at once, and the file
// it names holds what the host sent.
TEST_F(CacheWriteTest, WritersRecordWhatTheyFetch) {
    hostA.Put("/layouts/l.xml",
              platform::ReadFile(tolvar::test::DataPath("httpgetobject/layout.xml")).value());
    ServePicture("icon");
    hostA.Put("/feeds/c1.xml", Feed({}));
    const struct {
        const char* what;
        std::function<bool()> write;
        std::string uri;
        std::string serial;
        std::string extension;
    } cases[] = {
        {"layout", [] { return HttpGetLayout("#brimwald:///layouts/l.xml", "3"); },
         "#brimwald:///layouts/l.xml", "3", ".xml"},
        {"icon", [] { return HttpGetIcon(Picture("icon"), "2"); }, Picture("icon"), "2", ".jpg"},
        {"thumbnail", [this] { return FetchThumb(cache.get(), Picture("icon"), "{T}"); },
         Picture("icon"), "", ".jpg"},
        {"feed", [] { return HttpGetChannel(kFeed, "c1", "7", false); }, kFeed, "7", ".xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::set<std::string> before = CacheFiles();
        ASSERT_TRUE(c.write()) << GetHttpGetError();
        const std::vector<CCObject> index = IndexEntries();
        ASSERT_FALSE(index.empty());
        const CCObject& added = index.back();
        EXPECT_EQ(added.uri, c.uri);
        EXPECT_EQ(added.serial, c.serial);
        EXPECT_TRUE(added.file.ends_with(c.extension)) << added.file;
        EXPECT_EQ(before.count(added.file), 0u) << "a fresh name";
        EXPECT_TRUE(CacheFiles().count(added.file));
        EXPECT_TRUE(IsCached(c.uri, c.serial));
    }
    // The generated names are GUID texts.
    EXPECT_EQ(IndexEntries().front().file.size(), 38u + 4u);
}

TEST_F(CacheWriteTest, LayoutAlreadyCachedIsNotRequested) {
    Seed("#brimwald:///layouts/l.xml", "3", "<layout/>", "l3.xml");
    hostA.Put("/layouts/l.xml", "<layout/>");
    EXPECT_TRUE(IsCached("#brimwald:///layouts/l.xml", "3"));
    EXPECT_TRUE(IsCached("#brimwald:///layouts/l.xml", "")) << "an empty serial takes any";
    EXPECT_FALSE(IsCached("#brimwald:///layouts/l.xml", "4"));
    EXPECT_FALSE(HttpGetLayout("#brimwald:///layouts/l.xml", "3"));
    EXPECT_EQ(hostA.Total(), 0);
    EXPECT_FALSE(HttpGetLayout("#brimwald:///layouts/l.xml", ""));
    EXPECT_FALSE(HttpGetLayout("", "3"));
    EXPECT_EQ(hostA.Total(), 0);
}

TEST_F(CacheWriteTest, IconWithoutUriOrSerialLeavesTheLastError) {
    SetHttpGetError("earlier");
    EXPECT_FALSE(HttpGetIcon("", "1"));
    EXPECT_FALSE(HttpGetIcon(Picture("a"), ""));
    EXPECT_EQ(GetHttpGetError(), "earlier");
    EXPECT_EQ(hostA.Total(), 0);
}

// A cached version at least as new (byte-wise) is used as it is: the call succeeds, says
// that nothing was downloaded, and the cached items are not counted as new messages.
TEST_F(CacheWriteTest, ChannelNotNewerThanTheCacheIsNotFetched) {
    const struct {
        const char* cached;
        const char* wanted;
        bool fetches;
    } cases[] = {
        {"5", "5", false}, {"5", "4", false}, {"9", "10", false},
        {"5", "6", true},  {"10", "9", true}, {"", "1", true},
    };
    hostA.Put("/feeds/c1.xml", Feed({"", "", ""}));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cached) + " -> " + c.wanted);
        TearDown();
        tolvar::test::RemoveTree(cacheDir);
        SetUp();
        hostA.ResetCounts();
        Seed(kFeed, c.cached, Feed({"", ""}), "cached.xml");
        bool fetched = !c.fetches;
        EXPECT_TRUE(HttpGetChannel(kFeed, "c1", c.wanted, true, {}, nullptr, &fetched));
        EXPECT_EQ(hostA.Count("/feeds/c1.xml"), c.fetches ? 1 : 0);
        EXPECT_EQ(fetched, c.fetches);
        EXPECT_EQ(NewMessageCount.load(), c.fetches ? 3 : 0);
    }
}

TEST_F(CacheWriteTest, FailedChannelFetchSaysNothingWasFetched) {
    bool fetched = true;
    EXPECT_FALSE(HttpGetChannel(kFeed, "c1", "1", true, {}, nullptr, &fetched));
    EXPECT_FALSE(fetched);
    EXPECT_EQ(GetHttpGetError(), "404 Not Found");
    EXPECT_EQ(NewMessageCount.load(), 0);
    fetched = true;
    EXPECT_FALSE(HttpGetChannel(kFeed, "", "1", true, {}, nullptr, &fetched));
    EXPECT_FALSE(fetched);
}

// Old versions go with the pictures that only they use: neither the two kept versions of
// this feed nor the kept versions of another channel lose a picture.
TEST_F(CacheWriteTest, OldVersionsGoWithThePicturesOnlyTheyUse) {
    const struct {
        const char* name;
        std::vector<std::string> keepFeeds;
        std::set<std::string> gone;
    } cases[] = {
        {"this channel only", {kFeed}, {"p1", "p2", "p3"}},
        {"with another channel", {kFeed, kOtherFeed}, {"p2", "p3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        tolvar::test::RemoveTree(cacheDir);
        SetUp();
        hostA.ResetCounts();
        SeedFeed(kFeed, "1", {"p1", "p2"});
        SeedFeed(kFeed, "2", {"p3", "shared"});
        SeedFeed(kFeed, "3", {"p4"});
        SeedFeed(kFeed, "4", {"p4", "p6"});
        SeedFeed(kOtherFeed, "1", {"p1"});
        hostA.Put("/feeds/c1.xml", Feed({Picture("shared"), Picture("p7")}));
        ServePicture("p7");
        ServePicture("shared");

        ASSERT_TRUE(HttpGetChannel(kFeed, "c1", "5", true, c.keepFeeds)) << GetHttpGetError();
        EXPECT_EQ(hostA.Count("/images/p7.jpg"), 1);
        EXPECT_EQ(hostA.Count("/images/shared.jpg"), 0) << "cached pictures are not fetched";
        EXPECT_EQ(NewMessageCount.load(), 2);

        CC after(cacheDir);
        after.Load();
        EXPECT_EQ(*after.ListSerials(kFeed), (std::vector<std::string>{"4", "5"}));
        for (const std::string serial : {"1", "2", "3"}) {
            EXPECT_FALSE(CacheFiles().count("feed-c1.xml-" + serial)) << serial;
        }
        for (const std::string p : {"p1", "p2", "p3", "p4", "p6", "shared"}) {
            const bool gone = c.gone.count(p) != 0;
            EXPECT_EQ(after.FindLatest(Picture(p)) == nullptr, gone) << p;
            EXPECT_EQ(CacheFiles().count("pic-" + p + ".jpg") == 0, gone) << p;
        }
        EXPECT_NE(after.FindLatest(Picture("p7")), nullptr);
    }
}

TEST_F(CacheWriteTest, OneOrTwoVersionsStay) {
    SeedFeed(kFeed, "1", {"p1"});
    hostA.Put("/feeds/c1.xml", Feed({Picture("p2")}));
    ServePicture("p2");
    ASSERT_TRUE(HttpGetChannel(kFeed, "c1", "2", true));
    CC after(cacheDir);
    after.Load();
    EXPECT_EQ(*after.ListSerials(kFeed), (std::vector<std::string>{"1", "2"}));
    EXPECT_NE(after.FindLatest(Picture("p1")), nullptr);
    EXPECT_TRUE(CacheFiles().count("pic-p1.jpg"));
}

TEST_F(CacheWriteTest, WithoutThumbnailsNoPictureIsFetchedButOldVersionsGo) {
    SeedFeed(kFeed, "1", {"p1"});
    SeedFeed(kFeed, "2", {"p2"});
    hostA.Put("/feeds/c1.xml", Feed({Picture("p3"), Picture("p4")}));
    ServePicture("p3");
    ServePicture("p4");
    NewMessageCount = 5;
    ASSERT_TRUE(HttpGetChannel(kFeed, "c1", "3", false));
    EXPECT_EQ(hostA.Count("/images/p3.jpg") + hostA.Count("/images/p4.jpg"), 0);
    EXPECT_EQ(NewMessageCount.load(), 5);
    CC after(cacheDir);
    after.Load();
    EXPECT_EQ(*after.ListSerials(kFeed), (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(after.FindLatest(Picture("p1")), nullptr);
}

// An entry saved by another writer after this index was loaded survives this writer's
// save, and the other writer's later save keeps this one's.
TEST_F(CacheWriteTest, AnotherWritersEntriesAreKept) {
    ServePicture("mine");
    CC other(cacheDir);
    other.Load();
    other.Update([&] {
        other.entries.Add(std::make_unique<CCObject>(CCObject{"#other", "other.gif", "1"}));
    });
    ASSERT_TRUE(HttpGetIcon(Picture("mine"), "1"));
    other.Update([&] {
        other.entries.Add(std::make_unique<CCObject>(CCObject{"#later", "later.gif", "1"}));
    });
    CC after(cacheDir);
    after.Load();
    EXPECT_NE(after.Find("#other", "1"), nullptr);
    EXPECT_NE(after.Find(Picture("mine"), "1"), nullptr);
    EXPECT_NE(after.Find("#later", "1"), nullptr);
}

// Keys and serials that would break a line of "cache.dir" are never recorded.
TEST_F(CacheWriteTest, EntriesTheIndexCannotHoldAreRefused) {
    const struct {
        const char* what;
        std::function<bool()> write;
    } cases[] = {
        {"serial with bar", [] { return HttpGetIcon(Picture("a"), "1|x"); }},
        {"serial with line break", [] { return HttpGetChannel(kFeed, "c1", "2\r\nx|1|y", true); }},
        {"key with line break", [] { return HttpGetLayout("#brimwald:///l.xml\n|1|k", "1"); }},
        {"picture key with line break",
         [this] { return FetchThumb(cache.get(), "#brimwald:///images/a.jpg\r\n", "{N}"); }},
    };
    ServePicture("a");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.write());
        EXPECT_EQ(GetHttpGetError(),
                  "Fatal error: URI or serial cannot be stored in the cache index");
    }
    EXPECT_EQ(hostA.Total(), 0);

    // A control file's time attribute becomes its serial: checked after the download.
    hostA.Put("/feeds/content.php",
              "<content time=\"1|evil\"><hosts><host name=\"h\"/></hosts></content>");
    EXPECT_FALSE(CacheWriteAccess::HttpGetControlFile("#brimwald:///feeds/content.php", ""));
    EXPECT_TRUE(CacheFiles().empty());
    EXPECT_TRUE(IndexEntries().empty());
}

// A "cache.dir" written by someone else may name files outside the folder: they are
// neither read as feeds nor deleted.
TEST_F(CacheWriteTest, EntriesNamingFilesOutsideTheFolderAreNotFollowed) {
    const std::string outside = home.Root() + "/victim.xml";
    platform::AtomicWriteFile(outside, Feed({Picture("lure")}));
    ServePicture("lure");
    std::string relative = "victim.xml";
    const std::string below = cacheDir.substr(home.Root().size());
    for (char ch : below) {
        if (ch == '/') {
            relative = "../" + relative;
        }
    }
    ASSERT_TRUE(platform::FileExists(cacheDir + "/" + relative));
    tolvar::test::WriteFile(cacheDir + "/cache.dir", relative + "|1|" + kFeed + "\r\n" + relative +
                                                         "|2|" + kFeed + "\r\n" + relative + "|3|" +
                                                         kFeed + "\r\n");
    EXPECT_TRUE(HttpGetChannel(kFeed, "c1", "3", true));
    EXPECT_EQ(hostA.Total(), 0) << "the outside file was read as the feed";
    EXPECT_TRUE(platform::FileExists(outside));
}

TEST_F(CacheWriteTest, UnsavableIndexKeepsNeitherEntryNorFile) {
    ServePicture("a");
    ::mkdir((cacheDir + "/cache.dir").c_str(), 0755); // exists, cannot be read
    EXPECT_FALSE(HttpGetIcon(Picture("a"), "1"));
    EXPECT_EQ(GetHttpGetError().rfind("Cache index not saved: ", 0), 0u) << GetHttpGetError();
    EXPECT_TRUE(CacheFiles().empty());
    EXPECT_EQ(cache->FindLatest(Picture("a")), nullptr);
    EXPECT_TRUE(platform::FolderExists(cacheDir + "/cache.dir"));
}

} // namespace

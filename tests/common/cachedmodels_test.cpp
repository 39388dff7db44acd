#include "common/cachedmodels.h"
#include "common/directories.h"
#include "platform/fileio.h"
#include "support/channelids.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using tolvar::test::ChannelIds;
using tolvar::test::SubscribedIds;
using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

const char* const kControl = "<content time=\"t1\"><channels>"
                             "<channel id=\"a\" uri=\"#a\" subscriptiondefault=\"true\"/>"
                             "<channel id=\"b\" uri=\"#b\"/>"
                             "</channels></content>";
const char* const kNewerControl = "<content time=\"t2\"><channels>"
                                  "<channel id=\"a\" uri=\"#a\"/><channel id=\"b\" uri=\"#b\"/>"
                                  "<channel id=\"c\" uri=\"#c\"/></channels></content>";
// Ends with a value error: channel a is read, the rest is not.
const char* const kHalfControl = "<content time=\"t3\"><channels><channel id=\"a\" uri=\"#a\"/>"
                                 "<channel id=\"b\" serial=\"\"/></channels></content>";

// One way the cache and the subscriptions can stand, and what the loader makes of it.
struct Case {
    const char* name;
    std::optional<std::string> index; // nullopt: no "cache.dir"; "/": a folder in its place
    std::vector<std::pair<std::string, std::string>> files; // name, content
    std::optional<std::string> subscriptions;               // nullopt: no file; "/": a folder
    bool readSubscriptions;
    CachedModelsStep failed;
    std::size_t entries;
    std::vector<std::string> channels;
    std::vector<std::string> subscribed;
    bool complete;
};

class LoadCachedModelsTable : public testing::TestWithParam<Case> {};

TEST_P(LoadCachedModelsTable, StopsAtTheFailedStep) {
    const Case& c = GetParam();
    TempFolder dir;
    const std::string cache = dir.Path() + "/Cache";
    ASSERT_TRUE(platform::MakeFolders(cache));
    if (c.index == "/") {
        ASSERT_TRUE(platform::MakeFolders(cache + "/cache.dir"));
    } else if (c.index) {
        WriteFile(cache + "/cache.dir", *c.index);
    }
    for (const auto& [name, content] : c.files) {
        WriteFile(dir.Path() + "/" + name, content);
    }
    const std::string subscriptions = dir.Path() + "/subscriptions.dir";
    if (c.subscriptions == "/") {
        ASSERT_TRUE(platform::MakeFolders(subscriptions));
    } else if (c.subscriptions) {
        WriteFile(subscriptions, *c.subscriptions);
    }

    const CachedModels models =
        LoadCachedModels(cache, c.readSubscriptions ? subscriptions : std::string());
    EXPECT_EQ(models.failed, c.failed);
    ASSERT_NE(models.cache, nullptr);
    ASSERT_NE(models.controlFile, nullptr);
    EXPECT_EQ(models.cache->folder, cache);
    EXPECT_EQ(models.cache->entries.Count(), c.entries);
    EXPECT_EQ(ChannelIds(*models.controlFile), c.channels);
    EXPECT_EQ(SubscribedIds(*models.controlFile), c.subscribed);
    EXPECT_EQ(models.ControlFileComplete(), c.complete);
    const bool unreadable = c.failed == CachedModelsStep::IndexUnreadable ||
                            c.failed == CachedModelsStep::SubscriptionsUnreadable;
    EXPECT_EQ(models.error.empty(), !unreadable) << models.error;
}

const std::string kKey = GetControlFileKey();

INSTANTIATE_TEST_SUITE_P(
    Table, LoadCachedModelsTable,
    testing::Values(Case{"NoIndex",
                         std::nullopt,
                         {},
                         std::nullopt,
                         true,
                         CachedModelsStep::IndexMissing,
                         0,
                         {},
                         {},
                         false},
                    Case{"UnreadableIndex",
                         "/",
                         {},
                         std::nullopt,
                         true,
                         CachedModelsStep::IndexUnreadable,
                         0,
                         {},
                         {},
                         false},
                    Case{"EmptyIndex",
                         "",
                         {},
                         std::nullopt,
                         true,
                         CachedModelsStep::ControlFileMissing,
                         0,
                         {},
                         {},
                         false},
                    Case{"NoControlFileEntry",
                         "x.xml|1|#other\r\n",
                         {},
                         std::nullopt,
                         true,
                         CachedModelsStep::ControlFileMissing,
                         1,
                         {},
                         {},
                         false},
                    Case{"DefaultsWithoutSubscriptions",
                         "c1.xml|1|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kControl}},
                         std::nullopt,
                         true,
                         CachedModelsStep::Done,
                         1,
                         {"a", "b"},
                         {"a"},
                         true},
                    Case{"SubscriptionsApplied",
                         "c1.xml|1|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kControl}},
                         "b\r\n",
                         true,
                         CachedModelsStep::Done,
                         1,
                         {"a", "b"},
                         {"b"},
                         true},
                    Case{"NewestVersion",
                         "c1.xml|1|" + kKey + "\r\nc2.xml|2|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kControl}, {"Cache/c2.xml", kNewerControl}},
                         "c\r\n",
                         true,
                         CachedModelsStep::Done,
                         2,
                         {"a", "b", "c"},
                         {"c"},
                         true},
                    Case{"HalfControlFile",
                         "c1.xml|1|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kHalfControl}},
                         "a\r\n",
                         true,
                         CachedModelsStep::Done,
                         1,
                         {"a"},
                         {"a"},
                         false},
                    Case{"ControlFileFileMissing",
                         "c1.xml|1|" + kKey + "\r\n",
                         {},
                         std::nullopt,
                         true,
                         CachedModelsStep::Done,
                         1,
                         {},
                         {},
                         false},
                    // An entry naming a file outside the cache folder is not read.
                    Case{"ControlFileOutsideTheFolder",
                         "../c1.xml|1|" + kKey + "\r\n",
                         {{"c1.xml", kControl}},
                         std::nullopt,
                         true,
                         CachedModelsStep::Done,
                         1,
                         {},
                         {},
                         false},
                    Case{"UnreadableSubscriptions",
                         "c1.xml|1|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kControl}},
                         "/",
                         true,
                         CachedModelsStep::SubscriptionsUnreadable,
                         1,
                         {"a", "b"},
                         {},
                         true},
                    Case{"SubscriptionsNotAsked",
                         "c1.xml|1|" + kKey + "\r\n",
                         {{"Cache/c1.xml", kControl}},
                         "b\r\n",
                         false,
                         CachedModelsStep::Done,
                         1,
                         {"a", "b"},
                         {},
                         true}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

} // namespace

#include "common/controlfile.h"
#include "platform/fileio.h"
#include "support/channelids.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using tolvar::test::ChannelIds;
using tolvar::test::DataPath;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::SubscribedIds;
using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

std::string Fixture(const std::string& name) {
    return DataPath("controlfile/" + name);
}

TEST(CFLoad, ReadsEveryField) {
    CF cf;
    const auto result = cf.Load(Fixture("full.xml"));
    EXPECT_TRUE(result.complete) << result.error;
    EXPECT_TRUE(result.parsed);
    EXPECT_EQ(result.error, "");

    EXPECT_EQ(cf.time, "2026-12-10 08:00");
    EXPECT_EQ(cf.hosts, (std::vector<std::string>{"a.example", "b.example", "a.example"}));

    ASSERT_EQ(cf.layouts.size(), 2u); // same key twice, both kept; the one without uri dropped
    EXPECT_EQ(cf.layouts[0].key, "prov");
    EXPECT_EQ(cf.layouts[0].uri, "#brimwald:///images/prov/base/layout.xml");
    EXPECT_EQ(cf.layouts[0].serial, "1");
    EXPECT_EQ(cf.layouts[1].uri, "#brimwald:///images/prov/base/layout2.xml");
    EXPECT_EQ(cf.layouts[1].serial, "");

    ASSERT_NE(cf.swrenew, nullptr); // the offer without uri does not replace the first
    EXPECT_EQ(cf.swrenew->version, "2.0");
    EXPECT_EQ(cf.swrenew->uri, "#brimwald:///setup.exe");
    EXPECT_EQ(cf.swrenew->size, "1234");

    ASSERT_EQ(cf.topics.size(), 1u);
    const auto& topic = cf.topics[0];
    EXPECT_EQ(topic.id, "news");
    EXPECT_EQ(topic.serial, "7");
    EXPECT_EQ(topic.title, "Nachrichten");
    EXPECT_EQ(topic.description, "Aktuelle Meldungen"); // the last wins
    ASSERT_EQ(topic.channelrefs.size(), 2u);            // the first lacks displaytitle
    EXPECT_EQ(topic.channelrefs[0].id, "c1");
    EXPECT_EQ(topic.channelrefs[0].displaytitle, "Eins");
    EXPECT_EQ(topic.channelrefs[0].tooltip, "Tipp");
    EXPECT_EQ(topic.channelrefs[1].id, "c2");
    EXPECT_EQ(topic.channelrefs[1].tooltip, "");

    ASSERT_EQ(ChannelIds(cf), (std::vector<std::string>{"c1", "c2", "c3", "c2"}));
    const auto& c1 = cf.channels[0];
    EXPECT_EQ(c1.serial, "11");
    EXPECT_EQ(c1.title, "Eins & Alles");
    EXPECT_EQ(c1.description, "Kanal \xC3\xBC"
                              "ber alles");
    EXPECT_EQ(c1.uri, "#brimwald:///feeds/c1.xml");
    EXPECT_EQ(c1.iconuri, "#brimwald:///icons/c1b.gif"); // the later icon overwrites the uri
    EXPECT_EQ(c1.iconserial, "5");                       // and leaves the serial
    EXPECT_TRUE(c1.mandatory);
    EXPECT_FALSE(c1.subscriptiondefault);
    EXPECT_FALSE(c1.subscribed);
    EXPECT_FALSE(cf.channels[1].mandatory); // TRUE in capitals
    EXPECT_TRUE(cf.channels[1].subscriptiondefault);
    EXPECT_FALSE(cf.channels[2].subscriptiondefault); // "yes"
    EXPECT_EQ(cf.channels[2].serial, "");             // no attribute: empty, no error
}

TEST(CFLoad, NamespacesCountLetterCaseDoes) {
    CF prefixed;
    EXPECT_TRUE(prefixed.Load(Fixture("namespaced.xml")).complete);
    EXPECT_EQ(prefixed.time, "t");
    EXPECT_EQ(ChannelIds(prefixed), (std::vector<std::string>{"p1", "d1"}));
    EXPECT_EQ(prefixed.channels[0].title, "prefixed");
    EXPECT_EQ(prefixed.hosts, (std::vector<std::string>{"h"}));

    CF cased;
    EXPECT_TRUE(cased.Load(Fixture("lettercase.xml")).complete);
    EXPECT_EQ(cased.time, "t");
    EXPECT_TRUE(cased.channels.empty());
    EXPECT_TRUE(cased.hosts.empty());
    EXPECT_TRUE(cased.layouts.empty());
    EXPECT_TRUE(cased.topics.empty());
}

struct ValueErrorCase {
    const char* file;
    std::vector<std::string> channels; // what stays
    std::vector<std::string> hosts;
    std::size_t topics;
    const char* error; // a piece of the reported reason
};

class CFValueErrors : public testing::TestWithParam<ValueErrorCase> {};

TEST_P(CFValueErrors, EndTheLoadAndKeepWhatCameBefore) {
    const auto& c = GetParam();
    CF cf;
    const auto result = cf.Load(Fixture(c.file));
    EXPECT_FALSE(result.complete);
    EXPECT_TRUE(result.parsed);
    EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    EXPECT_EQ(ChannelIds(cf), c.channels);
    EXPECT_EQ(cf.hosts, c.hosts);
    EXPECT_EQ(cf.topics.size(), c.topics);
    EXPECT_TRUE(cf.layouts.empty()); // every fixture has its layout after the fault, if any
}

INSTANTIATE_TEST_SUITE_P(
    Table, CFValueErrors,
    testing::Values(ValueErrorCase{"empty-serial.xml", {"a"}, {}, 0, "empty attribute \"serial\""},
                    ValueErrorCase{"cdata-description.xml", {"a"}, {}, 0, "single text node"},
                    ValueErrorCase{"empty-description.xml", {"a"}, {}, 0, "empty \"description\""},
                    ValueErrorCase{"element-description.xml", {"a"}, {}, 0, "single text node"},
                    ValueErrorCase{"comment-description.xml", {"a"}, {}, 0, "single text node"},
                    ValueErrorCase{"empty-icon-id.xml", {"a"}, {}, 0, "empty attribute \"id\""},
                    ValueErrorCase{"empty-time.xml", {}, {}, 0, "\"time\""},
                    ValueErrorCase{"empty-host.xml", {}, {"h1"}, 0, "\"name\""},
                    ValueErrorCase{"empty-tooltip.xml", {}, {}, 1, "\"tooltip\""},
                    ValueErrorCase{"idless-channel-error.xml", {"a"}, {}, 0, "description"},
                    ValueErrorCase{"prefixed-empty.xml", {"a"}, {}, 0, "x:title"}),
    [](const testing::TestParamInfo<ValueErrorCase>& p) {
        std::string name = p.param.file;
        name = name.substr(0, name.find('.'));
        for (char& ch : name) {
            if (ch == '-') {
                ch = '_';
            }
        }
        return name;
    });

TEST(CFLoad, UnreadableDocumentsGiveAnEmptyModel) {
    TempFolder dir;
    for (const std::string& path :
         {Fixture("malformed.xml"), dir.Path() + "/missing.xml", dir.Path()}) {
        CF cf;
        const auto result = cf.Load(path);
        EXPECT_FALSE(result.complete) << path;
        EXPECT_FALSE(result.parsed) << path;
        EXPECT_FALSE(result.error.empty()) << path;
        EXPECT_TRUE(cf.channels.empty() && cf.hosts.empty() && cf.time.empty()) << path;
    }
}

TEST(CFFindChannel, LastOfSharedIdNoneForEmptyOrUnknown) {
    CF cf;
    ASSERT_TRUE(cf.Load(Fixture("full.xml")).complete);
    EXPECT_EQ(cf.FindChannel("c2"), &cf.channels[3]);
    EXPECT_EQ(cf.FindChannel("c1"), &cf.channels[0]);
    EXPECT_EQ(cf.FindChannel(""), nullptr);
    EXPECT_EQ(cf.FindChannel("C1"), nullptr);
    EXPECT_EQ(cf.FindChannel("c1 "), nullptr);
}

TEST(CFLayoutOf, LastLayoutWithExactlyTheKey) {
    CF cf;
    for (const auto& [key, uri] : std::vector<std::pair<std::string, std::string>>{
             {"a", "#a1"}, {"b", "#b1"}, {"a", "#a2"}, {"A", "#A"}, {"a ", "#blank"}}) {
        CFLayout layout;
        layout.key = key;
        layout.uri = uri;
        cf.layouts.push_back(layout);
    }
    struct Case {
        const char* key;
        const char* uri; // nullptr: none
    };
    const Case cases[] = {{"a", "#a2"},     {"b", "#b1"},   {"A", "#A"},
                          {"a ", "#blank"}, {"c", nullptr}, {"", nullptr}};
    for (const Case& c : cases) {
        const CFLayout* layout = cf.LayoutOf(c.key);
        if (c.uri == nullptr) {
            EXPECT_EQ(layout, nullptr) << c.key;
        } else {
            ASSERT_NE(layout, nullptr) << c.key;
            EXPECT_EQ(layout->uri, c.uri) << c.key;
        }
    }
    EXPECT_EQ(CF().LayoutOf("a"), nullptr);
}

TEST(CFSubscriptionIds, LinesWithoutTheEmptyOnes) {
    struct Case {
        std::string text;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {"", {}},
        {"\r\n\r\n", {}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\rc", {"a", "b", "c"}},
        {"a\r\rb", {"a", "b"}},
        {"a \r\n a", {"a ", " a"}}, // nothing trimmed
        {"a\r\na\r\n", {"a", "a"}}, // in file order, repeats kept
        {"\n\nx\r\n\ry\n", {"x", "y"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseSubscriptionIds(c.text), c.ids) << testing::PrintToString(c.text);
    }
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    EXPECT_EQ(ReadSubscriptionIds(path), std::nullopt);
    WriteFile(path, "x\r\n\r\ny\r\n");
    EXPECT_EQ(ReadSubscriptionIds(path), (std::vector<std::string>{"x", "y"}));
    EXPECT_THROW(ReadSubscriptionIds(dir.Path()), platform::FileError);
}

// Channels: m mandatory, d subscribed by default, p plain.
CF ThreeChannels() {
    CF cf;
    for (const char* id : {"m", "d", "p"}) {
        CFChannel c;
        c.id = id;
        c.mandatory = c.id == "m";
        c.subscriptiondefault = c.id == "d";
        cf.channels.push_back(c);
    }
    return cf;
}

struct SubscriptionsCase {
    const char* name;
    std::optional<std::string> content; // nullopt: no file
    std::vector<std::string> subscribed;
};

class CFLoadSubscriptions : public testing::TestWithParam<SubscriptionsCase> {};

TEST_P(CFLoadSubscriptions, SetsTheFlags) {
    const auto& c = GetParam();
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    if (c.content) {
        WriteFile(path, *c.content);
    }
    CF cf = ThreeChannels();
    for (auto& channel : cf.channels) {
        channel.subscribed = true; // every case must set every flag
    }
    cf.LoadSubscriptions(path);
    EXPECT_EQ(SubscribedIds(cf), c.subscribed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CFLoadSubscriptions,
    testing::Values(SubscriptionsCase{"NoFile", std::nullopt, {"m", "d"}},
                    SubscriptionsCase{"EmptyFile", "", {}},
                    SubscriptionsCase{"CrLf", "p\r\nm\r\n", {"m", "p"}},
                    SubscriptionsCase{"LfCrAndNoLastEnd", "p\nd\rm", {"m", "d", "p"}},
                    SubscriptionsCase{"TrailingBlankMatchesNothing", "p \r\n", {}},
                    SubscriptionsCase{"LetterCaseCounts", "P\r\nM\r\n", {}},
                    SubscriptionsCase{"UnknownAndEmptyLines", "x\r\n\r\n\n\rd\r\n", {"d"}},
                    SubscriptionsCase{"OddBytes", std::string("\xFF\0p\r\np\0\r\n\xE4", 10), {}}),
    [](const testing::TestParamInfo<SubscriptionsCase>& p) { return std::string(p.param.name); });

TEST(CFLoadSubscriptions, UnreadableFileFailsAndKeepsTheFlags) {
    TempFolder dir;
    CF cf = ThreeChannels();
    cf.channels[2].subscribed = true;
    // A folder at the path exists and cannot be read as a file.
    EXPECT_THROW(cf.LoadSubscriptions(dir.Path()), platform::FileError);
    EXPECT_EQ(SubscribedIds(cf), (std::vector<std::string>{"p"}));
}

TEST(CFSaveSubscriptions, WritesTheFlagsAndEveryMandatoryChannel) {
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    WriteFile(path, "old content\r\n");
    CF cf = ThreeChannels();
    cf.channels[2].subscribed = true;
    cf.SaveSubscriptions(path);
    EXPECT_EQ(ReadFileOrEmpty(path), "m\r\np\r\n");
    EXPECT_EQ(SubscribedIds(cf), (std::vector<std::string>{"m", "p"}));
}

TEST(CFSaveSubscriptions, WithoutAFileKeepsTheFirstChoice) {
    // The user's first choice in the subscription dialog is written as it stands, not
    // replaced by the defaults (the default channel "d" was deselected here).
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    CF cf = ThreeChannels();
    cf.LoadSubscriptions(path);
    cf.channels[1].subscribed = false;
    cf.channels[2].subscribed = true;
    cf.SaveSubscriptions(path);
    EXPECT_EQ(ReadFileOrEmpty(path), "m\r\np\r\n");

    // Loading and saving straight away writes the defaults and the mandatory channels.
    TempFolder other;
    const std::string fresh = other.Path() + "/subscriptions.dir";
    CF first = ThreeChannels();
    first.LoadSubscriptions(fresh);
    first.SaveSubscriptions(fresh);
    EXPECT_EQ(ReadFileOrEmpty(fresh), "m\r\nd\r\n");
}

TEST(CFSaveSubscriptions, EmptyFileSubscribesNothingUntilTheNextSave) {
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    WriteFile(path, "");
    CF cf = ThreeChannels();
    cf.LoadSubscriptions(path);
    EXPECT_TRUE(SubscribedIds(cf).empty());
    cf.SaveSubscriptions(path);
    EXPECT_EQ(ReadFileOrEmpty(path), "m\r\n");
}

TEST(CFSaveSubscriptions, EmptySelectionGivesAnEmptyFile) {
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    WriteFile(path, "p\r\n");
    CF cf;
    cf.SaveSubscriptions(path);
    EXPECT_TRUE(platform::FileExists(path));
    EXPECT_EQ(ReadFileOrEmpty(path), "");
}

TEST(CFSaveSubscriptions, ReplacesAtomicallyAndFailsClearly) {
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    WriteFile(path, "d\r\n");
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    CF cf = ThreeChannels();
    cf.channels[2].subscribed = true;
    cf.SaveSubscriptions(path);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino); // a new file renamed over the old one
    EXPECT_EQ(ReadFileOrEmpty(path), "m\r\np\r\n");

    EXPECT_THROW(cf.SaveSubscriptions(dir.Path() + "/no/such/folder/subscriptions.dir"),
                 platform::FileError);
    EXPECT_EQ(ReadFileOrEmpty(path), "m\r\np\r\n");
}

TEST(CFSubscriptions, RoundTripWithTheControlFile) {
    TempFolder dir;
    const std::string path = dir.Path() + "/subscriptions.dir";
    CF cf;
    ASSERT_TRUE(cf.Load(Fixture("full.xml")).complete);
    cf.LoadSubscriptions(path); // no file: c1 mandatory, the first c2 by default
    EXPECT_EQ(SubscribedIds(cf), (std::vector<std::string>{"c1", "c2"}));
    cf.SaveSubscriptions(path);
    EXPECT_EQ(ReadFileOrEmpty(path), "c1\r\nc2\r\n");

    CF again;
    ASSERT_TRUE(again.Load(Fixture("full.xml")).complete);
    again.LoadSubscriptions(path);
    // Both channels with id c2 match the line.
    EXPECT_EQ(SubscribedIds(again), (std::vector<std::string>{"c1", "c2", "c2"}));
}

} // namespace

// tolvar-inspect feed, run as a real program.

#include "support/inspect.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tolvar::test::DataPath;

TEST(InspectFeed, PrintsTheItems) {
    const auto run = tolvar::test::RunInspect({"feed", DataPath("channelfeeds/rss1.xml")});
    EXPECT_EQ(run.status, 0);
    for (const char* piece :
         {"\"complete\": true", "\"error\": null", "\"title\": \"A\"",
          "\"link\": \"http://example.com/a\"", "\"contenturi\": \"#brimwald:///images/a2.jpg\"",
          "\"title\": \"C\""}) {
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
    }
}

TEST(InspectFeed, TellsTheValueErrorThatEndedTheReading) {
    const auto run = tolvar::test::RunInspect({"feed", DataPath("channelfeeds/link-element.xml")});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"complete\": false"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"error\": \"Element does not contain a single text node\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"title\": \"A\""), std::string::npos);
    EXPECT_EQ(run.out.find("\"title\": \"B\""), std::string::npos);
}

TEST(InspectFeed, BadInputFails) {
    tolvar::test::TempFolder dir;
    const std::string broken = dir.Path() + "/broken.xml";
    tolvar::test::WriteFile(broken, "<rss><item>");
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"feed"}, 2},
        {{"feed", "a", "b"}, 2},
        {{"feed", dir.Path() + "/missing.xml"}, 1},
        {{"feed", broken}, 1},
        {{"feed", dir.Path()}, 1},
    };
    for (const auto& c : cases) {
        const auto run = tolvar::test::RunInspect(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_EQ(run.out, "") << c.args.back();
    }
}

} // namespace

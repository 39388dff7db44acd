// tolvar-inspect control, run as a real program.

#include "support/inspect.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tolvar::test::DataPath;

TEST(InspectControl, PrintsTheWholeModel) {
    const auto run = tolvar::test::RunInspect({"control", DataPath("controlfile/full.xml")});
    EXPECT_EQ(run.status, 0);
    // The escape of one text ends where its literal is split; no comma is missing.
    // NOLINTBEGIN(bugprone-suspicious-missing-comma)
    for (const char* piece :
         {"\"complete\": true", "\"error\": null", "\"time\": \"2026-12-10 08:00\"",
          "\"a.example\"", "\"key\": \"prov\"", "\"displaytitle\": \"Eins\"",
          "\"description\": \"Kanal \xC3\xBC"
          "ber alles\"",
          "\"iconuri\": \"#brimwald:///icons/c1b.gif\"", "\"mandatory\": true",
          "\"subscriptiondefault\": true", "\"version\": \"2.0\"", "\"size\": \"1234\""}) {
        // NOLINTEND(bugprone-suspicious-missing-comma)
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
    }
}

TEST(InspectControl, TellsTheValueErrorThatEndedTheLoad) {
    const auto run =
        tolvar::test::RunInspect({"control", DataPath("controlfile/empty-serial.xml")});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"complete\": false"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"error\": \"empty attribute \\\"serial\\\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"id\": \"a\""), std::string::npos);
    EXPECT_EQ(run.out.find("\"id\": \"c\""), std::string::npos);
}

TEST(InspectControl, BadInputFails) {
    tolvar::test::TempFolder dir;
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"control"}, 2},
        {{"control", "a", "b"}, 2},
        {{"control", dir.Path() + "/missing.xml"}, 1},
        {{"control", DataPath("controlfile/malformed.xml")}, 1},
    };
    for (const auto& c : cases) {
        const auto run = tolvar::test::RunInspect(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_EQ(run.out, "") << c.args.back();
    }
}

} // namespace

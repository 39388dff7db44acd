// tolvar-inspect layout, run as a real program.

#include "support/process.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using tolvar::test::Child;
using tolvar::test::DataPath;

struct Run {
    int status;
    std::string out;
};

Run Inspect(const std::vector<std::string>& args) {
    Child child(TOLVAR_INSPECT_PATH, args, true);
    std::string out = child.ReadAllOutput();
    return {child.ExitCode().value_or(-1000), out};
}

TEST(InspectLayout, PrintsTheModel) {
    const auto run = Inspect({"layout", DataPath("layoutfile/full.xml")});
    EXPECT_EQ(run.status, 0);
    for (const char* piece :
         {"\"complete\": true", "\"error\": null", "\"compat\": \"2\"", "\"context\": \"default\"",
          "\"colorsecondshand\": 65280", "\"thumbmaxwidth\": 120",
          "\"pressedsrc\": \"#brimwald:///images/p/quit_p.gif\"", "\"syncblinkserial\": \"2\"",
          "\"background\": {", "\"width\": -1"}) {
        EXPECT_NE(run.out.find(piece), std::string::npos) << piece << "\n" << run.out;
    }
}

TEST(InspectLayout, TellsTheValueErrorAndKeepsWhatCameBefore) {
    tolvar::test::TempFolder dir;
    const std::string path = dir.Path() + "/l.xml";
    tolvar::test::WriteFile(path, R"(<layout><screen width="800" height="600"/>)"
                                  R"(<screen width="1024" height="768"><image src=""/></screen>)"
                                  R"(</layout>)");
    const auto run = Inspect({"layout", path});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"complete\": false"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"error\": \"Could not convert variant of type (Null) into type "
                           "(String)\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"width\": 800"), std::string::npos);
    EXPECT_EQ(run.out.find("\"width\": 1024"), std::string::npos);
}

TEST(InspectLayout, BadInputGivesAClearMessageAndFailure) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"layout"}, 2},
        {{"layout", "a", "b"}, 2},
        {{"layout", DataPath("layoutfile/missing.xml")}, 1},
        {{"layout", DataPath("layoutfile/malformed.xml")}, 1},
        {{"layout", DataPath("layoutfile")}, 1},
    };
    for (const auto& c : cases) {
        const auto run = Inspect(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

} // namespace

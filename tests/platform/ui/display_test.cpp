#include "platform/ui/display.h"
#include "support/process.h"
#include "support/temphome.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using tolvar::test::ScopedEnv;

// Display numbers no X server of the test machine uses.
constexpr const char* kDeadDisplay = ":97";

TEST(DisplayProblem, FollowsThePlatformQtWouldChoose) {
    struct Case {
        const char* platform;
        const char* display;
        const char* wayland;
        bool problem;
        const char* mentions;
    };
    const Case cases[] = {
        {"offscreen", nullptr, nullptr, false, ""},
        {"minimal", kDeadDisplay, nullptr, false, ""},
        {nullptr, nullptr, nullptr, true, "DISPLAY is not set"},
        {"xcb", nullptr, nullptr, true, "DISPLAY is not set"},
        {nullptr, kDeadDisplay, nullptr, true, "\":97\""},
        {"xcb:nomitshm", kDeadDisplay, nullptr, true, "\":97\""},
        {"wayland", nullptr, "tolvar-no-compositor", true, "tolvar-no-compositor"},
        // Neither display answers: Qt would fall back from Wayland to X and fail there.
        {nullptr, kDeadDisplay, "tolvar-no-compositor", true, "\":97\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.platform ? c.platform : "-") + " " +
                     (c.display ? c.display : "-") + " " + (c.wayland ? c.wayland : "-"));
        ScopedEnv platformVar("QT_QPA_PLATFORM", c.platform);
        ScopedEnv display("DISPLAY", c.display);
        ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
        const auto problem = platform::DisplayProblem();
        EXPECT_EQ(problem.has_value(), c.problem);
        if (problem) {
            EXPECT_NE(problem->find(c.mentions), std::string::npos) << *problem;
            EXPECT_EQ(problem->find('\n'), std::string::npos) << "one line";
        }
    }
}

// The real programs on a dead display: one line on standard error and a non-zero exit,
// never an abort.
TEST(DisplayProblem, EachProgramSaysSoInOneLineAndExitsNonZero) {
    tolvar::test::TempHome home;
    ScopedEnv platformVar("QT_QPA_PLATFORM", nullptr);
    ScopedEnv display("DISPLAY", kDeadDisplay);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    struct Case {
        const char* program;
        const char* argument;
        const char* name;
    };
    const Case cases[] = {{TOLVAR_SAVER_PATH, "/s", "Tolvar"},
                          {TOLVAR_SAVER_PATH, "/c", "Tolvar"},
                          {TOLVAR_CTRL_PATH, "--quiet", "TolvarCtrl"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.argument);
        // Standard error joins the captured output.
        tolvar::test::Child child("/bin/sh",
                                  {"-c", "exec \"$0\" \"$1\" 2>&1", c.program, c.argument}, true);
        const std::string output = child.ReadAllOutput();
        const auto status = child.Wait();
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(WIFEXITED(*status)) << "ended by a signal: " << output;
        EXPECT_NE(WEXITSTATUS(*status), 0);
        const std::string line =
            std::string(c.name) +
            ": cannot open the display \":97\": no X server accepts a connection\n";
        EXPECT_EQ(output.substr(0, line.size()), line);
    }
}

} // namespace

#include "platform/process.h"
#include "support/temphome.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

using platform::ProcessResult;
using platform::RunProcess;
using tolvar::test::HelperPath;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempFolder;

TEST(SplitCommandLine, Words) {
    struct Case {
        const char* text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"nmcli con up id Modem", {"nmcli", "con", "up", "id", "Modem"}},
        {"  pon \t provider  ", {"pon", "provider"}},
        {"/usr/bin/dial \"Mein Anbieter\" x", {"/usr/bin/dial", "Mein Anbieter", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"say \"he said \\\"hi\\\"\"", {"say", "he said \"hi\""}},
        {"\"back\\\\slash\" keep\\n", {"back\\slash", "keep\\n"}},
        {"$HOME `id` a|b >out;rm", {"$HOME", "`id`", "a|b", ">out;rm"}},
    };
    for (const auto& c : cases) {
        auto words = platform::SplitCommandLine(c.text);
        ASSERT_TRUE(words) << c.text;
        EXPECT_EQ(*words, c.words) << c.text;
    }
    EXPECT_FALSE(platform::SplitCommandLine("dial \"unclosed"));
    EXPECT_FALSE(platform::SplitCommandLine("\"\\\""));
}

class RunProcessTest : public ::testing::Test {
protected:
    std::vector<std::string> Command(const std::string& code, const std::string& waitFile,
                                     std::vector<std::string> args = {}) {
        std::vector<std::string> argv = {HelperPath("command_helper"), log, code, waitFile};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    TempFolder dir;
    const std::string log = dir.Path() + "/log";
};

TEST_F(RunProcessTest, ExitStatusAndArgumentsReachTheProgramUnchanged) {
    const auto result =
        RunProcess(Command("0", "-", {"$HOME", "a b", "*", "x;y"}), std::chrono::seconds(30));
    EXPECT_TRUE(result.Succeeded()) << platform::Describe(result);
    EXPECT_EQ(ReadFileOrEmpty(log), "$HOME|a b|*|x;y\n");

    const auto failed = RunProcess(Command("7", "-"), std::chrono::seconds(30));
    EXPECT_EQ(failed.status, ProcessResult::Status::Exited);
    EXPECT_EQ(failed.code, 7);
    EXPECT_FALSE(failed.Succeeded());
    EXPECT_EQ(platform::Describe(failed), "exit status 7");
}

TEST_F(RunProcessTest, ProgramsAreFoundInThePath) {
    EXPECT_TRUE(RunProcess({"true"}, std::chrono::seconds(30)).Succeeded());
    const auto result = RunProcess({"false"}, std::chrono::seconds(30));
    EXPECT_EQ(result.status, ProcessResult::Status::Exited);
    EXPECT_EQ(result.code, 1);
}

TEST_F(RunProcessTest, MissingProgramIsNotStarted) {
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {}, {""}, {dir.Path() + "/none"}, {"tolvar-no-such-program"}}) {
        const auto result = RunProcess(argv, std::chrono::seconds(30));
        EXPECT_EQ(result.status, ProcessResult::Status::NotStarted);
        EXPECT_FALSE(result.Succeeded());
    }
}

TEST_F(RunProcessTest, SignalIsReported) {
    const auto result = RunProcess({"/bin/sh", "-c", "kill -TERM $$"}, std::chrono::seconds(30));
    EXPECT_EQ(result.status, ProcessResult::Status::Signalled);
    EXPECT_EQ(result.code, SIGTERM);
}

TEST_F(RunProcessTest, TimeOutKillsTheWholeGroup) {
    const auto start = std::chrono::steady_clock::now();
    const auto result =
        RunProcess(Command("group", dir.Path() + "/never"), std::chrono::milliseconds(300));
    EXPECT_EQ(result.status, ProcessResult::Status::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // The grandchild died with the group: its log stops growing.
    const std::string before = ReadFileOrEmpty(log);
    EXPECT_FALSE(tolvar::test::WaitUntil([&] { return ReadFileOrEmpty(log) != before; },
                                         std::chrono::milliseconds(2500)));
}

TEST_F(RunProcessTest, PumpRunsWhileWaitingAndCanEndTheWait) {
    const std::string go = dir.Path() + "/go";
    int pumps = 0;
    const auto result =
        RunProcess(Command("0", go), std::chrono::seconds(30), [&](std::chrono::milliseconds most) {
            EXPECT_LE(most.count(), 10);
            if (++pumps == 3) {
                tolvar::test::WriteFile(go, "");
            }
        });
    EXPECT_TRUE(result.Succeeded()) << platform::Describe(result);
    EXPECT_GE(pumps, 3);
}

TEST_F(RunProcessTest, InputIsEmpty) {
    const auto result =
        RunProcess({"/bin/sh", "-c", "read line; test -z \"$line\""}, std::chrono::seconds(30));
    EXPECT_TRUE(result.Succeeded()) << platform::Describe(result);
}

// A program that outlives its starter holds none of the starter's pipes (a script that
// reads the starter's output would wait for it forever) and no part of its session.
TEST_F(RunProcessTest, DetachedProgramsHoldNoOutputOrSessionOfTheStarter) {
    const platform::StartedProcess started = platform::StartDetachedProcess({"sleep", "30"});
    ASSERT_GT(started.pid, 0);
    const std::string proc = "/proc/" + std::to_string(started.pid);
    // posix_spawn returns once the program runs: its descriptors are in place.
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/1"), "/dev/null");
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/2"), "/dev/null");
    // A session of its own: the sixth field of its stat line is its own process id.
    std::istringstream stat(ReadFileOrEmpty(proc + "/stat"));
    std::string field;
    for (int i = 0; i < 6; ++i) {
        stat >> field;
    }
    EXPECT_EQ(field, std::to_string(started.pid));
    ::kill(started.pid, SIGKILL);
    EXPECT_TRUE(platform::WaitProcess(started.pid, std::chrono::seconds(30)));
}

} // namespace

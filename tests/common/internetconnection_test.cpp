#include "common/internetconnection.h"
#include "platform/bus.h"
#include "platform/registry.h"
#include "support/process.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <gtest/gtest.h>

namespace {

using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::ScriptedDialup;
using tolvar::test::TempHome;
using Calls = std::vector<std::string>;

class InternetConnection : public ::testing::Test {
protected:
    void SetUp() override {
        script->SetInstalled("Testnetz");
        BindPrompt(true);
    }
    void BindPrompt(bool answer) {
        platform::SetDialPrompt(
            [answer](platform::ParentWindow, const std::string&) { return answer; });
    }

    TempHome home;
    ScriptedDialup script;
};

TEST_F(InternetConnection, FlagsAndQueries) {
    struct Case {
        const char* what;
        bool lan;
        bool installed;
        bool dialled;
        std::uint32_t flags;
        bool lanConfigured = false;
        bool connected = false;
    };
    const Case cases[] = {
        {"offline, nothing installed", false, false, false, 0},
        {"offline with dial-up installed", false, true, false, INTERNET_RAS_INSTALLED},
        {"LAN", true, false, false, INTERNET_CONNECTION_LAN, false, true},
        {"LAN and dial-up installed", true, true, false,
         INTERNET_CONNECTION_LAN | INTERNET_RAS_INSTALLED, false, true},
        {"dialled", false, true, true, INTERNET_CONNECTION_MODEM | INTERNET_RAS_INSTALLED, false,
         true},
        // The network is set up but its link is down: the LAN flag, yet not connected.
        {"LAN set up, offline", false, false, false, INTERNET_CONNECTION_LAN, true, false},
    };
    for (const auto& c : cases) {
        script->SetLan(false);
        script->SetInstalled("Testnetz");
        if (c.dialled) {
            ASSERT_TRUE(DialInternet(0, 1)) << c.what;
        }
        script->SetLan(c.lan);
        script->SetLanConfigured(c.lanConfigured);
        script->SetInstalled(c.installed ? std::optional<std::string>("Testnetz") : std::nullopt);
        EXPECT_EQ(GetConnectionFlags(), c.flags) << c.what;
        EXPECT_EQ(IsInternetConnected(), c.connected) << c.what;
        EXPECT_EQ(IsLanConnection(), (c.flags & 0x02) != 0) << c.what;
        EXPECT_EQ(IsModemConnection(), (c.flags & 0x01) != 0) << c.what;
        EXPECT_EQ(IsRasInstalled(), (c.flags & 0x10) != 0) << c.what;
        if (c.dialled) {
            script->SetInstalled("Testnetz");
            ASSERT_TRUE(HangUpInternet()) << c.what;
        }
    }
}

// Every dial type and failure, and which hang-up follows it.
TEST_F(InternetConnection, DialAndHangUpTable) {
    enum class Prompt { Accept, Cancel, None };
    enum class HangUp { Id, Autodial, Nothing };
    struct Case {
        const char* what;
        int type;
        bool lan;
        bool installed;
        bool dialSucceeds;
        Prompt prompt;
        bool result;
        bool positiveId; // else the state holds -1
        Calls dialCalls; // backend calls of the dial
        HangUp hangUp;   // what HangUpInternet ends
        bool hangUpResult;
    };
    const Calls dial = {"dial Testnetz"};
    const Case cases[] = {
        {"type 1", 1, false, true, true, Prompt::Accept, true, true, dial, HangUp::Id, true},
        {"type 2", 2, false, true, true, Prompt::Accept, true, true, dial, HangUp::Id, true},
        {"type 3", 3, false, true, true, Prompt::Cancel, true, false, dial, HangUp::Autodial, true},
        {"type 3 on the LAN",
         3,
         true,
         true,
         true,
         Prompt::Accept,
         true,
         false,
         {},
         HangUp::Autodial,
         false},
        {"type 0", 0, false, true, true, Prompt::Accept, false, false, {}, HangUp::Nothing, false},
        {"type 4", 4, false, true, true, Prompt::Accept, false, false, {}, HangUp::Nothing, false},
        {"type -1",
         -1,
         false,
         true,
         true,
         Prompt::Accept,
         false,
         false,
         {},
         HangUp::Nothing,
         false},
        {"type 1 cancelled",
         1,
         false,
         true,
         true,
         Prompt::Cancel,
         false,
         false,
         {},
         HangUp::Nothing,
         false},
        {"type 2 without a prompt",
         2,
         false,
         true,
         true,
         Prompt::None,
         false,
         false,
         {},
         HangUp::Nothing,
         false},
        {"type 1 failing", 1, false, true, false, Prompt::Accept, false, false, dial,
         HangUp::Nothing, false},
        {"type 3 failing", 3, false, true, false, Prompt::Accept, false, false, dial,
         HangUp::Nothing, false},
        {"type 1 not installed",
         1,
         false,
         false,
         true,
         Prompt::Accept,
         false,
         false,
         {},
         HangUp::Nothing,
         false},
        {"type 3 not installed",
         3,
         false,
         false,
         true,
         Prompt::Accept,
         false,
         false,
         {},
         HangUp::Nothing,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script->SetLan(c.lan);
        script->SetInstalled(c.installed ? std::optional<std::string>("Testnetz") : std::nullopt);
        script->SetDialSucceeds(c.dialSucceeds);
        if (c.prompt == Prompt::None) {
            platform::SetDialPrompt({});
        } else {
            BindPrompt(c.prompt == Prompt::Accept);
        }
        RecordConnectionId(0x1234); // the dial resets what stood before

        EXPECT_EQ(DialInternet(99, c.type), c.result);
        EXPECT_EQ(script->TakeCalls(), c.dialCalls);
        const auto records = platform::ListDialupRecords();
        if (c.positiveId) {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(GetConnectionId(), records[0].id);
            EXPECT_FALSE(records[0].autodial);
        } else {
            EXPECT_EQ(GetConnectionId(), -1);
        }
        if (c.hangUp == HangUp::Autodial && !c.lan) {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_TRUE(records[0].autodial);
        }

        script->SetInstalled("Testnetz");
        EXPECT_EQ(HangUpInternet(), c.hangUpResult);
        EXPECT_EQ(script->TakeCalls(), c.hangUpResult ? Calls{"hangup Testnetz"} : Calls{});
        EXPECT_TRUE(platform::ListDialupRecords().empty());
        // The hang-up changed no state: a second one finds nothing left.
        EXPECT_EQ(GetConnectionId(), c.positiveId ? records[0].id : -1);
        EXPECT_FALSE(HangUpInternet());
    }
}

TEST_F(InternetConnection, FailedHangUpReportsFalseAndDoesNotLeaveTheConnectionUp) {
    for (const int type : {2, 3}) {
        SCOPED_TRACE(type);
        script->SetHangUpSucceeds(true);
        ASSERT_TRUE(DialInternet(0, type));
        ASSERT_TRUE(IsModemConnection());
        script->SetHangUpSucceeds(false);
        EXPECT_FALSE(HangUpInternet());
        // Not up for the rest of the session: the next decision dials again.
        EXPECT_FALSE(IsModemConnection());
        EXPECT_FALSE(IsInternetConnected());
    }
}

TEST_F(InternetConnection, RecordedIdIsWhatTheHangUpEnds) {
    // A quiet dial of this program, then a cycle in which the saver dialled: the saver's
    // connection is the one to end, not the earlier automatic one.
    ASSERT_TRUE(DialInternet(0, 3));
    RecordConnectionId(-1); // what the program reports after its own quiet dial
    script->SetInstalled("Saver-Netz");
    const auto saverId = platform::DialConnection(0);
    ASSERT_TRUE(saverId);
    script->TakeCalls();

    RecordConnectionId(-1);
    EXPECT_TRUE(HangUpInternet()); // -1 keeps the automatic dial's hang-up
    EXPECT_EQ(script->TakeCalls(), Calls{"hangup Testnetz"});

    RecordConnectionId(*saverId);
    EXPECT_EQ(GetConnectionId(), *saverId);
    EXPECT_TRUE(HangUpInternet());
    EXPECT_EQ(script->TakeCalls(), Calls{"hangup Saver-Netz"});
    EXPECT_FALSE(IsModemConnection());
}

TEST_F(InternetConnection, ConnectionDialledInOneProcessIsHungUpFromAnother) {
    Child saver(HelperPath("dialup_helper"), {"dial", "2"}, true);
    EXPECT_EQ(saver.ReadLine(), "dial Testnetz");
    const auto answer = saver.ReadLine();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->rfind("result 1 id ", 0), 0u) << *answer;
    const int id = std::stoi(answer->substr(12));
    EXPECT_GT(id, 0);
    EXPECT_EQ(saver.ExitCode(), 0);
    EXPECT_TRUE(IsModemConnection()); // the connection outlives the process that dialled

    RecordConnectionId(id);
    EXPECT_TRUE(HangUpInternet());
    EXPECT_EQ(script->TakeCalls(), Calls{"hangup Testnetz"});
    EXPECT_FALSE(IsModemConnection());

    // And the other way round: dialled here, hung up by a second process.
    ASSERT_TRUE(DialInternet(0, 1));
    Child control(HelperPath("dialup_helper"), {"hangup", std::to_string(GetConnectionId())}, true);
    EXPECT_EQ(control.ReadLine(), "hangup Testnetz");
    EXPECT_EQ(control.ReadLine(), "result 1");
    EXPECT_EQ(control.ExitCode(), 0);
    EXPECT_FALSE(IsModemConnection());
    EXPECT_FALSE(HangUpInternet()); // already gone
    EXPECT_TRUE(script->TakeCalls() == Calls{"dial Testnetz"});
}

} // namespace

namespace {

TEST(InternetConnectionBus, MessagesAreDeliveredWhileADialRuns) {
    TempHome home;
    const std::string log = home.Root() + "/commands.log";
    const std::string file = home.Root() + "/answered";
    // The dial command waits until the dialling process has handled a message.
    auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine, "\\System\\Dialup",
                                           platform::Access::ReadWrite, true);
    ASSERT_TRUE(key);
    key->WriteString("Name", "Testnetz");
    key->WriteString("Dial", HelperPath("command_helper") + " " + log + " 0 " + file + " dial");
    key->WriteString("HangUp", HelperPath("command_helper") + " " + log + " 0 - hangup");

    Child dialler(HelperPath("dialup_helper"), {"busdial", file}, true);
    const auto window = dialler.ReadLine();
    ASSERT_TRUE(window && window->rfind("window ", 0) == 0) << window.value_or("");
    ASSERT_TRUE(
        tolvar::test::WaitUntil([&] { return tolvar::test::ReadFileOrEmpty(log) == "dial\n"; }));

    platform::Bus bus;
    const auto sent = bus.Send(std::stoll(window->substr(7)), platform::Message(0x0400));
    EXPECT_TRUE(sent.Handled());
    EXPECT_EQ(sent.result, 1);
    const auto answer = dialler.ReadLine();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("result 1 id ", 0), 0u) << *answer;
    EXPECT_EQ(dialler.ExitCode(), 0);

    platform::SetDialupBackend(nullptr);
    RecordConnectionId(std::stoi(answer->substr(12)));
    EXPECT_TRUE(HangUpInternet());
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(log), "dial\nhangup\n");
}

} // namespace

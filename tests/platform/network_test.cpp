#include "platform/fileio.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>

namespace {

using platform::DialupRecord;
using tolvar::test::ScriptedDialup;
using tolvar::test::TempHome;

const char* const kV4Header =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const std::string kV6None;
const std::string kZero6(32, '0');

TEST(HasLanRoute, DefaultRouteOnAnInterfaceThatIsUp) {
    struct Case {
        const char* what;
        std::string v4;
        std::string v6;
        bool lan;
    };
    const std::string v4Default =
        std::string(kV4Header) + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    const Case cases[] = {
        {"no routes", kV4Header, kV6None, false},
        {"IPv4 default route", v4Default, kV6None, true},
        {"only a subnet route",
         std::string(kV4Header) + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
         kV6None, false},
        {"default route on a downed interface",
         std::string(kV4Header) + "down0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
         kV6None, false},
        {"default route not up",
         std::string(kV4Header) + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n",
         kV6None, false},
        {"rejecting default route",
         std::string(kV4Header) + "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n",
         kV6None, false},
        {"default route on loopback",
         std::string(kV4Header) + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n",
         kV6None, false},
        {"IPv6 default route", kV4Header,
         kZero6 + " 00 " + kZero6 +
             " 00 fd000000000000000000000000000001 00000400 00000002 "
             "00000000 00000003     eth0\n",
         true},
        {"IPv6 unreachable default on lo", kV4Header,
         kZero6 + " 00 " + kZero6 + " 00 " + kZero6 +
             " ffffffff 00000001 00000000 00200200       lo\n",
         false},
        {"IPv6 subnet route only", kV4Header,
         "fd000000000000000000000000000000 40 " + kZero6 + " 00 " + kZero6 +
             " 00000100 00000001 00000000 00000001     eth0\n",
         false},
        {"truncated lines", std::string(kV4Header) + "eth0\t00000000\n", kZero6 + " 00\n", false},
    };
    auto isUp = [](const std::string& interface) { return interface == "eth0"; };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::HasLanRoute(c.v4, c.v6, isUp), c.lan) << c.what;
    }
}

TEST(InterfaceIsUp, LoopbackAndUnknownInterfacesDoNotCount) {
    EXPECT_FALSE(platform::InterfaceIsUp("lo"));
    EXPECT_FALSE(platform::InterfaceIsUp("tolvar-none0"));
    EXPECT_FALSE(platform::InterfaceIsUp(""));
    EXPECT_FALSE(platform::InterfaceIsUp(std::string(40, 'e')));
}

TEST(HasConfiguredLan, AnInterfaceOtherThanLoopbackThatIsUpOrHasAnAddress) {
    using F = platform::InterfaceFacts;
    struct Case {
        const char* what;
        std::vector<F> interfaces;
        bool configured;
    };
    const Case cases[] = {
        {"no interfaces at all", {}, false},
        {"only loopback, up with addresses", {{"lo", true, true, true, true}}, false},
        {"wired, link up with an address", {{"eth0", false, true, true, true}}, true},
        // The offline laptop: the interface is up but the cable is out.
        {"wired, up, no carrier, no address", {{"eth0", false, true, false, false}}, true},
        {"wireless down but keeping an address", {{"wlan0", false, false, false, true}}, true},
        {"interface down without address", {{"eth0", false, false, false, false}}, false},
        {"loopback and a down interface",
         {{"lo", true, true, true, true}, {"eth0", false, false, false, false}},
         false},
        {"loopback and a configured one",
         {{"lo", true, true, true, true}, {"wlan0", false, true, false, false}},
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::HasConfiguredLan(c.interfaces), c.configured) << c.what;
    }
}

TEST(ListInterfaces, LoopbackIsListedAsLoopback) {
    const auto interfaces = platform::ListInterfaces();
    const auto lo = std::find_if(interfaces.begin(), interfaces.end(),
                                 [](const platform::InterfaceFacts& f) { return f.name == "lo"; });
    ASSERT_NE(lo, interfaces.end()) << "every Linux machine has a loopback interface";
    EXPECT_TRUE(lo->loopback);
    EXPECT_TRUE(lo->up);
}

class DialupLayer : public ::testing::Test {
protected:
    void SetUp() override {
        script->SetInstalled("Testnetz");
        platform::SetDialPrompt([this](platform::ParentWindow parent, const std::string& name) {
            prompts.push_back(std::to_string(parent) + " " + name);
            return answer;
        });
    }

    TempHome home;
    ScriptedDialup script;
    std::vector<std::string> prompts;
    bool answer = true;
};

TEST_F(DialupLayer, FlagsFollowTheBackendAndTheRecords) {
    auto flags = platform::QueryConnectionState();
    EXPECT_FALSE(flags.lan);
    EXPECT_FALSE(flags.modem);
    EXPECT_TRUE(flags.rasInstalled); // also while offline
    EXPECT_FALSE(flags.Connected());

    script->SetLan(true);
    script->SetInstalled(std::nullopt);
    flags = platform::QueryConnectionState();
    EXPECT_TRUE(flags.lan);
    EXPECT_FALSE(flags.rasInstalled);
    EXPECT_TRUE(flags.Connected());

    // Set up but offline: the LAN flag without a connection.
    script->SetLan(false);
    script->SetLanConfigured(true);
    flags = platform::QueryConnectionState();
    EXPECT_TRUE(flags.lan);
    EXPECT_FALSE(flags.lanOnline);
    EXPECT_FALSE(flags.Connected());
    script->SetLanConfigured(false);

    script->SetInstalled("Testnetz");
    ASSERT_TRUE(platform::DialConnection(7));
    flags = platform::QueryConnectionState();
    EXPECT_TRUE(flags.modem);
    EXPECT_TRUE(flags.Connected());
}

TEST_F(DialupLayer, VisibleDialAsksThenRecordsTheConnection) {
    const auto first = platform::DialConnection(42);
    ASSERT_TRUE(first);
    EXPECT_GT(*first, 0);
    EXPECT_EQ(prompts, std::vector<std::string>{"42 Testnetz"});
    EXPECT_EQ(script->TakeCalls(), std::vector<std::string>{"dial Testnetz"});
    const auto second = platform::DialConnection(42);
    ASSERT_TRUE(second);
    EXPECT_NE(*first, *second);

    const auto records = platform::ListDialupRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, *first);
    EXPECT_EQ(records[0].name, "Testnetz");
    EXPECT_FALSE(records[0].autodial);
}

TEST_F(DialupLayer, CancelledFailedAndUninstalledDialsMakeNoConnection) {
    answer = false;
    EXPECT_FALSE(platform::DialConnection(1));
    EXPECT_TRUE(script->TakeCalls().empty()); // cancelled before dialling

    platform::SetDialPrompt({});
    EXPECT_FALSE(platform::DialConnection(1)); // no prompt bound counts as cancelled
    EXPECT_TRUE(script->TakeCalls().empty());

    answer = true;
    platform::SetDialPrompt([this](platform::ParentWindow, const std::string&) { return answer; });
    script->SetDialSucceeds(false);
    EXPECT_FALSE(platform::DialConnection(1));
    EXPECT_FALSE(platform::AutodialConnection(1));
    EXPECT_EQ(script->TakeCalls(), (std::vector<std::string>{"dial Testnetz", "dial Testnetz"}));

    script->SetDialSucceeds(true);
    script->SetInstalled(std::nullopt);
    EXPECT_FALSE(platform::DialConnection(1));
    EXPECT_FALSE(platform::AutodialConnection(1));
    EXPECT_TRUE(script->TakeCalls().empty());
    EXPECT_TRUE(platform::ListDialupRecords().empty());
}

TEST_F(DialupLayer, AutodialAsksNobodyAndDialsOnlyWhenOffline) {
    EXPECT_TRUE(platform::AutodialConnection(1));
    EXPECT_TRUE(prompts.empty());
    const auto records = platform::ListDialupRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].autodial);
    EXPECT_EQ(script->TakeCalls(), std::vector<std::string>{"dial Testnetz"});

    EXPECT_TRUE(platform::AutodialConnection(1)); // online through the modem already
    script->SetLan(true);
    EXPECT_TRUE(platform::AutodialConnection(1));
    EXPECT_TRUE(script->TakeCalls().empty());
}

TEST_F(DialupLayer, HangUpEndsExactlyTheRecordedConnection) {
    const auto a = platform::DialConnection(1);
    script->SetInstalled("Zweitnetz");
    const auto b = platform::DialConnection(1);
    ASSERT_TRUE(a && b);
    script->TakeCalls();

    EXPECT_TRUE(platform::HangUpConnection(*a));
    EXPECT_EQ(script->TakeCalls(), std::vector<std::string>{"hangup Testnetz"});
    const auto left = platform::ListDialupRecords();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, *b);

    // Gone, never made, or no id at all: nothing is run.
    for (std::int32_t id : {*a, *b + 1000, 0, -1}) {
        EXPECT_FALSE(platform::HangUpConnection(id)) << id;
    }
    EXPECT_TRUE(script->TakeCalls().empty());
    EXPECT_FALSE(platform::HangUpAutodialConnection()); // no automatic dial was made
}

TEST_F(DialupLayer, HangUpOfOneConnectionEndsEveryRecordOfItsLink) {
    const auto a = platform::DialConnection(1);
    const auto b = platform::DialConnection(1);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(platform::HangUpConnection(*b));
    EXPECT_TRUE(platform::ListDialupRecords().empty());
    EXPECT_FALSE(platform::QueryConnectionState().modem);
    EXPECT_FALSE(platform::HangUpConnection(*a));
}

TEST_F(DialupLayer, FailedHangUpDoesNotLeaveTheModemReportedUp) {
    struct Case {
        const char* name;
        bool installed;
        bool hangUpSucceeds;
    };
    const Case cases[] = {
        {"hang-up command fails", true, false},
        {"nothing installed to hang up with", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script->SetInstalled("Testnetz");
        script->SetHangUpSucceeds(true);
        const auto id = platform::DialConnection(1);
        ASSERT_TRUE(id);
        ASSERT_TRUE(platform::QueryConnectionState().modem);
        script->SetInstalled(c.installed ? std::optional<std::string>("Testnetz") : std::nullopt);
        script->SetHangUpSucceeds(c.hangUpSucceeds);
        EXPECT_FALSE(platform::HangUpConnection(*id));
        EXPECT_TRUE(platform::ListDialupRecords().empty());
        EXPECT_FALSE(platform::QueryConnectionState().modem);
        // Nothing is left for a later hang-up to end.
        script->SetInstalled("Testnetz");
        script->SetHangUpSucceeds(true);
        EXPECT_FALSE(platform::HangUpConnection(*id));
    }
}

TEST_F(DialupLayer, AutodialHangUpLeavesVisibleDials) {
    const auto visible = platform::DialConnection(1);
    ASSERT_TRUE(visible);
    // The modem is up through the visible dial, so the automatic dial has nothing to do.
    EXPECT_TRUE(platform::AutodialConnection(1));
    EXPECT_FALSE(platform::HangUpAutodialConnection());
    ASSERT_TRUE(platform::HangUpConnection(*visible));

    ASSERT_TRUE(platform::AutodialConnection(1));
    script->SetInstalled("Zweitnetz");
    const auto second = platform::DialConnection(1);
    ASSERT_TRUE(second);
    script->TakeCalls();
    EXPECT_TRUE(platform::HangUpAutodialConnection());
    EXPECT_EQ(script->TakeCalls(), std::vector<std::string>{"hangup Testnetz"});
    const auto left = platform::ListDialupRecords();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, *second);
}

TEST_F(DialupLayer, PumpRunsDuringTheDialAndANestedDialIsRefused) {
    int pumped = 0;
    std::optional<std::optional<std::int32_t>> nested;
    platform::SetDialWaitPump([&](std::chrono::milliseconds) { ++pumped; });
    script->SetDuringDial([&] { nested = platform::DialConnection(1); });
    EXPECT_TRUE(platform::DialConnection(1));
    EXPECT_EQ(pumped, 1);
    ASSERT_TRUE(nested);
    EXPECT_FALSE(*nested);
    EXPECT_EQ(platform::ListDialupRecords().size(), 1u);
}

TEST_F(DialupLayer, IdsAreNeverReused) {
    std::set<std::int32_t> ids;
    for (int i = 0; i < 5; ++i) {
        const auto id = platform::DialConnection(1);
        ASSERT_TRUE(id);
        EXPECT_TRUE(ids.insert(*id).second);
        ASSERT_TRUE(platform::HangUpConnection(*id));
    }
}

TEST_F(DialupLayer, DamagedRecordsAreIgnored) {
    ASSERT_TRUE(platform::DialConnection(1));
    const std::string folder = home.RuntimeDir() + "/";
    const auto records = platform::ListDialupRecords();
    ASSERT_EQ(records.size(), 1u);
    // Find the record folder through the one record, then put junk beside it.
    std::string recordFolder;
    for (const auto& sub : {"tolvar/dialup", "dialup"}) {
        if (platform::FileExists(folder + sub + "/connection-" + std::to_string(records[0].id))) {
            recordFolder = folder + sub;
        }
    }
    ASSERT_FALSE(recordFolder.empty());
    tolvar::test::WriteFile(recordFolder + "/connection-99", "id=98\nname=x\n");
    tolvar::test::WriteFile(recordFolder + "/connection-5", "garbage");
    tolvar::test::WriteFile(recordFolder + "/connection-6", "id=-6\n");
    EXPECT_EQ(platform::ListDialupRecords().size(), 1u);
}

} // namespace

namespace {

// The dial-up of a real machine: commands configured in the machine hive.
class ConfiguredDialup : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetDialupBackend(nullptr);
        platform::SetDialPrompt([this](platform::ParentWindow, const std::string& name) {
            prompted = name;
            return true;
        });
    }
    void TearDown() override { platform::SetDialPrompt({}); }

    void Configure(const std::vector<std::pair<std::string, std::string>>& values) {
        auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine, "\\System\\Dialup",
                                               platform::Access::ReadWrite, true);
        ASSERT_TRUE(key);
        for (const auto& [name, value] : values) {
            key->WriteString(name, value);
        }
    }
    // A command line running the command helper with an exit code and a word to log.
    std::string Command(const std::string& code, const std::string& words) {
        std::string line = "\"";
        line += tolvar::test::HelperPath("command_helper");
        line += "\" \"";
        line += log;
        line += "\" ";
        line += code;
        line += " - ";
        line += words;
        return line;
    }

    TempHome home;
    const std::string log = home.Root() + "/commands.log";
    std::string prompted;
};

TEST_F(ConfiguredDialup, ConfigurationIsReadFromTheMachineHive) {
    EXPECT_FALSE(platform::ReadDialupConfig());
    EXPECT_FALSE(platform::QueryConnectionState().rasInstalled);

    Configure({{"Name", "  Mein Anbieter "},
               {"Dial", "/usr/bin/pon \"mein anbieter\""},
               {"HangUp", "/usr/bin/poff"}});
    auto config = platform::ReadDialupConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->name, "Mein Anbieter");
    EXPECT_EQ(config->dial, (std::vector<std::string>{"/usr/bin/pon", "mein anbieter"}));
    EXPECT_EQ(config->hangUp, std::vector<std::string>{"/usr/bin/poff"});
    EXPECT_TRUE(platform::QueryConnectionState().rasInstalled);

    struct Case {
        const char* what;
        std::string dial;
        bool installed;
    };
    const Case cases[] = {
        {"empty dial command", "   ", false},
        {"unclosed quote", "/usr/bin/pon \"x", false},
        {"dial only", "/usr/bin/pon", true},
    };
    for (const auto& c : cases) {
        Configure({{"Dial", c.dial}});
        EXPECT_EQ(platform::ReadDialupConfig().has_value(), c.installed) << c.what;
    }
    auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine, "\\System\\Dialup",
                                           platform::Access::ReadWrite);
    ASSERT_TRUE(key);
    key->WriteInteger("Dial", 1);
    EXPECT_FALSE(platform::ReadDialupConfig()) << "a dial value that is no text";
    key->DeleteValue("Dial");
    EXPECT_FALSE(platform::ReadDialupConfig()) << "no dial value";
    // The key of the user hive does not count.
    ASSERT_TRUE(platform::DeleteRegistryKey(platform::Hive::LocalMachine, "\\System\\Dialup"));
    auto user = platform::RegistryKey::Open(platform::Hive::CurrentUser, "\\System\\Dialup",
                                            platform::Access::ReadWrite, true);
    ASSERT_TRUE(user);
    user->WriteString("Dial", "/usr/bin/pon");
    EXPECT_FALSE(platform::ReadDialupConfig());
}

TEST_F(ConfiguredDialup, CommandsDialAndHangUp) {
    Configure({{"Name", "Testnetz"},
               {"Dial", Command("0", "dial \"two words\" $HOME")},
               {"HangUp", Command("0", "hangup")}});
    const auto id = platform::DialConnection(5);
    ASSERT_TRUE(id);
    EXPECT_EQ(prompted, "Testnetz");
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(log), "dial|two words|$HOME\n");
    const auto flags = platform::QueryConnectionState();
    EXPECT_TRUE(flags.modem);
    EXPECT_TRUE(flags.rasInstalled);
    EXPECT_TRUE(platform::HangUpConnection(*id));
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(log), "dial|two words|$HOME\nhangup\n");
    EXPECT_FALSE(platform::QueryConnectionState().modem);
}

TEST_F(ConfiguredDialup, FailingCommands) {
    Configure(
        {{"Name", "Testnetz"}, {"Dial", Command("1", "dial")}, {"HangUp", Command("0", "hangup")}});
    EXPECT_FALSE(platform::DialConnection(5));
    EXPECT_TRUE(platform::ListDialupRecords().empty());

    Configure({{"Dial", Command("0", "dial")}, {"HangUp", Command("2", "hangup")}});
    const auto id = platform::DialConnection(5);
    ASSERT_TRUE(id);
    EXPECT_FALSE(platform::HangUpConnection(*id));
    // The failed hang-up does not leave the modem reported up.
    EXPECT_TRUE(platform::ListDialupRecords().empty());
    EXPECT_FALSE(platform::QueryConnectionState().modem);

    const auto second = platform::DialConnection(5);
    ASSERT_TRUE(second);
    Configure({{"HangUp", ""}});
    EXPECT_FALSE(platform::HangUpConnection(*second)) << "no hang-up command";
    EXPECT_TRUE(platform::ListDialupRecords().empty());
    Configure({{"Dial", "/nonexistent/dialer"}, {"HangUp", Command("0", "hangup")}});
    EXPECT_FALSE(platform::DialConnection(5)) << "a dial command that cannot start";
    EXPECT_TRUE(platform::ListDialupRecords().empty());
}

} // namespace

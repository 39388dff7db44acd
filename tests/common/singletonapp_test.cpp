#include "common/singletonapp.h"
#include "platform/activation.h"
#include "support/process.h"
#include "support/temphome.h"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::TempHome;

const std::string kSaverName = "8e2d41b7-3a9c-4f65-b0d2-7c19e4a8f356";
const std::string kControlName = "{A47C2E19-6B3D-4E8F-9C05-D2B8F17E3A64}";

// One instance of a program, run by the helper.
class Instance {
public:
    Instance(const std::string& name, const std::string& mode)
        : child_(HelperPath("singletonapp_helper"), {name, mode}, true) {}

    std::optional<std::string> Line() { return child_.ReadLine(); }
    Child& Process() { return child_; }

    // Reads the claim line and, for a claimed instance, the window line after it.
    std::optional<std::string> Claim() {
        auto line = Line();
        if (line && line->rfind("claim 1", 0) == 0) {
            auto window = Line();
            if (!window || window->rfind("window ", 0) != 0) {
                return "no window line";
            }
            window_ = window->substr(7);
        }
        return line;
    }
    const std::string& Window() const { return window_; }

private:
    Child child_;
    std::string window_;
};

TEST(SingletonAppProcesses, SecondInstanceFailsAndTheFirstIsNotified) {
    TempHome home;
    Instance first(kSaverName, "hold");
    ASSERT_EQ(first.Claim(), "claim 1");

    Instance second(kSaverName, "hold");
    // The notification reaches every window, the notifier's own listener too.
    EXPECT_EQ(second.Line(), "front");
    EXPECT_EQ(second.Line(), "claim 0");
    EXPECT_EQ(second.Process().ExitCode(), 4);
    EXPECT_EQ(first.Line(), "front");
}

TEST(SingletonAppProcesses, ActivationCallbackReplacesTheDefaultReaction) {
    TempHome home;
    Instance first(kControlName, "callback");
    ASSERT_EQ(first.Claim(), "claim 1");
    Instance second(kControlName, "hold");
    EXPECT_EQ(second.Line(), "front");
    EXPECT_EQ(second.Line(), "claim 0");
    const auto answer = first.Line();
    ASSERT_TRUE(answer);
    // First parameter: the notifying process; second: its listener window.
    EXPECT_EQ(answer->rfind("callback " + std::to_string(second.Process().Pid()) + " ", 0), 0u)
        << *answer;
    EXPECT_NE(answer->substr(answer->rfind(' ') + 1), "0");
}

TEST(SingletonAppProcesses, KilledInstanceLeavesTheGuardFreeAtOnce) {
    TempHome home;
    {
        Instance crashed(kSaverName, "hold");
        ASSERT_EQ(crashed.Claim(), "claim 1");
        crashed.Process().Kill(SIGKILL);
        ASSERT_EQ(crashed.Process().ExitCode(), -SIGKILL);
    }
    Instance next(kSaverName, "hold");
    EXPECT_EQ(next.Claim(), "claim 1");
    EXPECT_TRUE(next.Process().Running());
}

TEST(SingletonAppProcesses, DifferentGuardNamesBothClaim) {
    TempHome home;
    Instance saver(kSaverName, "hold");
    Instance control(kControlName, "hold");
    EXPECT_EQ(saver.Claim(), "claim 1");
    EXPECT_EQ(control.Claim(), "claim 1");
    EXPECT_NE(saver.Window(), control.Window());
}

TEST(SingletonAppProcesses, SecondClaimInOneProcessReleasesTheGuard) {
    TempHome home;
    Instance twice(kSaverName, "twice");
    ASSERT_EQ(twice.Line(), "claim 1 0");
    ASSERT_TRUE(twice.Line()); // its window; it keeps running
    Instance next(kSaverName, "hold");
    EXPECT_EQ(next.Claim(), "claim 1");
    EXPECT_TRUE(twice.Process().Running());
}

// In one process, on its own bus.
class SingletonAppLocal : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_unique<platform::Bus>();
        platform::SetApplicationActivator([this] { ++activations; });
    }
    void TearDown() override {
        delete SingletonApp::GetInstance();
        platform::SetApplicationActivator({});
        bus.reset();
    }

    TempHome home;
    std::unique_ptr<platform::Bus> bus;
    int activations = 0;
};

TEST_F(SingletonAppLocal, OneInstanceWhateverTheName) {
    EXPECT_EQ(SingletonApp::GetInstance(), nullptr);
    SingletonApp* app = SingletonApp::CreateInstance(kSaverName);
    EXPECT_EQ(SingletonApp::GetInstance(), app);
    EXPECT_EQ(SingletonApp::CreateInstance(kControlName), app);
    ASSERT_TRUE(app->Claim());
    // The name of the first call counts.
    EXPECT_FALSE(platform::NamedLock::TryAcquire(kSaverName));
    EXPECT_TRUE(platform::NamedLock::TryAcquire(kControlName));
    EXPECT_EQ(app->MessageId(), platform::RegisterMessage(kSaverName));
    EXPECT_NE(app->ListenerWindow(), 0);
    EXPECT_EQ(activations, 0);
}

TEST_F(SingletonAppLocal, ClaimsAlternateAndDeletingReleases) {
    SingletonApp* app = SingletonApp::CreateInstance(kSaverName);
    EXPECT_TRUE(app->Claim());
    const platform::WindowHandle window = app->ListenerWindow();
    EXPECT_FALSE(app->Claim());
    EXPECT_TRUE(platform::NamedLock::TryAcquire(kSaverName));
    EXPECT_TRUE(app->Claim());
    EXPECT_EQ(app->ListenerWindow(), window); // one listener for all claims
    EXPECT_EQ(activations, 0);

    delete app;
    EXPECT_EQ(SingletonApp::GetInstance(), nullptr);
    EXPECT_FALSE(bus->IsOwnWindow(window));
    EXPECT_TRUE(platform::NamedLock::TryAcquire(kSaverName));
}

TEST_F(SingletonAppLocal, ListenerReactsOnlyToTheGuardMessage) {
    SingletonApp* app = SingletonApp::CreateInstance(kSaverName);
    ASSERT_TRUE(app->Claim());
    const platform::WindowHandle window = app->ListenerWindow();
    EXPECT_TRUE(
        bus->Send(window, platform::Message(platform::RegisterMessage(kControlName))).Handled());
    EXPECT_TRUE(bus->Send(window, platform::Message(0x0010)).Handled());
    EXPECT_EQ(activations, 0);
    EXPECT_TRUE(bus->Send(window, platform::Message(app->MessageId())).Handled());
    EXPECT_EQ(activations, 1);

    std::vector<std::int64_t> seen;
    app->SetActivationCallback([&](const platform::Message& m) { seen.push_back(m.first); });
    bus->Send(window, platform::Message(app->MessageId(), 77, 0));
    EXPECT_EQ(seen, std::vector<std::int64_t>{77});
    EXPECT_EQ(activations, 1);
}

TEST_F(SingletonAppLocal, LockThatCannotBeMadeFailsAfterNotifying) {
    SingletonApp* app = SingletonApp::CreateInstance(std::string(300, 'x'));
    EXPECT_FALSE(app->Claim());
    EXPECT_EQ(activations, 1); // its own listener got the notification
}

TEST(SingletonAppWithoutBus, GuardStillHolds) {
    TempHome home;
    SingletonApp* app = SingletonApp::CreateInstance(kSaverName);
    EXPECT_TRUE(app->Claim());
    EXPECT_EQ(app->ListenerWindow(), 0);
    Child other(HelperPath("singletonapp_helper"), {kSaverName, "hold"}, true);
    EXPECT_EQ(other.ReadLine(), "front");
    EXPECT_EQ(other.ReadLine(), "claim 0");
    delete app;
}

} // namespace

#include "common/cache.h"
#include "common/directories.h"
#include "common/internetconnection.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "control/debugform.h"
#include "control/httpgetter.h"
#include "control/mainform.h"
#include "control/tolvarctrl.h"
#include "platform/bus.h"
#include "platform/fileio.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/screensaver.h"
#include "support/guiapp.h"
#include "support/process.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <QAction>
#include <QListWidget>
#include <algorithm>
#include <climits>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using tolvar::test::Child;
using tolvar::test::EnsureGuiApp;
using tolvar::test::HelperPath;
using tolvar::test::ScriptedDialup;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;

constexpr const char* kSettingsKey = "\\Software\\Brimwald\\Tolvar";

// A fresh home with its bus, a scripted connection, a working folder holding the program
// path, and the form's boxes, launches and end requests recorded instead of acted on.
class MainFormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureGuiApp(); }

    void SetUp() override {
        char buffer[4096];
        ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
        oldFolder_ = buffer;
        work_ = home_.Root() + "/work";
        platform::MakeFolders(work_);
        bus_.emplace();
        TLaunchThread::SetOpener([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            launched_.push_back(text);
        });
    }
    void TearDown() override {
        form_.reset();
        debug_.reset();
        TLaunchThread::SetOpener({});
        bus_.reset();
        EXPECT_EQ(::chdir(oldFolder_.c_str()), 0);
    }

    void Machine(const std::string& sub, const std::string& name, const std::string& value) {
        auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine,
                                               std::string(kSettingsKey) + sub,
                                               platform::Access::ReadWrite, true);
        key->WriteString(name, value);
    }
    TolvarSettings Settings() const { return TolvarSettings("Brimwald", "Tolvar"); }

    void Make(const std::vector<std::string>& args = {}) {
        debug_ = std::make_unique<TFormDebug>();
        MainFormOptions options;
        options.args = args;
        options.programPath = work_ + "/TolvarCtrl";
        form_ = std::make_unique<TFormMain>(*debug_, options);
        form_->AskOkCancel = [this](const std::string& caption, const std::string& text) {
            questions_.push_back(caption + "|" + text);
            return answerOk_;
        };
        form_->OnTerminate = [this] { ++terminations_; };
        platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
        // Every log line, also those a new cycle clears from the list.
        auto shown = IpcHandlers.OnDataLog;
        IpcHandlers.OnDataLog = [this, shown](const std::string& line) {
            log_.push_back(line);
            shown(line);
        };
        IpcHandlers.OnDialRequest = [this] { saverRequests_.push_back("dial"); };
        IpcHandlers.OnAskLan = [this] { saverRequests_.push_back("asklan"); };
    }

    // Runs the bus until the fetch thread is idle (its log lines are delivered on the
    // way), then lets the transfer timer see the end.
    void FinishCycle() {
        ASSERT_TRUE(bus_->RunUntil([&] { return !form_->FetchThread().Busy.load(); }, 60s));
        bus_->ProcessPending();
        form_->OnTransferTimer();
    }
    bool Logged(const std::string& line) const {
        return std::find(log_.begin(), log_.end(), line) != log_.end();
    }
    // The recorded dial-up calls, each once.
    std::vector<std::string> Calls() { return dialup_->TakeCalls(); }

    // Holds the saver's guard from another process: a screen saver runs.
    std::unique_ptr<Child> RunSaver() {
        auto saver = std::make_unique<Child>(
            HelperPath("singletonapp_helper"),
            std::vector<std::string>{platform::kSaverGuardName, "hold"}, true);
        EXPECT_EQ(saver->ReadLine().value_or(""), "claim 1");
        EXPECT_TRUE(WaitUntil([] { return platform::IsScreenSaverRunning(); }));
        return saver;
    }

    TempHome home_;
    ScriptedDialup dialup_;
    std::optional<platform::Bus> bus_;
    std::string work_;
    std::string oldFolder_;
    std::unique_ptr<TFormDebug> debug_;
    std::unique_ptr<TFormMain> form_;
    std::vector<std::string> questions_;
    std::vector<std::string> log_;
    std::vector<std::string> saverRequests_;
    bool answerOk_ = false;
    int terminations_ = 0;
    std::mutex mutex_;
    std::vector<std::string> launched_;
};

// ---- the connection decision ----

struct DecisionCase {
    const char* name = "";
    bool lan = false;
    bool ras = false;
    bool dialSucceeds = true;
    bool saver = false;
    bool useDUN = true;
    bool alwaysOn = false;
    bool askOnlyIfSS = false;
    int msgBox = 0;
    bool answerOk = false;
    // Expected:
    std::vector<std::string> lines; // in this order among the log lines
    bool asked = false;             // the no-connection question
    std::vector<std::string> saverRequests;
    bool cycle = false;             // the fetch thread ran
    bool pendingAfter = false;      // still waiting (for the saver)
    std::vector<std::string> calls; // dial-up calls of the whole cycle, hang-up included
};

TEST_F(MainFormTest, ConnectionDecision) {
    const std::string noConn = "Failure: Connection could not be established.";
    const std::string cheat =
        "System cheats: Windows says we have no connection at all. So simply try...";
    const std::string osBug = "OS reports there is no connection at all. Windows Bug?";
    const std::string asking = "Asking Tolvar to open DialUp-Dialogue.";
    const std::string ready = "Connection estalished.";
    std::vector<DecisionCase> cases;
    {
        DecisionCase c;
        c.name = "LAN up";
        c.lan = true;
        c.ras = true;
        c.lines = {"Using LAN Connection.", ready};
        c.cycle = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "offline, always on";
        c.alwaysOn = true;
        c.lines = {cheat, ready};
        c.cycle = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "offline, the user tries anyway";
        c.answerOk = true;
        c.lines = {osBug, cheat, ready};
        c.asked = true;
        c.cycle = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "offline, no dial-up wanted";
        c.useDUN = false;
        c.ras = true;
        c.lines = {osBug, "Connection is offline, RAS will not be used.", noConn};
        c.asked = true;
        cases.push_back(c); // no hang-up: nothing was dialled
    }
    {
        DecisionCase c;
        c.name = "offline, no dial-up installed";
        c.lines = {osBug, "Connection is offline, RAS is not configured.", noConn};
        c.asked = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "quiet dial";
        c.ras = true;
        c.msgBox = 3;
        c.lines = {osBug, "Trying quiet dial-up.", ready};
        c.asked = true;
        c.cycle = true;
        c.calls = {"dial isp", "hangup isp"};
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "quiet dial fails";
        c.ras = true;
        c.msgBox = 3;
        c.dialSucceeds = false;
        c.lines = {osBug, "Trying quiet dial-up.", noConn};
        c.asked = true;
        c.calls = {"dial isp"};
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "saver runs: asked to dial";
        c.ras = true;
        c.saver = true;
        c.lines = {asking, asking};
        c.saverRequests = {"asklan", "dial"};
        c.pendingAfter = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "saver runs, quiet dial wins";
        c.ras = true;
        c.saver = true;
        c.msgBox = 3;
        c.lines = {asking, "Trying quiet dial-up.", ready};
        c.saverRequests = {"asklan"};
        c.cycle = true;
        c.calls = {"dial isp", "hangup isp"};
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "ask only while a saver runs";
        c.ras = true;
        c.askOnlyIfSS = true;
        c.lines = {osBug, "Configured not to ask to dial while SS is not running.", ready};
        c.asked = true;
        c.cycle = true;
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "verbose dial";
        c.ras = true;
        c.lines = {osBug, "Trying verbose dial-up.", ready};
        c.asked = true;
        c.cycle = true;
        c.calls = {"dial isp", "hangup isp"};
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "verbose dial fails";
        c.ras = true;
        c.dialSucceeds = false;
        c.lines = {osBug, "Trying verbose dial-up.", noConn};
        c.asked = true;
        c.calls = {"dial isp"};
        cases.push_back(c);
    }

    for (const DecisionCase& c : cases) {
        SCOPED_TRACE(c.name);
        dialup_->SetLan(c.lan);
        dialup_->SetInstalled(c.ras ? std::optional<std::string>("isp") : std::nullopt);
        dialup_->SetDialSucceeds(c.dialSucceeds);
        Settings().SetUseDUN(c.useDUN);
        Settings().SetActLANAlwaysOn(c.alwaysOn);
        Settings().SetActDUNAskOnlyIfSSActive(c.askOnlyIfSS);
        Settings().SetActDUNMsgBox(c.msgBox);
        Settings().SetActLANTimeout(7);
        Settings().SetActDUNTimeout(9);
        answerOk_ = c.answerOk;
        std::unique_ptr<Child> saver = c.saver ? RunSaver() : nullptr;
        Make();
        Calls();
        questions_.clear();
        log_.clear();
        saverRequests_.clear();

        form_->StartSync();
        if (c.cycle) {
            EXPECT_TRUE(form_->TransferTimer.Enabled());
            EXPECT_FALSE(form_->MI_Sync->isEnabled());
            EXPECT_FALSE(form_->MI_Configure->isEnabled());
            EXPECT_EQ(form_->FetchThread().TimeoutSeconds.load(), form_->Dialled() ? 9 : 7);
            FinishCycle();
            EXPECT_TRUE(Logged("Fetching Control file...")) << "the fetch thread ran";
        }
        // The order of the expected lines among all lines.
        auto at = log_.begin();
        for (const std::string& line : c.lines) {
            at = std::find(at, log_.end(), line);
            EXPECT_NE(at, log_.end()) << "missing or out of order: " << line;
        }
        EXPECT_EQ(!questions_.empty(), c.asked);
        if (!questions_.empty()) {
            EXPECT_EQ(questions_[0], std::string(TFormMain::kSyncBoxCaption) + "|" +
                                         TFormMain::kNoConnectionQuestion);
        }
        EXPECT_EQ(saverRequests_, c.saverRequests);
        EXPECT_EQ(form_->Pending(), c.pendingAfter);
        EXPECT_EQ(Calls(), c.calls);
        if (!c.pendingAfter) {
            EXPECT_TRUE(form_->MI_Sync->isEnabled());
            EXPECT_TRUE(form_->MI_Configure->isEnabled());
            EXPECT_FALSE(form_->TransferTimer.Enabled());
            EXPECT_TRUE(form_->IdleTimer.Enabled());
        }
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, SaversAnswerStartsTheCycleAndItsConnectionIsHungUpAtTheEnd) {
    dialup_->SetInstalled("isp");
    auto saver = RunSaver();
    Make();
    form_->StartSync();
    ASSERT_TRUE(form_->Pending());
    form_->StartSync();
    form_->OnSyncNow();
    form_->MI_SyncClick();
    EXPECT_EQ(std::count(saverRequests_.begin(), saverRequests_.end(), "dial"), 1)
        << "no second decision while the first waits";
    EXPECT_FALSE(form_->TransferTimer.Enabled()) << "no cycle before the answer";

    // The saver dials and reports its connection.
    std::optional<std::int32_t> id;
    {
        platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
        dialup_->SetLan(false);
        id = platform::DialConnection(0);
        ASSERT_TRUE(id.has_value());
    }
    Calls();
    bus_->Broadcast(platform::Message(IpcMessageId(), *id, IPC_CONNECTION_READY));
    EXPECT_EQ(GetConnectionId(), *id);
    EXPECT_TRUE(form_->TransferTimer.Enabled());
    FinishCycle();
    EXPECT_FALSE(form_->Pending());
    EXPECT_EQ(Calls(), std::vector<std::string>{"hangup isp"});
}

TEST_F(MainFormTest, DecisionGivesUpWhenTheSaverEndsWithoutAnswer) {
    dialup_->SetInstalled("isp");
    auto saver = RunSaver();
    Make();
    form_->StartSync();
    ASSERT_TRUE(form_->Pending());
    EXPECT_TRUE(form_->SaverAnswerTimer.Enabled());
    form_->OnSaverAnswerWatch();
    EXPECT_TRUE(form_->Pending()) << "the saver still runs";
    saver.reset();
    ASSERT_TRUE(WaitUntil([] { return !platform::IsScreenSaverRunning(); }));
    form_->OnSaverAnswerWatch();
    EXPECT_FALSE(form_->Pending());
    EXPECT_FALSE(form_->SaverAnswerTimer.Enabled());
    EXPECT_TRUE(Logged("Failure: Connection could not be established."));
    EXPECT_EQ(Calls(), std::vector<std::string>{}) << "nothing was dialled, nothing hung up";
    // The next trigger decides anew.
    dialup_->SetLan(true);
    form_->OnLANIntervalTimer();
    EXPECT_TRUE(form_->TransferTimer.Enabled());
    FinishCycle();
}

TEST_F(MainFormTest, DecisionGivesUpWhenASaverNeverAnswers) {
    dialup_->SetInstalled("isp");
    auto saver = RunSaver();
    Make();
    form_->StartSync();
    int ticks = 0;
    while (form_->Pending() && ticks < 1000) {
        form_->OnSaverAnswerWatch();
        ++ticks;
    }
    EXPECT_EQ(ticks, TFormMain::kSaverAnswerTimeoutMs / TFormMain::kSaverAnswerWatchMs);
    EXPECT_FALSE(form_->Pending());
}

TEST_F(MainFormTest, NoConnectionFromElsewhereDoesNotEndARunningCycle) {
    dialup_->SetLan(true);
    Make();
    form_->FetchThread().Busy = true; // a cycle in progress
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_NO_CONNECTION));
    EXPECT_TRUE(Logged("Failure: Connection could not be established."));
    form_->FetchThread().Busy = false;
    EXPECT_FALSE(form_->IdleTimer.Enabled() && form_->TransferTimer.Enabled());
    // Without a cycle it ends the (pending) decision.
    form_->StartSync();
    FinishCycle();
    EXPECT_FALSE(form_->Pending());
}

// ---- the triggers ----

TEST_F(MainFormTest, SplashEndStartsTheFirstCycleWhenTheSettingsAllowIt) {
    struct Case {
        const char* name;
        bool lan, ras, lanSys, dunSys, useDUN, alwaysOn;
        bool starts;
    };
    const Case cases[] = {
        {"LAN and LAN start", true, false, true, false, false, false, true},
        {"LAN without LAN start", true, false, false, true, true, false, false},
        {"dial-up start", false, true, false, true, true, false, true},
        {"dial-up start without dial-up use", false, true, false, true, false, false, false},
        {"always on with LAN start", false, false, true, false, false, true, true},
        {"always on alone", false, false, false, false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialup_->SetLan(c.lan);
        dialup_->SetInstalled(c.ras ? std::optional<std::string>("isp") : std::nullopt);
        Settings().SetActLANSys(c.lanSys);
        Settings().SetActDUNSys(c.dunSys);
        Settings().SetUseDUN(c.useDUN);
        Settings().SetActLANAlwaysOn(c.alwaysOn);
        Settings().SetActDUNMsgBox(3); // a dial would be quiet
        Make();
        log_.clear();
        form_->show();
        EXPECT_TRUE(form_->SplashTimer.Enabled());
        EXPECT_EQ(form_->SplashTimer.Interval(), 1) << "no splash picture";
        form_->OnSplashTimer();
        EXPECT_FALSE(form_->isVisible());
        EXPECT_FALSE(form_->SplashTimer.Enabled());
        EXPECT_EQ(!log_.empty(), c.starts);
        if (form_->TransferTimer.Enabled()) {
            FinishCycle();
        }
        EXPECT_EQ(terminations_, 0) << "stays resident";
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, SplashOnlyStartsEndAfterTheSplash) {
    for (const char* arg : {"-l", "--showsplash", "--show-splash", "--SHOW-SPLASH"}) {
        SCOPED_TRACE(arg);
        terminations_ = 0;
        Make({arg});
        form_->show();
        form_->OnSplashTimer();
        EXPECT_EQ(terminations_, 1);
        EXPECT_TRUE(form_->Terminating());
        form_->StartSync();
        EXPECT_FALSE(form_->Pending()) << "nothing new starts while ending";
        form_.reset();
        debug_.reset();
    }
    for (const char* arg : {"--quiet", "-i", "--install"}) {
        SCOPED_TRACE(arg);
        terminations_ = 0;
        Make({arg});
        EXPECT_EQ(form_->size(), QSize(1, 1));
        form_->show();
        EXPECT_EQ(form_->SplashTimer.Interval(), 1);
        form_->OnSplashTimer();
        EXPECT_EQ(terminations_, 0);
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, SyncRequestRetriesWhileBusyAndRestartsTheIntervalTimers) {
    dialup_->SetLan(true);
    Make();
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_SYNC_REQUEST));
    EXPECT_TRUE(Logged("Received new Control FIle."));
    EXPECT_TRUE(form_->SyncTimer.Enabled());
    EXPECT_EQ(form_->SyncTimer.Interval(), 200);

    form_->FetchThread().Busy = true;
    form_->OnSyncTimer();
    EXPECT_TRUE(form_->SyncTimer.Enabled()) << "tries again 200 ms later";
    EXPECT_FALSE(form_->LANIntervalTimer.Enabled());
    EXPECT_FALSE(form_->DUNIntervalTimer.Enabled());
    form_->OnSyncNow();
    EXPECT_TRUE(Logged("Sync request rejected while already synchronizing."));
    form_->FetchThread().Busy = false;

    form_->OnSyncTimer();
    EXPECT_FALSE(form_->SyncTimer.Enabled());
    EXPECT_TRUE(form_->LANIntervalTimer.Enabled());
    EXPECT_TRUE(form_->DUNIntervalTimer.Enabled());
    EXPECT_TRUE(form_->TransferTimer.Enabled()) << "the LAN handler started a cycle";
    FinishCycle();
}

TEST_F(MainFormTest, SecondInstancesSyncCommandStartsACycle) {
    dialup_->SetLan(true);
    Make();
    Child second(HelperPath("tolvarctrl_helper"), {"--sync"});
    ASSERT_TRUE(bus_->RunUntil([&] { return Logged("Using LAN Connection."); }, 30s));
    EXPECT_EQ(second.ExitCode(), 0);
    FinishCycle();
    EXPECT_FALSE(form_->Pending());
}

TEST_F(MainFormTest, IntervalsComeFromTheSettingsInMinutes) {
    struct Case {
        int minutes;
        int ms;
    };
    const Case cases[] = {{0, 0}, {-5, 0}, {1, 60000}, {30, 1800000}, {40000, INT_MAX}};
    for (const Case& c : cases) {
        EXPECT_EQ(MinutesToInterval(c.minutes), c.ms) << c.minutes;
    }
    Settings().SetActLANAutoInterval(15);
    Settings().SetActDUNAutoInterval(0);
    Make();
    EXPECT_EQ(form_->LANIntervalTimer.Interval(), 15 * 60000);
    EXPECT_EQ(form_->DUNIntervalTimer.Interval(), 0) << "a timer of 0 never fires";
    Settings().SetActLANAutoInterval(2);
    Settings().SetActDUNAutoInterval(3);
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_SETTINGS_CHANGED));
    EXPECT_TRUE(Logged("Received new settings."));
    EXPECT_EQ(form_->LANInterval(), 120000);
    EXPECT_EQ(form_->DUNIntervalTimer.Interval(), 180000);
    EXPECT_TRUE(form_->DUNIntervalTimer.Enabled());
}

// ---- log, links, start-up state ----

TEST_F(MainFormTest, LogLinesAreAppendedAndClearedAtEachCycle) {
    dialup_->SetLan(true);
    Make();
    IpcSendLogText("first");
    IpcSendLogText("second");
    EXPECT_EQ(debug_->Lines(), (std::vector<std::string>{"first", "second"}));
    form_->StartSync();
    FinishCycle();
    const auto lines = debug_->Lines();
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), "first") == lines.end());
    EXPECT_FALSE(lines.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Fetching Control file..."), lines.end());
}

TEST_F(MainFormTest, QueuedAndSentUrlsAreOpenedInOrder) {
    Make();
    IpcSendURL("http://example.org/a");
    IpcSendURL("https://example.org/b");
    EXPECT_TRUE(Logged("Received URL \"http://example.org/a\""));
    // Queued while no control window was known.
    auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine, IPC_QUEUE_KEY_PATH,
                                           platform::Access::ReadWrite, true);
    key->WriteString("URL1", "http://example.org/c");
    key->WriteString("URL2", "manual.htm");
    form_->OnIpcPoll();
    form_.reset(); // joins the launch threads
    std::lock_guard lock(mutex_);
    // Each opens on its own thread: started in order, finished in any.
    std::sort(launched_.begin(), launched_.end());
    EXPECT_EQ(launched_, (std::vector<std::string>{"http://example.org/a", "http://example.org/c",
                                                   "https://example.org/b", "manual.htm"}));
}

TEST_F(MainFormTest, ManualIsSentBackToThisWindow) {
    Make();
    form_->MI_ManualClick();
    EXPECT_TRUE(Logged("Received URL \"manual.htm\""));
    form_.reset();
    std::lock_guard lock(mutex_);
    EXPECT_EQ(launched_, std::vector<std::string>{"manual.htm"});
}

TEST_F(MainFormTest, ProvidersGiveTheKeyAndAnUnknownCurrentProviderIsReplaced) {
    Machine("\\Providers", "alpha", "a");
    Machine("\\Providers", "beta", "b");
    Machine("\\Providers", "gamma", "c");
    Settings().SetCurrentProvider("nobody");
    Make();
    EXPECT_EQ(HttpGetter::RequestKey(), "alpha,beta,gamma");
    EXPECT_EQ(HttpGetter::InternalScheme(), "#brimwald://");
    const std::string chosen = Settings().GetCurrentProvider();
    EXPECT_TRUE(chosen == "alpha" || chosen == "beta" || chosen == "gamma") << chosen;
    char buffer[4096];
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    EXPECT_EQ(std::string(buffer), work_) << "the working folder is the program's";
}

TEST_F(MainFormTest, MenuFollowsTheSwitchesAndTheTrayTipHasItsDefault) {
    struct Case {
        const char* showDebug;
        const char* hideQuit;
        bool debugVisible;
        bool closeVisible;
    };
    const Case cases[] = {{"true", "true", true, false}, {"false", "false", false, true}};
    for (const Case& c : cases) {
        Machine("\\System", "ShowTNAIcon", "true");
        Machine("\\System", "ShowDebug", c.showDebug);
        Machine("\\System", "HideQuit", c.hideQuit);
        Make();
        form_->show();
        EXPECT_EQ(form_->MI_Debugwindow->isVisible(), c.debugVisible);
        EXPECT_EQ(form_->MI_Close->isVisible(), c.closeVisible);
        EXPECT_TRUE(form_->Tray().Added());
        EXPECT_EQ(form_->Tray().GetTip(), "Bildschirmschoner-Verwaltung");
        EXPECT_EQ(form_->Tray().Icon(), &form_->ResourcePicture(ResourceIcon::Main));
        form_.reset();
        debug_.reset();
    }
    Machine("\\System", "ShowTNAIcon", "false");
    Make();
    EXPECT_FALSE(form_->Tray().Added()) << "no icon, and still a working program";
}

TEST_F(MainFormTest, IdleTimerBlinksTheNewsIconUntilTheSaverIsOpened) {
    Machine("\\System", "ShowTNAIcon", "true");
    dialup_->SetLan(true);
    Make();
    form_->OnIdleTimer();
    EXPECT_EQ(form_->Tray().Icon(), &form_->ResourcePicture(ResourceIcon::Main));
    form_->FetchThread().GotNews = true; // as a cycle that fetched a feed leaves it
    form_->FetchFinished();
    EXPECT_TRUE(form_->NewMessages());
    const bool phase = form_->BlinkPhase();
    form_->OnIdleTimer();
    EXPECT_NE(form_->BlinkPhase(), phase);
    const QImage* first = form_->Tray().Icon();
    form_->OnIdleTimer();
    EXPECT_NE(form_->Tray().Icon(), first) << "it blinks";
    EXPECT_TRUE(form_->IdleTimer.Enabled());

    // While a saver runs the icon keeps its face.
    {
        auto saver = RunSaver();
        const QImage* kept = form_->Tray().Icon();
        form_->OnIdleTimer();
        EXPECT_EQ(form_->Tray().Icon(), kept);
    }
    form_->OpenScreenSaver();
    EXPECT_FALSE(form_->NewMessages());
    EXPECT_FALSE(form_->MandatoryNews());
}

} // namespace

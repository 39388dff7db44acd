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
#include "platform/folders.h"
#include "platform/http.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/screensaver.h"
#include "support/busfolder.h"
#include "support/guiapp.h"
#include "support/httpserver.h"
#include "support/jpegwriter.h"
#include "support/process.h"
#include "support/recordingsaver.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <QAction>
#include <QBuffer>
#include <QListWidget>
#include <QMenu>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tolvar::test::MakeRecordingSaver;
using tolvar::test::WaitForSaverArgs;

using namespace std::chrono_literals;
using tolvar::test::Child;
using tolvar::test::EnsureGuiApp;
using tolvar::test::HelperPath;
using tolvar::test::ScriptedDialup;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;

constexpr const char* kSettingsKey = "\\Software\\Brimwald\\Tolvar";

// A picture of one colour in the given file format ("BMP", "ICO", ...; "JPG" through the
// JPEG library).
std::string PictureBytes(int width, int height, QRgb colour, const char* format) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    if (std::string(format) == "JPG") {
        return tolvar::test::JpegBytes(image);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format)) << format;
    return bytes.toStdString();
}

// A control file with two hosts that names the layout of provider "p".
std::string ControlFileText(const std::string& layoutUri) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<content time=\"2026-01-01\">\n"
           "  <hosts><host name=\"one.example\"/><host name=\"two.example\"/></hosts>\n"
           "  <layout key=\"p\" uri=\"" +
           layoutUri + "\" serial=\"1\"/>\n</content>\n";
}

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

    // Holds the mark of the saver's shown screen from another process: a screen saver
    // runs.
    std::unique_ptr<Child> RunSaver() {
        auto saver = std::make_unique<Child>(
            HelperPath("namedlock_helper"),
            std::vector<std::string>{platform::kSaverRunningLockName}, true);
        EXPECT_EQ(saver->ReadLine().value_or(""), "held");
        EXPECT_TRUE(WaitUntil([] { return platform::IsScreenSaverRunning(); }));
        return saver;
    }

    // Puts one object into the cache folder and lists it in "cache.dir".
    void Cache(const std::string& key, const std::string& file, const std::string& bytes) {
        const std::string folder = GetCacheDir();
        platform::MakeFolders(folder);
        tolvar::test::WriteFile(folder + "/" + file, bytes);
        cached_.push_back(CCObject{key, file, "1"});
        tolvar::test::WriteFile(folder + "/cache.dir", FormatCacheDir(cached_));
    }
    void ClearCache() {
        cached_.clear();
        tolvar::test::RemoveTree(GetCacheDir());
    }
    // Provider "p" is the current one, and the cache holds a control file naming its
    // layout and the layout with the given elements.
    void CacheLayout(const std::string& elements) {
        Machine("\\Providers", "p", "p");
        Settings().SetCurrentProvider("p");
        Cache(GetControlFileKey(), "control.xml", ControlFileText(kLayoutKey));
        Cache(kLayoutKey, "layout.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<layout compat=\"2\">\n" + elements +
                  "</layout>\n");
    }
    static constexpr const char* kLayoutKey = "#brimwald:///images/p/base/layout.xml";

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
    std::vector<CCObject> cached_;
};

// ---- the connection decision ----

struct DecisionCase {
    const char* name = "";
    bool lan = false;
    bool lanConfigured = false; // a network is set up, its link may be down
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
        // The offline laptop: the network is set up, the link is down. No question; the
        // cycle ends with its log lines.
        DecisionCase c;
        c.name = "network set up but down, no dial-up wanted";
        c.lanConfigured = true;
        c.useDUN = false;
        c.lines = {"Connection is offline, RAS will not be used.", noConn};
        cases.push_back(c);
    }
    {
        DecisionCase c;
        c.name = "network set up but down, no dial-up installed";
        c.lanConfigured = true;
        c.lines = {"Connection is offline, RAS is not configured.", noConn};
        cases.push_back(c);
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
        dialup_->SetLanConfigured(c.lanConfigured);
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

// The tray's close item while the cycle waits on a host that never answers: the form is
// gone at once, the cycle stopped, and nothing it left is half written.
TEST_F(MainFormTest, CloseWhileTheCycleWaitsOnTheNetworkEndsAtOnce) {
    tolvar::test::HttpServer silent([](const tolvar::test::HttpServerRequest&) {
        tolvar::test::HttpServerResponse r;
        r.neverAnswer = true;
        return r;
    });
    platform::SetHttpHostOverride("one.example", 80, "127.0.0.1", silent.Port());
    dialup_->SetLan(true);
    Settings().SetActLANSys(true);
    Settings().SetActLANTimeout(600);
    Cache(GetControlFileKey(), "control.xml", ControlFileText(kLayoutKey));
    Make();
    form_->show();
    form_->OnSplashTimer();
    ASSERT_TRUE(bus_->RunUntil([&] { return silent.RequestCount() > 0; }, 60s));
    ASSERT_TRUE(form_->FetchThread().Busy.load());
    const auto start = std::chrono::steady_clock::now();
    form_->MI_CloseClick();
    EXPECT_EQ(terminations_, 1);
    form_.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    platform::ClearHttpHostOverrides();
    EXPECT_LT(took, 1s);
    std::printf("close during a stalled request: the form was gone after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(silent.RequestCount(), 1u);
    EXPECT_EQ(ParseCacheDir(platform::ReadFile(GetCacheDir() + "/cache.dir").value()).size(), 1u);
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
    debug_->Clear(); // the start's own lines
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

TEST(LaunchFailureLine, SaysWhyALinkWasNotOpened) {
    using R = platform::ShellOpenResult;
    const std::string link = "http://example.org/";
    EXPECT_EQ(LaunchFailureLine(link, R::Opened), "");
    EXPECT_EQ(LaunchFailureLine(link, R::Running), "");
    EXPECT_EQ(LaunchFailureLine(link, R::Failed),
              "Not opened: xdg-open reported an error for \"http://example.org/\"");
    EXPECT_NE(LaunchFailureLine(link, R::NotStarted).find("xdg-open could not be started"),
              std::string::npos);
    EXPECT_NE(LaunchFailureLine("ftp://x/", R::Refused).find("\"ftp://x/\""), std::string::npos);
}

TEST_F(MainFormTest, ALinkWithoutOpenerIsOneLogLine) {
    TLaunchThread::SetOpener({}); // the real opener, which is not in PATH
    const char* old = std::getenv("PATH");
    const std::string oldPath = old != nullptr ? old : "";
    ::setenv("PATH", (home_.Root() + "/no-programs-here").c_str(), 1);
    Make();
    form_->OnDataUrl("http://example.org/news");
    const std::string line =
        LaunchFailureLine("http://example.org/news", platform::ShellOpenResult::NotStarted);
    const bool logged = bus_->RunUntil([&] { return Logged(line); }, 10s);
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_TRUE(logged);
    EXPECT_TRUE(Logged("Received URL \"http://example.org/news\""));
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

// Feeds write links with line breaks and blanks around the address: the link opens
// without them, and one that is still refused is a line in the log.
TEST_F(MainFormTest, PaddedLinksOpenAndRefusedLinksAreLogged) {
    Make();
    IpcSendURL("\t http://example.org/seam \r\n");
    form_.reset();
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(launched_, std::vector<std::string>{"http://example.org/seam"});
    }

    // The shell's own opener, with a recording stand-in first in PATH.
    TLaunchThread::SetOpener({});
    tolvar::test::TempFolder bin;
    const std::string record = bin.Path() + "/args";
    tolvar::test::WriteFile(bin.Path() + "/xdg-open", "#!/bin/sh\nprintf '[%s]' \"$@\" > '" +
                                                          record + ".tmp' && mv '" + record +
                                                          ".tmp' '" + record + "'\n");
    ::chmod((bin.Path() + "/xdg-open").c_str(), 0755);
    const char* old = std::getenv("PATH");
    const std::string oldPath = old != nullptr ? old : "";
    ::setenv("PATH", (bin.Path() + ":" + oldPath).c_str(), 1);
    struct RestorePath {
        std::string path;
        ~RestorePath() { ::setenv("PATH", path.c_str(), 1); }
    } restore{oldPath};

    Make();
    IpcSendURL("\n      http://example.org/story?id=1&p=2\r\n    ");
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(record); }));
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(record), "[http://example.org/story?id=1&p=2]");

    ::unlink(record.c_str());
    IpcSendURL("  javascript:alert(1)\n");
    EXPECT_TRUE(bus_->RunUntil(
        [&] {
            return Logged(
                LaunchFailureLine("javascript:alert(1)", platform::ShellOpenResult::Refused));
        },
        10s))
        << ::testing::PrintToString(log_);
    form_.reset(); // joins the launch threads
    EXPECT_FALSE(platform::FileExists(record)) << "a refused link starts nothing";
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

// ---- what the cached layout gives the start ----

// Whether a picture's middle shows the colour (JPEG is lossy: a small tolerance).
bool Shows(const QImage& picture, QRgb colour) {
    if (picture.isNull()) {
        return false;
    }
    const QRgb p = picture.pixel(picture.width() / 2, picture.height() / 2);
    return std::abs(qRed(p) - qRed(colour)) < 12 && std::abs(qGreen(p) - qGreen(colour)) < 12 &&
           std::abs(qBlue(p) - qBlue(colour)) < 12;
}

TEST_F(MainFormTest, SplashComesFromTheCachedLayout) {
    const QRgb colour = qRgb(200, 40, 60);
    struct Case {
        const char* name;
        const char* kind; // "none": no splash named, "missing": named, not cached
        const char* file;
        std::vector<std::string> args;
        QSize size;
        bool splash;
    };
    const Case cases[] = {
        {"bitmap", "BMP", "splash.bmp", {}, QSize(120, 90), true},
        {"JPEG", "JPG", "splash.jpg", {}, QSize(140, 70), true},
        {"no splash named", "none", "", {}, QSize(105, 212), false},
        {"splash not cached", "missing", "", {}, QSize(105, 212), false},
        {"unreadable bitmap", "bad", "splash.bmp", {}, QSize(1, 1), false},
        {"unreadable JPEG", "bad", "splash.jpg", {}, QSize(1, 1), false},
        {"a quiet start shows none", "BMP", "splash.bmp", {"--quiet"}, QSize(1, 1), false},
        {"an install shows none", "JPG", "splash.jpg", {"--INST"}, QSize(1, 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearCache();
        const std::string kind = c.kind;
        const std::string key = "#brimwald:///images/p/splash";
        CacheLayout(kind == "none" ? "" : "  <splashscreen src=\"" + key + "\" serial=\"1\"/>\n");
        if (kind == "bad") {
            Cache(key, c.file, "not a picture");
        } else if (kind != "none" && kind != "missing") {
            Cache(key, c.file, PictureBytes(c.size.width(), c.size.height(), colour, c.kind));
        }
        Make(c.args);
        EXPECT_EQ(form_->HasSplash(), c.splash);
        EXPECT_EQ(form_->size(), c.size);
        form_->show();
        EXPECT_EQ(form_->SplashTimer.Interval(), c.splash ? 1000 : 1);
        if (c.splash) {
            EXPECT_TRUE(Shows(form_->grab().toImage(), colour)) << "the picture is shown";
        }
        form_->OnSplashTimer();
        EXPECT_FALSE(form_->isVisible());
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, TrayTipAndHostListComeFromTheCachedLayout) {
    Machine("\\System", "ShowTNAIcon", "true");
    const std::string hundred(100, 'n');
    struct Case {
        std::string tooltip; // empty: no tooltip element
        std::string tip;
        std::string shown;
    };
    const Case cases[] = {
        {"", "Bildschirmschoner-Verwaltung", "Bildschirmschoner-Verwaltung"},
        {"Tolvar Nachrichten", "Tolvar Nachrichten", "Tolvar Nachrichten"},
        {hundred, hundred, hundred.substr(0, 63)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tooltip);
        ClearCache();
        CacheLayout(c.tooltip.empty() ? "" : "  <tooltip>" + c.tooltip + "</tooltip>\n");
        Make();
        EXPECT_EQ(form_->Tray().GetTip(), c.tip);
        EXPECT_EQ(form_->Tray().Tray().Tip(), c.shown);
        EXPECT_EQ(HttpGetter::HostList(), (std::vector<std::string>{"one.example", "two.example"}));
        form_.reset();
        debug_.reset();
    }
    // Without a cached control file the host list is empty.
    ClearCache();
    Make();
    EXPECT_TRUE(HttpGetter::HostList().empty());
}

TEST_F(MainFormTest, TrayFacesComeFromTheCachedLayout) {
    Machine("\\System", "ShowTNAIcon", "true");
    // How a slot is given: named by the layout and cached as a file of that kind.
    enum class Kind { None, Ico, Bmp, Jpg, NoExtension, Missing, Bad };
    struct Case {
        const char* name;
        std::vector<std::pair<int, Kind>> given;
        std::vector<int> loaded;
        bool useFaces;
        int idleSlot; // the face after one idle tick (blink phase set); -1: main icon
    };
    const int nd = FaceSlot(Face::NoNews, FaceImage::Default);
    const int ndb = FaceSlot(Face::NoNews, FaceImage::DefaultBlink);
    const int ns = FaceSlot(Face::NoNews, FaceImage::Sync);
    const int nsb = FaceSlot(Face::NoNews, FaceImage::SyncBlink);
    const int wd = FaceSlot(Face::News, FaceImage::Default);
    const int md = FaceSlot(Face::MNews, FaceImage::Default);
    const int ms = FaceSlot(Face::MNews, FaceImage::Sync);
    const Case cases[] = {
        {"whole no_news face and a news face, three formats",
         {{nd, Kind::Ico}, {ndb, Kind::Bmp}, {ns, Kind::Jpg}, {nsb, Kind::Ico}, {wd, Kind::Ico}},
         {nd, ndb, ns, nsb, wd},
         true,
         ndb},
        {"only no_news default: resource icons, but shown first",
         {{nd, Kind::Ico}},
         {nd},
         false,
         -1},
        {"no_news sync named but not cached",
         {{nd, Kind::Ico}, {ns, Kind::Missing}},
         {nd},
         false,
         -1},
        {"no_news sync unreadable", {{nd, Kind::Ico}, {ns, Kind::Bad}}, {nd}, false, -1},
        {"icons stored without extension, as fetched ones are",
         {{nd, Kind::NoExtension}, {ns, Kind::NoExtension}},
         {nd, ns},
         true,
         nd},
        {"an mnews face alone", {{md, Kind::Ico}, {ms, Kind::Ico}}, {md, ms}, false, -1},
    };
    const char* const faceNames[] = {"no_news", "news", "mnews"};
    const char* const imageNames[] = {"default", "default_blink", "sync", "sync_blink"};
    const auto colourOf = [](int slot) { return qRgb(20 + 18 * slot, 230 - 15 * slot, 90); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearCache();
        std::string tnaicon = "  <tnaicon>\n";
        for (int f = 0; f < 3; ++f) {
            std::string images;
            for (const auto& given : c.given) {
                const int where = given.first;
                if (where / 4 == f) {
                    images += std::string("<") + imageNames[where % 4] +
                              " src=\"#brimwald:///images/p/face" + std::to_string(where) +
                              "\" serial=\"1\"/>";
                }
            }
            if (!images.empty()) {
                tnaicon += std::string("    <face context=\"") + faceNames[f] + "\">" + images +
                           "</face>\n";
            }
        }
        CacheLayout(tnaicon + "  </tnaicon>\n");
        for (const auto& [where, kind] : c.given) {
            const std::string key = "#brimwald:///images/p/face" + std::to_string(where);
            const std::string name = "face" + std::to_string(where);
            const QRgb colour = colourOf(where);
            switch (kind) {
            case Kind::Ico:
                Cache(key, name + ".ico", PictureBytes(16, 16, colour, "ICO"));
                break;
            case Kind::Bmp:
                Cache(key, name + ".bmp", PictureBytes(16, 16, colour, "BMP"));
                break;
            case Kind::Jpg:
                Cache(key, name + ".jpg", PictureBytes(16, 16, colour, "JPG"));
                break;
            case Kind::NoExtension:
                Cache(key, name, PictureBytes(16, 16, colour, "ICO"));
                break;
            case Kind::Bad:
                Cache(key, name + ".ico", "not an icon");
                break;
            default:
                break;
            }
        }
        Make();
        for (int slot = 0; slot < 12; ++slot) {
            SCOPED_TRACE(slot);
            const bool loaded = std::find(c.loaded.begin(), c.loaded.end(), slot) != c.loaded.end();
            EXPECT_EQ(form_->FaceLoaded(slot), loaded);
            if (loaded) {
                EXPECT_TRUE(Shows(form_->FacePicture(slot), colourOf(slot)))
                    << "the slot holds its own picture";
            }
        }
        EXPECT_EQ(form_->UseLayoutFaces(), c.useFaces);
        EXPECT_TRUE(form_->Tray().Added());
        EXPECT_EQ(form_->Tray().Icon(), form_->FaceLoaded(nd)
                                            ? &form_->FacePicture(nd)
                                            : &form_->ResourcePicture(ResourceIcon::Main))
            << "the first icon";
        form_->OnIdleTimer();
        ASSERT_TRUE(form_->BlinkPhase());
        EXPECT_EQ(form_->Tray().Icon(), c.idleSlot >= 0
                                            ? &form_->FacePicture(c.idleSlot)
                                            : &form_->ResourcePicture(ResourceIcon::Main));
        EXPECT_EQ(form_->Tray().Tray().Picture(), *form_->Tray().Icon()) << "and it is shown";
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, SeedingRunsForProvidersWithoutCachedLayoutAndIsSeenByTheNextStart) {
    Machine("\\System", "ShowTNAIcon", "true");
    Machine("\\Providers", "p", "p");
    Machine("\\Providers", "q", "q");
    Settings().SetCurrentProvider("p");
    // Provider q's layout is cached already: its batch file must not run.
    Cache("#brimwald:///images/q/base/layout.xml", "q-layout.xml", "<layout compat=\"2\"/>");
    const std::string p = work_ + "/vorlk/p";
    const std::string q = work_ + "/vorlk/q";
    platform::MakeFolders(p);
    platform::MakeFolders(q);
    tolvar::test::WriteFile(p + "/control.xml", ControlFileText(kLayoutKey));
    tolvar::test::WriteFile(
        p + "/layout.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<layout compat=\"2\">\n"
        "  <splashscreen src=\"#brimwald:///images/p/splash.bmp\" serial=\"1\"/>\n"
        "  <tooltip>Tolvar Demo</tooltip>\n  <tnaicon><face context=\"no_news\">"
        "<default src=\"#brimwald:///images/p/t0.ico\" serial=\"1\"/>"
        "<sync src=\"#brimwald:///images/p/t0s.ico\" serial=\"1\"/></face></tnaicon>\n"
        "</layout>\n");
    tolvar::test::WriteFile(p + "/splash.bmp", PictureBytes(64, 48, qRgb(10, 90, 200), "BMP"));
    tolvar::test::WriteFile(p + "/t0.ico", PictureBytes(16, 16, qRgb(250, 250, 0), "ICO"));
    tolvar::test::WriteFile(p + "/t0s.ico", PictureBytes(16, 16, qRgb(0, 250, 0), "ICO"));
    tolvar::test::WriteFile(p + "/copylcache.bat",
                            "@echo off\r\n"
                            "%QRX% -add control.xml 1 #brimwald:///feeds/content.php\r\n"
                            "%QRX% -add layout.xml 1 " +
                                std::string(kLayoutKey) +
                                "\r\n"
                                "%QRX% -add splash.bmp 1 #brimwald:///images/p/splash.bmp\r\n"
                                "%QRX% -add t0.ico 1 #brimwald:///images/p/t0.ico\r\n"
                                "%QRX% -add t0s.ico 1 #brimwald:///images/p/t0s.ico\r\n");
    tolvar::test::WriteFile(q + "/copylcache.bat", "%QRX% -add marker.txt 1 #brimwald:///q\r\n");
    tolvar::test::WriteFile(q + "/marker.txt", "q");

    const auto cachedKey = [](const std::string& key) {
        CC cache(GetCacheDir());
        cache.Load();
        return cache.FindLatest(key) != nullptr;
    };
    Make();
    EXPECT_TRUE(cachedKey(kLayoutKey)) << "p was seeded";
    EXPECT_TRUE(cachedKey("#brimwald:///images/p/t0s.ico"));
    EXPECT_FALSE(cachedKey("#brimwald:///q")) << "q's layout was cached: no seeding";
    // This start read the cache before the seeding.
    EXPECT_FALSE(form_->HasSplash());
    EXPECT_EQ(form_->size(), QSize(105, 212));
    EXPECT_EQ(form_->Tray().GetTip(), "Bildschirmschoner-Verwaltung");
    EXPECT_FALSE(form_->UseLayoutFaces());
    EXPECT_TRUE(HttpGetter::HostList().empty());
    form_.reset();
    debug_.reset();

    Make();
    EXPECT_TRUE(form_->HasSplash());
    EXPECT_EQ(form_->size(), QSize(64, 48));
    EXPECT_EQ(form_->Tray().GetTip(), "Tolvar Demo");
    EXPECT_TRUE(form_->UseLayoutFaces());
    EXPECT_EQ(form_->Tray().Icon(),
              &form_->FacePicture(FaceSlot(Face::NoNews, FaceImage::Default)));
    EXPECT_EQ(HttpGetter::HostList(), (std::vector<std::string>{"one.example", "two.example"}));
}

// ---- provider key, menu, protocol handlers, the saver ----

TEST_F(MainFormTest, KeyOfNoOrOneProviderAndNoChoiceWithoutProviders) {
    Settings().SetCurrentProvider("nobody");
    Make();
    EXPECT_EQ(HttpGetter::RequestKey(), "");
    EXPECT_EQ(Settings().GetCurrentProvider(), "nobody") << "nothing to choose from";
    form_.reset();
    debug_.reset();

    Machine("\\Providers", "solo", "s");
    Make();
    EXPECT_EQ(HttpGetter::RequestKey(), "solo");
    EXPECT_EQ(Settings().GetCurrentProvider(), "solo");
}

TEST_F(MainFormTest, TrayMenuHasItsItemsInOrder) {
    Make();
    struct Item {
        const char* text; // "-": a separator
        bool image;
    };
    const Item items[] = {
        {"Bildschirmschoner öffnen", true}, {"-", false},        {"Konfigurieren", true},
        {"Synchronisieren", true},          {"-", false},        {"Handbuch", false},
        {"Debug-Fenster", false},           {"Schließen", true},
    };
    const QList<QAction*> actions = form_->PopupTNA->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(std::size(items)));
    for (std::size_t i = 0; i < std::size(items); ++i) {
        SCOPED_TRACE(i);
        const QAction* action = actions[static_cast<qsizetype>(i)];
        if (std::string(items[i].text) == "-") {
            EXPECT_TRUE(action->isSeparator());
            continue;
        }
        EXPECT_EQ(action->text().toStdString(), items[i].text);
        EXPECT_EQ(!action->icon().isNull(), items[i].image);
    }
    EXPECT_EQ(actions[0], form_->MI_OpenScreenSaver);
    EXPECT_EQ(actions[2], form_->MI_Configure);
    EXPECT_EQ(actions[3], form_->MI_Sync);
    EXPECT_EQ(actions[5], form_->MI_Manual);
    EXPECT_EQ(actions[6], form_->MI_Debugwindow);
    EXPECT_EQ(actions[7], form_->MI_Close);
}

TEST_F(MainFormTest, HelloSwitchesThePollOnAndQuitEndsTheProgram) {
    Make();
    EXPECT_TRUE(form_->IpcPollTimer.Enabled()) << "runs from the start";
    EXPECT_EQ(form_->IpcPollTimer.Interval(), 500);
    form_->IpcPollTimer.SetEnabled(false);
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_HELLO));
    EXPECT_TRUE(form_->IpcPollTimer.Enabled());
    EXPECT_EQ(terminations_, 0);
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_QUIT));
    EXPECT_EQ(terminations_, 1);
    EXPECT_TRUE(form_->Terminating());
}

// A window that cannot be made on the bus is one line on stderr, not an exception out of
// the form: the program runs on, and its log lines reach the debug window directly.
TEST_F(MainFormTest, WithoutABusWindowTheFormIsMadeAndLogsDirectly) {
    {
        tolvar::test::BusFolderAway away(*bus_);
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(Make());
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("TolvarCtrl: no window on the message bus"), std::string::npos) << said;
    }
    ASSERT_TRUE(form_);
    EXPECT_EQ(form_->Window(), 0);
    EXPECT_EQ(CtrlWnd.load(), 0);
    // No saver file beside the program: the start's failure line is in the list.
    const auto lines = debug_->Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Failure: saver file " + work_ + "/Tolvar.scr could not be installed."),
              lines.end());
    form_->OnQuit();
    EXPECT_EQ(terminations_, 1);
}

TEST_F(MainFormTest, StartInstallsTheSaverAndTheTrayDoubleClickShowsIt) {
    // The build's own saver file beside the program.
    ASSERT_EQ(::symlink(SaverFileBeside(TOLVAR_CTRL_PATH).c_str(), (work_ + "/Tolvar.scr").c_str()),
              0);
    platform::MakeFolders(platform::WindowsFolder());
    const std::string installed = InstalledSaverPath();
    struct Case {
        bool autoregister;
        std::string registeredAfterStart;
        std::string registeredAfterShow;
    };
    const Case cases[] = {{false, "/previous/Other.scr", "/previous/Other.scr"},
                          {true, installed, installed}};
    Machine("\\System", "ShowTNAIcon", "true");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.autoregister);
        platform::RemoveFile(installed);
        platform::RemoveFile(installed + ".args");
        platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry,
                                        "/previous/Other.scr");
        Settings().SetSysAutoregisterSaver(c.autoregister);
        Make();
        EXPECT_EQ(tolvar::test::ReadFileOrEmpty(installed),
                  tolvar::test::ReadFileOrEmpty(TOLVAR_SAVER_PATH))
            << "copied from the program's folder";
        EXPECT_EQ(platform::RegisteredScreenSaver(), c.registeredAfterStart);
        // What the double click starts is seen through a stand-in in the installed
        // file's place (the real saver starting is the system tests' business).
        MakeRecordingSaver(installed);

        form_->FetchThread().GotNews = true;
        form_->FetchThread().GotMandatoryNews = true;
        form_->FetchFinished();
        ASSERT_TRUE(form_->NewMessages() && form_->MandatoryNews());
        form_->Tray().Tray().OnMouse(platform::TrayMouse::LeftDoubleClick);
        EXPECT_EQ(WaitForSaverArgs(installed), "/s\n");
        EXPECT_EQ(platform::RegisteredScreenSaver(), c.registeredAfterShow);
        EXPECT_FALSE(form_->NewMessages());
        EXPECT_FALSE(form_->MandatoryNews());
        // A status-notifier panel's one activation does the same.
        platform::RemoveFile(installed + ".args");
        form_->Tray().Tray().OnMouse(platform::TrayMouse::Activate);
        EXPECT_EQ(WaitForSaverArgs(installed), "/s\n");
        form_.reset();
        debug_.reset();
    }
}

TEST_F(MainFormTest, TheMissingNotificationAreaIsToldOnceWhenTheIconIsWanted) {
    // The offscreen platform has no notification area.
    ASSERT_FALSE(platform::TrayIcon::Available());
    Make();
    EXPECT_TRUE(debug_->ListBox1->findItems(TFormMain::kNoTrayHostLine, Qt::MatchExactly).isEmpty())
        << "ShowTNAIcon is off";
    form_.reset();
    debug_.reset();
    Machine("\\System", "ShowTNAIcon", "true");
    Make();
    // Said during the start, before the test's own log hook: the debug list holds it.
    const auto lines = debug_->ListBox1->findItems(TFormMain::kNoTrayHostLine, Qt::MatchExactly);
    EXPECT_EQ(lines.size(), 1);
}

TEST_F(MainFormTest, AMissingSaverFileIsSaidInTheLogAndNothingIsRegistered) {
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, "/previous/Other.scr");
    Settings().SetSysAutoregisterSaver(true);
    Make();
    const auto has = [this](const std::string& line) {
        const auto lines = debug_->Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("Failure: saver file " + work_ + "/Tolvar.scr could not be installed."));
    form_->OpenScreenSaver();
    EXPECT_TRUE(has("Failure: no saver file " + InstalledSaverPath() + " to start."));
    EXPECT_EQ(platform::RegisteredScreenSaver(), "/previous/Other.scr");
}

TEST_F(MainFormTest, TimersStartWithTheirIntervalsAndStates) {
    Settings().SetActLANAutoInterval(5);
    Settings().SetActDUNAutoInterval(7);
    Make();
    struct Case {
        const char* name;
        const platform::Timer& timer;
        int interval;
        bool enabled;
    };
    const Case cases[] = {
        {"idle", form_->IdleTimer, 800, true},
        {"transfer", form_->TransferTimer, 400, false},
        {"LAN interval", form_->LANIntervalTimer, 5 * 60000, true},
        {"dial-up interval", form_->DUNIntervalTimer, 7 * 60000, true},
        {"one-shot sync", form_->SyncTimer, 200, false},
        {"splash", form_->SplashTimer, 1000, false},
        {"IPC poll", form_->IpcPollTimer, 500, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.timer.Interval(), c.interval);
        EXPECT_EQ(c.timer.Enabled(), c.enabled);
    }
    EXPECT_FALSE(form_->Pending());
    EXPECT_FALSE(form_->Dialled());
    EXPECT_FALSE(form_->NewMessages());
    EXPECT_FALSE(form_->MandatoryNews());
    EXPECT_FALSE(form_->isVisible()) << "shown only by the program's start";
}

TEST_F(MainFormTest, NewSettingsChangeTheNextDecision) {
    dialup_->SetInstalled("isp");
    Settings().SetUseDUN(true);
    Settings().SetActDUNMsgBox(3);
    answerOk_ = false;
    Make();
    Settings().SetUseDUN(false);
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_SETTINGS_CHANGED));
    form_->StartSync();
    EXPECT_TRUE(Logged("Connection is offline, RAS will not be used."));
    EXPECT_FALSE(form_->Pending());

    Settings().SetUseDUN(true);
    Settings().SetActLANAlwaysOn(true);
    bus_->Broadcast(platform::Message(IpcMessageId(), 0, IPC_SETTINGS_CHANGED));
    log_.clear();
    form_->StartSync();
    EXPECT_TRUE(
        Logged("System cheats: Windows says we have no connection at all. So simply try..."));
    FinishCycle();
    EXPECT_EQ(Calls(), std::vector<std::string>{}) << "nothing dialled";
}

TEST_F(MainFormTest, PollForgetsTheSaverWindowOnlyWhenNoSaverRuns) {
    Make();
    SaverWnd = 4711;
    {
        auto saver = RunSaver();
        form_->OnIpcPoll();
        EXPECT_EQ(SaverWnd.load(), 4711u);
    }
    ASSERT_TRUE(WaitUntil([] { return !platform::IsScreenSaverRunning(); }));
    form_->OnIpcPoll();
    EXPECT_EQ(SaverWnd.load(), 0u) << "later sends are broadcasts";
}

TEST_F(MainFormTest, StartStoresTheOwnPathAndWritesTheAutostartWhenAsked) {
    const std::string runKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const auto autostart = [&]() -> std::string {
        auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine, runKey,
                                               platform::Access::Read);
        return key && key->ValueExists("TolvarCtrl") ? key->ReadString("TolvarCtrl") : "";
    };
    Settings().SetSysAutostartBaseapp(false);
    Make();
    EXPECT_EQ(Settings().GetBaseappPath(), work_ + "/TolvarCtrl");
    EXPECT_EQ(autostart(), "");
    form_.reset();
    debug_.reset();
    Settings().SetSysAutostartBaseapp(true);
    Make();
    EXPECT_EQ(autostart(), work_ + "/TolvarCtrl --startup");
}

TEST_F(MainFormTest, MenuCommandsConfigureShowTheLogAndClose) {
    const std::string saver = home_.Root() + "/registered saver.scr";
    MakeRecordingSaver(saver);
    Settings().SetSysAutoregisterSaver(false);
    Make();
    platform::WriteScreenSaverEntry(platform::ScreenSaverStore::Registry, saver);
    form_->MI_Configure->trigger();
    EXPECT_EQ(WaitForSaverArgs(saver), "/c\n");
    EXPECT_FALSE(debug_->isVisible());
    form_->MI_Debugwindow->trigger();
    EXPECT_TRUE(debug_->isVisible());
    EXPECT_EQ(terminations_, 0);
    form_->MI_Close->trigger();
    EXPECT_EQ(terminations_, 1);
}

} // namespace

#include "common/directories.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/bus.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/ui/control.h"
#include "platform/ui/eventpump.h"
#include "platform/ui/messagebox.h"
#include "saver/abutton.h"
#include "saver/configform.h"
#include "saver/formsrvmain.h"
#include "saver/layoutcontrol.h"
#include "support/busfolder.h"
#include "support/guiapp.h"
#include "support/process.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tolvar::test::Child;
using tolvar::test::TempHome;
using tolvar::test::WriteFile;

constexpr const char* kProvider = "prov";
constexpr const char* kFolder = "provfolder";
const std::string kLayoutKey = "#brimwald:///images/provfolder/base/layout.xml";
constexpr const char* kLinkUrl = "http://example.test/item";

// A control file with one topic that offers one channel, so the subscription dialog has
// a page to show.
std::string ControlFileXml(const std::string& channelId = "c1") {
    return R"(<?xml version="1.0"?><content time="t"><topics><topic id="t" title="Themen">)"
           R"(<description>d</description><channelref id=")" +
           channelId + R"(" displaytitle="Eins"/></topic></topics><channels><channel id=")" +
           channelId + R"(" title="Eins" uri="#feed"/></channels></content>)";
}

// How completely a layout version's pictures are cached.
enum class Grade { Complete, HalfComplete, Incomplete };

std::string Button(const std::string& id, int index, const std::string& faces) {
    return "<button id=\"" + id + "\" left=\"" + std::to_string(100 * index) +
           "\" top=\"100\" width=\"64\" height=\"48\">" + faces + "</button>";
}

// A layout version: its morestr names it; its preview and its 640 x 480 background have
// keys of their own, so the cache decides its grade.
std::string LayoutXml(const std::string& name) {
    const std::string buttons =
        Button("#sync", 0, R"(<face context="default"/><face context="active"/>)") +
        Button("#online", 1, R"(<face context="default"/><face context="online"/>)") +
        Button("#play", 2, R"(<face context="default"/><face context="playing"/>)") +
        Button("#quit", 3, R"(<face context="default"/>)") +
        Button("item", 4, std::string(R"(<face context="default" link=")") + kLinkUrl + "\"/>");
    return R"(<?xml version="1.0"?><layout><morestr>)" + name +
           R"(</morestr><configbanner src="banner" serial="1"/>)"
           R"(<splashscreen src="splash" serial="1"/><preview src="preview-)" +
           name +
           R"(" serial="1"/><screen width="1024" height="768" context="default">)"
           R"(<background src="bg1024" serial="1"/><clock left="0" top="0" width="50" )"
           R"(height="50"/>)" +
           buttons +
           R"(</screen><screen width="640" height="480" context="default"><background src="bg640-)" +
           name + R"(" serial="1"/><clock width="50" height="50"/></screen></layout>)";
}

// The saver's cache in the test's home: an index with a control file, layout versions
// and the picture entries that grade them (picture files are not needed for the grade).
class SaverCache {
public:
    SaverCache() : folder_(GetCacheDir()) {}

    void Add(const std::string& file, const std::string& serial, const std::string& key,
             const std::optional<std::string>& content) {
        index_ += file + "|" + serial + "|" + key + "\r\n";
        if (content) {
            WriteFile(folder_ + "/" + file, *content);
        }
    }
    void AddPictureKey(const std::string& key) { Add(key + ".gif", "1", key, std::nullopt); }
    void AddControlFile(const std::string& xml = ControlFileXml(),
                        const std::string& file = "cf1.xml", const std::string& serial = "1") {
        Add(file, serial, GetControlFileKey(), xml);
    }
    void AddLayoutVersion(const std::string& serial, Grade grade) {
        const std::string name = "v" + serial;
        Add("layout-" + name + ".xml", serial, kLayoutKey, LayoutXml(name));
        if (grade != Grade::Incomplete) {
            AddPictureKey("preview-" + name);
        }
        if (grade == Grade::Complete) {
            AddPictureKey("bg640-" + name);
        }
    }
    void AddSharedPictures() {
        for (const char* key : {"banner", "splash", "bg1024"}) {
            AddPictureKey(key);
        }
    }
    void Write() { WriteFile(folder_ + "/cache.dir", index_); }
    const std::string& Folder() const { return folder_; }

    // Everything a start needs: control file, one complete layout, the provider.
    void WriteStandard() {
        AddControlFile();
        AddSharedPictures();
        AddLayoutVersion("1", Grade::Complete);
        Write();
        SetProviders({{kProvider, kFolder}}, kProvider);
    }

    static void SetProviders(const std::vector<std::pair<std::string, std::string>>& providers,
                             const std::string& current) {
        const TolvarSettings settings("Brimwald", "Tolvar");
        for (const auto& [name, value] : providers) {
            settings.SetProviderValue(name, value);
        }
        settings.SetCurrentProvider(current);
    }

private:
    std::string folder_;
    std::string index_;
};

struct SeenMessage {
    std::int64_t first = 0;
    std::int64_t code = 0;
    std::uint64_t dataCode = 0;
    std::string data;
    bool copyData = false;
};

class FormSvrMainTest : public ::testing::Test {
protected:
    FormSvrMainTest() {
        tolvar::test::EnsureGuiApp();
        bus.emplace();
        // The stand-in for the control program's window, in this process.
        ctrl = bus->CreateWindow([this](platform::WindowHandle, const platform::Message& m) {
            SeenMessage seen;
            seen.first = m.first;
            seen.code = m.second;
            seen.copyData = m.number == platform::kCopyDataMessage;
            seen.dataCode = m.dataCode;
            seen.data = m.data;
            if (seen.copyData || m.number == IpcMessageId()) {
                seen_.push_back(seen);
            }
            return std::int64_t{0};
        });
        platform::SetMessageBoxHandler(
            [this](const platform::MessageBoxRequest& box) { boxes.push_back(box); });
    }
    ~FormSvrMainTest() override {
        form.reset();
        platform::SetMessageBoxHandler({});
        bus->DestroyWindow(ctrl);
        CtrlWnd = 0;
        bus.reset();
    }

    // A form as the program makes it (constructor and FormCreate), with the end counted.
    void MakeForm(bool create = true) {
        form = std::make_unique<TFormSvrMain>();
        form->OnTerminate = [this] { ++terminations; };
        form->ShiftHeld = [this] { return shiftHeld; };
        if (create && !form->StartFailed()) {
            form->FormCreate();
        }
    }

    // Sends a protocol message to the form the way the control program does, its window
    // as first parameter.
    void SendToForm(std::int64_t code) {
        bus->Send(form->Window(), platform::Message(IpcMessageId(), ctrl, code));
    }

    // Runs the application's loop (with the bus hooked in) until done holds.
    // The reading of a started reload is done and its result applied.
    bool ReloadSettled() {
        return RunUntil([&] { return !form->ReloadBusy(); }, 60s);
    }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
        QSocketNotifier notifier(bus->EventFd(), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { bus->ProcessPending(); });
        QEventLoop loop;
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (done()) {
                loop.quit();
            }
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        bus->ProcessPending();
        if (!done()) {
            poll.start();
            deadline.start(timeout);
            loop.exec();
        }
        return done();
    }

    // The protocol messages (not copy-data) with that code that the control window got.
    int Seen(std::int64_t code) {
        bus->ProcessPending();
        int count = 0;
        for (const SeenMessage& m : seen_) {
            count += (!m.copyData && m.code == code) ? 1 : 0;
        }
        return count;
    }
    std::vector<std::string> CopyData(std::uint64_t dataCode) {
        bus->ProcessPending();
        std::vector<std::string> texts;
        for (const SeenMessage& m : seen_) {
            if (m.copyData && m.dataCode == dataCode) {
                texts.push_back(m.data.substr(0, m.data.find('\0')));
            }
        }
        return texts;
    }

    std::string ButtonContext(const std::string& id) {
        for (const auto& button : form->Screen()->Buttons()) {
            if (button->Id == id) {
                return button->CurrentContext();
            }
        }
        return "(none)";
    }
    AButton* FindButton(const std::string& id) {
        for (const auto& button : form->Screen()->Buttons()) {
            if (button->Id == id) {
                return button.get();
            }
        }
        return nullptr;
    }
    // A whole keystroke on the form: the press, then the release the form acts on.
    void KeyRelease(int qtKey) {
        QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &press);
        ReleaseOnly(qtKey);
    }
    // A release whose press went elsewhere (to a box that closed on it).
    void ReleaseOnly(int qtKey) {
        QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &release);
    }
    void Click(AButton& button) {
        const QPoint centre(button.Left() + button.Width() / 2, button.Top() + button.Height() / 2);
        const QPointF at(centre);
        platform::ControlHost* host = form->Host();
        QMouseEvent press(QEvent::MouseButtonPress, at, host->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(host, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, host->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(host, &release);
    }

    TempHome home;
    // No LAN and no dial-up unless a test says so: the start asks for no sync.
    tolvar::test::ScriptedDialup dialup;
    std::optional<platform::Bus> bus;
    platform::WindowHandle ctrl = 0;
    std::vector<platform::MessageBoxRequest> boxes;
    std::unique_ptr<TFormSvrMain> form;
    int terminations = 0;
    bool shiftHeld = false;

private:
    std::vector<SeenMessage> seen_;
};

// ---- start-up ----

TEST_F(FormSvrMainTest, ChoosesNewestCompleteElseOldestHalfCompleteElseNewestVersion) {
    using G = Grade;
    struct Case {
        const char* what;
        std::vector<Grade> grades; // serials 1, 2, ... oldest first
        const char* shown;
    };
    const Case cases[] = {
        {"newest complete", {G::Complete, G::Complete}, "v2"},
        {"an older complete one before a newer incomplete one", {G::Complete, G::Incomplete}, "v1"},
        {"the older of two half-complete ones",
         {G::Incomplete, G::HalfComplete, G::HalfComplete, G::Incomplete},
         "v2"},
        {"a complete one stops the walk", {G::HalfComplete, G::Complete, G::HalfComplete}, "v2"},
        {"half complete beats the newest", {G::HalfComplete, G::Incomplete}, "v1"},
        {"nothing complete: the newest", {G::Incomplete, G::Incomplete, G::Incomplete}, "v3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome caseHome;
        SaverCache cache;
        cache.AddControlFile();
        cache.AddSharedPictures();
        for (std::size_t i = 0; i < c.grades.size(); ++i) {
            cache.AddLayoutVersion(std::to_string(i + 1), c.grades[i]);
        }
        cache.Write();
        SaverCache::SetProviders({{kProvider, kFolder}}, kProvider);
        MakeForm(false);
        ASSERT_FALSE(form->StartFailed());
        EXPECT_EQ(form->Layout().morestr, c.shown);
        form.reset();
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FormSvrMainTest, EachMissingPieceShowsTheInstallationBoxWithItsStep) {
    struct Case {
        const char* what;
        std::function<void()> make;
        int step;
    };
    const Case cases[] = {
        {"no cache index",
         [] {
             SaverCache::SetProviders({{kProvider, kFolder}}, kProvider);
         },
         -1},
        {"no cached control file",
         [] {
             SaverCache cache;
             cache.AddSharedPictures();
             cache.AddLayoutVersion("1", Grade::Complete);
             cache.Write();
             SaverCache::SetProviders({{kProvider, kFolder}}, kProvider);
         },
         1},
        {"a provider value that is no text",
         [] {
             SaverCache cache;
             cache.AddControlFile();
             cache.Write();
             auto key = platform::RegistryKey::Open(platform::Hive::LocalMachine,
                                                    "\\Software\\Brimwald\\Tolvar\\Providers",
                                                    platform::Access::ReadWrite, true);
             ASSERT_TRUE(key);
             key->WriteInteger(kProvider, 7);
         },
         0},
        {"no cached layout of the provider",
         [] {
             SaverCache cache;
             cache.AddControlFile();
             cache.Write();
             SaverCache::SetProviders({{kProvider, kFolder}}, kProvider);
         },
         3},
        {"no provider at all",
         [] {
             SaverCache cache;
             cache.AddControlFile();
             cache.AddSharedPictures();
             cache.AddLayoutVersion("1", Grade::Complete);
             cache.Write();
         },
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome caseHome;
        c.make();
        boxes.clear();
        auto created = TFormSvrMain::Create();
        EXPECT_EQ(created, nullptr);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Tolvar");
        EXPECT_EQ(boxes[0].icon, platform::MessageBoxIcon::Stop);
        EXPECT_TRUE(boxes[0].text.starts_with("Fehler:\n")) << boxes[0].text;
        EXPECT_NE(boxes[0].text.find("(" + std::to_string(c.step) + ")."), std::string::npos)
            << boxes[0].text;
    }
}

TEST(ChooseRunProvider, KeepsAListedProviderElsePicksAndStoresOne) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> providers;
        std::string current;
        std::string value;       // the layout folder taken
        std::string storedAfter; // CurrentProvider afterwards
    };
    const Case cases[] = {
        {"listed", {{"a", "fa"}, {"b", "fb"}}, "b", "fb", "b"},
        {"no longer listed", {{"a", "fa"}}, "gone", "fa", "a"},
        {"none chosen yet", {{"a", "fa"}}, "", "fa", "a"},
        {"no provider at all", {}, "gone", "", "gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        SaverCache::SetProviders(c.providers, c.current);
        EXPECT_EQ(ChooseRunProvider(), c.value);
        EXPECT_EQ(TolvarSettings("Brimwald", "Tolvar").GetCurrentProvider(), c.storedAfter);
    }
}

TEST_F(FormSvrMainTest, EndingStoresARandomListedProviderForTheNextRun) {
    SaverCache cache;
    cache.WriteStandard();
    // A second provider without any cached layout: the next run may show either.
    SaverCache::SetProviders({{"other", "otherfolder"}}, kProvider);
    const std::set<std::string> names = {kProvider, "other"};
    MakeForm();
    ASSERT_FALSE(form->StartFailed());
    form.reset();
    EXPECT_EQ(names.count(TolvarSettings("Brimwald", "Tolvar").GetCurrentProvider()), 1u);
}

TEST_F(FormSvrMainTest, CreateBuildsTheScreenAndSetsUpTheProtocol) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    ASSERT_FALSE(form->StartFailed());
    EXPECT_TRUE(form->Ready());
    EXPECT_TRUE(form->Playing());
    EXPECT_FALSE(form->SyncActive());
    EXPECT_FALSE(form->Online());
    ASSERT_NE(form->Screen(), nullptr);
    EXPECT_EQ(form->Screen()->Buttons().size(), 5u);
    EXPECT_EQ(SaverWnd.load(), form->Window());
    // The hello went out as a broadcast, which the control window received too.
    EXPECT_EQ(Seen(IPC_HELLO), 1);
    for (platform::Timer* timer :
         {&form->ReloadTimer, &form->ReloadAndSyncTimer, &form->SettingsTimer,
          &form->CancelReloadTimer, &form->DialTimer}) {
        EXPECT_FALSE(timer->Enabled());
    }
    EXPECT_EQ(form->ReloadTimer.Interval(), 1000);
    EXPECT_EQ(form->ReloadAndSyncTimer.Interval(), 200);
    EXPECT_EQ(form->SettingsTimer.Interval(), 200);
    EXPECT_EQ(form->CancelReloadTimer.Interval(), 1000);
    EXPECT_EQ(form->DialTimer.Interval(), 1000);
    EXPECT_TRUE(boxes.empty());
}

// A window that cannot be made on the bus is one line on stderr: the saver shows its
// screen all the same and its keys still work.
TEST_F(FormSvrMainTest, WithoutABusWindowTheScreenIsShownAllTheSame) {
    SaverCache cache;
    cache.WriteStandard();
    {
        tolvar::test::BusFolderAway away(*bus);
        testing::internal::CaptureStderr();
        MakeForm();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("Tolvar: no window on the message bus"), std::string::npos) << said;
    }
    ASSERT_FALSE(form->StartFailed());
    EXPECT_TRUE(form->Ready());
    EXPECT_EQ(form->Window(), 0);
    EXPECT_EQ(SaverWnd.load(), 0);
    EXPECT_TRUE(boxes.empty());
    KeyRelease(Qt::Key_Escape);
    EXPECT_TRUE(form->Ended());
    EXPECT_EQ(terminations, 1);
}

// ---- the protocol ----

TEST_F(FormSvrMainTest, ContentChangesReloadOnceAfterTheTimer) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    CC* before = form->Cache();
    SendToForm(IPC_CONTENT_CHANGED);
    SendToForm(IPC_CONTENT_CHANGED);
    SendToForm(IPC_CONTENT_CHANGED);
    EXPECT_EQ(CtrlWnd.load(), ctrl); // learned from the message
    EXPECT_TRUE(form->ReloadTimer.Enabled());
    EXPECT_EQ(form->Reloads(), 0); // nothing inside the dispatch
    ASSERT_TRUE(RunUntil([&] { return form->Reloads() > 0; }));
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_FALSE(form->ReloadTimer.Enabled());
    EXPECT_NE(form->Cache(), nullptr);
    EXPECT_EQ(form->Screen()->cache, form->Cache());
    (void)before;
    EXPECT_EQ(terminations, 0);
}

TEST_F(FormSvrMainTest, ReloadAndSyncTakesOverAPendingReloadThenAsksForASync) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    SendToForm(IPC_CONTENT_CHANGED);
    SendToForm(IPC_RELOAD_AND_SYNC);
    EXPECT_TRUE(form->ReloadAndSyncTimer.Enabled());
    // Whichever tick comes first, one reload and one sync request follow.
    form->ReloadTimerTimer();
    EXPECT_EQ(form->Reloads(), 0);
    EXPECT_FALSE(form->ReloadTimer.Enabled());
    form->ReloadAndSyncTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_FALSE(form->ReloadAndSyncTimer.Enabled());
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == 1; }));
}

TEST_F(FormSvrMainTest, CancelDropsAPendingReloadButNotAReloadAndSync) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    SendToForm(IPC_CONTENT_CHANGED);
    SendToForm(IPC_RELOAD_AND_SYNC);
    SendToForm(IPC_CANCEL_RELOAD);
    EXPECT_TRUE(form->CancelReloadTimer.Enabled());
    form->CancelReloadTimerTimer();
    EXPECT_FALSE(form->CancelReloadTimer.Enabled());
    EXPECT_FALSE(form->ReloadTimer.Enabled());
    EXPECT_TRUE(form->ReloadAndSyncTimer.Enabled());
}

TEST_F(FormSvrMainTest, TimersWaitWhileTheSubscriptionDialogIsOpen) {
    SaverCache cache;
    cache.WriteStandard();
    // The ticker draws on the screen in this installation.
    auto system = platform::RegistryKey::Open(platform::Hive::CurrentUser,
                                              "\\Software\\Brimwald\\Tolvar\\System",
                                              platform::Access::ReadWrite, true);
    ASSERT_TRUE(system);
    system->WriteString("TickerDrawOnScreenDC", "true");
    MakeForm();
    EXPECT_TRUE(form->Screen()->TickerDrawOnScreen());

    bool dialogShown = false;
    form->RunConfigDialog = [&](TFormConfig& dialog) {
        dialogShown = true;
        EXPECT_EQ(dialog.ControlFile(), form->ControlFile());
        EXPECT_TRUE(form->Configuring());
        EXPECT_FALSE(form->Screen()->TickerDrawOnScreen());
        // Messages arrive while the dialog is open: the ticks wait and stay on.
        SendToForm(IPC_CONTENT_CHANGED);
        SendToForm(IPC_RELOAD_AND_SYNC);
        SendToForm(IPC_CANCEL_RELOAD);
        SendToForm(IPC_SETTINGS_CHANGED);
        form->ReloadTimerTimer();
        form->ReloadAndSyncTimerTimer();
        form->CancelReloadTimerTimer();
        EXPECT_EQ(form->Reloads(), 0);
        EXPECT_TRUE(form->ReloadTimer.Enabled());
        EXPECT_TRUE(form->ReloadAndSyncTimer.Enabled());
        EXPECT_TRUE(form->CancelReloadTimer.Enabled());
        // The settings tick does not wait, but keeps the ticker off the screen.
        form->SettingsTimerTimer();
        EXPECT_FALSE(form->SettingsTimer.Enabled());
        EXPECT_FALSE(form->Screen()->TickerDrawOnScreen());
    };
    form->OnButtonClick("#config", "default", "");
    ASSERT_TRUE(dialogShown);
    EXPECT_FALSE(form->Configuring());
    EXPECT_TRUE(form->Screen()->TickerDrawOnScreen());
    // After the dialog the reload runs on the next tick.
    form->ReloadAndSyncTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 1);
}

TEST_F(FormSvrMainTest, StatusBitsSwitchTheButtonsOnChangesOnlyAndNotBeforeReady) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm(false);
    // Before FormCreate: nothing changes.
    SendToForm(IPC_STATUS_BASE | IPC_STATUS_SYNCING | IPC_STATUS_ONLINE);
    EXPECT_FALSE(form->SyncActive());
    EXPECT_FALSE(form->Online());
    form->FormCreate();
    EXPECT_EQ(ButtonContext("#sync"), "default");
    EXPECT_EQ(ButtonContext("#online"), "default");

    struct Step {
        std::int64_t word;
        bool syncing;
        bool online;
    };
    const Step steps[] = {
        {IPC_STATUS_BASE | IPC_STATUS_SYNCING, true, false},
        {IPC_STATUS_BASE | IPC_STATUS_SYNCING | IPC_STATUS_ONLINE, true, true},
        {IPC_STATUS_BASE | IPC_STATUS_ONLINE, false, true},
        {IPC_STATUS_BASE, false, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.word);
        SendToForm(s.word);
        EXPECT_EQ(form->SyncActive(), s.syncing);
        EXPECT_EQ(form->Online(), s.online);
        EXPECT_EQ(ButtonContext("#sync"), s.syncing ? "active" : "default");
        EXPECT_EQ(ButtonContext("#online"), s.online ? "online" : "default");
    }
    // A context set elsewhere is left alone when the bit does not change.
    form->Screen()->SetButtonContext("#online", "online");
    SendToForm(IPC_STATUS_BASE);
    EXPECT_EQ(ButtonContext("#online"), "online");
}

TEST_F(FormSvrMainTest, SettingsChangeIsReappliedByItsTick) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    const TolvarSettings settings("Brimwald", "Tolvar");
    settings.SetTickerSpeed(3);
    SendToForm(IPC_SETTINGS_CHANGED);
    EXPECT_TRUE(form->SettingsTimer.Enabled());
    EXPECT_NE(form->Screen()->TickerSpeed(), 3);
    ASSERT_TRUE(RunUntil([&] { return !form->SettingsTimer.Enabled(); }));
    EXPECT_EQ(form->Screen()->TickerSpeed(), 3);
}

TEST_F(FormSvrMainTest, DialRequestDialsAndAnswers) {
    SaverCache cache;
    cache.WriteStandard();
    dialup->SetInstalled("Modem");
    MakeForm();
    platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
    for (const bool succeeds : {true, false}) {
        SCOPED_TRACE(succeeds);
        dialup->SetDialSucceeds(succeeds);
        SendToForm(IPC_DIAL_REQUEST);
        EXPECT_TRUE(form->DialTimer.Enabled());
        form->DialTimerTimer();
        EXPECT_FALSE(form->DialTimer.Enabled());
    }
    EXPECT_TRUE(
        RunUntil([&] { return Seen(IPC_CONNECTION_READY) == 1 && Seen(IPC_NO_CONNECTION) == 1; }));
}

TEST_F(FormSvrMainTest, ReloadWithoutControlFileLogsAndEnds) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    form->FormShow();
    SendToForm(IPC_CONTENT_CHANGED); // the control window is known from here on
    SaverCache without;
    without.AddSharedPictures();
    without.AddLayoutVersion("1", Grade::Complete);
    without.Write();
    form->ReloadTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(form->Ended());
    EXPECT_FALSE(form->ScreenSaverRunning());
    EXPECT_TRUE(RunUntil([&] {
        return CopyData(IPC_DATA_LOG) ==
               std::vector<std::string>{"Tolvar: Terminating while control file missing."};
    }));
}

TEST_F(FormSvrMainTest, ReloadKeepsTheModelsInUseOverOnesItCannotReadWhole) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    ASSERT_NE(form->ControlFile()->FindChannel("c1"), nullptr);
    CF* whole = form->ControlFile();

    // A newer control file that breaks off after its first channel.
    SaverCache newer;
    newer.AddSharedPictures();
    newer.AddLayoutVersion("1", Grade::Complete);
    newer.AddControlFile(ControlFileXml("c1"), "cf1.xml", "1");
    newer.AddControlFile(R"(<?xml version="1.0"?><content time="t"><channels>)"
                         R"(<channel id="c9" title="Neu" uri="#f9"/><channel id="" title="x"/>)"
                         R"(</channels></content>)",
                         "cf2.xml", "2");
    newer.Write();
    form->ReloadTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 0);
    EXPECT_EQ(form->ControlFile(), whole);
    EXPECT_FALSE(form->Ended());

    // A whole newer one replaces it.
    SaverCache whole2;
    whole2.AddSharedPictures();
    whole2.AddLayoutVersion("1", Grade::Complete);
    whole2.AddControlFile(ControlFileXml("c3"), "cf3.xml", "3");
    whole2.Write();
    form->ReloadTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_NE(form->ControlFile()->FindChannel("c3"), nullptr);

    // An index that is there but cannot be read is no missing control file: the saver
    // keeps what it shows and goes on.
    const std::string index = whole2.Folder() + "/cache.dir";
    ASSERT_EQ(std::remove(index.c_str()), 0);
    ASSERT_EQ(::mkdir(index.c_str(), 0700), 0);
    CF* current = form->ControlFile();
    form->ReloadTimerTimer();
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_EQ(form->ControlFile(), current);
    EXPECT_FALSE(form->Ended());
    EXPECT_EQ(terminations, 0);
}

TEST_F(FormSvrMainTest, ACacheEntryNamingAFileOutsideTheFolderIsNotRead) {
    SaverCache cache;
    cache.AddSharedPictures();
    cache.AddLayoutVersion("1", Grade::Complete);
    ASSERT_EQ(::mkdir((cache.Folder() + "/sub").c_str(), 0700), 0);
    cache.AddControlFile(ControlFileXml("c1"), "sub/cf.xml");
    cache.Write();
    SaverCache::SetProviders({{kProvider, kFolder}}, kProvider);
    MakeForm();
    ASSERT_FALSE(form->StartFailed()); // the entry is there: the start goes on
    EXPECT_TRUE(form->ControlFile()->channels.empty());
}

// ---- keys and buttons ----

TEST_F(FormSvrMainTest, KeysActOnReleaseAfterReady) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm(false);
    KeyRelease(Qt::Key_Escape);
    EXPECT_EQ(terminations, 0); // not ready yet
    form->FormCreate();

    // Space pauses while playing and plays while paused.
    KeyRelease(Qt::Key_Space);
    EXPECT_TRUE(form->Screen()->Paused());
    EXPECT_FALSE(form->Playing());
    EXPECT_EQ(ButtonContext("#play"), "default");
    KeyRelease(Qt::Key_Space);
    EXPECT_FALSE(form->Screen()->Paused());
    EXPECT_TRUE(form->Playing());
    EXPECT_EQ(ButtonContext("#play"), "playing");

    // A step while playing pauses and arms the resume timer.
    for (const int key : {Qt::Key_Right, Qt::Key_Left}) {
        SCOPED_TRACE(key);
        form->Screen()->Play();
        KeyRelease(key);
        EXPECT_TRUE(form->Screen()->Paused());
        EXPECT_TRUE(form->Screen()->ResumeTimer().Enabled());
    }
    form->Screen()->Play();

    // F5 asks for a sync only while no sync runs.
    SendToForm(IPC_STATUS_BASE); // the control window is known
    KeyRelease(Qt::Key_F5);
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == 1; }));
    SendToForm(IPC_STATUS_BASE | IPC_STATUS_SYNCING);
    KeyRelease(Qt::Key_F5);
    SendToForm(IPC_STATUS_BASE);
    KeyRelease(Qt::Key_F5);
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == 2; }));

    // Other keys and auto-repeated releases do not end the saver.
    for (const int key : {Qt::Key_A, Qt::Key_Return, Qt::Key_Shift}) {
        KeyRelease(key);
    }
    QKeyEvent repeated(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(form.get(), &repeated);
    EXPECT_EQ(terminations, 0);
    KeyRelease(Qt::Key_Escape);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(Seen(IPC_SYNC_REQUEST), 2);
}

TEST_F(FormSvrMainTest, TheReleaseOfAnEscThatClosedABoxDoesNotEndTheSaver) {
    SaverCache cache;
    cache.WriteStandard();
    dialup->SetInstalled("Modem");
    MakeForm();
    form->show();
    platform::SetMessageBoxHandler({}); // the real box
    // The dial prompt comes up over the saver; Esc closes it on its press.
    bool boxSeen = false;
    QWidget* boxParent = nullptr;
    bool boxAbove = false;
    QStringList buttons;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || boxSeen) {
            return;
        }
        boxSeen = true;
        boxParent = box->parentWidget();
        boxAbove = (box->windowFlags() & Qt::WindowStaysOnTopHint) != 0;
        for (QAbstractButton* button : box->buttons()) {
            buttons.push_back(button->text());
        }
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box, &esc);
    });
    poll.start(10);
    SendToForm(IPC_DIAL_REQUEST);
    form->DialTimerTimer();
    poll.stop();
    ASSERT_TRUE(boxSeen);
    EXPECT_EQ(boxParent, form.get()) << "the saver is the box's parent";
    EXPECT_TRUE(boxAbove) << "kept above the stay-on-top saver";
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"Ja", "Nein"}));
    EXPECT_TRUE(dialup->Calls().empty()) << "Esc declined the dial";
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_NO_CONNECTION) == 1; }));

    // Then the release reaches the saver: it runs on.
    ReleaseOnly(Qt::Key_Escape);
    EXPECT_EQ(terminations, 0);
    KeyRelease(Qt::Key_Escape); // a keystroke of its own ends it
    EXPECT_EQ(terminations, 1);
}

TEST_F(FormSvrMainTest, TheSubscriptionDialogOpensOverTheSaver) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    form->show();
    QWidget* parent = nullptr;
    bool above = false;
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = dynamic_cast<TFormConfig*>(QApplication::activeModalWidget());
        if (dialog == nullptr || seen) {
            return;
        }
        seen = true;
        parent = dialog->parentWidget();
        above = (dialog->windowFlags() & Qt::WindowStaysOnTopHint) != 0;
        dialog->reject();
    });
    poll.start(10);
    form->ShowConfig(); // the real modal run
    poll.stop();
    ASSERT_TRUE(seen);
    EXPECT_EQ(parent, form.get());
    EXPECT_TRUE(above);
}

TEST_F(FormSvrMainTest, TheSaverAnswersKeysAndTimersWhileADialRuns) {
    SaverCache cache;
    cache.WriteStandard();
    dialup->SetInstalled("Modem");
    MakeForm();
    platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
    platform::ServeEventLoopWhileDialling(); // as the program's start binds it
    // Posted before the dial: handled only when the dial's wait serves the whole loop.
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    QCoreApplication::postEvent(form.get(),
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QCoreApplication::postEvent(form.get(),
                                new QKeyEvent(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier));
    bool timerRanDuringDial = false;
    int endsDuringDial = -1;
    dialup->SetDuringDial([&] {
        timerRanDuringDial = timerRan;
        endsDuringDial = terminations;
    });
    SendToForm(IPC_DIAL_REQUEST);
    form->DialTimerTimer();
    EXPECT_TRUE(timerRanDuringDial);
    EXPECT_EQ(endsDuringDial, 1) << "Esc ended the saver while the dial still ran";
}

TEST_F(FormSvrMainTest, ButtonCommands) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    SendToForm(IPC_STATUS_BASE);
    struct Case {
        const char* id;
        const char* context;
        const char* link;
        int syncRequests; // added by the click
        bool paused;      // afterwards
        bool ends;
    };
    const Case cases[] = {
        {"#sync", "active", "", 0, false, false},
        {"#sync", "default", "", 1, false, false},
        {"#online", "online", "x", 0, false, false},
        {"#play", "playing", "", 0, true, false},
        {"#play", "default", "", 0, false, false},
        {"#forward", "default", "", 0, true, false},
        {"#rewind", "default", "", 0, true, false},
        {"#Quit", "default", "", 0, true, false}, // ids are compared with their case
        {"#quit", "default", "", 0, true, true},
    };
    int requests = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.id) + " " + c.context);
        form->OnButtonClick(c.id, c.context, c.link);
        requests += c.syncRequests;
        EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == requests; }));
        EXPECT_EQ(form->Screen()->Paused(), c.paused);
        EXPECT_EQ(terminations, c.ends ? 1 : 0);
    }
}

TEST_F(FormSvrMainTest, EveryEndClearsTheRunningFlag) {
    struct Case {
        const char* what;
        std::function<void()> end;
    };
    const Case cases[] = {
        {"Esc", [this] { KeyRelease(Qt::Key_Escape); }},
        {"quit button", [this] { form->OnButtonClick("#quit", "default", ""); }},
        {"quit message", [this] { SendToForm(IPC_QUIT); }},
        {"link", [this] { form->OnTickerClick("http://example.test/t"); }},
        {"message-window link", [this] { form->OnMessageWindowClick("http://example.test/m"); }},
        {"window closed", [this] { form->close(); }},
    };
    SaverCache cache;
    cache.WriteStandard();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        terminations = 0;
        MakeForm();
        form->show();
        EXPECT_TRUE(form->ScreenSaverRunning());
        c.end();
        EXPECT_FALSE(form->ScreenSaverRunning());
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(terminations, 1);
        form.reset();
    }
}

TEST_F(FormSvrMainTest, OfThePowerBroadcastsOnlyTheSuspendQueryEndsTheSaver) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    form->show();
    struct Case {
        std::int64_t event;
        std::int64_t answer;
    };
    // The suspend itself, resume, a change of the power status, automatic resume.
    const Case cases[] = {{TFormSvrMain::PBT_APMSUSPEND, 1}, {7, 0}, {10, 0}, {18, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        const platform::SendResult r =
            bus->Send(form->Window(), platform::Message(TFormSvrMain::WM_POWERBROADCAST, c.event));
        ASSERT_TRUE(r.Handled());
        EXPECT_EQ(r.result, c.answer);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(form->ScreenSaverRunning());

    const platform::SendResult r =
        bus->Send(form->Window(), platform::Message(TFormSvrMain::WM_POWERBROADCAST,
                                                    TFormSvrMain::PBT_APMQUERYSUSPEND));
    ASSERT_TRUE(r.Handled());
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(terminations, 0); // not inside the sender's dispatch
    ASSERT_TRUE(RunUntil([&] { return terminations == 1; }));
    EXPECT_TRUE(form->Ended());
    EXPECT_FALSE(form->ScreenSaverRunning());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(FormSvrMainTest, TheSessionsEndEndsTheSaverThroughItsOrdinaryPath) {
    SaverCache cache;
    cache.WriteStandard();
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        terminations = 0;
        MakeForm();
        form->show();
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        ASSERT_TRUE(RunUntil([&] { return terminations == 1; }));
        EXPECT_TRUE(form->Ended());
        EXPECT_FALSE(form->ScreenSaverRunning());
        form.reset();
    }
}

// The link goes to the control program, a process of its own (the protocol tool's
// monitor window stands in for it), and the saver ends unless Shift is held.
TEST_F(FormSvrMainTest, ClickedLinkGoesToTheControlProgramAndEndsUnlessShiftIsHeld) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    Child monitor(TOLVAR_IPC_PATH, {"monitor"}, true);
    const auto banner = monitor.ReadLine();
    ASSERT_TRUE(banner && banner->starts_with("monitor window ")) << banner.value_or("(none)");
    const std::string monitorWindow = banner->substr(std::string("monitor window ").size());

    // The control program announces its status: the saver learns its window.
    Child status(TOLVAR_IPC_PATH, {"--ctrl", monitorWindow, "send", "IPC_STATUS", "9"});
    ASSERT_TRUE(RunUntil([&] { return !status.Running() && form->Online(); }));
    EXPECT_EQ(std::to_string(CtrlWnd.load()), monitorWindow);

    const std::string expected =
        "IPC_DATA_URL first=" + std::to_string(form->Window()) + " text=" + kLinkUrl;
    const auto nextUrlLine = [&]() -> std::optional<std::string> {
        while (auto line = monitor.ReadLine()) {
            if (line->starts_with("IPC_DATA_URL")) {
                return line;
            }
        }
        return std::nullopt;
    };

    AButton* item = FindButton("item");
    ASSERT_NE(item, nullptr);
    shiftHeld = true;
    Click(*item);
    EXPECT_EQ(nextUrlLine().value_or("(none)"), expected);
    EXPECT_EQ(terminations, 0);
    EXPECT_FALSE(form->Ended());

    shiftHeld = false;
    Click(*item);
    EXPECT_EQ(nextUrlLine().value_or("(none)"), expected);
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(form->Ended());
    monitor.Kill(SIGTERM);
}

TEST_F(FormSvrMainTest, ConfigWithoutControlFileModelShowsStepFour) {
    // A failed start leaves no control-file model: the command then only shows the box.
    TFormSvrMain failed;
    ASSERT_TRUE(failed.StartFailed());
    boxes.clear();
    bool shown = false;
    failed.RunConfigDialog = [&](TFormConfig&) { shown = true; };
    failed.ShowConfig();
    EXPECT_FALSE(shown);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("(4)."), std::string::npos);
    EXPECT_FALSE(failed.Configuring());
}

TEST_F(FormSvrMainTest, StartAsksForASyncWhenTheConnectionSettingsAllow) {
    struct Case {
        bool lan, actLAN, ras, actDUN, useDUN;
        bool asks;
    };
    const Case cases[] = {
        {true, true, false, false, false, true},   {true, false, false, false, false, false},
        {false, true, false, false, false, false}, {false, false, true, true, true, true},
        {false, false, true, true, false, false},  {false, false, true, false, true, false},
        {false, false, false, true, true, false},
    };
    SaverCache cache;
    cache.WriteStandard();
    int expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.lan) + std::to_string(c.actLAN) + std::to_string(c.ras) +
                     std::to_string(c.actDUN) + std::to_string(c.useDUN));
        dialup->SetLan(c.lan);
        dialup->SetInstalled(c.ras ? std::optional<std::string>("Modem") : std::nullopt);
        const TolvarSettings settings("Brimwald", "Tolvar");
        settings.SetActLANTolvar(c.actLAN);
        settings.SetActDUNTolvar(c.actDUN);
        settings.SetUseDUN(c.useDUN);
        MakeForm();
        expected += c.asks ? 1 : 0;
        EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == expected; }));
        form.reset();
    }
}

// ---- the reload off the GUI thread ----

// A large cache: the standard layout and a control file of channels x items, each item
// with a bitmap thumbnail of its own, every channel subscribed by default.
void WriteLargeCache(int channels, int items) {
    SaverCache cache;
    cache.AddSharedPictures();
    cache.AddLayoutVersion("1", Grade::Complete);
    std::string control = R"(<?xml version="1.0"?><content time="t"><channels>)";
    QImage picture(48, 36, QImage::Format_RGB32);
    for (int c = 0; c < channels; ++c) {
        const std::string n = std::to_string(c);
        control += "<channel id=\"c" + n + "\" title=\"Kanal " + n + "\" uri=\"#feed-" + n +
                   "\" subscriptiondefault=\"true\"/>";
        std::string feed = "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
                           " xmlns=\"http://purl.org/rss/1.0/\""
                           " xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">"
                           "<channel><title>Kanal " +
                           n + "</title></channel>";
        for (int i = 0; i < items; ++i) {
            const std::string key = "#pic-" + n + "-" + std::to_string(i);
            const std::string file = "pic-" + n + "-" + std::to_string(i) + ".bmp";
            picture.fill(qRgb(c * 5 % 256, i * 8 % 256, 128));
            ASSERT_TRUE(picture.save(QString::fromStdString(cache.Folder() + "/" + file), "BMP"));
            cache.Add(file, "1", key, std::nullopt);
            feed += "<item><title>Meldung " + std::to_string(i) + "</title><description>Text" +
                    "</description><link>https://example.test/" + n + "/" + std::to_string(i) +
                    "</link><content:items><rdf:Bag><rdf:li><content:item rdf:about=\"" + key +
                    "\"/></rdf:li></rdf:Bag></content:items></item>";
        }
        feed += "</rdf:RDF>";
        cache.Add("feed-" + n + ".xml", "1", "#feed-" + n, feed);
    }
    control += "</channels></content>";
    cache.AddControlFile(control, "cf-large.xml", "2");
    cache.Write();
}

TEST_F(FormSvrMainTest, AHeavyReloadReadsOffTheGuiThreadWhileItKeepsRunning) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    WriteLargeCache(50, 30);

    // The GUI thread's timer, as the one that presents the ticker's frames.
    std::atomic<int> guiTicks{0};
    QTimer gui;
    gui.setInterval(5);
    QObject::connect(&gui, &QTimer::timeout, [&] { guiTicks.fetch_add(1); });
    gui.start();

    // The read waits at its start until the GUI thread has ticked three times more: a
    // read on the GUI thread would never see them.
    std::thread::id readThread;
    std::atomic<bool> sawGuiTicks{false};
    form->Reloader().OnReadStart = [&] {
        readThread = std::this_thread::get_id();
        const int from = guiTicks.load();
        sawGuiTicks = tolvar::test::WaitUntil([&] { return guiTicks.load() >= from + 3; }, 10s);
    };
    const int ticksBefore = guiTicks.load();
    form->ReloadTimerTimer();
    EXPECT_TRUE(form->ReloadBusy());
    ASSERT_TRUE(ReloadSettled());
    EXPECT_NE(readThread, std::thread::id());
    EXPECT_NE(readThread, std::this_thread::get_id());
    EXPECT_TRUE(sawGuiTicks);
    EXPECT_GE(guiTicks.load() - ticksBefore, 3);
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_EQ(form->Screen()->Messages().Count(), 50 * 30);
    EXPECT_NE(form->ControlFile()->FindChannel("c49"), nullptr);
    EXPECT_EQ(terminations, 0);
}

TEST_F(FormSvrMainTest, ReloadsRequestedWhileOneRunsBecomeOneMore) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    SendToForm(IPC_CONTENT_CHANGED); // the control window is known from here on
    std::atomic<bool> release{false};
    std::atomic<int> reads{0};
    form->Reloader().OnReadStart = [&] {
        reads.fetch_add(1);
        tolvar::test::WaitUntil([&] { return release.load(); }, 10s);
    };
    form->ReloadTimerTimer();
    form->ReloadTimerTimer();
    form->ReloadAndSyncTimerTimer();
    form->ReloadTimerTimer();
    EXPECT_TRUE(form->Reloader().Running());
    EXPECT_TRUE(form->Reloader().Pending());
    release = true;
    ASSERT_TRUE(ReloadSettled());
    // The first and one for all the others; the sync wish of the merged ones is kept.
    EXPECT_EQ(reads.load(), 2);
    EXPECT_EQ(form->Reloads(), 2);
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == 1; }));
}

TEST_F(FormSvrMainTest, EndingWhileAReloadReadsDropsItsResult) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    WriteLargeCache(50, 30);
    std::atomic<bool> started{false};
    form->Reloader().OnReadStart = [&] { started = true; };
    form->ReloadTimerTimer();
    ASSERT_TRUE(tolvar::test::WaitUntil([&] { return started.load(); }, 10s));
    ASSERT_TRUE(form->ReloadBusy());
    // The read stops at its next look; what it made is freed, nothing is applied.
    form.reset();
    EXPECT_TRUE(RunUntil([] { return true; }, 100ms));
}

TEST_F(FormSvrMainTest, AReloadDoneWhileTheDialogIsOpenRunsAgainAfterIt) {
    SaverCache cache;
    cache.WriteStandard();
    MakeForm();
    std::atomic<bool> release{false};
    form->Reloader().OnReadStart = [&] {
        tolvar::test::WaitUntil([&] { return release.load(); }, 10s);
    };
    form->ReloadAndSyncTimerTimer(); // started before the dialog opens
    CF* inUse = form->ControlFile();
    form->RunConfigDialog = [&](TFormConfig& dialog) {
        release = true;
        // The result arrives while the dialog shows the models in use: they stay.
        EXPECT_TRUE(RunUntil([&] { return !form->Reloader().Running(); }));
        EXPECT_EQ(form->Reloads(), 0);
        EXPECT_EQ(form->ControlFile(), inUse);
        EXPECT_EQ(dialog.ControlFile(), inUse);
        EXPECT_EQ(Seen(IPC_SYNC_REQUEST), 0);
    };
    form->OnButtonClick("#config", "default", "");
    ASSERT_TRUE(ReloadSettled());
    EXPECT_EQ(form->Reloads(), 1);
    EXPECT_TRUE(RunUntil([&] { return Seen(IPC_SYNC_REQUEST) == 1; }));
}

} // namespace

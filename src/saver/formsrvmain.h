#pragma once

// TFormSvrMain, the full-screen form of the running saver. It owns the saver's own cache
// index, control-file model and the layout version chosen at start, and the screen
// builder that turns them into widgets on its client area. It is the saver's end of the
// inter-program protocol: a window on the message bus that announces itself, asks the
// control program for synchronisations, hands it the links the user clicks and reacts to
// its broadcasts through five timers (each handler only starts one; the work runs in the
// tick). It turns keys, button and item clicks into commands, ends the program on Esc,
// the quit button or message, a link without Shift, a reload without control file and
// the system's query whether it may suspend, and on the way out picks the provider for
// the next run.
//
// Life cycle: the constructor sets up the protocol and chooses the models; a missing
// piece shows the installation error box with its step number and leaves the form
// StartFailed (nothing else is done, the screen is never built). FormCreate builds the
// screen; showing the form (FormShow) marks the saver as running; EndProgram closes it
// (FormClose) and ends the loop; the destructor runs FormDestroy (screen freed, next
// provider stored, also after a failed start) and frees the rest.
//
// Owns its client area (a platform::ControlHost, Qt child), the LayoutControl, the five
// timers, the models, its bus window and the reload's worker. Threads: the GUI thread
// only; the message bus delivers on it. A reload's reading (index, control file,
// subscriptions, feeds, thumbnails) runs on the worker (ReloadWorker); the GUI thread
// only swaps its result in (ApplyReload), never while the subscription dialog is open.

#include "common/cache.h"
#include "common/controlfile.h"
#include "common/layoutfile.h"
#include "platform/bus.h"
#include "platform/namedlock.h"
#include "platform/ui/timer.h"
#include "saver/reloadworker.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class IpcEndpoint;
class LayoutControl;
class TFormConfig;

namespace platform {
class ControlHost;
class DialPromptBinding;
class SessionEndWatcher;
} // namespace platform

class TFormSvrMain : public QWidget {
public:
    // The start-up step numbers of the installation error box.
    static constexpr int kStepCacheIndex = -1;
    static constexpr int kStepControlFile = 1;
    static constexpr int kStepProvider = 0;
    static constexpr int kStepLayoutVersions = 3;
    static constexpr int kStepLayoutEntry = 2;
    static constexpr int kStepConfigWithoutControlFile = 4;

    // The timers' intervals.
    static constexpr int kReloadMs = 1000;
    static constexpr int kReloadAndSyncMs = 200;
    static constexpr int kSettingsMs = 200;
    static constexpr int kCancelReloadMs = 1000;
    static constexpr int kDialMs = 1000;

    // The keys the form acts on (virtual-key codes).
    static constexpr int VK_SPACE = 0x20;
    static constexpr int VK_ESCAPE = 0x1B;
    static constexpr int VK_LEFT = 0x25;
    static constexpr int VK_RIGHT = 0x27;
    static constexpr int VK_F5 = 0x74;

    // The system's power broadcast and the two events it answers.
    static constexpr std::uint32_t WM_POWERBROADCAST = 0x218;
    static constexpr std::int64_t PBT_APMQUERYSUSPEND = 0;
    static constexpr std::int64_t PBT_APMSUSPEND = 4;

    static constexpr const char* kCaption = "Tolvar";
    static constexpr const char* kLogControlFileMissing =
        "Tolvar: Terminating while control file missing.";

    // The constructor's steps; see StartFailed.
    TFormSvrMain();
    ~TFormSvrMain() override;
    TFormSvrMain(const TFormSvrMain&) = delete;
    TFormSvrMain& operator=(const TFormSvrMain&) = delete;

    // Constructor and FormCreate: the form ready to be shown, or nullptr after the error
    // box of a failed start-up step (the program then ends without a loop). The screen is
    // built for the primary screen's size, or for screenSize when one is given (the window
    // of a screen-saver host).
    static std::unique_ptr<TFormSvrMain> Create(QSize screenSize = {});

    // A start-up step failed: its box has been shown and nothing after it was done.
    bool StartFailed() const { return startFailed_; }

    // Life cycle handlers, as the form's design binds them.
    void FormCreate();
    void FormShow();
    void FormClose();
    void FormDestroy();
    // The key table, on release; key is a virtual-key code.
    void FormKeyUp(int key);

    // The screen builder's callbacks.
    void OnButtonClick(const std::string& id, const std::string& context, const std::string& link);
    void OnMessageWindowClick(const std::string& link);
    void OnTickerClick(const std::string& link);
    void PlayStateChanged(bool paused);

    // Commands.
    void OpenLink(const std::string& url);
    void ShowConfig();

    // The bus window's own messages (the protocol's go to its handlers first): the power
    // broadcast; the rest is not ours.
    std::int64_t WndProc(const platform::Message& message);
    // A power broadcast, never passed on: the query whether the system may suspend ends
    // the program (after the dispatch, as a posted quit would) and is answered 1, as is
    // the suspend itself; other events are consumed and answered 0.
    std::int64_t HandlePowerBroadcast(const platform::Message& message);

    // The protocol handlers.
    void IpcSettingsChanged();
    void IpcReloadAndSync();
    void IpcContentChanged();
    void IpcCancelReload();
    void IpcOnlineChanged(bool online);
    void IpcSyncActiveChanged(bool syncing);
    void IpcDialRequest();
    void IpcQuit();

    // The timers' ticks.
    void ReloadTimerTimer();
    void ReloadAndSyncTimerTimer();
    void SettingsTimerTimer();
    void CancelReloadTimerTimer();
    void DialTimerTimer();

    // Ends the program: the window closes (FormClose) and the loop is told to end.
    void EndProgram();

    // The state, for the program and its tests.
    bool Ready() const { return ready_; }
    bool SyncActive() const { return syncActive_; }
    bool Online() const { return online_; }
    bool Playing() const { return playing_; }
    bool Configuring() const { return configuring_; }
    bool TickerDrawOnScreenDC() const { return tickerDrawOnScreenDC_; }
    // Set while the saver's screen is shown: from FormShow to the end of the program.
    // Meanwhile the saver holds the running mark (platform::kSaverRunningLockName).
    bool ScreenSaverRunning() const { return screenSaverRunning_; }
    bool Ended() const { return ended_; }
    // How many reloads replaced the models.
    int Reloads() const { return reloads_; }
    // A reload's reading runs or waits on the worker thread.
    bool ReloadBusy() const;
    // The worker that reads the reloads (its read-start hook is for tests).
    ReloadWorker& Reloader() { return *reloader_; }
    CC* Cache() const { return cache_.get(); }
    CF* ControlFile() const { return controlFile_.get(); }
    const LF& Layout() const { return *layout_; }
    LayoutControl* Screen() const { return screen_.get(); }
    platform::ControlHost* Host() const { return host_; }
    // The form's window on the bus; 0 when none could be made.
    platform::WindowHandle Window() const;

    platform::Timer ReloadTimer;
    platform::Timer ReloadAndSyncTimer;
    platform::Timer SettingsTimer;
    platform::Timer CancelReloadTimer;
    platform::Timer DialTimer;

    // Hooks with the real behaviour as default; tests replace them.
    // Ends the application's loop.
    std::function<void()> OnTerminate;
    // Whether Shift is held down at this moment.
    std::function<bool()> ShiftHeld;
    // Shows the subscription dialog modally.
    std::function<void(TFormConfig& dialog)> RunConfigDialog;

    // The installation error box's text for a step number.
    static std::string ErrorText(int step);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Each gives false after the error box of its step.
    bool SetUpMessages();
    // The cache index, the control file and the subscriptions.
    bool LoadModels();
    bool ChooseLayout();
    void SetUpTimers();
    // The reload's steps 4 to 7 (nothing pending): the reading is handed to the worker,
    // and the result is swapped in by ApplyReload; false when none was started (the form
    // ended or never started). thenSync: ask for a synchronisation once it is applied.
    bool Reload(bool thenSync);
    // On the GUI thread, with a finished read: the reload's effects, in its order.
    void ApplyReload(ReloadWorker::Result result, bool thenSync);
    // Re-reads and applies message interval, ticker speed and drawing mode.
    void ApplyViewSettings();
    void Fail(int step);
    void SetScreenSaverRunning(bool running);

    bool ready_ = false;
    bool syncActive_ = false;
    bool online_ = false;
    bool playing_ = false;
    std::unique_ptr<CF> controlFile_;
    std::unique_ptr<CC> cache_;
    std::unique_ptr<LF> layout_;
    std::unique_ptr<LayoutControl> screen_;
    bool configuring_ = false;
    bool tickerDrawOnScreenDC_ = false;

    bool startFailed_ = false;
    bool screenSaverRunning_ = false;
    // Held while the screen is shown: tells other programs that a screen saver runs.
    std::optional<platform::NamedLock> runningMark_;
    QSize screenSize_;
    bool ended_ = false;
    bool destroyed_ = false;
    // The control file in use was read whole.
    bool controlFileComplete_ = false;
    std::string layoutKey_;
    int reloads_ = 0;
    // Reads the reloads off the GUI thread; made first and destroyed first.
    std::unique_ptr<ReloadWorker> reloader_;
    // A reload finished while the subscription dialog was open: it runs again once the
    // dialog has closed (and then asks for a sync when it was to).
    bool reloadAfterConfig_ = false;
    bool reloadAfterConfigSync_ = false;
    // Keys pressed while this form had the keyboard: only their release counts. The
    // release of an Esc that closed a box over the saver must not end the saver too.
    std::set<int> pressed_;
    platform::ControlHost* host_ = nullptr;
    std::unique_ptr<IpcEndpoint> endpoint_;
    std::unique_ptr<platform::DialPromptBinding> dialPrompt_;
    // The session's end (a SIGTERM or SIGHUP, the desktop's request) stands for the
    // system's query whether it may suspend; none when another watcher exists.
    std::unique_ptr<platform::SessionEndWatcher> sessionEnd_;
};

// The provider a run shows: the current one when it is listed, else a random listed one,
// stored as the new current provider; its layout folder (empty without any provider).
// Throws what reading the provider list throws.
std::string ChooseRunProvider();
// A random listed provider stored as the current one (the next run's); nothing without
// any.
void ChooseNextProvider();

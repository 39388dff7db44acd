#pragma once

// TFormMain: the main form of the resident control program and the owner of everything
// it does on its main thread: the splash window, the tray icon with its menu and faces,
// the seven timers, the fetch thread, the program's window on the message bus with the
// nine protocol handlers, the connection decision and the synchronisation triggers.
//
// The connection decision (StartSync, its rule in DecideConnection of
// connectiondecision.h) ends by announcing connection-ready or
// no-connection, or by asking the running screen saver to dial, which answers with one
// of the two; the program receives its own announcements and starts (RunFetch) or ends
// (FetchFinished) the cycle in their handlers. A cycle is never started twice: a
// trigger while one is pending or running is dropped.
//
// TLaunchThread opens one URL or file through the shell's opener on a thread of its own.
//
// Owns: the tray icon, menu, timers, fetch thread, splash picture and launch threads
// (the destructor stops the fetch thread at its next check point and joins every
// thread); borrows the debug form, which must outlive it. Threads: main (GUI) thread
// only, except the launch threads.

#include "control/connectiondecision.h"
#include "control/fetchthread.h"
#include "control/tnaicon.h"
#include "platform/bus.h"
#include "platform/shell.h"
#include "platform/ui/timer.h"

#include <QImage>
#include <QWidget>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class AXImage;
class CC;
class IpcEndpoint;
struct LFTNAIcon;
class QAction;
class QMenu;
class TFormDebug;
namespace platform {
class ControlHost;
class DialPromptBinding;
} // namespace platform

// The log line of a link or file the opener did not open; empty when it was opened (or
// is being opened).
std::string LaunchFailureLine(const std::string& text, platform::ShellOpenResult result);

class TLaunchThread {
public:
    using Opener = std::function<void(const std::string&)>;
    using LogSink = std::function<void(const std::string&)>;

    // Starts the thread that opens text without the blanks at its ends. A link the
    // shell's opener refuses, or an opener that cannot be started, is one line to log
    // (called on the launch thread; may be empty).
    explicit TLaunchThread(std::string text, LogSink log = {});
    // Joins the thread (the opener waits a bounded time).
    ~TLaunchThread();
    TLaunchThread(const TLaunchThread&) = delete;
    TLaunchThread& operator=(const TLaunchThread&) = delete;

    const std::string& Text() const { return text_; }
    bool Finished() const { return finished_.load(); }

    // Replaces what opens a (trimmed) text for the whole process (tests); an empty
    // function restores the shell's opener. Called on the launch threads.
    static void SetOpener(Opener opener);

private:
    void Execute();

    std::string text_;
    LogSink log_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// What the form needs from the program's start.
struct MainFormOptions {
    // The program's arguments without the program name.
    std::vector<std::string> args;
    // The program's full path; empty: this executable.
    std::string programPath;
};

class TFormMain : public QWidget {
public:
    static constexpr const char* kCaption = "Brimwald Tolvar";
    static constexpr int kDesignWidth = 105;
    static constexpr int kDesignHeight = 212;
    static constexpr const char* kDefaultTip = "Bildschirmschoner-Verwaltung";
    static constexpr const char* kSyncBoxCaption = "Tolvar - Synchronisation";
    static constexpr const char* kNoConnectionQuestion =
        "Windows ist momentan der Überzeugung, auf diesem Computer seien weder Modem- noch\n"
        "Netzwerkverbindungen eingerichtet.\n"
        "Üblicherweise wird eine LAN-Verbindung dennoch funktionieren, falls vorhanden.\n\n"
        "Möchten Sie die Synchronisation auf diesem Wege versuchen?";
    static constexpr const char* kNoTrayHostLine =
        "ShowTNAIcon is on, but this session has no notification area: no tray icon is shown.";
    // How long the decision waits for the screen saver's answer to a dial request.
    static constexpr int kSaverAnswerWatchMs = 1000;
    static constexpr int kSaverAnswerTimeoutMs = 5 * 60 * 1000;
    // The longest the end waits for a stopping fetch thread while delivering its sends.
    static constexpr std::chrono::milliseconds kFetchStopWait{2000};

    TFormMain(TFormDebug& debug, MainFormOptions options);
    ~TFormMain() override;
    TFormMain(const TFormMain&) = delete;
    TFormMain& operator=(const TFormMain&) = delete;

    // Published handlers.
    void FormShow();
    void FormHide();
    void MI_OpenScreenSaverClick();
    void MI_ConfigureClick();
    void MI_SyncClick();
    void MI_ManualClick();
    void MI_DebugwindowClick();
    void MI_CloseClick();
    void BtnSyncClick();

    // Member operations.
    void OpenScreenSaver();
    bool OpenSaverConfig();
    std::string ExchangeScreenSaver(const std::string& path);
    void InstallSaverFile();
    bool IsScreenSaverRunning() const;
    void OnTrayMessage(platform::TrayMouse mouse);
    void OnIpcPoll();

    // The protocol handlers.
    void OnHello();
    void OnSyncRequest();
    void OnDataUrl(const std::string& url);
    void OnDataLog(const std::string& line);
    void OnQuit();
    void OnSyncNow();
    void OnConnectionReady(std::int32_t connectionId);
    void OnNoConnection();
    void OnSettingsChanged();

    // The connection decision and the cycle.
    void StartSync();
    void RunFetch();
    void FetchFinished();
    void SetLANInterval(int ms);
    void SetDUNInterval(int ms);

    // Timer handlers (each timer calls its own; tests call them too).
    void OnIdleTimer();
    void OnTransferTimer();
    void OnSplashTimer();
    void OnLANIntervalTimer();
    void OnDUNIntervalTimer();
    void OnSyncTimer();
    void OnSaverAnswerWatch();

    // The session ends (end-of-session query, SIGTERM): the cycle is stopped at its next
    // check point and the program ends through its ordinary path.
    void EndSession();
    // Ends the application (the loop returns); nothing new starts afterwards.
    void Terminate();
    bool Terminating() const { return terminating_; }

    // The OK/Cancel question with German buttons over parent (true for OK): the default of
    // AskOkCancel.
    static bool AskOkCancelBox(QWidget* parent, const std::string& caption,
                               const std::string& text);

    // Replaceable for tests. AskOkCancel shows the OK/Cancel question (true for OK);
    // OnTerminate ends the event loop.
    std::function<bool(const std::string& caption, const std::string& text)> AskOkCancel;
    std::function<void()> OnTerminate;

    // State, read by tests.
    bool Pending() const { return pending_; }
    bool Dialled() const { return dialled_; }
    bool NewMessages() const { return newMessages_; }
    bool MandatoryNews() const { return mandatoryNews_; }
    bool UseLayoutFaces() const { return useLayoutFaces_; }
    bool BlinkPhase() const { return blinkPhase_; }
    bool TransferSubPhase() const { return transferSubPhase_; }
    bool FaceLoaded(int slot) const { return faceLoaded_[slot]; }
    const QImage& FacePicture(int slot) const { return faces_[slot]; }
    const QImage& ResourcePicture(ResourceIcon icon) const;
    bool HasSplash() const { return splash_ != nullptr; }
    int LANInterval() const { return lanInterval_; }
    int DUNInterval() const { return dunInterval_; }
    // The program's window on the bus; 0 when none could be made.
    platform::WindowHandle Window() const;
    TNAIcon& Tray() { return *tray_; }
    TFetchThread& FetchThread() { return *fetch_; }
    TFormDebug& Debug() { return debug_; }

    QMenu* PopupTNA = nullptr;
    QAction* MI_OpenScreenSaver = nullptr;
    QAction* MI_Configure = nullptr;
    QAction* MI_Sync = nullptr;
    QAction* MI_Manual = nullptr;
    QAction* MI_Debugwindow = nullptr;
    QAction* MI_Close = nullptr;

    platform::Timer SyncTimer;
    platform::Timer IpcPollTimer;
    platform::Timer IdleTimer;
    platform::Timer TransferTimer;
    platform::Timer SplashTimer;
    platform::Timer LANIntervalTimer;
    platform::Timer DUNIntervalTimer;
    platform::Timer SaverAnswerTimer;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Log(const std::string& line);
    void BuildMenu();
    void ReadSettings();
    void ChooseProvider();
    void LoadCachedState();
    void LoadSplash(const std::string& path);
    void LoadFaces(const LFTNAIcon* icon, const CC& cache);
    void ShowChoice(const TrayChoice& choice);
    TrayState CurrentTrayState() const;
    void Launch(const std::string& text);
    void StopWaitingForSaver();
    // The connection decision's inputs as they stand, and its notes carried out.
    ConnectionSettings CurrentConnectionSettings() const;
    ConnectionFacts ReadConnectionFacts() const;
    void RunNotes(const ConnectionDecision& decision);

    TFormDebug& debug_;
    MainFormOptions options_;
    std::unique_ptr<IpcEndpoint> endpoint_;
    std::unique_ptr<platform::DialPromptBinding> dialPrompt_;
    std::unique_ptr<TNAIcon> tray_;
    std::unique_ptr<TFetchThread> fetch_;
    platform::ControlHost* host_ = nullptr;
    std::unique_ptr<AXImage> splash_;

    bool pending_ = false;
    bool dialled_ = false;
    // This cycle made a connection of its own (our dial or the saver's): hung up at its end.
    bool ownConnection_ = false;
    bool terminating_ = false;
    int saverWaitMs_ = 0;

    bool actLANSys_ = false;
    bool actDUNSys_ = false;
    bool useDUN_ = false;
    bool actLANAlwaysOn_ = false;
    bool actDUNAskOnlyIfSSActive_ = false;
    int actDUNMsgBox_ = 0;
    int lanInterval_ = 0;
    int dunInterval_ = 0;
    bool showTNAIcon_ = false;
    bool showDebug_ = false;
    bool hideQuit_ = false;
    bool sysAutoregisterSaver_ = false;

    std::string currentProvider_;
    std::vector<std::string> providerNames_;
    std::vector<std::string> providerValues_;

    std::array<QImage, 5> resources_;
    std::array<QImage, 12> faces_;
    std::array<bool, 12> faceLoaded_{};
    bool useLayoutFaces_ = false;
    bool newMessages_ = false;
    bool mandatoryNews_ = false;
    bool blinkPhase_ = false;
    bool transferSubPhase_ = false;

    std::vector<std::unique_ptr<TLaunchThread>> launches_;
};

// The interval of a timer from a setting in minutes: 0 for none or a negative count,
// at most the longest a timer can count.
int MinutesToInterval(int minutes);

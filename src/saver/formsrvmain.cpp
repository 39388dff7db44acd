#include "saver/formsrvmain.h"

#include "common/cachedmodels.h"
#include "common/directories.h"
#include "common/internetconnection.h"
#include "common/ipcendpoint.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/fileio.h"
#include "platform/network.h"
#include "platform/screensaver.h"
#include "platform/ui/control.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/session.h"
#include "saver/cachereadlayout.h"
#include "saver/configform.h"
#include "saver/layoutcontrol.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPalette>
#include <QScreen>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <random>

namespace {

// A layout load whose failure is ignored: the model keeps what was read.
void LoadLayout(LF& layout, const CC& cache, const CCObject& entry) {
    if (const auto path = cache.PathOf(entry)) {
        try {
            layout.Load(*path);
        } catch (const std::exception&) {
            // The entries read before the value error stay.
        }
    }
}

std::size_t RandomIndex(std::size_t count) {
    std::mt19937 generator(static_cast<std::mt19937::result_type>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(generator);
}

std::string ValueAt(const std::vector<std::string>& values, std::size_t index) {
    return index < values.size() ? values[index] : std::string();
}

int VirtualKey(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Space:
        return TFormSvrMain::VK_SPACE;
    case Qt::Key_Escape:
        return TFormSvrMain::VK_ESCAPE;
    case Qt::Key_Left:
        return TFormSvrMain::VK_LEFT;
    case Qt::Key_Right:
        return TFormSvrMain::VK_RIGHT;
    case Qt::Key_F5:
        return TFormSvrMain::VK_F5;
    default:
        return 0;
    }
}

} // namespace

std::string ChooseRunProvider() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    const std::string current = settings.GetCurrentProvider();
    const std::vector<std::string> names = settings.GetProviderNames();
    const std::vector<std::string> values = settings.GetProviderValues();
    if (!current.empty()) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == current) {
                return ValueAt(values, i);
            }
        }
    }
    // Without any provider there is nothing to pick from: the value stays empty.
    if (names.empty()) {
        return {};
    }
    const std::size_t index = RandomIndex(names.size());
    settings.SetCurrentProvider(names[index]);
    return ValueAt(values, index);
}

void ChooseNextProvider() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    const std::vector<std::string> names = settings.GetProviderNames();
    if (!names.empty()) {
        settings.SetCurrentProvider(names[RandomIndex(names.size())]);
    }
}

std::string TFormSvrMain::ErrorText(int step) {
    return TFormConfig::ErrorText(step);
}

// ---- construction ----

TFormSvrMain::TFormSvrMain()
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setWindowTitle(QString::fromUtf8(kCaption));
    setFocusPolicy(Qt::StrongFocus);
    host_ = new platform::ControlHost(this);
    const QColor face = QApplication::palette().color(QPalette::Button);
    host_->SetBackgroundColor(platform::Rgb(static_cast<std::uint8_t>(face.red()),
                                            static_cast<std::uint8_t>(face.green()),
                                            static_cast<std::uint8_t>(face.blue())));

    OnTerminate = [] { QCoreApplication::exit(0); };
    ShiftHeld = [] { return (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier) != 0; };
    RunConfigDialog = [](TFormConfig& dialog) { dialog.ShowModal(); };

    reloader_ = std::make_unique<ReloadWorker>([this](ReloadWorker::Result result, bool thenSync) {
        ApplyReload(std::move(result), thenSync);
    });

    // The timers exist (disabled) whatever happens below, so the handlers never meet a
    // half-made form.
    SetUpTimers();

    // 1. The flags are cleared by their initialisers.
    if (!SetUpMessages() || !LoadModels()) {
        return;
    }
    std::string provider;
    try {
        provider = ChooseRunProvider();
    } catch (const std::exception&) {
        Fail(kStepProvider);
        return;
    }
    layoutKey_ = GetBaseLayoutKey(provider);
    if (!ChooseLayout()) {
        return;
    }
}

std::unique_ptr<TFormSvrMain> TFormSvrMain::Create(QSize screenSize) {
    auto form = std::make_unique<TFormSvrMain>();
    if (form->StartFailed()) {
        return nullptr;
    }
    form->screenSize_ = screenSize;
    form->FormCreate();
    return form;
}

bool TFormSvrMain::SetUpMessages() {
    endpoint_ = std::make_unique<IpcEndpoint>(
        IpcEndpoint::Role::Saver, IpcEndpoint::Queue::Drop, kCaption,
        [this](const platform::Message& message) { return WndProc(message); });
    IpcHandlerSlots handlers;
    handlers.OnSettingsChanged = [this] { IpcSettingsChanged(); };
    handlers.OnReloadAndSync = [this] { IpcReloadAndSync(); };
    handlers.OnContentChanged = [this] { IpcContentChanged(); };
    handlers.OnCancelReload = [this] { IpcCancelReload(); };
    handlers.OnStatusOnline = [this](bool online) { IpcOnlineChanged(online); };
    handlers.OnStatusSyncing = [this](bool syncing) { IpcSyncActiveChanged(syncing); };
    handlers.OnDialRequest = [this] { IpcDialRequest(); };
    handlers.OnQuit = [this] { IpcQuit(); };
    endpoint_->Bind(std::move(handlers));
    IpcKeepAlive();

    // The control program's dial request makes the saver dial visibly: it asks first,
    // over the saver's screen.
    dialPrompt_ = std::make_unique<platform::DialPromptBinding>(this);
    return true;
}

platform::WindowHandle TFormSvrMain::Window() const {
    return endpoint_ ? endpoint_->Window() : 0;
}

bool TFormSvrMain::LoadModels() {
    CachedModels models = LoadCachedModels(GetCacheDir(), GetSubscriptionsPath());
    cache_ = std::move(models.cache);
    switch (models.failed) {
    case CachedModelsStep::IndexMissing:
    case CachedModelsStep::IndexUnreadable:
        // An index that is there but cannot be read is as good as a missing one.
        Fail(kStepCacheIndex);
        return false;
    case CachedModelsStep::ControlFileMissing:
        controlFile_ = std::move(models.controlFile);
        Fail(kStepControlFile);
        return false;
    case CachedModelsStep::SubscriptionsUnreadable:
        // An unreadable subscriptions file leaves the flags as the control file gave them.
    case CachedModelsStep::Done:
        break;
    }
    controlFile_ = std::move(models.controlFile);
    controlFileComplete_ = models.ControlFileComplete();
    return true;
}

bool TFormSvrMain::ChooseLayout() {
    const auto serials = cache_->ListSerials(layoutKey_);
    if (!serials || serials->empty()) {
        Fail(kStepLayoutVersions);
        return false;
    }
    const auto entryOf = [this](const std::string& serial) {
        return serial.empty() ? cache_->FindLatest(layoutKey_) : cache_->Find(layoutKey_, serial);
    };

    CacheReadLayout reader;
    reader.cache = cache_.get();
    std::optional<std::string> complete;
    std::optional<std::string> halfComplete;
    for (auto it = serials->rbegin(); it != serials->rend(); ++it) {
        LF candidate;
        if (const CCObject* entry = entryOf(*it)) {
            LoadLayout(candidate, *cache_, *entry);
        }
        reader.layout = &candidate;
        if (reader.IsHalfComplete()) {
            halfComplete = *it; // walking down, so the oldest one is kept
        }
        if (reader.IsComplete()) {
            complete = *it;
            break;
        }
    }

    const CCObject* chosen = complete       ? entryOf(*complete)
                             : halfComplete ? entryOf(*halfComplete)
                                            : cache_->FindLatest(layoutKey_);
    if (chosen == nullptr) {
        Fail(kStepLayoutEntry);
        return false;
    }
    layout_ = std::make_unique<LF>();
    LoadLayout(*layout_, *cache_, *chosen);
    return true;
}

void TFormSvrMain::SetUpTimers() {
    const auto setUp = [this](platform::Timer& timer, int interval, void (TFormSvrMain::*tick)()) {
        timer.SetEnabled(false);
        timer.SetInterval(interval);
        timer.OnTimer = [this, tick] { (this->*tick)(); };
    };
    setUp(ReloadTimer, kReloadMs, &TFormSvrMain::ReloadTimerTimer);
    setUp(ReloadAndSyncTimer, kReloadAndSyncMs, &TFormSvrMain::ReloadAndSyncTimerTimer);
    setUp(SettingsTimer, kSettingsMs, &TFormSvrMain::SettingsTimerTimer);
    setUp(CancelReloadTimer, kCancelReloadMs, &TFormSvrMain::CancelReloadTimerTimer);
    setUp(DialTimer, kDialMs, &TFormSvrMain::DialTimerTimer);
}

void TFormSvrMain::Fail(int step) {
    startFailed_ = true;
    platform::ShowMessageBox({kCaption, ErrorText(step), platform::MessageBoxIcon::Stop});
}

// ---- life cycle ----

void TFormSvrMain::FormCreate() {
    if (startFailed_ || screen_) {
        return;
    }
    QRect area(0, 0, 1024, 768);
    if (!screenSize_.isEmpty()) {
        area = QRect(QPoint(0, 0), screenSize_);
    } else if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        area = primary->geometry();
    }
    setGeometry(area);
    host_->setGeometry(0, 0, area.width(), area.height());
    // Boxes and dialogs from now on open over the covering screen.
    platform::SetDialogOwner(this);

    screen_ = std::make_unique<LayoutControl>(host_);
    screen_->cache = cache_.get();
    screen_->area = {0, 0, area.width(), area.height()};
    screen_->OnButtonClick = [this](const std::string& id, const std::string& context,
                                    const std::string& link) { OnButtonClick(id, context, link); };
    screen_->OnMessagewindowClick = [this](const std::string& link) { OnMessageWindowClick(link); };
    screen_->OnTickerClick = [this](const std::string& link) { OnTickerClick(link); };
    screen_->OnPlayState = [this](bool paused) { PlayStateChanged(paused); };

    screen_->BuildScreen(*layout_, area.width(), "default", area.height());
    screen_->LoadChannels(controlFile_.get());
    screen_->SetTickerDrawOnScreenDC(false);

    // Hints are on in Qt as long as nothing switches tool tips off.
    playing_ = true;
    ready_ = true;

    try {
        sessionEnd_ = std::make_unique<platform::SessionEndWatcher>();
        sessionEnd_->OnSessionEnd = [this] {
            HandlePowerBroadcast(platform::Message(WM_POWERBROADCAST, PBT_APMQUERYSUSPEND));
        };
    } catch (const std::exception&) {
        // Another watcher in this process: the session's end is not ours to hear.
    }

    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    const bool actLAN = settings.GetActLANTolvar();
    const bool actDUN = settings.GetActDUNTolvar();
    const bool useDUN = settings.GetUseDUN();
    const int messageInterval = settings.GetMessageInterval();
    const int tickerSpeed = settings.GetTickerSpeed();
    const std::string baseapp = settings.GetBaseappPath();
    tickerDrawOnScreenDC_ = settings.GetTickerDrawOnScreenDC();
    if (settings.GetSysAutostartBaseapp()) {
        settings.RegisterBaseappAutostart(baseapp);
    }

    if ((IsLanConnection() && actLAN) || (IsRasInstalled() && actDUN && useDUN)) {
        IpcRequestSync();
    }

    screen_->SetMessageInterval(messageInterval);
    screen_->SetTickerSpeed(tickerSpeed);
    screen_->SetTickerDrawOnScreenDC(tickerDrawOnScreenDC_);
}

void TFormSvrMain::FormShow() {
    SetScreenSaverRunning(true);
}

void TFormSvrMain::changeEvent(QEvent* event) {
    // Keys pressed before a box took the keyboard are released there, not here.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow()) {
        pressed_.clear();
    }
    QWidget::changeEvent(event);
}

void TFormSvrMain::FormClose() {
    SetScreenSaverRunning(false);
}

void TFormSvrMain::FormDestroy() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    if (screen_) {
        screen_->SetSuspended(true);
        screen_.reset();
    }
    // The next run shows a provider picked afresh, whatever this one showed.
    try {
        ChooseNextProvider();
    } catch (const std::exception&) {
        // An unreadable provider list: the current provider stays.
    }
}

TFormSvrMain::~TFormSvrMain() {
    // A read in progress stops at its next look and its result is dropped.
    reloader_.reset();
    if (platform::DialogOwner() == this) {
        platform::SetDialogOwner(nullptr);
    }
    sessionEnd_.reset();
    FormDestroy();
    SetScreenSaverRunning(false);
    for (platform::Timer* timer :
         {&ReloadTimer, &ReloadAndSyncTimer, &SettingsTimer, &CancelReloadTimer, &DialTimer}) {
        timer->SetEnabled(false);
        timer->OnTimer = nullptr;
    }
    dialPrompt_.reset();
    endpoint_.reset();
    layout_.reset();
    controlFile_.reset();
    cache_.reset();
}

void TFormSvrMain::SetScreenSaverRunning(bool running) {
    screenSaverRunning_ = running;
    if (!running) {
        runningMark_.reset();
        return;
    }
    if (runningMark_) {
        return;
    }
    try {
        runningMark_ = platform::NamedLock::TryAcquire(platform::kSaverRunningLockName);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Tolvar: cannot mark the screen saver as running: %s\n", e.what());
    }
}

void TFormSvrMain::EndProgram() {
    if (ended_) {
        return;
    }
    ended_ = true;
    FormClose();
    close();
    if (OnTerminate) {
        OnTerminate();
    }
}

void TFormSvrMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

void TFormSvrMain::closeEvent(QCloseEvent* event) {
    event->accept();
    FormClose();
    EndProgram();
}

void TFormSvrMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    host_->setGeometry(rect());
}

void TFormSvrMain::keyPressEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat()) {
        pressed_.insert(event->key());
    }
    QWidget::keyPressEvent(event);
}

void TFormSvrMain::keyReleaseEvent(QKeyEvent* event) {
    // Held keys repeat as press and release pairs; only the real release counts.
    if (event->isAutoRepeat()) {
        return;
    }
    // A release without its press here: the press went to a box or dialog that has
    // closed on it (or was made before the saver came up).
    if (pressed_.erase(event->key()) == 0) {
        return;
    }
    const int key = VirtualKey(event->key());
    if (key == 0) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    FormKeyUp(key);
}

// ---- keys and clicks ----

void TFormSvrMain::FormKeyUp(int key) {
    if (!ready_) {
        return;
    }
    switch (key) {
    case VK_F5:
        if (!syncActive_) {
            OnButtonClick("#sync", "default", "");
        }
        break;
    case VK_ESCAPE:
        EndProgram();
        break;
    case VK_LEFT:
        screen_->Rewind();
        break;
    case VK_RIGHT:
        screen_->Forward();
        break;
    case VK_SPACE:
        OnButtonClick("#play", playing_ ? "playing" : "default", "");
        break;
    default:
        break;
    }
}

void TFormSvrMain::OnButtonClick(const std::string& id, const std::string& context,
                                 const std::string& link) {
    if (id == "#quit") {
        EndProgram();
    } else if (id == "#config") {
        ShowConfig();
    } else if (id == "#sync") {
        if (context == "default") {
            IpcRequestSync();
        }
    } else if (id == "#online") {
        // Shows the state only.
    } else if (id == "#play") {
        if (!screen_) {
            return;
        }
        if (context == "default") {
            screen_->Play();
        } else {
            screen_->Pause();
        }
    } else if (id == "#forward") {
        if (screen_) {
            screen_->Forward();
        }
    } else if (id == "#rewind") {
        if (screen_) {
            screen_->Rewind();
        }
    } else if (!link.empty()) {
        OpenLink(link);
    }
}

void TFormSvrMain::OnMessageWindowClick(const std::string& link) {
    if (!link.empty()) {
        OpenLink(link);
    }
}

void TFormSvrMain::OnTickerClick(const std::string& link) {
    if (!link.empty()) {
        OpenLink(link);
    }
}

void TFormSvrMain::PlayStateChanged(bool paused) {
    if (!ready_ || paused == !playing_) {
        return;
    }
    playing_ = !paused;
    screen_->SetButtonContext("#play", paused ? "default" : "playing");
}

void TFormSvrMain::OpenLink(const std::string& url) {
    const bool shift = ShiftHeld && ShiftHeld();
    IpcSendURL(url);
    if (!shift) {
        EndProgram();
    }
}

void TFormSvrMain::ShowConfig() {
    if (!controlFile_) {
        platform::ShowMessageBox(
            {kCaption, ErrorText(kStepConfigWithoutControlFile), platform::MessageBoxIcon::Stop});
        return;
    }
    if (screen_) {
        screen_->SetTickerDrawOnScreenDC(false);
    }
    configuring_ = true;
    {
        TFormConfig dialog(this, cache_.get(), controlFile_.get());
        dialog.BuildTopicPages();
        if (RunConfigDialog) {
            RunConfigDialog(dialog);
        }
    }
    if (screen_) {
        screen_->SetTickerDrawOnScreenDC(tickerDrawOnScreenDC_);
    }
    configuring_ = false;
    if (reloadAfterConfig_) {
        const bool thenSync = reloadAfterConfigSync_;
        reloadAfterConfig_ = false;
        reloadAfterConfigSync_ = false;
        if (!Reload(thenSync) && thenSync && !ended_) {
            IpcRequestSync();
        }
    }
}

// ---- the protocol ----

std::int64_t TFormSvrMain::WndProc(const platform::Message& message) {
    if (message.number == WM_POWERBROADCAST) {
        return HandlePowerBroadcast(message);
    }
    return 0;
}

std::int64_t TFormSvrMain::HandlePowerBroadcast(const platform::Message& message) {
    switch (message.first) {
    case PBT_APMQUERYSUSPEND:
        // Ended from the loop, not inside the sender's dispatch.
        QMetaObject::invokeMethod(
            this, [this] { EndProgram(); }, Qt::QueuedConnection);
        return 1;
    case PBT_APMSUSPEND:
        return 1;
    default:
        return 0;
    }
}

void TFormSvrMain::IpcSettingsChanged() {
    SettingsTimer.SetEnabled(true);
}

void TFormSvrMain::IpcReloadAndSync() {
    ReloadAndSyncTimer.SetEnabled(true);
}

void TFormSvrMain::IpcContentChanged() {
    ReloadTimer.SetEnabled(true);
}

void TFormSvrMain::IpcCancelReload() {
    CancelReloadTimer.SetEnabled(true);
}

void TFormSvrMain::IpcDialRequest() {
    DialTimer.SetEnabled(true);
}

void TFormSvrMain::IpcQuit() {
    EndProgram();
}

void TFormSvrMain::IpcOnlineChanged(bool online) {
    if (!ready_ || online == online_) {
        return;
    }
    online_ = online;
    screen_->SetButtonContext("#online", online ? "online" : "default");
}

void TFormSvrMain::IpcSyncActiveChanged(bool syncing) {
    if (!ready_ || syncing == syncActive_) {
        return;
    }
    syncActive_ = syncing;
    screen_->SetButtonContext("#sync", syncing ? "active" : "default");
}

// ---- the timers ----

void TFormSvrMain::ReloadTimerTimer() {
    if (configuring_) {
        return; // retried every tick until the dialog has closed
    }
    if (ReloadAndSyncTimer.Enabled()) {
        ReloadTimer.SetEnabled(false);
        return;
    }
    ReloadTimer.SetEnabled(false);
    QCoreApplication::processEvents();
    Reload(false);
}

void TFormSvrMain::ReloadAndSyncTimerTimer() {
    if (configuring_) {
        return;
    }
    ReloadAndSyncTimer.SetEnabled(false);
    ReloadTimer.SetEnabled(false);
    QCoreApplication::processEvents();
    // A reload that runs asks for the sync once it has been applied.
    if (!Reload(true) && !ended_) {
        IpcRequestSync();
    }
}

bool TFormSvrMain::ReloadBusy() const {
    return reloader_ && (reloader_->Running() || reloader_->Pending());
}

bool TFormSvrMain::Reload(bool thenSync) {
    // Messages handled meanwhile may have ended the program or left it half made.
    if (ended_ || startFailed_) {
        return false;
    }
    // Parsing and decoding run on the worker: the GUI thread goes on presenting the
    // ticker's frames and only swaps the result in.
    ReloadWorker::Input input;
    input.cacheFolder = GetCacheDir();
    input.subscriptionsPath = GetSubscriptionsPath();
    input.loadThumbnails = screen_ ? screen_->loadThumbnails : true;
    reloader_->Request(std::move(input), thenSync);
    return true;
}

void TFormSvrMain::ApplyReload(ReloadWorker::Result result, bool thenSync) {
    if (ended_ || startFailed_ || destroyed_) {
        return;
    }
    if (configuring_) {
        // The dialog works on the models in use: they stay until it has closed, and the
        // reload then reads the cache as it stands.
        reloadAfterConfig_ = true;
        reloadAfterConfigSync_ = reloadAfterConfigSync_ || thenSync;
        return;
    }
    CachedModels& models = result.models;
    if (models.failed == CachedModelsStep::IndexMissing ||
        models.failed == CachedModelsStep::ControlFileMissing) {
        IpcSendLogText(kLogControlFileMissing);
        EndProgram();
        return;
    }
    // An index that is there but cannot be read now keeps what the screen shows, and the
    // next content change tries again. So does a control file read only in part: it would
    // drop channels from the screen, so the whole one in use stays until a readable one
    // arrives.
    const bool keep = models.failed == CachedModelsStep::IndexUnreadable ||
                      (!models.ControlFileComplete() && controlFileComplete_);
    if (!keep) {
        // An unreadable subscriptions file leaves the flags as the control file gave them.
        controlFileComplete_ = models.ControlFileComplete();
        controlFile_ = std::move(models.controlFile);
        cache_ = std::move(models.cache);
        ++reloads_;
        if (screen_) {
            screen_->cache = cache_.get();
            screen_->SetChannels(result.items);
        }
    }
    if (thenSync && !ended_) {
        IpcRequestSync();
    }
}

void TFormSvrMain::ApplyViewSettings() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    const int messageInterval = settings.GetMessageInterval();
    const int tickerSpeed = settings.GetTickerSpeed();
    tickerDrawOnScreenDC_ = settings.GetTickerDrawOnScreenDC();
    if (screen_) {
        screen_->SetTickerSpeed(tickerSpeed);
        screen_->SetMessageInterval(messageInterval);
        // While the subscription dialog is open the ticker stays off the screen; the
        // dialog's close applies the value read here.
        screen_->SetTickerDrawOnScreenDC(configuring_ ? false : tickerDrawOnScreenDC_);
    }
}

void TFormSvrMain::SettingsTimerTimer() {
    SettingsTimer.SetEnabled(false);
    ApplyViewSettings();
}

void TFormSvrMain::CancelReloadTimerTimer() {
    if (configuring_) {
        return;
    }
    CancelReloadTimer.SetEnabled(false);
    ReloadTimer.SetEnabled(false);
}

void TFormSvrMain::DialTimerTimer() {
    if (configuring_) {
        return;
    }
    DialTimer.SetEnabled(false);
    if (DialInternet(Window(), 2)) {
        IpcReportConnectionReady(GetConnectionId());
    } else {
        IpcReportNoConnection();
    }
}

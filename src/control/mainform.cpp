#include "control/mainform.h"

#include "common/cache.h"
#include "common/cachedmodels.h"
#include "common/controlfile.h"
#include "common/directories.h"
#include "common/internetconnection.h"
#include "common/ipcendpoint.h"
#include "common/layoutfile.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "control/cachemgr.h"
#include "control/connectiondecision.h"
#include "control/debugform.h"
#include "control/httpgetter.h"
#include "control/installer.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/screensaver.h"
#include "platform/shell.h"
#include "platform/textcase.h"
#include "platform/ui/control.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/pictures.h"
#include "saver/aximage.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImageReader>
#include <QListWidget>
#include <QMenu>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <mutex>
#include <random>
#include <unistd.h>

namespace {

constexpr const char* kInternalScheme = "#brimwald://";
constexpr const char* kManual = "manual.htm";

std::string FirstArgument(const std::vector<std::string>& args) {
    return args.empty() ? std::string() : platform::AsciiLower(args[0]);
}

std::string FileExtension(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    return platform::AsciiLower(path.substr(dot + 1));
}

// A face picture from the cache: the picture control's readers for their formats, Qt's
// reader (icons, PNG) for the rest, with an allocation bound; a null picture on failure.
QImage LoadFacePicture(const std::string& path) {
    const std::string ext = FileExtension(path);
    try {
        if (ext == "bmp" || ext == "gif" || ext == "jpg" || ext == "jpeg" || ext == "wmf" ||
            ext == "emf") {
            AXImage image;
            image.SizeToPicture = true;
            image.LoadFromFile(path);
            return image.Picture();
        }
    } catch (const std::exception&) {
        return {};
    }
    QImageReader reader(QString::fromStdString(path));
    reader.setAllocationLimit(64);
    return reader.read();
}

std::mutex gOpenerMutex;
TLaunchThread::Opener gOpener;

// A link as it is shown in a log line: a hostile one may be long, so only its start, cut
// at a whole UTF-8 character.
std::string LogExcerpt(const std::string& link) {
    constexpr std::size_t kMaxBytes = 512;
    if (link.size() <= kMaxBytes) {
        return link;
    }
    std::size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(link[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return link.substr(0, cut) + "...";
}

} // namespace

bool TFormMain::AskOkCancelBox(QWidget* parent, const std::string& caption,
                               const std::string& text) {
    platform::MessageBoxRequest request;
    request.caption = caption;
    request.text = text;
    request.icon = platform::MessageBoxIcon::Information;
    request.buttons = platform::MessageBoxButtons::OkCancel;
    // Kept above a screen saver that covers the screen, which would hide it otherwise.
    return platform::AskMessageBox(request, parent, platform::IsScreenSaverRunning()) ==
           platform::MessageBoxAnswer::Ok;
}

int MinutesToInterval(int minutes) {
    if (minutes <= 0) {
        return 0;
    }
    const long long ms = static_cast<long long>(minutes) * 60000LL;
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// ---- TLaunchThread ----

std::string LaunchFailureLine(const std::string& text, platform::ShellOpenResult result) {
    const std::string quoted = "\"" + text + "\"";
    switch (result) {
    case platform::ShellOpenResult::Refused:
        return "Not opened (neither a web link nor a file that may be opened): " + quoted;
    case platform::ShellOpenResult::NotStarted:
        return "Not opened: the desktop's URL opener xdg-open could not be started "
               "(is xdg-utils installed?): " +
               quoted;
    case platform::ShellOpenResult::Failed:
        return "Not opened: xdg-open reported an error for " + quoted;
    case platform::ShellOpenResult::Opened:
    case platform::ShellOpenResult::Running:
        break;
    }
    return {};
}

TLaunchThread::TLaunchThread(std::string text, LogSink log)
    : text_(std::move(text)), log_(std::move(log)) {
    thread_ = std::thread([this] { Execute(); });
}

TLaunchThread::~TLaunchThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TLaunchThread::SetOpener(Opener opener) {
    std::lock_guard lock(gOpenerMutex);
    gOpener = std::move(opener);
}

void TLaunchThread::Execute() {
    Opener opener;
    {
        std::lock_guard lock(gOpenerMutex);
        opener = gOpener;
    }
    // Feeds write links with line breaks and blanks around the address.
    const std::string target = platform::TrimLink(text_);
    if (opener) {
        opener(target);
        finished_ = true;
        return;
    }
    // Through the desktop's URL opener, never a shell; a link that is not opened is
    // dropped, but never silently: the user clicked it.
    const std::string line = LaunchFailureLine(LogExcerpt(target), platform::ShellOpen(target));
    if (!line.empty() && log_) {
        try {
            log_(line);
        } catch (const std::exception&) {
            // A log line that cannot be delivered changes nothing about the link.
        }
    }
    finished_ = true;
}

// ---- TFormMain: construction ----

TFormMain::TFormMain(TFormDebug& debug, MainFormOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), debug_(debug),
      options_(std::move(options)) {
    setWindowTitle(QString::fromUtf8(kCaption));
    host_ = new platform::ControlHost(this);
    resize(kDesignWidth, kDesignHeight);
    host_->setGeometry(0, 0, kDesignWidth, kDesignHeight);

    // The program's window on the bus; without one (said on stderr) the program runs on
    // and its log lines go straight to the debug window.
    endpoint_ = std::make_unique<IpcEndpoint>(IpcEndpoint::Role::Control,
                                              IpcEndpoint::Queue::DropUnlessAttached, "TolvarCtrl");
    IpcHandlerSlots handlers;
    handlers.OnHello = [this] { OnHello(); };
    handlers.OnSyncRequest = [this] { OnSyncRequest(); };
    handlers.OnDataUrl = [this](const std::string& url) { OnDataUrl(url); };
    handlers.OnDataLog = [this](const std::string& line) { OnDataLog(line); };
    handlers.OnQuit = [this] { OnQuit(); };
    handlers.OnSyncNow = [this] { OnSyncNow(); };
    handlers.OnConnectionReady = [this](std::int32_t id) { OnConnectionReady(id); };
    handlers.OnNoConnection = [this] { OnNoConnection(); };
    handlers.OnSettingsChanged = [this] { OnSettingsChanged(); };
    endpoint_->Bind(std::move(handlers));

    AskOkCancel = [this](const std::string& caption, const std::string& text) {
        return AskOkCancelBox(this, caption, text);
    };
    OnTerminate = [] { QCoreApplication::exit(0); };
    // The visible dial asks first, over this window (and over a covering screen saver).
    dialPrompt_ = std::make_unique<platform::DialPromptBinding>(
        this, [this] { return IsScreenSaverRunning(); });

    if (options_.programPath.empty()) {
        options_.programPath = platform::ExecutablePath();
    }
    ChooseProvider();
    ReadSettings();

    // The working folder is the program's folder: the saver file, the providers' batch
    // files and the manual are found there.
    const std::size_t slash = options_.programPath.find_last_of("/\\");
    if (slash != std::string::npos) {
        const std::string folder = options_.programPath.substr(0, slash + 1);
        if (::chdir(folder.c_str()) != 0) {
            // Stays where it was; the files are then looked for there.
        }
    }
    InstallSaverFile();

    for (int i = 0; i < 5; ++i) {
        if (showTNAIcon_) {
            resources_[i] = DrawResourceIcon(static_cast<ResourceIcon>(i));
        }
    }
    tray_ = std::make_unique<TNAIcon>();
    HideFromTaskbar(*this, true);
    SetMinimizeBox(*this, true);
    EnableCloseMenu(*this, true);
    BuildMenu();

    // The timers, in the order the form makes them.
    const auto setUp = [this](platform::Timer& timer, int interval, bool enabled,
                              void (TFormMain::*handler)()) {
        timer.SetEnabled(false);
        timer.SetInterval(interval);
        timer.OnTimer = [this, handler] { (this->*handler)(); };
        timer.SetEnabled(enabled);
    };
    setUp(IdleTimer, 800, true, &TFormMain::OnIdleTimer);
    setUp(TransferTimer, 400, false, &TFormMain::OnTransferTimer);
    setUp(LANIntervalTimer, lanInterval_, true, &TFormMain::OnLANIntervalTimer);
    setUp(DUNIntervalTimer, dunInterval_, true, &TFormMain::OnDUNIntervalTimer);
    setUp(SyncTimer, 200, false, &TFormMain::OnSyncTimer);
    setUp(SplashTimer, 1000, false, &TFormMain::OnSplashTimer);
    setUp(IpcPollTimer, 500, true, &TFormMain::OnIpcPoll);
    setUp(SaverAnswerTimer, kSaverAnswerWatchMs, false, &TFormMain::OnSaverAnswerWatch);

    fetch_ = std::make_unique<TFetchThread>();
    pending_ = false;
    dialled_ = false;

    LoadCachedState();

    if (showTNAIcon_) {
        useLayoutFaces_ = faceLoaded_[FaceSlot(Face::NoNews, FaceImage::Default)] &&
                          faceLoaded_[FaceSlot(Face::NoNews, FaceImage::Sync)];
        tray_->SetCallback([this](platform::TrayMouse mouse) { OnTrayMessage(mouse); });
        tray_->Tray().SetMenu(PopupTNA);
        const int first = FaceSlot(Face::NoNews, FaceImage::Default);
        tray_->SetIcon(faceLoaded_[first] ? &faces_[first]
                                          : &resources_[static_cast<int>(ResourceIcon::Main)]);
        tray_->Update();
        if (tray_->Tray().Backend() == platform::TrayBackend::None) {
            // The icon waits for no area: without one the menu is unreachable, so say so.
            Log(kNoTrayHostLine);
            std::fprintf(stderr, "TolvarCtrl: %s\n", kNoTrayHostLine);
        }
    }

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

TFormMain::~TFormMain() {
    // The cycle is asked to stop first: its request in flight is cancelled and it ends at
    // its next check point, so the end never waits for the network. From here on its log
    // lines go nowhere (CtrlWnd cleared, the stopping thread drops them anyway).
    fetch_->Terminate();
    endpoint_->Unbind();
    // A line or message the thread handed over just before the stop waits for this
    // thread: keep delivering until the thread has ended, so the join below is at once.
    if (platform::Bus* bus = platform::Bus::Instance()) {
        bus->RunUntil([this] { return fetch_->Ended(); }, kFetchStopWait);
    }
    for (platform::Timer* timer : {&IdleTimer, &TransferTimer, &LANIntervalTimer, &DUNIntervalTimer,
                                   &SplashTimer, &SyncTimer, &IpcPollTimer, &SaverAnswerTimer}) {
        timer->SetEnabled(false);
        timer->OnTimer = nullptr;
    }
    tray_->Tray().SetMenu(nullptr);
    tray_->Remove();
    tray_->SetCallback(nullptr);
    EnableCloseMenu(*this, false);
    SetMinimizeBox(*this, false);
    HideFromTaskbar(*this, false);
    // The fetch thread's last log lines are sends to this window: stop it first.
    fetch_.reset();
    dialPrompt_.reset();
    endpoint_.reset();
    launches_.clear();
    splash_.reset();
}

platform::WindowHandle TFormMain::Window() const {
    return endpoint_ ? endpoint_->Window() : 0;
}

void TFormMain::ChooseProvider() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    settings.SetBaseappPath(options_.programPath);
    if (settings.GetSysAutostartBaseapp()) {
        settings.RegisterBaseappAutostart(options_.programPath);
    }
    currentProvider_ = settings.GetCurrentProvider();
    providerNames_ = settings.GetProviderNames();
    try {
        providerValues_ = settings.GetProviderValues();
    } catch (const platform::RegistryTypeError&) {
        providerValues_.clear(); // no layout folder is known: nothing is seeded
    }
    const bool known = std::find(providerNames_.begin(), providerNames_.end(), currentProvider_) !=
                       providerNames_.end();
    if ((currentProvider_.empty() || !known) && !providerNames_.empty()) {
        std::mt19937 generator(std::random_device{}());
        std::uniform_int_distribution<std::size_t> pick(0, providerNames_.size() - 1);
        currentProvider_ = providerNames_[pick(generator)];
        settings.SetCurrentProvider(currentProvider_);
    }
}

void TFormMain::ReadSettings() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    actLANSys_ = settings.GetActLANSys();
    actDUNSys_ = settings.GetActDUNSys();
    lanInterval_ = MinutesToInterval(settings.GetActLANAutoInterval());
    dunInterval_ = MinutesToInterval(settings.GetActDUNAutoInterval());
    useDUN_ = settings.GetUseDUN();
    actLANAlwaysOn_ = settings.GetActLANAlwaysOn();
    actDUNAskOnlyIfSSActive_ = settings.GetActDUNAskOnlyIfSSActive();
    actDUNMsgBox_ = settings.GetActDUNMsgBox();
    showTNAIcon_ = settings.GetShowTNAIcon();
    showDebug_ = settings.GetShowDebug();
    hideQuit_ = settings.GetHideQuit();
    sysAutoregisterSaver_ = settings.GetSysAutoregisterSaver();
}

void TFormMain::LoadCachedState() {
    // Nothing here is fatal: an unreadable index is as good as an empty cache, and a
    // missing control file gives no hosts.
    const CachedModels models = LoadCachedModels(GetCacheDir(), std::string());
    const CC& cache = *models.cache;
    const CF& control = *models.controlFile;
    std::string key;
    for (const std::string& name : providerNames_) {
        key += name + ",";
    }
    if (key.size() > 1) {
        key.pop_back();
    }
    HttpGetter::SetHostList(control.hosts);
    HttpGetter::SetInternalScheme(kInternalScheme);
    HttpGetter::SetRequestKey(key);

    // Seeding sees the index read before it; what it adds is seen by the next start.
    const std::size_t providers = std::min(providerNames_.size(), providerValues_.size());
    for (std::size_t i = 0; i < providers; ++i) {
        if (cache.FindLatest(GetBaseLayoutKey(providerValues_[i])) == nullptr &&
            IsSafeProviderKey(providerNames_[i])) {
            RunCopyCacheBatch(ProviderBatchPath(providerNames_[i]), true);
        }
    }

    LF layout;
    if (const CFLayout* entry = control.LayoutOf(currentProvider_)) {
        if (const auto path = cache.NewestFile(entry->uri)) {
            try {
                layout.Load(*path);
            } catch (const LFValueError&) {
                // Keeps what was read before the bad value.
            }
        }
    }

    const std::string first = FirstArgument(options_.args);
    const bool quiet =
        first == "--quiet" || first == "-i" || first == "--inst" || first == "--install";
    if (quiet) {
        resize(1, 1);
    } else if (layout.splashscreen) {
        if (const CCObject* entry = cache.FindLatest(layout.splashscreen->src)) {
            // A name that leaves the cache folder reads as a file that gives no picture.
            LoadSplash(cache.PathOf(*entry).value_or(std::string()));
        }
    }

    tray_->SetTip(layout.tooltip.empty() ? std::string(kDefaultTip) : layout.tooltip);
    LoadFaces(layout.tnaicon.get(), cache);
}

void TFormMain::LoadSplash(const std::string& path) {
    splash_ = std::make_unique<AXImage>(host_);
    splash_->SizeToPicture = true;
    try {
        splash_->LoadFromFile(path);
    } catch (const std::exception&) {
        splash_.reset();
    }
    // The splash takes its picture's size: a bitmap never resizes the picture control, and
    // would otherwise leave an empty control and no splash at all.
    const QSize size = splash_ ? splash_->Picture().size() : QSize();
    if (size.width() > 0 && size.height() > 0) {
        splash_->SetBounds(0, 0, size.width(), size.height());
        resize(size);
        host_->setGeometry(0, 0, size.width(), size.height());
        splash_->Invalidate();
        return;
    }
    splash_.reset();
    resize(1, 1);
}

void TFormMain::LoadFaces(const LFTNAIcon* icon, const CC& cache) {
    faceLoaded_.fill(false);
    if (icon == nullptr) {
        return;
    }
    const LFTNAIconFace* const faces[] = {icon->no_news.get(), icon->news.get(), icon->mnews.get()};
    for (int f = 0; f < 3; ++f) {
        const LFTNAIconFace* face = faces[f];
        if (face == nullptr) {
            continue;
        }
        const std::string* const keys[] = {&face->defaultsrc, &face->defaultblinksrc,
                                           &face->syncsrc, &face->syncblinksrc};
        for (int i = 0; i < 4; ++i) {
            const CCObject* entry = keys[i]->empty() ? nullptr : cache.FindLatest(*keys[i]);
            if (entry == nullptr) {
                continue;
            }
            const int slot = f * 4 + i;
            const auto path = cache.PathOf(*entry);
            faces_[slot] = path ? LoadFacePicture(*path) : QImage();
            // A picture that did not load counts as absent: the tray never shows an empty
            // face.
            faceLoaded_[slot] = !faces_[slot].isNull();
        }
    }
}

void TFormMain::BuildMenu() {
    PopupTNA = new QMenu(this);
    const auto item = [this](const char* caption, int image, void (TFormMain::*handler)()) {
        QAction* action = PopupTNA->addAction(QString::fromUtf8(caption));
        if (image >= 0) {
            action->setIcon(QIcon(QPixmap::fromImage(DrawMenuImage(image))));
        }
        QObject::connect(action, &QAction::triggered, this,
                         [this, handler] { (this->*handler)(); });
        return action;
    };
    MI_OpenScreenSaver = item("Bildschirmschoner öffnen", 0, &TFormMain::MI_OpenScreenSaverClick);
    PopupTNA->addSeparator();
    MI_Configure = item("Konfigurieren", 1, &TFormMain::MI_ConfigureClick);
    MI_Sync = item("Synchronisieren", 2, &TFormMain::MI_SyncClick);
    PopupTNA->addSeparator();
    MI_Manual = item("Handbuch", -1, &TFormMain::MI_ManualClick);
    MI_Debugwindow = item("Debug-Fenster", -1, &TFormMain::MI_DebugwindowClick);
    MI_Close = item("Schließen", 3, &TFormMain::MI_CloseClick);
}

// ---- showing and hiding ----

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TFormMain::FormShow() {
    MI_Debugwindow->setVisible(showDebug_);
    MI_Close->setVisible(!hideQuit_);
    if (!splash_) {
        SplashTimer.SetInterval(1);
    }
    SplashTimer.SetEnabled(true);
}

void TFormMain::FormHide() {
    if (terminating_) {
        return;
    }
    const std::uint32_t flags = GetConnectionFlags();
    if (((flags & INTERNET_CONNECTION_LAN) != 0 && actLANSys_) ||
        ((flags & INTERNET_RAS_INSTALLED) != 0 && actDUNSys_ && useDUN_) ||
        (actLANAlwaysOn_ && actLANSys_)) {
        StartSync();
    }
}

void TFormMain::OnSplashTimer() {
    SplashTimer.SetEnabled(false);
    hide();
    FormHide();
    const std::string first = FirstArgument(options_.args);
    if (first == "-l" || first == "--showsplash" || first == "--show-splash") {
        Terminate();
    }
}

void TFormMain::Terminate() {
    terminating_ = true;
    if (OnTerminate) {
        OnTerminate();
    }
}

void TFormMain::EndSession() {
    Log("Session ends.");
    fetch_->Terminate();
    Terminate();
}

// ---- log, links, poll ----

void TFormMain::Log(const std::string& line) {
    const platform::WindowHandle window = Window();
    if (window != 0 && CtrlWnd.load() == window) {
        IpcSendLogText(line); // arrives here as IPC_DATA_LOG
    } else {
        debug_.AddLine(line);
    }
}

void TFormMain::Launch(const std::string& text) {
    launches_.erase(std::remove_if(launches_.begin(), launches_.end(),
                                   [](const auto& t) { return t->Finished(); }),
                    launches_.end());
    // A post, not a send: the form may be joining the launch thread while it logs.
    const platform::WindowHandle window = Window();
    launches_.push_back(std::make_unique<TLaunchThread>(text, [window](const std::string& line) {
        if (platform::Bus* bus = platform::Bus::Instance(); bus != nullptr && window != 0) {
            bus->Post(window, platform::CopyDataMessage(window, IPC_DATA_LOG, line + '\0'));
        }
    }));
}

void TFormMain::OnIpcPoll() {
    std::vector<std::string> urls;
    IpcReadUrlQueue(urls);
    for (const std::string& url : urls) {
        Launch(url);
    }
    if (!IsScreenSaverRunning()) {
        SaverWnd = 0;
    }
    IpcSendStatus(IsInternetConnected(), fetch_->Busy.load());
}

void TFormMain::OnDataUrl(const std::string& url) {
    Log("Received URL \"" + url + "\"");
    HttpGetter getter;
    getter.SetURL(url);
    Launch(getter.LinkURL().empty() ? url : getter.LinkURL());
}

void TFormMain::OnDataLog(const std::string& line) {
    debug_.AddLine(line);
}

// ---- tray and menu ----

void TFormMain::OnTrayMessage(platform::TrayMouse mouse) {
    switch (mouse) {
    case platform::TrayMouse::RightButtonDown:
        // Where the notification area shows the attached menu itself, nothing is left to do.
        if (tray_->Tray().Menu() == nullptr) {
            activateWindow();
            PopupTNA->popup(QCursor::pos());
        }
        break;
    case platform::TrayMouse::LeftDoubleClick:
    case platform::TrayMouse::Activate: // a panel without double clicks
        OpenScreenSaver();
        break;
    default:
        break;
    }
}

bool TFormMain::IsScreenSaverRunning() const {
    return platform::IsScreenSaverRunning();
}

std::string TFormMain::ExchangeScreenSaver(const std::string& path) {
    return SetSystemScreenSaver(path);
}

void TFormMain::InstallSaverFile() {
    if (!::InstallSaverFile(options_.programPath)) {
        Log("Failure: saver file " + SaverFileBeside(options_.programPath) +
            " could not be installed.");
    }
    // A missing file is never made the system's saver: it would show nothing.
    if (sysAutoregisterSaver_ && platform::FileExists(InstalledSaverPath())) {
        SetSystemScreenSaver(InstalledSaverPath());
    }
}

void TFormMain::OpenScreenSaver() {
    newMessages_ = false;
    mandatoryNews_ = false;
    const std::string installed = InstalledSaverPath();
    if (!platform::FileExists(installed)) {
        // Nothing to show; the user's saver stays registered.
        Log("Failure: no saver file " + installed + " to start.");
        std::fprintf(stderr, "TolvarCtrl: no saver file at \"%s\" to start\n", installed.c_str());
        return;
    }
    const std::string previous = ExchangeScreenSaver(installed);
    if (!StartScreenSaver()) {
        Log("Failure: the screen saver " + installed + " could not be started.");
    }
    if (!sysAutoregisterSaver_) {
        ExchangeScreenSaver(previous);
    }
}

bool TFormMain::OpenSaverConfig() {
    if (::OpenSaverConfig()) {
        return true;
    }
    Log("Failure: the screen saver's dialogs could not be opened.");
    return false;
}

void TFormMain::MI_OpenScreenSaverClick() {
    OpenScreenSaver();
}

void TFormMain::MI_ConfigureClick() {
    OpenSaverConfig();
}

void TFormMain::MI_SyncClick() {
    if (!fetch_->Busy.load()) {
        StartSync();
    }
}

void TFormMain::MI_ManualClick() {
    IpcSendURL(kManual);
}

void TFormMain::MI_DebugwindowClick() {
    debug_.show();
    debug_.raise();
}

void TFormMain::MI_CloseClick() {
    close();
    Terminate();
}

void TFormMain::BtnSyncClick() {
    MI_Sync->setEnabled(false);
    debug_.ListBox1->setEnabled(false);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    StartSync();
    MI_Sync->setEnabled(true);
    debug_.ListBox1->setEnabled(true);
    QGuiApplication::restoreOverrideCursor();
}

// ---- protocol handlers ----

void TFormMain::OnHello() {
    IpcPollTimer.SetEnabled(true);
}

void TFormMain::OnSyncRequest() {
    Log("Received new Control FIle.");
    SyncTimer.SetEnabled(true);
}

void TFormMain::OnQuit() {
    Terminate();
}

void TFormMain::OnSyncNow() {
    if (!fetch_->Busy.load()) {
        StartSync();
    } else {
        Log("Sync request rejected while already synchronizing.");
    }
}

void TFormMain::OnConnectionReady(std::int32_t connectionId) {
    Log("Connection estalished.");
    RecordConnectionId(connectionId);
    if (connectionId > 0 && dialled_ && pending_) {
        ownConnection_ = true;
    }
    StopWaitingForSaver();
    RunFetch();
}

void TFormMain::OnNoConnection() {
    Log("Failure: Connection could not be established.");
    // Another program's answer while our cycle runs must not end it (nor hang up the
    // connection it uses): the transfer timer sees the end of that cycle.
    if (fetch_->Busy.load()) {
        return;
    }
    FetchFinished();
}

void TFormMain::OnSettingsChanged() {
    Log("Received new settings.");
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    useDUN_ = settings.GetUseDUN();
    actLANAlwaysOn_ = settings.GetActLANAlwaysOn();
    actDUNAskOnlyIfSSActive_ = settings.GetActDUNAskOnlyIfSSActive();
    actDUNMsgBox_ = settings.GetActDUNMsgBox();
    SetLANInterval(MinutesToInterval(settings.GetActLANAutoInterval()));
    SetDUNInterval(MinutesToInterval(settings.GetActDUNAutoInterval()));
}

void TFormMain::SetLANInterval(int ms) {
    LANIntervalTimer.SetEnabled(false);
    lanInterval_ = ms;
    LANIntervalTimer.SetInterval(ms);
    LANIntervalTimer.SetEnabled(true);
}

void TFormMain::SetDUNInterval(int ms) {
    DUNIntervalTimer.SetEnabled(false);
    dunInterval_ = ms;
    DUNIntervalTimer.SetInterval(ms);
    DUNIntervalTimer.SetEnabled(true);
}

// ---- the connection decision ----

ConnectionSettings TFormMain::CurrentConnectionSettings() const {
    ConnectionSettings settings;
    settings.useDUN = useDUN_;
    settings.actLANAlwaysOn = actLANAlwaysOn_;
    settings.actDUNAskOnlyIfSSActive = actDUNAskOnlyIfSSActive_;
    settings.actDUNMsgBox = actDUNMsgBox_;
    return settings;
}

ConnectionFacts TFormMain::ReadConnectionFacts() const {
    ConnectionFacts facts;
    const std::uint32_t flags = GetConnectionFlags();
    facts.lanOrModem = (flags & (INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_MODEM)) != 0;
    facts.connected = IsInternetConnected();
    facts.rasInstalled = IsRasInstalled();
    facts.saverRunning = IsScreenSaverRunning();
    return facts;
}

void TFormMain::RunNotes(const ConnectionDecision& decision) {
    for (const ConnectionNote& note : decision.notes) {
        if (note.kind == ConnectionNote::Kind::AskSaverLan) {
            IpcRequestSaverAskLan();
        } else {
            Log(note.line);
        }
    }
}

void TFormMain::StartSync() {
    if (fetch_->Busy.load() || pending_ || terminating_) {
        return;
    }
    pending_ = true;
    dialled_ = true;
    ownConnection_ = false;

    ConnectionDecision decision =
        DecideConnection(CurrentConnectionSettings(), ReadConnectionFacts());
    RunNotes(decision);
    if (decision.step == ConnectionStep::AskUser) {
        const bool tryAnyway = AskOkCancel && AskOkCancel(kSyncBoxCaption, kNoConnectionQuestion);
        // The box was open a while: what follows is decided on the facts as they are now.
        decision = DecideConnection(CurrentConnectionSettings(), ReadConnectionFacts(), tryAnyway);
        RunNotes(decision);
    }
    // Set before any announcement: this program's own handlers read it at once.
    dialled_ = decision.dialled;
    switch (decision.step) {
    case ConnectionStep::Ready:
        IpcReportConnectionReady(-1);
        break;
    case ConnectionStep::NoConnection:
        IpcReportNoConnection();
        break;
    case ConnectionStep::QuietDial:
        dialled_ = DialInternet(Window(), 3);
        if (dialled_) {
            ownConnection_ = true;
            IpcReportConnectionReady(-1);
        } else {
            IpcReportNoConnection();
        }
        break;
    case ConnectionStep::AskSaverToDial:
        // The answer may never come (the saver ends, or it is another saver): the watch
        // ends the decision then.
        saverWaitMs_ = 0;
        SaverAnswerTimer.SetEnabled(true);
        IpcRequestSaverDial();
        break;
    case ConnectionStep::VisibleDial:
        dialled_ = DialInternet(Window(), 1);
        if (dialled_) {
            IpcReportConnectionReady(GetConnectionId());
        } else {
            IpcReportNoConnection();
        }
        break;
    case ConnectionStep::AskUser:
        break; // only before an answer
    }
}

void TFormMain::StopWaitingForSaver() {
    SaverAnswerTimer.SetEnabled(false);
    saverWaitMs_ = 0;
}

void TFormMain::OnSaverAnswerWatch() {
    if (!pending_ || fetch_->Busy.load()) {
        StopWaitingForSaver();
        return;
    }
    saverWaitMs_ += kSaverAnswerWatchMs;
    if (!IsScreenSaverRunning() || saverWaitMs_ >= kSaverAnswerTimeoutMs) {
        StopWaitingForSaver();
        Log("No answer from the screen saver to the dial request.");
        OnNoConnection();
    }
}

void TFormMain::RunFetch() {
    if (fetch_->Busy.load()) {
        return;
    }
    debug_.Clear();
    IdleTimer.SetEnabled(false);
    TransferTimer.SetEnabled(true);
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    if (dialled_) {
        fetch_->TimeoutSeconds = settings.GetActDUNTimeout();
        fetch_->FetchThumbs = settings.GetActDUNThumbs();
    } else {
        fetch_->TimeoutSeconds = settings.GetActLANTimeout();
        fetch_->FetchThumbs = settings.GetActLANThumbs();
    }
    if (!fetch_->Resume()) {
        // The thread is stopping (the program ends): the transfer timer ends the cycle.
        return;
    }
    MI_Configure->setEnabled(false);
    MI_Sync->setEnabled(false);
}

void TFormMain::FetchFinished() {
    TransferTimer.SetEnabled(false);
    transferSubPhase_ = false;
    StopWaitingForSaver();
    if (dialled_ && ownConnection_) {
        HangUpInternet();
    }
    ownConnection_ = false;
    MI_Configure->setEnabled(true);
    MI_Sync->setEnabled(true);
    pending_ = false;
    if (fetch_->GotNews.load()) {
        newMessages_ = true;
    }
    if (fetch_->GotMandatoryNews.load()) {
        mandatoryNews_ = true;
    }
    IdleTimer.SetEnabled(true);
}

// ---- triggers ----

void TFormMain::OnLANIntervalTimer() {
    if (!fetch_->Busy.load()) {
        StartSync();
    }
}

void TFormMain::OnDUNIntervalTimer() {
    if (!fetch_->Busy.load()) {
        StartSync();
    }
}

void TFormMain::OnSyncTimer() {
    LANIntervalTimer.SetEnabled(false);
    DUNIntervalTimer.SetEnabled(false);
    if (fetch_->Busy.load()) {
        return; // tried again at the next tick
    }
    SyncTimer.SetEnabled(false);
    const std::uint32_t flags = GetConnectionFlags();
    if ((flags & INTERNET_CONNECTION_LAN) != 0 || actLANAlwaysOn_) {
        OnLANIntervalTimer();
    } else if ((flags & INTERNET_RAS_INSTALLED) != 0 && useDUN_) {
        OnDUNIntervalTimer();
    }
    LANIntervalTimer.SetEnabled(true);
    DUNIntervalTimer.SetEnabled(true);
}

// ---- tray animation ----

TrayState TFormMain::CurrentTrayState() const {
    TrayState s;
    s.loaded = faceLoaded_;
    s.useLayoutFaces = useLayoutFaces_;
    s.newMessages = newMessages_;
    s.mandatoryNews = mandatoryNews_;
    s.blinkPhase = blinkPhase_;
    s.transferSubPhase = transferSubPhase_;
    return s;
}

const QImage& TFormMain::ResourcePicture(ResourceIcon icon) const {
    return resources_[static_cast<int>(icon)];
}

void TFormMain::ShowChoice(const TrayChoice& choice) {
    tray_->SetIcon(choice.layoutFace ? &faces_[choice.slot]
                                     : &resources_[static_cast<int>(choice.resource)]);
    tray_->Update();
}

void TFormMain::OnIdleTimer() {
    IdleTimer.SetEnabled(false);
    blinkPhase_ = !blinkPhase_;
    if (showTNAIcon_ && !IsScreenSaverRunning()) {
        ShowChoice(ChooseIdleIcon(CurrentTrayState()));
    }
    IdleTimer.SetEnabled(true);
}

void TFormMain::OnTransferTimer() {
    if (!fetch_->Busy.load()) {
        FetchFinished();
        return;
    }
    const bool wasClear = !transferSubPhase_;
    transferSubPhase_ = !transferSubPhase_;
    if (wasClear) {
        blinkPhase_ = !blinkPhase_;
    }
    TransferTimer.SetEnabled(false);
    if (showTNAIcon_ && !IsScreenSaverRunning()) {
        ShowChoice(ChooseTransferIcon(CurrentTrayState()));
    }
    TransferTimer.SetEnabled(true);
}

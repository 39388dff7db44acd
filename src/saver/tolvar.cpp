#include "saver/tolvar.h"

#include "common/cache.h"
#include "common/cachedmodels.h"
#include "common/controlfile.h"
#include "common/directories.h"
#include "common/layoutfile.h"
#include "common/singletonapp.h"
#include "common/tolvarsettings.h"
#include "platform/bus.h"
#include "platform/fileio.h"
#include "platform/screensaver.h"
#include "platform/ui/display.h"
#include "platform/ui/drawing.h"
#include "platform/ui/eventpump.h"
#include "platform/ui/foreignwindow.h"
#include "platform/ui/front.h"
#include "platform/ui/messagebox.h"
#include "saver/aticker.h"
#include "saver/aximage.h"
#include "saver/configform.h"
#include "saver/formsrvmain.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Set in the environment, it makes the run mode write one line to stderr once its screen
// is first shown whole, for the scripts that measure the start (bench/first_frame.py).
constexpr const char* kTraceFirstFrameVariable = "TOLVAR_TRACE_FIRST_FRAME";

// Watches the screen's widgets until each one that shows has been painted and every ticker
// has a frame of its cells, then writes "Tolvar: first frame" to stderr once. The paints
// come from the window's first exposure, so by then the window is mapped; the ticker's
// later frames may reach the window without a paint of the widget, so that part is asked
// again on a short timer.
class FirstFrameTrace : public QObject {
public:
    explicit FirstFrameTrace(QWidget& form) : QObject(&form), form_(&form) {
        // The form itself is covered by its client area and gets no paint of its own.
        for (QWidget* w : form.findChildren<QWidget*>()) {
            w->installEventFilter(this);
            watched_.push_back(w);
        }
        poll_.setInterval(2);
        connect(&poll_, &QTimer::timeout, this, [this] { Check(); });
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Paint && !done_) {
            painted_.insert(object);
            // After the paint pass, which flushes it to the window.
            QTimer::singleShot(0, this, [this] { Check(); });
        }
        return false;
    }

private:
    void Check() {
        if (done_ || form_.isNull()) {
            return;
        }
        for (const QPointer<QWidget>& w : watched_) {
            // A widget that others cover whole is not painted either.
            if (!w.isNull() && w->isVisible() && !w->visibleRegion().isEmpty() &&
                !painted_.contains(w.data())) {
                return;
            }
            const auto* ticker = dynamic_cast<const ATicker*>(w.data());
            if (ticker != nullptr && ticker->isVisible() && ticker->Frame().isNull()) {
                poll_.start();
                return;
            }
        }
        done_ = true;
        poll_.stop();
        std::fputs("Tolvar: first frame\n", stderr);
        std::fflush(stderr);
    }

    QPointer<QWidget> form_;
    std::vector<QPointer<QWidget>> watched_;
    std::set<const QObject*> painted_;
    QTimer poll_;
    bool done_ = false;
};

// Runs the application's event loop for ms milliseconds: the wait of one preview step,
// during which the window's events (expose, the owner's requests) are handled.
void ProcessEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The preview's own application when the process has none: on the xcb platform, since
// the window number is an X11 window id, unless the environment names a platform.
std::unique_ptr<QApplication> MakePreviewApplication() {
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    const bool platformNamed = platformName != nullptr && *platformName != '\0';
    const char* display = std::getenv("DISPLAY");
    if (!platformNamed && (display == nullptr || *display == '\0')) {
        return nullptr;
    }
    if (const auto problem = platform::DisplayProblem()) {
        std::fprintf(stderr, "Tolvar: %s\n", problem->c_str());
        return nullptr;
    }
    static char program[] = "Tolvar";
    static char platformOption[] = "-platform";
    static char xcb[] = "xcb";
    static char* argv[] = {program, platformOption, xcb, nullptr};
    static int argc = platformNamed ? 1 : 3;
    return std::make_unique<QApplication>(argc, argv);
}

void ShowExceptionBox(const std::string& text) {
    platform::MessageBoxRequest request;
    request.caption = kSaverApplicationTitle;
    request.text = text;
    request.icon = platform::MessageBoxIcon::Stop;
    platform::ShowMessageBox(request);
}

} // namespace

QImage ReadPreviewPicture() {
    // The preview reads no subscriptions; what it read of a control file before a fault
    // is used.
    const CachedModels models = LoadCachedModels(GetCacheDir(), std::string());
    if (models.failed == CachedModelsStep::IndexMissing ||
        models.failed == CachedModelsStep::IndexUnreadable) {
        return {};
    }
    const CC& cache = *models.cache;
    const std::string provider = TolvarSettings(kTolvarMaker, kTolvarProduct).GetCurrentProvider();
    std::string layoutKey;
    if (const CFLayout* entry = models.controlFile->LayoutOf(provider)) {
        layoutKey = entry->uri;
    }

    LF layout;
    if (const auto file = cache.NewestFile(layoutKey)) {
        try {
            layout.Load(*file);
        } catch (const std::exception&) {
            // The entries read before the value error stay.
        }
    }
    if (!layout.preview) {
        return {};
    }
    const auto pictureFile = cache.NewestFile(layout.preview->src);
    if (!pictureFile) {
        return {};
    }
    AXImage image;
    try {
        image.LoadFromFile(*pictureFile);
    } catch (const std::exception&) {
        return {};
    }
    // A file that gives no picture (unknown extension, unreadable) counts as not loaded:
    // there is nothing to paint, so the preview ends at once.
    return image.Picture();
}

void ShowPreview(SaverWindowId parentWindow) {
    if (parentWindow == 0) {
        return;
    }
    std::unique_ptr<QApplication> ownApp;
    if (QCoreApplication::instance() == nullptr) {
        ownApp = MakePreviewApplication();
        if (!ownApp) {
            return;
        }
    }
    if (!platform::ForeignWindow::PlatformHasNativeIds()) {
        return;
    }
    const QImage picture = ReadPreviewPicture();
    if (picture.isNull()) {
        return;
    }
    std::unique_ptr<platform::ForeignWindow> window = platform::ForeignWindow::Open(parentWindow);
    if (!window) {
        return;
    }

    platform::ForeignWindowState state = window->State();
    while (state == platform::ForeignWindowState::Hidden) {
        ProcessEventsFor(kPreviewStepMs);
        state = window->State();
    }
    if (state != platform::ForeignWindowState::Visible) {
        return;
    }

    // The client area is read once; the frame is the picture stretched over it.
    const QSize size = window->ClientSize();
    QImage frame;
    if (!size.isEmpty()) {
        frame = platform::NewPicture(size.width(), size.height());
        platform::Canvas canvas(frame);
        AXImage image;
        image.Stretch = true;
        image.SetBounds(0, 0, size.width(), size.height());
        image.SetPicture(picture);
        image.Paint(canvas);
    }
    do {
        window->Paint(frame);
        ProcessEventsFor(kPreviewStepMs);
    } while (window->State() == platform::ForeignWindowState::Visible);
}

int RunSaver(const SaverStart& start) {
    SSUtils* utils = SSUtils::GetInstance();
    utils->ParseCommandLine();
    if (!utils->Error().empty()) {
        std::fprintf(stderr, "Tolvar: %s\n", utils->Error().c_str());
        return kSaverExitBadArguments;
    }
    if (utils->Mode() == SaverModePreview) {
        if (start.preview) {
            start.preview(utils->ParentWindow());
        }
        return kSaverExitOk;
    }
    if (start.raisePriority) {
        start.raisePriority();
    }
    if (!start.claim || !start.claim()) {
        return kSaverExitAlreadyRunning;
    }
    return start.run ? start.run(utils->Mode()) : kSaverExitOk;
}

int RunSaverApplication(SaverMode mode, int& argc, char** argv) {
    if (mode != SaverModeConfig && mode != SaverModeRun) {
        return kSaverExitOk; // no form: the loop would end at once
    }
    if (QCoreApplication::instance() == nullptr) {
        if (const auto problem = platform::DisplayProblem()) {
            std::fprintf(stderr, "Tolvar: %s\n", problem->c_str());
            return kSaverExitNoDisplay;
        }
    }
    std::unique_ptr<QApplication> ownApp;
    if (QCoreApplication::instance() == nullptr) {
        ownApp = std::make_unique<QApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(kSaverApplicationTitle);
    // A dial keeps the screen painting and Esc working.
    platform::ServeEventLoopWhileDialling();

    // The bus delivers its messages (the guard's activation request, the protocol) from
    // the Qt loop.
    const platform::BusEventPump busPump;
    // A second start brings this one's dialog or screen to the front.
    if (SingletonApp* guard = SingletonApp::GetInstance()) {
        guard->SetActivationCallback(
            [](const platform::Message&) { platform::BringApplicationToFront(); });
    }
    int result = kSaverExitOk;
    if (mode == SaverModeRun) {
        const SSUtils* utils = SSUtils::GetInstance();
        result = utils->InHost() ? RunSvrMainFormInHost(utils->HostWindow()) : RunSvrMainForm();
    } else {
        result = RunConfigForm();
    }
    if (SingletonApp* guard = SingletonApp::GetInstance()) {
        guard->SetActivationCallback({});
    }
    return result;
}

int RunConfigForm() {
    // The subscription dialog is the program's main form; it runs its own modal loop and
    // ends the program when it closes. Without a cache it has shown its error box.
    if (auto form = TFormConfig::Create()) {
        form->ShowModal();
    }
    return kSaverExitOk;
}

int RunSvrMainForm() {
    // The full-screen form is the program's main form; the loop runs until it ends the
    // program. A failed start has shown its error box: the program ends without a screen.
    auto form = TFormSvrMain::Create();
    if (!form) {
        return kSaverExitOk;
    }
    if (std::getenv(kTraceFirstFrameVariable) != nullptr) {
        new FirstFrameTrace(*form); // owned by the form
    }
    form->showFullScreen();
    form->activateWindow();
    return QApplication::exec();
}

int RunSvrMainFormInHost(SaverWindowId hostWindow) {
    if (!platform::ForeignWindow::PlatformHasNativeIds()) {
        std::fprintf(stderr, "Tolvar: a screen-saver host's window needs the X11 platform\n");
        return kSaverExitNoHostWindow;
    }
    std::uint64_t id = hostWindow;
    if (id == 0) {
        id = platform::ForeignWindow::VirtualRootWindow();
    }
    if (id == 0) {
        // The plain root window: the screen is covered by a window of our own that the
        // window manager leaves alone, as a host would have its own window there.
        auto form = TFormSvrMain::Create();
        if (!form) {
            return kSaverExitOk;
        }
        form->setWindowFlag(Qt::X11BypassWindowManagerHint, true);
        form->showFullScreen();
        return QApplication::exec();
    }
    // Declared before the form: the form's native window lives inside the host's wrapper.
    std::unique_ptr<platform::ForeignWindow> host = platform::ForeignWindow::Open(id);
    if (!host) {
        std::fprintf(stderr, "Tolvar: window %llu is no window to draw into\n",
                     static_cast<unsigned long long>(id));
        return kSaverExitNoHostWindow;
    }
    const QSize size = host->ClientSize();
    auto form = TFormSvrMain::Create(size);
    if (!form) {
        return kSaverExitOk;
    }
    if (!host->Embed(*form)) {
        return kSaverExitNoHostWindow;
    }
    // The host ends the saver with SIGTERM (the form's ordinary end); a host that went
    // away without doing so leaves a window that is gone, which ends it too.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&host, &form] {
        if (host->State() == platform::ForeignWindowState::Gone) {
            form->EndProgram();
        }
    });
    watch.start(kHostWatchMs);
    const int result = QApplication::exec();
    watch.stop();
    form.reset();
    return result;
}

void SetSaverPriority() {
    // On this system a nice value belongs to one thread: who 0 names the calling thread.
    // Either call fails without the right to lower the value; the saver then runs as it
    // was started.
    constexpr int kNormalLevel = 0;
    constexpr int kAboveNormalLevel = -1;
    (void)setpriority(PRIO_PROCESS, 0, kNormalLevel);
    (void)setpriority(PRIO_PROCESS, 0, kAboveNormalLevel);
}

SaverStart DefaultSaverStart(int& argc, char** argv) {
    SaverStart start;
    start.preview = [](SaverWindowId parentWindow) { ShowPreview(parentWindow); };
    start.raisePriority = [] { SetSaverPriority(); };
    start.claim = [] {
        SingletonApp* guard = SingletonApp::CreateInstance(platform::kSaverGuardName);
        return guard != nullptr && guard->Claim();
    };
    start.run = [&argc, argv](SaverMode mode) { return RunSaverApplication(mode, argc, argv); };
    return start;
}

int SaverMain(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    SSUtils::SetProgramArguments(std::move(args));
    std::optional<platform::Bus> bus;
    try {
        bus.emplace();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Tolvar: no message bus: %s\n", e.what());
    }
    try {
        return RunSaver(DefaultSaverStart(argc, argv));
    } catch (const std::exception& e) {
        ShowExceptionBox(e.what());
    } catch (...) {
        ShowExceptionBox({});
    }
    return kSaverExitOk;
}

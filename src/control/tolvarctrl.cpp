#include "control/tolvarctrl.h"

#include "common/directories.h"
#include "common/singletonapp.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "control/cachemgr.h"
#include "control/debugform.h"
#include "control/mainform.h"
#include "platform/bus.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/screensaver.h"
#include "platform/shell.h"
#include "platform/textcase.h"
#include "platform/ui/desktopsaver.h"
#include "platform/ui/display.h"
#include "platform/ui/eventpump.h"
#include "platform/ui/front.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/session.h"

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

bool IsPrefix(char c) {
    return c == '/' || c == '-';
}

// The long names after a double prefix, compared whole.
void SetLongSwitch(const std::string& name, CtrlSwitches& s) {
    struct LongName {
        const char* name;
        bool CtrlSwitches::*flag;
    };
    static const LongName kNames[] = {
        {"quit", &CtrlSwitches::quit},
        {"config", &CtrlSwitches::config},
        {"configure", &CtrlSwitches::config},
        {"activatesaver", &CtrlSwitches::activateSaver},
        {"activate-saver", &CtrlSwitches::activateSaver},
        {"sync", &CtrlSwitches::sync},
        {"synchronize", &CtrlSwitches::sync},
        {"uninst", &CtrlSwitches::uninstall},
        {"uninstall", &CtrlSwitches::uninstall},
        {"inst", &CtrlSwitches::install},
        {"install", &CtrlSwitches::install},
        {"profile", &CtrlSwitches::profile},
        {"useprofile", &CtrlSwitches::profile},
        {"use-profile", &CtrlSwitches::profile},
        {"version", &CtrlSwitches::version},
        {"showversion", &CtrlSwitches::version},
        {"show-version", &CtrlSwitches::version},
        {"startup", &CtrlSwitches::startup},
        {"showsplash", &CtrlSwitches::showSplash},
        {"show-splash", &CtrlSwitches::showSplash},
    };
    for (const LongName& entry : kNames) {
        if (name == entry.name) {
            s.*entry.flag = true;
        }
    }
}

// The one-letter form: only the first character counts.
void SetLetterSwitch(char letter, CtrlSwitches& s) {
    switch (letter) {
    case 'q':
        s.quit = true;
        break;
    case 'c':
        s.config = true;
        break;
    case 's':
        s.activateSaver = true;
        break;
    case 'y':
        s.sync = true;
        break;
    case 'u':
        s.uninstall = true;
        break;
    case 'i':
        s.install = true;
        break;
    case 'p':
        s.profile = true;
        break;
    case 'v':
        s.version = true;
        break;
    case 'l':
        s.showSplash = true;
        break;
    case 't':
        s.writeRights = true;
        break;
    default:
        break;
    }
}

std::string NewIdentity() {
    // "{" + 36 characters + "}": the identity is the text between the braces.
    return MakeGuidString().substr(1, 36);
}

void ShowSeedingReport(const SeedingErrorReport& report) {
    platform::MessageBoxRequest request;
    request.caption = report.caption;
    request.text = report.text;
    request.icon = platform::MessageBoxIcon::Stop;
    request.beep = true;
    platform::ShowMessageBox(request);
}

// A refused provider key gets the report of a missing batch file: for the user both say
// that the key is not valid.
void ReportRefusedProviderKey(const std::string& key) {
    SeedingErrorReport report;
    report.caption = "TolvarCtrl";
    report.text = "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.\n\nExecutable: [" +
                  platform::ExecutablePath() + "]\nArbeitsverzeichnis: [" +
                  platform::CurrentFolder() + "]\nBatchfile: [" + ProviderBatchPath(key) + "]\n";
    ShowSeedingReport(report);
}

void ShowPlainBox(const std::string& caption, const std::string& text) {
    platform::MessageBoxRequest request;
    request.caption = caption;
    request.text = text;
    platform::ShowMessageBox(request);
}

// The saver file is registered as the system's screen saver only when it is there: a
// missing file would take the place of the user's saver and show nothing.
void RegisterInstalledSaver() {
    const std::string installed = InstalledSaverPath();
    if (platform::FileExists(installed)) {
        SetSystemScreenSaver(installed);
    } else {
        std::fprintf(stderr,
                     "TolvarCtrl: no saver file at \"%s\"; the system screen saver "
                     "is left as it was\n",
                     installed.c_str());
    }
}

int RunInstall(const TolvarSettings& settings, const std::optional<std::string>& key) {
    IpcBroadcastQuit();
    settings.RegisterBaseappAutostart(platform::ExecutablePath());
    InstallSaverFile();
    RegisterInstalledSaver();
    if (!key) {
        return kExitInstallFailed;
    }
    if (!IsSafeProviderKey(*key)) {
        ReportRefusedProviderKey(*key);
        return kExitInstallFailed;
    }
    settings.SetCurrentProvider(*key);
    return RunCopyCacheBatch(ProviderBatchPath(*key), false) ? kExitOk : kExitInstallFailed;
}

void RunActivateSaver(const TolvarSettings& settings, const std::optional<std::string>& key) {
    if (key) {
        settings.SetCurrentProvider(*key);
    }
    const std::string installed = InstalledSaverPath();
    // On a fresh account nothing has copied the saver file yet (the install and the
    // resident start do): the one beside this program is put in place first.
    if (!platform::FileExists(installed) && !InstallSaverFile()) {
        std::fprintf(stderr, "TolvarCtrl: no saver file at \"%s\" to start\n", installed.c_str());
        return;
    }
    const std::string previous = SetSystemScreenSaver(installed);
    StartScreenSaver();
    if (!settings.GetSysAutoregisterSaver()) {
        SetSystemScreenSaver(previous);
    }
}

int NormalStart(const ResidentStart& start) {
    if (!start.claim || !start.claim()) {
        return kExitAlreadyRunning;
    }
    // Only the copy that owns the queue drops what an earlier session left in it; a
    // command run or a second copy would take URLs from under the running one.
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    return start.run ? start.run() : kExitOk;
}

} // namespace

CtrlSwitches ReadCtrlSwitches(const std::vector<std::string>& args) {
    CtrlSwitches s;
    if (args.empty()) {
        return s;
    }
    std::string text = platform::AsciiLower(args[0]);
    if (text.size() < 2) {
        return s;
    }
    if (IsPrefix(text[0])) {
        text.erase(0, 1);
    }
    if (!text.empty() && IsPrefix(text[0])) {
        SetLongSwitch(text.substr(1), s);
    } else if (!text.empty()) {
        SetLetterSwitch(text[0], s);
    }
    return s;
}

CtrlCommand ChooseCtrlCommand(const CtrlSwitches& s) {
    if (s.config) {
        return CtrlCommand::Config;
    }
    if (s.activateSaver) {
        return CtrlCommand::ActivateSaver;
    }
    if (s.sync) {
        return CtrlCommand::Sync;
    }
    if (s.quit) {
        return CtrlCommand::Quit;
    }
    if (s.install) {
        return CtrlCommand::Install;
    }
    if (s.uninstall) {
        return CtrlCommand::Uninstall;
    }
    if (s.profile) {
        return CtrlCommand::Profile;
    }
    if (s.version) {
        return CtrlCommand::Version;
    }
    if (s.writeRights) {
        return CtrlCommand::WriteRights;
    }
    if (s.startup) {
        return CtrlCommand::Startup;
    }
    return CtrlCommand::NormalStart;
}

void EnsureIdentities() {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    if (settings.GetSysHostID().empty()) {
        settings.SetSysHostID(NewIdentity());
    }
    if (settings.GetSysUserID().empty()) {
        settings.SetSysUserID(NewIdentity());
    }
}

int RunTolvarCtrl(const std::vector<std::string>& args, const ResidentStart& start) {
    const CtrlSwitches switches = ReadCtrlSwitches(args);
    // The provider key is the second argument, taken as written.
    const std::optional<std::string> key =
        args.size() >= 2 ? std::optional<std::string>(args[1]) : std::nullopt;

    SingletonApp::CreateInstance(kCtrlGuardName);
    IpcAttach(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    EnsureIdentities();
    SetSeedingErrorReporter(ShowSeedingReport);

    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    switch (ChooseCtrlCommand(switches)) {
    case CtrlCommand::Config:
        if (key) {
            settings.SetCurrentProvider(*key);
        }
        OpenSaverConfig();
        return kExitOk;
    case CtrlCommand::ActivateSaver:
        RunActivateSaver(settings, key);
        return NormalStart(start);
    case CtrlCommand::Sync:
        IpcBroadcastSyncRequest();
        return kExitOk;
    case CtrlCommand::Quit:
        IpcBroadcastQuit();
        return kExitOk;
    case CtrlCommand::Install:
        return RunInstall(settings, key);
    case CtrlCommand::Uninstall:
        IpcBroadcastQuit();
        settings.UnregisterBaseappAutostart();
        UninstallSaverFile();
        return kExitOk;
    case CtrlCommand::Profile:
        if (key && IsSafeProviderKey(*key)) {
            settings.SetCurrentProvider(*key);
            RunCopyCacheBatch(ProviderBatchPath(*key), true);
        }
        return kExitOk;
    case CtrlCommand::Version:
        ShowPlainBox(kVersionBoxCaption, settings.GetBaseappVersion());
        return kExitOk;
    case CtrlCommand::WriteRights:
        ShowPlainBox(kWriteRightsBoxCaption, settings.CheckWriteRights() ? "yes" : "no");
        return kExitOk;
    case CtrlCommand::Startup:
        if (!settings.GetSysAutostartBaseapp()) {
            return kExitOk;
        }
        return NormalStart(start);
    case CtrlCommand::NormalStart:
        break;
    }
    return NormalStart(start);
}

int RunResidentProgram(int& argc, char** argv) {
    if (QCoreApplication::instance() == nullptr) {
        if (const auto problem = platform::DisplayProblem()) {
            std::fprintf(stderr, "TolvarCtrl: %s\n", problem->c_str());
            return kExitNoDisplay;
        }
    }
    std::unique_ptr<QApplication> ownApp;
    if (QCoreApplication::instance() == nullptr) {
        ownApp = std::make_unique<QApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(kApplicationTitle);
    // A dial keeps the tray, the timers and the windows going.
    platform::ServeEventLoopWhileDialling();

    // The bus delivers its messages (the guard's activation request, the protocol) from
    // the Qt loop.
    const platform::BusEventPump busPump;

    // The program's window stays hidden after the splash: hiding it must not end the
    // loop; the program ends on its own request.
    QApplication::setQuitOnLastWindowClosed(false);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    // The end of the session ends the program through its ordinary path, so the cycle
    // stops at a check point and nothing it writes is left half done. Watched from before
    // the forms exist: a request during the start waits for the loop.
    platform::SessionEndWatcher session;
    // "A screen saver runs" also while the desktop's own saver or lock screen is on.
    platform::BindDesktopScreenSaverProbe();
    TFormDebug debug;
    MainFormOptions options;
    options.args = std::move(args);
    TFormMain form(debug, std::move(options));
    session.OnSessionEnd = [&form] { form.EndSession(); };
    // A refused second start brings the program's open windows (a box, the log window)
    // to the front; after the splash the program shows only its tray icon.
    if (SingletonApp* guard = SingletonApp::GetInstance()) {
        guard->SetActivationCallback(
            [&debug](const platform::Message&) { platform::BringApplicationToFront(&debug); });
    }
    struct Unbind { // NOLINT(cppcoreguidelines-special-member-functions): a local guard
        ~Unbind() {
            if (SingletonApp* guard = SingletonApp::GetInstance()) {
                guard->SetActivationCallback({});
            }
            platform::SetDesktopScreenSaverProbe({});
        }
    } unbind;
    form.show();
    // A request to end that came before the loop (the session ended during the start).
    if (form.Terminating()) {
        return kExitOk;
    }
    return QApplication::exec();
}

ResidentStart DefaultResidentStart(int& argc, char** argv) {
    ResidentStart start;
    start.claim = [] {
        SingletonApp* guard = SingletonApp::GetInstance();
        return guard != nullptr && guard->Claim();
    };
    start.run = [&argc, argv] { return RunResidentProgram(argc, argv); };
    return start;
}

int TolvarCtrlMain(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    std::optional<platform::Bus> bus;
    try {
        bus.emplace();
    } catch (const std::exception& e) {
        // Without a bus the commands still act; only the messages are lost.
        std::fprintf(stderr, "TolvarCtrl: no message bus: %s\n", e.what());
    }
    try {
        return RunTolvarCtrl(args, DefaultResidentStart(argc, argv));
    } catch (const std::exception& e) {
        platform::MessageBoxRequest request;
        request.caption = kApplicationTitle;
        request.text = e.what();
        request.icon = platform::MessageBoxIcon::Stop;
        platform::ShowMessageBox(request);
    } catch (...) {
        platform::MessageBoxRequest request;
        request.caption = kApplicationTitle;
        request.icon = platform::MessageBoxIcon::Stop;
        platform::ShowMessageBox(request);
    }
    return kExitOk;
}

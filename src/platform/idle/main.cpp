// tolvar-idle: the stand-in for the system's screen-saver service. While the screen
// saver is switched on ("ScreenSaveActive" "1") and "SCRNSAVE.EXE" names a saver file,
// it starts that saver with "/s" once the session has been idle for "ScreenSaveTimeOut"
// seconds (all under the user's "\Control Panel\Desktop", read again at every look),
// again after the next idle period, never while a saver runs. One per session (a named
// lock); started at log-on by its autostart entry and at once when the switch goes on
// (platform/idlestart.h); ends quietly when the switch goes off, on SIGTERM, SIGINT or
// SIGHUP, and when its idle source ends with the session.

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/idle/dbusidlesource.h"
#include "platform/idle/idlelog.h"
#include "platform/idle/idlewatch.h"
#include "platform/idle/xidlesource.h"
#include "platform/idlestart.h"
#include "platform/namedlock.h"
#include "platform/screensaver.h"

#include <algorithm>
#include <csignal>
#include <exception>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(sig, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool IsWaylandSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (wayland != nullptr && wayland[0] != '\0') ||
           (type != nullptr && std::string(type) == "wayland");
}

// The desktop's own idle service first: it knows its inhibitors and, on Wayland, is the
// only one that sees the input. The X server's extension otherwise, never on Wayland,
// where it sees only the input to X clients.
std::unique_ptr<idle::IdleSource> ChooseIdleSource() {
    if (auto bus = idle::DBusIdleSource::Open()) {
        return bus;
    }
    if (!IsWaylandSession()) {
        if (auto x = idle::XIdleSource::Open()) {
            return x;
        }
    }
    return nullptr;
}

// The saver this watcher started still runs. Asked of /proc rather than by a signal: the
// child is reaped elsewhere, and its number may since name another program's process.
bool ChildRuns(int pid) {
    if (pid <= 0) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const std::size_t end = line.rfind(')');
    if (end == std::string::npos) {
        return false;
    }
    std::istringstream rest(line.substr(end + 1));
    char state = 0;
    long parent = 0;
    rest >> state >> parent;
    return rest && state != 'Z' && parent == static_cast<long>(::getpid());
}

std::string Seconds(std::uint64_t ms) {
    return std::to_string(ms / 1000) + " s";
}

int Run() {
    std::optional<platform::NamedLock> lock;
    try {
        lock = platform::NamedLock::TryAcquire(platform::kIdleWatcherName);
    } catch (const std::exception& e) {
        idle::LogLine(std::string("Cannot take the idle watcher's lock: ") + e.what());
        return 1;
    }
    if (!lock) {
        return 0; // another watcher serves this session
    }
    if (!platform::IsScreenSaverActive()) {
        return 0;
    }
    const std::unique_ptr<idle::IdleSource> source = ChooseIdleSource();
    if (!source) {
        idle::LogLine("No idle source: neither a desktop idle service on the session bus nor an "
                      "X display with the screen-saver extension; the screen saver is not "
                      "started when the session is idle.");
        return 1;
    }
    int wait = platform::ScreenSaveTimeout();
    idle::LogLine("Watching the idle time through " + source->Name() + "; the wait is " +
                  std::to_string(wait) + " s.");

    idle::IdleDecider decider;
    std::string reportedHeldOff;
    std::string reportedMissing;
    int child = -1;
    while (g_stop == 0) {
        const std::string saver = platform::RegisteredScreenSaver();
        idle::IdleSettings settings;
        settings.active = platform::IsScreenSaverActive();
        settings.saverFile = !saver.empty() && platform::FileExists(saver);
        const int nowWait = platform::ScreenSaveTimeout();
        if (nowWait != wait) {
            wait = nowWait;
            idle::LogLine("The wait is now " + std::to_string(wait) + " s.");
        }
        settings.waitMs = static_cast<std::uint64_t>(wait) * 1000;
        if (!saver.empty() && !settings.saverFile && saver != reportedMissing) {
            idle::LogLine("The registered screen saver \"" + saver + "\" does not exist.");
        }
        reportedMissing = settings.saverFile ? std::string() : saver;

        const std::optional<idle::IdleReading> reading = source->Read();
        if (!reading) {
            idle::LogLine("The idle source is gone; the watcher ends.");
            return 0;
        }
        const idle::IdleStep step = decider.Next(settings, *reading);
        if (step.action == idle::IdleAction::Exit) {
            return 0;
        }
        if (!step.heldOffBy.empty() && step.heldOffBy != reportedHeldOff) {
            idle::LogLine("Not started after " + Seconds(reading->idleMs) +
                          " idle: " + step.heldOffBy + ".");
        }
        if (step.heldOffBy.empty() && reading->idleMs < settings.waitMs) {
            reportedHeldOff.clear(); // a new period reports its hold-off again
        } else if (!step.heldOffBy.empty()) {
            reportedHeldOff = step.heldOffBy;
        }
        if (step.action == idle::IdleAction::StartSaver) {
            if (step.liftBlanker) {
                source->LiftBlanker();
            }
            if (platform::IsScreenSaverRunning() || ChildRuns(child)) {
                idle::LogLine("A screen saver runs already; none started.");
            } else if (const std::optional<int> pid = platform::StartSystemScreenSaver()) {
                child = *pid;
                idle::LogLine("Started the screen saver \"" + saver + "\" after " +
                              Seconds(reading->idleMs) + " idle.");
            } else {
                idle::LogLine("Cannot start the screen saver \"" + saver + "\".");
            }
        }
        // Look often enough to start within a second of the wait.
        const std::uint64_t left =
            settings.waitMs > reading->idleMs ? settings.waitMs - reading->idleMs : 1000;
        ::poll(nullptr, 0, static_cast<int>(std::clamp<std::uint64_t>(left, 100, 1000)));
    }
    return 0;
}

} // namespace

int main() {
    InstallSignals();
    // A watcher lives for the session: it keeps no folder busy.
    if (::chdir(platform::HomeFolder().c_str()) != 0) {
        [[maybe_unused]] const int ignored = ::chdir("/");
    }
    try {
        return Run();
    } catch (const std::exception& e) {
        idle::LogLine(std::string("Stopped by an error: ") + e.what());
        return 1;
    }
}

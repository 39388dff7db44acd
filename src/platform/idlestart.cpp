#include "platform/idlestart.h"

#include "platform/autostart.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/namedlock.h"
#include "platform/process.h"

#include <exception>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string IdleWatcherPath() {
    const std::string self = ExecutablePath();
    if (self.empty()) {
        return {};
    }
    return ParentFolder(self) + "/" + kIdleWatcherName;
}

void SyncIdleStart(bool active) {
    try {
        if (!active) {
            UpdateAutostartEntry(kIdleWatcherName, std::nullopt);
            return;
        }
        const std::string path = IdleWatcherPath();
        // A quote cannot stand in the entry's quoted program name.
        if (path.empty() || !IsExecutableFile(path) || path.find('"') != std::string::npos) {
            std::cerr << "screen saver: no idle watcher at \"" << path
                      << "\"; the saver is not started when the session is idle\n";
            return;
        }
        UpdateAutostartEntry(kIdleWatcherName, "\"" + path + "\"");
        if (NamedLock::IsHeldByAnotherProcess(kIdleWatcherName)) {
            return;
        }
        const StartedProcess started = StartDetachedProcess({path});
        if (started.pid <= 0) {
            std::cerr << "screen saver: cannot start the idle watcher \"" << path << "\"\n";
            return;
        }
        ReapInBackground(started.pid);
    } catch (const std::exception& e) {
        // The switch is written; only the idle start is missing.
        std::cerr << "screen saver: cannot set up the idle start: " << e.what() << '\n';
    }
}

} // namespace platform

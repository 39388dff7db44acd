#include "control/installer.h"

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/screensaver.h"
#include "platform/shell.h"

#include <cstdio>
#include <optional>

namespace {

constexpr const char* kProviderFolder = "vorlk";
constexpr const char* kBatchFileName = "copylcache.bat";

} // namespace

bool IsSafeProviderKey(std::string_view key) {
    return !key.empty() &&
           key.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos &&
           key.find("..") == std::string_view::npos;
}

std::string ProviderBatchPath(const std::string& key) {
    return std::string(kProviderFolder) + "/" + key + "/" + kBatchFileName;
}

std::string InstalledSaverPath() {
    return platform::WindowsFolder() + "/" + kSaverFileName;
}

std::string SaverFileBeside(const std::string& programPath) {
    const std::size_t slash = programPath.find_last_of('/');
    return (slash == std::string::npos ? std::string() : programPath.substr(0, slash + 1)) +
           kSaverFileName;
}

namespace {

// Starting the registered saver failed: said on stderr, since nothing else would show it.
bool ReportStart(std::optional<int> pid, const char* what) {
    if (pid) {
        return true;
    }
    const std::string registered = platform::RegisteredScreenSaver();
    if (registered.empty()) {
        std::fprintf(stderr, "TolvarCtrl: cannot %s: no system screen saver is registered\n", what);
    } else {
        std::fprintf(stderr, "TolvarCtrl: cannot %s: \"%s\" does not start\n", what,
                     registered.c_str());
    }
    return false;
}

} // namespace

bool StartScreenSaver() {
    return ReportStart(platform::StartSystemScreenSaver(), "start the screen saver");
}

bool OpenSaverConfig() {
    return ReportStart(platform::OpenScreenSaverDialogs(), "open the screen saver's dialogs");
}

bool InstallSaverFile(const std::string& programPath) {
    const std::string source =
        SaverFileBeside(programPath.empty() ? platform::ExecutablePath() : programPath);
    if (platform::SilentCopyFile(source, InstalledSaverPath())) {
        return true;
    }
    std::fprintf(stderr, "TolvarCtrl: cannot copy the saver file \"%s\" to \"%s\"\n",
                 source.c_str(), InstalledSaverPath().c_str());
    return false;
}

bool UninstallSaverFile() {
    const std::string installed = InstalledSaverPath();
    const bool deleted = platform::SilentDeleteFile(installed);
    // Another saver the user chose since stays on.
    if (platform::RegisteredScreenSaver() == installed) {
        platform::SetScreenSaverActive(false);
    }
    return deleted;
}

std::string SetSystemScreenSaver(const std::string& path) {
    const platform::ScreenSaverStore store = platform::SystemScreenSaverStore();
    std::string previous = platform::ReadScreenSaverEntry(store);
    platform::WriteScreenSaverEntry(store, path);
    platform::SetScreenSaverActive(true);
    return previous;
}

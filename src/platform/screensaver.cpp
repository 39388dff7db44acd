#include "platform/screensaver.h"

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/idlestart.h"
#include "platform/namedlock.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/textcase.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

namespace platform {

namespace {

constexpr std::string_view kDesktopKey = "\\Control Panel\\Desktop";
constexpr std::string_view kSaverEntry = "SCRNSAVE.EXE";
constexpr std::string_view kActiveValue = "ScreenSaveActive";
constexpr std::string_view kTimeoutValue = "ScreenSaveTimeOut";
constexpr std::string_view kBootSection = "boot";

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The section name of a "[name]" line; nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return std::nullopt;
    }
    return Trim(line.substr(1, line.size() - 2));
}

// The entry name and value of a "name=value" line (comments and other lines: nullopt).
std::optional<std::pair<std::string_view, std::string_view>> EntryOf(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';') {
        return std::nullopt;
    }
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    return std::make_pair(Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1)));
}

bool HoldsLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos ||
           text.find('\0') != std::string_view::npos;
}

std::optional<RegistryKey> OpenDesktopKey(Access access, bool create) {
    try {
        return RegistryKey::Open(Hive::CurrentUser, kDesktopKey, access, create);
    } catch (const std::runtime_error&) {
        // An unreadable hive counts as a key that does not open.
        return std::nullopt;
    }
}

std::string ReadDesktopString(std::string_view name) {
    const auto key = OpenDesktopKey(Access::Read, false);
    if (!key) {
        return {};
    }
    try {
        return key->ReadString(name);
    } catch (const RegistryError&) {
        return {};
    }
}

} // namespace

ScreenSaverStore SystemScreenSaverStore() {
    return ScreenSaverStore::Registry;
}

std::string SystemIniPath() {
    return WindowsFolder() + "/system.ini";
}

std::string ReadSystemIniString(std::string_view section, std::string_view entry,
                                std::string_view defaultValue) {
    std::optional<std::string> text;
    try {
        text = ReadFile(SystemIniPath());
    } catch (const FileError&) {
        text.reset();
    }
    if (!text) {
        return std::string(defaultValue);
    }
    bool inSection = false;
    for (const std::string& line : SplitLines(*text)) {
        if (const auto name = SectionOf(line)) {
            inSection = EqualsNoCase(*name, section);
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (const auto pair = EntryOf(line); pair && EqualsNoCase(pair->first, entry)) {
            return std::string(pair->second);
        }
    }
    return std::string(defaultValue);
}

bool WriteSystemIniString(std::string_view section, std::string_view entry,
                          std::string_view value) {
    if (section.empty() || entry.empty() || HoldsLineBreak(section) || HoldsLineBreak(entry) ||
        HoldsLineBreak(value) || entry.find('=') != std::string_view::npos ||
        section.find(']') != std::string_view::npos || Trim(entry) != entry ||
        Trim(section) != section) {
        return false;
    }
    const std::string path = SystemIniPath();
    try {
        if (!MakeFolders(ParentFolder(path))) {
            return false;
        }
        const FileLock lock = FileLock::Acquire(path + ".lock", FileLock::Mode::Exclusive);
        const std::optional<std::string> text = ReadFile(path);
        std::vector<std::string> lines = text ? SplitLines(*text) : std::vector<std::string>();
        const std::string newLine = std::string(entry) + "=" + std::string(value);

        // Where the section starts and where its last entry or other content ends.
        std::optional<std::size_t> sectionLine;
        std::optional<std::size_t> entryLine;
        std::size_t insertAt = lines.size();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (const auto name = SectionOf(lines[i])) {
                if (sectionLine) {
                    break; // the next section ends ours
                }
                if (EqualsNoCase(*name, section)) {
                    sectionLine = i;
                    insertAt = i + 1;
                }
                continue;
            }
            if (!sectionLine) {
                continue;
            }
            if (const auto pair = EntryOf(lines[i]); pair && EqualsNoCase(pair->first, entry)) {
                entryLine = i;
                break;
            }
            if (!Trim(lines[i]).empty()) {
                insertAt = i + 1;
            }
        }
        if (entryLine) {
            // Keep the entry name as it was first written.
            const auto pair = EntryOf(lines[*entryLine]);
            lines[*entryLine] = std::string(pair->first) + "=" + std::string(value);
        } else if (sectionLine) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        } else {
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(newLine);
        }
        std::string out;
        for (const std::string& line : lines) {
            out += line;
            out += "\r\n";
        }
        AtomicWriteFile(path, out);
        return true;
    } catch (const FileError&) {
        return false;
    }
}

std::string ReadScreenSaverEntry(ScreenSaverStore store) {
    if (store == ScreenSaverStore::SystemIni) {
        return ReadSystemIniString(kBootSection, kSaverEntry);
    }
    return ReadDesktopString(kSaverEntry);
}

bool WriteScreenSaverEntry(ScreenSaverStore store, const std::string& path) {
    if (store == ScreenSaverStore::SystemIni) {
        return WriteSystemIniString(kBootSection, kSaverEntry, path);
    }
    const auto key = OpenDesktopKey(Access::ReadWrite, false);
    if (!key) {
        return false;
    }
    try {
        key->WriteString(kSaverEntry, path);
        return true;
    } catch (const RegistryError&) {
        return false;
    }
}

std::string RegisteredScreenSaver() {
    return ReadScreenSaverEntry(SystemScreenSaverStore());
}

bool SetScreenSaverActive(bool active) {
    const auto key = OpenDesktopKey(Access::ReadWrite, true);
    if (!key) {
        return false;
    }
    try {
        key->WriteString(kActiveValue, active ? "1" : "0");
    } catch (const RegistryError&) {
        return false;
    }
    SyncIdleStart(active);
    return true;
}

bool IsScreenSaverActive() {
    return ReadDesktopString(kActiveValue) == "1";
}

int ScreenSaveTimeout() {
    const std::string text = std::string(Trim(ReadDesktopString(kTimeoutValue)));
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return kDefaultScreenSaveTimeout;
    }
    const int seconds = std::stoi(text);
    return seconds >= 1 && seconds <= kMaxScreenSaveTimeout ? seconds : kDefaultScreenSaveTimeout;
}

namespace {

std::mutex& ProbeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<bool()>& Probe() {
    static std::function<bool()> probe;
    return probe;
}

} // namespace

bool IsSaverScreenShown() {
    return NamedLock::IsHeldByAnotherProcess(kSaverRunningLockName);
}

void SetDesktopScreenSaverProbe(std::function<bool()> probe) {
    std::lock_guard lock(ProbeMutex());
    Probe() = std::move(probe);
}

bool IsScreenSaverRunning() {
    if (IsSaverScreenShown()) {
        return true;
    }
    std::function<bool()> probe;
    {
        std::lock_guard lock(ProbeMutex());
        probe = Probe();
    }
    return probe && probe();
}

std::optional<int> SpawnScreenSaver(const std::string& path, std::string_view argument) {
    if (path.empty()) {
        return std::nullopt;
    }
    // A name without a folder is the file in the working folder, never one found in PATH.
    const std::string program = path.find('/') == std::string::npos ? "./" + path : path;
    const StartedProcess started = StartProcess({program, std::string(argument)});
    if (started.pid <= 0) {
        return std::nullopt;
    }
    // Nobody waits for the saver, but its end must not leave a zombie behind in a
    // long-running starter.
    ReapInBackground(started.pid);
    return started.pid;
}

std::optional<int> StartSystemScreenSaver() {
    return SpawnScreenSaver(RegisteredScreenSaver(), "/s");
}

std::optional<int> OpenScreenSaverDialogs() {
    return SpawnScreenSaver(RegisteredScreenSaver(), "/c");
}

} // namespace platform

#include "platform/network.h"

#include "platform/bus.h"
#include "platform/fileio.h"
#include "platform/registry.h"
#include "platform/runtimefolder.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ifaddrs.h>
#include <iostream>
#include <limits>
#include <mutex>
#include <net/if.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kConfigKey = "\\System\\Dialup";
constexpr const char* kRecordPrefix = "connection-";

// Process-wide hooks; the backend is read from any thread.
struct Hooks {
    std::mutex mutex;
    std::shared_ptr<DialupBackend> backend;
    DialPrompt prompt;
    WaitPump pump;
};

Hooks& TheHooks() {
    static Hooks hooks;
    return hooks;
}

std::shared_ptr<DialupBackend> Backend() {
    Hooks& h = TheHooks();
    std::lock_guard guard(h.mutex);
    if (!h.backend) {
        h.backend = std::make_shared<SystemDialupBackend>();
    }
    return h.backend;
}

DialPrompt Prompt() {
    Hooks& h = TheHooks();
    std::lock_guard guard(h.mutex);
    return h.prompt;
}

// The bound pump, else the process's message bus when called on its main thread, so the
// program's windows keep receiving messages while a command runs.
WaitPump Pump() {
    {
        Hooks& h = TheHooks();
        std::lock_guard guard(h.mutex);
        if (h.pump) {
            return h.pump;
        }
    }
    Bus* bus = Bus::Instance();
    if (bus == nullptr || !bus->IsMainThread()) {
        return {};
    }
    return [bus](std::chrono::milliseconds most) {
        // Bus::Instance() is checked again: a handler may have ended the bus meanwhile.
        if (Bus::Instance() == bus) {
            bus->RunUntil([] { return false; }, most);
        }
    };
}

// A dial of this process is running (its pump may deliver a message that dials again).
std::atomic<bool> dialling{false};

class DialGuard {
public:
    DialGuard() : owned_(!dialling.exchange(true)) {}
    DialGuard(const DialGuard&) = delete;
    DialGuard& operator=(const DialGuard&) = delete;
    ~DialGuard() {
        if (owned_) {
            dialling = false;
        }
    }
    bool Owned() const { return owned_; }

private:
    bool owned_;
};

// ---- records ---------------------------------------------------------------------------

std::string RecordFolder() {
    return PrivateRuntimeFolder("dialup");
}

// Guards the id counter and the set of records across processes.
FileLock LockRecords(const std::string& folder) {
    return FileLock::Acquire(folder + "/records.lock", FileLock::Mode::Exclusive);
}

std::string RecordPath(const std::string& folder, std::int32_t id) {
    return folder + "/" + kRecordPrefix + std::to_string(id);
}

std::optional<DialupRecord> ParseRecord(const std::string& text) {
    DialupRecord record;
    bool haveId = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "id") {
            try {
                std::size_t used = 0;
                const long long id = std::stoll(value, &used);
                if (used == value.size() && id > 0 &&
                    id <= std::numeric_limits<std::int32_t>::max()) {
                    record.id = static_cast<std::int32_t>(id);
                    haveId = true;
                }
            } catch (const std::exception&) {
            }
        } else if (key == "name") {
            record.name = value;
        } else if (key == "autodial") {
            record.autodial = value == "1";
        }
    }
    if (!haveId) {
        return std::nullopt;
    }
    return record;
}

std::vector<DialupRecord> ReadRecords(const std::string& folder) {
    std::vector<DialupRecord> records;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return records;
    }
    const std::size_t prefixLength = std::strlen(kRecordPrefix);
    while (dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.compare(0, prefixLength, kRecordPrefix) != 0 ||
            file.find(".tmp") != std::string::npos) {
            continue;
        }
        try {
            auto text = ReadFile(folder + "/" + file);
            if (!text) {
                continue;
            }
            auto record = ParseRecord(*text);
            if (record && file == kRecordPrefix + std::to_string(record->id)) {
                records.push_back(std::move(*record));
            }
        } catch (const std::runtime_error&) {
        }
    }
    ::closedir(dir);
    std::sort(records.begin(), records.end(),
              [](const DialupRecord& a, const DialupRecord& b) { return a.id < b.id; });
    return records;
}

// Records a new connection under the next id of the folder's counter.
std::int32_t AddRecord(const std::string& name, bool autodial) {
    const std::string folder = RecordFolder();
    FileLock lock = LockRecords(folder);
    const std::string counterPath = folder + "/next-id";
    long long next = 1;
    if (auto text = ReadFile(counterPath)) {
        try {
            next = std::stoll(*text);
        } catch (const std::exception&) {
            next = 1;
        }
    }
    if (next < 1 || next > std::numeric_limits<std::int32_t>::max()) {
        next = 1;
    }
    // Skip ids still in use after a wrap-around of the counter.
    while (FileExists(RecordPath(folder, static_cast<std::int32_t>(next)))) {
        next = next == std::numeric_limits<std::int32_t>::max() ? 1 : next + 1;
    }
    const auto id = static_cast<std::int32_t>(next);
    std::string oneLineName = name;
    std::replace_if(
        oneLineName.begin(), oneLineName.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    AtomicWriteFile(counterPath, std::to_string(next + 1) + "\n", 0600);
    AtomicWriteFile(RecordPath(folder, id),
                    "id=" + std::to_string(id) + "\nname=" + oneLineName +
                        "\nautodial=" + (autodial ? "1" : "0") + "\n",
                    0600);
    return id;
}

bool HangUpRecords(const std::function<bool(const DialupRecord&)>& which) {
    const std::string folder = RecordFolder();
    std::vector<DialupRecord> targets;
    {
        FileLock lock = LockRecords(folder);
        for (auto& r : ReadRecords(folder)) {
            if (which(r)) {
                targets.push_back(std::move(r));
            }
        }
    }
    if (targets.empty()) {
        return false;
    }
    auto backend = Backend();
    if (!backend->Installed()) {
        // Nothing left to hang up with: the records would report the modem up for good.
        FileLock lock = LockRecords(folder);
        for (const auto& target : targets) {
            RemoveFile(RecordPath(folder, target.id));
        }
        return false;
    }
    const WaitPump pump = Pump();
    bool all = true;
    std::vector<std::string> namesDown;
    std::vector<std::int32_t> failed;
    for (const auto& target : targets) {
        if (std::find(namesDown.begin(), namesDown.end(), target.name) != namesDown.end()) {
            continue;
        }
        if (backend->HangUp(target.name, pump)) {
            namesDown.push_back(target.name);
        } else {
            all = false;
            failed.push_back(target.id);
            std::cerr << "dial-up: hanging up \"" << target.name << "\" failed\n";
        }
    }
    // The lock is not held while a command runs: a slow hang-up must not stop the others.
    // A record whose hang-up failed goes too: kept, it would report the modem up for the
    // rest of the session (a link that really stayed up still shows through its route).
    FileLock lock = LockRecords(folder);
    for (const auto& r : ReadRecords(folder)) {
        if (std::find(namesDown.begin(), namesDown.end(), r.name) != namesDown.end() ||
            std::find(failed.begin(), failed.end(), r.id) != failed.end()) {
            RemoveFile(RecordPath(folder, r.id));
        }
    }
    return all;
}

std::vector<std::string> Fields(std::string_view line) {
    std::vector<std::string> fields;
    std::istringstream in{std::string(line)};
    std::string field;
    while (in >> field) {
        fields.push_back(field);
    }
    return fields;
}

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

bool RunConfigured(const char* what, const std::vector<std::string>& command,
                   std::chrono::milliseconds timeout, const WaitPump& pump) {
    if (command.empty()) {
        std::cerr << "dial-up: no " << what << " command configured\n";
        return false;
    }
    const ProcessResult result = RunProcess(command, timeout, pump);
    if (!result.Succeeded()) {
        std::cerr << "dial-up: " << what << " command " << command.front() << ": "
                  << Describe(result) << '\n';
    }
    return result.Succeeded();
}

} // namespace

// ---- kernel state ----------------------------------------------------------------------

bool HasLanRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                 const std::function<bool(const std::string& interface)>& isUp) {
    constexpr unsigned long kRouteUp = 0x0001;     // RTF_UP
    constexpr unsigned long kRouteReject = 0x0200; // RTF_REJECT
    std::istringstream v4{std::string(ipv4Routes)};
    std::string line;
    bool header = true;
    while (std::getline(v4, line)) {
        if (header) {
            header = false;
            continue;
        }
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        const auto f = Fields(line);
        if (f.size() < 8 || f[1] != "00000000" || f[7] != "00000000") {
            continue;
        }
        const unsigned long flags = std::strtoul(f[3].c_str(), nullptr, 16);
        if ((flags & kRouteUp) != 0 && (flags & kRouteReject) == 0 && isUp(f[0])) {
            return true;
        }
    }
    std::istringstream v6{std::string(ipv6Routes)};
    while (std::getline(v6, line)) {
        // destination prefix-length source prefix-length next-hop metric refs use flags iface
        const auto f = Fields(line);
        if (f.size() < 10 || f[0] != std::string(32, '0') || f[1] != "00") {
            continue;
        }
        const unsigned long flags = std::strtoul(f[8].c_str(), nullptr, 16);
        if ((flags & kRouteUp) != 0 && (flags & kRouteReject) == 0 && isUp(f[9])) {
            return true;
        }
    }
    return false;
}

bool InterfaceIsUp(const std::string& interface) {
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, interface.c_str(), interface.size());
    const bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    ::close(fd);
    if (!ok) {
        return false;
    }
    const auto flags = static_cast<unsigned>(request.ifr_flags);
    return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
}

bool HasConfiguredLan(const std::vector<InterfaceFacts>& interfaces) {
    return std::any_of(interfaces.begin(), interfaces.end(), [](const InterfaceFacts& i) {
        return !i.loopback && (i.up || i.hasAddress);
    });
}

std::vector<InterfaceFacts> ListInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::vector<InterfaceFacts> facts;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_name == nullptr) {
            continue;
        }
        auto it = std::find_if(facts.begin(), facts.end(),
                               [a](const InterfaceFacts& f) { return f.name == a->ifa_name; });
        if (it == facts.end()) {
            facts.push_back(InterfaceFacts{a->ifa_name});
            it = facts.end() - 1;
        }
        const unsigned flags = a->ifa_flags;
        it->loopback = it->loopback || (flags & IFF_LOOPBACK) != 0;
        it->up = it->up || (flags & IFF_UP) != 0;
        it->running = it->running || (flags & IFF_RUNNING) != 0;
        const int family = a->ifa_addr != nullptr ? a->ifa_addr->sa_family : AF_UNSPEC;
        it->hasAddress = it->hasAddress || family == AF_INET || family == AF_INET6;
    }
    ::freeifaddrs(list);
    return facts;
}

// ---- system backend ----------------------------------------------------------------------

std::optional<DialupConfig> ReadDialupConfig() {
    auto key = RegistryKey::Open(Hive::LocalMachine, kConfigKey, Access::Read);
    if (!key) {
        return std::nullopt;
    }
    auto readString = [&key](const char* name) -> std::string {
        try {
            return key->ReadString(name);
        } catch (const RegistryError&) {
            return {};
        }
    };
    DialupConfig config;
    config.name = Trim(readString("Name"));
    auto dial = SplitCommandLine(readString("Dial"));
    auto hangUp = SplitCommandLine(readString("HangUp"));
    if (!dial || !hangUp) {
        std::cerr << "dial-up: unclosed quote in a command under HKEY_LOCAL_MACHINE" << kConfigKey
                  << '\n';
        return std::nullopt;
    }
    if (dial->empty()) {
        return std::nullopt;
    }
    config.dial = std::move(*dial);
    config.hangUp = std::move(*hangUp);
    return config;
}

bool SystemDialupBackend::LanUp() {
    try {
        return HasLanRoute(ReadFile("/proc/net/route").value_or(""),
                           ReadFile("/proc/net/ipv6_route").value_or(""), InterfaceIsUp);
    } catch (const std::runtime_error&) {
        return false;
    }
}

bool SystemDialupBackend::LanConfigured() {
    return HasConfiguredLan(ListInterfaces());
}

std::optional<std::string> SystemDialupBackend::Installed() {
    auto config = ReadDialupConfig();
    if (!config) {
        return std::nullopt;
    }
    return config->name;
}

bool SystemDialupBackend::Dial(const std::string&, const WaitPump& pump) {
    auto config = ReadDialupConfig();
    return config && RunConfigured("dial", config->dial, kDialTimeout, pump);
}

bool SystemDialupBackend::HangUp(const std::string&, const WaitPump& pump) {
    auto config = ReadDialupConfig();
    return config && RunConfigured("hang-up", config->hangUp, kHangUpTimeout, pump);
}

// ---- the layer ---------------------------------------------------------------------------

void SetDialupBackend(std::shared_ptr<DialupBackend> backend) {
    Hooks& h = TheHooks();
    std::lock_guard guard(h.mutex);
    h.backend = std::move(backend);
}

void SetDialPrompt(DialPrompt prompt) {
    Hooks& h = TheHooks();
    std::lock_guard guard(h.mutex);
    h.prompt = std::move(prompt);
}

void SetDialWaitPump(WaitPump pump) {
    Hooks& h = TheHooks();
    std::lock_guard guard(h.mutex);
    h.pump = std::move(pump);
}

ConnectionFlags QueryConnectionState() {
    ConnectionFlags flags;
    auto backend = Backend();
    flags.lanOnline = backend->LanUp();
    flags.lan = flags.lanOnline || backend->LanConfigured();
    flags.rasInstalled = backend->Installed().has_value();
    try {
        flags.modem = !ReadRecords(RecordFolder()).empty();
    } catch (const std::runtime_error&) {
        flags.modem = false;
    }
    return flags;
}

std::optional<std::int32_t> DialConnection(ParentWindow parent) {
    DialGuard guard;
    if (!guard.Owned()) {
        return std::nullopt;
    }
    auto backend = Backend();
    const auto name = backend->Installed();
    if (!name) {
        return std::nullopt;
    }
    const DialPrompt prompt = Prompt();
    if (!prompt || !prompt(parent, *name)) {
        return std::nullopt;
    }
    if (!backend->Dial(*name, Pump())) {
        return std::nullopt;
    }
    try {
        return AddRecord(*name, false);
    } catch (const std::runtime_error& e) {
        // Unrecorded, nobody could hang it up: take it down again.
        std::cerr << "dial-up: cannot record the connection: " << e.what() << '\n';
        backend->HangUp(*name, Pump());
        return std::nullopt;
    }
}

bool AutodialConnection(ParentWindow) {
    DialGuard guard;
    if (!guard.Owned()) {
        return false;
    }
    if (QueryConnectionState().Connected()) {
        return true;
    }
    auto backend = Backend();
    const auto name = backend->Installed();
    if (!name || !backend->Dial(*name, Pump())) {
        return false;
    }
    try {
        AddRecord(*name, true);
        return true;
    } catch (const std::runtime_error& e) {
        std::cerr << "dial-up: cannot record the connection: " << e.what() << '\n';
        backend->HangUp(*name, Pump());
        return false;
    }
}

bool HangUpConnection(std::int32_t id) {
    if (id <= 0) {
        return false;
    }
    try {
        return HangUpRecords([id](const DialupRecord& r) { return r.id == id; });
    } catch (const std::runtime_error&) {
        return false;
    }
}

bool HangUpAutodialConnection() {
    try {
        return HangUpRecords([](const DialupRecord& r) { return r.autodial; });
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::vector<DialupRecord> ListDialupRecords() {
    try {
        return ReadRecords(RecordFolder());
    } catch (const std::runtime_error&) {
        return {};
    }
}

} // namespace platform

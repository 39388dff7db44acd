// tolvar-ipc: watches and drives the two programs' message protocol on the bus.
//
//   tolvar-ipc monitor                 opens a window and prints every protocol message
//                                      it receives, one line each, until interrupted
//   tolvar-ipc [--saver H] [--ctrl H] send NAME [PARAM]
//                                      sends one message the way its sender does
//                                      (--saver/--ctrl: the windows the sender knows)
//   tolvar-ipc windows                 lists the live windows: handle, process id, program
//
// Exit status 0 on success, 1 when the bus cannot be used, 2 on a usage error.

#include "common/tolvaripc.h"
#include "platform/bus.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

platform::Bus* gMonitorBus = nullptr;

void StopMonitor(int) {
    if (gMonitorBus != nullptr) {
        gMonitorBus->Quit(); // an atomic store and a write: safe in a signal handler
    }
}

const std::map<std::int64_t, const char*>& CodeNames() {
    static const std::map<std::int64_t, const char*> names = {
        {IPC_CONTENT_CHANGED, "IPC_CONTENT_CHANGED"},
        {IPC_CANCEL_RELOAD, "IPC_CANCEL_RELOAD"},
        {IPC_DIAL_REQUEST, "IPC_DIAL_REQUEST"},
        {IPC_ASK_LAN, "IPC_ASK_LAN"},
        {IPC_HELLO, "IPC_HELLO"},
        {IPC_SYNC_REQUEST, "IPC_SYNC_REQUEST"},
        {IPC_SETTINGS_FOLLOWUP, "IPC_SETTINGS_FOLLOWUP"},
        {IPC_CONNECTION_READY, "IPC_CONNECTION_READY"},
        {IPC_NO_CONNECTION, "IPC_NO_CONNECTION"},
        {IPC_RELOAD_AND_SYNC, "IPC_RELOAD_AND_SYNC"},
        {IPC_SETTINGS_CHANGED, "IPC_SETTINGS_CHANGED"},
        {IPC_QUIT, "IPC_QUIT"},
        {IPC_SYNC_NOW, "IPC_SYNC_NOW"},
    };
    return names;
}

// One line for a protocol message; empty for anything else.
std::string Describe(const platform::Message& m) {
    const std::string first = " first=" + std::to_string(m.first);
    if (m.number == platform::kCopyDataMessage) {
        const char* name = m.dataCode == IPC_DATA_URL   ? "IPC_DATA_URL"
                           : m.dataCode == IPC_DATA_LOG ? "IPC_DATA_LOG"
                                                        : nullptr;
        const std::size_t zero = m.data.find('\0');
        const std::string text = m.data.substr(0, zero);
        if (name == nullptr) {
            return "copy-data code=" + std::to_string(m.dataCode) + first +
                   " bytes=" + std::to_string(m.data.size());
        }
        return std::string(name) + first + " text=" + text;
    }
    if (m.number != platform::RegisterMessage(IPC_MESSAGE_NAME)) {
        return {};
    }
    if ((m.second & ~std::int64_t{0x3FF}) == 0) {
        char status[96];
        std::snprintf(status, sizeof status, "IPC_STATUS 0x%02llx%s syncing=%d online=%d",
                      static_cast<unsigned long long>(m.second), first.c_str(),
                      (m.second & IPC_STATUS_SYNCING) != 0, (m.second & IPC_STATUS_ONLINE) != 0);
        return status;
    }
    auto it = CodeNames().find(m.second);
    if (it != CodeNames().end()) {
        return it->second + first;
    }
    char unknown[64];
    std::snprintf(unknown, sizeof unknown, "unknown code 0x%llx",
                  static_cast<unsigned long long>(m.second));
    return unknown + first;
}

int Monitor() {
    platform::Bus bus;
    const platform::WindowHandle window =
        bus.CreateWindow([](platform::WindowHandle, const platform::Message& m) -> std::int64_t {
            const std::string line = Describe(m);
            if (!line.empty()) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
            }
            return 0;
        });
    gMonitorBus = &bus;
    std::signal(SIGINT, StopMonitor);
    std::signal(SIGTERM, StopMonitor);
    std::printf("monitor window %lld\n", static_cast<long long>(window));
    std::fflush(stdout);
    bus.Run();
    gMonitorBus = nullptr;
    return 0;
}

bool ParseNumber(const std::string& text, std::int64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 0);
    return !text.empty() && errno == 0 && *end == '\0';
}

int Usage(const char* message) {
    std::fprintf(stderr,
                 "tolvar-ipc: %s\nusage: tolvar-ipc monitor\n"
                 "       tolvar-ipc [--saver HANDLE] [--ctrl HANDLE] send NAME [PARAM]\n"
                 "       tolvar-ipc windows\n",
                 message);
    return 2;
}

int Send(const std::string& name, const std::vector<std::string>& params) {
    const std::string param = params.empty() ? "" : params[0];
    std::int64_t number = 0;
    const bool numeric = !param.empty() && ParseNumber(param, number);
    if (!param.empty() && !numeric && name != "IPC_DATA_URL" && name != "IPC_DATA_LOG") {
        return Usage(("not a number: " + param).c_str());
    }
    // Codes that no program sends are broadcast with PARAM (else 0) as first parameter.
    auto raw = [&](std::int64_t code) {
        return [code, number] {
            platform::Bus::Instance()->Broadcast({IpcMessageId(), number, code});
        };
    };
    const std::map<std::string, std::function<void()>> senders = {
        {"IPC_STATUS",
         [number, numeric] {
             const std::int64_t word = numeric ? number : IPC_STATUS_BASE;
             IpcSendStatus((word & IPC_STATUS_ONLINE) != 0, (word & IPC_STATUS_SYNCING) != 0);
         }},
        {"IPC_CONTENT_CHANGED", IpcSendContentChanged},
        {"IPC_CANCEL_RELOAD", raw(IPC_CANCEL_RELOAD)},
        {"IPC_DIAL_REQUEST", IpcRequestSaverDial},
        {"IPC_ASK_LAN", IpcRequestSaverAskLan},
        {"IPC_HELLO", IpcKeepAlive},
        {"IPC_SYNC_REQUEST", IpcRequestSync},
        {"IPC_SETTINGS_FOLLOWUP", raw(IPC_SETTINGS_FOLLOWUP)},
        {"IPC_CONNECTION_READY",
         [number, numeric] {
             IpcReportConnectionReady(numeric ? static_cast<std::int32_t>(number) : -1);
         }},
        {"IPC_NO_CONNECTION", IpcReportNoConnection},
        {"IPC_RELOAD_AND_SYNC", IpcBroadcastReload},
        {"IPC_SETTINGS_CHANGED", IpcBroadcastSettingsChanged},
        {"IPC_QUIT", IpcBroadcastQuit},
        {"IPC_SYNC_NOW", IpcBroadcastSyncRequest},
        {"IPC_DATA_URL", [param] { IpcSendURL(param); }},
        {"IPC_DATA_LOG", [param] { IpcSendLogText(param); }},
    };
    auto it = senders.find(name);
    if (it == senders.end()) {
        return Usage(("unknown message name: " + name).c_str());
    }
    it->second();
    return 0;
}

std::string ProgramOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name.empty() ? "?" : name;
}

int Windows(platform::Bus& bus) {
    for (const auto& w : bus.Windows()) {
        std::printf("%lld %d %s\n", static_cast<long long>(w.handle), static_cast<int>(w.pid),
                    w.pid > 0 ? ProgramOf(w.pid).c_str() : "(busy)");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::int64_t saver = 0;
    std::int64_t ctrl = 0;
    std::size_t i = 0;
    while (i + 1 < args.size() && (args[i] == "--saver" || args[i] == "--ctrl")) {
        std::int64_t& target = args[i] == "--saver" ? saver : ctrl;
        if (!ParseNumber(args[i + 1], target) || target <= 0) {
            return Usage(("not a window handle: " + args[i + 1]).c_str());
        }
        i += 2;
    }
    if (i >= args.size()) {
        return Usage("no command");
    }
    const std::string command = args[i++];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    try {
        if (command == "monitor" && rest.empty()) {
            return Monitor();
        }
        if (command == "windows" && rest.empty()) {
            platform::Bus bus;
            return Windows(bus);
        }
        if (command == "send" && (rest.size() == 1 || rest.size() == 2)) {
            platform::Bus bus;
            IpcAttach(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
            SaverWnd = saver;
            CtrlWnd = ctrl;
            return Send(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvar-ipc: %s\n", e.what());
        return 1;
    }
    return Usage(("bad command: " + command).c_str());
}

#pragma once

// Shared by tolvaripc_test and tolvaripc_helper: binds handler slots that record their
// calls as text, and describes one dispatched message as a line.

#include "common/tolvaripc.h"

#include <string>
#include <vector>

namespace ipchelper {

enum class Role { All, Saver, Ctrl };

// The handlers that each program binds, or all sixteen.
inline void BindHandlers(Role role, std::vector<std::string>& calls) {
    IpcHandlers = {};
    auto flag = [&calls](const char* name) {
        return [&calls, name](bool on) {
            calls.push_back(std::string(name) + "=" + (on ? "1" : "0"));
        };
    };
    auto plain = [&calls](const char* name) { return [&calls, name] { calls.push_back(name); }; };
    auto text = [&calls](const char* name) {
        return
            [&calls, name](const std::string& t) { calls.push_back(std::string(name) + "=" + t); };
    };
    const bool all = role == Role::All;
    const bool saver = all || role == Role::Saver;
    const bool ctrl = all || role == Role::Ctrl;
    if (saver) {
        IpcHandlers.OnSettingsChanged = plain("SettingsChanged");
        IpcHandlers.OnReloadAndSync = plain("ReloadAndSync");
        IpcHandlers.OnContentChanged = plain("ContentChanged");
        IpcHandlers.OnCancelReload = plain("CancelReload");
        IpcHandlers.OnStatusSyncing = flag("StatusSyncing");
        IpcHandlers.OnStatusOnline = flag("StatusOnline");
        IpcHandlers.OnDialRequest = plain("DialRequest");
        IpcHandlers.OnQuit = plain("Quit");
    }
    if (ctrl) {
        IpcHandlers.OnHello = plain("Hello");
        IpcHandlers.OnSyncRequest = plain("SyncRequest");
        IpcHandlers.OnDataUrl = text("DataUrl");
        IpcHandlers.OnDataLog = text("DataLog");
        IpcHandlers.OnQuit = plain("Quit");
        IpcHandlers.OnSyncNow = plain("SyncNow");
        IpcHandlers.OnConnectionReady = [&calls](std::int32_t id) {
            calls.push_back("ConnectionReady=" + std::to_string(id));
        };
        IpcHandlers.OnNoConnection = plain("NoConnection");
        IpcHandlers.OnSettingsChanged = plain("SettingsChanged");
    }
    if (all) {
        IpcHandlers.OnAskLan = plain("AskLan");
    }
}

// "<kind> <first> <handled> <calls>", kind being the code in hex ("0x481"), "copy<code>"
// for copy-data or "other<number>".
inline std::string Describe(const platform::Message& m, bool handled,
                            const std::vector<std::string>& calls) {
    char kind[32];
    if (m.number == platform::kCopyDataMessage) {
        std::snprintf(kind, sizeof kind, "copy%llu", static_cast<unsigned long long>(m.dataCode));
    } else if (m.number == IpcMessageId()) {
        std::snprintf(kind, sizeof kind, "0x%llx", static_cast<unsigned long long>(m.second));
    } else {
        std::snprintf(kind, sizeof kind, "other%u", m.number);
    }
    std::string joined;
    for (const auto& c : calls) {
        joined += (joined.empty() ? "" : ",") + c;
    }
    return std::string(kind) + " " + std::to_string(m.first) + " " + (handled ? "1" : "0") + " " +
           (joined.empty() ? "-" : joined);
}

} // namespace ipchelper

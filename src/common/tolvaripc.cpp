#include "common/tolvaripc.h"

#include "platform/registry.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <set>

IpcHandlerSlots IpcHandlers;
std::atomic<platform::WindowHandle> SaverWnd{0};
std::atomic<platform::WindowHandle> CtrlWnd{0};

namespace {

using platform::Bus;
using platform::Hive;
using platform::Message;
using platform::WindowHandle;

std::string gQueueKeyPath;
std::string gMessageName;
std::atomic<std::uint32_t> gMessageId{0};
int gCountdown = 0;

Message ProtocolMessage(WindowHandle first, std::int64_t code) {
    return Message(gMessageId.load(), first, code);
}

void Broadcast(WindowHandle first, std::int64_t code) {
    if (Bus* bus = Bus::Instance()) {
        bus->Broadcast(ProtocolMessage(first, code));
    }
}

void Post(WindowHandle target, WindowHandle first, std::int64_t code) {
    if (Bus* bus = Bus::Instance()) {
        bus->Post(target, ProtocolMessage(first, code));
    }
}

// Posted to target, else broadcast.
void PostOrBroadcast(WindowHandle target, WindowHandle first, std::int64_t code) {
    if (target != 0) {
        Post(target, first, code);
    } else {
        Broadcast(first, code);
    }
}

// Nine calls out of ten post to a known target, the tenth broadcasts; without a target
// only every tenth call (the first included) sends anything.
void Countdown(WindowHandle target, WindowHandle first, std::int64_t code) {
    --gCountdown;
    if (target != 0 && gCountdown > 0) {
        Post(target, first, code);
    } else if (gCountdown <= 0) {
        Broadcast(first, code);
        gCountdown = 10;
    }
}

// The number after "URL", or 0 when the rest is not a plain decimal number that fits.
std::uint64_t QueueNumber(const std::string& name) {
    const char* begin = name.data() + 3;
    const char* end = name.data() + name.size();
    std::uint64_t number = 0;
    auto [ptr, ec] = std::from_chars(begin, end, number);
    if (begin == end || ec != std::errc() || ptr != end) {
        return 0;
    }
    return number;
}

bool IsQueueName(const std::string& name) {
    return name.compare(0, 3, "URL") == 0;
}

void QueueUrl(const std::string& text) {
    try {
        auto key = platform::RegistryKey::Open(Hive::LocalMachine, gQueueKeyPath,
                                               platform::Access::ReadWrite, true);
        if (!key) {
            return; // no write access: the URL is dropped
        }
        std::uint64_t highest = 0;
        std::set<std::uint64_t> used;
        for (const std::string& name : key->ValueNames()) {
            if (IsQueueName(name)) {
                const std::uint64_t n = QueueNumber(name);
                used.insert(n);
                highest = std::max(highest, n);
            }
        }
        std::uint64_t next = highest + 1;
        if (highest == std::numeric_limits<std::uint64_t>::max()) {
            // The highest number cannot grow: take the smallest one that is free.
            next = 1;
            while (used.count(next) != 0) {
                ++next;
            }
        }
        key->WriteString("URL" + std::to_string(next), text);
    } catch (const platform::RegistryError&) {
        // The queue cannot be written: the URL is dropped, as when the key cannot open.
    }
}

// The program's application window, the first parameter of its log lines: the saver's
// own SaverWnd; the control program has no other than its main window.
WindowHandle ApplicationWindow() {
    const WindowHandle saver = SaverWnd.load();
    return saver != 0 ? saver : CtrlWnd.load();
}

template <typename Handler, typename... Args> void Call(const Handler& handler, Args&&... args) {
    if (handler) {
        handler(std::forward<Args>(args)...);
    }
}

} // namespace

void IpcAttach(const std::string& queueKeyPath, const std::string& messageName) {
    gQueueKeyPath = queueKeyPath;
    gMessageName = messageName;
    gMessageId = platform::RegisterMessage(messageName);
    gCountdown = 0;
}

void IpcInit(const std::string& queueKeyPath, const std::string& messageName) {
    platform::DeleteRegistryKey(Hive::LocalMachine, queueKeyPath);
    IpcAttach(queueKeyPath, messageName);
}

std::uint32_t IpcMessageId() {
    return gMessageId.load();
}

bool IpcDispatch(const Message& message) {
    if (message.number == platform::kCopyDataMessage) {
        if (message.dataCode != IPC_DATA_URL && message.dataCode != IPC_DATA_LOG) {
            return false;
        }
        // The text ends at the first zero byte, and never later than the byte count.
        const char* bytes = message.data.data();
        const void* zero = std::memchr(bytes, '\0', message.data.size());
        const std::size_t length =
            zero != nullptr ? static_cast<const char*>(zero) - bytes : message.data.size();
        const std::string text(bytes, length);
        if (message.dataCode == IPC_DATA_URL) {
            Call(IpcHandlers.OnDataUrl, text);
        } else {
            Call(IpcHandlers.OnDataLog, text);
        }
        return true;
    }
    if (gMessageId.load() == 0 || message.number != gMessageId.load()) {
        return false;
    }
    const std::int64_t code = message.second;
    if ((code & ~std::int64_t{0x3FF}) == 0) {
        if (IpcHandlers.OnStatusSyncing) {
            CtrlWnd = message.first;
            IpcHandlers.OnStatusSyncing((code & IPC_STATUS_SYNCING) != 0);
        }
        if (IpcHandlers.OnStatusOnline) {
            CtrlWnd = message.first;
            IpcHandlers.OnStatusOnline((code & IPC_STATUS_ONLINE) != 0);
        }
        return true;
    }
    switch (code) {
    case IPC_CONTENT_CHANGED:
    case IPC_CANCEL_RELOAD: {
        auto& handler =
            code == IPC_CONTENT_CHANGED ? IpcHandlers.OnContentChanged : IpcHandlers.OnCancelReload;
        if (handler) {
            CtrlWnd = message.first;
            handler();
        }
        break;
    }
    case IPC_CONNECTION_READY:
        Call(IpcHandlers.OnConnectionReady, static_cast<std::int32_t>(message.first));
        break;
    case IPC_DIAL_REQUEST:
        Call(IpcHandlers.OnDialRequest);
        break;
    case IPC_ASK_LAN:
        Call(IpcHandlers.OnAskLan);
        break;
    case IPC_HELLO:
        Call(IpcHandlers.OnHello);
        break;
    case IPC_SYNC_REQUEST:
        Call(IpcHandlers.OnSyncRequest);
        break;
    case IPC_NO_CONNECTION:
        Call(IpcHandlers.OnNoConnection);
        break;
    case IPC_RELOAD_AND_SYNC:
        Call(IpcHandlers.OnReloadAndSync);
        break;
    case IPC_SETTINGS_CHANGED:
        Call(IpcHandlers.OnSettingsChanged);
        break;
    case IPC_QUIT:
        Call(IpcHandlers.OnQuit);
        break;
    case IPC_SYNC_NOW:
        Call(IpcHandlers.OnSyncNow);
        break;
    default:
        break; // unknown codes are still the protocol's
    }
    return true;
}

void IpcKeepAlive() {
    Countdown(CtrlWnd.load(), SaverWnd.load(), IPC_HELLO);
}

void IpcSendStatus(bool online, bool syncing) {
    std::int64_t status = IPC_STATUS_BASE;
    if (online) {
        status |= IPC_STATUS_ONLINE;
    }
    if (syncing) {
        status |= IPC_STATUS_SYNCING;
    }
    Countdown(SaverWnd.load(), CtrlWnd.load(), status);
}

void IpcRequestSync() {
    PostOrBroadcast(CtrlWnd.load(), SaverWnd.load(), IPC_SYNC_REQUEST);
}

void IpcSendContentChanged() {
    PostOrBroadcast(SaverWnd.load(), CtrlWnd.load(), IPC_CONTENT_CHANGED);
}

void IpcBroadcastReload() {
    Broadcast(SaverWnd.load(), IPC_RELOAD_AND_SYNC);
}

void IpcBroadcastSettingsChanged() {
    Broadcast(SaverWnd.load(), IPC_SETTINGS_CHANGED);
    Broadcast(SaverWnd.load(), IPC_SETTINGS_FOLLOWUP);
}

void IpcReportConnectionReady(std::int32_t connectionId) {
    Broadcast(connectionId, IPC_CONNECTION_READY);
}

void IpcReportNoConnection() {
    Broadcast(SaverWnd.load(), IPC_NO_CONNECTION);
}
void IpcBroadcastQuit() {
    Broadcast(SaverWnd.load(), IPC_QUIT);
}
void IpcBroadcastSyncRequest() {
    Broadcast(SaverWnd.load(), IPC_SYNC_NOW);
}
void IpcRequestSaverAskLan() {
    Broadcast(SaverWnd.load(), IPC_ASK_LAN);
}
void IpcRequestSaverDial() {
    Broadcast(SaverWnd.load(), IPC_DIAL_REQUEST);
}

void IpcSendURL(const std::string& text) {
    const WindowHandle ctrl = CtrlWnd.load();
    if (ctrl != 0) {
        Bus* bus = Bus::Instance();
        const std::string bytes = text + '\0';
        const auto result =
            bus != nullptr
                ? bus->Send(ctrl, platform::CopyDataMessage(SaverWnd.load(), IPC_DATA_URL, bytes))
                : platform::SendResult{};
        // Queued when it certainly did not arrive (the control program has ended), so the
        // link is not lost; a send without answer may still arrive and is not repeated.
        if (result.status != platform::SendStatus::NotDelivered) {
            return;
        }
    }
    QueueUrl(text);
}

void IpcSendLogText(const std::string& text) {
    const WindowHandle ctrl = CtrlWnd.load();
    Bus* bus = Bus::Instance();
    if (ctrl == 0 || bus == nullptr) {
        return;
    }
    bus->Send(ctrl, platform::CopyDataMessage(ApplicationWindow(), IPC_DATA_LOG, text + '\0'));
}

void IpcReadUrlQueue(std::vector<std::string>& list) {
    std::optional<platform::RegistryKey> key;
    try {
        key = platform::RegistryKey::Open(Hive::LocalMachine, gQueueKeyPath,
                                          platform::Access::ReadWrite, false);
    } catch (const platform::RegistryError&) {
        return;
    }
    if (!key) {
        return;
    }
    for (const std::string& name : key->ValueNames()) {
        if (!IsQueueName(name)) {
            continue;
        }
        try {
            const auto type = key->TypeOf(name);
            if (type == platform::ValueType::String || type == platform::ValueType::ExpandString) {
                list.push_back(key->ReadString(name));
            }
            // A value that is not a string is deleted unread, so it cannot block the
            // queue on every poll.
            key->DeleteValue(name);
        } catch (const platform::RegistryError&) {
            // Gone meanwhile (another reader) or not writable: go on with the rest.
        }
    }
}

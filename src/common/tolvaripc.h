#pragma once

// The inter-program message protocol of Tolvar and TolvarCtrl: one registered message
// that carries a code in its second parameter and the sender's window in its first,
// copy-data messages that carry a URL or a log line, and a queue of URLs in the machine
// hive for the time the saver does not know the control program's window.
//
// Module state, one set per process: the queue key path and message name given to
// IpcInit, the registered number, SaverWnd, CtrlWnd, the countdown and the handler
// slots (IpcHandlers). The owning forms set SaverWnd, CtrlWnd and the handlers directly.
//
// Threads: IpcInit, IpcDispatch, the handlers, the countdown senders (IpcKeepAlive,
// IpcSendStatus) and IpcReadUrlQueue run on the main thread; the other senders may also
// be called from a worker thread (the fetch thread's log lines and content-changed
// broadcast), which the message bus hands to the main thread. SaverWnd and CtrlWnd are
// atomic because worker threads read them.
//
// Broadcasts are sends to every window (both programs receive their own); directed
// messages are posts; copy-data messages are sends. All use the process's
// platform::Bus; without one, nothing is sent.

#include "platform/bus.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Status word bits (codes 0x000-0x3FF).
inline constexpr std::int64_t IPC_STATUS_BASE = 0x01;
inline constexpr std::int64_t IPC_STATUS_SYNCING = 0x02;
inline constexpr std::int64_t IPC_STATUS_ONLINE = 0x08;

// Codes of the registered message (second parameter).
inline constexpr std::int64_t IPC_CONTENT_CHANGED = 0x400;
inline constexpr std::int64_t IPC_CANCEL_RELOAD = 0x401;
inline constexpr std::int64_t IPC_DIAL_REQUEST = 0x402;
inline constexpr std::int64_t IPC_ASK_LAN = 0x403;
inline constexpr std::int64_t IPC_HELLO = 0x480;
inline constexpr std::int64_t IPC_SYNC_REQUEST = 0x481;
inline constexpr std::int64_t IPC_SETTINGS_FOLLOWUP = 0x483;
inline constexpr std::int64_t IPC_CONNECTION_READY = 0x484;
inline constexpr std::int64_t IPC_NO_CONNECTION = 0x485;
inline constexpr std::int64_t IPC_RELOAD_AND_SYNC = 0x500;
inline constexpr std::int64_t IPC_SETTINGS_CHANGED = 0x501;
inline constexpr std::int64_t IPC_QUIT = 0x580;
inline constexpr std::int64_t IPC_SYNC_NOW = 0x583;

// Data codes of the copy-data messages.
inline constexpr std::uint64_t IPC_DATA_URL = 0;
inline constexpr std::uint64_t IPC_DATA_LOG = 0x400;

// What both programs give IpcInit.
inline constexpr const char* IPC_QUEUE_KEY_PATH = "\\Software\\Brimwald\\Tolvar\\IPC";
inline constexpr const char* IPC_MESSAGE_NAME = "{5B1E3C7A-92D4-4F0B-A6C8-3D7E1F9042B6}";

// The handler slots, one per bound code; each empty at start. Set by the owning form.
struct IpcHandlerSlots {
    std::function<void(bool)> OnStatusSyncing; // IPC_STATUS_SYNCING bit of a status word
    std::function<void(bool)> OnStatusOnline;  // IPC_STATUS_ONLINE bit of a status word
    std::function<void()> OnContentChanged;
    std::function<void()> OnCancelReload;
    std::function<void()> OnDialRequest;
    std::function<void()> OnAskLan;
    std::function<void()> OnHello;
    std::function<void()> OnSyncRequest;
    std::function<void(std::int32_t)> OnConnectionReady; // the connection id
    std::function<void()> OnNoConnection;
    std::function<void()> OnReloadAndSync;
    std::function<void()> OnSettingsChanged;
    std::function<void()> OnQuit;
    std::function<void()> OnSyncNow;
    std::function<void(const std::string&)> OnDataUrl; // the URL text
    std::function<void(const std::string&)> OnDataLog; // the log line
};

extern IpcHandlerSlots IpcHandlers;
// The saver's application window (never set in the control program).
extern std::atomic<platform::WindowHandle> SaverWnd;
// The control program's main window: set by the control program, learned by the saver.
extern std::atomic<platform::WindowHandle> CtrlWnd;

// Keeps both texts, deletes the queue key in the machine hive with everything in it,
// registers the message and keeps its number; starts the countdown afresh.
void IpcInit(const std::string& queueKeyPath, const std::string& messageName);
// IpcInit without deleting the queue: for tools that watch or drive a running pair.
void IpcAttach(const std::string& queueKeyPath, const std::string& messageName);
// The registered number kept by IpcInit (0 before).
std::uint32_t IpcMessageId();

// True when the message belongs to the protocol (then the caller's window procedure
// stops); calls the bound handler. Main thread.
bool IpcDispatch(const platform::Message& message);

// Send operations (see the transports in tolvaripc.cpp).
void IpcKeepAlive();
void IpcRequestSync();
void IpcBroadcastReload();
void IpcBroadcastSettingsChanged();
void IpcReportConnectionReady(std::int32_t connectionId);
void IpcReportNoConnection();
void IpcSendURL(const std::string& text);
void IpcSendLogText(const std::string& text);
void IpcSendStatus(bool online, bool syncing);
void IpcSendContentChanged();
void IpcBroadcastQuit();
void IpcBroadcastSyncRequest();
void IpcRequestSaverAskLan();
void IpcRequestSaverDial();

// Appends the queued URLs to list (in the registry's enumeration order) and removes
// them from the registry.
void IpcReadUrlQueue(std::vector<std::string>& list);

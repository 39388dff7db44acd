#pragma once

// The message bus, in place of the system's window messages: windows with handles,
// registered messages, post, send, broadcast, notify broadcast and copy-data, between
// the processes of one user over Unix-domain stream sockets (one frame per connection,
// see busframe.h).
//
// Windows. A window is an address: a handle (positive, unique for the user and never
// reused, so a stale handle never reaches a new window) and an endpoint, a socket named
// after the handle in PrivateRuntimeFolder("bus"), a 0700 folder whose owner is checked
// (runtimefolder.h). Every window is top-level: a hidden utility window is a window that
// is never shown, and broadcasts reach it too. A window's procedure runs on the main
// thread of the process that made it.
//
// Bounds (no call waits longer):
//   - Send waits at most kSendTimeout for one window: to connect, to hand over the
//     message and for the answer. A dead window (its process has ended) is seen at once,
//     skipped, and its endpoint removed; a hung one (stopped, or busy in a handler) costs
//     at most kSendTimeout, after which the send counts as not answered.
//   - Broadcast sends to the windows one after another, so it takes at most
//     kSendTimeout per hung window; dead windows cost nothing.
//   - Post and NotifyBroadcast never wait: a message for a full queue (kQueueLimit
//     local messages, or a receiver whose socket backlog is full) or a dead window is
//     dropped.
//
// Delivery. Messages reach window procedures only on the main thread (the thread that
// made the Bus), from its event loop: Run or RunUntil for tools and tests, or, for a
// host loop such as Qt's, a watcher on EventFd() that calls ProcessPending() whenever
// the descriptor is readable (level-triggered; ProcessPending never blocks). Messages
// from one process are delivered in the order it sent them. A send from the main thread to
// one of its own windows calls the procedure at once; a send from another thread of the
// process is handed to the main thread in order and waits for the result. While a
// thread waits in a send, the main thread handles the sends addressed to its own
// windows (not the posts), so two programs that send to each other at the same moment
// neither deadlock nor time out.
//
// Ownership and threads: one Bus per process (Instance()), made and destroyed on the
// main thread; windows are created and destroyed there. Post, Send, Broadcast,
// NotifyBroadcast, Windows and Quit are safe from any thread while the Bus lives; stop
// other threads before destroying it. Not copyable.

#include "platform/uniquefd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace platform {

// A window handle; 0 is no window.
using WindowHandle = std::int64_t;

// The copy-data message: first = the sender's window, dataCode and data carry the record.
inline constexpr std::uint32_t kCopyDataMessage = 0x004A;
// Registered messages take numbers from this range (16 bits, as the callers store them).
inline constexpr std::uint32_t kFirstRegisteredMessage = 0xC000;
inline constexpr std::uint32_t kLastRegisteredMessage = 0xFFFF;

struct Message {
    Message() = default;
    Message(std::uint32_t number_, std::int64_t first_ = 0, std::int64_t second_ = 0)
        : number(number_), first(first_), second(second_) {}

    std::uint32_t number = 0;
    std::int64_t first = 0;
    std::int64_t second = 0;
    // Copy-data only: the data code and the bytes; data.size() is the byte count.
    std::uint64_t dataCode = 0;
    std::string data;
};

// A copy-data message from sender with the given data code and bytes.
Message CopyDataMessage(WindowHandle sender, std::uint64_t dataCode, std::string_view bytes);

// The message number of a registered name: the same in every process, computed from the
// name alone (letter case ignored), in [kFirstRegisteredMessage, kLastRegisteredMessage].
std::uint32_t RegisterMessage(std::string_view name);

// A window procedure: the window, the message; returns the send's result.
using WindowProcedure = std::function<std::int64_t(WindowHandle window, const Message& message)>;

// The bus cannot start or a window cannot be made (folder not private, socket error).
class BusError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SendStatus {
    Handled,      // the window procedure ran; result holds its answer
    NotDelivered, // certainly not handled: no such window, its process has ended, queue full
    NoAnswer,     // handed over but no answer within the bound (hung, or ended meanwhile)
};

struct SendResult {
    SendStatus status = SendStatus::NotDelivered;
    std::int64_t result = 0;
    bool Handled() const { return status == SendStatus::Handled; }
};

struct WindowInfo {
    WindowHandle handle = 0;
    pid_t pid = 0; // 0 when the window's process could not be asked (its queue is full)
};

class Bus {
public:
    static constexpr std::chrono::milliseconds kSendTimeout{2000};
    static constexpr std::size_t kQueueLimit = 10000;

    // Opens the bus folder; the calling thread becomes the main thread. Throws BusError
    // (folder not private, or a Bus exists already in this process).
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The process's Bus, or nullptr when none exists.
    static Bus* Instance();

    const std::string& Folder() const { return folder_; }
    bool IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

    // Main thread only. CreateWindow throws BusError when no endpoint can be made.
    WindowHandle CreateWindow(WindowProcedure procedure);
    void DestroyWindow(WindowHandle window);
    bool IsOwnWindow(WindowHandle window) const;

    // Any thread. True when the message was placed in the target's queue.
    bool Post(WindowHandle target, const Message& message);
    // Any thread. Waits for the target's answer (see the bounds above).
    SendResult Send(WindowHandle target, const Message& message);
    // Any thread. Sends to every window, the caller's own included, in handle order;
    // returns how many handled it.
    int Broadcast(const Message& message);
    // Any thread. Hands the message to every window without waiting (the caller's own
    // windows are handled at once on the main thread); returns how many it reached.
    int NotifyBroadcast(const Message& message);
    // Any thread. The live windows in handle order; endpoints of ended processes are
    // removed on the way.
    std::vector<WindowInfo> Windows();

    // The event-loop hook: readable whenever ProcessPending has work.
    int EventFd() const { return epoll_; }
    // Main thread. Delivers what is pending and returns without blocking.
    void ProcessPending();
    // Main thread. The plain loop: delivers until Quit is called.
    void Run();
    // Main thread. Delivers until done() holds (checked after each round) or timeout
    // passes; returns done().
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Any thread. Makes Run return.
    void Quit();

private:
    struct Window;
    struct Connection;
    // A send from another thread of this process, waiting for the main thread.
    struct LocalWait {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        SendResult result;
    };
    // One message waiting for delivery on the main thread.
    struct Item {
        WindowHandle target = 0;
        Message message;
        bool isSend = false;
        UniqueFd reply;                  // a remote send: the connection to answer on
        std::shared_ptr<LocalWait> wait; // a local send from another thread
    };

    WindowHandle AllocateHandle();
    std::string EndpointPath(WindowHandle window) const;
    std::shared_ptr<Window> FindWindow(WindowHandle window) const;
    std::vector<WindowHandle> ListHandles();

    bool PostLocal(Item item);
    SendResult SendLocal(WindowHandle target, const Message& message);
    bool PostRemote(WindowHandle target, const Message& message, bool notify);
    SendResult SendRemote(WindowHandle target, const Message& message);
    // A connected socket to target's endpoint, or -1 (no such window, ended, or busy).
    int Connect(WindowHandle target, bool wait, std::chrono::steady_clock::time_point deadline);
    bool WaitFd(int fd, short events, std::chrono::steady_clock::time_point deadline);

    void Wake();
    void PumpIncoming();
    void AcceptAll(int listenFd, WindowHandle window);
    void ReadConnection(int fd);
    void DropConnection(int fd);
    void Arrive(pid_t pid, std::uint64_t seq, Item item);
    void Release(pid_t pid);
    void Deliver(Item& item);
    void DeliverSends();

    std::thread::id mainThread_;
    std::string folder_;
    UniqueFd epollFd_;
    UniqueFd wakeFd_;
    int epoll_ = -1; // epollFd_.Get(), read by EventFd() from any thread
    std::atomic<bool> quit_{false};

    mutable std::mutex windowsMutex_;
    std::map<WindowHandle, std::shared_ptr<Window>> windows_;

    std::mutex localMutex_;
    std::deque<Item> localQueue_;

    // Main thread only.
    std::map<int, WindowHandle> listeners_;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::deque<Item> arrived_;
    // Per sending process, its messages by accept order; empty while still being read.
    std::map<pid_t, std::map<std::uint64_t, std::optional<Item>>> inOrder_;
    std::uint64_t acceptCount_ = 0;
};

} // namespace platform

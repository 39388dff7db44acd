#include "platform/bus.h"

#include "platform/busframe.h"
#include "platform/fileio.h"
#include "platform/runtimefolder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
namespace frame = busframe;

std::atomic<Bus*> gInstance{nullptr};

// Connections that never complete their frame are dropped after this long.
constexpr auto kConnectionLimitAge = std::chrono::milliseconds(2 * Bus::kSendTimeout);
constexpr std::size_t kMaxConnections = 1024;
// How often a send retries a receiver whose backlog is full.
constexpr auto kRetryStep = std::chrono::milliseconds(2);

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    // Round up so that a wait never ends just before its deadline and spins.
    return static_cast<int>(left.count()) + 1;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsSameUser(int fd, pid_t* pid = nullptr) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return false;
    }
    if (pid != nullptr) {
        *pid = cred.pid;
    }
    return cred.uid == ::geteuid();
}

// A name made of decimal digits only, as endpoints are named, without a leading zero.
bool ParseHandle(const char* name, WindowHandle& handle) {
    const char* end = name + std::strlen(name);
    if (name == end || *name == '0') {
        return false;
    }
    auto [ptr, ec] = std::from_chars(name, end, handle);
    return ec == std::errc() && ptr == end && handle > 0;
}

// Writes all bytes within the deadline; false on error or time-out.
bool WriteAll(int fd, const std::string& bytes, Clock::time_point deadline,
              const std::function<bool(Clock::time_point)>& waitWritable) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline)) {
            continue;
        }
        return false;
    }
    return true;
}

} // namespace

Message CopyDataMessage(WindowHandle sender, std::uint64_t dataCode, std::string_view bytes) {
    Message message;
    message.number = kCopyDataMessage;
    message.first = sender;
    message.dataCode = dataCode;
    message.data.assign(bytes);
    return message;
}

std::uint32_t RegisterMessage(std::string_view name) {
    // 64-bit FNV-1a of the lower-cased name, folded into the registered range.
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
        hash *= 1099511628211ull;
    }
    hash ^= hash >> 32;
    const std::uint32_t span = kLastRegisteredMessage - kFirstRegisteredMessage + 1;
    return kFirstRegisteredMessage + static_cast<std::uint32_t>(hash % span);
}

struct Bus::Window {
    WindowHandle handle = 0;
    WindowProcedure procedure;
    UniqueFd listener;
    std::string path;
};

struct Bus::Connection {
    UniqueFd fd;
    WindowHandle window = 0;
    pid_t pid = 0;         // the sending process
    std::uint64_t seq = 0; // accept order
    std::string buffer;
    Clock::time_point since;
};

Bus::Bus() : mainThread_(std::this_thread::get_id()) {
    try {
        folder_ = PrivateRuntimeFolder("bus");
    } catch (const RuntimeFolderError& e) {
        throw BusError(std::string("message bus: ") + e.what());
    }
    epollFd_.Reset(::epoll_create1(EPOLL_CLOEXEC));
    wakeFd_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epollFd_ || !wakeFd_) {
        throw BusError(Errno("message bus: cannot make its event descriptors"));
    }
    epoll_ = epollFd_.Get();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_.Get();
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_.Get(), &ev) != 0) {
        throw BusError(Errno("message bus: epoll_ctl"));
    }
    Bus* expected = nullptr;
    if (!gInstance.compare_exchange_strong(expected, this)) {
        throw BusError("message bus: a bus exists already in this process");
    }
}

Bus::~Bus() {
    std::vector<WindowHandle> own;
    {
        std::lock_guard lock(windowsMutex_);
        for (const auto& [handle, window] : windows_) {
            own.push_back(handle);
        }
    }
    for (WindowHandle handle : own) {
        DestroyWindow(handle);
    }
    // Senders waiting on this process learn at once that nobody will answer.
    {
        std::lock_guard lock(localMutex_);
        for (Item& item : localQueue_) {
            if (item.wait) {
                std::lock_guard waitLock(item.wait->mutex);
                item.wait->finished = true;
                item.wait->result = {SendStatus::NotDelivered, 0};
                item.wait->done.notify_all();
            }
        }
        localQueue_.clear();
    }
    arrived_.clear();
    inOrder_.clear();
    connections_.clear();
    gInstance.store(nullptr);
}

Bus* Bus::Instance() {
    return gInstance.load();
}

std::string Bus::EndpointPath(WindowHandle window) const {
    return folder_ + "/" + std::to_string(window);
}

WindowHandle Bus::AllocateHandle() {
    // One counter for the user, under a lock, so handles are unique across processes.
    // A missing counter starts from the clock in milliseconds, so handles stay unique
    // even when the runtime folder is emptied while old processes still run.
    const std::string counter = folder_ + "/handles";
    FileLock lock = FileLock::Acquire(counter + ".lock", FileLock::Mode::Exclusive, kSendTimeout);
    WindowHandle last = 0;
    if (auto text = ReadFile(counter)) {
        WindowHandle parsed = 0;
        auto [ptr, ec] = std::from_chars(text->data(), text->data() + text->size(), parsed);
        if (ec == std::errc() && parsed > 0) {
            last = parsed;
        }
        (void)ptr;
    }
    if (last == 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        last = static_cast<WindowHandle>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }
    const WindowHandle next = last + 1;
    AtomicWriteFile(counter, std::to_string(next), 0600);
    return next;
}

WindowHandle Bus::CreateWindow(WindowProcedure procedure) {
    if (!IsMainThread()) {
        throw BusError("message bus: windows are made on the main thread");
    }
    WindowHandle handle = 0;
    try {
        handle = AllocateHandle();
    } catch (const FileError& e) {
        throw BusError(std::string("message bus: no window handle: ") + e.what());
    }
    auto window = std::make_shared<Window>();
    window->handle = handle;
    window->procedure = std::move(procedure);
    window->path = EndpointPath(handle);

    // Bound and listening under a temporary name, then renamed into place: a connect
    // that is refused always means that the window's process has ended.
    const std::string temporary =
        folder_ + "/.new-" + std::to_string(::getpid()) + "-" + std::to_string(handle);
    sockaddr_un address{};
    if (!FillAddress(temporary, address)) {
        throw BusError("message bus: folder path too long for a socket: " + folder_);
    }
    window->listener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!window->listener) {
        throw BusError(Errno("message bus: socket"));
    }
    ::unlink(temporary.c_str());
    const mode_t oldMask = ::umask(0077);
    const int bound =
        ::bind(window->listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(oldMask);
    if (bound != 0 || ::listen(window->listener.Get(), SOMAXCONN) != 0 ||
        ::rename(temporary.c_str(), window->path.c_str()) != 0) {
        std::string error = Errno("message bus: cannot open the endpoint");
        ::unlink(temporary.c_str());
        throw BusError(error);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = window->listener.Get();
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, window->listener.Get(), &ev) != 0) {
        ::unlink(window->path.c_str());
        throw BusError(Errno("message bus: epoll_ctl"));
    }
    listeners_[window->listener.Get()] = handle;
    std::lock_guard lock(windowsMutex_);
    windows_[handle] = std::move(window);
    return handle;
}

void Bus::DestroyWindow(WindowHandle handle) {
    std::shared_ptr<Window> window;
    {
        std::lock_guard lock(windowsMutex_);
        auto it = windows_.find(handle);
        if (it == windows_.end()) {
            return;
        }
        window = std::move(it->second);
        windows_.erase(it);
    }
    // Unlinked before closing, so nobody meets a refusing endpoint of a live process.
    ::unlink(window->path.c_str());
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, window->listener.Get(), nullptr);
    listeners_.erase(window->listener.Get());
    window->listener.Reset();
}

bool Bus::IsOwnWindow(WindowHandle window) const {
    return FindWindow(window) != nullptr;
}

std::shared_ptr<Bus::Window> Bus::FindWindow(WindowHandle window) const {
    std::lock_guard lock(windowsMutex_);
    auto it = windows_.find(window);
    return it == windows_.end() ? nullptr : it->second;
}

void Bus::Wake() {
    const std::uint64_t one = 1;
    ssize_t n = ::write(wakeFd_.Get(), &one, sizeof one);
    (void)n; // a full counter is already readable
}

// ---- sending ----

bool Bus::Post(WindowHandle target, const Message& message) {
    if (target <= 0) {
        return false;
    }
    if (IsOwnWindow(target)) {
        Item item;
        item.target = target;
        item.message = message;
        return PostLocal(std::move(item));
    }
    return PostRemote(target, message, false);
}

bool Bus::PostLocal(Item item) {
    {
        std::lock_guard lock(localMutex_);
        if (localQueue_.size() >= kQueueLimit) {
            return false;
        }
        localQueue_.push_back(std::move(item));
    }
    Wake();
    return true;
}

SendResult Bus::Send(WindowHandle target, const Message& message) {
    if (target <= 0) {
        return {};
    }
    if (IsOwnWindow(target)) {
        return SendLocal(target, message);
    }
    return SendRemote(target, message);
}

SendResult Bus::SendLocal(WindowHandle target, const Message& message) {
    if (IsMainThread()) {
        Item item;
        item.target = target;
        item.message = message;
        item.isSend = true;
        auto wait = std::make_shared<LocalWait>();
        item.wait = wait;
        Deliver(item);
        return wait->result;
    }
    auto wait = std::make_shared<LocalWait>();
    Item item;
    item.target = target;
    item.message = message;
    item.isSend = true;
    item.wait = wait;
    if (!PostLocal(std::move(item))) {
        return {};
    }
    std::unique_lock lock(wait->mutex);
    if (!wait->done.wait_for(lock, kSendTimeout, [&] { return wait->finished; })) {
        return {SendStatus::NoAnswer, 0};
    }
    return wait->result;
}

int Bus::Connect(WindowHandle target, bool wait, Clock::time_point deadline) {
    const std::string path = EndpointPath(target);
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        return -1;
    }
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            return -1;
        }
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            if (!PeerIsSameUser(fd.Get())) {
                return -1;
            }
            return fd.Release();
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ECONNREFUSED) {
            // Nobody listens: the window's process has ended. Clean up after it.
            ::unlink(path.c_str());
            return -1;
        }
        if (errno != EAGAIN || !wait) {
            // No such window, or its backlog is full and the caller does not wait.
            return -1;
        }
        // Backlog full: the receiver is alive but behind. Retry within the bound,
        // handling our own incoming sends meanwhile; nothing is handed over until then.
        if (Clock::now() >= deadline) {
            return -1;
        }
        WaitFd(-1, 0, std::min(deadline, Clock::now() + kRetryStep));
    }
}

bool Bus::PostRemote(WindowHandle target, const Message& message, bool notify) {
    UniqueFd fd(Connect(target, false, Clock::now()));
    if (!fd) {
        return false;
    }
    frame::Frame f;
    f.kind = notify ? frame::Kind::Notify : frame::Kind::Post;
    f.target = target;
    f.message = message.number;
    f.first = message.first;
    f.second = message.second;
    f.dataCode = message.dataCode;
    if (message.data.size() > frame::kMaxFrameData) {
        return false;
    }
    f.data = message.data;
    const std::string bytes = frame::Encode(f);
    // A fresh connection's buffer takes a small frame at once; a post never waits, so a
    // frame that does not fit is dropped (the receiver discards the torn part).
    return WriteAll(fd.Get(), bytes, Clock::now(), [](Clock::time_point) { return false; });
}

SendResult Bus::SendRemote(WindowHandle target, const Message& message) {
    const auto deadline = Clock::now() + kSendTimeout;
    UniqueFd fd(Connect(target, true, deadline));
    if (!fd) {
        return {SendStatus::NotDelivered, 0};
    }
    if (message.data.size() > frame::kMaxFrameData) {
        return {};
    }
    frame::Frame f;
    f.kind = frame::Kind::Send;
    f.target = target;
    f.message = message.number;
    f.first = message.first;
    f.second = message.second;
    f.dataCode = message.dataCode;
    f.data = message.data;
    const std::string bytes = frame::Encode(f);
    const int raw = fd.Get();
    if (!WriteAll(raw, bytes, deadline,
                  [&](Clock::time_point until) { return WaitFd(raw, POLLOUT, until); })) {
        return {SendStatus::NoAnswer, 0};
    }
    std::string buffer;
    for (;;) {
        char chunk[256];
        ssize_t n = ::recv(raw, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            frame::Frame reply;
            auto decoded = frame::Decode(buffer, reply);
            if (decoded.status == frame::DecodeStatus::Invalid ||
                (decoded.status == frame::DecodeStatus::Complete &&
                 reply.kind != frame::Kind::Reply)) {
                return {SendStatus::NoAnswer, 0};
            }
            if (decoded.status == frame::DecodeStatus::Complete) {
                // second = 1 tells that the receiver had no such window any more.
                if (reply.second != 0) {
                    return {SendStatus::NotDelivered, 0};
                }
                return {SendStatus::Handled, reply.first};
            }
            continue;
        }
        if (n == 0) {
            return {SendStatus::NoAnswer, 0}; // the receiver ended while handling it
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFd(raw, POLLIN, deadline)) {
            continue;
        }
        return {SendStatus::NoAnswer, 0};
    }
}

bool Bus::WaitFd(int fd, short events, Clock::time_point deadline) {
    // While waiting, the main thread handles the sends addressed to its own windows, so
    // that a peer sending to us meanwhile never deadlocks against our own send.
    const bool pump = IsMainThread();
    struct RewakeOnExit { // NOLINT(cppcoreguidelines-special-member-functions): a local guard
        Bus& bus;
        bool active;
        // Posts that arrived meanwhile stay queued: keep the host loop's watcher awake.
        ~RewakeOnExit() {
            if (active && !bus.arrived_.empty()) {
                bus.Wake();
            }
        }
    } rewake{*this, pump};
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (fd >= 0) {
            fds[count++] = {fd, events, 0};
        }
        const nfds_t busIndex = count;
        if (pump) {
            fds[count++] = {epoll_, POLLIN, 0};
        }
        const int timeout = RemainingMs(deadline);
        if (count == 0) {
            if (timeout > 0) {
                ::usleep(static_cast<useconds_t>(std::min(timeout, 2) * 1000));
            }
            return false;
        }
        int n = ::poll(fds, count, timeout);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (fd >= 0 && fds[0].revents != 0) {
            return true;
        }
        if (pump && fds[busIndex].revents != 0) {
            PumpIncoming();
            DeliverSends();
        }
        if (fd < 0 || Clock::now() >= deadline) {
            return false;
        }
    }
}

int Bus::Broadcast(const Message& message) {
    int handled = 0;
    for (WindowHandle handle : ListHandles()) {
        if (Send(handle, message).Handled()) {
            ++handled;
        }
    }
    return handled;
}

int Bus::NotifyBroadcast(const Message& message) {
    int reached = 0;
    for (WindowHandle handle : ListHandles()) {
        bool ok = false;
        if (IsOwnWindow(handle)) {
            if (IsMainThread()) {
                ok = SendLocal(handle, message).Handled();
            } else {
                Item item;
                item.target = handle;
                item.message = message;
                ok = PostLocal(std::move(item));
            }
        } else {
            ok = PostRemote(handle, message, true);
        }
        if (ok) {
            ++reached;
        }
    }
    return reached;
}

std::vector<WindowHandle> Bus::ListHandles() {
    std::vector<WindowHandle> handles;
    DIR* dir = ::opendir(folder_.c_str());
    if (dir == nullptr) {
        return handles;
    }
    while (dirent* entry = ::readdir(dir)) {
        WindowHandle handle = 0;
        if (ParseHandle(entry->d_name, handle)) {
            handles.push_back(handle);
            continue;
        }
        // ".new-<pid>-<handle>": left behind by a process that died while opening a
        // window.
        if (std::strncmp(entry->d_name, ".new-", 5) == 0) {
            long pid = std::strtol(entry->d_name + 5, nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
        }
    }
    ::closedir(dir);
    std::sort(handles.begin(), handles.end());
    return handles;
}

std::vector<WindowInfo> Bus::Windows() {
    std::vector<WindowInfo> live;
    for (WindowHandle handle : ListHandles()) {
        if (IsOwnWindow(handle)) {
            live.push_back({handle, ::getpid()});
            continue;
        }
        const std::string path = EndpointPath(handle);
        sockaddr_un address{};
        if (!FillAddress(path, address)) {
            continue;
        }
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            continue;
        }
        int rc;
        do {
            rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            pid_t pid = 0;
            if (PeerIsSameUser(fd.Get(), &pid)) {
                live.push_back({handle, pid});
            }
        } else if (errno == ECONNREFUSED) {
            ::unlink(path.c_str());
        } else if (errno == EAGAIN) {
            live.push_back({handle, 0});
        }
    }
    return live;
}

// ---- receiving ----

void Bus::PumpIncoming() {
    epoll_event events[64];
    for (;;) {
        int n = ::epoll_wait(epoll_, events, 64, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeFd_.Get()) {
                std::uint64_t count = 0;
                ssize_t r = ::read(fd, &count, sizeof count);
                (void)r;
                std::lock_guard lock(localMutex_);
                while (!localQueue_.empty()) {
                    arrived_.push_back(std::move(localQueue_.front()));
                    localQueue_.pop_front();
                }
            } else if (auto it = listeners_.find(fd); it != listeners_.end()) {
                AcceptAll(fd, it->second);
            } else if (connections_.count(fd) != 0) {
                ReadConnection(fd);
            }
        }
        if (n < 64) {
            break;
        }
    }
    // Connections whose sender never finished its frame.
    const auto now = Clock::now();
    for (auto it = connections_.begin(); it != connections_.end();) {
        auto next = std::next(it);
        if (now - it->second->since > kConnectionLimitAge) {
            DropConnection(it->first);
        }
        it = next;
    }
}

void Bus::AcceptAll(int listenFd, WindowHandle window) {
    for (;;) {
        UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return; // EAGAIN: all taken; anything else: try again on the next round
        }
        pid_t pid = 0;
        if (!PeerIsSameUser(fd.Get(), &pid) || connections_.size() >= kMaxConnections) {
            continue;
        }
        const int raw = fd.Get();
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        connection->window = window;
        connection->pid = pid;
        connection->seq = ++acceptCount_;
        connection->since = Clock::now();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = raw;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, raw, &ev) != 0) {
            continue;
        }
        // A sender connects for its next message only after writing the last one, but we
        // may take a connection before its frame is written: messages of one sending
        // process are released in accept order (see Arrive).
        inOrder_[pid][connection->seq];
        connections_[raw] = std::move(connection);
        ReadConnection(raw);
    }
}

void Bus::DropConnection(int fd) {
    auto it = connections_.find(fd);
    if (it == connections_.end()) {
        return;
    }
    const pid_t pid = it->second->pid;
    const std::uint64_t seq = it->second->seq;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    connections_.erase(it);
    inOrder_[pid].erase(seq);
    Release(pid);
}

void Bus::Arrive(pid_t pid, std::uint64_t seq, Item item) {
    inOrder_[pid][seq] = std::move(item);
    Release(pid);
}

void Bus::Release(pid_t pid) {
    auto found = inOrder_.find(pid);
    if (found == inOrder_.end()) {
        return;
    }
    auto& waiting = found->second;
    while (!waiting.empty() && waiting.begin()->second) {
        Item item = std::move(*waiting.begin()->second);
        waiting.erase(waiting.begin());
        if (!item.isSend && arrived_.size() >= kQueueLimit) {
            continue; // the queue is full: the post is dropped
        }
        arrived_.push_back(std::move(item));
    }
    if (waiting.empty()) {
        inOrder_.erase(found);
    }
}

void Bus::ReadConnection(int fd) {
    Connection& connection = *connections_.at(fd);
    for (;;) {
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            connection.buffer.append(chunk, static_cast<std::size_t>(n));
            frame::Frame f;
            auto decoded = frame::Decode(connection.buffer, f);
            if (decoded.status == frame::DecodeStatus::Invalid ||
                (decoded.status == frame::DecodeStatus::Complete &&
                 (f.kind == frame::Kind::Reply || f.target != connection.window))) {
                DropConnection(fd);
                return;
            }
            if (decoded.status == frame::DecodeStatus::Incomplete) {
                continue;
            }
            Item item;
            item.target = f.target;
            item.message.number = f.message;
            item.message.first = f.first;
            item.message.second = f.second;
            item.message.dataCode = f.dataCode;
            item.message.data = std::move(f.data);
            item.isSend = f.kind == frame::Kind::Send;
            const pid_t pid = connection.pid;
            const std::uint64_t seq = connection.seq;
            if (item.isSend) {
                item.reply = std::move(connection.fd);
            }
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            connections_.erase(fd);
            Arrive(pid, seq, std::move(item));
            return;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // more later
        }
        DropConnection(fd); // closed before a whole frame, or an error
        return;
    }
}

void Bus::Deliver(Item& item) {
    std::shared_ptr<Window> window = FindWindow(item.target);
    SendResult result{SendStatus::NotDelivered, 0};
    if (window) {
        try {
            result = {SendStatus::Handled, window->procedure(item.target, item.message)};
        } catch (const std::exception& e) {
            // Nothing is thrown through the event loop; the message counts as handled.
            std::fprintf(stderr, "message bus: window procedure failed: %s\n", e.what());
            result = {SendStatus::Handled, 0};
        }
    }
    if (item.reply) {
        frame::Frame reply;
        reply.kind = frame::Kind::Reply;
        reply.target = item.target;
        reply.message = item.message.number;
        reply.first = result.result;
        reply.second = result.Handled() ? 0 : 1;
        const std::string bytes = frame::Encode(reply);
        // The sender waits for this; a small frame fits an empty socket buffer, and a
        // sender that gave up has closed its end (the error is ignored).
        ssize_t n =
            ::send(item.reply.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
        item.reply.Reset();
    }
    if (item.wait) {
        std::lock_guard lock(item.wait->mutex);
        item.wait->finished = true;
        item.wait->result = result;
        item.wait->done.notify_all();
    }
}

void Bus::DeliverSends() {
    for (;;) {
        auto it = std::find_if(arrived_.begin(), arrived_.end(),
                               [](const Item& item) { return item.isSend; });
        if (it == arrived_.end()) {
            return;
        }
        Item item = std::move(*it);
        arrived_.erase(it);
        Deliver(item);
    }
}

void Bus::ProcessPending() {
    PumpIncoming();
    // Only what has arrived by now: a handler that keeps posting cannot starve the host
    // loop, which calls again while the descriptor stays readable.
    std::size_t round = arrived_.size();
    while (round-- > 0 && !arrived_.empty()) {
        Item item = std::move(arrived_.front());
        arrived_.pop_front();
        Deliver(item);
    }
    if (!arrived_.empty()) {
        Wake();
    }
}

void Bus::Run() {
    while (!quit_.exchange(false)) {
        pollfd fd{epoll_, POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
            return;
        }
        ProcessPending();
    }
}

bool Bus::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    ProcessPending();
    while (!done()) {
        const int left = RemainingMs(deadline);
        if (left <= 0) {
            return done();
        }
        // Short slices, so a condition that another thread makes true is seen soon.
        pollfd fd{epoll_, POLLIN, 0};
        ::poll(&fd, 1, std::min(left, 10));
        ProcessPending();
    }
    return true;
}

void Bus::Quit() {
    quit_.store(true);
    Wake();
}

} // namespace platform

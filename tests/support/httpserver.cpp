#include "support/httpserver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tolvar::test {

namespace {

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

int LoopbackSocket(sockaddr_in& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return fd;
}

} // namespace

std::string HttpServerRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (EqualsNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

int HttpServerRequest::HeaderCount(const std::string& name) const {
    return static_cast<int>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) {
        return EqualsNoCase(h.first, name);
    }));
}

int UnusedLoopbackPort() {
    sockaddr_in address{};
    int fd = LoopbackSocket(address);
    ::close(fd);
    return ntohs(address.sin_port);
}

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {
    sockaddr_in address{};
    listenFd_ = LoopbackSocket(address);
    port_ = ntohs(address.sin_port);
    if (::listen(listenFd_, 128) != 0) {
        ::close(listenFd_);
        throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

HttpServer::~HttpServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    acceptThread_.join();
    for (Worker& worker : workers_) {
        worker.thread.join();
    }
    ::close(listenFd_);
    ::close(wakeFd_);
}

void HttpServer::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<HttpServerRequest> HttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t HttpServer::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpServer::PauseOrStop(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, time, [this] { return stopping_.load(); });
}

void HttpServer::AcceptLoop() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        // Finished connections are joined here so a long run does not pile up threads.
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->done) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
        Worker& worker = workers_.emplace_back();
        worker.thread = std::thread([this, fd, &worker] {
            Serve(fd);
            ::close(fd);
            worker.done = true;
        });
    }
}

bool HttpServer::SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void HttpServer::Serve(int fd) {
    std::string buffer;
    char chunk[16384];
    // Reads more bytes into buffer; false when the peer closed or the server stops.
    auto readMore = [&]() {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            buffer.append(chunk, static_cast<size_t>(n));
            return true;
        }
    };
    for (;;) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore()) {
                return;
            }
        }
        HttpServerRequest request;
        const std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const size_t s1 = requestLine.find(' ');
        const size_t s2 = requestLine.find(' ', s1 + 1);
        request.method = requestLine.substr(0, s1);
        request.target = requestLine.substr(s1 + 1, s2 - s1 - 1);
        size_t contentLength = 0;
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(start, lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) {
                continue;
            }
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            request.headers.emplace_back(line.substr(0, colon), value);
            if (EqualsNoCase(line.substr(0, colon), "Content-Length")) {
                contentLength = std::stoul(value);
            }
        }
        while (buffer.size() < contentLength) {
            if (!readMore()) {
                return;
            }
        }
        request.body = buffer.substr(0, contentLength);
        buffer.erase(0, contentLength);

        Handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            handler = handler_;
        }
        const HttpServerResponse response = handler(request);
        if (!Answer(fd, response)) {
            return;
        }
    }
}

bool HttpServer::Answer(int fd, const HttpServerResponse& r) {
    if (r.dropBeforeAnswer) {
        return false;
    }
    if (r.neverAnswer) {
        PauseOrStop(std::chrono::hours(24));
        return false;
    }
    if (r.headDelay.count() > 0 && PauseOrStop(r.headDelay)) {
        return false;
    }
    const std::uint64_t total = r.body.size() + r.generatedBytes;
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
    if (!r.contentType.empty()) {
        head += "Content-Type: " + r.contentType + "\r\n";
    }
    for (const std::string& line : r.headers) {
        head += line + "\r\n";
    }
    head += r.chunked ? std::string("Transfer-Encoding: chunked\r\n")
                      : "Content-Length: " + std::to_string(total) + "\r\n";
    head += "\r\n";
    if (!SendAll(fd, head.data(), head.size())) {
        return false;
    }
    static const std::string pattern = [] {
        std::string p;
        for (std::uint64_t i = 0; i < 65536 + 26; ++i) {
            p += GeneratedByte(i);
        }
        return p;
    }();
    std::uint64_t sent = 0;
    bool stalled = false;
    std::string piece;
    while (sent < total) {
        if (sent == r.dropAfter) {
            return false;
        }
        if (sent == r.stallAfter && !stalled) {
            stalled = true;
            if (PauseOrStop(r.stallFor)) {
                return false;
            }
        }
        if (r.trickleBytes > 0 && sent > 0 && PauseOrStop(r.trickleEvery)) {
            return false;
        }
        std::uint64_t limit = std::min<std::uint64_t>(
            total - sent, r.trickleBytes > 0 ? r.trickleBytes : std::uint64_t{65536});
        if (!stalled && r.stallAfter > sent) {
            limit = std::min(limit, r.stallAfter - sent);
        }
        if (r.dropAfter > sent) {
            limit = std::min(limit, r.dropAfter - sent);
        }
        piece.clear();
        if (r.chunked) {
            char size[32];
            std::snprintf(size, sizeof size, "%llx\r\n", static_cast<unsigned long long>(limit));
            piece = size;
        }
        std::uint64_t at = sent;
        const std::uint64_t stop = sent + limit;
        if (at < r.body.size()) {
            const std::uint64_t n = std::min<std::uint64_t>(stop, r.body.size()) - at;
            piece.append(r.body, at, n);
            at += n;
        }
        if (at < stop) {
            piece.append(pattern, (at - r.body.size()) % 26, stop - at);
        }
        if (r.chunked) {
            piece += "\r\n";
        }
        if (!SendAll(fd, piece.data(), piece.size())) {
            return false;
        }
        sent = stop;
    }
    if (sent == r.dropAfter) {
        return false;
    }
    if (!stalled && sent == r.stallAfter && PauseOrStop(r.stallFor)) {
        return false;
    }
    if (r.chunked && !SendAll(fd, "0\r\n\r\n", 5)) {
        return false;
    }
    return true;
}

} // namespace tolvar::test

#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1 (port chosen by the kernel) for tests and
// benchmarks. A handler turns each request into a response that may also misbehave on
// purpose: wait before answering, never answer, stall in the middle of the body, drop
// the connection, or send a huge generated body. Every connection runs on its own thread;
// the destructor wakes every waiting connection, closes it and joins all threads.
// Handler calls may come from several connection threads at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tolvar::test {

struct HttpServerRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers; // in order, as sent
    std::string body;

    // The first header of that name (case-insensitive); empty when none.
    std::string Header(const std::string& name) const;
    // How many headers of that name were sent.
    int HeaderCount(const std::string& name) const;
};

struct HttpServerResponse {
    static constexpr std::uint64_t Never = std::numeric_limits<std::uint64_t>::max();

    int status = 200;
    std::string reason = "OK";
    std::string contentType;          // no Content-Type header when empty
    std::vector<std::string> headers; // further "Name: value" lines
    std::string body;
    std::uint64_t generatedBytes = 0;          // pattern bytes sent after body
    bool chunked = false;                      // chunked framing instead of Content-Length
    std::chrono::milliseconds headDelay{0};    // pause before the status line
    bool neverAnswer = false;                  // hold the connection until the server stops
    bool dropBeforeAnswer = false;             // close right after reading the request
    std::uint64_t stallAfter = Never;          // pause after this many body bytes ...
    std::chrono::milliseconds stallFor{0};     // ... for this long
    std::uint64_t dropAfter = Never;           // close after this many body bytes
    std::uint64_t trickleBytes = 0;            // when set: the body in pieces of this size ...
    std::chrono::milliseconds trickleEvery{0}; // ... with this pause before each but the first
};

// The byte at offset i of a generated body.
inline char GeneratedByte(std::uint64_t i) {
    return static_cast<char>('a' + i % 26);
}

class HttpServer {
public:
    using Handler = std::function<HttpServerResponse(const HttpServerRequest&)>;

    explicit HttpServer(Handler handler);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer();

    int Port() const { return port_; }
    void SetHandler(Handler handler);
    std::vector<HttpServerRequest> Requests() const;
    size_t RequestCount() const;
    // Connections accepted so far.
    size_t ConnectionCount() const { return connections_.load(); }

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(int fd);
    bool Answer(int fd, const HttpServerResponse& response);
    bool SendAll(int fd, const char* data, size_t size);
    // Waits until the server stops or the time has passed; true when stopping.
    bool PauseOrStop(std::chrono::milliseconds time);

    int listenFd_ = -1;
    int wakeFd_ = -1; // eventfd, readable once stopping
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    Handler handler_;
    std::vector<HttpServerRequest> requests_;
    std::list<Worker> workers_; // touched by the accept thread and the destructor
    std::thread acceptThread_;
};

// A loopback port on which nothing listens (bound, then closed), for refused connections.
int UnusedLoopbackPort();

} // namespace tolvar::test

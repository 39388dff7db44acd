#pragma once

// One HTTP or HTTPS request over libcurl, with the body handed piece by piece to a
// caller's sink. Every wait is bounded: a deadline for the response head (connect, send
// and the server's answer), a time-out for each 64 KB piece of the body (so a host that
// trickles a few bytes now and then fails as one that sends nothing) and a deadline for
// the whole request; the body has a size cap and redirects are followed only a few times
// and only to http or https. A cancel flag, when given, ends the request within a few
// milliseconds of being set, whatever the network does. No call ever waits on another
// thread: the deadlines and the flag are checked by the calling thread while it drives
// the transfer, each time its wait wakes (at least every kCancelCheckInterval).
//
// Thread safety: HttpPerform may be called from any number of threads at once; each call
// owns its curl handles. The library is initialised once for the process.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class HttpMethod { Get, Post };

struct HttpRequest {
    HttpMethod method = HttpMethod::Get;
    bool https = false;
    std::string host;   // a host name, an IPv4 address or a bracketed IPv6 address
    int port = 80;      // 1..65535
    std::string target; // path and query of the request line; begins with "/"
    std::string body;   // POST only: sent as application/x-www-form-urlencoded
    std::string userAgent;
    // Extra header lines ("Name: value"); a line naming a header that the request sets
    // itself replaces it, so each header is sent once.
    std::vector<std::string> headers;

    // From the start until the head of the final response has arrived.
    std::chrono::milliseconds responseTimeout{45000};
    // Longest time for each piece of pieceBytes of the body (the last one: the rest) to
    // arrive, counted from the head or from the end of the piece before.
    std::chrono::milliseconds stallTimeout{45000};
    std::uint64_t pieceBytes = std::uint64_t{64} * 1024;
    // The whole request, redirects included.
    std::chrono::milliseconds deadline{600000};
    std::uint64_t maxBodyBytes = 64ull << 20;
    int maxRedirects = 5;
    // When set (from any thread), the request ends with HttpError::Cancelled. Not owned;
    // must outlive the call.
    const std::atomic<bool>* cancel = nullptr;
};

// The longest a request goes without looking at its cancel flag.
inline constexpr std::chrono::milliseconds kCancelCheckInterval{20};

struct HttpResponseHead {
    int statusCode = 0;
    std::string reasonPhrase;
    std::string contentType; // the Content-Type value as sent; empty when none
};

// Receives the final response. Begin is called once, when the head has arrived (also for
// an empty body); Write then gets the body in pieces. Returning false from either stops
// the transfer with HttpError::SinkRefused. Called on the thread that runs HttpPerform.
class HttpSink {
public:
    virtual ~HttpSink() = default;
    virtual bool Begin(const HttpResponseHead& head) = 0;
    virtual bool Write(std::string_view piece) = 0;
};

enum class HttpError {
    None,
    Setup,            // the library could not set up a transfer
    BadHost,          // the host is empty or holds characters a host name cannot hold
    BadTarget,        // the target is empty or holds control characters
    Send,             // no response head: connection, send or protocol failure
    ResponseTimeout,  // the head did not arrive within responseTimeout
    Receive,          // the body broke off (connection lost, malformed framing)
    StallTimeout,     // a piece of the body did not arrive within stallTimeout
    DeadlineExceeded, // the whole request took longer than deadline
    TooLarge,         // the body exceeds maxBodyBytes
    TooManyRedirects, // more than maxRedirects redirects
    SinkRefused,      // the sink returned false
    Cancelled,        // the cancel flag was set
};

struct HttpResult {
    HttpError error = HttpError::None;
    // The library's error code (a CURLcode) and its text; 0 and empty on success.
    int code = 0;
    std::string message;
    bool headReceived = false; // Begin was called with head
    HttpResponseHead head;
    std::uint64_t bodyBytes = 0; // body bytes handed to the sink

    bool Ok() const noexcept { return error == HttpError::None; }
};

// Runs the request to its end or its first failure. Never throws for transfer failures;
// exceptions thrown by the sink pass through after the handles are released.
HttpResult HttpPerform(const HttpRequest& request, HttpSink& sink);

// Sends connections for host:port to address:addressPort instead (no name look-up, no
// proxy), keeping the request's own host name in the Host header. Tests point content
// hosts at a loopback server with it. Replaces any earlier override for host:port.
void SetHttpHostOverride(const std::string& host, int port, const std::string& address,
                         int addressPort);
void ClearHttpHostOverrides();

// Whether text is usable as the host of a request (see HttpError::BadHost).
bool IsValidHttpHost(std::string_view host);

} // namespace platform

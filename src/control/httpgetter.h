#pragma once

// HttpGetter: one GET or POST whose response body goes into a target file, with the
// content servers' internal URL scheme ("#brimwald://..." names an object without naming
// a server). Internal-scheme requests go to the working host and then, in turn, to each
// host of the host list, always with the "key" query parameter; a host entry that names
// a port ("name:port", "[v6-address]:port") is reached on that port, any other on 80. Every failure
// becomes an error text in the status text and the status code -1.
//
// The wait for the send and for each read of the body is bounded by TimeoutMs. Where a
// blocking network interface would need helper threads for that (one for the send and
// one per read, abandoned by closing the request), the transfer here runs on the calling
// thread under the deadlines of platform/http.h: the response head must arrive within
// TimeoutMs, each 64 KB of the body (or its rest) within TimeoutMs of the piece before
// (so a host that trickles fails after about TimeoutMs, not when the whole deadline
// passes), the whole request has a deadline, and the body has a size cap. A time-out
// closes the request at once and gives the same error texts ("HttpSendRequest failed:
// Timeout.", "InternetReadFile for ... failed: Timeout."); it counts as a failure of
// that host, and the fail-over goes on.
//
// A thread may name a stop flag (SetThreadStopFlag): once it is set, the request in
// flight ends within a few milliseconds with "Request cancelled." and no further host
// is tried; a cancelled request is no failure of the host, so the working host stays.
//
// The body is written through platform::AtomicFileWriter: the target file appears only
// when the whole body has arrived, so a failed or cut-off download never leaves a half
// file under the target name (an existing file keeps its content then).
//
// No Qt. An object is used by one thread at a time (the fetch thread for transfers, the
// main thread for SetURL on links). The module state shared by all objects is guarded by
// a lock and may be read and written from any thread.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// "error: " + the calling thread's errno (decimal) directly followed by its text.
std::string LastErrorText();
// The same form for an error code of a library: "error: " + code + text.
std::string LastErrorText(int code, const std::string& text);

// A server as a URL or a content-host entry of the control file names it: "name",
// "name:port" or "[v6-address]:port". The port is 80 when none is named or when it is
// not a number; portNamed tells a named port apart.
struct HostPort {
    std::string host;
    int port = 80;
    bool portNamed = false;
};
HostPort SplitHostPort(const std::string& text);

class HttpGetter {
public:
    static constexpr std::uint64_t MaxBodyBytes = 64ull << 20;
    static constexpr int MaxRedirects = 5;
    // The whole request may take this long, or four times TimeoutMs when that is longer.
    static constexpr int RequestDeadlineMs = 10 * 60 * 1000;

    HttpGetter();

    // Splits the URL into scheme, host, port, base URL and document.
    void SetURL(const std::string& url);
    bool Get();
    bool Post(const std::string& body);
    // Internal-scheme mapping, key parameter and host fail-over around Transfer.
    bool Request(bool isGet, const std::string& body);
    // One request to host and port with the document, body into the target file. True
    // whenever a response arrived, whatever its status code.
    bool Transfer(bool isGet, const std::string& body);
    void SetError(const std::string& text);

    const std::string& URL() const { return url_; }
    const std::string& Scheme() const { return scheme_; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const std::string& BaseURL() const { return baseUrl_; }
    const std::string& Document() const { return document_; }
    const std::string& ContentType() const { return contentType_; }
    const std::string& StatusText() const { return statusText_; }
    int StatusCode() const { return statusCode_; }
    const std::string& UserAgent() const { return userAgent_; }
    const std::string& TargetFile() const { return targetFile_; }
    void SetTargetFile(const std::string& path) { targetFile_ = path; }
    const std::string& LinkURL() const { return linkUrl_; }
    bool Prepared() const { return prepared_; }

    // Module state shared by all objects.
    static void SetInternalScheme(const std::string& scheme);
    static std::string InternalScheme();
    static void SetHostList(const std::vector<std::string>& hosts);
    static std::vector<std::string> HostList();
    static void SetRequestKey(const std::string& key);
    static std::string RequestKey();
    static void SetWorkingHost(const std::string& host);
    static std::string WorkingHost();
    static void SetTimeoutMs(int timeoutMs);
    static int TimeoutMs();

    // The stop flag of the calling thread's requests (nullptr: none). Not owned; it must
    // outlive the thread's requests.
    static void SetThreadStopFlag(const std::atomic<bool>* flag);
    static bool StopRequested();

private:
    std::string url_;
    std::string scheme_;
    std::string host_;
    int port_ = 80;
    std::string baseUrl_;
    std::string document_;
    std::string contentType_;
    std::string statusText_;
    int statusCode_ = 0;
    std::string userAgent_;
    std::string targetFile_;
    std::string linkUrl_;
    bool prepared_ = false;
    bool portNamed_ = false; // the URL named a port (an https URL without one uses 443)
};

#include "platform/http.h"

#include "platform/textcase.h"

#include <algorithm>
#include <cctype>
#include <curl/curl.h>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// Keeps the easy handle in the multi handle for the scope; removal must precede cleanup.
class MultiMembership {
public:
    MultiMembership(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        added_ = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    }
    MultiMembership(const MultiMembership&) = delete;
    MultiMembership& operator=(const MultiMembership&) = delete;
    ~MultiMembership() {
        if (added_) {
            curl_multi_remove_handle(multi_, easy_);
        }
    }
    bool Added() const noexcept { return added_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool added_ = false;
};

bool GlobalInit() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

struct HostOverride {
    std::string host;
    int port;
    std::string line; // in the form curl's connect-to list takes
};

std::mutex overridesMutex;
std::vector<HostOverride> overrides;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// The request line may not carry blanks, a fragment mark or 8-bit bytes; they are sent
// percent-encoded, which the server decodes back to the same bytes.
bool EncodeTarget(std::string_view target, std::string& out) {
    static const char hex[] = "0123456789ABCDEF";
    out.clear();
    for (unsigned char c : target) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        if (c == ' ' || c == '#' || c >= 0x80) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return true;
}

// State shared with the curl callbacks of one request.
struct Transfer {
    const HttpRequest* request = nullptr;
    HttpSink* sink = nullptr;
    HttpResult result;
    // The start of the body piece now arriving and how much of it has come.
    std::chrono::steady_clock::time_point pieceStart;
    std::uint64_t pieceReceived = 0;
    // The response block being read (the final one, a redirect or an interim 1xx).
    int blockStatus = -1;
    std::string blockReason;
    std::string blockContentType;
    bool blockHasLocation = false;
    int redirects = 0;
    bool headDone = false;
    HttpError abortError = HttpError::None;
    std::exception_ptr sinkException;
};

int ParseStatus(std::string_view line, std::string& reason) {
    // "HTTP/1.1 404 Not Found"
    const auto space = line.find(' ');
    reason.clear();
    if (space == std::string_view::npos) {
        return -1;
    }
    std::string_view rest = line.substr(space + 1);
    int code = 0;
    size_t digits = 0;
    while (digits < rest.size() && digits < 4 &&
           std::isdigit(static_cast<unsigned char>(rest[digits]))) {
        code = code * 10 + (rest[digits] - '0');
        ++digits;
    }
    if (digits == 0) {
        return -1;
    }
    rest.remove_prefix(digits);
    reason = std::string(Trim(rest));
    return code;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (t->headDone) {
        return length; // trailers
    }
    const std::string_view line(data, length);
    const std::string_view trimmed = Trim(line);
    if (StartsWithNoCase(line, "HTTP/")) {
        t->blockStatus = ParseStatus(trimmed, t->blockReason);
        t->blockContentType.clear();
        t->blockHasLocation = false;
    } else if (StartsWithNoCase(line, "Content-Type:")) {
        t->blockContentType = std::string(Trim(line.substr(13)));
    } else if (StartsWithNoCase(line, "Location:")) {
        t->blockHasLocation = !Trim(line.substr(9)).empty();
    } else if (trimmed.empty()) {
        if (t->blockStatus >= 100 && t->blockStatus < 200) {
            return length; // interim answer; the real one follows
        }
        if (t->blockStatus >= 300 && t->blockStatus < 400 && t->blockHasLocation) {
            if (t->redirects >= t->request->maxRedirects) {
                t->abortError = HttpError::TooManyRedirects;
                return 0;
            }
            ++t->redirects; // followed by curl
            return length;
        }
        t->headDone = true;
        t->pieceStart = std::chrono::steady_clock::now();
        t->pieceReceived = 0;
        t->result.headReceived = true;
        t->result.head.statusCode = t->blockStatus;
        t->result.head.reasonPhrase = t->blockReason;
        t->result.head.contentType = t->blockContentType;
        try {
            if (!t->sink->Begin(t->result.head)) {
                t->abortError = HttpError::SinkRefused;
                return 0;
            }
        } catch (...) {
            t->sinkException = std::current_exception();
            t->abortError = HttpError::SinkRefused;
            return 0;
        }
    }
    return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (!t->headDone) {
        return length; // body of a response that is not the final one
    }
    if (length >
        t->request->maxBodyBytes - std::min(t->request->maxBodyBytes, t->result.bodyBytes)) {
        t->abortError = HttpError::TooLarge;
        return 0;
    }
    // A piece is done when pieceBytes have come; the next one's time starts then.
    t->pieceReceived += length;
    if (t->pieceReceived >= t->request->pieceBytes) {
        t->pieceReceived %= std::max<std::uint64_t>(1, t->request->pieceBytes);
        t->pieceStart = std::chrono::steady_clock::now();
    }
    try {
        if (length > 0 && !t->sink->Write(std::string_view(data, length))) {
            t->abortError = HttpError::SinkRefused;
            return 0;
        }
    } catch (...) {
        t->sinkException = std::current_exception();
        t->abortError = HttpError::SinkRefused;
        return 0;
    }
    t->result.bodyBytes += length;
    return length;
}

HttpResult Fail(HttpError error, int code, std::string message) {
    HttpResult result;
    result.error = error;
    result.code = code;
    result.message = std::move(message);
    return result;
}

// Checked by curl during its own work too, so a cancel is seen inside a long perform.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* t = static_cast<const Transfer*>(user);
    return t->request->cancel != nullptr && t->request->cancel->load() ? 1 : 0;
}

bool Cancelled(const HttpRequest& request) {
    return request.cancel != nullptr && request.cancel->load();
}

long Millis(std::chrono::milliseconds value) {
    return static_cast<long>(std::max<std::chrono::milliseconds::rep>(1, value.count()));
}

} // namespace

bool IsValidHttpHost(std::string_view host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        return std::all_of(host.begin() + 1, host.end() - 1, [](unsigned char c) {
            return std::isxdigit(c) || c == ':' || c == '.';
        });
    }
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == '_';
    });
}

void SetHttpHostOverride(const std::string& host, int port, const std::string& address,
                         int addressPort) {
    std::lock_guard lock(overridesMutex);
    std::erase_if(overrides, [&](const HostOverride& o) {
        return EqualsNoCase(o.host, host) && o.port == port;
    });
    overrides.push_back(
        {host, port,
         host + ":" + std::to_string(port) + ":" + address + ":" + std::to_string(addressPort)});
}

void ClearHttpHostOverrides() {
    std::lock_guard lock(overridesMutex);
    overrides.clear();
}

namespace {

// The request target as it goes on the request line, or nothing when it cannot be sent.
std::optional<std::string> RequestTarget(const HttpRequest& request) {
    std::string target;
    if (request.target.empty() || !EncodeTarget(request.target, target)) {
        return std::nullopt;
    }
    if (target.front() != '/') {
        target.insert(target.begin(), '/');
    }
    return target;
}

bool Append(SlistPtr& list, const std::string& line) {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) {
        return false;
    }
    static_cast<void>(list.release()); // next continues the same list
    list.reset(next);
    return true;
}

// The request's header lines. A line with a line break fails the request as a bad
// target, before any failure to allocate does.
std::optional<HttpResult> BuildHeaders(const HttpRequest& request, SlistPtr& headers,
                                       bool& allocated) {
    allocated = Append(headers, "Connection: Keep-Alive") && Append(headers, "Accept: */*") &&
                Append(headers, "Expect:");
    if (request.method == HttpMethod::Post) {
        allocated = allocated && Append(headers, "Content-Type: application/x-www-form-urlencoded");
    }
    for (const std::string& line : request.headers) {
        if (line.find_first_of("\r\n") != std::string::npos) {
            return Fail(HttpError::BadTarget, CURLE_BAD_FUNCTION_ARGUMENT, "bad header line");
        }
        allocated = allocated && Append(headers, line);
    }
    return std::nullopt;
}

// Every host override as curl's connect-to list; overridden tells whether one names the
// request's own host and port (that request then goes past any proxy). False when the
// list cannot be allocated.
bool BuildConnectTo(const HttpRequest& request, SlistPtr& connectTo, bool& overridden) {
    overridden = false;
    std::lock_guard lock(overridesMutex);
    for (const HostOverride& o : overrides) {
        if (!Append(connectTo, o.line)) {
            return false;
        }
        overridden = overridden || (EqualsNoCase(o.host, request.host) && o.port == request.port);
    }
    return true;
}

// What the easy handle needs beside the request itself.
struct EasySetup {
    std::string url;
    SlistPtr headers;
    SlistPtr connectTo;
    bool overridden = false;
    char* errorBuffer = nullptr; // CURL_ERROR_SIZE bytes
};

// Sets every option of the transfer; the first failure is returned.
CURLcode SetOptions(CURL* e, const HttpRequest& request, const EasySetup& setup, Transfer& t) {
    CURLcode set = CURLE_OK;
    auto opt = [&set](CURLcode code) {
        if (set == CURLE_OK) {
            set = code;
        }
    };
    opt(curl_easy_setopt(e, CURLOPT_URL, setup.url.c_str()));
    opt(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
    opt(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    opt(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    opt(curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
    opt(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L));
    // One more than the callbacks allow, so that the callbacks decide and report it.
    opt(curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirects + 1)));
    opt(curl_easy_setopt(e, CURLOPT_HTTPHEADER, setup.headers.get()));
    if (setup.connectTo) {
        opt(curl_easy_setopt(e, CURLOPT_CONNECT_TO, setup.connectTo.get()));
    }
    if (setup.overridden) {
        opt(curl_easy_setopt(e, CURLOPT_PROXY, ""));
    }
    if (!request.userAgent.empty()) {
        opt(curl_easy_setopt(e, CURLOPT_USERAGENT, request.userAgent.c_str()));
    }
    if (request.method == HttpMethod::Post) {
        opt(curl_easy_setopt(e, CURLOPT_POST, 1L));
        opt(curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body.size())));
        opt(curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.c_str()));
    } else {
        opt(curl_easy_setopt(e, CURLOPT_HTTPGET, 1L));
    }
    opt(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, Millis(request.responseTimeout)));
    opt(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, Millis(request.deadline)));
    if (request.maxBodyBytes < (std::uint64_t(1) << 62)) {
        opt(curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(request.maxBodyBytes)));
    }
    opt(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader));
    opt(curl_easy_setopt(e, CURLOPT_HEADERDATA, &t));
    opt(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody));
    opt(curl_easy_setopt(e, CURLOPT_WRITEDATA, &t));
    opt(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, setup.errorBuffer));
    if (request.cancel != nullptr) {
        opt(curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &OnProgress));
        opt(curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t));
        opt(curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L));
    }
    return set;
}

using Clock = std::chrono::steady_clock;

// One look at the clocks while the transfer runs: the time-out that has passed, if any,
// else None and how long the next wait may be.
HttpError CheckTimes(const HttpRequest& request, const Transfer& t, Clock::time_point start,
                     int& waitMs) {
    const auto now = Clock::now();
    const auto phaseEnd =
        t.headDone ? t.pieceStart + request.stallTimeout : start + request.responseTimeout;
    const auto end = start + request.deadline;
    if (now >= end) {
        return HttpError::DeadlineExceeded;
    }
    if (now >= phaseEnd) {
        return t.headDone ? HttpError::StallTimeout : HttpError::ResponseTimeout;
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(phaseEnd, end) - now) +
        std::chrono::milliseconds(1);
    const auto slice =
        request.cancel != nullptr ? kCancelCheckInterval : std::chrono::milliseconds(1000);
    waitMs =
        static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), slice.count()));
    return HttpError::None;
}

// Drives the transfer until curl is done with it (None), it is cancelled or a time-out
// passes (that error), or the multi interface fails (Setup).
HttpError RunTransfer(CURLM* multi, const HttpRequest& request, const Transfer& t) {
    const auto start = Clock::now();
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return HttpError::Setup;
        }
        if (running == 0) {
            return HttpError::None;
        }
        if (Cancelled(request)) {
            return HttpError::Cancelled;
        }
        int waitMs = 0;
        const HttpError timedOut = CheckTimes(request, t, start, waitMs);
        if (timedOut != HttpError::None) {
            return timedOut;
        }
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
}

const char* StopMessage(HttpError stopped) {
    switch (stopped) {
    case HttpError::Cancelled:
        return "request cancelled";
    case HttpError::StallTimeout:
        return "a piece of the body did not arrive within the time-out";
    case HttpError::ResponseTimeout:
        return "no response within the time-out";
    default:
        return "request deadline passed";
    }
}

// The result code curl gave the finished transfer (CURLE_FAILED_INIT when it gave none).
CURLcode DoneCode(CURLM* multi, CURL* e) {
    CURLcode code = CURLE_FAILED_INIT;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &pending)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == e) {
            code = message->data.result;
        }
    }
    return code;
}

// The error of a transfer curl ended with code (not CURLE_OK, or a callback's abort).
HttpError ErrorOf(CURLcode code, const HttpRequest& request, const Transfer& t) {
    if (t.abortError != HttpError::None) {
        return t.abortError;
    }
    switch (code) {
    case CURLE_ABORTED_BY_CALLBACK:
        if (Cancelled(request)) {
            return HttpError::Cancelled;
        }
        break;
    case CURLE_TOO_MANY_REDIRECTS:
        return HttpError::TooManyRedirects;
    case CURLE_FILESIZE_EXCEEDED:
        return HttpError::TooLarge;
    case CURLE_OPERATION_TIMEDOUT:
        return t.headDone ? HttpError::DeadlineExceeded : HttpError::ResponseTimeout;
    default:
        break;
    }
    return t.headDone ? HttpError::Receive : HttpError::Send;
}

} // namespace

HttpResult HttpPerform(const HttpRequest& request, HttpSink& sink) {
    if (!GlobalInit()) {
        return Fail(HttpError::Setup, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    }
    if (!IsValidHttpHost(request.host) || request.port < 1 || request.port > 65535) {
        return Fail(HttpError::BadHost, CURLE_URL_MALFORMAT, "bad host name or port");
    }
    const std::optional<std::string> target = RequestTarget(request);
    if (!target) {
        return Fail(HttpError::BadTarget, CURLE_URL_MALFORMAT, "bad request target");
    }
    EasyPtr easy(curl_easy_init());
    MultiPtr multi(curl_multi_init());
    if (!easy || !multi) {
        return Fail(HttpError::Setup, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    }
    CURL* e = easy.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    EasySetup setup;
    setup.url = std::string(request.https ? "https://" : "http://") + request.host + ":" +
                std::to_string(request.port) + *target;
    setup.errorBuffer = errorBuffer;
    bool allocated = false;
    if (auto failed = BuildHeaders(request, setup.headers, allocated)) {
        return std::move(*failed);
    }
    allocated = BuildConnectTo(request, setup.connectTo, setup.overridden) && allocated;
    if (!allocated) {
        return Fail(HttpError::Setup, CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    }

    Transfer t;
    t.request = &request;
    t.sink = &sink;
    if (const CURLcode set = SetOptions(e, request, setup, t); set != CURLE_OK) {
        return Fail(HttpError::Setup, set, curl_easy_strerror(set));
    }
    MultiMembership membership(multi.get(), e);
    if (!membership.Added()) {
        return Fail(HttpError::Setup, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    }
    if (Cancelled(request)) {
        return Fail(HttpError::Cancelled, CURLE_ABORTED_BY_CALLBACK, "request cancelled");
    }
    const HttpError stopped = RunTransfer(multi.get(), request, t);
    if (stopped == HttpError::Setup) {
        return Fail(HttpError::Setup, CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    }

    HttpResult result = std::move(t.result);
    if (t.sinkException) {
        std::rethrow_exception(t.sinkException);
    }
    if (stopped != HttpError::None) {
        result.error = stopped;
        result.code =
            stopped == HttpError::Cancelled ? CURLE_ABORTED_BY_CALLBACK : CURLE_OPERATION_TIMEDOUT;
        result.message = StopMessage(stopped);
        return result;
    }
    const CURLcode code = DoneCode(multi.get(), e);
    if (code == CURLE_OK && t.abortError == HttpError::None) {
        if (!result.headReceived) {
            result.error = HttpError::Send;
            result.code = CURLE_GOT_NOTHING;
            result.message = curl_easy_strerror(CURLE_GOT_NOTHING);
        }
        return result;
    }
    result.code = code;
    result.message = errorBuffer[0] != '\0' ? std::string(errorBuffer) : curl_easy_strerror(code);
    result.error = ErrorOf(code, request, t);
    return result;
}

} // namespace platform

#include "control/httpgetter.h"

#include "platform/fileio.h"
#include "platform/http.h"
#include "platform/textcase.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

namespace {

const char* const kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; MSDOS 3.3)";
const char* const kCancelledText = "Request cancelled.";

struct ModuleState {
    std::mutex mutex;
    std::string internalScheme;
    std::vector<std::string> hostList;
    std::string requestKey;
    std::string workingHost;
    int timeoutMs = 45000;
};

thread_local const std::atomic<bool>* threadStopFlag = nullptr;

ModuleState& State() {
    static ModuleState state;
    return state;
}

// A decimal number as the whole text (an optional sign, then digits), else nullopt.
std::optional<int> ParseInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
        if (value > 0x7FFFFFFFLL) {
            return std::nullopt;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

// Receives the body into a temporary file beside the target and remembers which file
// call failed, with its errno, for the error text.
class FileSink : public platform::HttpSink {
public:
    explicit FileSink(const std::string& path) : path_(path) {}

    bool Begin(const platform::HttpResponseHead&) override {
        try {
            writer_.emplace(path_);
            return true;
        } catch (const platform::FileError& e) {
            failedCreate_ = true;
            errorCode_ = e.Code();
            return false;
        }
    }
    bool Write(std::string_view piece) override {
        if (!writer_) {
            return false;
        }
        try {
            writer_->Write(piece);
            return true;
        } catch (const platform::FileError& e) {
            failedWrite_ = true;
            errorCode_ = e.Code();
            return false;
        }
    }
    bool Commit() {
        if (!writer_) {
            return false;
        }
        try {
            writer_->Commit();
            return true;
        } catch (const platform::FileError& e) {
            failedWrite_ = true;
            errorCode_ = e.Code();
            return false;
        }
    }

    bool FailedCreate() const { return failedCreate_; }
    bool FailedWrite() const { return failedWrite_; }
    int ErrorCode() const { return errorCode_; }

private:
    std::string path_;
    std::optional<platform::AtomicFileWriter> writer_;
    bool failedCreate_ = false;
    bool failedWrite_ = false;
    int errorCode_ = 0;
};

std::string ErrnoText(int code) {
    char buffer[256];
    // The GNU form returns the text, not always in buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return LastErrorText(code, text != nullptr ? text : "");
}

} // namespace

HostPort SplitHostPort(const std::string& text) {
    HostPort server;
    server.host = text;
    // A bracketed IPv6 address holds colons of its own; the port comes after "]".
    const size_t bracket =
        !text.empty() && text.front() == '[' ? text.find(']') : std::string::npos;
    const size_t colon = text.find(':', bracket == std::string::npos ? 0 : bracket);
    if (colon != std::string::npos) {
        const std::optional<int> port = ParseInt(std::string_view(text).substr(colon + 1));
        server.port = port.value_or(80);
        server.portNamed = port.has_value();
        server.host.erase(colon);
    }
    return server;
}

std::string LastErrorText(int code, const std::string& text) {
    return "error: " + std::to_string(code) + text;
}

std::string LastErrorText() {
    return ErrnoText(errno);
}

HttpGetter::HttpGetter() : userAgent_(kUserAgent) {}

void HttpGetter::SetURL(const std::string& url) {
    host_.clear();
    contentType_.clear();
    statusText_.clear();
    statusCode_ = 0;
    if (url.empty()) {
        return;
    }
    url_ = url;
    const size_t mark = url.find("://");
    std::string rest;
    if (mark != std::string::npos) {
        scheme_ = url.substr(0, mark + 3);
        rest = url.substr(mark + 3);
    } else {
        scheme_.clear();
        rest = url;
    }
    const size_t slash = rest.find('/');
    if (slash != std::string::npos && slash > 0) {
        host_ = rest.substr(0, slash);
        document_ = rest.substr(slash);
    } else {
        host_.clear();
        document_ = rest;
    }
    const HostPort server = SplitHostPort(host_);
    host_ = server.host;
    port_ = server.port;
    portNamed_ = server.portNamed;
    const size_t last = url.rfind('/');
    if (last == std::string::npos || (mark != std::string::npos && last == mark + 2)) {
        baseUrl_ = url;
    } else {
        baseUrl_ = url.substr(0, last + 1);
    }
    linkUrl_ = url;
    prepared_ = true;
}

bool HttpGetter::Get() {
    return Request(true, std::string());
}

bool HttpGetter::Post(const std::string& body) {
    return Request(false, body);
}

bool HttpGetter::Request(bool isGet, const std::string& body) {
    if (!prepared_) {
        SetError("Fatal error: HttpGetter not initialized.");
        return false;
    }
    const std::string internal = InternalScheme();
    // An unset internal scheme must not claim every URL without a scheme.
    if (internal.empty() || scheme_ != internal) {
        return Transfer(isGet, body);
    }
    scheme_ = "http://";
    port_ = 80;
    portNamed_ = false;
    document_ = !document_.empty() && document_.front() == '/' ? host_ + document_
                                                               : host_ + "/" + document_;
    document_ += (document_.find('?') != std::string::npos ? "&key=" : "?key=") + RequestKey();

    // A host entry may name its port ("name:port", "[v6-address]:port"); a content host on
    // another port than 80 is reached there.
    auto useHost = [this](const std::string& entry) {
        const HostPort server = SplitHostPort(entry);
        host_ = server.host;
        port_ = server.port;
        baseUrl_ = scheme_ + entry + document_;
        baseUrl_.erase(baseUrl_.rfind('/') + 1);
    };
    bool result = false;
    const std::string working = WorkingHost();
    if (!working.empty()) {
        useHost(working);
        result = Transfer(isGet, body);
        if (!result && !StopRequested()) {
            SetWorkingHost(std::string());
        }
    }
    if (!result) {
        for (const std::string& host : HostList()) {
            if (StopRequested()) {
                SetError(kCancelledText);
                break;
            }
            useHost(host);
            result = Transfer(isGet, body);
            if (result) {
                SetWorkingHost(host);
                break;
            }
        }
    }
    return result;
}

bool HttpGetter::Transfer(bool isGet, const std::string& body) {
    contentType_.clear();
    statusCode_ = -1;
    statusText_.clear();
    if (targetFile_.empty()) {
        SetError("Fatal error: target filename empty.");
        return false;
    }
    if (host_.empty()) {
        SetError("Fatal error: server empty.");
        return false;
    }
    if (document_.empty()) {
        SetError("Fatal error: document is empty.");
        return false;
    }

    platform::HttpRequest request;
    request.method = isGet ? platform::HttpMethod::Get : platform::HttpMethod::Post;
    // The transfer speaks plain HTTP unless the URL asked for TLS.
    request.https = platform::EqualsNoCase(scheme_, "https://");
    request.host = host_;
    request.port = request.https && !portNamed_ ? 443 : port_;
    request.target = document_;
    if (!isGet) {
        request.body = body;
    }
    request.userAgent = userAgent_;
    const int timeoutMs = std::max(1, TimeoutMs());
    request.responseTimeout = std::chrono::milliseconds(timeoutMs);
    request.stallTimeout = std::chrono::milliseconds(timeoutMs);
    request.deadline =
        std::chrono::milliseconds(std::max<long long>(RequestDeadlineMs, 4LL * timeoutMs));
    request.maxBodyBytes = MaxBodyBytes;
    request.maxRedirects = MaxRedirects;
    request.cancel = threadStopFlag;

    FileSink sink(targetFile_);
    const platform::HttpResult result = platform::HttpPerform(request, sink);
    const std::string library = LastErrorText(result.code, result.message);
    const std::string read = "InternetReadFile for " + targetFile_ + " failed: ";
    using platform::HttpError;
    switch (result.error) {
    case HttpError::None:
        break;
    case HttpError::Setup:
        SetError("InternetOpen failed: " + library);
        return false;
    case HttpError::BadHost:
        SetError("InternetConnect failed: " + library);
        return false;
    case HttpError::BadTarget:
        SetError("HttpOpenRequest failed: " + library);
        return false;
    case HttpError::Send:
    case HttpError::TooManyRedirects:
        SetError("HttpSendRequest failed: " + library);
        return false;
    case HttpError::ResponseTimeout:
        SetError("HttpSendRequest failed: Timeout.");
        return false;
    case HttpError::DeadlineExceeded:
        SetError(result.headReceived ? read + "Timeout." : "HttpSendRequest failed: Timeout.");
        return false;
    case HttpError::StallTimeout:
        SetError(read + "Timeout.");
        return false;
    case HttpError::Receive:
        SetError(read + "Read Error.");
        return false;
    case HttpError::TooLarge:
        SetError(read + "Too large.");
        return false;
    case HttpError::Cancelled:
        SetError(kCancelledText);
        return false;
    case HttpError::SinkRefused:
        if (sink.FailedCreate()) {
            SetError("FileCreate for " + targetFile_ + " failed: " + ErrnoText(sink.ErrorCode()));
        } else {
            SetError("FileWrite for " + targetFile_ + " failed: " + ErrnoText(sink.ErrorCode()));
        }
        return false;
    }
    if (!sink.Commit()) {
        SetError("FileWrite for " + targetFile_ + " failed: " + ErrnoText(sink.ErrorCode()));
        return false;
    }
    statusCode_ = result.head.statusCode;
    statusText_ = std::to_string(statusCode_) + " " + result.head.reasonPhrase;
    contentType_ = statusCode_ == 200 ? result.head.contentType : std::string();
    return true;
}

void HttpGetter::SetError(const std::string& text) {
    statusCode_ = -1;
    contentType_.clear();
    statusText_ = text;
}

void HttpGetter::SetInternalScheme(const std::string& scheme) {
    std::lock_guard lock(State().mutex);
    State().internalScheme = scheme;
}

std::string HttpGetter::InternalScheme() {
    std::lock_guard lock(State().mutex);
    return State().internalScheme;
}

void HttpGetter::SetHostList(const std::vector<std::string>& hosts) {
    std::lock_guard lock(State().mutex);
    State().hostList = hosts;
}

std::vector<std::string> HttpGetter::HostList() {
    std::lock_guard lock(State().mutex);
    return State().hostList;
}

void HttpGetter::SetRequestKey(const std::string& key) {
    std::lock_guard lock(State().mutex);
    State().requestKey = key;
}

std::string HttpGetter::RequestKey() {
    std::lock_guard lock(State().mutex);
    return State().requestKey;
}

void HttpGetter::SetWorkingHost(const std::string& host) {
    std::lock_guard lock(State().mutex);
    State().workingHost = host;
}

std::string HttpGetter::WorkingHost() {
    std::lock_guard lock(State().mutex);
    return State().workingHost;
}

void HttpGetter::SetTimeoutMs(int timeoutMs) {
    std::lock_guard lock(State().mutex);
    State().timeoutMs = timeoutMs;
}

int HttpGetter::TimeoutMs() {
    std::lock_guard lock(State().mutex);
    return State().timeoutMs;
}

void HttpGetter::SetThreadStopFlag(const std::atomic<bool>* flag) {
    threadStopFlag = flag;
}

bool HttpGetter::StopRequested() {
    return threadStopFlag != nullptr && threadStopFlag->load();
}

#include "platform/http.h"
#include "support/httpserver.h"
#include "support/temphome.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::HttpError;
using platform::HttpMethod;
using platform::HttpRequest;
using platform::HttpResult;
using tolvar::test::GeneratedByte;
using tolvar::test::HttpServer;
using tolvar::test::HttpServerRequest;
using tolvar::test::HttpServerResponse;

// Keeps the body in memory; refuses once it holds refuseAfter bytes.
class MemorySink : public platform::HttpSink {
public:
    bool Begin(const platform::HttpResponseHead& h) override {
        ++begins;
        head = h;
        return true;
    }
    bool Write(std::string_view piece) override {
        body.append(piece);
        return body.size() < refuseAfter;
    }
    int begins = 0;
    platform::HttpResponseHead head;
    std::string body;
    size_t refuseAfter = SIZE_MAX;
};

HttpServerResponse Text(const std::string& body, const std::string& type = "text/plain") {
    HttpServerResponse r;
    r.contentType = type;
    r.body = body;
    return r;
}

class Http : public ::testing::Test {
protected:
    void TearDown() override { platform::ClearHttpHostOverrides(); }

    HttpRequest To(const std::string& target) const {
        HttpRequest request;
        request.host = "127.0.0.1";
        request.port = server.Port();
        request.target = target;
        request.responseTimeout = 5s;
        request.stallTimeout = 5s;
        request.deadline = 30s;
        return request;
    }

    HttpServer server{[](const HttpServerRequest& r) { return Text("body of " + r.target); }};
};

TEST_F(Http, GetDeliversStatusTypeAndBodyWithEachHeaderOnce) {
    HttpRequest request = To("/a/b.txt?x=1");
    request.userAgent = "Agent/1.0";
    MemorySink sink;
    const HttpResult result = platform::HttpPerform(request, sink);
    ASSERT_TRUE(result.Ok()) << result.message;
    EXPECT_EQ(sink.begins, 1);
    EXPECT_EQ(sink.head.statusCode, 200);
    EXPECT_EQ(sink.head.reasonPhrase, "OK");
    EXPECT_EQ(sink.head.contentType, "text/plain");
    EXPECT_EQ(sink.body, "body of /a/b.txt?x=1");
    EXPECT_EQ(result.bodyBytes, sink.body.size());
    const HttpServerRequest seen = server.Requests().at(0);
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.Header("User-Agent"), "Agent/1.0");
    EXPECT_EQ(seen.Header("Accept"), "*/*");
    EXPECT_EQ(seen.Header("Connection"), "Keep-Alive");
    EXPECT_EQ(seen.Header("Host"), "127.0.0.1:" + std::to_string(server.Port()));
    for (const char* name : {"Host", "Accept", "Connection", "User-Agent"}) {
        EXPECT_EQ(seen.HeaderCount(name), 1) << name;
    }
    EXPECT_EQ(seen.HeaderCount("Expect"), 0);
    EXPECT_EQ(seen.HeaderCount("Accept-Encoding"), 0);
}

TEST_F(Http, PostSendsTheFormBodyUnchanged) {
    HttpRequest request = To("/feeds/content.php");
    request.method = HttpMethod::Post;
    // Large enough that a client would ask for "100 Continue" unless told not to.
    request.body = "host_id=A&subscriptions=a,+b&pad=" + std::string(4000, 'p');
    MemorySink sink;
    ASSERT_TRUE(platform::HttpPerform(request, sink).Ok());
    const HttpServerRequest seen = server.Requests().at(0);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, request.body);
    EXPECT_EQ(seen.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(seen.HeaderCount("Content-Type"), 1);
}

TEST_F(Http, ErrorStatusIsAResponseNotAFailure) {
    server.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r = Text("gone", "text/html");
        r.status = 404;
        r.reason = "Not Found";
        return r;
    });
    MemorySink sink;
    const HttpResult result = platform::HttpPerform(To("/x"), sink);
    ASSERT_TRUE(result.Ok());
    EXPECT_EQ(result.head.statusCode, 404);
    EXPECT_EQ(result.head.reasonPhrase, "Not Found");
    EXPECT_EQ(sink.body, "gone");
}

TEST_F(Http, EmptyBodyStillBeginsTheSink) {
    server.SetHandler([](const HttpServerRequest&) { return Text(""); });
    MemorySink sink;
    ASSERT_TRUE(platform::HttpPerform(To("/empty"), sink).Ok());
    EXPECT_EQ(sink.begins, 1);
    EXPECT_TRUE(sink.body.empty());
}

TEST_F(Http, ChunkedAndLargeBodiesArriveWhole) {
    for (bool chunked : {false, true}) {
        server.SetHandler([chunked](const HttpServerRequest&) {
            HttpServerResponse r;
            r.generatedBytes = 3 * 65536 + 17;
            r.chunked = chunked;
            return r;
        });
        MemorySink sink;
        ASSERT_TRUE(platform::HttpPerform(To("/big"), sink).Ok()) << chunked;
        ASSERT_EQ(sink.body.size(), 3u * 65536 + 17);
        EXPECT_EQ(sink.body[70000], GeneratedByte(70000));
        EXPECT_EQ(sink.body.back(), GeneratedByte(3 * 65536 + 16));
    }
}

// Each misbehaving server, and the one failure it must give, within the bounds given.
struct FailureCase {
    const char* name;
    HttpServerResponse response;
    HttpError error;
    bool headReceived;
};

std::vector<FailureCase> FailureCases() {
    std::vector<FailureCase> cases;
    HttpServerResponse r;
    r.neverAnswer = true;
    cases.push_back({"no answer", r, HttpError::ResponseTimeout, false});
    r = {};
    r.headDelay = 2s;
    cases.push_back({"late answer", r, HttpError::ResponseTimeout, false});
    r = {};
    r.dropBeforeAnswer = true;
    cases.push_back({"dropped before the answer", r, HttpError::Send, false});
    r = {};
    r.generatedBytes = 200000;
    r.stallAfter = 70000;
    r.stallFor = 24h;
    cases.push_back({"stall in the body", r, HttpError::StallTimeout, true});
    r.chunked = true;
    cases.push_back({"stall in a chunked body", r, HttpError::StallTimeout, true});
    r = {};
    // 100 bytes every 50 ms: never silent for long, yet the first 64 KB would take a minute.
    r.generatedBytes = 200000;
    r.trickleBytes = 100;
    r.trickleEvery = 50ms;
    cases.push_back({"trickling body", r, HttpError::StallTimeout, true});
    r = {};
    r.generatedBytes = 200000;
    r.dropAfter = 70000;
    cases.push_back({"cut off body", r, HttpError::Receive, true});
    r.chunked = true;
    cases.push_back({"cut off chunked body", r, HttpError::Receive, true});
    r = {};
    r.generatedBytes = std::uint64_t(1) << 40; // a terabyte announced
    cases.push_back({"announced body over the cap", r, HttpError::TooLarge, false});
    r.chunked = true;
    cases.push_back({"chunked body over the cap", r, HttpError::TooLarge, true});
    return cases;
}

TEST_F(Http, MisbehavingServersGiveBoundedFailures) {
    for (const FailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.name);
        server.SetHandler([&c](const HttpServerRequest&) { return c.response; });
        HttpRequest request = To("/x");
        request.responseTimeout = 300ms;
        request.stallTimeout = 300ms;
        request.maxBodyBytes = 1 << 20;
        MemorySink sink;
        const auto start = std::chrono::steady_clock::now();
        const HttpResult result = platform::HttpPerform(request, sink);
        EXPECT_EQ(result.error, c.error) << result.message;
        EXPECT_EQ(result.headReceived, c.headReceived);
        EXPECT_LE(sink.body.size(), request.maxBodyBytes);
        EXPECT_FALSE(result.message.empty());
        // A hang would run into the server's day-long stall.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    }
}

TEST_F(Http, WholeRequestDeadlineEndsASlowTrickle) {
    server.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.generatedBytes = 1000;
        r.stallAfter = 10;
        r.stallFor = 24h;
        return r;
    });
    HttpRequest request = To("/x");
    request.stallTimeout = 60s;
    request.deadline = 400ms;
    MemorySink sink;
    EXPECT_EQ(platform::HttpPerform(request, sink).error, HttpError::DeadlineExceeded);
}

TEST_F(Http, EachPieceHasTheTimeOutNotTheWholeBody) {
    // Four 64 KB pieces, each well within the time-out, together longer than it.
    server.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.generatedBytes = std::uint64_t{4} * 65536;
        r.trickleBytes = 65536;
        r.trickleEvery = 150ms;
        return r;
    });
    HttpRequest request = To("/x");
    request.stallTimeout = 400ms;
    MemorySink sink;
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = platform::HttpPerform(request, sink);
    EXPECT_TRUE(result.Ok()) << result.message;
    EXPECT_EQ(sink.body.size(), 4u * 65536);
    EXPECT_GT(std::chrono::steady_clock::now() - start, request.stallTimeout);
}

TEST_F(Http, CancelEndsTheRequestWhateverTheServerDoes) {
    struct Case {
        const char* name;
        HttpServerResponse response;
    };
    std::vector<Case> cases;
    HttpServerResponse r;
    r.neverAnswer = true;
    cases.push_back({"no answer", r});
    r = {};
    r.generatedBytes = 200000;
    r.stallAfter = 1000;
    r.stallFor = 24h;
    cases.push_back({"stall in the body", r});
    r = {};
    r.generatedBytes = 200000;
    r.trickleBytes = 10;
    r.trickleEvery = 20ms;
    cases.push_back({"trickling body", r});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetHandler([&c](const HttpServerRequest&) { return c.response; });
        const std::size_t before = server.RequestCount();
        std::atomic<bool> cancel{false};
        HttpRequest request = To("/x");
        request.responseTimeout = 1h;
        request.stallTimeout = 1h;
        request.cancel = &cancel;
        MemorySink sink;
        std::chrono::steady_clock::time_point cancelledAt;
        std::thread canceller([&] {
            // Cancelled once the server has the request, so the wait is really in flight.
            tolvar::test::WaitUntil([&] { return server.RequestCount() > before; });
            cancelledAt = std::chrono::steady_clock::now();
            cancel = true;
        });
        const HttpResult result = platform::HttpPerform(request, sink);
        const auto end = std::chrono::steady_clock::now();
        canceller.join();
        EXPECT_EQ(result.error, HttpError::Cancelled) << result.message;
        EXPECT_FALSE(result.message.empty());
        // A few check intervals at most; generous for sanitiser builds.
        EXPECT_LT(end - cancelledAt, 500ms);
    }
    // A flag set before the call ends it before any connection.
    std::atomic<bool> cancel{true};
    HttpRequest request = To("/x");
    request.cancel = &cancel;
    MemorySink sink;
    const std::size_t connections = server.ConnectionCount();
    EXPECT_EQ(platform::HttpPerform(request, sink).error, HttpError::Cancelled);
    EXPECT_EQ(server.ConnectionCount(), connections);
}

TEST_F(Http, RefusedConnectionIsASendFailure) {
    HttpRequest request = To("/x");
    request.port = tolvar::test::UnusedLoopbackPort();
    MemorySink sink;
    const HttpResult result = platform::HttpPerform(request, sink);
    EXPECT_EQ(result.error, HttpError::Send);
    EXPECT_EQ(result.code, 7); // could not connect
    EXPECT_EQ(sink.begins, 0);
}

TEST_F(Http, SinkRefusalStopsTheTransfer) {
    server.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.generatedBytes = 10 << 20;
        return r;
    });
    MemorySink sink;
    sink.refuseAfter = 1;
    const HttpResult result = platform::HttpPerform(To("/x"), sink);
    EXPECT_EQ(result.error, HttpError::SinkRefused);
    EXPECT_LT(sink.body.size(), size_t(10 << 20));
}

TEST_F(Http, RedirectsAreFollowedABoundedNumberOfTimes) {
    server.SetHandler([](const HttpServerRequest& r) {
        // /hop/N redirects to /hop/N-1; /hop/0 answers.
        const int n = std::stoi(r.target.substr(5));
        if (n == 0) {
            return Text("arrived", "text/plain");
        }
        HttpServerResponse redirect = Text("moved", "text/html");
        redirect.status = 302;
        redirect.reason = "Found";
        redirect.headers.push_back("Location: /hop/" + std::to_string(n - 1));
        return redirect;
    });
    HttpRequest request = To("/hop/3");
    request.maxRedirects = 3;
    MemorySink sink;
    const HttpResult followed = platform::HttpPerform(request, sink);
    ASSERT_TRUE(followed.Ok()) << followed.message;
    EXPECT_EQ(sink.body, "arrived"); // no redirect body mixed in
    EXPECT_EQ(sink.begins, 1);
    EXPECT_EQ(followed.head.statusCode, 200);

    MemorySink tooMany;
    request.target = "/hop/4";
    EXPECT_EQ(platform::HttpPerform(request, tooMany).error, HttpError::TooManyRedirects);
    EXPECT_EQ(tooMany.begins, 0);
}

TEST_F(Http, RedirectToAnotherProtocolIsRefused) {
    server.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.status = 301;
        r.reason = "Moved Permanently";
        r.headers.push_back("Location: file:///etc/passwd");
        return r;
    });
    MemorySink sink;
    const HttpResult result = platform::HttpPerform(To("/x"), sink);
    EXPECT_EQ(result.error, HttpError::Send);
    EXPECT_EQ(sink.begins, 0);
}

TEST_F(Http, UnsafeHostsAndTargetsAreRefusedBeforeAnyConnection) {
    const struct {
        std::string host;
        std::string target;
        HttpError error;
    } cases[] = {
        {"", "/x", HttpError::BadHost},
        {"evil.example\r\nX: y", "/x", HttpError::BadHost},
        {"user@127.0.0.1", "/x", HttpError::BadHost},
        {"127.0.0.1/path", "/x", HttpError::BadHost},
        {"127.0.0.1", "", HttpError::BadTarget},
        {"127.0.0.1", "/x HTTP/1.1\r\nX-Injected: 1", HttpError::BadTarget},
        {"127.0.0.1", std::string("/x\0y", 4), HttpError::BadTarget},
    };
    for (const auto& c : cases) {
        HttpRequest request = To(c.target);
        request.host = c.host;
        MemorySink sink;
        EXPECT_EQ(platform::HttpPerform(request, sink).error, c.error) << c.host << c.target;
    }
    HttpRequest badPort = To("/x");
    badPort.port = 70000;
    MemorySink sink;
    EXPECT_EQ(platform::HttpPerform(badPort, sink).error, HttpError::BadHost);
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(Http, BlanksAndEightBitBytesInTheTargetAreSentEncoded) {
    MemorySink sink;
    ASSERT_TRUE(platform::HttpPerform(To("/a b/\xE4.gif#1"), sink).Ok());
    EXPECT_EQ(server.Requests().at(0).target, "/a%20b/%E4.gif%231");
}

TEST_F(Http, HostOverrideKeepsTheHostNameInTheRequest) {
    platform::SetHttpHostOverride("content.invalid", 80, "127.0.0.1", server.Port());
    HttpRequest request = To("/o");
    request.host = "content.invalid";
    request.port = 80;
    MemorySink sink;
    ASSERT_TRUE(platform::HttpPerform(request, sink).Ok());
    EXPECT_EQ(server.Requests().at(0).Header("Host"), "content.invalid");
}

TEST_F(Http, ManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < 10; ++k) {
                MemorySink sink;
                const std::string target = "/t" + std::to_string(i) + "/" + std::to_string(k);
                if (platform::HttpPerform(To(target), sink).Ok() &&
                    sink.body == "body of " + target) {
                    ++ok[i];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ok[i], 10);
    }
}

} // namespace

#include "control/httpgetter.h"
#include "platform/fileio.h"
#include "platform/http.h"
#include "support/httpserver.h"
#include "support/temphome.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using tolvar::test::HttpServer;
using tolvar::test::HttpServerRequest;
using tolvar::test::HttpServerResponse;
using tolvar::test::TempFolder;

TEST(HttpGetterSetURL, SplitsTheURL) {
    const struct {
        const char* url;
        const char* scheme;
        const char* host;
        int port;
        const char* document;
        const char* base;
    } cases[] = {
        {"http://server:8080/a/b.gif", "http://", "server", 8080, "/a/b.gif",
         "http://server:8080/a/"},
        {"http://server:x1/a/b.gif", "http://", "server", 80, "/a/b.gif", "http://server:x1/a/"},
        {"http://server/index.html", "http://", "server", 80, "/index.html", "http://server/"},
        {"http://server", "http://", "", 80, "server", "http://server"},
        {"server/path/doc?x=1", "", "server", 80, "/path/doc?x=1", "server/path/"},
        {"#brimwald:///feeds/content.php", "#brimwald://", "", 80, "/feeds/content.php",
         "#brimwald:///feeds/"},
        {"http://[::1]:8080/x", "http://", "[::1]", 8080, "/x", "http://[::1]:8080/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        HttpGetter getter;
        getter.SetURL(c.url);
        EXPECT_TRUE(getter.Prepared());
        EXPECT_EQ(getter.URL(), c.url);
        EXPECT_EQ(getter.LinkURL(), c.url);
        EXPECT_EQ(getter.Scheme(), c.scheme);
        EXPECT_EQ(getter.Host(), c.host);
        EXPECT_EQ(getter.Port(), c.port);
        EXPECT_EQ(getter.Document(), c.document);
        EXPECT_EQ(getter.BaseURL(), c.base);
        EXPECT_EQ(getter.StatusCode(), 0);
    }
}

// A content-host entry names its server as a URL's host part does.
TEST(HttpGetterSplitHostPort, NameAndOptionalPort) {
    const struct {
        const char* entry;
        const char* host;
        int port;
        bool named;
    } cases[] = {
        {"content.example", "content.example", 80, false},
        {"content.example:8080", "content.example", 8080, true},
        {"127.0.0.1:49152", "127.0.0.1", 49152, true},
        {"[::1]:8080", "[::1]", 8080, true},
        {"[fd00::5]", "[fd00::5]", 80, false},
        {"server:x1", "server", 80, false},
        {"server:", "server", 80, false},
        {"", "", 80, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        const HostPort server = SplitHostPort(c.entry);
        EXPECT_EQ(server.host, c.host);
        EXPECT_EQ(server.port, c.port);
        EXPECT_EQ(server.portNamed, c.named);
    }
}

TEST(HttpGetterSetURL, FreshAndEmptyURLStayUnprepared) {
    HttpGetter getter;
    EXPECT_EQ(getter.UserAgent(), "Mozilla/4.0 (compatible; MSIE 6.0; MSDOS 3.3)");
    EXPECT_EQ(getter.StatusCode(), 0);
    getter.SetURL("");
    EXPECT_FALSE(getter.Prepared());
    getter.SetTargetFile("/tmp/never");
    EXPECT_FALSE(getter.Get());
    EXPECT_EQ(getter.StatusCode(), -1);
    EXPECT_EQ(getter.StatusText(), "Fatal error: HttpGetter not initialized.");
}

// A content server reached as the host names "good" (answers), "bad" (drops every
// request) and "dead" (nothing listens), all on port 80 through host overrides.
class HttpGetterTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetHttpHostOverride("good", 80, "127.0.0.1", good.Port());
        platform::SetHttpHostOverride("bad", 80, "127.0.0.1", bad.Port());
        platform::SetHttpHostOverride("dead", 80, "127.0.0.1", tolvar::test::UnusedLoopbackPort());
        HttpGetter::SetInternalScheme("#brimwald://");
        HttpGetter::SetHostList({});
        HttpGetter::SetRequestKey("a,b");
        HttpGetter::SetWorkingHost("");
        HttpGetter::SetTimeoutMs(5000);
        target = dir.Path() + "/object.tmp";
    }
    void TearDown() override { platform::ClearHttpHostOverrides(); }

    static HttpServerResponse Answer(const std::string& body, const std::string& type) {
        HttpServerResponse r;
        r.body = body;
        r.contentType = type;
        return r;
    }

    bool Fetch(HttpGetter& getter, const std::string& url) {
        getter.SetURL(url);
        getter.SetTargetFile(target);
        return getter.Get();
    }

    TempFolder dir;
    std::string target;
    HttpServer good{
        [](const HttpServerRequest& r) { return Answer("body of " + r.target, "image/jpeg"); }};
    HttpServer bad{[](const HttpServerRequest&) {
        HttpServerResponse r;
        r.dropBeforeAnswer = true;
        return r;
    }};
};

TEST_F(HttpGetterTest, InternalSchemeGoesToTheWorkingHostWithTheKey) {
    HttpGetter::SetWorkingHost("good");
    HttpGetter getter;
    ASSERT_TRUE(Fetch(getter, "#brimwald:///feeds/content.php")) << getter.StatusText();
    const HttpServerRequest seen = good.Requests().at(0);
    EXPECT_EQ(seen.target, "/feeds/content.php?key=a,b");
    EXPECT_EQ(seen.Header("Host"), "good");
    EXPECT_EQ(seen.HeaderCount("Host"), 1);
    EXPECT_EQ(seen.Header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 6.0; MSDOS 3.3)");
    EXPECT_EQ(getter.Scheme(), "http://");
    EXPECT_EQ(getter.Host(), "good");
    EXPECT_EQ(getter.BaseURL(), "http://good/feeds/");
    EXPECT_EQ(getter.StatusCode(), 200);
    EXPECT_EQ(getter.StatusText(), "200 OK");
    EXPECT_EQ(getter.ContentType(), "image/jpeg");
    EXPECT_EQ(platform::ReadFile(target).value(), "body of /feeds/content.php?key=a,b");
    EXPECT_EQ(HttpGetter::WorkingHost(), "good");
}

TEST_F(HttpGetterTest, KeyJoinsAnExistingQueryAndMayBeEmpty) {
    HttpGetter::SetWorkingHost("good");
    HttpGetter first;
    ASSERT_TRUE(Fetch(first, "#brimwald:///images/p/x.gif?v=2"));
    HttpGetter::SetRequestKey("");
    HttpGetter second;
    ASSERT_TRUE(Fetch(second, "#brimwald:///images/p/y.gif"));
    const auto seen = good.Requests();
    EXPECT_EQ(seen.at(0).target, "/images/p/x.gif?v=2&key=a,b");
    EXPECT_EQ(seen.at(1).target, "/images/p/y.gif?key=");
}

TEST_F(HttpGetterTest, FailingWorkingHostIsClearedAndTheListTriedInOrder) {
    HttpGetter::SetWorkingHost("bad");
    HttpGetter::SetHostList({"dead", "bad", "good", "dead"});
    HttpGetter getter;
    ASSERT_TRUE(Fetch(getter, "#brimwald:///feeds/content.php?x=1")) << getter.StatusText();
    EXPECT_EQ(HttpGetter::WorkingHost(), "good");
    // The working host once, then again in its place in the list.
    ASSERT_EQ(bad.RequestCount(), 2u);
    ASSERT_EQ(good.RequestCount(), 1u);
    for (const auto& r : bad.Requests()) {
        EXPECT_EQ(r.target, "/feeds/content.php?x=1&key=a,b");
    }
    EXPECT_EQ(good.Requests().at(0).target, "/feeds/content.php?x=1&key=a,b");
    EXPECT_EQ(good.Requests().at(0).Header("Host"), "good");

    // Once known, the working host is asked first and alone.
    HttpGetter next;
    ASSERT_TRUE(Fetch(next, "#brimwald:///feeds/other.xml"));
    EXPECT_EQ(bad.RequestCount(), 2u);
    EXPECT_EQ(good.RequestCount(), 2u);
}

TEST_F(HttpGetterTest, NoHostAnsweringLeavesNoWorkingHostAndTheLastError) {
    HttpGetter::SetWorkingHost("good");
    HttpGetter::SetHostList({"bad", "dead"});
    good.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.dropBeforeAnswer = true;
        return r;
    });
    HttpGetter getter;
    EXPECT_FALSE(Fetch(getter, "#brimwald:///feeds/content.php"));
    EXPECT_EQ(HttpGetter::WorkingHost(), "");
    EXPECT_EQ(getter.StatusCode(), -1);
    // "dead" was last: nothing listens there.
    EXPECT_EQ(getter.StatusText().rfind("HttpSendRequest failed: error: 7", 0), 0u)
        << getter.StatusText();
    EXPECT_FALSE(platform::FileExists(target));
}

// Host entries naming a port reach that port, with the key and the Host header naming
// the port too; a plain name stays on port 80.
TEST_F(HttpGetterTest, HostEntriesWithAPortAreReachedOnThatPort) {
    const std::string port = std::to_string(good.Port());
    // An IPv6 entry reaches its port: only that host and port pair leads to the server.
    platform::SetHttpHostOverride("[fd00::5]", 8123, "127.0.0.1", good.Port());
    const struct {
        std::vector<std::string> hosts;
        std::string hostHeader;
        std::string working;
    } cases[] = {
        {{"127.0.0.1:" + port}, "127.0.0.1:" + port, "127.0.0.1:" + port},
        {{"localhost:" + port}, "localhost:" + port, "localhost:" + port},
        {{"[fd00::5]:8123"}, "[fd00::5]:8123", "[fd00::5]:8123"},
        {{"127.0.0.1:" + std::to_string(tolvar::test::UnusedLoopbackPort()), "good"},
         "good",
         "good"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hosts.front());
        HttpGetter::SetWorkingHost("");
        HttpGetter::SetHostList(c.hosts);
        const std::size_t before = good.RequestCount();
        HttpGetter getter;
        ASSERT_TRUE(Fetch(getter, "#brimwald:///feeds/world.xml")) << getter.StatusText();
        ASSERT_EQ(good.RequestCount(), before + 1);
        const HttpServerRequest seen = good.Requests().back();
        EXPECT_EQ(seen.target, "/feeds/world.xml?key=a,b");
        EXPECT_EQ(seen.Header("Host"), c.hostHeader);
        EXPECT_EQ(HttpGetter::WorkingHost(), c.working);
        EXPECT_EQ(getter.BaseURL(), "http://" + c.working + "/feeds/");
        // The working host keeps its port for the next request.
        HttpGetter next;
        ASSERT_TRUE(Fetch(next, "#brimwald:///feeds/tech.xml")) << next.StatusText();
        EXPECT_EQ(good.Requests().back().Header("Host"), c.hostHeader);
    }
}

TEST_F(HttpGetterTest, InternalSchemeWithoutHostsTransfersNothing) {
    HttpGetter getter;
    EXPECT_FALSE(Fetch(getter, "#brimwald:///feeds/content.php"));
    EXPECT_EQ(getter.StatusCode(), 0);
    EXPECT_EQ(getter.StatusText(), "");
    EXPECT_EQ(good.RequestCount(), 0u);
}

TEST_F(HttpGetterTest, OtherURLsGoWhereTheyPoint) {
    HttpGetter getter;
    ASSERT_TRUE(Fetch(getter, "http://127.0.0.1:" + std::to_string(good.Port()) + "/a/b.gif"))
        << getter.StatusText();
    const HttpServerRequest seen = good.Requests().at(0);
    EXPECT_EQ(seen.target, "/a/b.gif");
    EXPECT_EQ(seen.Header("Host"), "127.0.0.1:" + std::to_string(good.Port()));
    // Without a scheme, the URL is sent as it splits.
    HttpGetter bare;
    ASSERT_TRUE(Fetch(bare, "good/c/d.xml"));
    EXPECT_EQ(good.Requests().at(1).target, "/c/d.xml");
}

TEST_F(HttpGetterTest, PostSendsTheBodyAsAForm) {
    HttpGetter::SetWorkingHost("good");
    HttpGetter getter;
    getter.SetURL("#brimwald:///feeds/content.php");
    getter.SetTargetFile(target);
    const std::string body = "host_id=H&user_id=U&client_version=1.0.0.0&subscriptions=a,+b";
    ASSERT_TRUE(getter.Post(body));
    const HttpServerRequest seen = good.Requests().at(0);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, body);
    EXPECT_EQ(seen.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(seen.HeaderCount("Content-Type"), 1);
    EXPECT_EQ(seen.Header("Connection"), "Keep-Alive");
    EXPECT_EQ(seen.Header("Accept"), "*/*");
}

TEST_F(HttpGetterTest, ErrorStatusIsATransferWithoutContentType) {
    good.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r = Answer("not here", "text/html");
        r.status = 404;
        r.reason = "Not Found";
        return r;
    });
    HttpGetter getter;
    EXPECT_TRUE(Fetch(getter, "good/missing.gif"));
    EXPECT_EQ(getter.StatusCode(), 404);
    EXPECT_EQ(getter.StatusText(), "404 Not Found");
    EXPECT_EQ(getter.ContentType(), "");
    // The body is the caller's to keep or delete.
    EXPECT_EQ(platform::ReadFile(target).value(), "not here");
}

TEST_F(HttpGetterTest, EmptyBodyLeavesAnEmptyFile) {
    good.SetHandler([](const HttpServerRequest&) { return Answer("", "text/xml"); });
    HttpGetter getter;
    EXPECT_TRUE(Fetch(getter, "good/empty.xml"));
    EXPECT_EQ(platform::ReadFile(target).value(), "");
}

TEST_F(HttpGetterTest, RedirectIsFollowed) {
    good.SetHandler([](const HttpServerRequest& r) {
        if (r.target == "/old.gif") {
            HttpServerResponse moved = Answer("moved", "text/html");
            moved.status = 302;
            moved.reason = "Found";
            moved.headers.push_back("Location: /new.gif");
            return moved;
        }
        return Answer("picture", "image/gif");
    });
    HttpGetter getter;
    ASSERT_TRUE(Fetch(getter, "good/old.gif"));
    EXPECT_EQ(getter.StatusCode(), 200);
    EXPECT_EQ(getter.ContentType(), "image/gif");
    EXPECT_EQ(platform::ReadFile(target).value(), "picture");
}

// Each failure of the transfer, its text, and no file under the target name, the old
// content of an existing one kept.
TEST_F(HttpGetterTest, FailuresGiveTheirTextAndLeaveNoHalfFile) {
    HttpGetter::SetTimeoutMs(300);
    const std::string read = "InternetReadFile for " + target + " failed: ";
    struct Case {
        const char* name;
        HttpServerResponse response;
        std::string text;
    };
    std::vector<Case> cases;
    HttpServerResponse r;
    r.neverAnswer = true;
    cases.push_back({"send hangs", r, "HttpSendRequest failed: Timeout."});
    r = {};
    r.generatedBytes = 300000;
    r.stallAfter = 100000;
    r.stallFor = 24h;
    cases.push_back({"read stalls", r, read + "Timeout."});
    r = {};
    r.generatedBytes = 300000;
    r.trickleBytes = 100;
    r.trickleEvery = 20ms;
    cases.push_back({"read trickles", r, read + "Timeout."});
    r = {};
    r.generatedBytes = 300000;
    r.dropAfter = 100000;
    cases.push_back({"cut off", r, read + "Read Error."});
    r = {};
    r.generatedBytes = HttpGetter::MaxBodyBytes + 1;
    cases.push_back({"announced too large", r, read + "Too large."});
    r.chunked = true;
    cases.push_back({"chunked too large", r, read + "Too large."});
    for (bool existing : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (existing ? ", existing file" : ""));
            if (existing) {
                platform::AtomicWriteFile(target, "previous");
            } else {
                platform::RemoveFile(target);
            }
            good.SetHandler([&c](const HttpServerRequest&) { return c.response; });
            HttpGetter getter;
            EXPECT_FALSE(Fetch(getter, "good/object.gif"));
            EXPECT_EQ(getter.StatusCode(), -1);
            EXPECT_EQ(getter.StatusText(), c.text);
            EXPECT_EQ(getter.ContentType(), "");
            if (existing) {
                EXPECT_EQ(platform::ReadFile(target).value_or("(none)"), "previous");
            } else {
                EXPECT_FALSE(platform::FileExists(target));
            }
        }
    }
}

// A host that trickles fails after about the time-out, like a silent one, and the
// fail-over goes on in its order: the working host, then the list, the failed one again.
TEST_F(HttpGetterTest, TricklingHostFailsAfterTheTimeOutAndTheFailOverGoesOn) {
    HttpServer slow{[](const HttpServerRequest&) {
        HttpServerResponse r;
        r.generatedBytes = 300000;
        r.trickleBytes = 100;
        r.trickleEvery = 10ms; // 10 KB a second: 64 KB would take over six seconds
        return r;
    }};
    platform::SetHttpHostOverride("slow", 80, "127.0.0.1", slow.Port());
    HttpGetter::SetTimeoutMs(500);
    HttpGetter::SetWorkingHost("slow");
    HttpGetter::SetHostList({"slow", "good"});
    HttpGetter getter;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Fetch(getter, "#brimwald:///images/x.gif"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(slow.RequestCount(), 2u);
    EXPECT_EQ(good.RequestCount(), 1u);
    EXPECT_EQ(HttpGetter::WorkingHost(), "good");
    // Two attempts of about 500 ms each; far from the seconds a trickle would take.
    EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 4000ms);
    std::printf("trickling host: two attempts with a 500 ms time-out took %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

// The thread's stop flag ends the request in flight and the fail-over: no other host is
// asked, and the working host is no failed host for it.
TEST_F(HttpGetterTest, StopFlagEndsTheRequestAndTheFailOver) {
    HttpServer silent{[](const HttpServerRequest&) {
        HttpServerResponse r;
        r.neverAnswer = true;
        return r;
    }};
    platform::SetHttpHostOverride("silent", 80, "127.0.0.1", silent.Port());
    HttpGetter::SetTimeoutMs(60000);
    HttpGetter::SetWorkingHost("silent");
    HttpGetter::SetHostList({"silent", "good"});
    std::atomic<bool> stop{false};
    HttpGetter::SetThreadStopFlag(&stop);
    std::thread stopper([&] {
        tolvar::test::WaitUntil([&] { return silent.RequestCount() > 0; });
        stop = true;
    });
    HttpGetter getter;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = Fetch(getter, "#brimwald:///images/x.gif");
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    HttpGetter::SetThreadStopFlag(nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(getter.StatusText(), "Request cancelled.");
    EXPECT_EQ(getter.StatusCode(), -1);
    EXPECT_EQ(silent.RequestCount(), 1u);
    EXPECT_EQ(good.RequestCount(), 0u);
    EXPECT_EQ(HttpGetter::WorkingHost(), "silent");
    EXPECT_LT(took, 5000ms);
}

TEST_F(HttpGetterTest, ArgumentsAreCheckedInOrder) {
    HttpGetter noTarget;
    noTarget.SetURL("good/x");
    EXPECT_FALSE(noTarget.Get());
    EXPECT_EQ(noTarget.StatusText(), "Fatal error: target filename empty.");
    EXPECT_EQ(noTarget.StatusCode(), -1);

    HttpGetter noServer;
    EXPECT_FALSE(Fetch(noServer, "/only/a/path"));
    EXPECT_EQ(noServer.StatusText(), "Fatal error: server empty.");

    HttpGetter badServer;
    EXPECT_FALSE(Fetch(badServer, "http://good\r\nX-Injected: 1/x"));
    EXPECT_EQ(badServer.StatusText().rfind("InternetConnect failed: error: ", 0), 0u);

    HttpGetter badDocument;
    EXPECT_FALSE(Fetch(badDocument, "http://good/x\r\nX-Injected: 1"));
    EXPECT_EQ(badDocument.StatusText().rfind("HttpOpenRequest failed: error: ", 0), 0u);
    EXPECT_EQ(good.RequestCount(), 0u);
}

TEST_F(HttpGetterTest, UncreatableTargetIsAFileCreateError) {
    HttpGetter getter;
    getter.SetURL("good/x.gif");
    const std::string missing = dir.Path() + "/no/such/folder/x.tmp";
    getter.SetTargetFile(missing);
    EXPECT_FALSE(getter.Get());
    EXPECT_EQ(getter.StatusText(),
              "FileCreate for " + missing + " failed: error: 2No such file or directory");
}

TEST_F(HttpGetterTest, FailedWriteIsAFileWriteErrorWithoutAFile) {
    good.SetHandler([](const HttpServerRequest&) {
        HttpServerResponse r;
        r.generatedBytes = 200000;
        return r;
    });
    // A full disk, as root meets it too: a file-size limit on this test's process (each
    // test runs in a process of its own). Not in a forked child: a child of a process with
    // threads can hang on a lock that another thread held at the fork.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    HttpGetter getter;
    const bool ok = Fetch(getter, "good/big.gif");
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(getter.StatusText(), "FileWrite for " + target + " failed: error: 27File too large");
    EXPECT_FALSE(platform::FileExists(target));
}

TEST_F(HttpGetterTest, HttpsURLsUseTlsOnTheirPort) {
    // The plain server never sees a request line in a TLS greeting: the handshake times
    // out, so TLS was tried, on 443.
    HttpGetter::SetTimeoutMs(300);
    platform::SetHttpHostOverride("secure", 443, "127.0.0.1", good.Port());
    HttpGetter getter;
    EXPECT_FALSE(Fetch(getter, "https://secure/x.gif"));
    EXPECT_EQ(getter.StatusText(), "HttpSendRequest failed: Timeout.");
    EXPECT_EQ(good.ConnectionCount(), 1u);
    EXPECT_EQ(good.RequestCount(), 0u);
}

} // namespace

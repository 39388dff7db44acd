#include "common/tolvarsettings.h"
#include "contenthost.h"
#include "control/httpgetobject.h"

#include <gtest/gtest.h>

namespace {

using tolvar::test::ContentTest;
using tolvar::test::DataPath;
using tolvar::test::HttpServerResponse;

std::string Fixture(const std::string& name) {
    return platform::ReadFile(DataPath("httpgetobject/" + name)).value();
}

class HttpGetObjectTest : public ContentTest {
protected:
    const std::string name = "{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}";
};

TEST_F(HttpGetObjectTest, ImagesAreNamedByTheirExactContentType) {
    const struct {
        const char* type;
        const char* extension; // empty: refused
    } cases[] = {
        {"image/jpeg", ".jpg"},
        {"image/gif", ".gif"},
        {"image/png", ".png"},
        {"image/x-ms-bmp", ".bmp"},
        {"image/bitmap", ".bmp"},
        {"image/bmp", ".bmp"},
        {"application/x-msmetafile", ".wmf"},
        {"IMAGE/JPEG", ""},
        {"image/jpeg; charset=binary", ""},
        {"image/jpg", ""},
        {"text/html", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(CacheFiles().empty());
        hostA.Put("/pic", "picture bytes", c.type);
        std::string extension = "stale";
        const bool ok = HttpGetImageFile("http://host-a/pic", name, extension);
        EXPECT_EQ(ok, *c.extension != '\0');
        EXPECT_EQ(extension, c.extension);
        if (ok) {
            EXPECT_EQ(GetHttpGetError(), "200 OK");
            EXPECT_EQ(CacheFiles(), std::set<std::string>{name + c.extension});
            EXPECT_EQ(platform::ReadFile(cacheDir + "/" + name + c.extension).value(),
                      "picture bytes");
            platform::RemoveFile(cacheDir + "/" + name + c.extension);
        } else {
            EXPECT_EQ(GetHttpGetError(), std::string("unsupported content type: ") + c.type);
            EXPECT_TRUE(CacheFiles().empty()) << "the temporary file is deleted";
        }
    }
}

// Every fetcher: a status other than 200 leaves no file and reports the status text; a
// host that answers nothing reports the client's error.
TEST_F(HttpGetObjectTest, FailedRequestsLeaveNoFile) {
    using Fetch = std::function<bool(const std::string& uri)>;
    const struct {
        const char* what;
        Fetch fetch;
    } fetchers[] = {
        {"control file",
         [&](const std::string& uri) {
             std::string serial;
             return HttpGetControlFile(uri, name, serial, ".xml", "");
         }},
        {"layout", [&](const std::string& uri) { return HttpGetLayoutFile(uri, name, ".xml"); }},
        {"feed",
         [&](const std::string& uri) {
             std::string ext;
             return HttpGetFeedFile(uri, name, ext);
         }},
        {"image",
         [&](const std::string& uri) {
             std::string ext;
             return HttpGetImageFile(uri, name, ext);
         }},
    };
    HttpServerResponse gone;
    gone.status = 410;
    gone.reason = "Gone";
    gone.body = Fixture("control.xml"); // a good document, but not a 200 answer
    gone.contentType = "image/gif";
    hostA.PutResponse("/gone", gone);
    for (const auto& f : fetchers) {
        SCOPED_TRACE(f.what);
        EXPECT_FALSE(f.fetch("http://host-a/missing"));
        EXPECT_EQ(GetHttpGetError(), "404 Not Found");
        EXPECT_FALSE(f.fetch("http://host-a/gone"));
        EXPECT_EQ(GetHttpGetError(), "410 Gone");
        EXPECT_FALSE(f.fetch("http://host-dead/x"));
        EXPECT_EQ(GetHttpGetError().rfind("HttpSendRequest failed: ", 0), 0u) << GetHttpGetError();
        EXPECT_TRUE(CacheFiles().empty());
    }
}

TEST_F(HttpGetObjectTest, ControlFileRequestCarriesTheIdentitiesAndSubscriptions) {
    const TolvarSettings settings("Brimwald", "Tolvar");
    settings.SetSysHostID("HOST-1");
    settings.SetSysUserID("USER-2");
    hostA.Put("/feeds/content.php", Fixture("control.xml"));
    HttpGetter::SetWorkingHost("host-a");
    std::string serial;
    ASSERT_TRUE(
        HttpGetControlFile("#brimwald:///feeds/content.php", name, serial, ".ignored", "a,+b"))
        << GetHttpGetError();
    EXPECT_EQ(serial, "2026-01-01");
    EXPECT_EQ(CacheFiles(), std::set<std::string>{name + ".xml"});
    const auto request = hostA.Requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/feeds/content.php?key=k1");
    EXPECT_EQ(request.body, "host_id=HOST-1&user_id=USER-2&client_version=" +
                                settings.GetBaseappVersion() + "&subscriptions=a,+b");
}

// A document that is not read whole never gets a final name, nor does a layout with a
// value error or no layout at all; a feed is kept as it came.
TEST_F(HttpGetObjectTest, DocumentsThatDoNotReadWholeAreRefused) {
    const struct {
        const char* fixture;
        const char* kind;  // "control", "layout" or "feed"
        const char* error; // empty: accepted
    } cases[] = {
        {"control.xml", "control", ""},
        {"control-half.xml", "control", "Parse error for control file."},
        {"control-cut.xml", "control", "Parse error for control file."},
        {"layout.xml", "layout", ""},
        {"layout-value-error.xml", "layout", "Parse error for layout file."},
        {"control-cut.xml", "layout", "Parse error for layout file."},
        {"control-cut.xml", "feed", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.fixture);
        const std::string body = Fixture(c.fixture);
        hostA.Put("/doc", body);
        bool ok = false;
        std::string extension;
        if (std::string(c.kind) == "control") {
            std::string serial;
            ok = HttpGetControlFile("http://host-a/doc", name, serial, ".xml", "");
        } else if (std::string(c.kind) == "layout") {
            ok = HttpGetLayoutFile("http://host-a/doc", name, ".xml");
        } else {
            ok = HttpGetFeedFile("http://host-a/doc", name, extension);
            EXPECT_EQ(extension, ".xml");
        }
        if (*c.error == '\0') {
            EXPECT_TRUE(ok) << GetHttpGetError();
            EXPECT_EQ(GetHttpGetError(), "200 OK");
            EXPECT_EQ(platform::ReadFile(cacheDir + "/" + name + ".xml").value(), body);
            platform::RemoveFile(cacheDir + "/" + name + ".xml");
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetHttpGetError(), c.error);
        }
        EXPECT_TRUE(CacheFiles().empty());
    }
}

TEST_F(HttpGetObjectTest, ArgumentsAreCheckedBeforeAnyRequest) {
    const struct {
        const char* uri;
        const char* name;
        const char* error;
    } cases[] = {
        {"", "", "Fatal error: URI is empty"},
        {"", "n", "Fatal error: URI is empty"},
        {"http://host-a/pic", "", "Fatal error: ID is empty"},
        {"http://host-a/pic", "../outside", "Fatal error: ID is not a file name"},
        {"http://host-a/pic", "sub/name", "Fatal error: ID is not a file name"},
        {"http://host-a/pic", "cache.dir", "Fatal error: ID is not a file name"},
    };
    hostA.Put("/pic", "x", "image/gif");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.uri) + " / " + c.name);
        std::string extension = "stale";
        EXPECT_FALSE(HttpGetImageFile(c.uri, c.name, extension));
        EXPECT_EQ(GetHttpGetError(), c.error);
        EXPECT_EQ(extension, "");
        EXPECT_FALSE(HttpGetFeedFile(c.uri, c.name, extension));
        EXPECT_EQ(GetHttpGetError(), c.error);
    }
    // The documents fetched without the object check still refuse a name with a path.
    std::string serial;
    EXPECT_FALSE(HttpGetControlFile("http://host-a/pic", "../x", serial, ".xml", ""));
    EXPECT_FALSE(HttpGetLayoutFile("http://host-a/pic", "a/b", ".xml"));
    EXPECT_EQ(hostA.Total(), 0);
    EXPECT_TRUE(CacheFiles().empty());
}

} // namespace

#pragma once

// Test bed of the cache writers and the synchronisation cycle: content hosts on loopback
// that serve documents by path, reached as "host-a" and "host-b" through host overrides,
// a fresh home with its cache folder, a scripted connection state (LAN up), and small
// builders for feeds. Header-only; shared by the control tests.

#include "common/cache.h"
#include "common/directories.h"
#include "control/httpgetter.h"
#include "platform/fileio.h"
#include "platform/http.h"
#include "support/httpserver.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar::test {

// Serves documents by path (the request target without its query). Unknown paths get
// 404; a dead host drops every connection before answering.
class ContentHost {
public:
    ContentHost() : server_([this](const HttpServerRequest& request) { return Answer(request); }) {}

    void Put(const std::string& path, const std::string& body,
             const std::string& contentType = "text/xml") {
        std::lock_guard lock(mutex_);
        HttpServerResponse r;
        r.body = body;
        r.contentType = contentType;
        objects_[path] = r;
    }
    void PutResponse(const std::string& path, const HttpServerResponse& response) {
        std::lock_guard lock(mutex_);
        objects_[path] = response;
    }
    void SetDead(bool dead) {
        std::lock_guard lock(mutex_);
        dead_ = dead;
    }
    // Requests for path so far.
    int Count(const std::string& path) const {
        std::lock_guard lock(mutex_);
        auto it = counts_.find(path);
        return it == counts_.end() ? 0 : it->second;
    }
    int Total() const {
        std::lock_guard lock(mutex_);
        int total = 0;
        for (const auto& [path, n] : counts_) {
            total += n;
        }
        return total;
    }
    void ResetCounts() {
        std::lock_guard lock(mutex_);
        counts_.clear();
    }
    std::vector<HttpServerRequest> Requests() const { return server_.Requests(); }
    int Port() const { return server_.Port(); }

private:
    HttpServerResponse Answer(const HttpServerRequest& request) {
        const std::string path = request.target.substr(0, request.target.find('?'));
        std::lock_guard lock(mutex_);
        ++counts_[path];
        if (dead_) {
            HttpServerResponse r;
            r.dropBeforeAnswer = true;
            return r;
        }
        auto it = objects_.find(path);
        if (it == objects_.end()) {
            HttpServerResponse r;
            r.status = 404;
            r.reason = "Not Found";
            r.body = "missing";
            return r;
        }
        return it->second;
    }

    mutable std::mutex mutex_;
    std::map<std::string, HttpServerResponse> objects_;
    std::map<std::string, int> counts_;
    bool dead_ = false;
    HttpServer server_;
};

// An RSS 1.0 feed with one item per picture key (an empty key: an item without picture).
inline std::string Feed(const std::vector<std::string>& pictures) {
    std::string text = "<?xml version=\"1.0\"?>\n"
                       "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"\n"
                       "  xmlns=\"http://purl.org/rss/1.0/\"\n"
                       "  xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">\n"
                       "<channel><title>t</title></channel>\n";
    int n = 0;
    for (const std::string& picture : pictures) {
        text += "<item><title>item " + std::to_string(++n) + "</title>";
        if (!picture.empty()) {
            text += "<content:items><rdf:Bag><rdf:li><content:item rdf:about=\"" + picture +
                    "\"/></rdf:li></rdf:Bag></content:items>";
        }
        text += "</item>\n";
    }
    return text + "</rdf:RDF>\n";
}

inline const std::string kChannelC3 =
    R"(<channel id="c3" serial="1" title="Three" uri="#brimwald:///feeds/c3.xml"/>)";

inline std::string Fixture(const std::string& name) {
    return platform::ReadFile(DataPath("fetchthread/" + name)).value();
}

inline void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// What varies in the control file of the synchronisation tests.
struct ControlParams {
    std::string time = "2026-01-01";
    std::string c1 = "1";
    std::string extra = kChannelC3;
    std::vector<std::string> hosts = {"host-a"};
};

inline std::string ControlFile(const ControlParams& params) {
    std::string text = Fixture("control-template.xml");
    std::string hosts;
    for (const auto& h : params.hosts) {
        hosts += "<host name=\"" + h + "\"/>";
    }
    ReplaceAll(text, "@TIME@", params.time);
    ReplaceAll(text, "@HOSTS@", hosts);
    ReplaceAll(text, "@C1@", params.c1);
    ReplaceAll(text, "@EXTRA@", params.extra);
    return text;
}

inline std::string Picture(const std::string& name) {
    return "#brimwald:///images/" + name + ".jpg";
}

// The content of a first cycle: control file, layout with its pictures, two subscribed
// channels with icon, feed and item pictures, and an unsubscribed one.
inline void ServeCycleContent(ContentHost& host, const ControlParams& params = {}) {
    host.Put("/feeds/content.php", ControlFile(params));
    host.Put("/layouts/p.xml", Fixture("layout.xml"));
    for (const char* p : {"splash", "bg800", "bg1024", "quit", "quit_h"}) {
        host.Put(std::string("/images/p/") + p + ".jpg", p, "image/jpeg");
    }
    host.Put("/images/p/clock.gif", "clock", "image/gif");
    host.Put("/images/p/quit.gif", "quit", "image/gif");
    host.Put("/images/p/quit_h.gif", "quit", "image/gif");
    host.Put("/icons/c1.gif", "icon1", "image/gif");
    host.Put("/icons/c2.gif", "icon2", "image/gif");
    host.Put("/feeds/c1.xml", Feed({Picture("p1"), Picture("p2")}));
    host.Put("/feeds/c2.xml", Feed({Picture("p3"), ""}));
    host.Put("/feeds/c3.xml", Feed({}));
    for (const char* p : {"p1", "p2", "p3", "p4", "p5"}) {
        host.Put(std::string("/images/") + p + ".jpg", p, "image/jpeg");
    }
}

// The files of a cache folder that no entry of its "cache.dir" names, and the entries
// whose file is missing or not whole; both empty for a folder that is exactly what its
// index names. Whole: a document ends with its closing tag, a picture is not empty.
struct CacheMismatch {
    std::vector<std::string> unnamed;
    std::vector<std::string> broken;
};
inline CacheMismatch CheckCacheFolder(const std::string& folder) {
    CacheMismatch result;
    const auto entries =
        ParseCacheDir(platform::ReadFile(folder + "/cache.dir").value_or(std::string()));
    std::set<std::string> named;
    for (const CCObject& e : entries) {
        named.insert(e.file);
        const auto bytes = platform::ReadFile(folder + "/" + e.file);
        bool whole = bytes.has_value() && !bytes->empty();
        if (whole && e.file.ends_with(".xml")) {
            const std::size_t last = bytes->find_last_not_of("\r\n");
            whole = last != std::string::npos && (*bytes)[last] == '>';
        }
        if (!whole) {
            result.broken.push_back(e.file + "|" + e.serial + "|" + e.uri);
        }
    }
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name != "." && name != ".." && !name.starts_with("cache.dir") &&
                named.count(name) == 0) {
                result.unnamed.push_back(name);
            }
        }
        ::closedir(dir);
    }
    return result;
}

// The fixture base: fresh home, LAN up, two content hosts, the client's module state.
class ContentTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialup->SetLan(true);
        platform::SetHttpHostOverride("host-a", 80, "127.0.0.1", hostA.Port());
        platform::SetHttpHostOverride("host-b", 80, "127.0.0.1", hostB.Port());
        platform::SetHttpHostOverride("host-dead", 80, "127.0.0.1", UnusedLoopbackPort());
        HttpGetter::SetInternalScheme("#brimwald://");
        HttpGetter::SetRequestKey("k1");
        HttpGetter::SetWorkingHost("");
        HttpGetter::SetHostList({"host-a"});
        HttpGetter::SetTimeoutMs(5000);
        cacheDir = GetCacheDir();
    }
    void TearDown() override { platform::ClearHttpHostOverrides(); }

    // The entries of "cache.dir" as "file|serial|uri" lines, in file order.
    std::vector<CCObject> IndexEntries() const {
        return ParseCacheDir(platform::ReadFile(cacheDir + "/cache.dir").value_or(""));
    }
    // The newest entry of a key in "cache.dir", or nullopt.
    std::optional<CCObject> Latest(const std::string& uri) const {
        CC cc(cacheDir);
        cc.Load();
        const CCObject* e = cc.FindLatest(uri);
        return e != nullptr ? std::optional<CCObject>(*e) : std::nullopt;
    }
    // The file names in the cache folder (the index and its lock left out).
    std::set<std::string> CacheFiles() const {
        std::set<std::string> names;
        if (DIR* dir = ::opendir(cacheDir.c_str())) {
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != ".." && !name.starts_with("cache.dir")) {
                    names.insert(name);
                }
            }
            ::closedir(dir);
        }
        return names;
    }
    // Puts a document into the cache as the given key and serial, as an earlier cycle did.
    void Seed(const std::string& uri, const std::string& serial, const std::string& bytes,
              const std::string& file) {
        platform::AtomicWriteFile(cacheDir + "/" + file, bytes);
        CC cc(cacheDir);
        cc.Update([&] {
            auto e = std::make_unique<CCObject>();
            e->uri = uri;
            e->serial = serial;
            e->file = file;
            cc.entries.Add(std::move(e));
        });
    }

    TempHome home;
    ScriptedDialup dialup;
    ContentHost hostA;
    ContentHost hostB;
    std::string cacheDir;
};

} // namespace tolvar::test

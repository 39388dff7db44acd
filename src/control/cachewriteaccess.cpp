#include "control/cachewriteaccess.h"

#include "common/channelfeeds.h"
#include "common/directories.h"
#include "control/httpgetobject.h"
#include "control/httpgetter.h"
#include "platform/fileio.h"

#include <exception>
#include <memory>
#include <set>
#include <string_view>

namespace CacheWriteAccess {

std::atomic<CC*> CurrentCache{nullptr};
std::vector<std::string> CacheHostList;
std::atomic<int> NewMessageCount{0};

namespace {

const char* const kNotStorable = "Fatal error: URI or serial cannot be stored in the cache index";

// Adds what other writers saved since the index last read "cache.dir". An unreadable
// file adds nothing; the writes that follow refuse to overwrite it.
void ReloadIndex(CC& cache) {
    try {
        cache.Load();
    } catch (const std::exception&) {
    }
}

// Records a fetched file under its key and serial, saving at once. When the index cannot
// be saved the file goes again, with any entry naming it, so the index never names a
// file that is gone nor keeps a file that nothing names.
bool Record(CC& cache, const std::string& uri, const std::string& file, const std::string& serial) {
    try {
        cache.Update([&] {
            auto entry = std::make_unique<CCObject>();
            entry->uri = uri;
            entry->file = file;
            entry->serial = serial;
            cache.entries.Add(std::move(entry));
        });
        return true;
    } catch (const std::exception& e) {
        SetHttpGetError(std::string("Cache index not saved: ") + e.what());
        cache.RemoveFile(file); // the entry, when the change was made before the fault
        platform::RemoveFile(cache.folder + "/" + file);
        return false;
    }
}

// The items of a cached feed file; what was read before an error counts, a file that is
// not there or names something outside the cache folder gives none.
std::vector<CHFMessage> LoadFeedItems(const CC& cache, const std::string& file) {
    CHFChannel channel;
    if (!IsPlainCacheFileName(file)) {
        return {};
    }
    const std::string path = cache.folder + "/" + file;
    if (!platform::FileExists(path)) {
        return {};
    }
    try {
        channel.Load(path);
    } catch (const std::exception&) {
    }
    return std::move(channel.messages);
}

// The entry of exactly that key and serial (CC::Find reads an empty serial as "newest").
const CCObject* FindExact(const CC& cache, std::string_view uri, std::string_view serial) {
    const CCObject* found = nullptr;
    for (const auto& e : cache.entries.Lock()) {
        if (e->uri == uri && e->serial == serial) {
            found = e.get();
        }
    }
    return found;
}

// The files of the item pictures that one version of a feed uses. Only entries without a
// serial are item pictures; an item naming a layout picture or an icon never claims it.
void AddPictureFiles(const CC& cache, const std::string& feedFile, std::set<std::string>& out) {
    for (const CHFMessage& item : LoadFeedItems(cache, feedFile)) {
        if (item.contenturi.empty()) {
            continue;
        }
        const CCObject* picture = cache.FindLatest(item.contenturi);
        if (picture != nullptr && picture->serial.empty()) {
            out.insert(picture->file);
        }
    }
}

// The feed files of the two newest versions of a feed.
std::vector<std::string> KeptVersionFiles(const CC& cache, const std::string& uri) {
    std::vector<std::string> files;
    const auto serials = cache.ListSerials(uri);
    if (!serials) {
        return files;
    }
    const std::size_t n = serials->size();
    for (std::size_t i = n >= 2 ? n - 2 : 0; i < n; ++i) {
        if (const CCObject* e = FindExact(cache, uri, (*serials)[i])) {
            files.push_back(e->file);
        }
    }
    return files;
}

// Removes all but the two newest versions of the feed, with the pictures that only they
// use. Runs inside CC::Update, so the file is read, changed and written in one go.
void RemoveOldVersions(CC& cache, const std::string& uri,
                       const std::vector<std::string>& keepFeeds) {
    const auto serials = cache.ListSerials(uri);
    if (!serials || serials->size() <= 2) {
        return;
    }
    const std::vector<std::string> old(serials->begin(), serials->end() - 2);
    std::set<std::string> oldPictures;
    for (const std::string& serial : old) {
        if (const CCObject* e = FindExact(cache, uri, serial)) {
            AddPictureFiles(cache, e->file, oldPictures);
        }
    }
    std::set<std::string> inUse;
    if (!oldPictures.empty()) {
        for (const std::string& file : KeptVersionFiles(cache, uri)) {
            AddPictureFiles(cache, file, inUse);
        }
        // A picture shared with another channel's current items stays for that channel.
        for (const std::string& other : keepFeeds) {
            if (other == uri) {
                continue;
            }
            for (const std::string& file : KeptVersionFiles(cache, other)) {
                AddPictureFiles(cache, file, inUse);
            }
        }
    }
    for (const std::string& file : oldPictures) {
        if (inUse.count(file) == 0) {
            cache.RemoveFile(file);
        }
    }
    for (const std::string& serial : old) {
        cache.Remove(uri, serial);
    }
}

} // namespace

bool IsStorableEntry(const std::string& uri, const std::string& serial) {
    // One entry is one line "file|serial|uri": the serial ends at the next "|", and no
    // field may break the line.
    const std::string_view lineBreaks("\r\n\0", 3);
    const std::string_view serialStops("|\r\n\0", 4);
    return uri.find_first_of(lineBreaks) == std::string::npos &&
           serial.find_first_of(serialStops) == std::string::npos;
}

bool IsCached(const std::string& uri, const std::string& serial) {
    CC* cache = CurrentCache.load();
    if (cache == nullptr) {
        return false;
    }
    ReloadIndex(*cache);
    return cache->Find(uri, serial) != nullptr;
}

bool HttpGetControlFile(const std::string& uri, const std::string& subscriptions) {
    const std::string name = MakeGuidString();
    HttpGetter::SetHostList(CacheHostList);
    return FetchControlFile(CurrentCache.load(), uri, name, subscriptions);
}

bool FetchControlFile(CC* cache, const std::string& uri, const std::string& name,
                      const std::string& subscriptions) {
    if (cache == nullptr || name.empty()) {
        return false;
    }
    std::string serial;
    if (!::HttpGetControlFile(uri, name, serial, ".xml", subscriptions, cache->folder)) {
        return false;
    }
    const std::string file = name + ".xml";
    if (!IsStorableEntry(uri, serial)) {
        platform::RemoveFile(cache->folder + "/" + file);
        SetHttpGetError(kNotStorable);
        return false;
    }
    // The host answers every request with its current control file: a version held
    // already is neither stored nor recorded again, so a cycle that finds nothing new
    // leaves the cache folder as it was.
    ReloadIndex(*cache);
    if (FindExact(*cache, uri, serial) != nullptr) {
        platform::RemoveFile(cache->folder + "/" + file);
        return true;
    }
    return Record(*cache, uri, file, serial);
}

bool HttpGetLayout(const std::string& uri, const std::string& serial) {
    const std::string name = MakeGuidString();
    CC* cache = CurrentCache.load();
    if (uri.empty() || serial.empty() || cache == nullptr) {
        return false;
    }
    ReloadIndex(*cache);
    if (cache->Find(uri, serial) != nullptr) {
        return false;
    }
    const bool fetched = FetchLayout(cache, uri, name, serial);
    return fetched && cache->Find(uri, serial) != nullptr;
}

namespace {

// Where a download puts an object: name + the extension it reports, in folder.
using Download = bool (*)(const std::string& uri, const std::string& name, std::string& extension,
                          const std::string& folder);

bool DownloadLayout(const std::string& uri, const std::string& name, std::string& extension,
                    const std::string& folder) {
    extension = ".xml";
    return HttpGetLayoutFile(uri, name, extension, folder);
}

// The one way a layout, a feed or a picture enters the cache: refused when its line could
// not be stored, downloaded, then recorded (an item picture has no serial).
bool FetchAndRecord(CC* cache, const std::string& uri, const std::string& name,
                    const std::string& serial, Download download) {
    if (cache == nullptr || uri.empty() || name.empty()) {
        return false;
    }
    if (!IsStorableEntry(uri, serial)) {
        SetHttpGetError(kNotStorable);
        return false;
    }
    std::string extension;
    if (!download(uri, name, extension, cache->folder)) {
        return false;
    }
    return Record(*cache, uri, name + extension, serial);
}

} // namespace

bool FetchLayout(CC* cache, const std::string& uri, const std::string& name,
                 const std::string& serial) {
    return FetchAndRecord(cache, uri, name, serial, DownloadLayout);
}

bool HttpGetIcon(const std::string& uri, const std::string& serial) {
    CC* cache = CurrentCache.load();
    if (cache == nullptr) {
        return false;
    }
    const std::string name = MakeGuidString();
    if (uri.empty() || serial.empty()) {
        return false;
    }
    return FetchAndRecord(cache, uri, name, serial, HttpGetImageFile);
}

bool FetchThumb(CC* cache, const std::string& uri, const std::string& name) {
    return FetchAndRecord(cache, uri, name, std::string(), HttpGetImageFile);
}

bool FetchFeed(CC* cache, const std::string& uri, const std::string& name,
               const std::string& serial) {
    return FetchAndRecord(cache, uri, name, serial, HttpGetFeedFile);
}

bool HttpGetChannel(const std::string& uri, const std::string& id, const std::string& serial,
                    bool fetchThumbs, const std::vector<std::string>& keepFeeds,
                    const std::atomic<bool>* stop, bool* fetched) {
    if (fetched != nullptr) {
        *fetched = false;
    }
    const std::string name = MakeGuidString();
    CC* cache = CurrentCache.load();
    if (uri.empty() || id.empty() || serial.empty() || cache == nullptr) {
        return false;
    }
    ReloadIndex(*cache);

    std::string feedFile = name + ".xml";
    bool result = false;
    bool downloaded = false;
    const CCObject* latest = cache->FindLatest(uri);
    // Serials order byte-wise; a cached version at least as new is used as it is.
    if (latest != nullptr && !(latest->serial < serial)) {
        result = true;
    } else {
        result = FetchFeed(cache, uri, name, serial);
        downloaded = result;
    }
    if (fetched != nullptr) {
        *fetched = downloaded;
    }
    if (result) {
        latest = cache->FindLatest(uri);
        if (latest == nullptr) {
            return false;
        }
        feedFile = latest->file;
    }

    if (fetchThumbs) {
        const std::vector<CHFMessage> items = LoadFeedItems(*cache, feedFile);
        for (const CHFMessage& item : items) {
            if (stop != nullptr && stop->load()) {
                break;
            }
            if (!item.contenturi.empty() && cache->FindLatest(item.contenturi) == nullptr) {
                FetchThumb(cache, item.contenturi, MakeGuidString());
            }
        }
        // The items of a version cached before are no news.
        if (downloaded) {
            NewMessageCount += static_cast<int>(items.size());
        }
    }

    // Also after a failed fetch: versions left by earlier cycles go all the same. An
    // index that cannot be read or written keeps them for the next cycle.
    try {
        cache->Update([&] { RemoveOldVersions(*cache, uri, keepFeeds); });
    } catch (const std::exception&) {
    }
    return result;
}

} // namespace CacheWriteAccess

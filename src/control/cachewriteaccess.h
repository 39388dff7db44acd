#pragma once

// The cache writers: whether an object (cache key and serial) is cached already, and the
// fetches that put a new object into the cache folder under a fresh MakeGuidString name
// and record it in the running cycle's index (CurrentCache) and in "cache.dir".
// HttpGetChannel also fetches the pictures of a feed's items and removes older versions
// of the feed with the pictures that only they use.
//
// Every change of "cache.dir" is one CC::Update: the file is re-read, changed and saved
// under its lock, so entries that another writer saved meanwhile are kept. A version
// change goes: the new file complete on disk (written aside and renamed), the index that
// names it saved, then the index without the old versions saved, and only then their
// files deleted; a kill at any moment leaves an index whose every entry names a whole
// file, and what it leaves unnamed goes at the next writer's start (CacheWriterClaim). An entry the
// index format cannot hold (a key with a line break, a serial with "|" or a line break)
// is never recorded. Failures give false and leave their reason in GetHttpGetError().
//
// No Qt. Module state and writers belong to the fetch thread while a cycle runs; tests
// call them from their own thread with no cycle running.

#include "common/cache.h"

#include <atomic>
#include <string>
#include <vector>

namespace CacheWriteAccess {

// The running cycle's index, not owned; nullptr outside a cycle.
extern std::atomic<CC*> CurrentCache;
// The previous control file's hosts, handed to the HTTP client for the control-file
// request. Fetch thread only.
extern std::vector<std::string> CacheHostList;
// Items of the feeds fetched with their pictures in this cycle.
extern std::atomic<int> NewMessageCount;

// Whether the index (re-read from "cache.dir") holds the key with that serial; an empty
// serial asks for any version. False without CurrentCache.
bool IsCached(const std::string& uri, const std::string& serial);

// Posts the subscriptions for a new control file (hosts from CacheHostList). A control
// file whose serial the index holds already is not stored again (true all the same).
bool HttpGetControlFile(const std::string& uri, const std::string& subscriptions);
// Fetches a layout file unless that version is cached already (then false, no request).
bool HttpGetLayout(const std::string& uri, const std::string& serial);
// Fetches an image with a serial (a channel icon or a layout picture). An empty uri or
// serial gives false without a request and leaves the last error as it was.
bool HttpGetIcon(const std::string& uri, const std::string& serial);
// Fetches the feed unless the newest cached version is as new as serial (then true),
// then, with fetchThumbs, the pictures of its items that are not cached; only a feed
// fetched here adds its items to NewMessageCount. Older versions (all but the two
// newest) are removed with the pictures that no kept version of this feed and no feed of
// keepFeeds (newest two versions each) uses. stop, when given, ends the picture fetches
// early. fetched, when given, tells whether the feed was downloaded in this call: a true
// result alone may mean that the cached version is used.
bool HttpGetChannel(const std::string& uri, const std::string& id, const std::string& serial,
                    bool fetchThumbs, const std::vector<std::string>& keepFeeds = {},
                    const std::atomic<bool>* stop = nullptr, bool* fetched = nullptr);

// The inner writers: fetch into cache's folder and record on success.
bool FetchControlFile(CC* cache, const std::string& uri, const std::string& name,
                      const std::string& subscriptions);
bool FetchLayout(CC* cache, const std::string& uri, const std::string& name,
                 const std::string& serial);
bool FetchFeed(CC* cache, const std::string& uri, const std::string& name,
               const std::string& serial);
bool FetchThumb(CC* cache, const std::string& uri, const std::string& name);

// Whether "cache.dir" can hold an entry with this key and serial.
bool IsStorableEntry(const std::string& uri, const std::string& serial);

} // namespace CacheWriteAccess

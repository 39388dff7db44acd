#pragma once

// The cache index: which cache key and serial each file in the cache folder belongs to.
// On disk it is "cache.dir" in the cache folder, one entry per line
// ("file|serial|key", CR LF after each); in memory a CC holding one CCObject per entry.
//
// Keys, serials and file names are compared exactly, byte by byte. Serials order as
// byte strings (bytes unsigned, a prefix before its extensions), so "9" is newer than
// "10" and "B" older than "a".

#include "platform/fileio.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One cache entry. Plain data; users fill the fields directly. Owned by its CC once it
// has been added.
struct CCObject {
    std::string uri;    // the object's cache key
    std::string file;   // the file name inside the cache folder, without a path
    std::string serial; // the object's version; empty for an object without one
};

// The entries of one index in insertion order, guarded by one re-entrant lock (the
// index's look-ups take it again while a caller holds it). The list owns its entries.
// Any thread may call any operation; a pointer to an entry stays valid until the entry
// is removed or the list is destroyed, so an entry must not be removed while another
// thread uses it.
class CCEntryList {
public:
    using Items = std::vector<std::unique_ptr<CCObject>>;

    // Access to the entries while holding the lock; the lock is released when the view
    // goes out of scope. Movable, not copyable.
    template <typename ItemsT> class LockedView {
    public:
        ItemsT& operator*() const { return *items_; }
        ItemsT* operator->() const { return items_; }
        auto begin() const { return items_->begin(); }
        auto end() const { return items_->end(); }

    private:
        friend class CCEntryList;
        LockedView(std::unique_lock<std::recursive_mutex> lock, ItemsT* items)
            : lock_(std::move(lock)), items_(items) {}
        std::unique_lock<std::recursive_mutex> lock_;
        ItemsT* items_;
    };
    using Locked = LockedView<Items>;
    using ConstLocked = LockedView<const Items>;

    CCEntryList() = default;
    CCEntryList(const CCEntryList&) = delete;
    CCEntryList& operator=(const CCEntryList&) = delete;
    ~CCEntryList();

    // Appends an entry under the lock; the list owns it from then on. Returns the entry.
    CCObject* Add(std::unique_ptr<CCObject> entry);

    // Takes the lock (waiting for it) and gives the entries.
    Locked Lock();
    ConstLocked Lock() const;
    // Takes the lock only when no other thread holds it.
    std::optional<ConstLocked> TryLock() const;

    std::size_t Count() const;

private:
    mutable std::recursive_mutex mutex_;
    Items items_;
};

// The cache index of one cache folder. One owner creates it, loads it, uses it and
// frees it; every operation may be called from any thread (the entry list is
// lock-guarded), but entries returned by look-ups are used without the lock, so in
// practice each index belongs to one thread. Several indexes share nothing but the file.
//
// Adding: a cache writer creates a CCObject, fills it, hands it to entries.Add and then
// calls Save, or does both inside Update when other writers may save meanwhile; the
// index has no add operation of its own.
class CC {
public:
    // folder: the cache folder, without a trailing "/".
    explicit CC(std::string folder);
    CC(const CC&) = delete;
    CC& operator=(const CC&) = delete;
    ~CC() = default;

    // Adds the entries of "cache.dir" that the index does not already hold (see the
    // duplicate rule in cache.cpp). A missing file adds nothing. A file that exists but
    // cannot be read throws platform::FileError and leaves the index as it was.
    void Load();
    // What Load does with the text it read: adds the entries of a "cache.dir" text.
    void LoadText(std::string_view text);

    // The newest entry of the key, or nullptr: the greatest non-empty serial (the first
    // of equal ones); without any, the last entry with an empty serial.
    CCObject* FindLatest(std::string_view key) const;
    // The last entry with exactly that key and serial, or nullptr; an empty serial means
    // FindLatest(key).
    CCObject* Find(std::string_view key, std::string_view serial) const;
    // The key's serials, ascending in the order FindLatest uses (so the last one is the
    // newest), each once; nullopt when the key has no entry.
    std::optional<std::vector<std::string>> ListSerials(std::string_view key) const;

    // Replaces "cache.dir" with the entries in list order, atomically, under an
    // exclusive lock on "cache.dir.lock" beside it. Throws platform::FileError when the
    // file cannot be written; the old file then stays as it was.
    void Save() const;

    // Re-reads "cache.dir" into the index (as Load), runs change on the index and replaces
    // the file with the result, all under the exclusive lock that Save takes. Two writers
    // that add through Update therefore keep each other's entries, and change sees what
    // the other saved. A result equal to the file as read is not written again, so a
    // change that changes nothing leaves the folder untouched. The files of entries that
    // change removes are deleted only after the index without them is saved (and only
    // when no entry still names them): a kill at any moment leaves an index whose every
    // entry names its file, at worst beside a file that nothing names.
    // Throws platform::FileError as Load and Save do (an unreadable index is never
    // overwritten) and passes on what change throws; the file then stays as it was, the
    // files of removed entries stay too, while the index keeps what was read and changed
    // before the fault.
    void Update(const std::function<void()>& change);

    // Removes every entry with that key and exactly that serial (an empty serial matches
    // only an empty one) and deletes their files (inside Update: after the save). Always
    // true.
    bool Remove(std::string_view key, std::string_view serial);
    // Removes every entry naming that file and deletes the file (inside Update: after the
    // save). Always true.
    bool RemoveFile(std::string_view file);

    // The path of the index file: folder + "/cache.dir".
    std::string IndexPath() const;

    // The path of the entry's file: folder + "/" + its name; nullopt when the name could
    // reach outside the folder or name the index (IsPlainCacheFileName). Every reader
    // treats such an entry like a file that cannot be read.
    std::optional<std::string> PathOf(const CCObject& entry) const;
    // The path of the newest cached file of the key (FindLatest, then PathOf); nullopt
    // for an empty key, a key without an entry or an entry without a plain file name.
    std::optional<std::string> NewestFile(std::string_view key) const;

    std::string folder;
    CCEntryList entries;

private:
    // Writes "cache.dir" from the entries; the caller holds the lock on "cache.dir.lock".
    void WriteLocked() const;
    // Deletes the entry's file unless its name could reach outside the cache folder;
    // inside Update the deletion waits for the save.
    void DeleteEntryFile(const CCObject& entry) const;

    // The file names whose deletion waits for Update's save; nullptr outside Update.
    // Only the thread running Update touches it (it holds the file lock).
    mutable std::vector<std::string>* deferred_ = nullptr;
};

// Marks a writer of a cache folder at work (a synchronisation cycle, a seeding run) for
// as long as it may have files there that "cache.dir" does not name yet: a download in
// progress, a file fetched and not yet recorded. Every writer holds one for its whole
// run, as a shared lock on "cache.dir.writers"; the cleaning of orphans needs the lock
// alone, so it never takes a file from under a running writer of any process. Not
// copyable; movable. Any thread.
class CacheWriterClaim {
public:
    // Starts a writer's run on folder. When no other writer is at work, first removes the
    // files that no entry names (RemoveOrphanFiles); then joins the writers. A folder
    // whose locks cannot be taken gives a claim that holds nothing (the writer goes on;
    // only the cleaning is skipped).
    explicit CacheWriterClaim(const std::string& folder);
    CacheWriterClaim(CacheWriterClaim&&) noexcept = default;
    CacheWriterClaim& operator=(CacheWriterClaim&&) noexcept = default;
    CacheWriterClaim(const CacheWriterClaim&) = delete;
    CacheWriterClaim& operator=(const CacheWriterClaim&) = delete;
    ~CacheWriterClaim() = default;

    // How many orphans the start removed (0 also when another writer was at work).
    std::size_t Removed() const { return removed_; }
    bool Held() const { return lock_.has_value(); }

private:
    std::optional<platform::FileLock> lock_;
    std::size_t removed_ = 0;
};

// Removes the regular files of the cache folder that no entry of "cache.dir" names
// (download temporaries, copies a killed writer left, versions deleted from the index
// but not yet from the disk), and the temporaries of killed index saves. The index and
// its lock files stay. Runs under the index's lock; the caller makes sure that no writer
// is at work (CacheWriterClaim). Throws platform::FileError when "cache.dir" exists but
// cannot be read (nothing is removed then). Returns the number of files removed.
std::size_t RemoveOrphanFiles(const std::string& folder);

// The lines of a "cache.dir" text in file order, before the duplicate rule: a line ends
// at CR LF, a lone CR or a lone LF, the text at its first NUL; a line is cut at its first
// "|" and the first "|" after it; lines with fewer than two "|" carry no entry.
std::vector<CCObject> ParseCacheDir(std::string_view text);

// The "cache.dir" text of the entries: "file|serial|uri" and CR LF for each.
std::string FormatCacheDir(const std::vector<CCObject>& entries);

// Whether a file name of an entry names a file directly inside the cache folder: not
// empty, not ".", no "/", "\" or NUL, no "..", not the index or one of its companions
// ("cache.dir" and what begins with it).
bool IsPlainCacheFileName(std::string_view file);

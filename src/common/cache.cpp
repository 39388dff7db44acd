#include "common/cache.h"

#include "platform/fileio.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>

// ---- CCEntryList ----

CCEntryList::~CCEntryList() {
    std::lock_guard lock(mutex_);
    items_.clear();
}

CCObject* CCEntryList::Add(std::unique_ptr<CCObject> entry) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(entry));
    return items_.back().get();
}

CCEntryList::Locked CCEntryList::Lock() {
    return Locked(std::unique_lock(mutex_), &items_);
}

CCEntryList::ConstLocked CCEntryList::Lock() const {
    return ConstLocked(std::unique_lock(mutex_), &items_);
}

std::optional<CCEntryList::ConstLocked> CCEntryList::TryLock() const {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return std::nullopt;
    }
    return ConstLocked(std::move(lock), &items_);
}

std::size_t CCEntryList::Count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

// ---- the file format ----

std::vector<CCObject> ParseCacheDir(std::string_view text) {
    // The text ends at its first NUL byte, as a C string would.
    text = text.substr(0, text.find('\0'));
    std::vector<CCObject> result;
    for (const std::string& line : platform::SplitLines(text)) {
        const std::size_t bar1 = line.find('|');
        if (bar1 == std::string::npos) {
            continue;
        }
        const std::size_t bar2 = line.find('|', bar1 + 1);
        if (bar2 == std::string::npos) {
            continue;
        }
        CCObject entry;
        entry.file = line.substr(0, bar1);
        entry.serial = line.substr(bar1 + 1, bar2 - bar1 - 1);
        entry.uri = line.substr(bar2 + 1);
        result.push_back(std::move(entry));
    }
    return result;
}

std::string FormatCacheDir(const std::vector<CCObject>& entries) {
    std::string text;
    for (const auto& e : entries) {
        text.append(e.file).append("|").append(e.serial).append("|").append(e.uri).append("\r\n");
    }
    return text;
}

bool IsPlainCacheFileName(std::string_view file) {
    // The index, its lock and its temporaries ("cache.dir*") are never a cached object.
    return !file.empty() && file != "." &&
           file.find_first_of(std::string_view("/\\\0", 3)) == file.npos &&
           file.find("..") == file.npos && !file.starts_with("cache.dir");
}

// ---- CC ----

CC::CC(std::string folder_) : folder(std::move(folder_)) {}

std::string CC::IndexPath() const {
    return folder + "/cache.dir";
}

std::optional<std::string> CC::PathOf(const CCObject& entry) const {
    if (!IsPlainCacheFileName(entry.file)) {
        return std::nullopt;
    }
    return folder + "/" + entry.file;
}

std::optional<std::string> CC::NewestFile(std::string_view key) const {
    if (key.empty()) {
        return std::nullopt;
    }
    const CCObject* entry = FindLatest(key);
    return entry != nullptr ? PathOf(*entry) : std::nullopt;
}

void CC::Load() {
    // Read before taking the lock: a slow disk must not block the other users.
    const std::optional<std::string> text = platform::ReadFile(IndexPath());
    if (text) {
        LoadText(*text);
    }
}

void CC::LoadText(std::string_view text) {
    std::vector<CCObject> lines = ParseCacheDir(text);
    auto locked = entries.Lock();
    for (auto& line : lines) {
        // Find gives the newest entry for an empty serial, so a line without serial is
        // skipped whenever its key is held at all; with a serial only the very pair.
        if (Find(line.uri, line.serial) != nullptr) {
            continue;
        }
        locked->push_back(std::make_unique<CCObject>(std::move(line)));
    }
}

CCObject* CC::FindLatest(std::string_view key) const {
    auto locked = entries.Lock();
    CCObject* result = nullptr;
    std::string_view best;
    for (const auto& e : locked) {
        if (e->uri != key) {
            continue;
        }
        if (e->serial.empty()) {
            if (best.empty()) {
                result = e.get();
            }
        } else if (best < std::string_view(e->serial)) {
            // std::char_traits<char> compares bytes as unsigned values.
            result = e.get();
            best = e->serial;
        }
    }
    return result;
}

CCObject* CC::Find(std::string_view key, std::string_view serial) const {
    if (serial.empty()) {
        return FindLatest(key);
    }
    auto locked = entries.Lock();
    CCObject* result = nullptr;
    for (const auto& e : locked) {
        if (e->uri == key && e->serial == serial) {
            result = e.get();
        }
    }
    return result;
}

std::optional<std::vector<std::string>> CC::ListSerials(std::string_view key) const {
    std::optional<std::vector<std::string>> result;
    {
        auto locked = entries.Lock();
        for (const auto& e : locked) {
            if (e->uri == key) {
                if (!result) {
                    result.emplace();
                }
                result->push_back(e->serial);
            }
        }
    }
    if (result) {
        // The order of FindLatest, so that "keep the last n" never drops the newest.
        std::sort(result->begin(), result->end());
        result->erase(std::unique(result->begin(), result->end()), result->end());
    }
    return result;
}

void CC::Save() const {
    // Two writers must not interleave their replacements; readers need no lock, since
    // the replacement is atomic.
    auto lock =
        platform::FileLock::Acquire(IndexPath() + ".lock", platform::FileLock::Mode::Exclusive);
    WriteLocked();
}

namespace {

std::string FormatEntries(const CCEntryList& entries) {
    std::vector<CCObject> copy;
    {
        auto locked = entries.Lock();
        copy.reserve(locked->size());
        for (const auto& e : locked) {
            copy.push_back(*e);
        }
    }
    return FormatCacheDir(copy);
}

} // namespace

void CC::Update(const std::function<void()>& change) {
    auto lock =
        platform::FileLock::Acquire(IndexPath() + ".lock", platform::FileLock::Mode::Exclusive);
    const std::optional<std::string> text = platform::ReadFile(IndexPath());
    if (text) {
        LoadText(*text);
    }
    std::vector<std::string> deferred;
    struct Scope {
        const CC& cc;
        explicit Scope(const CC& c, std::vector<std::string>& list) : cc(c) {
            cc.deferred_ = &list;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() { cc.deferred_ = nullptr; }
    };
    {
        Scope scope(*this, deferred);
        if (change) {
            change();
        }
    }
    const std::string result = FormatEntries(entries);
    if (!text || *text != result) {
        const std::string path = IndexPath();
        platform::RemoveStaleTemporaries(path); // left by a writer killed half-way
        platform::AtomicWriteFile(path, result);
    }
    // Saved: the files of the dropped entries may go now, unless an entry names them still.
    for (const std::string& file : deferred) {
        bool named = false;
        for (const auto& e : entries.Lock()) {
            named = named || e->file == file;
        }
        if (!named) {
            platform::RemoveFile(folder + "/" + file);
        }
    }
}

void CC::WriteLocked() const {
    const std::string path = IndexPath();
    platform::RemoveStaleTemporaries(path); // left by a writer killed half-way
    platform::AtomicWriteFile(path, FormatEntries(entries));
}

void CC::DeleteEntryFile(const CCObject& entry) const {
    // "cache.dir" is written by other programs too; a name that is empty or holds a path
    // must never delete the folder itself or anything outside it.
    if (!IsPlainCacheFileName(entry.file)) {
        return;
    }
    if (deferred_ != nullptr) {
        deferred_->push_back(entry.file);
    } else {
        platform::RemoveFile(folder + "/" + entry.file);
    }
}

bool CC::Remove(std::string_view key, std::string_view serial) {
    auto locked = entries.Lock();
    std::erase_if(*locked, [&](const std::unique_ptr<CCObject>& e) {
        if (e->uri != key || e->serial != serial) {
            return false;
        }
        DeleteEntryFile(*e);
        return true;
    });
    return true;
}

bool CC::RemoveFile(std::string_view file) {
    auto locked = entries.Lock();
    std::erase_if(*locked, [&](const std::unique_ptr<CCObject>& e) {
        if (e->file != file) {
            return false;
        }
        DeleteEntryFile(*e);
        return true;
    });
    return true;
}

// ---- orphans ----

std::size_t RemoveOrphanFiles(const std::string& folder) {
    const std::string index = folder + "/cache.dir";
    auto lock = platform::FileLock::Acquire(index + ".lock", platform::FileLock::Mode::Exclusive);
    const std::optional<std::string> text = platform::ReadFile(index);
    std::set<std::string, std::less<>> named;
    for (CCObject& entry : ParseCacheDir(text.value_or(std::string()))) {
        named.insert(std::move(entry.file));
    }
    platform::RemoveStaleTemporaries(index);
    std::size_t removed = 0;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        // The index, its locks and its temporaries are never a cached object.
        if (name == "." || name == ".." || name.starts_with("cache.dir") || named.contains(name)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        if (::unlinkat(::dirfd(dir), e->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

CacheWriterClaim::CacheWriterClaim(const std::string& folder) {
    const std::string path = folder + "/cache.dir.writers";
    try {
        // Alone: nobody else can have a file here that the index does not name yet.
        if (auto alone =
                platform::FileLock::TryAcquire(path, platform::FileLock::Mode::Exclusive)) {
            try {
                removed_ = RemoveOrphanFiles(folder);
            } catch (const std::exception&) {
                // An index that cannot be read names nothing for sure: remove nothing.
            }
            // Another writer may start in the gap before the shared lock: it has written
            // nothing yet, so its own cleaning takes nothing of ours.
            alone->Release();
        }
        lock_ = platform::FileLock::Acquire(path, platform::FileLock::Mode::Shared);
    } catch (const std::exception&) {
        lock_.reset();
    }
}

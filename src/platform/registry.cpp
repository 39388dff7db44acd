#include "platform/registry.h"

#include "platform/autostart.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/hivefile.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using hivefile::Key;
using hivefile::NamesEqual;
using hivefile::Value;

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kRunValue = "TolvarCtrl";
constexpr const char* kShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::string HivePath(Hive hive) {
    return hive == Hive::LocalMachine ? MachineHivePath() : UserHivePath();
}

// What a hive holds before anything was written: the keys a fresh system has.
Key NewHive(Hive hive) {
    Key root;
    std::vector<std::string> names;
    hivefile::SplitKeyPath(hive == Hive::LocalMachine ? kRunKey : "Control Panel\\Desktop", names);
    Key* key = &root;
    for (const auto& name : names) {
        key = &key->SubKey(name);
    }
    return root;
}

// Tells one version of a hive file from another: a save renames a new file into place,
// so the inode changes with every write; size and times guard against inode reuse.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    bool operator==(const FileId& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileId IdOf(const struct stat& st) {
    FileId id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

// The hive file as it stands; errno-style failure is reported through error.
FileId StatHive(const std::string& path, int& error) {
    struct stat st {};
    error = 0;
    if (::stat(path.c_str(), &st) != 0) {
        error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
        return {};
    }
    return IdOf(st);
}

// Reads the file and the identity of exactly what was read.
bool ReadHiveFile(const std::string& path, std::string& content, FileId& id, int& error) {
    content.clear();
    id = {};
    error = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true;
        }
        error = errno;
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        ok = false;
    }
    if (ok) {
        errno = ReadToEnd(fd, content);
        ok = errno == 0;
    }
    if (!ok) {
        error = errno;
    }
    ::close(fd);
    if (ok) {
        id = IdOf(st);
    }
    return ok;
}

// The parsed hive of one file version, shared by every reader until the file changes.
struct Loaded {
    std::shared_ptr<const Key> tree;
    bool broken = false; // the file exists but cannot be read or parsed
    std::string problem;
};

struct CacheEntry {
    FileId id;
    bool valid = false;
    Loaded loaded;
    // The read view of the user hive, with the shell folders answered from XDG.
    std::shared_ptr<const Key> view;
    std::string viewConfig, viewData;
};

std::mutex& CacheMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, CacheEntry>& Cache() {
    static std::map<std::string, CacheEntry> cache;
    return cache;
}

// Serialises this process's writers; the file lock serialises the processes.
std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

bool IsBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

Loaded Parse(Hive hive, const std::string& content, const FileId& id, int error) {
    Loaded loaded;
    if (error != 0) {
        loaded.broken = true;
        loaded.problem = std::strerror(error);
    } else if (!id.exists || IsBlank(content)) {
        // A missing or emptied file holds nothing to keep: the hive of a fresh system.
        loaded.tree = std::make_shared<const Key>(NewHive(hive));
        return loaded;
    } else {
        try {
            loaded.tree = std::make_shared<const Key>(hivefile::LoadHive(content, HiveName(hive)));
            return loaded;
        } catch (const hivefile::ParseError& e) {
            loaded.broken = true;
            loaded.problem = e.what();
        }
    }
    loaded.tree = std::make_shared<const Key>();
    return loaded;
}

// The entry of path, brought up to the file as it stands. Caller holds CacheMutex.
CacheEntry& Refresh(Hive hive, const std::string& path) {
    CacheEntry& entry = Cache()[path];
    int statError = 0;
    const FileId now = StatHive(path, statError);
    if (entry.valid && statError == 0 && now == entry.id) {
        return entry;
    }
    std::string content;
    FileId id;
    int error = statError;
    if (statError == 0) {
        ReadHiveFile(path, content, id, error);
        if (error != 0) {
            id = now;
        }
    }
    Loaded loaded = Parse(hive, content, id, error);
    const bool warned =
        entry.loaded.broken && entry.loaded.problem == loaded.problem && entry.id == id;
    if (loaded.broken && !warned) {
        std::cerr << "registry: the hive \"" << path << "\" cannot be read (" << loaded.problem
                  << "); it reads as empty and is not rewritten\n";
    }
    entry.loaded = std::move(loaded);
    entry.id = id;
    entry.valid = statError == 0;
    entry.view.reset();
    return entry;
}

Loaded LoadHive(Hive hive) {
    const std::string path = HivePath(hive);
    std::lock_guard lock(CacheMutex());
    return Refresh(hive, path).loaded;
}

const Key* FindKey(const Key& root, const std::vector<std::string>& names) {
    const Key* key = &root;
    for (const auto& name : names) {
        key = key->FindSubKey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

// The user's shell folders, answered from XDG where the hive holds no values of its own.
Key WithShellFolders(const Key& stored, const std::string& config, const std::string& data) {
    Key view = stored;
    std::vector<std::string> names;
    hivefile::SplitKeyPath(kShellFoldersKey, names);
    Key* key = &view;
    for (const auto& name : names) {
        key = &key->SubKey(name);
    }
    for (const auto& [name, folder] : {std::pair{"AppData", config}, {"Local AppData", data}}) {
        if (key->FindValue(name) == nullptr) {
            key->values.push_back(Value{name, ValueType::String, 0, folder});
        }
    }
    return view;
}

// What reads see: the stored tree, for the user hive with the shell folders filled in.
std::shared_ptr<const Key> ReadView(Hive hive) {
    const std::string path = HivePath(hive);
    std::lock_guard lock(CacheMutex());
    CacheEntry& entry = Refresh(hive, path);
    if (hive == Hive::LocalMachine) {
        return entry.loaded.tree;
    }
    const std::string config = ConfigHome();
    const std::string data = DataHome();
    if (!entry.view || entry.viewConfig != config || entry.viewData != data) {
        entry.view =
            std::make_shared<const Key>(WithShellFolders(*entry.loaded.tree, config, data));
        entry.viewConfig = config;
        entry.viewData = data;
    }
    return entry.view;
}

bool IsWritable(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Whether the hive may be changed now; makes its folder when missing.
bool CanWrite(Hive hive, std::string* why = nullptr) {
    const std::string path = HivePath(hive);
    const std::string folder = ParentFolder(path);
    auto fail = [&](const std::string& reason) {
        if (why != nullptr) {
            *why = reason;
        }
        return false;
    };
    if (!MakeFolders(folder, 0700)) {
        return fail("cannot create the folder \"" + folder + "\"");
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return fail("the folder \"" + folder + "\" is not writable");
    }
    if (FileExists(path) && !IsWritable(path)) {
        return fail("the hive file \"" + path + "\" is not writable");
    }
    if (LoadHive(hive).broken) {
        return fail("the hive file \"" + path + "\" cannot be parsed and is not rewritten");
    }
    return true;
}

std::optional<Value> RunValue(const Key& root) {
    std::vector<std::string> names;
    hivefile::SplitKeyPath(kRunKey, names);
    const Key* key = FindKey(root, names);
    const Value* v = key ? key->FindValue(kRunValue) : nullptr;
    return v ? std::optional<Value>(*v) : std::nullopt;
}

void SyncAutostart(const std::optional<Value>& before, const std::optional<Value>& after) {
    if (before == after) {
        return;
    }
    std::optional<std::string> command;
    if (after && (after->type == ValueType::String || after->type == ValueType::ExpandString)) {
        command = after->data;
    }
    try {
        UpdateAutostartEntry(kRunValue, command);
    } catch (const std::exception& e) {
        // The registry holds the truth; a failing entry must not turn the write into an error.
        std::cerr << "registry: cannot update the autostart entry: " << e.what() << '\n';
    }
}

using Change = std::function<bool(Key&)>;

// The changes this thread gathers per hive while a RegistryTransaction lives (null: none).
// A change is kept until the commit: it owns everything it needs.
thread_local std::vector<Change>* tPending[2] = {nullptr, nullptr};

std::vector<Change>*& PendingOf(Hive hive) {
    return tPending[hive == Hive::LocalMachine ? 0 : 1];
}

// One change of a hive as a transaction: under the lock the file is read again, changed
// and published atomically, so a concurrent change of another process is kept. change
// returns false when it changed nothing (nothing is written then).
void Apply(Hive hive, const Change& change);

// A change made now, or recorded for the commit of this thread's transaction on the hive.
void Modify(Hive hive, Change change) {
    if (std::vector<Change>* pending = PendingOf(hive)) {
        std::string why;
        if (!CanWrite(hive, &why)) {
            throw RegistryError(std::string(HiveName(hive)) + ": " + why);
        }
        pending->push_back(std::move(change));
        return;
    }
    Apply(hive, change);
}

void Apply(Hive hive, const Change& change) {
    std::lock_guard writer(WriteMutex());
    const std::string path = HivePath(hive);
    std::string why;
    if (!CanWrite(hive, &why)) {
        throw RegistryError(std::string(HiveName(hive)) + ": " + why);
    }
    try {
        const std::string lockPath = path + ".lock";
        if (hive == Hive::LocalMachine) {
            // Other accounts with rights to the machine hive must be able to take its lock.
            const int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::close(fd);
            }
        }
        FileLock lock = FileLock::Acquire(lockPath, FileLock::Mode::Exclusive);
        const Loaded current = LoadHive(hive);
        if (current.broken) {
            throw RegistryError(std::string(HiveName(hive)) + ": the hive file \"" + path +
                                "\" cannot be parsed and is not rewritten");
        }
        auto changed = std::make_shared<Key>(*current.tree);
        if (!change(*changed)) {
            return;
        }
        RemoveStaleTemporaries(path);
        const std::string text = hivefile::SaveHive(*changed, HiveName(hive));
        AtomicWriteFile(path, text, hive == Hive::CurrentUser ? 0600 : 0644);
        {
            std::lock_guard cacheLock(CacheMutex());
            CacheEntry& entry = Cache()[path];
            int error = 0;
            entry.id = StatHive(path, error);
            entry.valid = error == 0 && entry.id.exists;
            entry.loaded = Loaded{changed, false, {}};
            entry.view.reset();
        }
        if (hive == Hive::LocalMachine) {
            SyncAutostart(RunValue(*current.tree), RunValue(*changed));
        }
    } catch (const FileError& e) {
        throw RegistryError(std::string(HiveName(hive)) + ": " + e.what());
    }
}

std::string JoinForDisplay(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        out += '\\';
        out += name;
    }
    return out;
}

} // namespace

const char* HiveName(Hive hive) {
    return hive == Hive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HiveFilePath(Hive hive) {
    return HivePath(hive);
}

std::optional<RegistryKey> RegistryKey::Open(Hive hive, std::string_view path, Access access,
                                             bool create) {
    std::vector<std::string> names;
    if (!hivefile::SplitKeyPath(path, names)) {
        return std::nullopt;
    }
    auto found = [&]() -> std::optional<std::string> {
        const auto view = ReadView(hive);
        const Key* key = view.get();
        std::vector<std::string> stored;
        for (const auto& name : names) {
            key = key->FindSubKey(name);
            if (key == nullptr) {
                return std::nullopt;
            }
            stored.push_back(key->name);
        }
        return JoinForDisplay(stored);
    };
    std::optional<std::string> stored = found();
    if (access == Access::ReadWrite && !CanWrite(hive)) {
        return std::nullopt;
    }
    if (!stored && create) {
        try {
            Modify(hive, [names](Key& root) {
                Key* key = &root;
                bool made = false;
                for (const auto& name : names) {
                    if (Key* sub = key->FindSubKey(name)) {
                        key = sub;
                    } else {
                        key = &key->SubKey(name);
                        made = true;
                    }
                }
                return made;
            });
        } catch (const RegistryError&) {
            return std::nullopt;
        }
        stored = found();
        if (!stored && PendingOf(hive) != nullptr) {
            // Made at the commit, before the changes recorded after this.
            stored = JoinForDisplay(names);
        }
    }
    if (!stored) {
        return std::nullopt;
    }
    return RegistryKey(hive, *stored, access);
}

namespace {

std::vector<std::string> NamesOf(const std::string& path) {
    std::vector<std::string> names;
    hivefile::SplitKeyPath(path, names);
    return names;
}

// The value as reads see it; nullopt when it or its key is missing.
std::optional<Value> Lookup(Hive hive, const std::string& path, std::string_view name) {
    const auto view = ReadView(hive);
    const Key* key = FindKey(*view, NamesOf(path));
    const Value* v = key ? key->FindValue(name) : nullptr;
    return v ? std::optional<Value>(*v) : std::nullopt;
}

const char* TypeName(ValueType type) {
    switch (type) {
    case ValueType::Dword:
        return "REG_DWORD";
    case ValueType::String:
        return "REG_SZ";
    case ValueType::ExpandString:
        return "REG_EXPAND_SZ";
    case ValueType::Binary:
        return "REG_BINARY";
    }
    return "?";
}

} // namespace

bool RegistryKey::ValueExists(std::string_view name) const {
    return Lookup(hive_, path_, name).has_value();
}

std::optional<ValueType> RegistryKey::TypeOf(std::string_view name) const {
    const auto v = Lookup(hive_, path_, name);
    return v ? std::optional<ValueType>(v->type) : std::nullopt;
}

namespace {

Value Require(Hive hive, const std::string& path, std::string_view name,
              std::initializer_list<ValueType> types) {
    auto v = Lookup(hive, path, name);
    const std::string where = std::string(HiveName(hive)) + path + " \"" + std::string(name) + "\"";
    if (!v) {
        throw RegistryError("no value " + where);
    }
    for (ValueType t : types) {
        if (v->type == t) {
            return std::move(*v);
        }
    }
    throw RegistryTypeError("the value " + where + " is " + TypeName(v->type) + ", not " +
                            TypeName(*types.begin()));
}

} // namespace

std::uint32_t RegistryKey::ReadInteger(std::string_view name) const {
    return Require(hive_, path_, name, {ValueType::Dword}).number;
}

std::string RegistryKey::ReadString(std::string_view name) const {
    return Require(hive_, path_, name, {ValueType::String, ValueType::ExpandString}).data;
}

std::vector<std::uint8_t> RegistryKey::ReadBinary(std::string_view name) const {
    const std::string bytes = Require(hive_, path_, name, {ValueType::Binary}).data;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

namespace {

void WriteValue(Hive hive, const std::string& path, Access access, Value value) {
    const std::string where = std::string(HiveName(hive)) + path;
    if (access != Access::ReadWrite) {
        throw RegistryError("the key " + where + " was opened for reading");
    }
    if (!hivefile::IsValidValueName(value.name)) {
        throw RegistryError("bad value name under " + where);
    }
    const auto names = NamesOf(path);
    Modify(hive, [hive, where, names, value = std::move(value)](Key& root) mutable {
        Key* key = &root;
        for (const auto& name : names) {
            Key* sub = key->FindSubKey(name);
            if (sub == nullptr) {
                // The shell folders key exists for readers even when the file lacks it.
                if (hive != Hive::CurrentUser || FindKey(*ReadView(hive), names) == nullptr) {
                    throw RegistryError("the key " + where + " no longer exists");
                }
                sub = &key->SubKey(name);
            }
            key = sub;
        }
        const Value* existing = key->FindValue(value.name);
        if (existing != nullptr && existing->type == value.type &&
            existing->number == value.number && existing->data == value.data) {
            return false;
        }
        key->SetValue(std::move(value));
        return true;
    });
}

} // namespace

void RegistryKey::WriteInteger(std::string_view name, std::uint32_t value) const {
    WriteValue(hive_, path_, access_, Value{std::string(name), ValueType::Dword, value, {}});
}

void RegistryKey::WriteString(std::string_view name, std::string_view value) const {
    WriteValue(hive_, path_, access_,
               Value{std::string(name), ValueType::String, 0, std::string(value)});
}

void RegistryKey::WriteExpandString(std::string_view name, std::string_view value) const {
    WriteValue(hive_, path_, access_,
               Value{std::string(name), ValueType::ExpandString, 0, std::string(value)});
}

void RegistryKey::WriteBinary(std::string_view name, const std::vector<std::uint8_t>& value) const {
    WriteValue(
        hive_, path_, access_,
        Value{std::string(name), ValueType::Binary, 0, std::string(value.begin(), value.end())});
}

bool RegistryKey::DeleteValue(std::string_view name) const {
    const std::string where = std::string(HiveName(hive_)) + path_;
    if (access_ != Access::ReadWrite) {
        throw RegistryError("the key " + where + " was opened for reading");
    }
    const auto names = NamesOf(path_);
    // Inside a transaction: whether the value is there to be deleted as the hive stands.
    bool deleted = PendingOf(hive_) != nullptr && ValueExists(name);
    auto result = std::make_shared<bool>(false);
    Modify(hive_, [names, result, valueName = std::string(name)](Key& root) {
        Key* key = &root;
        for (const auto& keyName : names) {
            key = key->FindSubKey(keyName);
            if (key == nullptr) {
                return false;
            }
        }
        *result = key->RemoveValue(valueName);
        return *result;
    });
    return deleted || *result;
}

std::vector<std::string> RegistryKey::ValueNames() const {
    const auto view = ReadView(hive_);
    std::vector<std::string> out;
    if (const Key* key = FindKey(*view, NamesOf(path_))) {
        for (const auto& v : key->values) {
            out.push_back(v.name);
        }
    }
    return out;
}

std::vector<std::string> RegistryKey::SubKeyNames() const {
    const auto view = ReadView(hive_);
    std::vector<std::string> out;
    if (const Key* key = FindKey(*view, NamesOf(path_))) {
        for (const auto& k : key->subKeys) {
            out.push_back(k.name);
        }
    }
    return out;
}

bool DeleteRegistryKey(Hive hive, std::string_view path) {
    std::vector<std::string> names;
    if (!hivefile::SplitKeyPath(path, names) || names.empty() || !RegistryKeyExists(hive, path)) {
        return false;
    }
    // Inside a transaction: the key exists as the hive stands (checked above).
    const bool recorded = PendingOf(hive) != nullptr;
    auto deleted = std::make_shared<bool>(false);
    try {
        Modify(hive, [names, deleted](Key& root) {
            Key* parent = &root;
            for (size_t i = 0; i + 1 < names.size(); ++i) {
                parent = parent->FindSubKey(names[i]);
                if (parent == nullptr) {
                    return false;
                }
            }
            *deleted = parent->RemoveSubKey(names.back());
            return *deleted;
        });
    } catch (const RegistryError&) {
        return false;
    }
    return recorded || *deleted;
}

RegistryTransaction::RegistryTransaction(Hive hive) : hive_(hive) {
    if (PendingOf(hive) != nullptr) {
        throw RegistryError(std::string(HiveName(hive)) +
                            ": a transaction is already open on this thread");
    }
    PendingOf(hive) = &changes_;
}

RegistryTransaction::~RegistryTransaction() {
    if (PendingOf(hive_) == &changes_) {
        PendingOf(hive_) = nullptr;
    }
}

void RegistryTransaction::Commit() {
    if (PendingOf(hive_) != &changes_) {
        return;
    }
    PendingOf(hive_) = nullptr;
    std::vector<Change> changes = std::move(changes_);
    changes_.clear();
    if (changes.empty()) {
        return;
    }
    Apply(hive_, [&](Key& root) {
        bool changed = false;
        for (const Change& change : changes) {
            changed = change(root) || changed;
        }
        return changed;
    });
}

bool RegistryKeyExists(Hive hive, std::string_view path) {
    std::vector<std::string> names;
    if (!hivefile::SplitKeyPath(path, names)) {
        return false;
    }
    return FindKey(*ReadView(hive), names) != nullptr;
}

} // namespace platform

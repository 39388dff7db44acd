#pragma once

// The registry, in place of the system registry: two hives (machine and user), each a
// UTF-8 text file in the form of a registry export that a person can read and edit.
//
// Keys and values are addressed by paths with "\" between key names, such as
// "\Software\Brimwald\Tolvar" (a leading "\" is optional). Key and value names match
// without regard to letter case and keep the case they were first written with. Values
// enumerate in the order they were first written.
//
// Every operation is a transaction on the hive file: reads see the file as it stands
// (never half a file), and each change is made under a file lock and published
// atomically, so both programs can use the hives at the same time without losing each
// other's changes. A RegistryKey holds no file open; it is only a name with an access
// right. Safe to use from any thread.
//
// A hive whose file or folder is not writable refuses read-write opening, as a machine
// hive does for a user without rights. A hive file that fails to parse is never
// rewritten: reads see it empty (a warning goes to standard error) and read-write
// opening fails.
//
// The hive files are described in hivefile.h. A value "TolvarCtrl" in the machine hive's
// \Software\Microsoft\Windows\CurrentVersion\Run key is mirrored by an XDG autostart entry
// (autostart.h). In the user hive, the "AppData" and "Local AppData" values of
// \Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders answer
// $XDG_CONFIG_HOME and $XDG_DATA_HOME unless the hive holds values of those names; that
// key counts as existing. Names match without regard to ASCII letter case.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Hive { LocalMachine, CurrentUser };

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* HiveName(Hive hive);

// The file that holds the hive (MachineHivePath() or UserHivePath()).
std::string HiveFilePath(Hive hive);

enum class ValueType {
    Dword,        // a 32-bit number (REG_DWORD)
    String,       // text (REG_SZ)
    ExpandString, // text with environment references left unexpanded (REG_EXPAND_SZ)
    Binary,       // any other data (REG_BINARY)
};

// A registry operation failed (value missing, key gone, hive not writable, file error).
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value exists but holds another type than the read asked for. Callers that must tell
// "wrong type" apart from other failures catch this one.
class RegistryTypeError : public RegistryError {
public:
    using RegistryError::RegistryError;
};

enum class Access { Read, ReadWrite };

class RegistryKey {
public:
    // Opens hive\path. With create missing keys on the path are made (the hive must be
    // writable for that, also when only Read access is asked for). nullopt when the key
    // does not exist (and create is false or cannot make it), when the path holds an
    // empty or invalid name, or when ReadWrite is asked of a hive that cannot be written.
    static std::optional<RegistryKey> Open(Hive hive, std::string_view path, Access access,
                                           bool create = false);

    Hive GetHive() const { return hive_; }
    // The key's path as stored (with the case it was first written with), each name
    // after a "\": "\Software\Brimwald\Tolvar"; empty for the hive's root.
    const std::string& Path() const { return path_; }

    bool ValueExists(std::string_view name) const;
    // The type of an existing value; nullopt when it does not exist.
    std::optional<ValueType> TypeOf(std::string_view name) const;

    // Reads throw RegistryError when the value or key is missing, RegistryTypeError when
    // the value has another type. ReadString accepts String and ExpandString.
    std::uint32_t ReadInteger(std::string_view name) const;
    std::string ReadString(std::string_view name) const;
    std::vector<std::uint8_t> ReadBinary(std::string_view name) const;

    // Writes create or replace a value (a replaced value keeps its place in the
    // enumeration order and the case of its name). They throw RegistryError when the key
    // was opened for reading, the key is gone or the hive cannot be written.
    void WriteInteger(std::string_view name, std::uint32_t value) const;
    void WriteString(std::string_view name, std::string_view value) const;
    void WriteExpandString(std::string_view name, std::string_view value) const;
    void WriteBinary(std::string_view name, const std::vector<std::uint8_t>& value) const;

    // True when the value existed and was deleted. Throws RegistryError when the key was
    // opened for reading or the hive cannot be written.
    bool DeleteValue(std::string_view name) const;

    // Names in enumeration order (values: first written first; sub-keys: first made first).
    // Empty when the key is gone.
    std::vector<std::string> ValueNames() const;
    std::vector<std::string> SubKeyNames() const;

private:
    RegistryKey(Hive hive, std::string path, Access access)
        : hive_(hive), path_(std::move(path)), access_(access) {}

    Hive hive_;
    std::string path_;
    Access access_;
};

namespace hivefile {
struct Key;
} // namespace hivefile

// Gathers every change that this thread makes to one hive while it lives (writes,
// deletions, keys made by Open) into one transaction: Commit applies them in the order
// made under one lock and publishes the hive once, so other readers see all of them or
// none. Until then nothing is written, and reads (on any thread) see the hive as it
// stands; a key that Open makes opens at once. A change that cannot be made at the commit
// (its key deleted meanwhile by another process) fails the whole commit. Inside a
// transaction DeleteValue and DeleteRegistryKey answer whether the value or key is there
// to be deleted as the hive stands.
//
// One per hive and thread at a time; used on the thread that made it. Destroyed without
// Commit, the changes are dropped.
class RegistryTransaction {
public:
    explicit RegistryTransaction(Hive hive);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // Applies the changes gathered (nothing when there are none) and ends the transaction:
    // changes made afterwards are made at once again. Throws RegistryError, and then
    // nothing of the transaction is written.
    void Commit();

private:
    Hive hive_;
    std::vector<std::function<bool(hivefile::Key&)>> changes_;
};

// Deletes a key with all its sub-keys and values. True when it existed and was deleted;
// false when it did not exist or the hive cannot be written.
bool DeleteRegistryKey(Hive hive, std::string_view path);

// True when the key exists.
bool RegistryKeyExists(Hive hive, std::string_view path);

} // namespace platform

#pragma once

// Named locks, in place of the system's named mutexes: an exclusive FileLock on a file named
// after the lock in the program's private runtime folder (runtimefolder.h). The kernel drops the
// lock when its holder dies, however it dies, so a crashed instance never leaves a lock behind.
// Only the user can reach the folder, so another user can neither take nor test the lock.
//
// Any text names a lock; names match exactly (letter case counts). Characters that are
// not safe in a file name are written as %XX in the lock file's name.
// Safe to call from any thread.

#include "platform/fileio.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A lock name that cannot name a lock file (empty, or too long).
class NamedLockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One held named lock; released when the object goes (or by Release). A process holds a
// name at most once: taking a name this process already holds fails like any held lock.
// Movable, not copyable.
class NamedLock {
public:
    // Takes the lock when no process holds it; nullopt when one does. Throws
    // NamedLockError for a bad name, FileError when the lock file cannot be made and
    // RuntimeFolderError when the runtime folder is not private.
    static std::optional<NamedLock> TryAcquire(std::string_view name);

    // Whether a process other than this one holds the lock now, without taking it.
    // False for a bad name or when the lock file cannot be opened.
    static bool IsHeldByAnotherProcess(std::string_view name);

    // The lock file of a name, in PrivateRuntimeFolder("locks"). Throws NamedLockError for
    // a bad name, RuntimeFolderError when the runtime folder is not private.
    static std::string PathFor(std::string_view name);

    NamedLock(NamedLock&& other) noexcept;
    NamedLock& operator=(NamedLock&& other) noexcept;
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    ~NamedLock();

    const std::string& Name() const { return name_; }
    void Release() noexcept;

private:
    NamedLock(std::string name, FileLock lock) : name_(std::move(name)), lock_(std::move(lock)) {}

    std::string name_;
    std::optional<FileLock> lock_;
};

} // namespace platform

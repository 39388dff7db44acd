#include "platform/namedlock.h"

#include "platform/runtimefolder.h"

#include <mutex>
#include <set>

namespace platform {

namespace {

constexpr std::size_t kMaxFileName = 255;
constexpr std::string_view kSuffix = ".lock";

// The names this process holds: a lock taken here is not "held by another process".
std::mutex& HeldMutex() {
    static std::mutex mutex;
    return mutex;
}
std::set<std::string, std::less<>>& HeldNames() {
    static std::set<std::string, std::less<>> names;
    return names;
}

bool SafeInFileName(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '{' || c == '}' || c == '.';
}

std::string FileNameFor(std::string_view name) {
    if (name.empty()) {
        throw NamedLockError("a lock name must not be empty");
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string file;
    for (unsigned char c : name) {
        // A leading dot would hide the file and "." or ".." would name a folder.
        if (SafeInFileName(c) && !(file.empty() && c == '.')) {
            file += static_cast<char>(c);
        } else {
            file += '%';
            file += hex[c >> 4];
            file += hex[c & 15];
        }
    }
    file += kSuffix;
    if (file.size() > kMaxFileName) {
        throw NamedLockError("lock name too long: " + std::string(name.substr(0, 40)) + "...");
    }
    return file;
}

} // namespace

std::string NamedLock::PathFor(std::string_view name) {
    const std::string file = FileNameFor(name);
    return PrivateRuntimeFolder("locks") + "/" + file;
}

std::optional<NamedLock> NamedLock::TryAcquire(std::string_view name) {
    const std::string path = PathFor(name);
    std::lock_guard guard(HeldMutex());
    if (HeldNames().contains(name)) {
        return std::nullopt;
    }
    std::optional<FileLock> lock = FileLock::TryAcquire(path, FileLock::Mode::Exclusive);
    if (!lock) {
        return std::nullopt;
    }
    HeldNames().emplace(name);
    return NamedLock(std::string(name), std::move(*lock));
}

bool NamedLock::IsHeldByAnotherProcess(std::string_view name) {
    std::string path;
    try {
        path = PathFor(name);
    } catch (const std::exception&) {
        return false;
    }
    std::lock_guard guard(HeldMutex());
    // The lock is exclusive: while this process holds it, no other process can.
    return !HeldNames().contains(name) && FileLock::IsHeld(path);
}

NamedLock::NamedLock(NamedLock&& other) noexcept
    : name_(std::move(other.name_)), lock_(std::move(other.lock_)) {
    other.lock_.reset();
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
    if (this != &other) {
        Release();
        name_ = std::move(other.name_);
        lock_ = std::move(other.lock_);
        other.lock_.reset();
    }
    return *this;
}

NamedLock::~NamedLock() {
    Release();
}

void NamedLock::Release() noexcept {
    if (!lock_) {
        return;
    }
    std::lock_guard guard(HeldMutex());
    lock_->Release();
    lock_.reset();
    HeldNames().erase(name_);
}

} // namespace platform

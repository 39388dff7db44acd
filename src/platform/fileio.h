#pragma once

// The one way the system touches its own files: whole-file reads, atomic replacement
// and lock files. Every file the programs own (registry hives, "cache.dir",
// "subscriptions.dir", cached objects) is written through AtomicWriteFile, so a crash
// or a reader at the wrong moment meets either the old or the new content, never half.
// All functions are safe to call from any thread.

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

// A file-system call failed. what() names the operation and the path; Code() is errno.
class FileError : public std::runtime_error {
public:
    FileError(const std::string& operation, const std::string& path, int code);
    int Code() const noexcept { return code_; }

private:
    int code_;
};

// The whole content of a file; nullopt when no file exists at the path.
// Throws FileError when the file exists but cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

// Reads an open descriptor from where it stands to its end into content (appended),
// retrying interrupted reads, and stops once more than maxBytes were read (then
// maxBytes + 1 were appended, so the caller sees the excess). Returns 0, or the errno of the read
// that failed (what was read before it stays in content).
int ReadToEnd(int fd, std::string& content, std::size_t maxBytes = static_cast<std::size_t>(-1));

// The lines of a text: a line ends at CR LF, a lone CR or a lone LF, and a last line
// without an end counts too. The ends are not kept.
std::vector<std::string> SplitLines(std::string_view text);

// Replaces the file at path with bytes: a temporary file in the same folder is written,
// flushed to disk, renamed over the target and the folder is flushed. On failure the old
// file stays untouched, the temporary file is removed and FileError is thrown.
// mode applies to a file that did not exist; an existing file keeps its permissions.
void AtomicWriteFile(const std::string& path, std::string_view bytes, mode_t mode = 0644);

// Removes the temporary files that AtomicWriteFile calls for path left behind when a
// writer was killed half-way. Call it only while holding the lock that every writer of
// path holds, so no save in progress loses its file.
void RemoveStaleTemporaries(const std::string& path);

// AtomicWriteFile for content that arrives in pieces (downloads): the pieces go into a
// temporary file beside the target, and only Commit flushes it and renames it over the
// target. A writer dropped without Commit (an error, a cut-off transfer) removes its
// temporary file and leaves the target as it was, so no half file ever stands under the
// target name. Movable, not copyable; one thread at a time.
class AtomicFileWriter {
public:
    // Creates the temporary file. Throws FileError ("create") when that fails.
    // mode as for AtomicWriteFile.
    explicit AtomicFileWriter(const std::string& path, mode_t mode = 0644);
    AtomicFileWriter(AtomicFileWriter&& other) noexcept;
    AtomicFileWriter& operator=(AtomicFileWriter&& other) noexcept;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter();

    // Appends bytes. Throws FileError ("write"); the writer is then discarded.
    void Write(std::string_view bytes);
    // Flushes, closes and renames the temporary file over the target, then flushes the
    // folder. Throws FileError; the target then keeps its old content.
    void Commit();
    // Removes the temporary file; the target is untouched. Safe to call twice.
    void Discard() noexcept;

    const std::string& Path() const noexcept { return path_; }
    bool IsOpen() const noexcept { return fd_ >= 0; }

private:
    std::string path_;
    std::string temp_;
    mode_t mode_ = 0644;
    int fd_ = -1;
};

// Creates the folder and its missing parents. True when the folder exists afterwards.
bool MakeFolders(const std::string& path, mode_t mode = 0755);

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);

// Deletes a file (not a folder). True when it was deleted; false when it did not exist
// or could not be deleted.
bool RemoveFile(const std::string& path);

// The folder part of a path ("a/b/c" -> "a/b", "c" -> ".", "/c" -> "/").
std::string ParentFolder(const std::string& path);

// An advisory lock (flock) on a lock file, held for the object's lifetime. It belongs to
// the open file, so two opens conflict even within one process, and the kernel drops it
// when the holder dies, so a crashed writer never blocks the others. Each holder also
// sets a read lock of the open-file-description kind as a mark that IsHeld can ask for.
// Movable, not copyable.
class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    // Waits at most timeout for the lock (the lock file is created when missing).
    // Throws FileError on a file error and on time-out (code ETIMEDOUT).
    static FileLock Acquire(const std::string& path, Mode mode,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Takes the lock only when it is free at once; nullopt otherwise.
    static std::optional<FileLock> TryAcquire(const std::string& path, Mode mode);
    // Whether some process (this one included) holds the lock now. Only asks for the
    // holders' marks (F_OFD_GETLK): a claim made at the same moment is never refused
    // because of it.
    static bool IsHeld(const std::string& path);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    void Release() noexcept;

private:
    explicit FileLock(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

} // namespace platform

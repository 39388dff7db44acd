#pragma once

// The shell's silent file operations, in place of the shell's file operation with "no
// confirmation" and "silent": copy one file over another and delete one file, asking
// nobody and showing nothing. Failures are return values, never questions or boxes.
//
// Only plain files are copied (a folder, pipe or device is refused), and a folder is
// never deleted. A copy
// replaces its target atomically (copy to a temporary file beside it, then rename), so a
// reader or a crash meets either the old or the new file, never half of one; the folder
// of the target is made when missing; the copy takes the source's permission bits
// without set-id bits, so an executable stays executable.
//
// Free functions without state; safe from any thread.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Copies source over target. True when target now holds source's bytes; false (target
// unchanged) when source is missing or no plain file, or reading or writing fails.
// Copying a file onto itself leaves it as it was and succeeds.
bool SilentCopyFile(const std::string& source, const std::string& target);

// Deletes the file at path (a link is removed itself, never what it points to). True when
// it was deleted; false when there was none, it is a folder, or it could not be deleted.
bool SilentDeleteFile(const std::string& path);

} // namespace platform

// Opening a URL or a file with the desktop's preferred program, in place of the shell's
// "open" verb. What reaches this comes from the network (feed and button links), so only
// two kinds of target are opened and anything else is dropped (after blanks at both
// ends, which feeds often write around an address, are taken off):
//   - an "http" or "https" URL (scheme in any case, then "://" and a host) without
//     blanks or control characters;
//   - an existing local plain file that is not executable and is no desktop entry
//     (".desktop"), named by its path (relative paths are taken from the working folder).
// The opener is "xdg-open", found in PATH and run with an argument vector (never
// through a shell), standard input from /dev/null, in a process group of its own.
namespace platform {

// A link without the spaces, tabs, CR and LF at both ends: what is checked and opened.
std::string TrimLink(std::string_view link);

// What ShellOpen hands to the opener for target: the URL as given (trimmed), or the
// file's absolute path; nullopt when the target is refused.
std::optional<std::string> ShellOpenArgument(const std::string& target);

enum class ShellOpenResult {
    Refused,    // not a target that may be opened; nothing was started
    NotStarted, // the opener could not be started
    Failed,     // the opener ended with an error
    Opened,     // the opener ended successfully
    Running,    // the opener still ran when the wait ended; it is reaped when it ends
};

// Opens target through the opener and waits for it at most wait (the opener may stay
// while the program it started runs). Safe from any thread; blocks the caller for at
// most wait, so call it from a worker thread.
ShellOpenResult ShellOpen(const std::string& target,
                          std::chrono::milliseconds wait = std::chrono::seconds(10));

} // namespace platform

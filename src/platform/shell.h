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

#include <string>

namespace platform {

// Copies source over target. True when target now holds source's bytes; false (target
// unchanged) when source is missing or no plain file, or reading or writing fails.
// Copying a file onto itself leaves it as it was and succeeds.
bool SilentCopyFile(const std::string& source, const std::string& target);

// Deletes the file at path (a link is removed itself, never what it points to). True when
// it was deleted; false when there was none, it is a folder, or it could not be deleted.
bool SilentDeleteFile(const std::string& path);

} // namespace platform

#pragma once

// Where the platform pieces keep their per-user runtime state (named locks, dial-up
// records): a sub-folder of the user's runtime folder, made on first use with mode 0700.
// Internal to src/platform.

#include "platform/fileio.h"
#include "platform/folders.h"

#include <cerrno>
#include <string>

namespace platform::internal {

// The sub-folder, created when missing. Throws FileError when there is no runtime folder
// or the sub-folder cannot be made.
inline std::string RuntimeSubfolder(const std::string& name) {
    const std::string base = RuntimeHome();
    if (base.empty()) {
        throw FileError("find runtime folder", "$XDG_RUNTIME_DIR", ENOENT);
    }
    const std::string folder = base + "/" + name;
    if (!MakeFolders(folder, 0700)) {
        throw FileError("create folder", folder, errno);
    }
    return folder;
}

} // namespace platform::internal

#pragma once

// The program's private runtime folder: the home of the message bus's endpoints and of
// named locks. It is "$XDG_RUNTIME_DIR/tolvar"; without $XDG_RUNTIME_DIR it is
// ".tolvar-runtime" in the user's home (never a predictable name in a folder that other
// users may write to). The folder is created with mode 0700 and, before every use,
// checked to be a real folder (no symbolic link) owned by the effective user and closed
// to everybody else; one that fails the check is refused, never repaired or taken over,
// so nothing of another user can reach what lies inside.

#include <stdexcept>
#include <string>

namespace platform {

// The folder's name in the home when the session has no runtime folder.
inline constexpr const char* kHomeRuntimeFolderName = ".tolvar-runtime";

// The folder cannot be made or is not private (other owner, open mode, not a folder).
class RuntimeFolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path of the private runtime folder, created when missing. Throws
// RuntimeFolderError. Reads the environment at each call. Safe on any thread.
std::string PrivateRuntimeFolder();

// A sub-folder of the private runtime folder (such as "bus"), created and checked the
// same way.
std::string PrivateRuntimeFolder(const std::string& name);

} // namespace platform

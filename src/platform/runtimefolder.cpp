#include "platform/runtimefolder.h"

#include "platform/folders.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Makes path a private folder or proves that it already is one. The folder is never
// taken over: one that another user made first, or one open to others, is refused,
// since whoever owns it could read or replace the endpoints and locks inside.
void EnsurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw RuntimeFolderError("cannot create the runtime folder " + path + ": " +
                                 std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw RuntimeFolderError("cannot inspect the runtime folder " + path + ": " +
                                 std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw RuntimeFolderError("the runtime folder " + path +
                                 " is not a folder (a file or a symbolic link stands there); "
                                 "remove it and start again");
    }
    if (st.st_uid != ::geteuid()) {
        throw RuntimeFolderError("the runtime folder " + path + " belongs to user " +
                                 std::to_string(st.st_uid) + ", not to this user (" +
                                 std::to_string(::geteuid()) +
                                 "); it is not used. Remove it and start again");
    }
    if ((st.st_mode & 0077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw RuntimeFolderError("the runtime folder " + path + " is open to other users (mode " +
                                 mode + ", must be 0700); it is not used. Run chmod 700 " + path +
                                 " and start again");
    }
}

} // namespace

std::string PrivateRuntimeFolder() {
    const std::string runtime = RuntimeHome();
    // Without a runtime folder of the session, the user's own home: a fixed name in /tmp
    // could be made first by another local user and keep both programs from starting.
    std::string path =
        runtime.empty() ? HomeFolder() + "/" + kHomeRuntimeFolderName : runtime + "/tolvar";
    EnsurePrivateFolder(path);
    return path;
}

std::string PrivateRuntimeFolder(const std::string& name) {
    std::string path = PrivateRuntimeFolder() + "/" + name;
    EnsurePrivateFolder(path);
    return path;
}

} // namespace platform

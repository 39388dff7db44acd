#include "platform/runtimefolder.h"

#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Makes path a private folder or proves that it already is one.
void EnsurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw RuntimeFolderError("cannot create " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw RuntimeFolderError("cannot inspect " + path + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw RuntimeFolderError(path + " is not a folder");
    }
    if (st.st_uid != ::geteuid()) {
        throw RuntimeFolderError(path + " belongs to another user");
    }
    if ((st.st_mode & 0077) != 0) {
        throw RuntimeFolderError(path + " is open to other users (mode must be 0700)");
    }
}

std::string TempBase() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && tmp[0] == '/') {
        return tmp;
    }
    return "/tmp";
}

} // namespace

std::string PrivateRuntimeFolder() {
    std::string runtime = RuntimeHome();
    std::string path = runtime.empty() ? TempBase() + "/tolvar-" + std::to_string(::geteuid())
                                       : runtime + "/tolvar";
    EnsurePrivateFolder(path);
    return path;
}

std::string PrivateRuntimeFolder(const std::string& name) {
    std::string path = PrivateRuntimeFolder() + "/" + name;
    EnsurePrivateFolder(path);
    return path;
}

} // namespace platform

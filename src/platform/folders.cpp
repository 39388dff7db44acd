#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// An environment variable that holds an absolute path, or empty.
std::string AbsoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return {};
    }
    std::string path = value;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

} // namespace

std::string HomeFolder() {
    std::string home = AbsoluteEnv("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/tmp";
}

std::string ConfigHome() {
    std::string dir = AbsoluteEnv("XDG_CONFIG_HOME");
    return dir.empty() ? HomeFolder() + "/.config" : dir;
}

std::string DataHome() {
    std::string dir = AbsoluteEnv("XDG_DATA_HOME");
    return dir.empty() ? HomeFolder() + "/.local/share" : dir;
}

std::string RuntimeHome() {
    return AbsoluteEnv("XDG_RUNTIME_DIR");
}

std::string SystemFolder() {
    std::string dir = AbsoluteEnv("TOLVAR_SYSTEM_DIR");
    return dir.empty() ? DataHome() + "/tolvar-system" : dir;
}

std::string WindowsFolder() {
    return SystemFolder() + "/Windows";
}

std::string UserHivePath() {
    return ConfigHome() + "/tolvar/user.reg";
}

std::string MachineHivePath() {
    return SystemFolder() + "/machine.reg";
}

std::string ToFileSystemPath(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

std::string CurrentFolder() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform

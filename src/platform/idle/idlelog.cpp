#include "platform/idle/idlelog.h"

#include "platform/fileio.h"
#include "platform/folders.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace idle {

namespace {

constexpr off_t kMaxLogSize = off_t{256} * 1024;

} // namespace

std::string IdleLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string base = state != nullptr && state[0] == '/'
                                 ? std::string(state)
                                 : platform::HomeFolder() + "/.local/state";
    return base + "/tolvar/idle.log";
}

void LogLine(std::string_view text) {
    std::fprintf(stderr, "tolvar-idle: %.*s\n", static_cast<int>(text.size()), text.data());

    const std::string path = IdleLogPath();
    if (!platform::MakeFolders(platform::ParentFolder(path), 0700)) {
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kMaxLogSize) {
        ::rename(path.c_str(), (path + ".old").c_str());
    }
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    const std::string line = std::string(stamp) + " " + std::string(text) + "\n";
    // One write of a whole line in append mode: lines of two writers never mix.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace idle

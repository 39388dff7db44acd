// The version-note reader over arbitrary file contents: it must never crash, read out of
// bounds or allocate without bound, whatever file the stored program path names.

#include "platform/version.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("version-fuzz", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) {
        return 0;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    (void)platform::ReadFileVersion(path);
    return 0;
}

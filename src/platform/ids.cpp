#include "platform/ids.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace platform {

Uuid NewRandomUuid() {
    Uuid uuid{};
    size_t filled = 0;
    while (filled < uuid.size()) {
        ssize_t n = ::getrandom(uuid.data() + filled, uuid.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw IdError(std::string("no random bytes for a new identity: ") +
                          std::strerror(errno));
        }
        filled += static_cast<size_t>(n);
    }
    uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40); // version 4
    uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80); // RFC 4122 variant
    return uuid;
}

std::string UuidToGuidString(const Uuid& uuid) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "{";
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[uuid[i] >> 4];
        text += kDigits[uuid[i] & 0x0F];
    }
    text += '}';
    return text;
}

} // namespace platform

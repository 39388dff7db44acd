#pragma once

// Unique identities, in place of the system's GUID creation: random (version 4) UUIDs
// from the kernel's random source, and their text in the registry form
// "{8-4-4-4-12}" with upper-case hexadecimal digits. Stateless; safe from any thread.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

using Uuid = std::array<std::uint8_t, 16>;

// The random source failed (no entropy available to this process).
class IdError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A new random UUID with the version 4 and RFC 4122 variant bits set. Throws IdError
// when the kernel gives no random bytes.
Uuid NewRandomUuid();

// The UUID as 38 characters: "{", 8-4-4-4-12 upper-case hexadecimal digits with
// hyphens, "}". The bytes are written in their stored order.
std::string UuidToGuidString(const Uuid& uuid);

} // namespace platform

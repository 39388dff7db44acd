#pragma once

// File version information, in place of the system's version resources. Every
// executable of the build carries the project version in an ELF note (owner "Tolvar",
// type 1, two 32-bit words in the file's byte order: the most and the least significant
// version word, each holding two 16-bit parts, high part first). ReadFileVersion finds
// that note in any ELF file by its section headers, reading only what it needs.
// Stateless; safe from any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileVersion {
    std::uint32_t mostSignificant = 0;  // parts 1 and 2 (high and low 16 bits)
    std::uint32_t leastSignificant = 0; // parts 3 and 4
};

// The version note of the file at path; nullopt when the file is missing, unreadable,
// not an ELF file, malformed, or has no version note.
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// The version this build embeds in every executable.
FileVersion EmbeddedVersion();

} // namespace platform

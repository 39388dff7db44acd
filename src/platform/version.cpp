#include "platform/version.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

namespace {

// The project version text ("1.2.3.4", missing parts count as 0) as four numbers,
// checked at compile time so a version that does not fit the note fails the build.
struct VersionParts {
    std::uint32_t part[4] = {0, 0, 0, 0};
};

constexpr VersionParts ParseVersion(std::string_view text) {
    VersionParts parts;
    size_t index = 0;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit || ++index >= 4) {
                throw "bad project version";
            }
            digit = false;
        } else if (c >= '0' && c <= '9') {
            parts.part[index] = parts.part[index] * 10 + static_cast<std::uint32_t>(c - '0');
            if (parts.part[index] > 0xFFFF) {
                throw "a project version part exceeds 65535";
            }
            digit = true;
        } else {
            throw "bad project version";
        }
    }
    if (!digit) {
        throw "bad project version";
    }
    return parts;
}

constexpr VersionParts kVersion = ParseVersion(TOLVAR_VERSION_TEXT);

constexpr std::uint32_t kNoteType = 1;
constexpr char kNoteOwner[] = "Tolvar";

struct VersionNote {
    std::uint32_t nameSize;
    std::uint32_t descSize;
    std::uint32_t type;
    char name[8]; // owner with its terminator, padded to 4 bytes
    std::uint32_t desc[2];
};

} // namespace

// The note itself. The core library's link option (--undefined) pulls this object
// into every executable that links the core, so each one carries its version.
extern "C" {
extern const VersionNote tolvar_version_note;
[[gnu::used, gnu::section(".note.tolvar.version"),
  gnu::aligned(4)]] const VersionNote tolvar_version_note = {
    sizeof kNoteOwner,
    8,
    kNoteType,
    "Tolvar",
    {(kVersion.part[0] << 16) | kVersion.part[1], (kVersion.part[2] << 16) | kVersion.part[3]},
};
}

namespace platform {

namespace {

constexpr std::uint32_t kSectionNote = 7;           // SHT_NOTE
constexpr std::uint64_t kMaxNoteSection = 1u << 20; // notes are small; refuse absurd sizes

// Reads an ELF file's fields in its own class and byte order.
class ElfReader {
public:
    ElfReader(std::ifstream& file, std::uint64_t size) : file_(file), size_(size) {}

    bool Init() {
        unsigned char ident[16];
        if (!Read(0, ident, sizeof ident) || std::memcmp(ident,
                                                         "\x7f"
                                                         "ELF",
                                                         4) != 0) {
            return false;
        }
        if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2)) {
            return false;
        }
        wide_ = ident[4] == 2;
        bigEndian_ = ident[5] == 2;
        return true;
    }

    bool Wide() const { return wide_; }

    // An unsigned field of width bytes at offset in the file.
    bool Field(std::uint64_t offset, size_t width, std::uint64_t& value) const {
        unsigned char bytes[8];
        if (!Read(offset, bytes, width)) {
            return false;
        }
        value = Decode(bytes, width);
        return true;
    }

    std::uint64_t Decode(const unsigned char* bytes, size_t width) const {
        std::uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            const size_t k = bigEndian_ ? i : width - 1 - i;
            value = (value << 8) | bytes[k];
        }
        return value;
    }

    bool Read(std::uint64_t offset, void* out, size_t length) const {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
        return file_.good() ||
               (file_.eof() && file_.gcount() == static_cast<std::streamsize>(length));
    }

private:
    std::ifstream& file_;
    std::uint64_t size_;
    bool wide_ = false;
    bool bigEndian_ = false;
};

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t align) {
    return (value + align - 1) / align * align;
}

// Looks for the version note among the notes of one note section.
std::optional<FileVersion> FindInNotes(const ElfReader& elf, const std::vector<unsigned char>& data,
                                       std::uint64_t align) {
    std::uint64_t pos = 0;
    while (data.size() - pos >= 12) {
        const std::uint64_t nameSize = elf.Decode(&data[pos], 4);
        const std::uint64_t descSize = elf.Decode(&data[pos + 4], 4);
        const std::uint64_t type = elf.Decode(&data[pos + 8], 4);
        const std::uint64_t nameAt = pos + 12;
        const std::uint64_t descAt = AlignUp(nameAt + nameSize, align);
        const std::uint64_t next = AlignUp(descAt + descSize, align);
        if (descAt + descSize > data.size()) {
            return std::nullopt;
        }
        if (type == kNoteType && nameSize == sizeof kNoteOwner && descSize >= 8 &&
            std::memcmp(&data[nameAt], kNoteOwner, sizeof kNoteOwner) == 0) {
            FileVersion version;
            version.mostSignificant = static_cast<std::uint32_t>(elf.Decode(&data[descAt], 4));
            version.leastSignificant = static_cast<std::uint32_t>(elf.Decode(&data[descAt + 4], 4));
            return version;
        }
        if (next <= pos || next > data.size()) {
            return std::nullopt;
        }
        pos = next;
    }
    return std::nullopt;
}

} // namespace

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
    std::error_code error;
    if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    const std::uintmax_t fileSize = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file) {
        return std::nullopt;
    }
    ElfReader elf(file, static_cast<std::uint64_t>(fileSize));
    if (!elf.Init()) {
        return std::nullopt;
    }
    // Offsets of e_shoff, e_shentsize and e_shnum, and of a section header's sh_type,
    // sh_offset, sh_size and sh_addralign, for 32-bit and 64-bit files.
    const bool wide = elf.Wide();
    const size_t word = wide ? 8 : 4;
    std::uint64_t tableAt = 0, entrySize = 0, count = 0;
    if (!elf.Field(wide ? 0x28 : 0x20, word, tableAt) ||
        !elf.Field(wide ? 0x3A : 0x2E, 2, entrySize) || !elf.Field(wide ? 0x3C : 0x30, 2, count)) {
        return std::nullopt;
    }
    if (tableAt == 0 || entrySize < (wide ? 0x40u : 0x28u)) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t header = tableAt + i * entrySize;
        std::uint64_t type = 0, offset = 0, size = 0, align = 0;
        if (!elf.Field(header + 4, 4, type)) {
            return std::nullopt;
        }
        if (type != kSectionNote) {
            continue;
        }
        if (!elf.Field(header + (wide ? 0x18 : 0x10), word, offset) ||
            !elf.Field(header + (wide ? 0x20 : 0x14), word, size) ||
            !elf.Field(header + (wide ? 0x30 : 0x20), word, align)) {
            return std::nullopt;
        }
        if (size > kMaxNoteSection) {
            continue;
        }
        std::vector<unsigned char> data(static_cast<size_t>(size));
        if (!elf.Read(offset, data.data(), data.size())) {
            continue;
        }
        if (auto version = FindInNotes(elf, data, align == 8 ? 8 : 4)) {
            return version;
        }
    }
    return std::nullopt;
}

FileVersion EmbeddedVersion() {
    return {tolvar_version_note.desc[0], tolvar_version_note.desc[1]};
}

} // namespace platform

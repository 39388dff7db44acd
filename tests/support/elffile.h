#pragma once

// Builds small ELF files for the version tests: an ELF header, one note section holding
// the given notes, and a section header table (a null section and the note section).
// Only the fields a reader of notes looks at are filled in.

#include <cstdint>
#include <string>
#include <vector>

namespace tolvar::test {

struct ElfNote {
    std::string owner;
    std::uint32_t type = 1;
    std::vector<std::uint32_t> desc;
};

struct ElfShape {
    bool wide = true;       // 64-bit, else 32-bit
    bool bigEndian = false; // byte order of every field
};

inline std::string MakeElfFile(const std::vector<ElfNote>& notes, ElfShape shape = {}) {
    auto put = [&](std::string& out, size_t at, std::uint64_t value, size_t width) {
        if (out.size() < at + width) {
            out.resize(at + width, '\0');
        }
        for (size_t i = 0; i < width; ++i) {
            const size_t k = shape.bigEndian ? width - 1 - i : i;
            out[at + k] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    auto pad4 = [](std::string& out) { out.resize((out.size() + 3) / 4 * 4, '\0'); };

    std::string noteData;
    for (const auto& note : notes) {
        const size_t at = noteData.size();
        put(noteData, at, note.owner.size() + 1, 4);
        put(noteData, at + 4, note.desc.size() * 4, 4);
        put(noteData, at + 8, note.type, 4);
        noteData += note.owner;
        noteData += '\0';
        pad4(noteData);
        for (std::uint32_t word : note.desc) {
            put(noteData, noteData.size(), word, 4);
        }
    }

    const size_t headerSize = shape.wide ? 64 : 52;
    const size_t entrySize = shape.wide ? 64 : 40;
    const size_t word = shape.wide ? 8 : 4;
    std::string file(headerSize, '\0');
    file[0] = 0x7f;
    file[1] = 'E';
    file[2] = 'L';
    file[3] = 'F';
    file[4] = shape.wide ? 2 : 1;
    file[5] = shape.bigEndian ? 2 : 1;
    file[6] = 1;
    put(file, 16, 2, 2);                   // e_type: executable
    put(file, 18, shape.wide ? 62 : 3, 2); // e_machine
    put(file, 20, 1, 4);                   // e_version
    const size_t noteAt = headerSize;
    file += noteData;
    pad4(file);
    if (shape.wide) {
        file.resize((file.size() + 7) / 8 * 8, '\0');
    }
    const size_t tableAt = file.size();
    put(file, shape.wide ? 0x28 : 0x20, tableAt, word); // e_shoff
    put(file, shape.wide ? 0x34 : 0x28, headerSize, 2); // e_ehsize
    put(file, shape.wide ? 0x3A : 0x2E, entrySize, 2);  // e_shentsize
    put(file, shape.wide ? 0x3C : 0x30, 2, 2);          // e_shnum
    file.resize(tableAt + 2 * entrySize, '\0');
    const size_t note = tableAt + entrySize;
    put(file, note + 4, 7, 4); // sh_type: SHT_NOTE
    put(file, note + (shape.wide ? 0x18 : 0x10), noteAt, word);
    put(file, note + (shape.wide ? 0x20 : 0x14), noteData.size(), word);
    put(file, note + (shape.wide ? 0x30 : 0x20), 4, word);
    return file;
}

} // namespace tolvar::test

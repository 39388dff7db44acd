#pragma once

// The text decoders of the platform layer: Windows-1252 (the ANSI code page of the
// documents and metafiles) and UTF-16 of either byte order, both to UTF-8, used by the
// XML layer and the metafile reader alike, so a byte means the same in both.
//
// Windows-1252 loses nothing: every byte has a character, the five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) the C1 control of the same number, as
// the system's own conversion does. UTF-16 either replaces what is broken (an unpaired
// surrogate becomes U+FFFD, an odd last byte is dropped) or refuses it whole.
//
// No state; safe from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The UTF-8 form of one code point (below 0x110000) appended to out.
void AppendUtf8(std::string& out, char32_t codePoint);

// The character of a Windows-1252 byte.
char32_t Windows1252CodePoint(unsigned char byte) noexcept;

std::string Windows1252ToUtf8(std::string_view bytes);

enum class ByteOrder { LittleEndian, BigEndian };
enum class Utf16Faults {
    Replace, // an unpaired surrogate is U+FFFD, an odd last byte is dropped
    Refuse,  // either gives nullopt
};

// UTF-16 code units (no byte-order mark is taken off) to UTF-8; nullopt only with
// Utf16Faults::Refuse.
std::optional<std::string> Utf16ToUtf8(std::string_view bytes, ByteOrder order,
                                       Utf16Faults faults = Utf16Faults::Replace);

} // namespace platform

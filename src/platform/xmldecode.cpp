#include "platform/textcase.h"
#include "platform/textcodec.h"
#include "platform/xml.h"
#include "platform/xmltext.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace platform::xml {

namespace {

using detail::IsBlankByte;

bool StartsWith(std::string_view s, std::string_view prefix) noexcept {
    return s.substr(0, prefix.size()) == prefix;
}

// The encoding named by an XML declaration at the start of the bytes; empty when there
// is no declaration or it names none.
std::string DeclaredEncoding(std::string_view bytes) {
    if (!StartsWith(bytes, "<?xml") || bytes.size() < 6 || !IsBlankByte(bytes[5])) {
        return {};
    }
    const auto end = bytes.find("?>");
    if (end == std::string_view::npos) {
        return {};
    }
    const std::string_view decl = bytes.substr(0, end);
    std::size_t pos = 5;
    while ((pos = decl.find("encoding", pos)) != std::string_view::npos) {
        std::size_t i = pos + 8;
        if (!IsBlankByte(decl[pos - 1])) {
            pos = i;
            continue;
        }
        while (i < decl.size() && IsBlankByte(decl[i])) {
            ++i;
        }
        if (i >= decl.size() || decl[i] != '=') {
            pos = i;
            continue;
        }
        ++i;
        while (i < decl.size() && IsBlankByte(decl[i])) {
            ++i;
        }
        if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) {
            return {};
        }
        const char quote = decl[i];
        const auto close = decl.find(quote, i + 1);
        if (close == std::string_view::npos) {
            return {};
        }
        return std::string(decl.substr(i + 1, close - i - 1));
    }
    return {};
}

bool IsUtf8Name(const std::string& upper) {
    return upper == "UTF-8" || upper == "UTF8";
}

bool IsWindows1252Name(const std::string& upper) {
    static constexpr std::array<std::string_view, 15> names = {
        "ISO-8859-1",   "ISO8859-1", "ISO_8859-1", "ISO_8859-1:1987", "LATIN1", "LATIN-1",
        "L1",           "CP819",     "IBM819",     "US-ASCII",        "ASCII",  "ANSI_X3.4-1968",
        "WINDOWS-1252", "CP1252",    "ISO-IR-100"};
    for (auto name : names) {
        if (upper == name) {
            return true;
        }
    }
    return false;
}

// A multi-byte encoding in which the declaration could not have been read as 8-bit
// text: naming one in a readable declaration is a plain mistake.
bool IsWideName(const std::string& upper) {
    return StartsWith(upper, "UTF-16") || StartsWith(upper, "UTF16") ||
           StartsWith(upper, "UTF-32") || StartsWith(upper, "UTF32") ||
           StartsWith(upper, "UCS-2") || StartsWith(upper, "UCS2") || StartsWith(upper, "UCS-4") ||
           StartsWith(upper, "UCS4");
}

// Converts with iconv; nullopt when the encoding is unknown or the bytes do not decode.
std::optional<std::string> ConvertWithIconv(std::string_view bytes, const std::string& from) {
    iconv_t cd = ::iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr): iconv's failure
        return std::nullopt;
    }
    struct Closer { // NOLINT(cppcoreguidelines-special-member-functions): a local guard
        iconv_t cd;
        ~Closer() { ::iconv_close(cd); }
    } closer{cd};
    std::string out;
    out.resize(bytes.size() * 2 + 16);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::size_t written = 0;
    while (true) {
        char* outPtr = out.data() + written;
        std::size_t outLeft = out.size() - written;
        const std::size_t rc = ::iconv(cd, inLeft > 0 ? &in : nullptr, &inLeft, &outPtr, &outLeft);
        written = out.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            if (inLeft == 0) {
                break;
            }
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        return std::nullopt; // EILSEQ or EINVAL: the bytes do not decode
    }
    out.resize(written);
    return out;
}

// UTF-16 through the decoder the metafiles use too, UTF-32 through iconv; nullopt when
// the bytes do not decode.
std::optional<std::string> DecodeWide(std::string_view bytes, std::string_view name) {
    if (name == "UTF-16LE" || name == "UTF-16BE") {
        return Utf16ToUtf8(bytes,
                           name == "UTF-16LE" ? ByteOrder::LittleEndian : ByteOrder::BigEndian,
                           Utf16Faults::Refuse);
    }
    return ConvertWithIconv(bytes, std::string(name));
}

} // namespace

bool IsValidUtf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

DecodedText DecodeXmlBytes(std::string_view bytes) {
    static constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    const auto windows1252 = [](std::string_view b) {
        return DecodedText{Windows1252ToUtf8(b), "WINDOWS-1252"};
    };
    if (StartsWith(bytes, kUtf8Bom)) {
        const auto rest = bytes.substr(kUtf8Bom.size());
        if (IsValidUtf8(rest)) {
            return {std::string(rest), "UTF-8"};
        }
        return windows1252(rest);
    }
    // UTF-32 and UTF-16, by the byte-order mark or by the form "<" (UTF-32) or "<?"
    // (UTF-16) takes in them. The UTF-32 little-endian mark begins with the UTF-16 one,
    // so UTF-32 is asked first.
    struct Wide {
        std::string_view mark;
        const char* name;
        bool skipMark;
    };
    static constexpr std::array<Wide, 8> wides = {{
        {std::string_view("\xFF\xFE\0\0", 4), "UTF-32LE", true},
        {std::string_view("\0\0\xFE\xFF", 4), "UTF-32BE", true},
        {std::string_view("<\0\0\0", 4), "UTF-32LE", false},
        {std::string_view("\0\0\0<", 4), "UTF-32BE", false},
        {std::string_view("\xFF\xFE", 2), "UTF-16LE", true},
        {std::string_view("\xFE\xFF", 2), "UTF-16BE", true},
        {std::string_view("<\0?\0", 4), "UTF-16LE", false},
        {std::string_view("\0<\0?", 4), "UTF-16BE", false},
    }};
    for (const auto& wide : wides) {
        if (StartsWith(bytes, wide.mark)) {
            const auto body = wide.skipMark ? bytes.substr(wide.mark.size()) : bytes;
            if (auto text = DecodeWide(body, wide.name)) {
                return {std::move(*text), wide.name};
            }
            return windows1252(bytes);
        }
    }
    const std::string declared = AsciiUpper(DeclaredEncoding(bytes));
    if (declared.empty() || IsWideName(declared) || IsUtf8Name(declared)) {
        if (IsValidUtf8(bytes)) {
            return {std::string(bytes), "UTF-8"};
        }
        return windows1252(bytes);
    }
    if (IsWindows1252Name(declared)) {
        return windows1252(bytes);
    }
    if (auto text = ConvertWithIconv(bytes, declared)) {
        return {std::move(*text), declared};
    }
    return windows1252(bytes);
}

bool detail::IsUtf8AsItStands(std::string_view bytes) {
    if (bytes.size() < 2 || bytes[0] != '<' || bytes[1] == '\0') {
        return false;
    }
    const std::string declared = AsciiUpper(DeclaredEncoding(bytes));
    return (declared.empty() || IsUtf8Name(declared)) && IsValidUtf8(bytes);
}

} // namespace platform::xml

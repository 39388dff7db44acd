#pragma once

// The text form of a hive, and the key tree it describes. A hive file is UTF-8 text:
//
//   Tolvar Registry 1
//
//   [HKEY_CURRENT_USER\Software\Brimwald\Tolvar]
//   "CurrentProvider"="Nordwind"
//   "MessageInterval"=dword:0000000f
//   "Path"=hex(2):25,54,45,4d,50,25
//   "Blob"=hex:01,02,ff
//   @="the default value"
//
// The first line that is not blank is the header line above. A section names a key by
// its full path, hive name first; its lines set that key's values. Names and quoted
// texts escape "\" and the double quote with a backslash. Numbers are 8 hexadecimal
// digits. Expandable strings are hex(2): and texts that cannot stand in quotes (control
// characters, bytes that are not UTF-8) are hex(1):, both holding the UTF-8 bytes of
// the text (no terminating zero); hex: is binary data. A line ending in "\" continues
// on the next one; blank lines and lines starting with ";" are ignored; a carriage
// return before a line end is tolerated. Key and value names match without regard to
// ASCII letter case.
//
// Pure functions and plain data: safe from any thread.

#include "platform/registry.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::hivefile {

inline constexpr std::string_view kHeader = "Tolvar Registry 1";
// Keys nest at most this deep below a hive, as in the system registry; it also bounds
// the recursion over a tree read from a file.
inline constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::string name;
    ValueType type = ValueType::String;
    std::uint32_t number = 0; // Dword
    std::string data;         // String and ExpandString: the text; Binary: the bytes

    bool operator==(const Value&) const = default;
};

// One key: its values in first-written order and its sub-keys in first-made order.
struct Key {
    std::string name;
    std::vector<Value> values;
    std::vector<Key> subKeys;

    const Value* FindValue(std::string_view valueName) const;
    Value* FindValue(std::string_view valueName);
    const Key* FindSubKey(std::string_view keyName) const;
    Key* FindSubKey(std::string_view keyName);
    // Replaces the value of the same name (keeping its place and the case of its name)
    // or appends it.
    void SetValue(Value value);
    bool RemoveValue(std::string_view valueName);
    // The sub-key of that name, made (appended) when missing.
    Key& SubKey(std::string_view keyName);
    bool RemoveSubKey(std::string_view keyName);

    bool operator==(const Key&) const = default;
};

// The file does not follow the form above. Line() is the 1-based line of the fault.
class ParseError : public std::runtime_error {
public:
    ParseError(int line, const std::string& message);
    int Line() const noexcept { return line_; }

private:
    int line_;
};

// One section of a file: a key path as written (hive name first, components split at
// "\") and the values its lines set, in file order.
struct Section {
    std::vector<std::string> path;
    std::vector<Value> values;
    int line = 0; // where the section starts in the parsed text
};

// True when the names are equal without regard to ASCII letter case.
bool NamesEqual(std::string_view a, std::string_view b);
// A key name can stand in a path: not empty, no "\", UTF-8 without control characters.
bool IsValidKeyName(std::string_view name);
// A value name can stand in a line: UTF-8 without control characters (may be empty:
// the key's default value).
bool IsValidValueName(std::string_view name);
// Splits "A\B\C" (leading and trailing "\" ignored) into its names; false when a name
// is not valid (empty between two "\", control characters, not UTF-8) or there are more
// than kMaxKeyDepth.
bool SplitKeyPath(std::string_view path, std::vector<std::string>& names);

// Parses a whole file. Throws ParseError.
std::vector<Section> Parse(std::string_view text);
// The file text for sections (header first).
std::string Format(const std::vector<Section>& sections);

// The key tree of a hive file whose sections all lie in hiveName. A text that is only
// blank is an empty tree. Throws ParseError.
Key LoadHive(std::string_view text, std::string_view hiveName);
// The sections of key and every key below it, key first; prefix is the path of key
// (hive name first). With includeEmpty false the key's own section is left out when it
// holds no values (the root of a hive).
void AppendSections(const Key& key, const std::vector<std::string>& prefix, bool includeEmpty,
                    std::vector<Section>& out);
// The file text of a whole hive.
std::string SaveHive(const Key& root, std::string_view hiveName);

} // namespace platform::hivefile

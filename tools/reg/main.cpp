// tolvar-reg: the registry on the command line, for installations (the System switches,
// the providers) and for people who look at the settings.
//
//   tolvar-reg query KEY [/v NAME]
//   tolvar-reg add KEY /v NAME [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]
//   tolvar-reg delete KEY [/v NAME] [/f]
//   tolvar-reg export KEY FILE
//   tolvar-reg import FILE
//
// KEY is HKLM\... or HKCU\... (or HKEY_LOCAL_MACHINE\..., HKEY_CURRENT_USER\...). The
// tool never asks: replacing a value and deleting need /f. Numbers are decimal or 0x
// hexadecimal; binary data is hexadecimal digits ("01ff"). Files are in the hive-file
// form. Exit status 0 on success, 1 when the operation failed, 2 on a usage error.

#include "platform/fileio.h"
#include "platform/hivefile.h"
#include "platform/registry.h"

#include <cctype>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;
using platform::ValueType;
namespace hivefile = platform::hivefile;

constexpr const char* kUsage =
    "usage: tolvar-reg query KEY [/v NAME]\n"
    "       tolvar-reg add KEY /v NAME [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD|REG_BINARY] [/d DATA] "
    "[/f]\n"
    "       tolvar-reg delete KEY [/v NAME] [/f]\n"
    "       tolvar-reg export KEY FILE\n"
    "       tolvar-reg import FILE\n"
    "KEY: HKLM\\... or HKCU\\... (or HKEY_LOCAL_MACHINE\\..., HKEY_CURRENT_USER\\...)\n";

struct UsageError {
    std::string message;
};

struct Failure {
    std::string message;
};

std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::optional<Hive> HiveOf(const std::string& name) {
    const std::string n = Upper(name);
    if (n == "HKLM" || n == "HKEY_LOCAL_MACHINE") {
        return Hive::LocalMachine;
    }
    if (n == "HKCU" || n == "HKEY_CURRENT_USER") {
        return Hive::CurrentUser;
    }
    return std::nullopt;
}

struct KeyName {
    Hive hive;
    std::string path; // "\A\B", empty for the root
    std::string Display() const { return std::string(platform::HiveName(hive)) + path; }
};

KeyName ParseKey(const std::string& text) {
    const auto slash = text.find('\\');
    const auto hive = HiveOf(text.substr(0, slash));
    if (!hive) {
        throw UsageError{"\"" + text + "\" does not start with HKLM or HKCU"};
    }
    std::vector<std::string> names;
    if (slash != std::string::npos && !hivefile::SplitKeyPath(text.substr(slash + 1), names)) {
        throw UsageError{"\"" + text + "\" is not a valid key path"};
    }
    KeyName key{*hive, {}};
    for (const auto& name : names) {
        key.path += "\\" + name;
    }
    return key;
}

// The command's words after the command name: positional words and /x switches.
struct Arguments {
    std::vector<std::string> positional;
    std::optional<std::string> v, t, d;
    bool force = false;
};

Arguments ParseArguments(const std::vector<std::string>& words, const std::string& allowed) {
    Arguments args;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.size() == 2 && w[0] == '/') {
            const char s = static_cast<char>(std::tolower(static_cast<unsigned char>(w[1])));
            if (allowed.find(s) == std::string::npos) {
                throw UsageError{"unknown switch " + w};
            }
            if (s == 'f') {
                args.force = true;
                continue;
            }
            if (i + 1 >= words.size()) {
                throw UsageError{"switch " + w + " needs a value"};
            }
            std::optional<std::string>& slot = s == 'v' ? args.v : s == 't' ? args.t : args.d;
            if (slot) {
                throw UsageError{"switch " + w + " given twice"};
            }
            slot = words[++i];
            continue;
        }
        args.positional.push_back(w);
    }
    return args;
}

const char* TypeName(ValueType type) {
    switch (type) {
    case ValueType::Dword:
        return "REG_DWORD";
    case ValueType::String:
        return "REG_SZ";
    case ValueType::ExpandString:
        return "REG_EXPAND_SZ";
    case ValueType::Binary:
        return "REG_BINARY";
    }
    return "REG_NONE";
}

std::string Hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// The value as it stands in the registry, in the file model.
hivefile::Value ReadValue(const RegistryKey& key, const std::string& name) {
    hivefile::Value v;
    v.name = name;
    v.type = key.TypeOf(name).value();
    switch (v.type) {
    case ValueType::Dword:
        v.number = key.ReadInteger(name);
        break;
    case ValueType::String:
    case ValueType::ExpandString:
        v.data = key.ReadString(name);
        break;
    case ValueType::Binary: {
        const auto bytes = key.ReadBinary(name);
        v.data.assign(bytes.begin(), bytes.end());
        break;
    }
    }
    return v;
}

void PrintValue(const hivefile::Value& v) {
    std::cout << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << TypeName(v.type)
              << "    ";
    if (v.type == ValueType::Dword) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "0x%x", static_cast<unsigned>(v.number));
        std::cout << digits;
    } else if (v.type == ValueType::Binary) {
        std::cout << Hex(v.data);
    } else {
        std::cout << v.data;
    }
    std::cout << '\n';
}

RegistryKey OpenExisting(const KeyName& name, Access access) {
    auto key = RegistryKey::Open(name.hive, name.path, Access::Read);
    if (!key) {
        throw Failure{"the key " + name.Display() + " does not exist"};
    }
    if (access == Access::ReadWrite) {
        key = RegistryKey::Open(name.hive, name.path, Access::ReadWrite);
        if (!key) {
            throw Failure{"the key " + name.Display() +
                          " cannot be written (no rights, or its hive "
                          "file cannot be parsed)"};
        }
    }
    return *key;
}

int Query(const std::vector<std::string>& words) {
    const Arguments args = ParseArguments(words, "v");
    if (args.positional.size() != 1) {
        throw UsageError{"query takes one KEY"};
    }
    const KeyName name = ParseKey(args.positional[0]);
    const RegistryKey key = OpenExisting(name, Access::Read);
    if (args.v) {
        if (!key.ValueExists(*args.v)) {
            throw Failure{"the value \"" + *args.v + "\" does not exist in " +
                          platform::HiveName(name.hive) + key.Path()};
        }
        std::cout << platform::HiveName(name.hive) << key.Path() << '\n';
        for (const auto& stored : key.ValueNames()) {
            if (hivefile::NamesEqual(stored, *args.v)) {
                PrintValue(ReadValue(key, stored)); // with the case it is stored in
            }
        }
        return 0;
    }
    std::cout << platform::HiveName(name.hive) << key.Path() << '\n';
    for (const auto& value : key.ValueNames()) {
        PrintValue(ReadValue(key, value));
    }
    const auto subKeys = key.SubKeyNames();
    if (!subKeys.empty()) {
        std::cout << '\n';
    }
    for (const auto& sub : subKeys) {
        std::cout << platform::HiveName(name.hive) << key.Path() << '\\' << sub << '\n';
    }
    return 0;
}

std::uint32_t ParseNumber(const std::string& text) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 10) {
        throw UsageError{"\"" + text + "\" is not a 32-bit number"};
    }
    std::uint64_t n = 0;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        }
        if (d < 0) {
            throw UsageError{"\"" + text + "\" is not a 32-bit number"};
        }
        n = n * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    if (n > 0xFFFFFFFFull) {
        throw UsageError{"\"" + text + "\" is not a 32-bit number"};
    }
    return static_cast<std::uint32_t>(n);
}

std::vector<std::uint8_t> ParseBytes(const std::string& text) {
    if (text.size() % 2 != 0) {
        throw UsageError{"binary data needs two hexadecimal digits per byte"};
    }
    std::vector<std::uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            throw UsageError{"\"" + text + "\" is not hexadecimal binary data"};
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

void Write(const RegistryKey& key, const hivefile::Value& v) {
    switch (v.type) {
    case ValueType::Dword:
        key.WriteInteger(v.name, v.number);
        break;
    case ValueType::String:
        key.WriteString(v.name, v.data);
        break;
    case ValueType::ExpandString:
        key.WriteExpandString(v.name, v.data);
        break;
    case ValueType::Binary:
        key.WriteBinary(v.name, std::vector<std::uint8_t>(v.data.begin(), v.data.end()));
        break;
    }
}

int Add(const std::vector<std::string>& words) {
    const Arguments args = ParseArguments(words, "vtdf");
    if (args.positional.size() != 1) {
        throw UsageError{"add takes one KEY"};
    }
    if (!args.v) {
        throw UsageError{"add needs /v NAME"};
    }
    const KeyName name = ParseKey(args.positional[0]);
    hivefile::Value v;
    v.name = *args.v;
    if (!hivefile::IsValidValueName(v.name)) {
        throw UsageError{"the value name holds control characters or is not UTF-8"};
    }
    const std::string type = Upper(args.t.value_or("REG_SZ"));
    const std::string data = args.d.value_or("");
    if (type == "REG_SZ") {
        v.type = ValueType::String;
        v.data = data;
    } else if (type == "REG_EXPAND_SZ") {
        v.type = ValueType::ExpandString;
        v.data = data;
    } else if (type == "REG_DWORD") {
        if (!args.d) {
            throw UsageError{"REG_DWORD needs /d NUMBER"};
        }
        v.type = ValueType::Dword;
        v.number = ParseNumber(data);
    } else if (type == "REG_BINARY") {
        v.type = ValueType::Binary;
        const auto bytes = ParseBytes(data);
        v.data.assign(bytes.begin(), bytes.end());
    } else {
        throw UsageError{"unknown type \"" + *args.t + "\""};
    }
    const auto key = RegistryKey::Open(name.hive, name.path, Access::ReadWrite, true);
    if (!key) {
        throw Failure{"the key " + name.Display() +
                      " cannot be written (no rights, or its hive file cannot be parsed)"};
    }
    if (key->ValueExists(v.name) && !args.force) {
        throw Failure{"the value \"" + v.name + "\" exists in " + name.Display() +
                      "; add /f to replace it"};
    }
    Write(*key, v);
    return 0;
}

int Delete(const std::vector<std::string>& words) {
    const Arguments args = ParseArguments(words, "vf");
    if (args.positional.size() != 1) {
        throw UsageError{"delete takes one KEY"};
    }
    const KeyName name = ParseKey(args.positional[0]);
    if (!args.v && name.path.empty()) {
        throw UsageError{"a hive cannot be deleted, only keys inside it"};
    }
    if (!args.force) {
        throw UsageError{"delete does not ask; add /f to delete"};
    }
    const RegistryKey key = OpenExisting(name, Access::ReadWrite);
    if (args.v) {
        if (!key.DeleteValue(*args.v)) {
            throw Failure{"the value \"" + *args.v + "\" does not exist in " + name.Display()};
        }
        return 0;
    }
    if (!platform::DeleteRegistryKey(name.hive, name.path)) {
        throw Failure{"the key " + name.Display() + " could not be deleted"};
    }
    return 0;
}

void Collect(const RegistryKey& key, const std::vector<std::string>& path,
             std::vector<hivefile::Section>& out) {
    hivefile::Section section;
    section.path = path;
    for (const auto& value : key.ValueNames()) {
        section.values.push_back(ReadValue(key, value));
    }
    out.push_back(std::move(section));
    for (const auto& sub : key.SubKeyNames()) {
        const auto child = RegistryKey::Open(key.GetHive(), key.Path() + "\\" + sub, Access::Read);
        if (child) {
            std::vector<std::string> childPath = path;
            childPath.push_back(sub);
            Collect(*child, childPath, out);
        }
    }
}

int Export(const std::vector<std::string>& words) {
    const Arguments args = ParseArguments(words, "");
    if (args.positional.size() != 2) {
        throw UsageError{"export takes KEY and FILE"};
    }
    const KeyName name = ParseKey(args.positional[0]);
    const RegistryKey key = OpenExisting(name, Access::Read);
    std::vector<std::string> path;
    hivefile::SplitKeyPath(key.Path(), path);
    path.insert(path.begin(), platform::HiveName(name.hive));
    std::vector<hivefile::Section> sections;
    Collect(key, path, sections);
    platform::AtomicWriteFile(args.positional[1], hivefile::Format(sections));
    return 0;
}

int Import(const std::vector<std::string>& words) {
    const Arguments args = ParseArguments(words, "");
    if (args.positional.size() != 1) {
        throw UsageError{"import takes one FILE"};
    }
    const std::string& file = args.positional[0];
    const auto text = platform::ReadFile(file);
    if (!text) {
        throw Failure{"no file \"" + file + "\""};
    }
    std::vector<hivefile::Section> sections;
    try {
        sections = hivefile::Parse(*text);
    } catch (const hivefile::ParseError& e) {
        throw Failure{file + ": " + e.what()};
    }
    // Everything is checked before the first change.
    std::vector<Hive> hives;
    for (const auto& section : sections) {
        const auto hive = HiveOf(section.path.front());
        if (!hive) {
            throw Failure{file + ": line " + std::to_string(section.line) + ": \"" +
                          section.path.front() + "\" is not a hive"};
        }
        if (!RegistryKey::Open(*hive, "", Access::ReadWrite)) {
            throw Failure{std::string(platform::HiveName(*hive)) +
                          " cannot be written (no rights, or its hive file cannot be parsed)"};
        }
        hives.push_back(*hive);
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        std::string path;
        for (size_t k = 1; k < sections[i].path.size(); ++k) {
            path += "\\" + sections[i].path[k];
        }
        const auto key = RegistryKey::Open(hives[i], path, Access::ReadWrite, true);
        if (!key) {
            throw Failure{"the key " + std::string(platform::HiveName(hives[i])) + path +
                          " cannot be created"};
        }
        for (const auto& v : sections[i].values) {
            Write(*key, v);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    const std::string command = Upper(argv[1]);
    if (command == "--HELP" || command == "-H" || command == "/?") {
        std::cout << kUsage;
        return 0;
    }
    const std::vector<std::string> words(argv + 2, argv + argc);
    try {
        if (command == "QUERY") {
            return Query(words);
        }
        if (command == "ADD") {
            return Add(words);
        }
        if (command == "DELETE") {
            return Delete(words);
        }
        if (command == "EXPORT") {
            return Export(words);
        }
        if (command == "IMPORT") {
            return Import(words);
        }
        throw UsageError{"unknown command \"" + std::string(argv[1]) + "\""};
    } catch (const UsageError& e) {
        std::cerr << "tolvar-reg: " << e.message << '\n' << kUsage;
        return 2;
    } catch (const Failure& e) {
        std::cerr << "tolvar-reg: " << e.message << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "tolvar-reg: " << e.what() << '\n';
        return 1;
    }
}

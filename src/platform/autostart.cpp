#include "platform/autostart.h"

#include "platform/fileio.h"
#include "platform/folders.h"

#include <cerrno>
#include <stdexcept>

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void SplitOnBlanks(std::string_view s, std::vector<std::string>& out) {
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i])) {
            ++i;
        }
        size_t end = i;
        while (end < s.size() && !IsBlank(s[end])) {
            ++end;
        }
        if (end > i) {
            out.emplace_back(s.substr(i, end - i));
        }
        i = end;
    }
}

// One argument quoted for an Exec line, before the escaping of the whole value.
std::string QuoteArgument(std::string_view arg) {
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        out += c;
        if (c == '%') {
            out += '%'; // a literal percent sign, not a field code
        }
    }
    out += '"';
    return out;
}

// The escapes of a value of type string in a desktop entry.
std::string EscapeValue(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                throw std::invalid_argument(
                    "a control character cannot stand in an autostart entry");
            }
            out += c;
        }
    }
    return out;
}

} // namespace

std::vector<std::string> SplitRunCommand(std::string_view command) {
    std::vector<std::string> args;
    while (!command.empty() && IsBlank(command.front())) {
        command.remove_prefix(1);
    }
    while (!command.empty() && IsBlank(command.back())) {
        command.remove_suffix(1);
    }
    if (command.empty()) {
        return args;
    }
    std::string_view rest;
    if (command.front() == '"') {
        const auto close = command.find('"', 1);
        args.emplace_back(command.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                            : close - 1));
        rest = close == std::string_view::npos ? std::string_view() : command.substr(close + 1);
    } else {
        // The longest prefix ending before a blank (or at the end) that names a file.
        size_t cut = std::string_view::npos;
        for (size_t end = command.size(); end > 0; --end) {
            if (end < command.size() && !IsBlank(command[end])) {
                continue;
            }
            if (end < command.size() && IsBlank(command[end - 1])) {
                continue; // only the first blank of a run ends a prefix
            }
            if (FileExists(std::string(command.substr(0, end)))) {
                cut = end;
                break;
            }
        }
        if (cut == std::string_view::npos) {
            cut = 0;
            while (cut < command.size() && !IsBlank(command[cut])) {
                ++cut;
            }
        }
        args.emplace_back(command.substr(0, cut));
        rest = command.substr(cut);
    }
    SplitOnBlanks(rest, args);
    return args;
}

std::string DesktopExecValue(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& arg : args) {
        if (!line.empty()) {
            line += ' ';
        }
        line += QuoteArgument(arg);
    }
    return EscapeValue(line);
}

std::string AutostartEntryPath(std::string_view name) {
    return ConfigHome() + "/autostart/" + std::string(name) + ".desktop";
}

void UpdateAutostartEntry(std::string_view name, const std::optional<std::string>& command) {
    const std::string path = AutostartEntryPath(name);
    const std::vector<std::string> args =
        command ? SplitRunCommand(*command) : std::vector<std::string>();
    if (args.empty()) {
        RemoveFile(path);
        return;
    }
    const std::string entry = "[Desktop Entry]\nType=Application\nName=" + EscapeValue(name) +
                              "\nExec=" + DesktopExecValue(args) + "\n";
    const std::string folder = ParentFolder(path);
    if (!MakeFolders(folder)) {
        throw FileError("create folder", folder, errno);
    }
    AtomicWriteFile(path, entry, 0644);
}

} // namespace platform

#include "saver/ssutils.h"

#include "platform/fileio.h"
#include "platform/textcase.h"

#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>

namespace {

std::mutex& ArgumentsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::vector<std::string>>& StoredArguments() {
    static std::optional<std::vector<std::string>> args;
    return args;
}

// The arguments the kernel recorded for this process, without the program name: the
// stand-in for the system's command line when the entry handed over none.
std::vector<std::string> ArgumentsOfThisProcess() {
    std::vector<std::string> args;
    std::string bytes;
    try {
        bytes = platform::ReadFile("/proc/self/cmdline").value_or(std::string());
    } catch (const std::exception&) {
        return args;
    }
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        args.emplace_back(bytes, start, end - start);
        start = end + 1;
    }
    if (!args.empty()) {
        args.erase(args.begin());
    }
    return args;
}

std::vector<std::string> ProgramArguments() {
    {
        std::lock_guard lock(ArgumentsMutex());
        if (StoredArguments()) {
            return *StoredArguments();
        }
    }
    return ArgumentsOfThisProcess();
}

} // namespace

std::optional<SaverWindowId> ParseSaverWindowId(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<SaverWindowId>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<SaverWindowId>(value);
}

std::optional<SaverWindowId> ParseHostWindowId(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t value = 0;
        for (const char c : text.substr(2)) {
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            }
            if (digit < 0) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<std::uint64_t>(digit);
            if (value > std::numeric_limits<SaverWindowId>::max()) {
                return std::nullopt;
            }
        }
        return value == 0 ? std::nullopt : std::optional(static_cast<SaverWindowId>(value));
    }
    const auto value = ParseSaverWindowId(text);
    return value && *value != 0 ? value : std::nullopt;
}

namespace {

// The run mode in a host's window; nullopt when the arguments are no host's switches.
std::optional<SaverCommandLine> ParseHostSwitches(const std::vector<std::string>& args,
                                                  std::optional<std::string_view> variable) {
    SaverCommandLine result;
    result.mode = SaverModeRun;
    result.inHost = true;
    const auto fromVariable = [&] {
        return variable ? ParseHostWindowId(*variable) : std::nullopt;
    };
    if (args.empty()) {
        if (const auto window = fromVariable()) {
            result.hostWindow = *window;
            return result;
        }
        return std::nullopt;
    }
    const std::string first = platform::AsciiLower(args[0]);
    if (first == "-root" || first == "--root") {
        result.hostWindow = fromVariable().value_or(0);
        return result;
    }
    if (first == "-window-id" || first == "--window-id") {
        const auto window = args.size() >= 2 ? ParseHostWindowId(args[1]) : std::nullopt;
        if (!window) {
            result.mode = SaverModeNone;
            result.error = args[0] + " needs the number of a window (decimal or 0x hexadecimal)";
            return result;
        }
        result.hostWindow = *window;
        return result;
    }
    return std::nullopt;
}

} // namespace

SaverCommandLine ParseSaverCommandLine(const std::vector<std::string>& args,
                                       std::optional<std::string_view> hostWindowVariable) {
    if (auto host = ParseHostSwitches(args, hostWindowVariable)) {
        return *host;
    }
    SaverCommandLine result;
    if (args.empty()) {
        return result;
    }
    std::string text = platform::AsciiLower(args[0]);
    if (text.size() <= 1) {
        return result;
    }
    if (text[0] == '/' || text[0] == '-') {
        text.erase(0, 1);
    }
    switch (text[0]) {
    case 'a':
        result.mode = SaverModeNone;
        break;
    case 'p':
    case 'l':
        result.mode = SaverModePreview;
        break;
    case 'c':
        result.mode = SaverModeConfig;
        break;
    case 's':
        result.mode = SaverModeRun;
        break;
    default:
        break;
    }
    std::string number;
    if (text.size() > 2 && text[1] == ':') {
        number = text.substr(2);
    } else if (args.size() >= 2) {
        number = args[1];
    }
    // Every switch reads the number, as the preview does; only the preview uses it.
    result.parentWindow = ParseSaverWindowId(number).value_or(0);
    return result;
}

SSUtils* SSUtils::GetInstance() {
    // Made once and never freed: the mode is asked for until the process ends.
    static SSUtils* instance = [] {
        auto* made = new SSUtils();
        made->ParseCommandLine();
        return made;
    }();
    return instance;
}

void SSUtils::SetProgramArguments(std::vector<std::string> args) {
    std::lock_guard lock(ArgumentsMutex());
    StoredArguments() = std::move(args);
}

void SSUtils::ParseCommandLine() {
    const char* variable = std::getenv(kHostWindowVariable);
    const SaverCommandLine parsed = ParseSaverCommandLine(
        ProgramArguments(),
        variable != nullptr ? std::optional<std::string_view>(variable) : std::nullopt);
    mode_ = parsed.mode;
    parentWindow_ = parsed.parentWindow;
    inHost_ = parsed.inHost;
    hostWindow_ = parsed.hostWindow;
    error_ = parsed.error;
}

#include "control/cachemgr.h"

#include "common/cache.h"
#include "common/directories.h"
#include "common/tolvarsettings.h"
#include "platform/fileio.h"
#include "platform/folders.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kMaxCommandLength = 2048;
constexpr std::string_view kCommandMarker = "%QRX% ";

std::function<void(const SeedingErrorReport&)>& Reporter() {
    static std::function<void(const SeedingErrorReport&)> reporter;
    return reporter;
}

void ReportMissingBatch(const std::string& path, const std::string& workingFolder) {
    SeedingErrorReport report;
    report.caption = "TolvarCtrl";
    report.text = "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.\n\nExecutable: [" +
                  platform::ExecutablePath() + "]\nArbeitsverzeichnis: [" + workingFolder +
                  "]\nBatchfile: [" + path + "]\n";
    if (Reporter()) {
        Reporter()(report);
    } else {
        std::fprintf(stderr, "%s: %s", report.caption.c_str(), report.text.c_str());
    }
}

// The split rule of the command language: the text before the first blank and the text
// after it; without a blank, nothing before and the whole text after.
std::pair<std::string_view, std::string_view> SplitAtBlank(std::string_view text) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) {
        return {std::string_view(), text};
    }
    return {text.substr(0, blank), text.substr(blank + 1)};
}

// Replaces each token in turn. Text that a replacement put in is never searched again,
// neither for its own token nor for a later one, so a value cannot smuggle a variable in.
std::string Substitute(std::string_view line,
                       const std::array<std::pair<std::string_view, std::string_view>, 3>& vars) {
    struct Piece {
        std::string text;
        bool inserted;
    };
    std::vector<Piece> pieces{{std::string(line), false}};
    for (const auto& [token, value] : vars) {
        std::vector<Piece> next;
        for (auto& piece : pieces) {
            if (piece.inserted) {
                next.push_back(std::move(piece));
                continue;
            }
            std::size_t pos = 0;
            for (std::size_t hit; (hit = piece.text.find(token, pos)) != std::string::npos;) {
                next.push_back({piece.text.substr(pos, hit - pos), false});
                next.push_back({std::string(value), true});
                pos = hit + token.size();
            }
            next.push_back({piece.text.substr(pos), false});
        }
        pieces = std::move(next);
    }
    std::string result;
    for (const auto& piece : pieces) {
        result += piece.text;
    }
    return result;
}

// The path with every link resolved; empty when it does not resolve.
std::string RealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real ? std::string(real.get()) : std::string();
}

// A "-add" file name as the path of a file inside the batch file's folder, or
// nullopt when it could reach outside it: empty, absolute (also "//server" and drive
// forms such as "C:..."), holding NUL, with a ".." step, or led out by a link.
std::optional<std::string> ProviderFilePath(const std::string& batchFolder, std::string_view file) {
    const std::string path = platform::ToFileSystemPath(std::string(file));
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos ||
        (path.size() >= 2 && path[1] == ':')) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (std::string_view(path).substr(start, end - start) == "..") {
            return std::nullopt;
        }
        start = end + 1;
    }
    const std::string folder = RealPath(batchFolder.empty() ? "." : batchFolder);
    const std::string real = RealPath(batchFolder + path);
    if (folder.empty() || real.empty() ||
        !real.starts_with(folder == "/" ? folder : folder + "/")) {
        return std::nullopt;
    }
    // The name as written: its extension names the cached file.
    return batchFolder + path;
}

// The interpreter's state for one run: the three variables and the batch file's folder
// (with its trailing "/", empty for the working folder).
class BatchRun {
public:
    explicit BatchRun(std::string folder) : folder_(std::move(folder)) {}

    void HandleLine(std::string_view line) {
        const std::size_t lead = line.find_first_not_of("@ ");
        line.remove_prefix(lead == std::string_view::npos ? line.size() : lead);
        if (line.starts_with("rem ")) {
            return;
        }
        const std::string text = Substitute(line, {{{"%PROVIDERKEY%", providerKey_},
                                                    {"%PROVIDERNUM%", providerNum_},
                                                    {"%SCRPREFIX%", scrPrefix_}}});
        std::string_view rest(text);
        if (rest.starts_with("set ")) {
            Assign(rest.substr(4));
        } else if (rest.starts_with(kCommandMarker)) {
            Command(rest.substr(kCommandMarker.size(), kMaxCommandLength));
        }
    }

private:
    void Assign(std::string_view assignment) {
        const std::pair<std::string_view, std::string*> targets[] = {
            {"PROVIDERKEY=", &providerKey_},
            {"PROVIDERNUM=", &providerNum_},
            {"SCRPREFIX=", &scrPrefix_},
        };
        for (const auto& [name, variable] : targets) {
            if (assignment.starts_with(name)) {
                *variable = assignment.substr(name.size());
                return;
            }
        }
    }

    void Command(std::string_view command) {
        const auto [word, args] = SplitAtBlank(command);
        if (word == "-add") {
            const auto [file, more] = SplitAtBlank(args);
            const auto [serial, uri] = SplitAtBlank(more);
            if (const auto source = ProviderFilePath(folder_, file)) {
                AddCacheFile(*source, std::string(serial), std::string(uri));
            }
        } else if (word == "-register") {
            const auto [name, value] = SplitAtBlank(args);
            RegisterProvider(std::string(name), std::string(value));
        }
        // "-flush" and every other word do nothing.
    }

    std::string folder_;
    std::string providerKey_;
    std::string providerNum_;
    std::string scrPrefix_;
};

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

} // namespace

void SetSeedingErrorReporter(std::function<void(const SeedingErrorReport&)> reporter) {
    Reporter() = std::move(reporter);
}

bool RunCopyCacheBatch(const std::string& path, bool quiet) {
    const std::string workingFolder = platform::CurrentFolder();
    const std::string fsPath = platform::ToFileSystemPath(path);
    std::optional<std::string> text;
    try {
        if (IsRegularFile(fsPath)) {
            text = platform::ReadFile(fsPath);
        }
    } catch (const platform::FileError&) {
        // A batch file that cannot be read seeds nothing: that is no success.
    }
    if (!text) {
        if (!quiet) {
            ReportMissingBatch(path, workingFolder);
        }
        return false;
    }
    // File names in the batch file are relative to its folder. Resolving them there,
    // instead of changing the process's working folder, leaves other threads alone.
    // A seeding is a writer of the cache folder: alone, it first clears what killed
    // writers left; its own copies are safe from the cleaning of others meanwhile.
    const CacheWriterClaim claim(GetCacheDir());
    const std::size_t slash = fsPath.rfind('/');
    BatchRun run(slash == std::string::npos ? std::string() : fsPath.substr(0, slash + 1));
    for (const std::string& line : platform::SplitLines(*text)) {
        run.HandleLine(line);
    }
    return true;
}

bool AddCacheFile(const std::string& source, const std::string& serial, const std::string& uri) {
    const std::size_t slash = source.find_last_of("/\\");
    const std::string_view sourceName =
        std::string_view(source).substr(slash == std::string::npos ? 0 : slash + 1);
    const std::size_t dot = sourceName.rfind('.');
    const std::string name =
        MakeGuidString() +
        std::string(dot == std::string_view::npos ? std::string_view() : sourceName.substr(dot));
    // "cache.dir" separates its fields with "|": a name or serial holding one would come
    // back as another entry than the one written.
    if (!IsPlainCacheFileName(name) || name.find('|') != std::string::npos ||
        serial.find('|') != std::string::npos) {
        return false;
    }
    const std::string cacheFolder = GetCacheDir();
    const std::string target = cacheFolder + "/" + name;
    try {
        // Looked up first: a version held already is not copied again, so seeding twice
        // leaves one copy of each file.
        CC held(cacheFolder);
        held.Load();
        if (held.Find(uri, serial) != nullptr) {
            return true;
        }
    } catch (const std::runtime_error&) {
        return false; // an index that cannot be read is never saved over
    }
    try {
        // Only plain files: a pipe or device would block the read or never end.
        const std::optional<std::string> bytes =
            IsRegularFile(source) ? platform::ReadFile(source) : std::nullopt;
        if (!bytes) {
            return false;
        }
        platform::AtomicWriteFile(target, *bytes);
    } catch (const platform::FileError&) {
        return false;
    }
    try {
        // Re-read, added and saved under the index's lock, so a synchronisation cycle
        // writing at the same time keeps its entries and this one. An index that cannot
        // be read is never saved: that would drop its entries.
        CC cache(cacheFolder);
        bool added = false;
        cache.Update([&] {
            if (cache.Find(uri, serial) != nullptr) {
                return; // another writer recorded it meanwhile
            }
            added = true;
            auto entry = std::make_unique<CCObject>();
            entry->uri = uri;
            entry->file = name;
            entry->serial = serial;
            cache.entries.Add(std::move(entry));
        });
        if (!added) {
            platform::RemoveFile(target); // the copy would stay without an entry
        }
    } catch (const std::runtime_error&) {
        platform::RemoveFile(target);
        return false;
    }
    return true;
}

bool RegisterProvider(const std::string& name, const std::string& value) {
    // The name is the folder that later runs read "vorlk\" + name + "\copylcache.bat"
    // from, so it must stay one plain folder name.
    if (!IsPlainName(name)) {
        return false;
    }
    const auto settings = std::make_unique<TolvarSettings>(kTolvarMaker, kTolvarProduct);
    settings->SetProviderValue(name, value);
    settings->SetCurrentProvider(name);
    return true;
}

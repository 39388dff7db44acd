// The "cache.dir" reader on arbitrary bytes: the line reader, the save format read back,
// and the loading with its duplicate rule and the look-ups over what it loaded.

#include "common/cache.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

namespace {

bool SameEntries(const std::vector<CCObject>& a, const std::vector<CCObject>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].uri != b[i].uri || a[i].file != b[i].file || a[i].serial != b[i].serial) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::vector<CCObject> lines = ParseCacheDir(bytes);
    for (const auto& e : lines) {
        if (e.file.find_first_of(std::string("|\r\n\0", 4)) != std::string::npos ||
            e.serial.find_first_of(std::string("|\r\n\0", 4)) != std::string::npos ||
            e.uri.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            std::abort();
        }
    }
    // What a save writes reads back as the same lines.
    if (!SameEntries(ParseCacheDir(FormatCacheDir(lines)), lines)) {
        std::abort();
    }

    CC cc("/nonexistent");
    cc.LoadText(bytes);
    std::set<std::pair<std::string, std::string>> pairs;
    std::set<std::string> keys;
    for (const auto& e : cc.entries.Lock()) {
        // One "cache.dir" never gives two entries of one key and serial.
        if (!pairs.emplace(e->uri, e->serial).second || cc.Find(e->uri, e->serial) == nullptr) {
            std::abort();
        }
        keys.insert(e->uri);
    }
    for (const auto& key : keys) {
        // The last of the serial list is the newest serial.
        const CCObject* latest = cc.FindLatest(key);
        const auto serials = cc.ListSerials(key);
        if (latest == nullptr || !serials || serials->back() != latest->serial) {
            std::abort();
        }
    }
    return 0;
}

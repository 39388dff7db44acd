// The "cache.dir" reader on arbitrary bytes: the line reader, the save format read back,
// and CC::Load with its duplicate rule on a real file.

#include "common/cache.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>
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

const std::string& Folder() {
    // Never destroyed: the exit handler below runs after static destructors would.
    static const std::string* folder = [] {
        char pattern[] = "/tmp/cachedir-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        std::atexit([] {
            ::unlink((Folder() + "/cache.dir").c_str());
            ::rmdir(Folder().c_str());
        });
        return new std::string(pattern);
    }();
    return *folder;
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

    FILE* f = std::fopen((Folder() + "/cache.dir").c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::abort();
    }
    std::fclose(f);
    CC cc(Folder());
    cc.Load();
    std::set<std::pair<std::string, std::string>> pairs;
    for (const auto& e : cc.entries.Lock()) {
        // One "cache.dir" never gives two entries of one key and serial.
        if (!pairs.emplace(e->uri, e->serial).second) {
            std::abort();
        }
        const CCObject* latest = cc.FindLatest(e->uri);
        const auto serials = cc.ListSerials(e->uri);
        if (latest == nullptr || !serials || serials->back() != latest->serial ||
            cc.Find(e->uri, e->serial) == nullptr) {
            std::abort();
        }
    }
    return 0;
}

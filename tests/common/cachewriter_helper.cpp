// Saves a cache index over and over, alternating between two contents, until killed.
// Usage: cachewriter_helper FOLDER OLD NEW: the contents are the indexes of the folders
// OLD and NEW, saved into FOLDER's "cache.dir". Prints "saved" once the first save is
// done; the crash test kills it at random moments after that.

#include "common/cache.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace {

void CopyEntries(const CC& from, CC& to) {
    auto locked = from.entries.Lock();
    for (const auto& e : locked) {
        to.entries.Add(std::make_unique<CCObject>(*e));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cachewriter_helper FOLDER OLD NEW\n");
        return 2;
    }
    try {
        CC contents[2] = {CC(argv[2]), CC(argv[3])};
        contents[0].Load();
        contents[1].Load();
        for (unsigned round = 0;; ++round) {
            CC cc(argv[1]);
            CopyEntries(contents[round % 2], cc);
            cc.Save();
            if (round == 0) {
                std::printf("saved\n");
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cachewriter_helper: %s\n", e.what());
        return 1;
    }
}

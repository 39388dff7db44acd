// Helper program for the registry's real-process tests. Usage:
//   registry_helper write PREFIX COUNT   writes COUNT values PREFIX0.. into the user hive's
//                                        test key, one transaction each
//   registry_helper churn                 saves a growing counter with a large blob that
//                                        repeats it, forever, printing "ready" first
// Exit status 0 on success, 1 on a registry error, 2 on bad arguments.

#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr const char* kKey = "\\Software\\Brimwald\\Tolvar\\Test";

std::vector<std::uint8_t> Blob(std::uint32_t counter) {
    // Large enough that a save takes a while, so the kills land inside saves.
    std::vector<std::uint8_t> blob(24000);
    for (size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<std::uint8_t>((std::size_t{counter} * 31 + i) & 0xFF);
    }
    return blob;
}

} // namespace

int main(int argc, char** argv) {
    using platform::Access;
    using platform::Hive;
    using platform::RegistryKey;
    try {
        if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
            auto key = RegistryKey::Open(Hive::CurrentUser, kKey, Access::ReadWrite, true);
            if (!key) {
                return 1;
            }
            const int count = std::atoi(argv[3]);
            for (int i = 0; i < count; ++i) {
                key->WriteInteger(std::string(argv[2]) + std::to_string(i),
                                  static_cast<std::uint32_t>(i));
            }
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "churn") == 0) {
            auto key = RegistryKey::Open(Hive::CurrentUser, kKey, Access::ReadWrite, true);
            if (!key) {
                return 1;
            }
            std::uint32_t counter = key->ValueExists("Counter") ? key->ReadInteger("Counter") : 0;
            std::printf("ready\n");
            std::fflush(stdout);
            for (;;) {
                ++counter;
                // The blob of the counter first: the counter never runs ahead of it.
                key->WriteBinary("Blob", Blob(counter));
                key->WriteInteger("Counter", counter);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "registry_helper: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: registry_helper write PREFIX COUNT | churn\n");
    return 2;
}

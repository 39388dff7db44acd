// The dial-up layer's text readers over arbitrary input: a configured command line (from
// the machine hive) and the kernel's route tables. Input: command line, NUL, IPv4 routes,
// NUL, IPv6 routes. They must never crash or read out of bounds, and a command line
// never yields more characters than it holds.

#include "platform/network.h"
#include "platform/process.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view parts[3];
    for (int i = 0; i < 2; ++i) {
        const auto nul = input.find('\0');
        parts[i] = input.substr(0, nul);
        input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    }
    parts[2] = input;

    if (auto words = platform::SplitCommandLine(parts[0])) {
        std::size_t total = 0;
        for (const auto& word : *words) {
            total += word.size();
        }
        if (total > parts[0].size()) {
            std::abort();
        }
    }
    (void)platform::HasLanRoute(parts[1], parts[2],
                                [](const std::string& name) { return !name.empty(); });
    return 0;
}

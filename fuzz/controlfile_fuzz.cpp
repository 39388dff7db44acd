// The control file reader on arbitrary bytes: it never throws, never reads past what it
// was given, and a model it calls complete came from a well-formed document.

#include "common/controlfile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CF cf;
    const CFLoadResult result =
        cf.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (result.complete != (result.parsed && result.error.empty())) {
        std::abort();
    }
    if (!result.parsed && (!cf.channels.empty() || !cf.hosts.empty() || !cf.topics.empty() ||
                           !cf.layouts.empty() || cf.swrenew || !cf.time.empty())) {
        std::abort();
    }
    for (const auto& channel : cf.channels) {
        if (channel.id.empty() || cf.FindChannel(channel.id) == nullptr) {
            std::abort();
        }
    }
    for (const auto& layout : cf.layouts) {
        if (layout.key.empty() || layout.uri.empty()) {
            std::abort();
        }
    }
    return 0;
}

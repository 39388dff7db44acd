// The layout file reader over arbitrary bytes: it must never crash, hang or leak.

#include "common/layoutfile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LF lf;
    try {
        lf.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const LFValueError&) {
        // a value error ends the load; what came before must still be sound
    }
    std::size_t sum = 0;
    for (const auto& screen : lf.screens) {
        sum += screen.buttons.size() + screen.images.size();
    }
    return sum == static_cast<std::size_t>(-1);
}

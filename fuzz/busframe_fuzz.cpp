// The message bus's frame decoder on arbitrary bytes, as a receiver reads them from a
// connection: whole, and piece by piece as they might arrive.

#include "platform/busframe.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using platform::busframe::Decode;
using platform::busframe::DecodeStatus;
using platform::busframe::Frame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Frame frame;
    const auto whole = Decode(bytes, frame);
    if (whole.status == DecodeStatus::Complete) {
        // A decoded frame is exactly the bytes it consumed, within what was given.
        if (whole.consumed > size ||
            platform::busframe::Encode(frame) != bytes.substr(0, whole.consumed)) {
            std::abort();
        }
    } else if (whole.consumed != 0) {
        std::abort();
    }
    // Every shorter prefix of the input is a beginning of the same answer: never a frame
    // when the whole is invalid, and never invalid when the whole is a frame.
    for (std::size_t cut = 0; cut < size && cut < 256; ++cut) {
        Frame part;
        const auto r = Decode(bytes.substr(0, cut), part);
        const bool complete = r.status == DecodeStatus::Complete;
        if (complete && (whole.status != DecodeStatus::Complete || r.consumed != whole.consumed)) {
            std::abort();
        }
        if (r.status == DecodeStatus::Invalid && whole.status != DecodeStatus::Invalid) {
            std::abort();
        }
    }
    return 0;
}

#pragma once

// Messages that tests and bus_helper exchange (numbers in the private range).

#include <cstdint>

namespace bushelper {

inline constexpr std::uint32_t kQuit = 0x8001; // end the loop
inline constexpr std::uint32_t kEcho = 0x8002; // answer first + second
inline constexpr std::uint32_t kNested =
    0x8003; // send kEcho to window `first`, answer its result + 1
inline constexpr std::uint32_t kPostBurst =
    0x8004; // post `second` kSeq messages (first = 1..n) to window `first`
inline constexpr std::uint32_t kSeq = 0x8005; // one message of a burst
inline constexpr std::uint32_t kGo = 0x8006; // broadcast kPing `first` times, then print the result
inline constexpr std::uint32_t kPing =
    0x8007; // send kEcho back to window `first` (nested), answer 1
inline constexpr std::uint32_t kSendTo =
    0x8008; // send kEcho (second, 0) to window `first`, print the status

} // namespace bushelper

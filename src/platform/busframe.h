#pragma once

// The wire format of the message bus: one frame per message on a stream socket. A frame
// is a fixed little-endian header followed by the copy-data bytes:
//
//   offset size  field
//   0      4     magic "TLVB"
//   4      1     version (1)
//   5      1     kind (post, send, notify, reply)
//   6      2     reserved, 0
//   8      8     target window handle
//   16     4     message number
//   20     4     reserved, 0
//   24     8     first parameter (the reply's result)
//   32     8     second parameter
//   40     8     copy-data code
//   48     4     copy-data byte count (at most kMaxFrameData)
//   52     n     copy-data bytes
//
// The decoder never trusts the header: a wrong magic, version, kind, reserved field or a
// byte count above the limit makes the frame invalid, and nothing is read past the
// bytes given. Pure functions, safe on any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::busframe {

enum class Kind : std::uint8_t {
    Post = 1,   // no answer expected
    Send = 2,   // the sender waits for a Reply on the same connection
    Notify = 3, // like Post; marks a broadcast that does not wait
    Reply = 4,  // the answer to a Send; first = the window procedure's result
};

struct Frame {
    Kind kind = Kind::Post;
    std::int64_t target = 0;
    std::uint32_t message = 0;
    std::int64_t first = 0;
    std::int64_t second = 0;
    std::uint64_t dataCode = 0;
    std::string data;

    bool operator==(const Frame&) const = default;
};

inline constexpr std::size_t kHeaderSize = 52;
// Copy-data larger than this is refused by both ends; the protocol's texts are far smaller.
inline constexpr std::size_t kMaxFrameData = 1 << 20;

// The bytes of a frame. Throws std::length_error when data exceeds kMaxFrameData.
std::string Encode(const Frame& frame);

enum class DecodeStatus {
    Complete,   // a whole frame was decoded; consumed tells its size
    Incomplete, // the bytes so far are a valid beginning; read more
    Invalid,    // not a frame of this bus: drop the connection
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Incomplete;
    std::size_t consumed = 0;
};

// Decodes the first frame in bytes into frame (untouched unless Complete).
DecodeResult Decode(std::string_view bytes, Frame& frame);

} // namespace platform::busframe

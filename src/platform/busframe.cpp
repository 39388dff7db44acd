#include "platform/busframe.h"

#include <cstring>
#include <stdexcept>

namespace platform::busframe {

namespace {

constexpr char kMagic[4] = {'T', 'L', 'V', 'B'};
constexpr std::uint8_t kVersion = 1;

void PutU(std::string& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::uint64_t GetU(std::string_view in, std::size_t offset, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[offset + i])) << (8 * i);
    }
    return value;
}

bool ValidKind(std::uint8_t kind) {
    return kind >= static_cast<std::uint8_t>(Kind::Post) &&
           kind <= static_cast<std::uint8_t>(Kind::Reply);
}

} // namespace

std::string Encode(const Frame& frame) {
    if (frame.data.size() > kMaxFrameData) {
        throw std::length_error("bus frame data too large");
    }
    std::string out;
    out.reserve(kHeaderSize + frame.data.size());
    out.append(kMagic, sizeof kMagic);
    PutU(out, kVersion, 1);
    PutU(out, static_cast<std::uint8_t>(frame.kind), 1);
    PutU(out, 0, 2);
    PutU(out, static_cast<std::uint64_t>(frame.target), 8);
    PutU(out, frame.message, 4);
    PutU(out, 0, 4);
    PutU(out, static_cast<std::uint64_t>(frame.first), 8);
    PutU(out, static_cast<std::uint64_t>(frame.second), 8);
    PutU(out, frame.dataCode, 8);
    PutU(out, frame.data.size(), 4);
    out += frame.data;
    return out;
}

DecodeResult Decode(std::string_view bytes, Frame& frame) {
    // Check what has arrived of the fixed fields as early as possible, so a stream that
    // is not ours is dropped before its sender fills the buffer.
    if (bytes.empty()) {
        return {DecodeStatus::Incomplete, 0};
    }
    const std::size_t magicPart = bytes.size() < sizeof kMagic ? bytes.size() : sizeof kMagic;
    if (std::memcmp(bytes.data(), kMagic, magicPart) != 0) {
        return {DecodeStatus::Invalid, 0};
    }
    if (bytes.size() > 4 && static_cast<std::uint8_t>(bytes[4]) != kVersion) {
        return {DecodeStatus::Invalid, 0};
    }
    if (bytes.size() > 5 && !ValidKind(static_cast<std::uint8_t>(bytes[5]))) {
        return {DecodeStatus::Invalid, 0};
    }
    if (bytes.size() < kHeaderSize) {
        return {DecodeStatus::Incomplete, 0};
    }
    if (GetU(bytes, 6, 2) != 0 || GetU(bytes, 20, 4) != 0) {
        return {DecodeStatus::Invalid, 0};
    }
    const std::uint64_t count = GetU(bytes, 48, 4);
    if (count > kMaxFrameData) {
        return {DecodeStatus::Invalid, 0};
    }
    if (bytes.size() - kHeaderSize < count) {
        return {DecodeStatus::Incomplete, 0};
    }
    frame.kind = static_cast<Kind>(bytes[5]);
    frame.target = static_cast<std::int64_t>(GetU(bytes, 8, 8));
    frame.message = static_cast<std::uint32_t>(GetU(bytes, 16, 4));
    frame.first = static_cast<std::int64_t>(GetU(bytes, 24, 8));
    frame.second = static_cast<std::int64_t>(GetU(bytes, 32, 8));
    frame.dataCode = GetU(bytes, 40, 8);
    frame.data.assign(bytes.substr(kHeaderSize, count));
    return {DecodeStatus::Complete, kHeaderSize + static_cast<std::size_t>(count)};
}

} // namespace platform::busframe

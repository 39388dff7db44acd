#include "platform/dib.h"

#include <algorithm>
#include <bit>
#include <string>

namespace platform {

namespace {

class Bytes {
public:
    explicit Bytes(std::string_view data) : data_(data) {}
    bool Has(std::uint64_t offset, std::uint64_t count) const {
        return offset <= data_.size() && count <= data_.size() - offset;
    }
    std::uint32_t U8(std::size_t at) const { return static_cast<std::uint8_t>(data_[at]); }
    std::uint32_t U16(std::size_t at) const { return U8(at) | U8(at + 1) << 8; }
    std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }
    std::size_t Size() const { return data_.size(); }

private:
    std::string_view data_;
};

constexpr std::uint32_t kOpaque = 0xFF000000u;

struct Channel {
    std::uint32_t mask = 0;
    int shift = 0, bits = 0;
    explicit Channel(std::uint32_t m) : mask(m) {
        if (m != 0) {
            shift = std::countr_zero(m);
            bits = std::bit_width(m >> shift);
        }
    }
    std::uint32_t Of(std::uint32_t pixel) const {
        return ScaleChannel((pixel & mask) >> shift, bits);
    }
};

// Where the run-length decoder writes next; rows count from the bottom.
struct RleCursor {
    const DibInfo& info;
    DibPixels& out;
    bool four; // RLE4: two indices a byte, high nibble first
    std::int64_t x = 0, y = 0;

    void Put(std::uint32_t index) {
        if (x < info.width && y < info.height) {
            const std::int64_t row = info.bottomUp ? info.height - 1 - y : y;
            out.argb[static_cast<std::size_t>(row * info.width + x)] =
                index < info.palette.size() ? info.palette[index] | kOpaque : kOpaque;
        }
        ++x;
    }
    std::uint32_t Index(std::uint32_t byte, std::uint32_t i) const {
        return four ? (i % 2 == 0 ? byte >> 4 : byte & 0x0F) : byte;
    }
    // count pixels of the one byte's index (or its two alternating nibbles).
    void Run(std::uint32_t count, std::uint32_t value) {
        for (std::uint32_t i = 0; i < count && x < info.width; ++i)
            Put(Index(value, i));
    }
    // count literal indices from the bytes at at.
    void Literal(const Bytes& b, std::size_t at, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i)
            Put(Index(b.U8(at + (four ? i / 2 : i)), i));
    }
};

// Run-length rows: pairs of a count and an index, or an escape (0 then 0: end of row, 1:
// end of bitmap, 2: a move by the next two bytes, 3 or more: that many literal indices
// padded to a whole word). Rows count from the bottom.
void DecodeRle(const DibInfo& info, std::string_view bits, DibPixels& out) {
    RleCursor cursor{info, out, info.compression == DibInfo::Compression::Rle4};
    const Bytes b(bits);
    std::size_t at = 0;
    while (b.Has(at, 2) && cursor.y < info.height) {
        const std::uint32_t count = b.U8(at), value = b.U8(at + 1);
        at += 2;
        if (count > 0) {
            cursor.Run(count, value);
            continue;
        }
        switch (value) {
        case 0:
            cursor.x = 0, ++cursor.y;
            break;
        case 1:
            return;
        case 2:
            if (!b.Has(at, 2))
                return;
            cursor.x += b.U8(at), cursor.y += b.U8(at + 1);
            at += 2;
            break;
        default: {
            const std::size_t bytes = cursor.four ? (value + 1) / 2 : value;
            if (!b.Has(at, bytes))
                return;
            cursor.Literal(b, at, value);
            at += (bytes + 1) & ~std::size_t{1};
        }
        }
    }
}

// The header fields that ReadDibInfo reads beside those it keeps.
struct DibHeader {
    std::uint32_t size = 0;
    std::int64_t width = 0, height = 0;
    std::uint32_t compression = 0, colorsUsed = 0;
    std::size_t entrySize = 4; // bytes of a colour-table entry
};

// The core header (12 bytes) or an info header (40 and more); false for any other.
bool ReadHeader(const Bytes& b, DibHeader& h, DibInfo& info) {
    if (!b.Has(0, 4))
        return false;
    h.size = b.U32(0);
    if (h.size == 12) {
        if (!b.Has(0, 12))
            return false;
        h.width = b.U16(4);
        h.height = b.U16(6);
        info.bitCount = static_cast<int>(b.U16(10));
        h.entrySize = 3;
        return true;
    }
    if (h.size < 40 || !b.Has(0, h.size))
        return false;
    h.width = static_cast<std::int32_t>(b.U32(4));
    h.height = static_cast<std::int32_t>(b.U32(8));
    info.bitCount = static_cast<int>(b.U16(14));
    h.compression = b.U32(16);
    h.colorsUsed = b.U32(32);
    return true;
}

// The compression and the channel masks; masks after a short header move the colour
// table (tableOffset) behind them. False for a compression of no use here.
bool ReadCompression(const Bytes& b, const DibHeader& h, DibInfo& info, std::size_t& tableOffset) {
    const int bpp = info.bitCount;
    switch (h.compression) {
    case 0:
        if (bpp == 16)
            info.redMask = 0x7C00, info.greenMask = 0x03E0, info.blueMask = 0x001F;
        else if (bpp == 32)
            info.redMask = 0xFF0000, info.greenMask = 0xFF00, info.blueMask = 0xFF,
            info.alphaMask = 0xFF000000u;
        return true;
    case 1:
    case 2:
        if (bpp != (h.compression == 1 ? 8 : 4))
            return false;
        info.compression =
            h.compression == 1 ? DibInfo::Compression::Rle8 : DibInfo::Compression::Rle4;
        return true;
    case 3:
    case 6: { // colour masks, the second form with an alpha mask
        if (bpp != 16 && bpp != 32)
            return false;
        info.compression = DibInfo::Compression::BitFields;
        const bool alpha = h.compression == 6;
        std::size_t at = 40;
        if (h.size < 52) {
            at = h.size;
            tableOffset += alpha ? 16 : 12;
        }
        if (!b.Has(at, alpha ? 16 : 12))
            return false;
        info.redMask = b.U32(at), info.greenMask = b.U32(at + 4), info.blueMask = b.U32(at + 8);
        if (alpha || h.size >= 56)
            info.alphaMask = b.U32(at + 12);
        return true;
    }
    default:
        return false; // embedded JPEG or PNG, or a compression of no use here
    }
}

// The colour table at tableOffset: its end, and the palette unless the entries are
// palette indices. False when the table must be whole and is not.
bool ReadColourTable(const Bytes& b, const DibHeader& h, std::size_t tableOffset, DibTable table,
                     bool paletteIndices, DibInfo& info) {
    const int bpp = info.bitCount;
    std::uint64_t entries = h.colorsUsed;
    if (bpp <= 8) {
        const std::uint64_t most = std::uint64_t{1} << bpp;
        entries = entries == 0 || entries > most ? most : entries;
    }
    if (!b.Has(tableOffset, 0))
        return false;
    const std::uint64_t room = (b.Size() - tableOffset) / h.entrySize;
    if (entries > room && table == DibTable::Full)
        return false;
    info.tableOffset = tableOffset;
    info.infoSize = tableOffset + static_cast<std::size_t>(std::min(entries, room) * h.entrySize);
    if (bpp <= 8 && !paletteIndices) {
        const std::size_t present = static_cast<std::size_t>(std::min(entries, room));
        info.palette.reserve(present);
        for (std::size_t i = 0; i < present; ++i) {
            const std::size_t at = tableOffset + i * h.entrySize;
            info.palette.push_back(b.U8(at + 2) << 16 | b.U8(at + 1) << 8 | b.U8(at));
        }
    }
    return true;
}

} // namespace

std::uint8_t ScaleChannel(std::uint32_t value, int bits) {
    if (bits <= 0)
        return 0;
    if (bits >= 8)
        return static_cast<std::uint8_t>(value >> (bits - 8));
    // Repeat the bits from the top until eight are filled: full scale stays full scale.
    std::uint32_t wide = 0;
    int filled = 0;
    while (filled < 8) {
        wide = wide << bits | value;
        filled += bits;
    }
    return static_cast<std::uint8_t>(wide >> (filled - 8));
}

std::size_t DibInfo::Stride() const {
    if (rowStride != 0)
        return rowStride;
    return static_cast<std::size_t>((static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4);
}

std::size_t DibInfo::BitsNeeded() const {
    if (compression == Compression::Rle8 || compression == Compression::Rle4)
        return 0;
    const std::size_t rowBytes =
        static_cast<std::size_t>((static_cast<std::uint64_t>(width) * bitCount + 7) / 8);
    return Stride() * static_cast<std::size_t>(height - 1) + rowBytes;
}

std::optional<DibInfo> ReadDibInfo(std::string_view bytes, DibTable table, bool paletteIndices) {
    const Bytes b(bytes);
    DibInfo info;
    DibHeader h;
    if (!ReadHeader(b, h, info))
        return std::nullopt;
    if (paletteIndices)
        h.entrySize = 2;
    const int bpp = info.bitCount;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return std::nullopt;
    std::size_t tableOffset = h.size;
    if (!ReadCompression(b, h, info, tableOffset))
        return std::nullopt;
    info.bottomUp = h.height > 0;
    const std::int64_t height = h.height < 0 ? -h.height : h.height;
    if (h.width <= 0 || height <= 0 || h.width * height > kMaxDibPixels)
        return std::nullopt;
    info.width = static_cast<int>(h.width);
    info.height = static_cast<int>(height);
    if (!ReadColourTable(b, h, tableOffset, table, paletteIndices, info))
        return std::nullopt;
    return info;
}

std::optional<DibPixels> DecodeDib(const DibInfo& info, std::string_view bits) {
    if (info.width <= 0 || info.height <= 0 ||
        static_cast<std::int64_t>(info.width) * info.height > kMaxDibPixels)
        return std::nullopt;
    if (bits.size() < info.BitsNeeded())
        return std::nullopt;
    const bool runs = info.compression == DibInfo::Compression::Rle8 ||
                      info.compression == DibInfo::Compression::Rle4;
    // Two bytes of runs set at most 255 pixels: a bitmap far larger than its runs could
    // fill is refused before its pixels are allocated.
    constexpr std::uint64_t kRunPixelsPerByte = 128, kRunSlack = 1 << 16;
    if (runs && static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) >
                    bits.size() * kRunPixelsPerByte + kRunSlack)
        return std::nullopt;
    DibPixels out;
    out.width = info.width;
    out.height = info.height;
    const std::size_t width = static_cast<std::size_t>(info.width);
    const std::size_t height = static_cast<std::size_t>(info.height);
    out.argb.assign(width * height, kOpaque);
    if (runs) {
        DecodeRle(info, bits, out);
        return out;
    }
    std::uint32_t lut[256];
    for (std::size_t i = 0; i < 256; ++i)
        lut[i] = i < info.palette.size() ? info.palette[i] | kOpaque : kOpaque;
    const Channel red(info.redMask), green(info.greenMask), blue(info.blueMask),
        alpha(info.alphaMask);
    const std::size_t stride = info.Stride();
    const Bytes b(bits);
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t row = (info.bottomUp ? height - 1 - y : y) * stride;
        std::uint32_t* d = out.argb.data() + y * width;
        switch (info.bitCount) {
        case 1:
            for (std::size_t x = 0; x < width; ++x)
                d[x] = lut[b.U8(row + x / 8) >> (7 - x % 8) & 1];
            break;
        case 4:
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint32_t byte = b.U8(row + x / 2);
                d[x] = lut[x % 2 == 0 ? byte >> 4 : byte & 0x0F];
            }
            break;
        case 8:
            for (std::size_t x = 0; x < width; ++x)
                d[x] = lut[b.U8(row + x)];
            break;
        case 24:
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t at = row + 3 * x;
                d[x] = kOpaque | b.U8(at + 2) << 16 | b.U8(at + 1) << 8 | b.U8(at);
            }
            break;
        default: { // 16 or 32 bits through the masks
            const bool wide = info.bitCount == 32;
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint32_t v = wide ? b.U32(row + 4 * x) : b.U16(row + 2 * x);
                const std::uint32_t a = info.alphaMask != 0 ? alpha.Of(v) : 255;
                d[x] = a << 24 | red.Of(v) << 16 | green.Of(v) << 8 | blue.Of(v);
            }
            break;
        }
        }
    }
    return out;
}

std::optional<DibPixels> ReadBitmapFile(std::string_view file) {
    const Bytes b(file);
    constexpr std::size_t kFileHeader = 14;
    if (!b.Has(0, kFileHeader + 4) || file[0] != 'B' || file[1] != 'M')
        return std::nullopt;
    const std::string_view rest = file.substr(kFileHeader);
    std::optional<DibInfo> info = ReadDibInfo(rest, DibTable::AsFarAsAny);
    if (!info)
        return std::nullopt;
    // The rows stand where the file header says; the colour table is what lies between
    // the header and them, so a short table leaves the rows where they are.
    const std::uint64_t offBits = b.U32(10);
    std::string_view bits;
    if (offBits >= kFileHeader + info->tableOffset && offBits <= file.size()) {
        info = ReadDibInfo(rest.substr(0, static_cast<std::size_t>(offBits) - kFileHeader),
                           DibTable::AsFarAsAny);
        if (!info)
            return std::nullopt;
        bits = file.substr(static_cast<std::size_t>(offBits));
    } else {
        bits = rest.substr(info->infoSize);
    }
    return DecodeDib(*info, bits);
}

} // namespace platform

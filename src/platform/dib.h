#pragma once

// The one reader of device-independent bitmaps: BMP files for the image control, the
// bitmaps inside metafiles and the packed frames of GIF pictures all turn into pixels
// here, by the rules the system's own bitmap code follows:
//  - headers of 12 bytes (OS/2 1.x: 16-bit sizes, colour entries of three bytes) and of
//    40 bytes or more (with or without colour masks in the header);
//  - 1, 4 and 8 bits through the colour table, indices past its end black;
//  - 16 bits as 5-5-5 unless masks say otherwise, 24 bits, 32 bits as 8-8-8 unless masks
//    say otherwise; a channel of fewer than 8 bits is widened by repeating its bits
//    from the top (5-bit 31 becomes 255), a channel of more than 8 keeps its top 8;
//  - run-length compressed 4- and 8-bit rows.
// Every size is checked against the bytes that hold it before anything is allocated.
//
// Threads: any; nothing is shared.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

// A bitmap's header and colour table, read and checked.
struct DibInfo {
    enum class Compression { None, Rle8, Rle4, BitFields };
    int width = 0;
    int height = 0; // rows, positive; bottomUp tells their order
    bool bottomUp = true;
    int bitCount = 0;
    Compression compression = Compression::None;
    // Channel masks of 16- and 32-bit rows; alpha 0 when the rows carry none.
    std::uint32_t redMask = 0, greenMask = 0, blueMask = 0, alphaMask = 0;
    // 0xRRGGBB per entry, as many as the table holds (up to 1 << bitCount).
    std::vector<std::uint32_t> palette;
    // Where the colour table starts (after header and masks), and where it ends.
    std::size_t tableOffset = 0;
    std::size_t infoSize = 0;

    // Bytes from one row to the next when not the usual rows padded to four bytes (a
    // bitmap of another program's layout); 0: padded to four.
    std::size_t rowStride = 0;

    // Bytes per row of uncompressed rows.
    std::size_t Stride() const;
    // Bytes the rows need: uncompressed, the whole of every row except the last one's
    // padding; compressed, 0 (the runs stop where the bytes end).
    std::size_t BitsNeeded() const;
};

// Pixels as 0xAARRGGBB, top row first. Alpha is the rows' own only where they carry it
// (32-bit rows without masks keep their fourth byte; masks with an alpha channel); 255
// elsewhere.
struct DibPixels {
    int width = 0, height = 0;
    std::vector<std::uint32_t> argb;
};

// Larger bitmaps are refused by every reader here: no picture of the system needs more
// than a 8192 x 8192 screen.
inline constexpr std::int64_t kMaxDibPixels = 8192ll * 8192ll;

enum class DibTable {
    Full,      // the table holds every entry the header counts, or the bitmap is refused
    AsFarAsAny // the table holds what the bytes have room for; missing entries read black
};

// Reads a header and its colour table from info (the table right after the header and
// any masks). nullopt when the header is unusable: a size, depth or compression this
// reader does not know, no pixels, more than kMaxDibPixels, or (DibTable::Full) a table
// shorter than the header counts. paletteIndices: the table holds 16-bit indices into a
// palette kept elsewhere (none of it reaches DibInfo::palette).
std::optional<DibInfo> ReadDibInfo(std::string_view info, DibTable table = DibTable::Full,
                                   bool paletteIndices = false);

// The rows decoded. nullopt when uncompressed rows are shorter than BitsNeeded(), or
// when compressed runs are far too few for the bitmap's size (under one byte for every
// 128 pixels, past the first 65536); runs that stop early leave the rest black.
std::optional<DibPixels> DecodeDib(const DibInfo& info, std::string_view bits);

// A BMP file: the file header, the bitmap's header, its colour table (as many entries as
// lie before the rows; missing ones read black) and its rows where the file header puts
// them. nullopt when the file is not a bitmap this reader can read.
std::optional<DibPixels> ReadBitmapFile(std::string_view file);

// A channel of the given width (0 to 32 bits) widened or narrowed to 8 bits by the rule
// above.
std::uint8_t ScaleChannel(std::uint32_t value, int bits);

} // namespace platform

#pragma once

// A GIF writer for tests, fuzz seeds and benchmarks: it emits exactly the blocks and the
// LZW code sequences a test asks for, so that every fixture is made by code in the
// repository. Codes are written at the width a decoder reads them (the width grows when
// the next free table entry reaches a power of two, up to 12 bits).

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvar::test {

struct GifColour {
    std::uint8_t r = 0, g = 0, b = 0;
};

class GifWriter {
public:
    // "GIF89a" and the logical screen descriptor. colourResolution is the descriptor's
    // field (colour bits - 1); a non-empty global table must hold a power of two (2..256).
    GifWriter(std::uint16_t width, std::uint16_t height,
              const std::vector<GifColour>& globalTable = {}, std::uint8_t backgroundIndex = 0,
              std::uint8_t colourResolution = 7, const std::string& signature = "GIF89a") {
        bytes_ = signature;
        Word(width);
        Word(height);
        std::uint8_t packed = std::uint8_t((colourResolution & 7) << 4);
        if (!globalTable.empty()) {
            packed |= 0x80 | TableBits(globalTable.size());
        }
        bytes_ += char(packed);
        bytes_ += char(backgroundIndex);
        bytes_ += char(0);
        Table(globalTable);
    }

    GifWriter& GraphicControl(int disposal, int delay, int transparent = -1) {
        bytes_ += "\x21\xF9\x04";
        bytes_ += char(((disposal & 7) << 2) | (transparent >= 0 ? 1 : 0));
        Word(std::uint16_t(delay));
        bytes_ += char(transparent >= 0 ? transparent : 0);
        bytes_ += char(0);
        return *this;
    }

    GifWriter& Comment(const std::string& text) {
        bytes_ += "\x21\xFE";
        SubBlocks(text, 255);
        return *this;
    }

    GifWriter& Application(const std::string& data = std::string("\x03\x01\x00\x00", 4)) {
        bytes_ += "\x21\xFF\x0B";
        bytes_ += "NETSCAPE2.0";
        SubBlocks(data, 255);
        return *this;
    }

    GifWriter& PlainText() {
        bytes_ += "\x21\x01\x0C";
        bytes_ += std::string(12, '\x01');
        SubBlocks("text", 255);
        return *this;
    }

    // The image descriptor and an optional local table.
    GifWriter& Descriptor(std::uint16_t left, std::uint16_t top, std::uint16_t width,
                          std::uint16_t height, bool interlaced = false,
                          const std::vector<GifColour>& localTable = {}) {
        bytes_ += ',';
        Word(left);
        Word(top);
        Word(width);
        Word(height);
        std::uint8_t packed = interlaced ? 0x40 : 0;
        if (!localTable.empty()) {
            packed |= 0x80 | TableBits(localTable.size());
        }
        bytes_ += char(packed);
        Table(localTable);
        return *this;
    }

    // The image data as chosen codes: the minimum code size byte, the codes packed least
    // significant bit first into sub-blocks of blockSize bytes, and a terminator unless
    // terminate is false.
    GifWriter& Codes(int minCodeSize, const std::vector<int>& codes, std::size_t blockSize = 255,
                     bool terminate = true) {
        bytes_ += char(minCodeSize);
        SubBlocks(PackCodes(minCodeSize, codes), blockSize, terminate);
        return *this;
    }

    // The image data for pixels, LZW-compressed. With clearWhenFull false the table is
    // left full and encoding goes on with 12-bit codes until the end.
    GifWriter& Pixels(int minCodeSize, const std::vector<std::uint8_t>& pixels,
                      bool clearWhenFull = true, std::size_t blockSize = 255) {
        return Codes(minCodeSize, Compress(minCodeSize, pixels, clearWhenFull), blockSize);
    }

    GifWriter& Raw(const std::string& bytes) {
        bytes_ += bytes;
        return *this;
    }

    GifWriter& Trailer() {
        bytes_ += ';';
        return *this;
    }

    const std::string& Bytes() const { return bytes_; }

    // The codes a plain LZW encoder gives for pixels.
    static std::vector<int> Compress(int minCodeSize, const std::vector<std::uint8_t>& pixels,
                                     bool clearWhenFull = true) {
        const int clear = 1 << minCodeSize;
        std::vector<int> codes{clear};
        // (string code, next pixel) -> code; 0 for none.
        const std::size_t symbols = std::size_t(std::min(clear, 256));
        std::vector<std::uint16_t> table(4096 * symbols, 0);
        int next = clear + 2;
        int current = -1;
        for (std::uint8_t p : pixels) {
            const int pixel = p & (clear - 1) & 0xFF;
            if (current < 0) {
                current = pixel;
                continue;
            }
            std::uint16_t& entry = table[std::size_t(current) * symbols + std::size_t(pixel)];
            if (entry != 0) {
                current = entry;
                continue;
            }
            codes.push_back(current);
            if (next < 4096) {
                entry = std::uint16_t(next++);
            } else if (clearWhenFull) {
                codes.push_back(clear);
                std::fill(table.begin(), table.end(), 0);
                next = clear + 2;
            }
            current = pixel;
        }
        if (current >= 0) {
            codes.push_back(current);
        }
        codes.push_back(clear + 1);
        return codes;
    }

    // Packs codes at the widths a decoder reads them.
    static std::string PackCodes(int minCodeSize, const std::vector<int>& codes) {
        const int clear = 1 << minCodeSize;
        int codeSize = minCodeSize + 1;
        int nextFree = clear + 2;
        bool havePrevious = false;
        std::string out;
        std::uint32_t buffer = 0;
        int bits = 0;
        for (int code : codes) {
            buffer |= std::uint32_t(code & ((1 << codeSize) - 1)) << bits;
            bits += codeSize;
            while (bits >= 8) {
                out += char(buffer & 0xFF);
                buffer >>= 8;
                bits -= 8;
            }
            if (code == clear) {
                codeSize = minCodeSize + 1;
                nextFree = clear + 2;
                havePrevious = false;
            } else if (code == clear + 1) {
                // The decoder stops; nothing changes.
            } else if (!havePrevious) {
                havePrevious = true;
            } else if (nextFree < 4096) {
                ++nextFree;
                if (nextFree == (1 << codeSize) && nextFree < 4096) {
                    ++codeSize;
                }
            }
        }
        if (bits > 0) {
            out += char(buffer & 0xFF);
        }
        return out;
    }

private:
    void Word(std::uint16_t v) {
        bytes_ += char(v & 0xFF);
        bytes_ += char(v >> 8);
    }
    static std::uint8_t TableBits(std::size_t entries) {
        std::uint8_t bits = 0;
        while ((std::size_t(2) << bits) < entries) {
            ++bits;
        }
        return bits;
    }
    void Table(const std::vector<GifColour>& table) {
        for (const auto& c : table) {
            bytes_ += char(c.r);
            bytes_ += char(c.g);
            bytes_ += char(c.b);
        }
    }
    void SubBlocks(const std::string& data, std::size_t blockSize, bool terminate = true) {
        for (std::size_t i = 0; i < data.size(); i += blockSize) {
            const std::size_t n = std::min(blockSize, data.size() - i);
            bytes_ += char(n);
            bytes_ += data.substr(i, n);
        }
        if (terminate) {
            bytes_ += char(0);
        }
    }

    std::string bytes_;
};

} // namespace tolvar::test

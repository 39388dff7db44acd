// The decoder against giflib (used only here and in the benchmark) over a generated
// corpus: every frame's index raster, in display order and before composition, must be
// the same.

#include "saver/gifimage.h"
#include "support/gifwriter.h"

#include <cstring>
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

using tolvar::test::GifColour;
using tolvar::test::GifWriter;

struct Memory {
    const std::string* bytes;
    std::size_t pos = 0;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* m = static_cast<Memory*>(gif->UserData);
    const std::size_t count = std::min(std::size_t(n), m->bytes->size() - m->pos);
    // Bytes of a picture, not a text.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(out, m->bytes->data() + m->pos, count);
    m->pos += count;
    return int(count);
}

std::vector<std::vector<std::uint8_t>> GiflibRasters(const std::string& bytes) {
    Memory memory{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&memory, ReadMemory, &error);
    EXPECT_NE(gif, nullptr) << GifErrorString(error);
    std::vector<std::vector<std::uint8_t>> rasters;
    if (gif == nullptr) {
        return rasters;
    }
    EXPECT_EQ(DGifSlurp(gif), GIF_OK) << GifErrorString(gif->Error);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        const std::size_t n =
            std::size_t(image.ImageDesc.Width) * std::size_t(image.ImageDesc.Height);
        rasters.emplace_back(image.RasterBits, image.RasterBits + n);
    }
    DGifCloseFile(gif, &error);
    return rasters;
}

std::vector<std::vector<std::uint8_t>> OurRasters(const std::string& bytes, bool* complete) {
    std::vector<std::vector<std::uint8_t>> rasters;
    GIFData data;
    data.SetRasterObserver([&](std::size_t, const GIFImage&, std::span<const std::uint8_t> r) {
        rasters.emplace_back(r.begin(), r.end());
    });
    std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    *complete = data.Load(f, "corpus.gif");
    std::fclose(f);
    return rasters;
}

// A random picture: smooth areas and noise, so strings of all lengths occur.
std::vector<std::uint8_t> Picture(std::mt19937& random, int w, int h, int colours) {
    std::vector<std::uint8_t> pixels(std::size_t(w) * std::size_t(h));
    const int mode = int(random() % 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int v = mode == 0   ? int(random() % unsigned(colours))
                    : mode == 1 ? (x / 7 + y / 5) % colours
                                : ((x * x + y * 3) / 11 + int(random() % 2)) % colours;
            pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] = std::uint8_t(v);
        }
    }
    return pixels;
}

TEST(GifCompare, AgreesWithGiflibOnAGeneratedCorpus) {
    std::mt19937 random(2024);
    for (int file = 0; file < 60; ++file) {
        const int bits = 1 + int(random() % 8);
        const int colours = 1 << bits;
        const auto w = std::uint16_t(1 + random() % 300);
        const auto h = std::uint16_t(1 + random() % 200);
        std::vector<GifColour> global(static_cast<std::size_t>(colours));
        for (auto& c : global) {
            c = {std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random())};
        }
        GifWriter writer(w, h, random() % 4 == 0 ? std::vector<GifColour>{} : global,
                         std::uint8_t(random() % std::size_t(colours)), std::uint8_t(bits - 1));
        const int frames = 1 + int(random() % 4);
        for (int i = 0; i < frames; ++i) {
            const auto fw = std::uint16_t(1 + random() % w);
            const auto fh = std::uint16_t(1 + random() % h);
            const auto left = std::uint16_t(random() % (w - fw + 1));
            const auto top = std::uint16_t(random() % (h - fh + 1));
            const int transparent = random() % 2 ? int(random() % unsigned(colours)) : -1;
            writer.GraphicControl(int(random() % 4), int(random() % 20), transparent);
            if (random() % 5 == 0) {
                writer.Comment("frame " + std::to_string(i));
            }
            std::vector<GifColour> local;
            if (random() % 3 == 0) {
                local = global;
            }
            writer.Descriptor(left, top, fw, fh, random() % 2 == 0, local);
            const int minCodeSize = std::max(2, bits);
            writer.Pixels(minCodeSize, Picture(random, fw, fh, colours), random() % 3 != 0,
                          std::size_t(1 + random() % 255));
        }
        writer.Trailer();

        bool complete = false;
        const auto ours = OurRasters(writer.Bytes(), &complete);
        const auto theirs = GiflibRasters(writer.Bytes());
        ASSERT_TRUE(complete) << "file " << file;
        ASSERT_EQ(ours.size(), theirs.size()) << "file " << file;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            ASSERT_EQ(ours[i], theirs[i]) << "file " << file << " frame " << i;
        }
    }
}

} // namespace

#include "saver/gifimage.h"
#include "support/gifwriter.h"
#include "support/guiapp.h"
#include "support/temphome.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

using tolvar::test::GifColour;
using tolvar::test::GifWriter;

const std::vector<GifColour> kFour = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};

// Decodes bytes from memory; the load result goes to *complete.
struct Decoded {
    std::unique_ptr<GIFData> data = std::make_unique<GIFData>();
    bool complete = false;
};

Decoded Decode(const std::string& bytes, GIFData::RasterObserver observer = {}) {
    Decoded d;
    d.data->SetRasterObserver(std::move(observer));
    std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    EXPECT_NE(f, nullptr);
    d.complete = d.data->Load(f, "memory.gif");
    std::fclose(f);
    return d;
}

// The frame's canvas as colour indices, one digit per pixel, rows separated by '|'.
std::string Indices(const GIFImage& frame) {
    std::string out;
    for (std::uint32_t y = 0; y < frame.CanvasHeight(); ++y) {
        if (y > 0) {
            out += '|';
        }
        for (std::uint32_t x = 0; x < frame.CanvasWidth(); ++x) {
            out += char('0' + frame.IndexAt(x, y));
        }
    }
    return out;
}

// Minimal code size 2: codes 0-3 are pixels, 4 clears, 5 ends.
std::vector<int> Literal(const std::vector<int>& pixels) {
    std::vector<int> codes{4};
    for (int p : pixels) {
        codes.push_back(p);
        codes.push_back(4); // a clear after each keeps the code width at 3 bits
    }
    codes.push_back(5);
    return codes;
}

std::string OneFrame(std::uint16_t w, std::uint16_t h, const std::vector<int>& pixels) {
    return GifWriter(w, h, kFour)
        .Descriptor(0, 0, w, h)
        .Codes(2, Literal(pixels))
        .Trailer()
        .Bytes();
}

TEST(GifDecoder, SignatureAndOpenFailures) {
    std::string good = OneFrame(2, 1, {1, 2});
    std::string anyVersion = good;
    anyVersion.replace(3, 3, "00z");
    EXPECT_TRUE(Decode(anyVersion).complete);

    std::string lower = good;
    lower.replace(0, 3, "gif");
    Decoded d = Decode(lower);
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(d.data->ErrorText(), "memory.gif is not a GIF file");

    GIFData missing;
    EXPECT_FALSE(missing.Load("/nonexistent/x.gif"));
    EXPECT_EQ(missing.ErrorText(), "Could not open /nonexistent/x.gif");

    struct Case {
        std::string bytes, error;
    } cases[] = {
        {"GIF89a\x01", "Unexpected end-of-file in SafeRead"},
        {GifWriter(1, 1).Raw("X").Bytes(), "Unknown instruction"},
        {GifWriter(1, 1).Raw("\x21\x55").Bytes(), "Unknown Extension"},
    };
    for (const auto& c : cases) {
        Decoded e = Decode(c.bytes);
        EXPECT_FALSE(e.complete);
        EXPECT_EQ(e.data->ErrorText(), c.error);
        EXPECT_EQ(e.data->FrameCount(), 0u);
    }
}

TEST(GifDecoder, SingleFrameWithoutGraphicControlIsKept) {
    Decoded d = Decode(OneFrame(3, 2, {0, 1, 2, 3, 2, 1}));
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    ASSERT_EQ(d.data->FrameCount(), 1u);
    const GIFImage& f = d.data->CurrentImage();
    EXPECT_EQ(f.Delay(), 0);
    EXPECT_EQ(f.DisposalMethod(), 0);
    EXPECT_EQ(f.TransparentIndex(), -1);
    EXPECT_EQ(Indices(f), "012|321");
    EXPECT_EQ(d.data->Width(), 3);
    EXPECT_EQ(d.data->Height(), 2);

    tolvar::test::EnsureGuiApp();
    QImage picture = platform::NewPicture(4, 2);
    platform::Canvas canvas(picture);
    EXPECT_TRUE(f.Draw(canvas, 1, 0));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(picture.pixel(1, 0), qRgb(0, 0, 0));
    EXPECT_EQ(picture.pixel(2, 0), qRgb(255, 0, 0));
    EXPECT_EQ(picture.pixel(1, 1), qRgb(0, 0, 255));
}

TEST(GifDecoder, ZeroDelayFramesAreDroppedAfterACompleteRead) {
    auto frames = [](const std::vector<int>& delays, bool trailer) {
        GifWriter w(1, 1, kFour);
        int pixel = 0;
        for (int delay : delays) {
            w.GraphicControl(0, delay).Descriptor(0, 0, 1, 1).Codes(2, Literal({pixel++ % 4}));
        }
        if (trailer) {
            w.Trailer();
        }
        return Decode(w.Bytes());
    };
    // Each frame draws its own number (mod 4): the kept frames, in order.
    struct Case {
        std::vector<int> delays;
        std::string kept;
    } cases[] = {
        {{0, 1, 0}, "1"}, {{0, 0, 0}, "2"},           {{3, 0, 5, 0}, "02"}, {{0, 0, 7}, "2"},
        {{4, 6}, "01"},   {{0, 2, 0, 0, 9, 0}, "10"}, {{0}, "0"},
    };
    for (const auto& c : cases) {
        Decoded d = frames(c.delays, true);
        ASSERT_TRUE(d.complete) << d.data->ErrorText();
        std::string kept;
        for (std::size_t i = 0; i < d.data->FrameCount(); ++i) {
            kept += Indices(d.data->Frame(i)).back();
        }
        EXPECT_EQ(kept, c.kept) << ::testing::PrintToString(c.delays);
    }
    Decoded a = frames({0, 1, 0}, true);
    EXPECT_EQ(a.data->CurrentImage().Delay(), 10);

    // Cut off after the frames: the read fails and no frame is dropped.
    Decoded c = frames({0, 0}, false);
    EXPECT_FALSE(c.complete);
    EXPECT_EQ(c.data->ErrorText(), "Unexpected end-of-file in SafeRead");
    EXPECT_EQ(c.data->FrameCount(), 2u);

    // The delay keeps its whole value past 16 bits.
    Decoded big = frames({65535}, true);
    EXPECT_EQ(big.data->CurrentImage().Delay(), 655350);
}

TEST(GifDecoder, ManySmallFramesKeepTheDelayRule) {
    // Tens of thousands of one-pixel frames (a file of a few hundred kilobytes): every
    // third has a delay and stays, the others go; all without a delay leave the last.
    const std::size_t count = 30000;
    for (bool someDelays : {true, false}) {
        GifWriter w(2, 1, kFour);
        for (std::size_t i = 0; i < count; ++i) {
            const int delay = someDelays && i % 3 == 0 ? 1 + int(i % 7) : 0;
            w.GraphicControl(0, delay).Descriptor(std::uint16_t(i % 2), 0, 1, 1);
            w.Codes(2, Literal({int(i % 4)}));
        }
        Decoded d = Decode(w.Trailer().Bytes());
        ASSERT_TRUE(d.complete) << d.data->ErrorText();
        if (someDelays) {
            ASSERT_EQ(d.data->FrameCount(), count / 3);
            EXPECT_EQ(d.data->Frame(1).Delay(), 10 * (1 + 3 % 7));
            EXPECT_EQ(d.data->Frame(count / 3 - 1).Delay(), 10 * (1 + (count - 3) % 7));
        } else {
            ASSERT_EQ(d.data->FrameCount(), 1u);
            EXPECT_EQ(Indices(d.data->CurrentImage()), "23"); // the last two frames
        }
    }
}

TEST(GifDecoder, TransparentFirstFrameShowsTheBackgroundColour) {
    std::string bytes = GifWriter(2, 1, kFour)
                            .GraphicControl(0, 0, 2)
                            .Descriptor(0, 0, 2, 1)
                            .Codes(2, Literal({2, 1}))
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    ASSERT_EQ(d.data->FrameCount(), 1u);
    const GIFImage& f = d.data->CurrentImage();
    EXPECT_EQ(f.TransparentIndex(), 2);
    // The transparent entry became the background colour (white), which is then also
    // the background index; the canvas started from it.
    EXPECT_EQ(f.BackgroundIndex(), 2);
    EXPECT_EQ(Indices(f), "21");
    EXPECT_EQ(f.ColourTable()[6], 255);
    EXPECT_EQ(f.ColourTable()[7], 255);
    EXPECT_EQ(f.ColourTable()[8], 255);
}

TEST(GifDecoder, DisposalMethodsCompose) {
    // 3 x 1 screen, background index 0 (black is not white, so the descriptor's index).
    auto make = [](int firstDisposal, bool secondHasControl) {
        GifWriter w(3, 1, kFour);
        w.GraphicControl(0, 10).Descriptor(0, 0, 3, 1).Codes(2, Literal({1, 1, 1}));
        w.GraphicControl(firstDisposal, 10).Descriptor(1, 0, 1, 1).Codes(2, Literal({2}));
        if (secondHasControl) {
            w.GraphicControl(0, 10);
        }
        w.Descriptor(2, 0, 1, 1).Codes(2, Literal({3}));
        if (secondHasControl) {
            w.Trailer();
        }
        return Decode(w.Bytes());
    };
    Decoded none = make(1, true);
    ASSERT_EQ(none.data->FrameCount(), 3u);
    EXPECT_EQ(Indices(none.data->Frame(1)), "121");
    EXPECT_EQ(Indices(none.data->Frame(2)), "123");

    // Disposal 2: the frame's own rectangle becomes the background index.
    Decoded background = make(2, true);
    EXPECT_EQ(Indices(background.data->Frame(2)), "103");

    // Disposal 3: start from the frame before it.
    Decoded previous = make(3, true);
    EXPECT_EQ(Indices(previous.data->Frame(2)), "113");

    // A frame without its own control after one with disposal 2 gets disposal 0 and
    // delay 0 (the file is cut off before its trailer, so nothing is dropped).
    Decoded plain = make(2, false);
    ASSERT_EQ(plain.data->FrameCount(), 3u);
    EXPECT_EQ(plain.data->Frame(1).DisposalMethod(), 2);
    EXPECT_EQ(plain.data->Frame(2).DisposalMethod(), 0);
    EXPECT_EQ(plain.data->Frame(2).Delay(), 0);

    // When every earlier frame is to be restored, the frame starts from the background.
    std::string allRestore = GifWriter(2, 1, kFour)
                                 .GraphicControl(3, 10)
                                 .Descriptor(0, 0, 2, 1)
                                 .Codes(2, Literal({1, 1}))
                                 .GraphicControl(0, 10)
                                 .Descriptor(1, 0, 1, 1)
                                 .Codes(2, Literal({2}))
                                 .Trailer()
                                 .Bytes();
    Decoded restore = Decode(allRestore);
    ASSERT_EQ(restore.data->FrameCount(), 2u);
    EXPECT_EQ(Indices(restore.data->Frame(1)), "02");
}

TEST(GifDecoder, TransparentPixelsKeepTheCanvas) {
    std::string bytes = GifWriter(3, 1, kFour)
                            .GraphicControl(0, 10)
                            .Descriptor(0, 0, 3, 1)
                            .Codes(2, Literal({1, 2, 1}))
                            .GraphicControl(0, 10, 3)
                            .Descriptor(0, 0, 3, 1)
                            .Codes(2, Literal({3, 0, 3}))
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    ASSERT_EQ(d.data->FrameCount(), 2u);
    EXPECT_EQ(Indices(d.data->Frame(1)), "101");
}

TEST(GifDecoder, KeptPixelsShowThroughTheNewFramesColourTable) {
    // The second frame brings its own table and covers only the middle column, its top
    // pixel transparent: the pixels it takes over keep their indices and take the new
    // table's colours.
    tolvar::test::EnsureGuiApp();
    const std::vector<GifColour> other = {{10, 10, 10}, {20, 20, 20}, {30, 30, 30}, {40, 40, 40}};
    std::string bytes = GifWriter(3, 2, kFour)
                            .GraphicControl(1, 10)
                            .Descriptor(0, 0, 3, 2)
                            .Codes(2, Literal({1, 2, 3, 3, 2, 1}))
                            .GraphicControl(0, 10, 0)
                            .Descriptor(1, 0, 1, 2, false, other)
                            .Codes(2, Literal({0, 3}))
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    ASSERT_EQ(d.data->FrameCount(), 2u);
    EXPECT_EQ(Indices(d.data->Frame(1)), "123|331");

    QImage first = platform::NewPicture(3, 2);
    QImage second = platform::NewPicture(3, 2);
    {
        platform::Canvas a(first), b(second);
        ASSERT_TRUE(d.data->Frame(0).Draw(a, 0, 0));
        ASSERT_TRUE(d.data->Frame(1).Draw(b, 0, 0));
    }
    const QRgb firstRows[2][3] = {{qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255)},
                                  {qRgb(0, 0, 255), qRgb(0, 255, 0), qRgb(255, 0, 0)}};
    const QRgb secondRows[2][3] = {{qRgb(20, 20, 20), qRgb(30, 30, 30), qRgb(40, 40, 40)},
                                   {qRgb(40, 40, 40), qRgb(40, 40, 40), qRgb(20, 20, 20)}};
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(first.pixel(x, y), firstRows[y][x]) << x << "," << y;
            EXPECT_EQ(second.pixel(x, y), secondRows[y][x]) << x << "," << y;
        }
    }
}

TEST(GifDecoder, InterlacedRowsGoToTheirPasses) {
    std::vector<std::uint8_t> rows;
    for (std::uint8_t i = 0; i < 9; ++i) {
        rows.push_back(i);
    }
    std::vector<GifColour> table(16);
    std::string bytes =
        GifWriter(1, 9, table).Descriptor(0, 0, 1, 9, true).Pixels(4, rows).Trailer().Bytes();
    std::vector<std::uint8_t> raster;
    Decoded d = Decode(bytes, [&](std::size_t, const GIFImage&, std::span<const std::uint8_t> r) {
        raster.assign(r.begin(), r.end());
    });
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    // Stored rows 0..8 go to rows 0, 8, 4, 2, 6, 1, 3, 5, 7.
    EXPECT_EQ(Indices(d.data->CurrentImage()), "0|5|3|6|2|7|4|8|1");
    EXPECT_EQ(raster, (std::vector<std::uint8_t>{0, 5, 3, 6, 2, 7, 4, 8, 1}));
}

TEST(GifDecoder, PacksOneBitRowsWithZeroPadding) {
    std::vector<GifColour> two = {{0, 0, 0}, {255, 255, 255}};
    std::string bytes =
        GifWriter(3, 1, two, 0, 0).Descriptor(0, 0, 3, 1).Pixels(2, {1, 1, 1}).Trailer().Bytes();
    Decoded d = Decode(bytes);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    const GIFImage& f = d.data->CurrentImage();
    EXPECT_EQ(f.PixelDepth(), 1);
    EXPECT_EQ(f.RowStride(), 4);
    EXPECT_EQ(f.Bits()[0], 0xE0);

    // 4 bits for colour bits 2 to 4; rows bottom first.
    std::string four = GifWriter(3, 2, kFour, 0, 1)
                           .Descriptor(0, 0, 3, 2)
                           .Pixels(2, {1, 2, 3, 3, 2, 1})
                           .Trailer()
                           .Bytes();
    Decoded e = Decode(four);
    ASSERT_TRUE(e.complete);
    EXPECT_EQ(e.data->CurrentImage().PixelDepth(), 4);
    EXPECT_EQ(e.data->CurrentImage().Bits()[0], 0x32);
    EXPECT_EQ(e.data->CurrentImage().Bits()[1], 0x10);
    EXPECT_EQ(e.data->CurrentImage().Bits()[4], 0x12);
    EXPECT_EQ(e.data->CurrentImage().Bits()[5], 0x30);
}

TEST(GifDecoder, FullTableGoesOnWithTwelveBitCodes) {
    // Noise fills the table quickly; the encoder then goes on without a clear code.
    std::mt19937 random(7);
    std::vector<std::uint8_t> pixels(std::size_t{200} * 200);
    for (auto& p : pixels) {
        p = std::uint8_t(random() & 15);
    }
    std::vector<GifColour> table(16);
    std::vector<int> codes = GifWriter::Compress(4, pixels, false);
    ASSERT_GT(codes.size(), 4096u);
    std::string bytes =
        GifWriter(200, 200, table).Descriptor(0, 0, 200, 200).Codes(4, codes).Trailer().Bytes();
    Decoded d = Decode(bytes);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    const GIFImage& f = d.data->CurrentImage();
    for (std::uint32_t i = 0; i < pixels.size(); ++i) {
        ASSERT_EQ(f.IndexAt(i % 200, i / 200), pixels[i]) << i;
    }
}

TEST(GifDecoder, SubBlocksAfterTheLastPixelAreSkipped) {
    // The last pixel's block is followed by one holding only the end code and by an
    // empty-looking data block, then the terminator.
    std::string bytes = GifWriter(2, 1, kFour)
                            .Descriptor(0, 0, 2, 1)
                            .Raw(std::string("\x02", 1))
                            .Raw(std::string("\x02", 1))
                            .Raw(GifWriter::PackCodes(2, {4, 1, 2}).substr(0, 2))
                            .Raw(std::string("\x01\x05\x02\xAA\xBB\x00", 6))
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    EXPECT_TRUE(d.complete) << d.data->ErrorText();
    ASSERT_EQ(d.data->FrameCount(), 1u);
    EXPECT_EQ(Indices(d.data->CurrentImage()), "12");
}

TEST(GifDecoder, ExtensionsBetweenImagesChangeNothing) {
    auto make = [](bool extras) {
        GifWriter w(2, 1, kFour);
        if (extras) {
            w.Application().Comment("hello").PlainText();
        }
        w.GraphicControl(0, 10).Descriptor(0, 0, 2, 1).Codes(2, Literal({1, 2}));
        if (extras) {
            w.Comment(std::string(300, 'c')).Application();
        }
        w.GraphicControl(0, 10).Descriptor(1, 0, 1, 1).Codes(2, Literal({3})).Trailer();
        return Decode(w.Bytes());
    };
    Decoded plain = make(false);
    Decoded extras = make(true);
    ASSERT_TRUE(extras.complete) << extras.data->ErrorText();
    ASSERT_EQ(extras.data->FrameCount(), plain.data->FrameCount());
    for (std::size_t i = 0; i < plain.data->FrameCount(); ++i) {
        EXPECT_EQ(Indices(extras.data->Frame(i)), Indices(plain.data->Frame(i)));
    }
}

TEST(GifDecoder, CorruptCodeStreamsAreRefused) {
    struct Case {
        const char* what;
        int minCodeSize;
        std::vector<int> codes;
        std::uint16_t pixels;
    } cases[] = {
        // A code after the clear that names the next free entry, which has no string.
        {"self reference", 2, {4, 6}, 2},
        {"code past the next free one", 2, {4, 1, 7}, 4},
        {"end before the last pixel", 2, {4, 1, 5}, 2},
        {"minimum code size the table cannot hold", 12, {0}, 1},
        {"minimum code size far past the table", 200, {0}, 1},
    };
    for (const auto& c : cases) {
        std::string bytes = GifWriter(c.pixels, 1, kFour)
                                .Descriptor(0, 0, c.pixels, 1)
                                .Raw(std::string(1, char(c.minCodeSize)))
                                .Raw(std::string("\x02", 1))
                                .Raw(GifWriter::PackCodes(std::min(c.minCodeSize, 11), c.codes)
                                         .append(2, '\0')
                                         .substr(0, 2))
                                .Raw(std::string(1, '\0'))
                                .Trailer()
                                .Bytes();
        Decoded d = Decode(bytes);
        EXPECT_FALSE(d.complete) << c.what;
        EXPECT_EQ(d.data->ErrorText(), "Corrupt GIF image") << c.what;
        EXPECT_EQ(d.data->FrameCount(), 0u) << c.what;
    }
}

TEST(GifDecoder, LongStringsStayInsideTheStack) {
    // One colour run that grows the longest strings the table allows.
    // Strings of every length up to the table's size: 4096 x 2048 pixels of one colour.
    std::vector<std::uint8_t> pixels(std::size_t{4096} * 2048, 1);
    std::vector<GifColour> two = {{0, 0, 0}, {255, 255, 255}};
    std::string bytes = GifWriter(4096, std::uint16_t(pixels.size() / 4096), two, 0, 0)
                            .Descriptor(0, 0, 4096, std::uint16_t(pixels.size() / 4096))
                            .Pixels(2, pixels, false)
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    EXPECT_EQ(d.data->CurrentImage().IndexAt(4095, 1), 1);
}

TEST(GifDecoder, ColourTablesAndIndicesPastThem) {
    tolvar::test::EnsureGuiApp();
    // Colour bits 1 but a 16-entry local table: the frame grows to hold it.
    std::vector<GifColour> sixteen(16);
    sixteen[9] = {10, 20, 30};
    std::string local = GifWriter(2, 1, {}, 0, 0)
                            .Descriptor(0, 0, 2, 1, false, sixteen)
                            .Pixels(4, {9, 0})
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(local);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    const GIFImage& f = d.data->CurrentImage();
    EXPECT_EQ(f.ColourBits(), 4);
    EXPECT_EQ(f.PixelDepth(), 4);
    EXPECT_EQ(f.ColourCount(), 16);
    QImage picture = platform::NewPicture(2, 1);
    platform::Canvas canvas(picture);
    ASSERT_TRUE(f.Draw(canvas, 0, 0));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(10, 20, 30));

    // An index past a two-entry table reads black; so does every pixel without a table.
    std::vector<GifColour> two = {{255, 0, 0}, {0, 255, 0}};
    for (const auto& table : {two, std::vector<GifColour>{}}) {
        std::string bytes =
            GifWriter(2, 1, table, 0, 7).Descriptor(0, 0, 2, 1).Pixels(2, {3, 1}).Trailer().Bytes();
        Decoded e = Decode(bytes);
        ASSERT_TRUE(e.complete) << e.data->ErrorText();
        QImage p = platform::NewPicture(2, 1);
        platform::Canvas c(p);
        ASSERT_TRUE(e.data->CurrentImage().Draw(c, 0, 0));
        EXPECT_EQ(p.pixel(0, 0), qRgb(0, 0, 0));
        EXPECT_EQ(p.pixel(1, 0), table.empty() ? qRgb(0, 0, 0) : qRgb(0, 255, 0));
    }
}

TEST(GifDecoder, FramesBeyondTheScreenAreClipped) {
    std::vector<std::uint8_t> pixels(16, 3);
    pixels[0] = 1;
    std::string bytes = GifWriter(4, 4, kFour)
                            .Descriptor(2, 2, 4, 4)
                            .Pixels(2, pixels)
                            .Descriptor(60000, 60000, 4, 4)
                            .Pixels(2, pixels)
                            .Trailer()
                            .Bytes();
    Decoded d = Decode(bytes);
    ASSERT_TRUE(d.complete) << d.data->ErrorText();
    ASSERT_EQ(d.data->FrameCount(), 1u); // both delay 0: the last stays
    EXPECT_EQ(Indices(d.data->CurrentImage()), "0000|0000|0013|0033");
}

TEST(GifDecoder, SizeLimitsFailBeforeAllocating) {
    // A screen wider than 8192.
    std::string wide =
        GifWriter(8193, 1, kFour).Descriptor(0, 0, 1, 1).Pixels(2, {1}).Trailer().Bytes();
    Decoded a = Decode(wide);
    EXPECT_FALSE(a.complete);
    EXPECT_EQ(a.data->ErrorText(), "Memory allocation error");

    // A frame of more than 8192 x 8192 pixels.
    std::string huge =
        GifWriter(10, 10, kFour).Descriptor(0, 0, 65535, 65535).Pixels(2, {1}).Trailer().Bytes();
    Decoded b = Decode(huge);
    EXPECT_FALSE(b.complete);
    EXPECT_EQ(b.data->ErrorText(), "Memory Allocation Error in ReadBits");

    // 8192 x 8192 at 8 bits is 64 MB a frame: the fifth passes 256 MB and fails, the
    // four before stay.
    std::vector<GifColour> table(256);
    GifWriter w(8192, 8192, table);
    for (int i = 0; i < 5; ++i) {
        w.GraphicControl(1, 10)
            .Descriptor(std::uint16_t(i), 0, 1, 1)
            .Pixels(8, {std::uint8_t(i + 1)});
    }
    Decoded c = Decode(w.Trailer().Bytes());
    EXPECT_FALSE(c.complete);
    EXPECT_EQ(c.data->ErrorText(), "Memory allocation error");
    ASSERT_EQ(c.data->FrameCount(), 4u);
    EXPECT_EQ(c.data->Frame(3).IndexAt(3, 0), 4);
    EXPECT_EQ(c.data->Frame(3).IndexAt(0, 0), 1);
}

TEST(GifDecoder, TinyFramesCannotCostMoreMemoryThanTheBound) {
    // A frame of one pixel takes some twenty bytes of file but keeps a 768-byte colour
    // table: a hundred thousand of them pass the 64 MB bound of the frames' tables and
    // bookkeeping; the frames before the bound stay.
    const std::size_t count = 100000;
    std::vector<GifColour> table(256);
    GifWriter w(1, 1, table);
    for (std::size_t i = 0; i < count; ++i) {
        w.GraphicControl(0, 1).Descriptor(0, 0, 1, 1).Codes(8, {256, int(i % 256), 257});
    }
    Decoded d = Decode(w.Trailer().Bytes());
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(d.data->ErrorText(), "Memory allocation error");
    EXPECT_GT(d.data->FrameCount(), count / 2);
    EXPECT_LT(d.data->FrameCount(), count);
    EXPECT_EQ(d.data->Frame(300).IndexAt(0, 0), 300 % 256);
}

TEST(GifDecoder, LoadsFromAFile) {
    tolvar::test::TempFolder folder;
    const std::string path = folder.Path() + "/a.gif";
    tolvar::test::WriteFile(path, OneFrame(2, 2, {1, 2, 3, 0}));
    GIFData data;
    ASSERT_TRUE(data.Load(path)) << data.ErrorText();
    EXPECT_EQ(Indices(data.CurrentImage()), "12|30");
    EXPECT_TRUE(data.ErrorText().empty());
}

} // namespace

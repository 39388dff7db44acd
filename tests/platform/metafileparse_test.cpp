#include "platform/fileio.h"
#include "platform/metafileparse.h"
#include "support/metafiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using platform::Metafile;
using platform::MetafileCanvas;
using platform::MetafilePoint;
using platform::MetafileRect;
using platform::MetafileState;
using tolvar::test::MetafileFixture;

std::string Bytes(const std::string& name) {
    return platform::ReadFile(MetafileFixture(name)).value();
}

std::string Num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string Color(const platform::MetafileColor& c) {
    return Num(c.r) + "/" + Num(c.g) + "/" + Num(c.b);
}

std::string Box(const MetafileRect& r) {
    return Num(r.left) + "," + Num(r.top) + "," + Num(r.right) + "," + Num(r.bottom);
}

// Writes each call as one line of text, the points and the state parts that tell the
// records apart.
class RecordingCanvas : public MetafileCanvas {
public:
    std::vector<std::string> calls;

    void Polyline(const MetafileState& s, const std::vector<MetafilePoint>& points) override {
        calls.push_back("line " + Points(points) + Pen(s) + Clip(s));
    }
    void PolyPolygon(const MetafileState& s,
                     const std::vector<std::vector<MetafilePoint>>& polygons) override {
        std::string text = "polygons";
        for (const auto& p : polygons)
            text += " [" + Points(p) + "]";
        calls.push_back(text + (s.winding ? " winding" : " alternate") + Fill(s) + Clip(s));
    }
    void Rectangle(const MetafileState& s, const MetafileRect& r) override {
        calls.push_back("rect " + Box(r) + Pen(s) + Fill(s) + Clip(s));
    }
    void RoundRect(const MetafileState& s, const MetafileRect& r, double w, double h) override {
        calls.push_back("roundrect " + Box(r) + " corner " + Num(w) + "x" + Num(h) + Fill(s));
    }
    void Ellipse(const MetafileState& s, const MetafileRect& r) override {
        calls.push_back("ellipse " + Box(r) + Fill(s));
    }
    void Arc(const MetafileState&, ArcKind kind, const MetafileRect& r, MetafilePoint a,
             MetafilePoint b) override {
        const char* name = kind == ArcKind::Arc ? "arc " : kind == ArcKind::Pie ? "pie " : "chord ";
        calls.push_back(name + Box(r) + " from " + Points({a, b}));
    }
    double Text(const MetafileState& s, MetafilePoint p, const std::string& utf8,
                const TextOptions& options) override {
        std::string text = "text '" + utf8 + "' at " + Points({p}) + " font " + s.font.face + " " +
                           Num(s.font.height) + " align " + Num(s.textAlign) + " color " +
                           Color(s.textColor);
        if (options.opaque)
            text += " opaque " + Box(*options.opaque) + " in " + Color(s.backgroundColor);
        if (!options.advances.empty()) {
            text += " dx";
            for (double a : options.advances) {
                text += ' ';
                text += Num(a);
            }
        }
        calls.push_back(text);
        return 10; // every text advances ten pixels
    }
    void FillRect(const MetafileState& s, const MetafileRect& r) override {
        calls.push_back("fill " + Box(r) + Fill(s));
    }
    void StretchBitmap(const MetafileState& s, const MetafileRect& r,
                       const platform::MetafileDib& dib, int sx, int sy, int sw, int sh) override {
        calls.push_back("bitmap " + Box(r) + Source(dib, sx, sy, sw, sh) + Clip(s));
    }
    void AlphaBitmap(const MetafileState&, const MetafileRect& r, const platform::MetafileDib& dib,
                     int sx, int sy, int sw, int sh, std::uint8_t alpha, bool own) override {
        calls.push_back("alpha " + Box(r) + Source(dib, sx, sy, sw, sh) + " alpha " + Num(alpha) +
                        (own ? " with its own" : ""));
    }
    void MaskBitmap(const MetafileState&, const MetafileRect& r, const platform::MetafileDib* dib,
                    int sx, int sy, int sw, int sh, const platform::MetafileDib* mask, int mx,
                    int my, std::uint8_t fore, std::uint8_t back) override {
        calls.push_back("mask " + Box(r) + (dib ? Source(*dib, sx, sy, sw, sh) : " no source") +
                        (mask ? " mask " + Num(mask->Width()) + "x" + Num(mask->Height()) + " at " +
                                    Num(mx) + "," + Num(my)
                              : " no mask") +
                        " rop " + Num(fore) + "/" + Num(back));
    }
    void GradientRect(const MetafileState&, const MetafileRect& r, platform::MetafileColor from,
                      platform::MetafileColor to, bool vertical) override {
        calls.push_back(std::string(vertical ? "vgradient " : "hgradient ") + Box(r) + " " +
                        Color(from) + " to " + Color(to));
    }
    void GradientTriangle(const MetafileState&, const platform::MetafileVertex& a,
                          const platform::MetafileVertex& b,
                          const platform::MetafileVertex& c) override {
        calls.push_back("triangle " + Points({a.point, b.point, c.point}) + " " + Color(a.color) +
                        " " + Color(b.color) + " " + Color(c.color));
    }

    static std::string Source(const platform::MetafileDib& dib, int sx, int sy, int sw, int sh) {
        return " from " + Num(sx) + "," + Num(sy) + " " + Num(sw) + "x" + Num(sh) + " of " +
               Num(dib.Width()) + "x" + Num(dib.Height()) + " bits " + Num(dib.BitCount()) +
               " colours " + Num(double(dib.Info().palette.size())) +
               (dib.BottomUp() ? " bottom-up" : " top-down");
    }
    // The clip as its steps from the first, when there is one.
    static std::string Clip(const MetafileState& s) {
        std::string text;
        for (const platform::MetafileClip* c = s.clip.get(); c != nullptr; c = c->base.get()) {
            std::string step = " " + Num(static_cast<int>(c->op));
            for (const auto& p : c->polygons)
                step += " [" + Points(p) + "]";
            text = step + text;
        }
        return text.empty() ? "" : " clip" + text;
    }

    static std::string Points(const std::vector<MetafilePoint>& points) {
        std::string text;
        for (const auto& p : points) {
            if (!text.empty())
                text += ' ';
            text += Num(p.x);
            text += ',';
            text += Num(p.y);
        }
        return text;
    }
    static std::string Pen(const MetafileState& s) {
        if (s.pen.style == platform::MetafilePen::Style::Null)
            return " pen none";
        return " pen " + Color(s.pen.color) + " w" + Num(s.pen.width);
    }
    static std::string Fill(const MetafileState& s) {
        if (s.brush.style == platform::MetafileBrush::Style::Null)
            return " brush none";
        return std::string(s.brush.style == platform::MetafileBrush::Style::Hatched ? " hatch "
                                                                                    : " brush ") +
               Color(s.brush.color);
    }
};

std::vector<std::string> Play(const std::string& bytes, MetafileRect target = {0, 0, 240, 96}) {
    auto mf = Metafile::Read(bytes);
    EXPECT_TRUE(mf.has_value());
    RecordingCanvas canvas;
    if (mf)
        mf->Play(canvas, target);
    return canvas.calls;
}

// ---- sizes ----

struct SizeCase {
    const char* file;
    bool enhanced;
    int width, height;
};

class MetafileSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MetafileSize, FollowsTheHeader) {
    const SizeCase& c = GetParam();
    auto mf = Metafile::Load(MetafileFixture(c.file));
    ASSERT_TRUE(mf.has_value()) << c.file;
    EXPECT_EQ(mf->IsEnhanced(), c.enhanced);
    EXPECT_EQ(mf->Width(), c.width);
    EXPECT_EQ(mf->Height(), c.height);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MetafileSize,
    ::testing::Values(
        // EMF: the frame in hundredths of a millimetre, at 96 dots per inch.
        SizeCase{"shapes.emf", true, 240, 96}, SizeCase{"size_frame.emf", true, 96, 48},
        SizeCase{"size_offset.emf", true, 96, 96},
        // Placeable WMF: the bounds in units of which the header gives one inch.
        SizeCase{"shapes.wmf", false, 240, 96}, SizeCase{"size_twips.wmf", false, 192, 96},
        // WMF without the placeable header: its window extent, else nothing.
        SizeCase{"shapes_plain.wmf", false, 240, 96}, SizeCase{"size_plain.wmf", false, 60, 40},
        SizeCase{"size_none.wmf", false, 0, 0}));

TEST(MetafileLoad, RefusesWhatIsNotAMetafile) {
    tolvar::test::TempFolder dir;
    EXPECT_FALSE(Metafile::Load(dir.Path() + "/missing.wmf"));
    EXPECT_FALSE(Metafile::Load(dir.Path())); // a folder
    tolvar::test::WriteFile(dir.Path() + "/empty.emf", "");
    EXPECT_FALSE(Metafile::Load(dir.Path() + "/empty.emf"));
    tolvar::test::WriteFile(dir.Path() + "/text.wmf", "GIF89a not a metafile at all");
    EXPECT_FALSE(Metafile::Load(dir.Path() + "/text.wmf"));
}

// ---- damaged files ----

const char* const kFamilies[] = {"lines", "shapes", "polygons", "arcs",
                                 "text",  "bitmap", "mapping",  "objects"};

TEST(MetafileDamage, EveryTruncationDrawsTheRecordsBeforeTheCut) {
    // A file cut anywhere after its header is read, and plays the whole file's records
    // up to the one the cut runs through; only a cut header is refused.
    for (const char* family : kFamilies) {
        for (const char* ext : {".wmf", ".emf", "_plain.wmf"}) {
            const std::string name = std::string(family) + ext;
            const std::string whole = Bytes(name);
            const std::size_t header = std::string(ext) == ".emf"   ? 88
                                       : std::string(ext) == ".wmf" ? 22 + 18
                                                                    : 18;
            const std::vector<std::string> all = Play(whole);
            for (std::size_t n = 0; n < whole.size(); ++n) {
                auto mf = Metafile::Read(whole.substr(0, n));
                ASSERT_EQ(mf.has_value(), n >= header) << name << " at " << n;
                if (!mf)
                    continue;
                RecordingCanvas canvas;
                mf->Play(canvas, {0, 0, 240, 96});
                ASSERT_LE(canvas.calls.size(), all.size()) << name << " at " << n;
                for (std::size_t i = 0; i < canvas.calls.size(); ++i)
                    EXPECT_EQ(canvas.calls[i], all[i]) << name << " at " << n;
            }
        }
    }
}

TEST(MetafileDamage, OverwrittenBytesNeverReadOutsideTheFile) {
    // Under the sanitizers: any byte set to 0xFF, 0x80 or 0x00 may make the file
    // unreadable, but reading and playing never overruns or hangs.
    for (const char* family : kFamilies) {
        for (const char* ext : {".wmf", ".emf", "_plain.wmf"}) {
            const std::string whole = Bytes(std::string(family) + ext);
            for (std::size_t i = 0; i < whole.size(); ++i) {
                for (char value : {'\xFF', '\x80', '\x00'}) {
                    std::string bytes = whole;
                    bytes[i] = value;
                    if (auto mf = Metafile::Read(bytes)) {
                        RecordingCanvas canvas;
                        mf->Play(canvas, {0, 0, 240, 96});
                    }
                }
            }
        }
    }
}

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string Le32(std::uint32_t v) {
    std::string s(4, '\0');
    Put32(s, 0, v);
    return s;
}

std::string Le16(std::uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

// An EMF of 240 x 96 pixels holding the given records (each already with its type and
// size), followed by the end record.
std::string Emf(const std::string& records) {
    std::string header(88, '\0');
    Put32(header, 0, 1);
    Put32(header, 4, 88);
    Put32(header, 32, 6350);
    Put32(header, 36, 2540);
    Put32(header, 40, 0x464D4520);
    Put32(header, 44, 0x10000);
    header[56] = 4; // handles
    Put32(header, 72, 960);
    Put32(header, 76, 960);
    Put32(header, 80, 254);
    Put32(header, 84, 254);
    std::string eof = Le32(14) + Le32(20) + Le32(0) + Le32(16) + Le32(20);
    std::string all = header + records + eof;
    Put32(all, 48, static_cast<std::uint32_t>(all.size()));
    return all;
}

std::string EmfRecord(std::uint32_t type, const std::string& payload) {
    return Le32(type) + Le32(static_cast<std::uint32_t>(8 + payload.size())) + payload;
}

// A WMF without the placeable header holding the given records.
std::string Wmf(const std::string& records, std::uint16_t objects = 4) {
    std::string body = Le32(5) + Le16(0x020C) + Le16(96) + Le16(240) + records + Le32(3) + Le16(0);
    return Le16(1) + Le16(9) + Le16(0x300) +
           Le32(static_cast<std::uint32_t>((18 + body.size()) / 2)) + Le16(objects) + Le32(16) +
           Le16(0) + body;
}

std::string WmfRecord(std::uint16_t function, const std::string& params) {
    return Le32(static_cast<std::uint32_t>(3 + params.size() / 2)) + Le16(function) + params;
}

TEST(MetafileDamage, HeadersThatCannotBeReadAreRefused) {
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"reference device of no millimetres",
         [] {
             std::string s = Emf("");
             Put32(s, 80, 0);
             return s;
         }()},
        {"frame larger than any bitmap",
         [] {
             std::string s = Emf("");
             Put32(s, 32, 0x7FFFFFFF);
             Put32(s, 36, 0x7FFFFFFF);
             return s;
         }()},
        {"EMF header larger than the file",
         [] {
             std::string s = Emf("");
             Put32(s, 4, static_cast<std::uint32_t>(s.size() + 4));
             return s;
         }()},
        {"WMF of an unknown version",
         [] {
             std::string s = Wmf("");
             s[2] = 5;
             return s;
         }()},
        {"placeable WMF of zero units per inch",
         [] {
             std::string head = Le32(0x9AC6CDD7) + Le16(0) + Le16(0) + Le16(0) + Le16(100) +
                                Le16(100) + Le16(0) + Le32(0) + Le16(0);
             return head + Wmf("");
         }()},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(Metafile::Read(c.bytes)) << c.what;
}

TEST(MetafileDamage, RecordsDamagedInsideAreSkipped) {
    // Each broken record is followed by a line: the record draws nothing, the line is
    // drawn.
    const std::string bounds(16, '\0');
    const std::string emfLine = EmfRecord(54, Le32(20) + Le32(10));
    const std::string wmfLine = WmfRecord(0x0213, Le16(10) + Le16(20));
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"polygon of 2^32-1 points",
         Emf(EmfRecord(3, bounds + Le32(0xFFFFFFFF) + Le32(0) + Le32(0)) + emfLine)},
        {"polygon of one point more than it holds",
         Emf(EmfRecord(86, bounds + Le32(3) + Le32(0) + Le32(0)) + emfLine)},
        {"poly-polygon counts past the total",
         Emf(EmfRecord(91, bounds + Le32(1) + Le32(1) + Le32(2) + Le32(0) + Le32(0)) + emfLine)},
        {"poly-polygon of 2^30 polygons",
         Emf(EmfRecord(91, bounds + Le32(1u << 30) + Le32(0)) + emfLine)},
        {"bezier of 2^31 points", Emf(EmfRecord(85, bounds + Le32(1u << 31) + Le32(0)) + emfLine)},
        {"text whose string lies past the record",
         Emf(EmfRecord(84, std::string(28, '\0') + Le32(0) + Le32(0) + Le32(4) + Le32(1000) +
                               std::string(24, '\0')) +
             emfLine)},
        {"bitmap whose rows lie past the record",
         Emf(EmfRecord(81, std::string(40, '\0') + Le32(80) + Le32(40) + Le32(120) +
                               Le32(0x7FFFFFF0) + std::string(16, '\0') + Le32(40) + Le32(2) +
                               Le32(2) + Le16(1) + Le16(24) + std::string(24, '\0')) +
             emfLine)},
        {"clip region of more rectangles than it holds",
         Emf(EmfRecord(75, Le32(48) + Le32(5) + Le32(32) + Le32(1) + Le32(9) + Le32(144) +
                               std::string(32, '\0')) +
             emfLine)},
        {"gradient of more vertices than it holds",
         Emf(EmfRecord(118, bounds + Le32(1000) + Le32(1) + Le32(0) + std::string(16, '\0')) +
             emfLine)},
        {"WMF polygon of 16000 points", Wmf(WmfRecord(0x0324, Le16(16000) + Le32(0)) + wmfLine)},
        {"WMF polygon of a negative count",
         Wmf(WmfRecord(0x0324, Le16(0x8000) + Le32(0)) + wmfLine)},
        {"WMF poly-polygon counts past the record",
         Wmf(WmfRecord(0x0538, Le16(2) + Le16(1) + Le16(9) + Le32(0)) + wmfLine)},
        {"WMF text longer than the record",
         Wmf(WmfRecord(0x0521, Le16(40) + "ab" + Le32(0)) + wmfLine)},
        {"WMF bitmap palette past the record",
         Wmf(WmfRecord(0x0F43, std::string(22, '\0') + Le32(40) + Le32(1) + Le32(1) + Le16(1) +
                                   Le16(8) + Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(200) +
                                   Le32(0)) +
             wmfLine)},
    };
    for (const Case& c : cases) {
        auto calls = Play(c.bytes);
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0].substr(0, 13), "line 0,0 20,1") << c.what;
    }
}

TEST(MetafileDamage, ARecordLeavingTheFileEndsThePicture) {
    // What comes before is drawn; nothing after the broken frame is.
    const std::string emfLine = EmfRecord(54, Le32(20) + Le32(10));
    const std::string wmfLine = WmfRecord(0x0213, Le16(10) + Le16(20));
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"record size not a multiple of four",
         Emf(emfLine + Le32(18) + Le32(10) + Le32(1) + emfLine)},
        {"record of size zero", Emf(emfLine + Le32(18) + Le32(0) + emfLine)},
        {"record larger than the file", Emf(emfLine + Le32(18) + Le32(4000) + emfLine)},
        {"WMF record of size one word", Wmf(wmfLine + Le32(1) + Le16(0x0213) + wmfLine)},
        {"WMF record larger than the file", Wmf(wmfLine + Le32(4000) + Le16(0x0213) + wmfLine)},
        {"EMF size past the file",
         [&] {
             std::string s = Emf(emfLine);
             Put32(s, 48, static_cast<std::uint32_t>(s.size() + 4000));
             return s.substr(0, s.size() - 20); // without the end record
         }()},
        {"WMF size past the file",
         [&] {
             std::string s = Wmf(wmfLine);
             Put32(s, 6, 4000);
             return s.substr(0, s.size() - 6);
         }()},
    };
    for (const Case& c : cases) {
        auto calls = Play(c.bytes);
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0].substr(0, 13), "line 0,0 20,1") << c.what;
    }
}

TEST(MetafileDamage, ObjectsThatDoNotExistAreIgnored) {
    // Selecting or deleting indices past the table, creating more objects than the
    // header announced, and restoring states never saved draw with what is selected.
    const std::string pen = WmfRecord(0x02FA, Le16(0) + Le16(1) + Le16(0) + Le32(0x0000FF));
    const std::string records = pen + pen + pen + WmfRecord(0x012D, Le16(0)) +
                                WmfRecord(0x012D, Le16(7)) + WmfRecord(0x01F0, Le16(9000)) +
                                WmfRecord(0x0127, Le16(0xFFFF)) + WmfRecord(0x0127, Le16(5)) +
                                WmfRecord(0x0213, Le16(10) + Le16(20));
    auto calls = Play(Wmf(records, 1));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "line 0,0 20,10 pen 255/0/0 w1");

    const std::string emf = EmfRecord(37, Le32(3)) + EmfRecord(37, Le32(0x80000063)) +
                            EmfRecord(40, Le32(0xFFFFFFFF)) +
                            EmfRecord(38, Le32(90) + Le32(0) + Le32(1) + Le32(0) + Le32(0xFF)) +
                            EmfRecord(54, Le32(20) + Le32(10));
    calls = Play(Emf(emf));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "line 0,0 20,10 pen 0/0/0 w0");
}

TEST(MetafileDamage, ExtentsNeverScaleToNothing) {
    // Halving the window extent of 240 x 96 until nothing is left stops at the last whole
    // extent both axes still have (3 x 1: 80 and 96 pixels a unit); corners stay finite.
    std::string records = WmfRecord(0x0103, Le16(8));
    for (int i = 0; i < 40; ++i)
        records += WmfRecord(0x0410, Le16(2) + Le16(1) + Le16(2) + Le16(1));
    records += WmfRecord(0x0213, Le16(1) + Le16(1)) +
               WmfRecord(0x061C, Le16(32767) + Le16(32767) + Le16(1) + Le16(1) + Le16(0) + Le16(0));
    auto calls = Play(Wmf(records));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "line 0,0 80,96 pen 0/0/0 w0");
    EXPECT_EQ(calls[1], "roundrect 0,0,80,96 corner 2.62136e+06x3.14563e+06 brush 255/255/255");
}

// ---- records ----

TEST(MetafileRecords, LinesKeepTheCurrentPositionAndThePen) {
    for (const char* file : {"lines.wmf", "lines.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 4u) << file;
        EXPECT_EQ(calls[0], "line 10,10 30,10 pen 255/0/0 w1") << file;
        EXPECT_EQ(calls[1], "line 10,20 30,20 30,40 pen 255/0/0 w1") << file;
        EXPECT_EQ(calls[2], "line 60,20 100,20 pen 0/0/255 w5") << file;
        EXPECT_EQ(calls[3], "line 10,60 50,60 pen none") << file;
    }
}

TEST(MetafileRecords, ShapesAndBrushes) {
    for (const char* file : {"shapes.wmf", "shapes.emf", "shapes_plain.wmf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 5u) << file;
        EXPECT_EQ(calls[0], "rect 10,10,30,20 pen 0/0/0 w1 brush 0/0/255") << file;
        EXPECT_EQ(calls[1], "ellipse 40,10,60,30 brush 0/0/255") << file;
        EXPECT_EQ(calls[2], "roundrect 70,10,110,40 corner 16x16 brush 0/0/255") << file;
        EXPECT_EQ(calls[3], "rect 120,10,140,30 pen 0/0/0 w1 brush none") << file;
        EXPECT_EQ(calls[4], "rect 150,10,190,50 pen 0/0/0 w1 hatch 255/0/0") << file;
    }
}

TEST(MetafileRecords, PolygonsWithTheirFillMode) {
    for (const char* file : {"polygons.wmf", "polygons.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 3u) << file;
        EXPECT_EQ(calls[0], "polygons [10,10 50,10 10,50] alternate brush 0/160/0") << file;
        EXPECT_EQ(calls[1],
                  "polygons [60,10 100,10 100,50 60,50] [70,20 90,20 90,40 70,40] alternate "
                  "brush 0/160/0")
            << file;
        EXPECT_EQ(calls[2].substr(0, 9), "polygons ") << file;
        EXPECT_NE(calls[2].find(" winding"), std::string::npos) << file;
    }
}

TEST(MetafileRecords, ArcsPiesAndChords) {
    for (const char* file : {"arcs.wmf", "arcs.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 3u) << file;
        EXPECT_EQ(calls[0], "pie 10,10,50,50 from 50,30 30,10") << file;
        EXPECT_EQ(calls[1], "chord 60,10,100,50 from 100,30 60,30") << file;
        EXPECT_EQ(calls[2], "arc 110,10,150,50 from 150,30 110,30") << file;
    }
}

TEST(MetafileRecords, TextWithFontColoursAndAlignment) {
    for (const char* file : {"text.wmf", "text.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 4u) << file;
        EXPECT_EQ(calls[0], "text 'HHHHHHHHHH' at 10,10 font Arial -20 align 0 color 0/0/0")
            << file;
        EXPECT_EQ(calls[1], "text 'H' at 10,60 font Arial -20 align 0 color 0/0/255 opaque "
                            "5,55,40,90 in 255/255/0")
            << file;
        EXPECT_EQ(calls[2], "text 'HHH' at 100,60 font Arial -20 align 0 color 0/0/255 dx 30 30 30")
            << file;
        EXPECT_EQ(calls[3], "text 'HH' at 230,60 font Arial -20 align 2 color 0/0/255") << file;
    }
}

TEST(MetafileRecords, TextInTheAnsiCodePageAndUtf16) {
    // "Grüße €" as code page 1252 bytes, and the same text as UTF-16 with a character
    // beyond the basic plane.
    const std::string ansi = "Gr\xFC\xDF"
                             "e \x80";
    auto calls = Play(Wmf(WmfRecord(0x0521, Le16(7) + ansi + '\0' + Le16(5) + Le16(6))));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("text 'Grüße €' at 6,5 ", 0), 0u) << calls[0];

    std::string utf16 = Le16('A') + Le16(0xD83D) + Le16(0xDE00) + Le16(0xDC00);
    std::string payload = std::string(16, '\0') + Le32(1) + Le32(0) + Le32(0) + Le32(7) + Le32(9) +
                          Le32(4) + Le32(76) + Le32(0) + std::string(16, '\0') + Le32(0) + utf16;
    calls = Play(Emf(EmfRecord(84, payload)));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("text 'A\xF0\x9F\x98\x80\xEF\xBF\xBD' at 7,9 ", 0), 0u) << calls[0];
}

TEST(MetafileRecords, CurrentPositionTextAdvances) {
    // Alignment with the update flag: the second text starts where the first ended.
    const std::string text = WmfRecord(0x0521, Le16(2) + "ab" + Le16(0) + Le16(0));
    auto calls =
        Play(Wmf(WmfRecord(0x012E, Le16(1)) + WmfRecord(0x0214, Le16(5) + Le16(3)) + text + text));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].find("at 3,5 "), std::string::npos) << calls[0];
    EXPECT_NE(calls[1].find("at 13,5 "), std::string::npos) << calls[1];

    // With the record's own advances the position moves by their sum (logical units,
    // here two each of half a pixel).
    const std::string ext =
        WmfRecord(0x0A32, Le16(0) + Le16(0) + Le16(2) + Le16(0) + "ab" + Le16(7) + Le16(9));
    calls = Play(Wmf(WmfRecord(0x0103, Le16(8)) + WmfRecord(0x020C, Le16(192) + Le16(480)) +
                     WmfRecord(0x012E, Le16(1)) + ext + ext));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].find("at 0,0 "), std::string::npos) << calls[0];
    EXPECT_NE(calls[0].find("dx 3.5 4.5"), std::string::npos) << calls[0];
    EXPECT_NE(calls[1].find("at 8,0 "), std::string::npos) << calls[1];
}

TEST(MetafileRecords, BitmapsWithTheirSourceRectangles) {
    for (const char* file : {"bitmap.wmf", "bitmap.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 5u) << file;
        EXPECT_EQ(calls[0], "bitmap 10,10,30,30 from 0,0 2x2 of 2x2 bits 24 colours 0 bottom-up")
            << file;
        EXPECT_EQ(calls[1], "bitmap 40,10,80,30 from 0,0 4x2 of 4x2 bits 4 colours 4 bottom-up")
            << file;
        EXPECT_EQ(calls[2], "bitmap 90,10,106,14 from 0,0 8x1 of 8x1 bits 1 colours 2 bottom-up")
            << file;
        // The source rectangle of a bitmap handed over whole counts its rows from the
        // bottom; that of one in a device context from the top.
        EXPECT_EQ(calls[3], "bitmap 120,10,130,30 from 1,0 1x1 of 2x2 bits 24 colours 0 bottom-up")
            << file;
        EXPECT_EQ(calls[4], "fill 150,10,160,20 brush 0/0/255") << file;
    }
}

TEST(MetafileRecords, WindowAndViewportMappingWithSavedStates) {
    for (const char* file : {"mapping.wmf", "mapping.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 2u) << file;
        EXPECT_EQ(calls[0], "rect 10,10,30,30 pen none brush 0/0/255") << file;
        EXPECT_EQ(calls[1], "rect 50,10,70,30 pen none brush 0/0/255") << file;
    }
}

TEST(MetafileRecords, ObjectSlotsAreReusedLowestFirst) {
    for (const char* file : {"objects.wmf", "objects.emf"}) {
        auto calls = Play(Bytes(file));
        ASSERT_EQ(calls.size(), 2u) << file;
        EXPECT_EQ(calls[0], "rect 10,10,30,30 pen 0/0/255 w1 brush 0/160/0") << file;
        EXPECT_EQ(calls[1], "rect 40,10,60,30 pen 0/0/255 w1 brush 0/160/0") << file;
    }
}

std::string Points32(std::initializer_list<std::pair<int, int>> points) {
    std::string s;
    for (const auto& [x, y] : points)
        s += Le32(static_cast<std::uint32_t>(x)) + Le32(static_cast<std::uint32_t>(y));
    return s;
}

std::string Float(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return Le32(bits);
}

std::string Xform(float m11, float m12, float m21, float m22, float dx, float dy) {
    return Float(m11) + Float(m12) + Float(m21) + Float(m22) + Float(dx) + Float(dy);
}

const std::string kBounds(16, '\0');

TEST(MetafileRecords, BeziersFlattenedThroughTheirEnds) {
    // One curve from 0,0 through 0,40 and 40,40 to 40,0: its top is at y = 30; the
    // curve's end becomes the current position for the next line.
    std::string curve = kBounds + Le32(3) + Points32({{0, 40}, {40, 40}, {40, 0}});
    auto mf = Metafile::Read(Emf(EmfRecord(5, curve) + EmfRecord(54, Le32(60) + Le32(0))));
    ASSERT_TRUE(mf);
    struct Lines : RecordingCanvas {
        std::vector<std::vector<MetafilePoint>> lines;
        void Polyline(const MetafileState&, const std::vector<MetafilePoint>& p) override {
            lines.push_back(p);
        }
    } canvas;
    mf->Play(canvas, {0, 0, 240, 96});
    ASSERT_EQ(canvas.lines.size(), 2u);
    const auto& points = canvas.lines[0];
    ASSERT_GE(points.size(), 8u) << "flattened into enough points";
    EXPECT_EQ(points.front().x, 0);
    EXPECT_EQ(points.front().y, 0);
    EXPECT_NEAR(points.back().x, 40, 1e-9);
    EXPECT_NEAR(points.back().y, 0, 1e-9);
    double top = 0;
    for (const auto& p : points) {
        top = std::max(top, p.y);
        EXPECT_GE(p.x, 0);
        EXPECT_LE(p.x, 40);
    }
    EXPECT_NEAR(top, 30, 0.25);
    EXPECT_NEAR(canvas.lines[1][0].x, 40, 1e-9) << "from where the curve ended";

    // The 16-bit form with its start point: the same curve.
    std::string small = kBounds + Le32(4) + Le16(0) + Le16(0) + Le16(0) + Le16(40) + Le16(40) +
                        Le16(40) + Le16(40) + Le16(0);
    auto calls = Play(Emf(EmfRecord(85, small)));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("line 0,0 ", 0), 0u);
}

TEST(MetafileRecords, PathsCollectTheirFiguresUntilUsed) {
    const std::string figure = EmfRecord(59, "") + EmfRecord(27, Points32({{10, 10}})) +
                               EmfRecord(54, Points32({{50, 10}})) +
                               EmfRecord(54, Points32({{50, 40}})) + EmfRecord(61, "") +
                               EmfRecord(60, "");
    const std::string redBrush =
        EmfRecord(39, Le32(1) + Le32(0) + Le32(0x0000FF) + Le32(0)) + EmfRecord(37, Le32(1));
    struct Case {
        const char* what;
        std::string records;
        std::vector<std::string> calls;
    } cases[] = {
        {"filled: no outline",
         redBrush + figure + EmfRecord(62, kBounds),
         {"polygons [10,10 50,10 50,40] alternate brush 255/0/0"}},
        {"stroked: the closed figure comes back to its start",
         figure + EmfRecord(64, kBounds),
         {"line 10,10 50,10 50,40 10,10 pen 0/0/0 w0"}},
        {"stroked and filled",
         redBrush + figure + EmfRecord(63, kBounds),
         {"polygons [10,10 50,10 50,40] alternate brush 255/0/0"}},
        {"a path is used once",
         figure + EmfRecord(62, kBounds) + EmfRecord(62, kBounds),
         {"polygons [10,10 50,10 50,40] alternate brush 255/255/255"}},
        {"aborted", figure + EmfRecord(68, "") + EmfRecord(62, kBounds), {}},
        {"still open: nothing drawn, nothing used",
         EmfRecord(59, "") + EmfRecord(43, Points32({{0, 0}, {10, 10}})) + EmfRecord(62, kBounds),
         {}},
        {"a rectangle in a path is a closed figure",
         EmfRecord(59, "") + EmfRecord(43, Points32({{0, 0}, {10, 20}})) + EmfRecord(60, "") +
             EmfRecord(64, kBounds),
         {"line 10,0 0,0 0,20 10,20 10,0 pen 0/0/0 w0"}},
        {"used as the clip: later drawing is clipped to it",
         figure + EmfRecord(67, Le32(5)) + EmfRecord(54, Points32({{1, 1}})),
         {"line 50,40 1,1 pen 0/0/0 w0 clip 4 [10,10 50,10 50,40]"}},
    };
    for (const Case& c : cases) {
        auto calls = Play(Emf(c.records));
        EXPECT_EQ(calls, c.calls) << c.what;
    }
}

TEST(MetafileRecords, WorldTransformsSetAndCombined) {
    // The line to 10,5 under each transform, drawn from the (moved) origin.
    struct Case {
        const char* what;
        std::string records;
        const char* line;
    } cases[] = {
        {"scaled and moved", EmfRecord(35, Xform(2, 0, 0, 2, 10, 10)), "line 10,10 30,20"},
        {"turned a quarter", EmfRecord(35, Xform(0, 1, -1, 0, 100, 0)), "line 100,0 95,10"},
        {"left-multiplied: the record's first",
         EmfRecord(35, Xform(1, 0, 0, 1, 10, 0)) + EmfRecord(36, Xform(2, 0, 0, 2, 0, 0) + Le32(2)),
         "line 10,0 30,10"},
        {"right-multiplied: the current first",
         EmfRecord(35, Xform(1, 0, 0, 1, 10, 0)) + EmfRecord(36, Xform(2, 0, 0, 2, 0, 0) + Le32(3)),
         "line 20,0 40,10"},
        {"back to the identity",
         EmfRecord(35, Xform(2, 0, 0, 2, 10, 10)) +
             EmfRecord(36, Xform(0, 0, 0, 0, 0, 0) + Le32(1)),
         "line 0,0 10,5"},
        {"a transform of no area is refused", EmfRecord(35, Xform(0, 0, 0, 0, 10, 10)),
         "line 0,0 10,5"},
        {"restored with the saved state",
         EmfRecord(33, "") + EmfRecord(35, Xform(2, 0, 0, 2, 10, 10)) + EmfRecord(34, Le32(-1)),
         "line 0,0 10,5"},
    };
    for (const Case& c : cases) {
        auto calls = Play(Emf(c.records + EmfRecord(54, Points32({{10, 5}}))));
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0].substr(0, std::string(c.line).size() + 1), std::string(c.line) + " ")
            << c.what;
    }
    // Turned, a rectangle becomes the polygon of its corners.
    auto calls = Play(Emf(EmfRecord(35, Xform(0, 1, -1, 0, 100, 0)) +
                          EmfRecord(43, Points32({{0, 0}, {10, 20}}))));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("polygons [100,10 100,0 80,0 80,10]", 0), 0u) << calls[0];
}

TEST(MetafileRecords, ClipRegionsKeptWithTheSavedState) {
    const std::string line = EmfRecord(54, Points32({{1, 1}}));
    struct Case {
        const char* what;
        std::string records;
        const char* clip;
    } cases[] = {
        {"intersected", EmfRecord(30, Points32({{10, 10}, {50, 40}})),
         " clip 0 [10,10 50,10 50,40 10,40]"},
        {"excluded after intersected",
         EmfRecord(30, Points32({{10, 10}, {50, 40}})) +
             EmfRecord(29, Points32({{20, 20}, {30, 30}})),
         " clip 0 [10,10 50,10 50,40 10,40] 3 [20,20 30,20 30,30 20,30]"},
        {"restored",
         EmfRecord(33, "") + EmfRecord(30, Points32({{10, 10}, {50, 40}})) +
             EmfRecord(34, Le32(-1)),
         ""},
        {"kept by the saved state",
         EmfRecord(30, Points32({{10, 10}, {50, 40}})) + EmfRecord(33, "") +
             EmfRecord(29, Points32({{20, 20}, {30, 30}})) + EmfRecord(34, Le32(-1)),
         " clip 0 [10,10 50,10 50,40 10,40]"},
        {"a region copied in, in device pixels",
         EmfRecord(75, Le32(48) + Le32(5) + Le32(32) + Le32(1) + Le32(1) + Le32(16) +
                           Points32({{0, 0}, {0, 0}}) + Points32({{5, 6}, {7, 8}})),
         " clip 4 [5,6 7,6 7,8 5,8]"},
        {"copying no region removes the clip",
         EmfRecord(30, Points32({{10, 10}, {50, 40}})) + EmfRecord(75, Le32(0) + Le32(5)), ""},
        {"mapped by the transform",
         EmfRecord(35, Xform(2, 0, 0, 2, 0, 0)) + EmfRecord(30, Points32({{1, 1}, {2, 2}})) +
             EmfRecord(36, Xform(1, 0, 0, 1, 0, 0) + Le32(1)),
         " clip 0 [2,2 4,2 4,4 2,4]"},
    };
    for (const Case& c : cases) {
        auto calls = Play(Emf(c.records + line));
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0], std::string("line 0,0 1,1 pen 0/0/0 w0") + c.clip) << c.what;
    }
    // The 16-bit format's two clip records.
    auto calls = Play(Wmf(WmfRecord(0x0416, Le16(40) + Le16(50) + Le16(10) + Le16(10)) +
                          WmfRecord(0x0415, Le16(30) + Le16(30) + Le16(20) + Le16(20)) +
                          WmfRecord(0x0213, Le16(1) + Le16(1))));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0],
              "line 0,0 1,1 pen 0/0/0 w0 clip 0 [10,10 50,10 50,40 10,40] 3 [20,20 30,20 30,30 "
              "20,30]");
}

TEST(MetafileRecords, GradientsBlendsAndMaskedBitmaps) {
    auto calls = Play(Bytes("gradient.emf"));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "hgradient 10,10,110,40 255/0/0 to 0/0/255");
    EXPECT_EQ(calls[1], "vgradient 10,50,110,90 0/160/0 to 255/255/255");
    EXPECT_EQ(calls[2], "triangle 130,10 230,10 180,90 255/0/0 0/160/0 0/0/255");
    calls = Play(Bytes("blend.emf"));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1],
              "alpha 10,10,60,50 from 0,0 2x2 of 2x2 bits 24 colours 0 bottom-up alpha 128");
    EXPECT_EQ(calls[2],
              "alpha 130,10,170,50 from 0,0 1x1 of 1x1 bits 32 colours 0 bottom-up alpha 255 "
              "with its own");
    calls = Play(Bytes("maskblt.emf"));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], "mask 10,10,50,30 from 0,0 4x2 of 4x2 bits 24 colours 0 bottom-up mask "
                        "4x2 at 0,0 rop 204/170");
}

TEST(MetafilePlay, FrameMapsOntoTheTarget) {
    // Twice the size and moved: every coordinate and the pen width follow.
    auto calls = Play(Bytes("lines.emf"), {100, 50, 580, 242});
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "line 120,70 160,70 pen 255/0/0 w2");
    EXPECT_EQ(calls[2], "line 220,90 300,90 pen 0/0/255 w10");
    calls = Play(Bytes("lines.wmf"), {0, 0, 120, 48});
    EXPECT_EQ(calls[1], "line 5,10 15,10 15,20 pen 255/0/0 w0.5");
}

TEST(MetafilePlay, MappingModes) {
    // The reference device of the fixtures' EMF header has 960 pixels over 254 mm.
    const double pxPerMm = 960.0 / 254;
    struct Case {
        const char* what;
        std::string records;
        double x, y;
    } cases[] = {
        {"tenths of a millimetre, y upwards",
         EmfRecord(17, Le32(2)) + EmfRecord(54, Le32(100) + Le32(static_cast<std::uint32_t>(-100))),
         10 * pxPerMm, 10 * pxPerMm},
        {"twips", EmfRecord(17, Le32(6)) + EmfRecord(54, Le32(1440) + Le32(0)), 25.4 * pxPerMm, 0},
        {"isotropic: the smaller scale on both axes",
         EmfRecord(17, Le32(7)) + EmfRecord(9, Le32(100) + Le32(100)) +
             EmfRecord(11, Le32(240) + Le32(96)) + EmfRecord(54, Le32(100) + Le32(100)),
         96, 96},
        {"anisotropic, mirrored through a negative extent",
         EmfRecord(17, Le32(8)) + EmfRecord(9, Le32(100) + Le32(100)) +
             EmfRecord(11, Le32(static_cast<std::uint32_t>(-240)) + Le32(96)) +
             EmfRecord(12, Le32(240) + Le32(0)) + EmfRecord(54, Le32(50) + Le32(50)),
         120, 48},
        {"extents do nothing in the text mode",
         EmfRecord(9, Le32(1) + Le32(1)) + EmfRecord(54, Le32(7) + Le32(8)), 7, 8},
    };
    for (const Case& c : cases) {
        auto mf = Metafile::Read(Emf(c.records));
        ASSERT_TRUE(mf) << c.what;
        struct LastLine : RecordingCanvas {
            std::vector<MetafilePoint> points;
            void Polyline(const MetafileState&, const std::vector<MetafilePoint>& p) override {
                points = p;
            }
        } canvas;
        mf->Play(canvas, {0, 0, 240, 96});
        ASSERT_EQ(canvas.points.size(), 2u) << c.what;
        EXPECT_NEAR(canvas.points[1].x, c.x, 1e-6) << c.what;
        EXPECT_NEAR(canvas.points[1].y, c.y, 1e-6) << c.what;
    }
}

TEST(MetafilePlay, EmfFrameOffsetAndReferenceDevice) {
    // A frame from 10 mm, 20 mm on a device of 1920 pixels over 508 mm (1080 over 286
    // mm), in logical units of a thousandth of a device pixel: a line from the frame's
    // corner 50 device pixels down starts at the target's corner.
    const std::string s = Bytes("size_offset.emf");
    const double px = 10 * 1920.0 / 508, py = 20 * 1080.0 / 286;
    auto point = [](double x, double y) {
        return Le32(static_cast<std::uint32_t>(std::lround(x * 1000))) +
               Le32(static_cast<std::uint32_t>(std::lround(y * 1000)));
    };
    const std::string records = EmfRecord(17, Le32(8)) + EmfRecord(9, Le32(1000) + Le32(1000)) +
                                EmfRecord(11, Le32(1) + Le32(1)) + EmfRecord(27, point(px, py)) +
                                EmfRecord(54, point(px, py + 50));
    std::string all = s.substr(0, 88) + records + s.substr(88);
    Put32(all, 48, static_cast<std::uint32_t>(all.size()));
    auto mf = Metafile::Read(all);
    ASSERT_TRUE(mf);

    struct LastLine : RecordingCanvas {
        std::vector<MetafilePoint> points;
        void Polyline(const MetafileState&, const std::vector<MetafilePoint>& p) override {
            points = p;
        }
    } canvas;
    mf->Play(canvas, {0, 0, 96, 96});
    ASSERT_EQ(canvas.points.size(), 2u);
    EXPECT_NEAR(canvas.points[0].x, 0, 1e-3);
    EXPECT_NEAR(canvas.points[0].y, 0, 1e-3);
    EXPECT_NEAR(canvas.points[1].x, 0, 1e-3);
    EXPECT_NEAR(canvas.points[1].y, 50 / (1080.0 / 286) / 25.4 * 96, 1e-3);
}

} // namespace

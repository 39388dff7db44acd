#include "platform/metafileparse.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <queue>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <variant>

namespace platform {

namespace {

// A length, count or offset that does not fit the file. Caught by Metafile::Read.
class Damaged : public std::runtime_error {
public:
    Damaged() : std::runtime_error("damaged metafile") {}
};

// Little-endian reads of one record, each checked against the record's end.
class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}
    std::size_t Size() const { return data_.size(); }
    void Need(std::uint64_t offset, std::uint64_t count) const {
        if (offset > data_.size() || count > data_.size() - offset)
            throw Damaged();
    }
    std::uint8_t U8(std::size_t offset) const {
        Need(offset, 1);
        return static_cast<std::uint8_t>(data_[offset]);
    }
    std::uint16_t U16(std::size_t offset) const {
        Need(offset, 2);
        return static_cast<std::uint16_t>(Byte(offset) | Byte(offset + 1) << 8);
    }
    std::int16_t S16(std::size_t offset) const { return static_cast<std::int16_t>(U16(offset)); }
    std::uint32_t U32(std::size_t offset) const {
        Need(offset, 4);
        return Byte(offset) | Byte(offset + 1) << 8 | Byte(offset + 2) << 16 |
               Byte(offset + 3) << 24;
    }
    std::int32_t S32(std::size_t offset) const { return static_cast<std::int32_t>(U32(offset)); }
    std::string_view Bytes(std::uint64_t offset, std::uint64_t count) const {
        Need(offset, count);
        return data_.substr(offset, count);
    }
    std::string_view Rest(std::size_t offset) const {
        Need(offset, 0);
        return data_.substr(offset);
    }

private:
    std::uint32_t Byte(std::size_t offset) const {
        return static_cast<std::uint8_t>(data_[offset]);
    }
    std::string_view data_;
};

MetafileColor ColorRef(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16)};
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Code page 1252 from 0x80 to 0x9F; 0xFFFD where it defines nothing. Every other byte
// is its own code point.
constexpr std::uint16_t kAnsiHigh[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

std::string AnsiToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<std::uint8_t>(ch);
        AppendUtf8(out, c >= 0x80 && c < 0xA0 ? kAnsiHigh[c - 0x80] : c);
    }
    return out;
}

std::string Utf16ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t c =
            static_cast<std::uint8_t>(bytes[i]) | static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            std::uint32_t low = static_cast<std::uint8_t>(bytes[i + 2]) |
                                static_cast<std::uint8_t>(bytes[i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD; // an unpaired surrogate
        AppendUtf8(out, c);
    }
    return out;
}

// A face name field: up to its first NUL.
std::string_view UntilNul(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

std::string_view UntilNul16(std::string_view bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        if (bytes[i] == 0 && bytes[i + 1] == 0)
            return bytes.substr(0, i);
    return bytes.substr(0, bytes.size() & ~std::size_t{1});
}

// Records that stand in a picture from any drawing program, by their numbers.
namespace wmf {
constexpr std::uint16_t kEof = 0x0000, kSaveDc = 0x001E, kCreatePalette = 0x00F7,
                        kSetBkMode = 0x0102, kSetMapMode = 0x0103, kSetPolyFillMode = 0x0106,
                        kRestoreDc = 0x0127, kSelectObject = 0x012D, kSetTextAlign = 0x012E,
                        kDibCreatePatternBrush = 0x0142, kDeleteObject = 0x01F0,
                        kCreatePatternBrush = 0x01F9, kSetBkColor = 0x0201, kSetTextColor = 0x0209,
                        kSetWindowOrg = 0x020B, kSetWindowExt = 0x020C, kSetViewportOrg = 0x020D,
                        kSetViewportExt = 0x020E, kOffsetWindowOrg = 0x020F,
                        kOffsetViewportOrg = 0x0211, kLineTo = 0x0213, kMoveTo = 0x0214,
                        kCreatePenIndirect = 0x02FA, kCreateFontIndirect = 0x02FB,
                        kCreateBrushIndirect = 0x02FC, kPolygon = 0x0324, kPolyline = 0x0325,
                        kScaleWindowExt = 0x0410, kScaleViewportExt = 0x0412, kEllipse = 0x0418,
                        kRectangle = 0x041B, kTextOut = 0x0521, kPolyPolygon = 0x0538,
                        kRoundRect = 0x061C, kPatBlt = 0x061D, kCreateRegion = 0x06FF,
                        kArc = 0x0817, kPie = 0x081A, kChord = 0x0830, kDibBitBlt = 0x0940,
                        kExtTextOut = 0x0A32, kDibStretchBlt = 0x0B41, kStretchDib = 0x0F43;
} // namespace wmf

namespace emf {
constexpr std::uint32_t kHeader = 1, kPolygon = 3, kPolyline = 4, kPolylineTo = 6,
                        kPolyPolyline = 7, kPolyPolygon = 8, kSetWindowExtEx = 9,
                        kSetWindowOrgEx = 10, kSetViewportExtEx = 11, kSetViewportOrgEx = 12,
                        kEof = 14, kSetMapMode = 17, kSetBkMode = 18, kSetPolyFillMode = 19,
                        kSetTextAlign = 22, kSetTextColor = 24, kSetBkColor = 25, kMoveToEx = 27,
                        kScaleViewportExtEx = 31, kScaleWindowExtEx = 32, kSaveDc = 33,
                        kRestoreDc = 34, kSelectObject = 37, kCreatePen = 38,
                        kCreateBrushIndirect = 39, kDeleteObject = 40, kEllipse = 42,
                        kRectangle = 43, kRoundRect = 44, kArc = 45, kChord = 46, kPie = 47,
                        kCreatePalette = 49, kLineTo = 54, kBitBlt = 76, kStretchBlt = 77,
                        kStretchDiBits = 81, kExtCreateFontIndirectW = 82, kExtTextOutA = 83,
                        kExtTextOutW = 84, kPolygon16 = 86, kPolyline16 = 87, kPolylineTo16 = 89,
                        kPolyPolyline16 = 90, kPolyPolygon16 = 91, kCreateMonoBrush = 93,
                        kCreateDibPatternBrushPt = 94, kExtCreatePen = 95;
constexpr std::uint32_t kSignature = 0x464D4520;
} // namespace emf

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7;

// Raster operations a pattern block transfer can mean without a bitmap.
constexpr std::uint32_t kPatCopy = 0x00F00021, kBlackness = 0x00000042, kWhiteness = 0x00FF0062;
constexpr std::uint32_t kTextOptionOpaque = 2, kTextOptionClipped = 4, kTextOptionGlyphIndex = 0x10;

// Mapping modes.
constexpr int kMapText = 1, kMapIsotropic = 7, kMapAnisotropic = 8;

// Target coordinates are kept where the drawing library's fixed-point arithmetic holds.
constexpr double kMaxCoordinate = 1 << 22;
constexpr double kMaxPenWidth = 1 << 12;
constexpr double kMaxFontHeight = 2048;
// Saved states beyond this are refused (the stack would otherwise grow with the file).
constexpr std::size_t kMaxSavedStates = 1024;
// Larger bitmaps are not drawn (their decoded pixels would need more than 64 MB).
constexpr std::int64_t kMaxDibPixels = 16 << 20;

double Clamp(double value, double limit) {
    if (!(value == value))
        return 0;
    return std::clamp(value, -limit, limit);
}

class NullCanvas final : public MetafileCanvas {
public:
    void Polyline(const MetafileState&, const std::vector<MetafilePoint>&) override {}
    void PolyPolygon(const MetafileState&,
                     const std::vector<std::vector<MetafilePoint>>&) override {}
    void Rectangle(const MetafileState&, const MetafileRect&) override {}
    void RoundRect(const MetafileState&, const MetafileRect&, double, double) override {}
    void Ellipse(const MetafileState&, const MetafileRect&) override {}
    void Arc(const MetafileState&, ArcKind, const MetafileRect&, MetafilePoint,
             MetafilePoint) override {}
    double Text(const MetafileState&, MetafilePoint, const std::string&,
                const TextOptions&) override {
        return 0;
    }
    void FillRect(const MetafileState&, const MetafileRect&) override {}
    void StretchBitmap(const MetafileRect&, const MetafileDib&, int, int, int, int) override {}
};

} // namespace

// Checks a bitmap's header, palette and bits against the bytes that hold them.
class MetafileDibReader {
public:
    // info: the header and colour table; bits: the pixel rows, or nullopt when they
    // follow the colour table in info. nullopt for a bitmap this reader does not draw
    // (compressed, palette-indexed colours, no pixels, too large); Damaged when the
    // header's sizes do not fit the bytes.
    static std::optional<MetafileDib>
    Read(std::string_view info, std::optional<std::string_view> separateBits, bool paletteIndices) {
        Reader r(info);
        MetafileDib dib;
        std::uint32_t headerSize = r.U32(0);
        std::int64_t width, height;
        std::uint32_t compression = 0, colorsUsed = 0;
        std::size_t tableOffset;
        if (headerSize == 12) {
            width = r.U16(4);
            height = r.U16(6);
            dib.bitCount_ = r.U16(10);
            dib.paletteEntrySize_ = 3;
            tableOffset = 12;
        } else if (headerSize >= 40) {
            r.Need(0, headerSize);
            width = r.S32(4);
            height = r.S32(8);
            dib.bitCount_ = r.U16(14);
            compression = r.U32(16);
            colorsUsed = r.U32(32);
            tableOffset = headerSize;
        } else {
            throw Damaged();
        }
        const int bpp = dib.bitCount_;
        if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            return std::nullopt;
        if (compression == 3 && (bpp == 16 || bpp == 32)) {
            // Bit fields are drawn when they lay the colours out as uncompressed rows do.
            const std::size_t maskOffset = headerSize >= 52 ? 40 : headerSize;
            const std::uint32_t red = r.U32(maskOffset), green = r.U32(maskOffset + 4),
                                blue = r.U32(maskOffset + 8);
            if (headerSize < 52)
                tableOffset += 12;
            const bool plain = bpp == 16 ? red == 0x7C00 && green == 0x03E0 && blue == 0x001F
                                         : red == 0xFF0000 && green == 0xFF00 && blue == 0xFF;
            if (!plain)
                return std::nullopt;
        } else if (compression != 0) {
            return std::nullopt; // run-length or embedded JPEG/PNG
        }
        std::uint64_t entries = colorsUsed;
        if (bpp <= 8 && entries == 0)
            entries = std::uint64_t{1} << bpp;
        const std::uint64_t entrySize = paletteIndices ? 2 : dib.paletteEntrySize_;
        dib.palette_ = r.Bytes(tableOffset, entries * entrySize);
        const std::string_view bits =
            separateBits ? *separateBits : r.Rest(tableOffset + dib.palette_.size());
        if (paletteIndices && bpp <= 8)
            return std::nullopt; // indices into a palette the file does not carry here
        dib.bottomUp_ = height > 0;
        height = std::abs(height);
        if (width <= 0 || height == 0)
            return std::nullopt;
        if (width * height > kMaxDibPixels)
            return std::nullopt;
        dib.stride_ = static_cast<std::size_t>((width * bpp + 31) / 32 * 4);
        if (static_cast<std::uint64_t>(dib.stride_) * static_cast<std::uint64_t>(height) >
            bits.size())
            throw Damaged();
        dib.width_ = static_cast<int>(width);
        dib.height_ = static_cast<int>(height);
        dib.bits_ = bits.substr(0, dib.stride_ * static_cast<std::size_t>(height));
        return dib;
    }
};

// Interprets the records of one metafile onto a canvas, holding the device-context state.
class MetafilePlayer {
public:
    MetafilePlayer(const Metafile& file, MetafileCanvas& canvas, const MetafileRect& target)
        : file_(file), canvas_(canvas), target_(target) {}

    // Throws Damaged when a record does not fit the file.
    void Run() {
        if (file_.enhanced_) {
            dc_.map.mode = kMapText;
            RunEmf();
        } else {
            // Played as into a rectangle: the frame is both window and viewport until the
            // file sets its own window.
            const MetafileRect& f = file_.frame_;
            dc_.map = {kMapAnisotropic,  f.left, f.top, f.right - f.left,
                       f.bottom - f.top, f.left, f.top, f.right - f.left,
                       f.bottom - f.top};
            if (dc_.map.wex == 0 || dc_.map.wey == 0)
                dc_.map.wex = dc_.map.wey = dc_.map.vex = dc_.map.vey = 1;
            RunWmf();
        }
    }

    // The first window extent a WMF sets, which gives a WMF without the placeable header
    // its size.
    std::optional<std::pair<int, int>> FirstWindowExtent() const { return firstWindowExtent_; }

private:
    struct LogPen {
        MetafilePen::Style style = MetafilePen::Style::Solid;
        double width = 0; // logical units
        MetafileColor color;
    };
    struct LogFont {
        MetafileFont font; // height and width in logical units
    };
    struct Placeholder {}; // palettes, pattern brushes, regions: hold their slot only
    using Object = std::variant<LogPen, MetafileBrush, LogFont, Placeholder>;

    struct Mapping {
        int mode = kMapText;
        double wox = 0, woy = 0, wex = 1, wey = 1;
        double vox = 0, voy = 0, vex = 1, vey = 1;
    };
    struct Dc {
        Mapping map;
        LogPen pen;
        MetafileBrush brush;
        LogFont font;
        MetafileColor textColor{0, 0, 0};
        MetafileColor backgroundColor{255, 255, 255};
        bool opaque = true;
        bool winding = false;
        std::uint32_t textAlign = 0;
        double curX = 0, curY = 0;
    };

    // ---- mapping: target = a * logical + b on each axis ----

    void Coefficients(double& ax, double& bx, double& ay, double& by) const {
        const Mapping& m = dc_.map;
        double sx = 1, sy = 1;
        if (m.mode >= 2 && m.mode <= 6) {
            static constexpr double kUnitMm[] = {0.1, 0.01, 0.254, 0.0254, 25.4 / 1440};
            const double unit = kUnitMm[m.mode - 2];
            sx = unit * file_.deviceUnitsPerMmX_;
            sy = -unit * file_.deviceUnitsPerMmY_;
        } else if (m.mode == kMapIsotropic || m.mode == kMapAnisotropic) {
            sx = m.vex / m.wex;
            sy = m.vey / m.wey;
            if (m.mode == kMapIsotropic) {
                const double s = std::min(std::abs(sx), std::abs(sy));
                sx = std::copysign(s, sx);
                sy = std::copysign(s, sy);
            }
        }
        const MetafileRect& f = file_.frame_;
        const double kx =
            f.right != f.left ? (target_.right - target_.left) / (f.right - f.left) : 0;
        const double ky =
            f.bottom != f.top ? (target_.bottom - target_.top) / (f.bottom - f.top) : 0;
        ax = sx * kx;
        bx = target_.left + (m.vox - m.wox * sx - f.left) * kx;
        ay = sy * ky;
        by = target_.top + (m.voy - m.woy * sy - f.top) * ky;
    }

    MetafilePoint Map(double x, double y) const {
        double ax, bx, ay, by;
        Coefficients(ax, bx, ay, by);
        return {Clamp(ax * x + bx, kMaxCoordinate), Clamp(ay * y + by, kMaxCoordinate)};
    }

    MetafileRect MapRect(double l, double t, double r, double b) const {
        MetafilePoint p = Map(l, t), q = Map(r, b);
        return {p.x, p.y, q.x, q.y};
    }

    double ScaleX() const {
        double ax, bx, ay, by;
        Coefficients(ax, bx, ay, by);
        return std::abs(ax);
    }
    double ScaleY() const {
        double ax, bx, ay, by;
        Coefficients(ax, bx, ay, by);
        return std::abs(ay);
    }

    MetafileState State() const {
        MetafileState s;
        s.pen.style = dc_.pen.style;
        s.pen.color = dc_.pen.color;
        s.pen.width = Clamp(dc_.pen.width * ScaleX(), kMaxPenWidth);
        s.brush = dc_.brush;
        s.font = dc_.font.font;
        s.font.height = Clamp(dc_.font.font.height * ScaleY(), kMaxFontHeight);
        s.font.width = Clamp(std::abs(dc_.font.font.width) * ScaleX(), kMaxFontHeight);
        s.textColor = dc_.textColor;
        s.backgroundColor = dc_.backgroundColor;
        s.opaqueBackground = dc_.opaque;
        s.winding = dc_.winding;
        s.textAlign = dc_.textAlign;
        return s;
    }

    // ---- state records shared by both formats ----

    void SetWindowOrg(double x, double y) { dc_.map.wox = x, dc_.map.woy = y; }
    void SetViewportOrg(double x, double y) { dc_.map.vox = x, dc_.map.voy = y; }
    bool ExtentsApply() const {
        return dc_.map.mode == kMapIsotropic || dc_.map.mode == kMapAnisotropic;
    }
    // Extents are whole numbers of 32 bits, never 0, as the drawing layer keeps them;
    // scaling one to nothing is refused like setting 0.
    static bool UsableExtent(double& x, double& y) {
        x = std::trunc(x), y = std::trunc(y);
        constexpr double kLimit = 2147483647.0;
        return x != 0 && y != 0 && std::abs(x) <= kLimit && std::abs(y) <= kLimit;
    }
    void SetWindowExt(double x, double y) {
        if (ExtentsApply() && UsableExtent(x, y))
            dc_.map.wex = x, dc_.map.wey = y;
    }
    void SetViewportExt(double x, double y) {
        if (ExtentsApply() && UsableExtent(x, y))
            dc_.map.vex = x, dc_.map.vey = y;
    }
    // A corner's width and height in target pixels.
    double CornerX(double logical) const {
        return Clamp(std::abs(logical) * ScaleX(), kMaxCoordinate);
    }
    double CornerY(double logical) const {
        return Clamp(std::abs(logical) * ScaleY(), kMaxCoordinate);
    }
    void ScaleWindowExt(double xn, double xd, double yn, double yd) {
        if (xd != 0 && yd != 0)
            SetWindowExt(dc_.map.wex * xn / xd, dc_.map.wey * yn / yd);
    }
    void ScaleViewportExt(double xn, double xd, double yn, double yd) {
        if (xd != 0 && yd != 0)
            SetViewportExt(dc_.map.vex * xn / xd, dc_.map.vey * yn / yd);
    }
    void SetMapMode(std::uint32_t mode) {
        if (mode >= 1 && mode <= 8)
            dc_.map.mode = static_cast<int>(mode);
    }
    void SetBkMode(std::uint32_t mode) {
        if (mode == 1 || mode == 2)
            dc_.opaque = mode == 2;
    }
    void SetPolyFillMode(std::uint32_t mode) {
        if (mode == 1 || mode == 2)
            dc_.winding = mode == 2;
    }
    void SaveDc() {
        if (saved_.size() < kMaxSavedStates)
            saved_.push_back(dc_);
    }
    void RestoreDc(std::int64_t which) {
        std::size_t index;
        if (which < 0) {
            if (static_cast<std::uint64_t>(-which) > saved_.size())
                return;
            index = saved_.size() - static_cast<std::size_t>(-which);
        } else if (which > 0 && static_cast<std::uint64_t>(which) <= saved_.size()) {
            index = static_cast<std::size_t>(which - 1);
        } else {
            return;
        }
        dc_ = saved_[index];
        saved_.resize(index);
    }

    static LogPen MakePen(std::uint32_t style, double width, MetafileColor color) {
        LogPen pen;
        switch (style & 0xF) {
        case 1:
            pen.style = MetafilePen::Style::Dash;
            break;
        case 2:
            pen.style = MetafilePen::Style::Dot;
            break;
        case 3:
            pen.style = MetafilePen::Style::DashDot;
            break;
        case 4:
            pen.style = MetafilePen::Style::DashDotDot;
            break;
        case 5:
            pen.style = MetafilePen::Style::Null;
            break;
        case 6:
            pen.style = MetafilePen::Style::InsideFrame;
            break;
        default:
            pen.style = MetafilePen::Style::Solid;
            break;
        }
        pen.width = std::abs(width);
        pen.color = color;
        return pen;
    }

    static MetafileBrush MakeBrush(std::uint32_t style, MetafileColor color, std::uint32_t hatch) {
        MetafileBrush brush;
        brush.color = color;
        if (style == 1) {
            brush.style = MetafileBrush::Style::Null;
        } else if (style == 2 && hatch <= 5) {
            brush.style = MetafileBrush::Style::Hatched;
            brush.hatch = static_cast<MetafileBrush::Hatch>(hatch);
        } else {
            // Solid, and pattern brushes whose pattern is not kept: the colour alone.
            brush.style = MetafileBrush::Style::Solid;
        }
        return brush;
    }

    static LogFont MakeFont(const Reader& r, std::size_t offset, bool wide, std::string face) {
        LogFont f;
        f.font.face = std::move(face);
        if (wide) {
            f.font.height = r.S32(offset);
            f.font.width = r.S32(offset + 4);
            f.font.escapement = r.S32(offset + 8) / 10.0;
            f.font.weight = r.S32(offset + 16);
            offset += 20;
        } else {
            f.font.height = r.S16(offset);
            f.font.width = r.S16(offset + 2);
            f.font.escapement = r.S16(offset + 4) / 10.0;
            f.font.weight = r.S16(offset + 8);
            offset += 10;
        }
        f.font.italic = r.U8(offset) != 0;
        f.font.underline = r.U8(offset + 1) != 0;
        f.font.strikeOut = r.U8(offset + 2) != 0;
        f.font.charset = r.U8(offset + 3);
        if (f.font.weight <= 0 || f.font.weight > 1000)
            f.font.weight = 400;
        return f;
    }

    void Select(const Object& object) {
        if (const auto* pen = std::get_if<LogPen>(&object))
            dc_.pen = *pen;
        else if (const auto* brush = std::get_if<MetafileBrush>(&object))
            dc_.brush = *brush;
        else if (const auto* font = std::get_if<LogFont>(&object))
            dc_.font = *font;
    }

    // ---- drawing shared by both formats ----

    void LineTo(double x, double y) {
        canvas_.Polyline(State(), {Map(dc_.curX, dc_.curY), Map(x, y)});
        dc_.curX = x, dc_.curY = y;
    }

    // advances: logical, one per UTF-16 unit, or none.
    void Text(double x, double y, const std::string& utf8, std::uint32_t options,
              const std::optional<MetafileRect>& rect, const std::vector<double>& advances) {
        if (options & kTextOptionGlyphIndex)
            return; // glyph numbers of a font we do not have
        const bool updateCp = dc_.textAlign & kTextAlignUpdateCp;
        if (updateCp)
            x = dc_.curX, y = dc_.curY;
        MetafileCanvas::TextOptions textOptions;
        if (rect && (options & kTextOptionOpaque))
            textOptions.opaque = rect;
        if (rect && (options & kTextOptionClipped))
            textOptions.clip = rect;
        const double scale = ScaleX();
        double logicalAdvance = 0;
        for (double a : advances) {
            textOptions.advances.push_back(Clamp(a * scale, kMaxCoordinate));
            logicalAdvance += a;
        }
        const double advance = canvas_.Text(State(), Map(x, y), utf8, textOptions);
        if (updateCp) {
            if (advances.empty())
                logicalAdvance = scale > 0 ? advance / scale : 0;
            dc_.curX = Clamp(x + logicalAdvance, kMaxCoordinate);
        }
    }

    // A block transfer without a bitmap: a fill by the raster operation.
    void PatternBlt(std::uint32_t rop, const MetafileRect& box) {
        MetafileState state = State();
        if (rop == kBlackness || rop == kWhiteness) {
            state.brush.style = MetafileBrush::Style::Solid;
            state.brush.color =
                rop == kBlackness ? MetafileColor{0, 0, 0} : MetafileColor{255, 255, 255};
        } else if (rop != kPatCopy) {
            return;
        }
        canvas_.FillRect(state, box);
    }

    void DrawDib(const std::optional<MetafileDib>& dib, const MetafileRect& box, std::int64_t sx,
                 std::int64_t sy, std::int64_t sw, std::int64_t sh, bool sourceBottomUp) {
        if (!dib || sw <= 0 || sh <= 0)
            return;
        // Source rows of a bitmap handed over by the bitmap functions count from its
        // bottom line; those of a bitmap in a device context count from its top.
        if (sourceBottomUp)
            sy = dib->Height() - sy - sh;
        if (sx < 0 || sy < 0 || sx > dib->Width() || sy > dib->Height())
            return;
        sw = std::min<std::int64_t>(sw, dib->Width() - sx);
        sh = std::min<std::int64_t>(sh, dib->Height() - sy);
        if (sw <= 0 || sh <= 0)
            return;
        canvas_.StretchBitmap(box, *dib, static_cast<int>(sx), static_cast<int>(sy),
                              static_cast<int>(sw), static_cast<int>(sh));
    }

    // ---- WMF ----

    void RunWmf() {
        Reader all(file_.bytes_);
        std::size_t offset = file_.recordsBegin_;
        const std::size_t end = file_.recordsEnd_;
        while (offset < end) {
            if (end - offset < 6)
                throw Damaged();
            const std::uint64_t size = std::uint64_t{all.U32(offset)} * 2;
            const std::uint16_t function = all.U16(offset + 4);
            if (size < 6 || size > end - offset)
                throw Damaged();
            if (function == wmf::kEof)
                return;
            WmfRecord(function, Reader(all.Bytes(offset + 6, size - 6)));
            offset += size;
        }
    }

    std::vector<MetafilePoint> WmfPoints(const Reader& r, std::size_t offset,
                                         std::size_t count) const {
        r.Need(offset, std::uint64_t{count} * 4);
        std::vector<MetafilePoint> points;
        points.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            points.push_back(Map(r.S16(offset + 4 * i), r.S16(offset + 4 * i + 2)));
        return points;
    }

    void WmfCreate(Object object) {
        std::uint32_t slot;
        if (!freedSlots_.empty()) {
            slot = freedSlots_.top(); // always below the slots never used
            freedSlots_.pop();
        } else if (unusedSlot_ < static_cast<std::uint32_t>(file_.objectCount_)) {
            slot = unusedSlot_++;
        } else {
            return; // the table the header announced is full: the object is lost
        }
        objects_[slot] = std::move(object);
    }

    std::string WmfString(const Reader& r, std::size_t offset, std::int16_t length) const {
        if (length < 0)
            throw Damaged();
        return AnsiToUtf8(r.Bytes(offset, static_cast<std::size_t>(length)));
    }

    void WmfRecord(std::uint16_t function, const Reader& r) {
        switch (function) {
        case wmf::kSetBkColor:
            dc_.backgroundColor = ColorRef(r.U32(0));
            break;
        case wmf::kSetTextColor:
            dc_.textColor = ColorRef(r.U32(0));
            break;
        case wmf::kSetBkMode:
            SetBkMode(r.U16(0));
            break;
        case wmf::kSetMapMode:
            SetMapMode(r.U16(0));
            break;
        case wmf::kSetPolyFillMode:
            SetPolyFillMode(r.U16(0));
            break;
        case wmf::kSetTextAlign:
            dc_.textAlign = r.U16(0);
            break;
        case wmf::kSetWindowOrg:
            SetWindowOrg(r.S16(2), r.S16(0));
            break;
        case wmf::kSetWindowExt:
            if (!firstWindowExtent_)
                firstWindowExtent_ = std::pair<int, int>(r.S16(2), r.S16(0));
            SetWindowExt(r.S16(2), r.S16(0));
            break;
        case wmf::kSetViewportOrg:
            SetViewportOrg(r.S16(2), r.S16(0));
            break;
        case wmf::kSetViewportExt:
            SetViewportExt(r.S16(2), r.S16(0));
            break;
        case wmf::kOffsetWindowOrg:
            SetWindowOrg(dc_.map.wox + r.S16(2), dc_.map.woy + r.S16(0));
            break;
        case wmf::kOffsetViewportOrg:
            SetViewportOrg(dc_.map.vox + r.S16(2), dc_.map.voy + r.S16(0));
            break;
        case wmf::kScaleWindowExt:
            ScaleWindowExt(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
            break;
        case wmf::kScaleViewportExt:
            ScaleViewportExt(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
            break;
        case wmf::kSaveDc:
            SaveDc();
            break;
        case wmf::kRestoreDc:
            RestoreDc(r.S16(0));
            break;
        case wmf::kMoveTo:
            dc_.curX = r.S16(2), dc_.curY = r.S16(0);
            break;
        case wmf::kLineTo:
            LineTo(r.S16(2), r.S16(0));
            break;
        case wmf::kRectangle:
        case wmf::kEllipse: {
            MetafileRect box = MapRect(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
            if (function == wmf::kRectangle)
                canvas_.Rectangle(State(), box);
            else
                canvas_.Ellipse(State(), box);
            break;
        }
        case wmf::kRoundRect:
            canvas_.RoundRect(State(), MapRect(r.S16(10), r.S16(8), r.S16(6), r.S16(4)),
                              CornerX(r.S16(2)), CornerY(r.S16(0)));
            break;
        case wmf::kArc:
        case wmf::kPie:
        case wmf::kChord: {
            const auto kind = function == wmf::kArc   ? MetafileCanvas::ArcKind::Arc
                              : function == wmf::kPie ? MetafileCanvas::ArcKind::Pie
                                                      : MetafileCanvas::ArcKind::Chord;
            canvas_.Arc(State(), kind, MapRect(r.S16(14), r.S16(12), r.S16(10), r.S16(8)),
                        Map(r.S16(6), r.S16(4)), Map(r.S16(2), r.S16(0)));
            break;
        }
        case wmf::kPolygon:
        case wmf::kPolyline: {
            const std::int16_t count = r.S16(0);
            if (count < 0)
                throw Damaged();
            std::vector<MetafilePoint> points = WmfPoints(r, 2, static_cast<std::size_t>(count));
            if (points.size() < 2)
                break;
            if (function == wmf::kPolyline)
                canvas_.Polyline(State(), points);
            else
                canvas_.PolyPolygon(State(), {std::move(points)});
            break;
        }
        case wmf::kPolyPolygon: {
            const std::size_t polygons = r.U16(0);
            std::size_t offset = 2 + 2 * polygons;
            r.Need(2, 2 * polygons);
            std::vector<std::vector<MetafilePoint>> all;
            all.reserve(polygons);
            for (std::size_t i = 0; i < polygons; ++i) {
                const std::size_t count = r.U16(2 + 2 * i);
                all.push_back(WmfPoints(r, offset, count));
                offset += 4 * count;
            }
            std::erase_if(all, [](const auto& p) { return p.size() < 2; });
            if (!all.empty())
                canvas_.PolyPolygon(State(), all);
            break;
        }
        case wmf::kTextOut: {
            const std::int16_t length = r.S16(0);
            std::string text = WmfString(r, 2, length);
            const std::size_t after =
                2 + ((static_cast<std::size_t>(length) + 1) & ~std::size_t{1});
            Text(r.S16(after + 2), r.S16(after), text, 0, std::nullopt, {});
            break;
        }
        case wmf::kExtTextOut: {
            const std::int16_t y = r.S16(0), x = r.S16(2), length = r.S16(4);
            const std::uint16_t options = r.U16(6);
            std::optional<MetafileRect> rect;
            std::size_t offset = 8;
            if (options & (kTextOptionOpaque | kTextOptionClipped)) {
                rect = MapRect(r.S16(8), r.S16(10), r.S16(12), r.S16(14));
                offset = 16;
            }
            std::string text = WmfString(r, offset, length);
            // The advances follow the string when the record has room for them.
            const std::size_t dx =
                offset + ((static_cast<std::size_t>(length) + 1) & ~std::size_t{1});
            std::vector<double> advances;
            if (length > 0 && r.Size() >= dx + 2 * static_cast<std::size_t>(length)) {
                for (std::size_t i = 0; i < static_cast<std::size_t>(length); ++i)
                    advances.push_back(r.S16(dx + 2 * i));
            }
            Text(x, y, text, options, rect, advances);
            break;
        }
        case wmf::kSelectObject: {
            const std::uint32_t index = r.U16(0);
            if (auto it = objects_.find(index); it != objects_.end())
                Select(it->second);
            break;
        }
        case wmf::kDeleteObject: {
            const std::uint32_t index = r.U16(0);
            if (objects_.erase(index) != 0)
                freedSlots_.push(index);
            break;
        }
        case wmf::kCreatePenIndirect:
            WmfCreate(MakePen(r.U16(0), r.S16(2), ColorRef(r.U32(6))));
            break;
        case wmf::kCreateBrushIndirect:
            WmfCreate(MakeBrush(r.U16(0), ColorRef(r.U32(2)), r.U16(6)));
            break;
        case wmf::kCreateFontIndirect: {
            r.Need(0, 18);
            std::string face = AnsiToUtf8(UntilNul(r.Rest(18).substr(0, 32)));
            WmfCreate(MakeFont(r, 0, false, std::move(face)));
            break;
        }
        case wmf::kCreatePalette:
        case wmf::kCreatePatternBrush:
        case wmf::kDibCreatePatternBrush:
        case wmf::kCreateRegion:
            WmfCreate(Placeholder{});
            break;
        case wmf::kPatBlt:
            PatternBlt(r.U32(0),
                       MapRect(r.S16(10), r.S16(8), r.S16(10) + static_cast<double>(r.S16(6)),
                               r.S16(8) + static_cast<double>(r.S16(4))));
            break;
        case wmf::kDibStretchBlt:
        case wmf::kDibBitBlt:
        case wmf::kStretchDib:
            WmfBlt(function, r);
            break;
        default:
            break; // records of no interest to a picture
        }
    }

    void WmfBlt(std::uint16_t function, const Reader& r) {
        const std::uint32_t rop = r.U32(0);
        // Without a bitmap the record is its parameters alone, one word longer.
        const bool noBitmap =
            function != wmf::kStretchDib && r.Size() == static_cast<std::size_t>(function >> 8) * 2;
        auto box = [&](std::size_t at, std::int16_t w, std::int16_t h) {
            const double x = r.S16(at + 2), y = r.S16(at);
            return MapRect(x, y, x + w, y + h);
        };
        if (function == wmf::kDibStretchBlt) {
            if (noBitmap) {
                PatternBlt(rop, box(18, r.S16(16), r.S16(14)));
                return;
            }
            auto dib = MetafileDibReader::Read(r.Rest(20), std::nullopt, false);
            DrawDib(dib, box(16, r.S16(14), r.S16(12)), r.S16(10), r.S16(8), r.S16(6), r.S16(4),
                    false);
        } else if (function == wmf::kDibBitBlt) {
            if (noBitmap) {
                PatternBlt(rop, box(14, r.S16(12), r.S16(10)));
                return;
            }
            auto dib = MetafileDibReader::Read(r.Rest(16), std::nullopt, false);
            const std::int16_t w = r.S16(10), h = r.S16(8);
            DrawDib(dib, box(12, w, h), r.S16(6), r.S16(4), w, h, false);
        } else {
            auto dib = MetafileDibReader::Read(r.Rest(22), std::nullopt, r.U16(4) == 1);
            DrawDib(dib, box(18, r.S16(16), r.S16(14)), r.S16(12), r.S16(10), r.S16(8), r.S16(6),
                    true);
        }
    }

    // ---- EMF ----

    void RunEmf() {
        Reader all(file_.bytes_);
        std::size_t offset = file_.recordsBegin_;
        const std::size_t end = file_.recordsEnd_;
        while (offset < end) {
            if (end - offset < 8)
                throw Damaged();
            const std::uint32_t type = all.U32(offset);
            const std::uint32_t size = all.U32(offset + 4);
            if (size < 8 || size % 4 != 0 || size > end - offset)
                throw Damaged();
            if (type == emf::kEof)
                return;
            EmfRecord(type, Reader(all.Bytes(offset, size)));
            offset += size;
        }
    }

    std::vector<MetafilePoint> EmfPoints(const Reader& r, std::size_t offset, std::uint64_t count,
                                         bool small) const {
        const std::size_t pointSize = small ? 4 : 8;
        r.Need(offset, count * pointSize);
        std::vector<MetafilePoint> points;
        points.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = offset + i * pointSize;
            points.push_back(small ? Map(r.S16(at), r.S16(at + 2)) : Map(r.S32(at), r.S32(at + 4)));
        }
        return points;
    }

    MetafileRect EmfBox(const Reader& r, std::size_t at) const {
        return MapRect(r.S32(at), r.S32(at + 4), r.S32(at + 8), r.S32(at + 12));
    }

    void EmfCreate(std::uint32_t index, Object object) {
        if (index != 0 && index < static_cast<std::uint32_t>(file_.objectCount_))
            objects_[index] = std::move(object);
    }

    void EmfSelect(std::uint32_t index) {
        if (index & 0x80000000u) {
            switch (index & 0x7FFFFFFFu) {
            case 0:
                dc_.brush = MakeBrush(0, {255, 255, 255}, 0);
                break;
            case 1:
                dc_.brush = MakeBrush(0, {192, 192, 192}, 0);
                break;
            case 2:
                dc_.brush = MakeBrush(0, {128, 128, 128}, 0);
                break;
            case 3:
                dc_.brush = MakeBrush(0, {64, 64, 64}, 0);
                break;
            case 4:
                dc_.brush = MakeBrush(0, {0, 0, 0}, 0);
                break;
            case 5:
                dc_.brush = MakeBrush(1, {0, 0, 0}, 0);
                break;
            case 6:
                dc_.pen = MakePen(0, 0, {255, 255, 255});
                break;
            case 7:
                dc_.pen = MakePen(0, 0, {0, 0, 0});
                break;
            case 8:
                dc_.pen = MakePen(5, 0, {0, 0, 0});
                break;
            case 10:
            case 11:
            case 12:
            case 13:
            case 14:
            case 16:
            case 17:
                dc_.font = LogFont{};
                break;
            default:
                break;
            }
        } else if (auto it = objects_.find(index); it != objects_.end()) {
            Select(it->second);
        }
    }

    void EmfPolyPoly(std::uint32_t type, const Reader& r, bool small) {
        const std::uint64_t polygons = r.U32(24);
        const std::uint64_t total = r.U32(28);
        r.Need(32, polygons * 4);
        std::size_t offset = 32 + static_cast<std::size_t>(polygons) * 4;
        r.Need(offset, total * (small ? 4 : 8));
        std::vector<std::vector<MetafilePoint>> all;
        all.reserve(static_cast<std::size_t>(polygons));
        std::uint64_t used = 0;
        for (std::size_t i = 0; i < polygons; ++i) {
            const std::uint64_t count = r.U32(32 + 4 * i);
            used += count;
            if (used > total)
                throw Damaged();
            all.push_back(EmfPoints(r, offset, count, small));
            offset += static_cast<std::size_t>(count) * (small ? 4 : 8);
        }
        std::erase_if(all, [](const auto& p) { return p.size() < 2; });
        if (all.empty())
            return;
        if (type == emf::kPolyPolygon || type == emf::kPolyPolygon16) {
            canvas_.PolyPolygon(State(), all);
        } else {
            const MetafileState state = State();
            for (const auto& line : all)
                canvas_.Polyline(state, line);
        }
    }

    void EmfText(const Reader& r, bool wide) {
        const std::uint32_t chars = r.U32(44);
        const std::uint32_t offString = r.U32(48);
        const std::uint32_t options = r.U32(52);
        std::string_view bytes = r.Bytes(offString, std::uint64_t{chars} * (wide ? 2 : 1));
        std::optional<MetafileRect> rect;
        if (options & (kTextOptionOpaque | kTextOptionClipped))
            rect = EmfBox(r, 56);
        // One advance per character, or an x and a y advance each with this option.
        constexpr std::uint32_t kTextOptionPdy = 0x2000;
        const std::uint32_t offDx = r.U32(72);
        std::vector<double> advances;
        if (offDx != 0 && chars != 0) {
            const std::size_t step = options & kTextOptionPdy ? 8 : 4;
            r.Need(offDx, std::uint64_t{chars} * step);
            advances.reserve(chars);
            for (std::size_t i = 0; i < chars; ++i)
                advances.push_back(r.S32(offDx + i * step));
        }
        Text(r.S32(36), r.S32(40), wide ? Utf16ToUtf8(bytes) : AnsiToUtf8(bytes), options, rect,
             advances);
    }

    std::optional<MetafileDib> EmfDib(const Reader& r, std::size_t at, bool paletteIndices) const {
        const std::uint32_t offBmi = r.U32(at), cbBmi = r.U32(at + 4);
        const std::uint32_t offBits = r.U32(at + 8), cbBits = r.U32(at + 12);
        return MetafileDibReader::Read(r.Bytes(offBmi, cbBmi), r.Bytes(offBits, cbBits),
                                       paletteIndices);
    }

    void EmfRecord(std::uint32_t type, const Reader& r) {
        switch (type) {
        case emf::kHeader:
            break;
        case emf::kSetWindowExtEx:
            SetWindowExt(r.S32(8), r.S32(12));
            break;
        case emf::kSetWindowOrgEx:
            SetWindowOrg(r.S32(8), r.S32(12));
            break;
        case emf::kSetViewportExtEx:
            SetViewportExt(r.S32(8), r.S32(12));
            break;
        case emf::kSetViewportOrgEx:
            SetViewportOrg(r.S32(8), r.S32(12));
            break;
        case emf::kScaleViewportExtEx:
            ScaleViewportExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
            break;
        case emf::kScaleWindowExtEx:
            ScaleWindowExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
            break;
        case emf::kSetMapMode:
            SetMapMode(r.U32(8));
            break;
        case emf::kSetBkMode:
            SetBkMode(r.U32(8));
            break;
        case emf::kSetPolyFillMode:
            SetPolyFillMode(r.U32(8));
            break;
        case emf::kSetTextAlign:
            dc_.textAlign = r.U32(8);
            break;
        case emf::kSetTextColor:
            dc_.textColor = ColorRef(r.U32(8));
            break;
        case emf::kSetBkColor:
            dc_.backgroundColor = ColorRef(r.U32(8));
            break;
        case emf::kMoveToEx:
            dc_.curX = r.S32(8), dc_.curY = r.S32(12);
            break;
        case emf::kLineTo:
            LineTo(r.S32(8), r.S32(12));
            break;
        case emf::kSaveDc:
            SaveDc();
            break;
        case emf::kRestoreDc:
            RestoreDc(r.S32(8));
            break;
        case emf::kSelectObject:
            EmfSelect(r.U32(8));
            break;
        case emf::kDeleteObject: {
            const std::uint32_t index = r.U32(8);
            objects_.erase(index);
            break;
        }
        case emf::kCreatePen:
            EmfCreate(r.U32(8), MakePen(r.U32(12), r.S32(16), ColorRef(r.U32(24))));
            break;
        case emf::kExtCreatePen: {
            // A pen whose brush is hollow draws nothing.
            const std::uint32_t style = r.U32(36) == 1 ? 5 : r.U32(28);
            EmfCreate(r.U32(8), MakePen(style, r.U32(32), ColorRef(r.U32(40))));
            break;
        }
        case emf::kCreateBrushIndirect:
            EmfCreate(r.U32(8), MakeBrush(r.U32(12), ColorRef(r.U32(16)), r.U32(20)));
            break;
        case emf::kExtCreateFontIndirectW: {
            r.Need(12, 92);
            std::string face = Utf16ToUtf8(UntilNul16(r.Bytes(40, 64)));
            EmfCreate(r.U32(8), MakeFont(r, 12, true, std::move(face)));
            break;
        }
        case emf::kCreatePalette:
        case emf::kCreateMonoBrush:
        case emf::kCreateDibPatternBrushPt:
            EmfCreate(r.U32(8), Placeholder{});
            break;
        case emf::kRectangle:
            canvas_.Rectangle(State(), EmfBox(r, 8));
            break;
        case emf::kEllipse:
            canvas_.Ellipse(State(), EmfBox(r, 8));
            break;
        case emf::kRoundRect:
            canvas_.RoundRect(State(), EmfBox(r, 8), CornerX(r.S32(24)), CornerY(r.S32(28)));
            break;
        case emf::kArc:
        case emf::kChord:
        case emf::kPie: {
            const auto kind = type == emf::kArc   ? MetafileCanvas::ArcKind::Arc
                              : type == emf::kPie ? MetafileCanvas::ArcKind::Pie
                                                  : MetafileCanvas::ArcKind::Chord;
            canvas_.Arc(State(), kind, EmfBox(r, 8), Map(r.S32(24), r.S32(28)),
                        Map(r.S32(32), r.S32(36)));
            break;
        }
        case emf::kPolygon:
        case emf::kPolyline:
        case emf::kPolylineTo:
        case emf::kPolygon16:
        case emf::kPolyline16:
        case emf::kPolylineTo16: {
            const bool small =
                type == emf::kPolygon16 || type == emf::kPolyline16 || type == emf::kPolylineTo16;
            const bool to = type == emf::kPolylineTo || type == emf::kPolylineTo16;
            const std::uint32_t count = r.U32(24);
            std::vector<MetafilePoint> points = EmfPoints(r, 28, count, small);
            if (to) {
                if (count == 0)
                    break;
                points.insert(points.begin(), Map(dc_.curX, dc_.curY));
                const std::size_t last = 28 + (count - 1) * std::size_t{small ? 4u : 8u};
                dc_.curX = small ? r.S16(last) : r.S32(last);
                dc_.curY = small ? r.S16(last + 2) : r.S32(last + 4);
            }
            if (points.size() < 2)
                break;
            if (type == emf::kPolygon || type == emf::kPolygon16)
                canvas_.PolyPolygon(State(), {std::move(points)});
            else
                canvas_.Polyline(State(), points);
            break;
        }
        case emf::kPolyPolyline:
        case emf::kPolyPolygon:
            EmfPolyPoly(type, r, false);
            break;
        case emf::kPolyPolyline16:
        case emf::kPolyPolygon16:
            EmfPolyPoly(type, r, true);
            break;
        case emf::kExtTextOutA:
            EmfText(r, false);
            break;
        case emf::kExtTextOutW:
            EmfText(r, true);
            break;
        case emf::kBitBlt:
        case emf::kStretchBlt: {
            const std::int32_t x = r.S32(24), y = r.S32(28), w = r.S32(32), h = r.S32(36);
            const MetafileRect box =
                MapRect(x, y, static_cast<double>(x) + w, static_cast<double>(y) + h);
            const std::uint32_t rop = r.U32(40);
            if (r.U32(88) == 0) { // no bitmap: a fill by the raster operation
                PatternBlt(rop, box);
                break;
            }
            auto dib = EmfDib(r, 84, r.U32(80) == 1);
            const std::int64_t sw = type == emf::kStretchBlt ? r.S32(100) : w;
            const std::int64_t sh = type == emf::kStretchBlt ? r.S32(104) : h;
            DrawDib(dib, box, r.S32(44), r.S32(48), sw, sh, false);
            break;
        }
        case emf::kStretchDiBits: {
            const std::int32_t x = r.S32(24), y = r.S32(28), w = r.S32(72), h = r.S32(76);
            const MetafileRect box =
                MapRect(x, y, static_cast<double>(x) + w, static_cast<double>(y) + h);
            if (r.U32(52) == 0) {
                PatternBlt(r.U32(68), box);
                break;
            }
            auto dib = EmfDib(r, 48, r.U32(64) == 1);
            DrawDib(dib, box, r.S32(32), r.S32(36), r.S32(40), r.S32(44), true);
            break;
        }
        default:
            break; // records of no interest to a picture
        }
    }

    const Metafile& file_;
    MetafileCanvas& canvas_;
    MetafileRect target_;
    Dc dc_;
    std::vector<Dc> saved_;
    // The object table, as large as the header says, holding only the slots in use.
    std::unordered_map<std::uint32_t, Object> objects_;
    // WMF: a new object takes the lowest free slot: a freed one, else the next never used.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> freedSlots_;
    std::uint32_t unusedSlot_ = 0;
    std::optional<std::pair<int, int>> firstWindowExtent_;
};

namespace {

// Pixels at 96 dots per inch of a length in units of which perInch make an inch.
std::int64_t ToPixels(std::int64_t length, double perInch) {
    return std::llround(static_cast<double>(std::abs(length)) * 96.0 / perInch);
}

bool SizeAcceptable(std::int64_t width, std::int64_t height) {
    return width <= 0x7FFF && height <= 0x7FFF && width * height <= Metafile::kMaxPixels;
}

} // namespace

std::optional<Metafile> Metafile::Read(std::string bytes) {
    if (bytes.size() > kMaxFileSize)
        return std::nullopt;
    Metafile mf;
    mf.bytes_ = std::move(bytes);
    Reader r(mf.bytes_);
    try {
        if (r.Size() >= 44 && r.U32(0) == emf::kHeader && r.U32(40) == emf::kSignature) {
            const std::uint32_t headerSize = r.U32(4);
            const std::uint32_t total = r.U32(48);
            if (headerSize < 88 || headerSize % 4 != 0 || headerSize > total || total > r.Size())
                return std::nullopt;
            const std::int64_t devX = r.S32(72), devY = r.S32(76);
            const std::int64_t mmX = r.S32(80), mmY = r.S32(84);
            if (devX <= 0 || devY <= 0 || mmX <= 0 || mmY <= 0)
                return std::nullopt;
            const std::int64_t fl = r.S32(24), ft = r.S32(28), fr = r.S32(32), fb = r.S32(36);
            const std::int64_t width = ToPixels(fr - fl, 2540), height = ToPixels(fb - ft, 2540);
            if (!SizeAcceptable(width, height))
                return std::nullopt;
            mf.enhanced_ = true;
            mf.width_ = static_cast<int>(width);
            mf.height_ = static_cast<int>(height);
            mf.deviceUnitsPerMmX_ = static_cast<double>(devX) / static_cast<double>(mmX);
            mf.deviceUnitsPerMmY_ = static_cast<double>(devY) / static_cast<double>(mmY);
            mf.frame_ = {fl / 100.0 * mf.deviceUnitsPerMmX_, ft / 100.0 * mf.deviceUnitsPerMmY_,
                         fr / 100.0 * mf.deviceUnitsPerMmX_, fb / 100.0 * mf.deviceUnitsPerMmY_};
            mf.objectCount_ = r.U16(56);
            mf.recordsBegin_ = headerSize;
            mf.recordsEnd_ = total;
        } else {
            std::size_t header = 0;
            if (r.Size() >= 4 && r.U32(0) == kPlaceableKey) {
                const std::int64_t l = r.S16(6), t = r.S16(8), rt = r.S16(10), b = r.S16(12);
                const std::uint16_t inch = r.U16(14);
                if (inch == 0)
                    return std::nullopt;
                const std::int64_t width = ToPixels(rt - l, inch), height = ToPixels(b - t, inch);
                if (!SizeAcceptable(width, height))
                    return std::nullopt;
                mf.placeable_ = true;
                mf.width_ = static_cast<int>(width);
                mf.height_ = static_cast<int>(height);
                mf.frame_ = {double(l), double(t), double(rt), double(b)};
                mf.deviceUnitsPerMmX_ = mf.deviceUnitsPerMmY_ = inch / 25.4;
                header = 22;
            }
            r.Need(header, 18);
            const std::uint16_t type = r.U16(header);
            if ((type != 1 && type != 2) || r.U16(header + 2) != 9)
                return std::nullopt;
            const std::uint64_t size = std::uint64_t{r.U32(header + 6)} * 2;
            if (size < 18 || size > r.Size() - header)
                return std::nullopt;
            mf.objectCount_ = r.U16(header + 10);
            mf.recordsBegin_ = header + 18;
            mf.recordsEnd_ = header + static_cast<std::size_t>(size);
        }
        NullCanvas none;
        MetafilePlayer check(mf, none, {});
        check.Run();
        if (!mf.enhanced_ && !mf.placeable_) {
            if (auto extent = check.FirstWindowExtent()) {
                const std::int64_t width = std::abs(extent->first);
                const std::int64_t height = std::abs(extent->second);
                if (!SizeAcceptable(width, height))
                    return std::nullopt;
                mf.width_ = static_cast<int>(width);
                mf.height_ = static_cast<int>(height);
                mf.frame_ = {0, 0, double(width), double(height)};
            }
        }
    } catch (const Damaged&) {
        return std::nullopt;
    }
    return mf;
}

std::optional<Metafile> Metafile::Load(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) <= kMaxFileSize;
    if (ok) {
        // Read up to one byte past the limit, so a file that grew meanwhile is refused too.
        bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ok = false;
            else if (n == 0)
                break;
            else
                done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
        ok = ok && done <= static_cast<std::size_t>(st.st_size);
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return Read(std::move(bytes));
}

void Metafile::Play(MetafileCanvas& canvas, const MetafileRect& target) const {
    MetafilePlayer player(*this, canvas, target);
    try {
        player.Run();
    } catch (const Damaged&) {
        // Read() has walked the same records: nothing here can be damaged.
    }
}

} // namespace platform

#pragma once

// The inside of the metafile reader (see metafileparse.h): the checked byte reader, the
// record numbers of both formats and the player that holds the device-context state.
// The player's methods are defined by family: the state, mapping, paths, clipping and
// shared drawing in metafileplayer.cpp, the records in metafilewmf.cpp and
// metafileemf.cpp.
//
// Threads: a player belongs to the one thread that calls Metafile::Play.

#include "platform/metafilegeometry.h"
#include "platform/metafileparse.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

namespace metafile {

// A length, count or offset that does not fit its record. The record is skipped.
class Damaged : public std::runtime_error {
public:
    Damaged() : std::runtime_error("damaged metafile record") {}
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
    float F32(std::size_t offset) const;
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

MetafileColor ColorRef(std::uint32_t value);
std::string AnsiToUtf8(std::string_view text);   // code page 1252
std::string Utf16ToUtf8(std::string_view bytes); // little-endian
std::string_view UntilNul(std::string_view text);
std::string_view UntilNul16(std::string_view bytes);

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
                        kScaleWindowExt = 0x0410, kScaleViewportExt = 0x0412,
                        kExcludeClipRect = 0x0415, kIntersectClipRect = 0x0416, kEllipse = 0x0418,
                        kRectangle = 0x041B, kTextOut = 0x0521, kPolyPolygon = 0x0538,
                        kRoundRect = 0x061C, kPatBlt = 0x061D, kCreateRegion = 0x06FF,
                        kArc = 0x0817, kPie = 0x081A, kChord = 0x0830, kDibBitBlt = 0x0940,
                        kExtTextOut = 0x0A32, kDibStretchBlt = 0x0B41, kStretchDib = 0x0F43;
} // namespace wmf

namespace emf {
constexpr std::uint32_t kHeader = 1, kPolyBezier = 2, kPolygon = 3, kPolyline = 4,
                        kPolyBezierTo = 5, kPolylineTo = 6, kPolyPolyline = 7, kPolyPolygon = 8,
                        kSetWindowExtEx = 9, kSetWindowOrgEx = 10, kSetViewportExtEx = 11,
                        kSetViewportOrgEx = 12, kEof = 14, kSetMapMode = 17, kSetBkMode = 18,
                        kSetPolyFillMode = 19, kSetTextAlign = 22, kSetTextColor = 24,
                        kSetBkColor = 25, kMoveToEx = 27, kExcludeClipRect = 29,
                        kIntersectClipRect = 30, kScaleViewportExtEx = 31, kScaleWindowExtEx = 32,
                        kSaveDc = 33, kRestoreDc = 34, kSetWorldTransform = 35,
                        kModifyWorldTransform = 36, kSelectObject = 37, kCreatePen = 38,
                        kCreateBrushIndirect = 39, kDeleteObject = 40, kEllipse = 42,
                        kRectangle = 43, kRoundRect = 44, kArc = 45, kChord = 46, kPie = 47,
                        kCreatePalette = 49, kLineTo = 54, kBeginPath = 59, kEndPath = 60,
                        kCloseFigure = 61, kFillPath = 62, kStrokeAndFillPath = 63,
                        kStrokePath = 64, kFlattenPath = 65, kSelectClipPath = 67, kAbortPath = 68,
                        kExtSelectClipRgn = 75, kBitBlt = 76, kStretchBlt = 77, kMaskBlt = 78,
                        kStretchDiBits = 81, kExtCreateFontIndirectW = 82, kExtTextOutA = 83,
                        kExtTextOutW = 84, kPolyBezier16 = 85, kPolygon16 = 86, kPolyline16 = 87,
                        kPolyBezierTo16 = 88, kPolylineTo16 = 89, kPolyPolyline16 = 90,
                        kPolyPolygon16 = 91, kCreateMonoBrush = 93, kCreateDibPatternBrushPt = 94,
                        kExtCreatePen = 95, kAlphaBlend = 114, kGradientFill = 118;
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
constexpr std::int64_t kMaxMetafileDibPixels = 16 << 20;
// The points one record may become once its curves are flattened, and the figures a
// path may hold: bounds on the memory a small hostile record can ask for.
constexpr std::size_t kMaxRecordPoints = 1 << 20;
constexpr std::size_t kMaxPathPoints = 1 << 22;
// Clip operations kept at once; further ones are ignored.
constexpr std::size_t kMaxClipSteps = 256;

double Clamp(double value, double limit);

} // namespace metafile

// Reads a bitmap of a record: its header and colour table, and its rows.
class MetafileDibReader {
public:
    // info: the header and colour table; separateBits: the rows, or nullopt when they
    // follow the colour table in info. nullopt for a bitmap that is not drawn: a header
    // this reader does not know, colours that are indices into a palette the file does not
    // carry here, a colour table or rows shorter than the header counts, too many pixels.
    static std::optional<MetafileDib>
    Read(std::string_view info, std::optional<std::string_view> separateBits, bool paletteIndices);
};

// Interprets the records of one metafile onto a canvas, holding the device-context state.
class MetafilePlayer {
public:
    MetafilePlayer(const Metafile& file, MetafileCanvas& canvas, const MetafileRect& target)
        : file_(file), canvas_(canvas), target_(target) {}

    // Plays every record up to the end record, the end of the file or the first record
    // whose size leaves the file; records damaged inside are skipped.
    void Run();

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
        int mode = metafile::kMapText;
        double wox = 0, woy = 0, wex = 1, wey = 1;
        double vox = 0, voy = 0, vex = 1, vey = 1;
    };
    // World transform: x' = m11 x + m21 y + dx, y' = m12 x + m22 y + dy.
    struct Xform {
        double m11 = 1, m12 = 0, m21 = 0, m22 = 1, dx = 0, dy = 0;
        Xform Then(const Xform& next) const; // this first, then next
    };
    struct Dc {
        Mapping map;
        Xform world;
        LogPen pen;
        MetafileBrush brush;
        LogFont font;
        MetafileColor textColor{0, 0, 0};
        MetafileColor backgroundColor{255, 255, 255};
        bool opaque = true;
        bool winding = false;
        std::uint32_t textAlign = 0;
        double curX = 0, curY = 0;
        std::shared_ptr<const MetafileClip> clip;
    };
    // A figure of the path in target pixels.
    struct Figure {
        std::vector<MetafilePoint> points;
        bool closed = false;
    };

    // ---- mapping (metafileplayer.cpp) ----
    // target = a * page + b on each axis, page = world(logical).
    void Coefficients(double& ax, double& bx, double& ay, double& by) const;
    MetafilePoint Map(double x, double y) const;
    MetafileRect MapRect(double l, double t, double r, double b) const;
    // Reference-device pixels (where regions are given) to target pixels.
    MetafilePoint MapDevice(double x, double y) const;
    double ScaleX() const;
    double ScaleY() const;
    bool Turned() const; // the world transform turns or shears
    MetafileState State() const;

    // ---- state records shared by both formats ----
    void SetWindowOrg(double x, double y);
    void SetViewportOrg(double x, double y);
    bool ExtentsApply() const;
    static bool UsableExtent(double& x, double& y);
    void SetWindowExt(double x, double y);
    void SetViewportExt(double x, double y);
    double CornerX(double logical) const;
    double CornerY(double logical) const;
    void ScaleWindowExt(double xn, double xd, double yn, double yd);
    void ScaleViewportExt(double xn, double xd, double yn, double yd);
    void SetMapMode(std::uint32_t mode);
    void SetBkMode(std::uint32_t mode);
    void SetPolyFillMode(std::uint32_t mode);
    void SaveDc();
    void RestoreDc(std::int64_t which);
    void SetWorldTransform(const Xform& x);
    void ModifyWorldTransform(const Xform& x, std::uint32_t mode);
    static LogPen MakePen(std::uint32_t style, double width, MetafileColor color);
    static MetafileBrush MakeBrush(std::uint32_t style, MetafileColor color, std::uint32_t hatch);
    static LogFont MakeFont(const metafile::Reader& r, std::size_t offset, bool wide,
                            std::string face);
    void Select(const Object& object);

    // ---- clipping ----
    void Clip(MetafileClip::Op op, std::vector<std::vector<MetafilePoint>> polygons, bool winding);
    void IntersectClipRect(double l, double t, double r, double b);
    void ExcludeClipRect(double l, double t, double r, double b);
    std::vector<MetafilePoint> LogicalRectPolygon(double l, double t, double r, double b) const;

    // ---- paths and figures ----
    // Logical outlines mapped to target pixels, curves flattened.
    std::vector<Figure> Flatten(const metafile::Outline& outline, bool closed) const;
    void AddFigures(std::vector<Figure> figures);
    // Adds points to the figure the current position ends (a new one from start when
    // there is none or it is closed).
    void ContinueFigure(std::vector<MetafilePoint> points, MetafilePoint start);
    void BeginPath();
    void EndPath();
    void CloseFigure();
    void DrawPath(bool fill, bool stroke);
    void SelectClipPath(std::uint32_t mode);

    // ---- drawing shared by both formats: each one adds to the path instead while a
    // path is open ----
    void MoveTo(double x, double y);
    void LineTo(double x, double y);
    void DrawPolyline(std::vector<MetafilePoint> points);
    void DrawPolygons(std::vector<std::vector<MetafilePoint>> polygons);
    // From the current position on through points (target pixels); the caller moves
    // the current position.
    void DrawPolylineTo(std::vector<MetafilePoint> points);
    // points: logical, start then three per curve; to: from the current position.
    void DrawBeziers(const std::vector<std::pair<double, double>>& points, bool to);
    void DrawRectangle(double l, double t, double r, double b);
    void DrawEllipse(double l, double t, double r, double b);
    void DrawRoundRect(double l, double t, double r, double b, double w, double h);
    void DrawArc(MetafileCanvas::ArcKind kind, double l, double t, double r, double b, double xs,
                 double ys, double xe, double ye);
    void Text(double x, double y, const std::string& utf8, std::uint32_t options,
              const std::optional<MetafileRect>& rect, const std::vector<double>& advances);
    void PatternBlt(std::uint32_t rop, const MetafileRect& box);
    // The source rectangle clamped to the bitmap; false when nothing of it is left.
    bool SourceInside(const MetafileDib& dib, std::int64_t& sx, std::int64_t& sy, std::int64_t& sw,
                      std::int64_t& sh, bool sourceBottomUp) const;
    void DrawDib(const std::optional<MetafileDib>& dib, const MetafileRect& box, std::int64_t sx,
                 std::int64_t sy, std::int64_t sw, std::int64_t sh, bool sourceBottomUp);

    // ---- WMF (metafilewmf.cpp) ----
    void RunWmf();
    std::vector<std::pair<double, double>> WmfPoints(const metafile::Reader& r, std::size_t offset,
                                                     std::size_t count) const;
    void WmfCreate(Object object);
    std::string WmfString(const metafile::Reader& r, std::size_t offset, std::int16_t length) const;
    void WmfRecord(std::uint16_t function, const metafile::Reader& r);
    void WmfBlt(std::uint16_t function, const metafile::Reader& r);

    // ---- EMF (metafileemf.cpp) ----
    void RunEmf();
    std::vector<std::pair<double, double>> EmfPoints(const metafile::Reader& r, std::size_t offset,
                                                     std::uint64_t count, bool small) const;
    MetafileRect EmfBox(const metafile::Reader& r, std::size_t at) const;
    void EmfCreate(std::uint32_t index, Object object);
    void EmfSelect(std::uint32_t index);
    void EmfPolyPoly(std::uint32_t type, const metafile::Reader& r, bool small);
    void EmfText(const metafile::Reader& r, bool wide);
    std::optional<MetafileDib> EmfDib(const metafile::Reader& r, std::size_t at,
                                      bool paletteIndices) const;
    void EmfExtSelectClipRgn(const metafile::Reader& r);
    void EmfGradientFill(const metafile::Reader& r);
    void EmfMaskBlt(const metafile::Reader& r);
    void EmfRecord(std::uint32_t type, const metafile::Reader& r);

    std::vector<MetafilePoint> MapAll(const std::vector<std::pair<double, double>>& points) const;

    const Metafile& file_;
    MetafileCanvas& canvas_;
    MetafileRect target_;
    Dc dc_;
    std::vector<Dc> saved_;
    // The path: open between BeginPath and EndPath, then kept for the record that uses it.
    bool pathOpen_ = false;
    std::vector<Figure> path_;
    std::size_t pathPoints_ = 0;
    // The object table, as large as the header says, holding only the slots in use.
    std::unordered_map<std::uint32_t, Object> objects_;
    // WMF: a new object takes the lowest free slot: a freed one, else the next never used.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> freedSlots_;
    std::uint32_t unusedSlot_ = 0;
    std::optional<std::pair<int, int>> firstWindowExtent_;
};

} // namespace platform

#pragma once

// Reader of Windows metafiles: WMF (with or without the placeable header) and EMF.
// The records are interpreted here, without any drawing library: the device-context
// state (object table, selected pen, brush and font, colours, modes, window and
// viewport mapping, world transform, clip region, path, saved states, current position)
// lives in the player, and every drawing record reaches a MetafileCanvas as one call in
// target pixels with the state resolved. Curves (beziers, and shapes in a path or under
// a turning transform) reach it flattened into polygons. The Qt player in platform/ui is
// one such canvas.
//
// Records are read as the system's player reads them: a record whose own contents do
// not fit it (a count past its end, a bitmap whose colour table is short) is skipped and
// the next one drawn; a record whose size leaves the file ends the picture there, with
// everything before it drawn. Only a file whose header cannot be read is refused. Read()
// walks the records once with a canvas that draws nothing, so that playing never meets
// a surprise. Records of no interest are skipped; records that name an object that does
// not exist are ignored, as the system's drawing layer ignores them. The structure of
// the code: metafileparse.cpp (headers, files), metafileplayer.h/.cpp (the state and
// the drawing shared by both formats), metafilewmf.cpp and metafileemf.cpp (the records
// of each format), metafilegeometry.h/.cpp (curves), dib.h (the bitmaps).

#include "platform/dib.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MetafileColor {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const MetafileColor&) const = default;
};

struct MetafilePoint {
    double x = 0, y = 0;
};

// Corners as the record gives them (after mapping); not normalised.
struct MetafileRect {
    double left = 0, top = 0, right = 0, bottom = 0;
};

struct MetafilePen {
    enum class Style { Solid, Dash, Dot, DashDot, DashDotDot, Null, InsideFrame };
    Style style = Style::Solid;
    double width = 0; // target pixels; below 1 draws one pixel wide
    MetafileColor color;
};

struct MetafileBrush {
    enum class Style { Solid, Null, Hatched };
    // Hatch patterns as the records number them.
    enum class Hatch {
        Horizontal,
        Vertical,
        ForwardDiagonal,
        BackwardDiagonal,
        Cross,
        DiagonalCross
    };
    Style style = Style::Solid;
    Hatch hatch = Hatch::Horizontal;
    MetafileColor color{255, 255, 255};
};

struct MetafileFont {
    std::string face; // as written in the file (ANSI or UTF-16 decoded to UTF-8)
    // Target pixels: negative is the character (em) height, positive the cell height,
    // 0 the default height.
    double height = 0;
    double width = 0; // average character width in target pixels; 0: the font's own
    int weight = 400;
    bool italic = false, underline = false, strikeOut = false;
    double escapement = 0; // degrees, counter-clockwise
    std::uint8_t charset = 0;
};

// Text alignment bits of the records.
inline constexpr std::uint32_t kTextAlignUpdateCp = 1;
inline constexpr std::uint32_t kTextAlignRight = 2;
inline constexpr std::uint32_t kTextAlignCenter = 6;
inline constexpr std::uint32_t kTextAlignBottom = 8;
inline constexpr std::uint32_t kTextAlignBaseline = 24;

// A clip region in target pixels: the region of base (the whole picture when there is
// none) combined with a set of polygons (filled by their fill rule). Each clip record
// adds one link, so a canvas that keeps what it made of the base needs only the last
// step.
struct MetafileClip {
    enum class Op { Intersect, Union, Xor, Exclude, Copy };
    std::shared_ptr<const MetafileClip> base; // none for Copy
    Op op = Op::Intersect;
    std::vector<std::vector<MetafilePoint>> polygons;
    bool winding = false;
    std::size_t depth = 1; // links down to the whole picture
};

// The drawing state a canvas call uses, in target pixels.
struct MetafileState {
    MetafilePen pen;
    MetafileBrush brush;
    MetafileFont font;
    MetafileColor textColor{0, 0, 0};
    MetafileColor backgroundColor{255, 255, 255};
    bool opaqueBackground = true; // background mode: opaque (true) or transparent
    bool winding = false;         // polygon fill mode: winding (true) or alternate
    std::uint32_t textAlign = 0;  // kTextAlign* bits
    // Where drawing may change pixels; null: the whole picture. Shared between states
    // and never changed, so a canvas may keep what it made of one by its address.
    std::shared_ptr<const MetafileClip> clip;
};

// A device-independent bitmap inside the file, its header and colour table checked
// against the bytes that hold them (platform/dib.h reads it). The rows are a view into
// the metafile's bytes, valid while the Metafile lives.
class MetafileDib {
public:
    int Width() const { return info_.width; }
    int Height() const { return info_.height; } // positive; BottomUp() tells the row order
    bool BottomUp() const { return info_.bottomUp; }
    int BitCount() const { return info_.bitCount; }
    const DibInfo& Info() const { return info_; }
    std::string_view Bits() const { return bits_; }
    // The pixels, top row first; nullopt only when they cannot be decoded.
    std::optional<DibPixels> Decode() const { return DecodeDib(info_, bits_); }

private:
    friend class MetafileDibReader;
    DibInfo info_;
    std::string_view bits_;
};

// One corner of a gradient: its place and colour.
struct MetafileVertex {
    MetafilePoint point;
    MetafileColor color;
};

// What a metafile draws on. Coordinates are target pixels (the picture's frame mapped
// onto the rectangle given to Play), as doubles: the canvas rounds as its drawing rules
// say. Used on the thread that calls Play.
class MetafileCanvas {
public:
    enum class ArcKind { Arc, Chord, Pie };
    struct TextOptions {
        std::optional<MetafileRect> opaque; // filled with the background colour first
        std::optional<MetafileRect> clip;   // the text is clipped to it
        // When the record gives them: the advance of each UTF-16 unit of the text in
        // target pixels, which places the characters where the writer measured them.
        std::vector<double> advances;
    };

    virtual ~MetafileCanvas() = default;
    virtual void Polyline(const MetafileState& state, const std::vector<MetafilePoint>& points) = 0;
    // Each polygon closed; filled with the brush by the state's fill mode, outlined with
    // the pen.
    virtual void PolyPolygon(const MetafileState& state,
                             const std::vector<std::vector<MetafilePoint>>& polygons) = 0;
    virtual void Rectangle(const MetafileState& state, const MetafileRect& box) = 0;
    virtual void RoundRect(const MetafileState& state, const MetafileRect& box, double cornerWidth,
                           double cornerHeight) = 0;
    virtual void Ellipse(const MetafileState& state, const MetafileRect& box) = 0;
    // From the ray through start to the ray through end, counter-clockwise on the target.
    virtual void Arc(const MetafileState& state, ArcKind kind, const MetafileRect& box,
                     MetafilePoint start, MetafilePoint end) = 0;
    // Text at its reference point, aligned by state.textAlign; returns the advance along
    // the baseline in target pixels.
    virtual double Text(const MetafileState& state, MetafilePoint reference,
                        const std::string& utf8, const TextOptions& options) = 0;
    // Fills the box with the state's brush, no outline.
    virtual void FillRect(const MetafileState& state, const MetafileRect& box) = 0;
    // Copies the source rectangle of the bitmap (pixels, top row 0) stretched onto box.
    virtual void StretchBitmap(const MetafileState& state, const MetafileRect& box,
                               const MetafileDib& dib, int srcX, int srcY, int srcWidth,
                               int srcHeight) = 0;
    // The same blended over what is there: each source pixel weighed by constantAlpha
    // (0 to 255) and, with sourceAlpha, by its own alpha, its colours then counting as
    // already multiplied by that alpha.
    virtual void AlphaBitmap(const MetafileState& state, const MetafileRect& box,
                             const MetafileDib& dib, int srcX, int srcY, int srcWidth,
                             int srcHeight, std::uint8_t constantAlpha, bool sourceAlpha) = 0;
    // A raster operation over the brush colour, the source (black without one) and what
    // is there: where the mask's pixel is set (everywhere without a mask) the foreground
    // operation, elsewhere the background one. Operations are the records' ternary
    // operation numbers (0xCC copies the source, 0xAA keeps what is there). The source
    // and the mask start at their corners and are stretched together onto box.
    virtual void MaskBitmap(const MetafileState& state, const MetafileRect& box,
                            const MetafileDib* source, int srcX, int srcY, int srcWidth,
                            int srcHeight, const MetafileDib* mask, int maskX, int maskY,
                            std::uint8_t foreground, std::uint8_t background) = 0;
    // A box shaded from one colour at its left (or top) edge to another at its right (or
    // bottom) edge.
    virtual void GradientRect(const MetafileState& state, const MetafileRect& box,
                              MetafileColor from, MetafileColor to, bool vertical) = 0;
    // A triangle whose colour is interpolated between its corners.
    virtual void GradientTriangle(const MetafileState& state, const MetafileVertex& a,
                                  const MetafileVertex& b, const MetafileVertex& c) = 0;
};

// A checked metafile held in memory. Immutable after Read; Play may be called from any
// one thread at a time per canvas.
class Metafile {
public:
    // Larger files are refused unread.
    static constexpr std::size_t kMaxFileSize = 64u << 20;
    // A picture over this many pixels counts as unreadable, as its size would become
    // the size of a bitmap.
    static constexpr std::int64_t kMaxPixels = 64 << 20;

    // The metafile in bytes; nullopt when they hold no WMF or EMF header that can be read.
    static std::optional<Metafile> Read(std::string bytes);
    // Reads the file; nullopt when it is missing, unreadable, too large or not a metafile.
    static std::optional<Metafile> Load(const std::string& path);

    bool IsEnhanced() const { return enhanced_; }
    // The picture's size in pixels at 96 dots per inch.
    int Width() const { return width_; }
    int Height() const { return height_; }

    // Plays every record, the picture's frame mapped onto target (pixels).
    void Play(MetafileCanvas& canvas, const MetafileRect& target) const;

private:
    friend class MetafilePlayer;
    std::string bytes_;
    bool enhanced_ = false;
    bool placeable_ = false;
    int width_ = 0, height_ = 0;
    // The picture's frame in the player's device units (EMF: reference device pixels;
    // WMF: the units of its bounds or window).
    MetafileRect frame_;
    double deviceUnitsPerMmX_ = 96 / 25.4, deviceUnitsPerMmY_ = 96 / 25.4;
    std::size_t recordsBegin_ = 0, recordsEnd_ = 0;
    int objectCount_ = 0;
};

} // namespace platform

#pragma once

// Reader of Windows metafiles: WMF (with or without the placeable header) and EMF.
// The records are interpreted here, without any drawing library: the device-context
// state (object table, selected pen, brush and font, colours, modes, window and
// viewport mapping, saved states, current position) lives in the player, and every
// drawing record reaches a MetafileCanvas as one call in target pixels with the state
// resolved. The Qt player in platform/ui is one such canvas.
//
// Read() walks the whole file once with a canvas that draws nothing: every length,
// count and offset is checked then, so a file that passes plays the same records
// without surprises, and a damaged or hostile one is refused before anything is drawn.
// Records of no interest are skipped; records that name an object that does not exist
// are ignored, as the system's drawing layer ignores them.

#include <cstdint>
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
};

// A device-independent bitmap inside the file, its header checked against the bytes
// that hold it: rows of Stride() bytes, Height() of them, 1, 4 or 8 bits through the
// colour table, or 16 (5-5-5), 24 or 32 bits of blue, green, red. Views into the
// metafile's bytes; valid while the Metafile lives.
class MetafileDib {
public:
    int Width() const { return width_; }
    int Height() const { return height_; } // positive; BottomUp() tells the row order
    bool BottomUp() const { return bottomUp_; }
    int BitCount() const { return bitCount_; }
    std::size_t Stride() const { return stride_; }
    std::string_view Bits() const { return bits_; }
    // The colour table: entries of blue, green, red, each followed by a reserved byte
    // when PaletteEntrySize() is 4.
    std::string_view Palette() const { return palette_; }
    int PaletteEntrySize() const { return paletteEntrySize_; }

private:
    friend class MetafileDibReader;
    std::string_view palette_;
    std::string_view bits_;
    int width_ = 0, height_ = 0;
    bool bottomUp_ = true;
    int bitCount_ = 0;
    int paletteEntrySize_ = 4;
    std::size_t stride_ = 0;
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
    virtual void StretchBitmap(const MetafileRect& box, const MetafileDib& dib, int srcX, int srcY,
                               int srcWidth, int srcHeight) = 0;
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

    // The metafile in bytes; nullopt when they are not a whole, well-formed WMF or EMF.
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

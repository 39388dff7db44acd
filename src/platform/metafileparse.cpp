#include "platform/metafileparse.h"

#include "platform/fileio.h"
#include "platform/metafileplayer.h"
#include "platform/textcodec.h"
#include "platform/uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace metafile {

MetafileColor ColorRef(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16)};
}

std::string AnsiToUtf8(std::string_view text) {
    return Windows1252ToUtf8(text);
}

std::string Utf16ToUtf8(std::string_view bytes) {
    return *platform::Utf16ToUtf8(bytes, ByteOrder::LittleEndian);
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

} // namespace metafile

using namespace metafile;

namespace {

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
    void StretchBitmap(const MetafileState&, const MetafileRect&, const MetafileDib&, int, int, int,
                       int) override {}
    void AlphaBitmap(const MetafileState&, const MetafileRect&, const MetafileDib&, int, int, int,
                     int, std::uint8_t, bool) override {}
    void MaskBitmap(const MetafileState&, const MetafileRect&, const MetafileDib*, int, int, int,
                    int, const MetafileDib*, int, int, std::uint8_t, std::uint8_t) override {}
    void GradientRect(const MetafileState&, const MetafileRect&, MetafileColor, MetafileColor,
                      bool) override {}
    void GradientTriangle(const MetafileState&, const MetafileVertex&, const MetafileVertex&,
                          const MetafileVertex&) override {}
};

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
            if (headerSize < 88 || headerSize % 4 != 0 || headerSize > r.Size())
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
            // A file cut short keeps the records it still holds.
            mf.recordsEnd_ =
                total >= headerSize ? std::min<std::size_t>(total, r.Size()) : r.Size();
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
            // A size past the end of the file (a file cut short, or a writer that counted
            // wrong) keeps the records the file holds; the player stops at the first one
            // that does not fit.
            const std::uint64_t size = std::uint64_t{r.U32(header + 6)} * 2;
            const std::uint64_t available = r.Size() - header;
            mf.objectCount_ = r.U16(header + 10);
            mf.recordsBegin_ = header + 18;
            mf.recordsEnd_ = header + static_cast<std::size_t>(
                                          size >= 18 ? std::min(size, available) : available);
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
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = file.Get();
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) <= kMaxFileSize;
    if (ok) {
        // Read up to one byte past the size, so a file that grew meanwhile is refused too.
        const auto size = static_cast<std::size_t>(st.st_size);
        bytes.reserve(size + 1);
        ok = ReadToEnd(fd, bytes, size) == 0 && bytes.size() <= size;
    }
    if (!ok)
        return std::nullopt;
    return Read(std::move(bytes));
}

void Metafile::Play(MetafileCanvas& canvas, const MetafileRect& target) const {
    MetafilePlayer player(*this, canvas, target);
    player.Run(); // damaged records are skipped inside
}

} // namespace platform

// The records of 16-bit metafiles.

#include "platform/metafileplayer.h"

namespace platform {

using namespace metafile;

void MetafilePlayer::RunWmf() {
    Reader all(file_.bytes_);
    std::size_t offset = file_.recordsBegin_;
    const std::size_t end = file_.recordsEnd_;
    while (offset < end) {
        // A record that does not fit what is left of the file ends the picture; one
        // whose contents do not fit it is skipped.
        if (end - offset < 6)
            return;
        const std::uint64_t size = std::uint64_t{all.U32(offset)} * 2;
        const std::uint16_t function = all.U16(offset + 4);
        if (size < 6 || size > end - offset)
            return;
        if (function == wmf::kEof)
            return;
        try {
            WmfRecord(function, Reader(all.Bytes(offset + 6, size - 6)));
        } catch (const Damaged&) {
        }
        offset += size;
    }
}

std::vector<std::pair<double, double>>
MetafilePlayer::WmfPoints(const Reader& r, std::size_t offset, std::size_t count) const {
    r.Need(offset, std::uint64_t{count} * 4);
    std::vector<std::pair<double, double>> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        points.emplace_back(r.S16(offset + 4 * i), r.S16(offset + 4 * i + 2));
    return points;
}

void MetafilePlayer::WmfCreate(Object object) {
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

std::string MetafilePlayer::WmfString(const Reader& r, std::size_t offset,
                                      std::int16_t length) const {
    if (length < 0)
        throw Damaged();
    return AnsiToUtf8(r.Bytes(offset, static_cast<std::size_t>(length)));
}

void MetafilePlayer::WmfRecord(std::uint16_t function, const Reader& r) {
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
    case wmf::kIntersectClipRect:
        IntersectClipRect(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
        break;
    case wmf::kExcludeClipRect:
        ExcludeClipRect(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
        break;
    case wmf::kMoveTo:
        MoveTo(r.S16(2), r.S16(0));
        break;
    case wmf::kLineTo:
        LineTo(r.S16(2), r.S16(0));
        break;
    case wmf::kRectangle:
        DrawRectangle(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
        break;
    case wmf::kEllipse:
        DrawEllipse(r.S16(6), r.S16(4), r.S16(2), r.S16(0));
        break;
    case wmf::kRoundRect:
        DrawRoundRect(r.S16(10), r.S16(8), r.S16(6), r.S16(4), r.S16(2), r.S16(0));
        break;
    case wmf::kArc:
    case wmf::kPie:
    case wmf::kChord: {
        const auto kind = function == wmf::kArc   ? MetafileCanvas::ArcKind::Arc
                          : function == wmf::kPie ? MetafileCanvas::ArcKind::Pie
                                                  : MetafileCanvas::ArcKind::Chord;
        DrawArc(kind, r.S16(14), r.S16(12), r.S16(10), r.S16(8), r.S16(6), r.S16(4), r.S16(2),
                r.S16(0));
        break;
    }
    case wmf::kPolygon:
    case wmf::kPolyline: {
        const std::int16_t count = r.S16(0);
        if (count < 0)
            throw Damaged();
        std::vector<MetafilePoint> points =
            MapAll(WmfPoints(r, 2, static_cast<std::size_t>(count)));
        if (points.size() < 2)
            break;
        if (function == wmf::kPolyline)
            DrawPolyline(std::move(points));
        else
            DrawPolygons({std::move(points)});
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
            all.push_back(MapAll(WmfPoints(r, offset, count)));
            offset += 4 * count;
        }
        DrawPolygons(std::move(all));
        break;
    }
    case wmf::kTextOut: {
        const std::int16_t length = r.S16(0);
        std::string text = WmfString(r, 2, length);
        const std::size_t after = 2 + ((static_cast<std::size_t>(length) + 1) & ~std::size_t{1});
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
        const std::size_t dx = offset + ((static_cast<std::size_t>(length) + 1) & ~std::size_t{1});
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
        PatternBlt(r.U32(0), MapRect(r.S16(10), r.S16(8), r.S16(10) + static_cast<double>(r.S16(6)),
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

void MetafilePlayer::WmfBlt(std::uint16_t function, const Reader& r) {
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
        DrawDib(dib, box(16, r.S16(14), r.S16(12)), r.S16(10), r.S16(8), r.S16(6), r.S16(4), false);
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
        DrawDib(dib, box(18, r.S16(16), r.S16(14)), r.S16(12), r.S16(10), r.S16(8), r.S16(6), true);
    }
}

} // namespace platform

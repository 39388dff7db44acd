// The records of enhanced metafiles.

#include "platform/metafileplayer.h"

#include <algorithm>

namespace platform {

using namespace metafile;

void MetafilePlayer::RunEmf() {
    Reader all(file_.bytes_);
    std::size_t offset = file_.recordsBegin_;
    const std::size_t end = file_.recordsEnd_;
    while (offset < end) {
        // A record that does not fit what is left of the file ends the picture; one
        // whose contents do not fit it is skipped.
        if (end - offset < 8)
            return;
        const std::uint32_t type = all.U32(offset);
        const std::uint32_t size = all.U32(offset + 4);
        if (size < 8 || size % 4 != 0 || size > end - offset)
            return;
        if (type == emf::kEof)
            return;
        try {
            EmfRecord(type, Reader(all.Bytes(offset, size)));
        } catch (const Damaged&) {
        }
        offset += size;
    }
}

std::vector<std::pair<double, double>> MetafilePlayer::EmfPoints(const Reader& r,
                                                                 std::size_t offset,
                                                                 std::uint64_t count,
                                                                 bool small) const {
    const std::size_t pointSize = small ? 4 : 8;
    r.Need(offset, count * pointSize);
    std::vector<std::pair<double, double>> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = offset + i * pointSize;
        if (small)
            points.emplace_back(r.S16(at), r.S16(at + 2));
        else
            points.emplace_back(r.S32(at), r.S32(at + 4));
    }
    return points;
}

MetafileRect MetafilePlayer::EmfBox(const Reader& r, std::size_t at) const {
    return MapRect(r.S32(at), r.S32(at + 4), r.S32(at + 8), r.S32(at + 12));
}

void MetafilePlayer::EmfCreate(std::uint32_t index, Object object) {
    if (index != 0 && index < static_cast<std::uint32_t>(file_.objectCount_))
        objects_[index] = std::move(object);
}

void MetafilePlayer::EmfSelect(std::uint32_t index) {
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

void MetafilePlayer::EmfPolyPoly(std::uint32_t type, const Reader& r, bool small) {
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
        all.push_back(MapAll(EmfPoints(r, offset, count, small)));
        offset += static_cast<std::size_t>(count) * (small ? 4 : 8);
    }
    if (type == emf::kPolyPolygon || type == emf::kPolyPolygon16) {
        DrawPolygons(std::move(all));
    } else {
        for (auto& line : all)
            if (line.size() >= 2)
                DrawPolyline(std::move(line));
    }
}

void MetafilePlayer::EmfText(const Reader& r, bool wide) {
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

std::optional<MetafileDib> MetafilePlayer::EmfDib(const Reader& r, std::size_t at,
                                                  bool paletteIndices) const {
    const std::uint32_t offBmi = r.U32(at), cbBmi = r.U32(at + 4);
    const std::uint32_t offBits = r.U32(at + 8), cbBits = r.U32(at + 12);
    return MetafileDibReader::Read(r.Bytes(offBmi, cbBmi), r.Bytes(offBits, cbBits),
                                   paletteIndices);
}

void MetafilePlayer::EmfExtSelectClipRgn(const Reader& r) {
    const std::uint32_t size = r.U32(8), mode = r.U32(12);
    if (mode < 1 || mode > 5)
        return;
    if (size == 0) {
        // No region: only a copy means anything, and it removes the clip.
        if (mode == 5)
            dc_.clip.reset();
        return;
    }
    const Reader data(r.Bytes(16, size));
    const std::uint32_t count = data.U32(8);
    data.Need(32, std::uint64_t{count} * 16);
    // The rectangles are in the reference device's pixels.
    std::vector<std::vector<MetafilePoint>> polygons;
    polygons.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 32 + 16 * i;
        const double l = data.S32(at), t = data.S32(at + 4), rt = data.S32(at + 8),
                     b = data.S32(at + 12);
        if (l >= rt || t >= b)
            continue;
        polygons.push_back({MapDevice(l, t), MapDevice(rt, t), MapDevice(rt, b), MapDevice(l, b)});
    }
    // The rectangles of a region never overlap: filled either way they cover the same.
    Clip(static_cast<MetafileClip::Op>(mode - 1), std::move(polygons), true);
}

void MetafilePlayer::EmfGradientFill(const Reader& r) {
    const std::uint32_t vertices = r.U32(24), shapes = r.U32(28), mode = r.U32(32);
    if (mode > 2)
        return;
    r.Need(36, std::uint64_t{vertices} * 16);
    const std::size_t shapesAt = 36 + static_cast<std::size_t>(vertices) * 16;
    const std::size_t shapeSize = mode == 2 ? 12 : 8;
    r.Need(shapesAt, std::uint64_t{shapes} * shapeSize);
    const MetafileState state = State();
    auto vertex = [&](std::uint32_t index, MetafileVertex& v, std::pair<double, double>& logical) {
        if (index >= vertices)
            return false;
        const std::size_t at = 36 + static_cast<std::size_t>(index) * 16;
        logical = {r.S32(at), r.S32(at + 4)};
        v.point = Map(logical.first, logical.second);
        // Channels of 16 bits, of which the high byte counts.
        v.color = {static_cast<std::uint8_t>(r.U16(at + 8) >> 8),
                   static_cast<std::uint8_t>(r.U16(at + 10) >> 8),
                   static_cast<std::uint8_t>(r.U16(at + 12) >> 8)};
        return true;
    };
    for (std::size_t i = 0; i < shapes; ++i) {
        const std::size_t at = shapesAt + i * shapeSize;
        MetafileVertex v[3];
        std::pair<double, double> logical[3];
        if (mode == 2) {
            if (vertex(r.U32(at), v[0], logical[0]) && vertex(r.U32(at + 4), v[1], logical[1]) &&
                vertex(r.U32(at + 8), v[2], logical[2]))
                canvas_.GradientTriangle(state, v[0], v[1], v[2]);
            continue;
        }
        if (!vertex(r.U32(at), v[0], logical[0]) || !vertex(r.U32(at + 4), v[1], logical[1]))
            continue;
        // The colours run from the left (top) edge to the right (bottom) one whichever
        // corner comes first.
        const bool vertical = mode == 1;
        const double a = vertical ? logical[0].second : logical[0].first;
        const double b = vertical ? logical[1].second : logical[1].first;
        const MetafileColor from = a <= b ? v[0].color : v[1].color;
        const MetafileColor to = a <= b ? v[1].color : v[0].color;
        MetafileRect box = MapRect(std::min(logical[0].first, logical[1].first),
                                   std::min(logical[0].second, logical[1].second),
                                   std::max(logical[0].first, logical[1].first),
                                   std::max(logical[0].second, logical[1].second));
        canvas_.GradientRect(state, box, from, to, vertical);
    }
}

void MetafilePlayer::EmfMaskBlt(const Reader& r) {
    const std::int32_t x = r.S32(24), y = r.S32(28), w = r.S32(32), h = r.S32(36);
    const std::uint32_t rop = r.U32(40);
    if (w <= 0 || h <= 0)
        return;
    const MetafileRect box = MapRect(x, y, static_cast<double>(x) + w, static_cast<double>(y) + h);
    std::optional<MetafileDib> source, mask;
    std::int64_t sx = r.S32(44), sy = r.S32(48), sw = w, sh = h;
    if (r.U32(88) != 0) {
        source = EmfDib(r, 84, r.U32(80) == 1);
        if (!source || !SourceInside(*source, sx, sy, sw, sh, false))
            return;
    } else {
        sx = sy = 0;
    }
    const std::int64_t mx = r.S32(100), my = r.S32(104);
    if (r.U32(116) != 0) {
        mask = EmfDib(r, 112, r.U32(108) == 1);
        if (!mask)
            return;
    }
    // The mask is read over the same part as the source, from its own corner.
    canvas_.MaskBitmap(State(), box, source ? &*source : nullptr, static_cast<int>(sx),
                       static_cast<int>(sy), static_cast<int>(sw), static_cast<int>(sh),
                       mask ? &*mask : nullptr,
                       static_cast<int>(std::clamp<std::int64_t>(mx, -(1 << 30), 1 << 30)),
                       static_cast<int>(std::clamp<std::int64_t>(my, -(1 << 30), 1 << 30)),
                       static_cast<std::uint8_t>(rop >> 16), static_cast<std::uint8_t>(rop >> 24));
}

void MetafilePlayer::EmfRecord(std::uint32_t type, const Reader& r) {
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
        MoveTo(r.S32(8), r.S32(12));
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
    case emf::kSetWorldTransform:
    case emf::kModifyWorldTransform: {
        const Xform x{r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28)};
        if (type == emf::kSetWorldTransform)
            SetWorldTransform(x);
        else
            ModifyWorldTransform(x, r.U32(32));
        break;
    }
    case emf::kIntersectClipRect:
        IntersectClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
        break;
    case emf::kExcludeClipRect:
        ExcludeClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
        break;
    case emf::kExtSelectClipRgn:
        EmfExtSelectClipRgn(r);
        break;
    case emf::kBeginPath:
        BeginPath();
        break;
    case emf::kEndPath:
        EndPath();
        break;
    case emf::kCloseFigure:
        CloseFigure();
        break;
    case emf::kAbortPath:
        pathOpen_ = false;
        path_.clear();
        pathPoints_ = 0;
        break;
    case emf::kFlattenPath:
        break; // the path holds flattened curves already
    case emf::kFillPath:
        DrawPath(true, false);
        break;
    case emf::kStrokeAndFillPath:
        DrawPath(true, true);
        break;
    case emf::kStrokePath:
        DrawPath(false, true);
        break;
    case emf::kSelectClipPath:
        SelectClipPath(r.U32(8));
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
        DrawRectangle(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
        break;
    case emf::kEllipse:
        DrawEllipse(r.S32(8), r.S32(12), r.S32(16), r.S32(20));
        break;
    case emf::kRoundRect:
        DrawRoundRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20), r.S32(24), r.S32(28));
        break;
    case emf::kArc:
    case emf::kChord:
    case emf::kPie: {
        const auto kind = type == emf::kArc   ? MetafileCanvas::ArcKind::Arc
                          : type == emf::kPie ? MetafileCanvas::ArcKind::Pie
                                              : MetafileCanvas::ArcKind::Chord;
        DrawArc(kind, r.S32(8), r.S32(12), r.S32(16), r.S32(20), r.S32(24), r.S32(28), r.S32(32),
                r.S32(36));
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
        const auto points = EmfPoints(r, 28, r.U32(24), small);
        if (type == emf::kPolylineTo || type == emf::kPolylineTo16) {
            if (points.empty())
                break;
            DrawPolylineTo(MapAll(points));
            dc_.curX = points.back().first, dc_.curY = points.back().second;
        } else if (points.size() >= 2) {
            if (type == emf::kPolygon || type == emf::kPolygon16)
                DrawPolygons({MapAll(points)});
            else
                DrawPolyline(MapAll(points));
        }
        break;
    }
    case emf::kPolyBezier:
    case emf::kPolyBezierTo:
    case emf::kPolyBezier16:
    case emf::kPolyBezierTo16: {
        const bool small = type == emf::kPolyBezier16 || type == emf::kPolyBezierTo16;
        const bool to = type == emf::kPolyBezierTo || type == emf::kPolyBezierTo16;
        DrawBeziers(EmfPoints(r, 28, r.U32(24), small), to);
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
    case emf::kAlphaBlend: {
        const std::int32_t x = r.S32(24), y = r.S32(28), w = r.S32(32), h = r.S32(36);
        const MetafileRect box =
            MapRect(x, y, static_cast<double>(x) + w, static_cast<double>(y) + h);
        const std::uint8_t constantAlpha = r.U8(42);
        const bool sourceAlpha = r.U8(43) == 1; // the source's own alpha, premultiplied
        auto dib = EmfDib(r, 84, r.U32(80) == 1);
        std::int64_t sx = r.S32(44), sy = r.S32(48), sw = r.S32(100), sh = r.S32(104);
        if (!dib || !SourceInside(*dib, sx, sy, sw, sh, false))
            break;
        canvas_.AlphaBitmap(State(), box, *dib, static_cast<int>(sx), static_cast<int>(sy),
                            static_cast<int>(sw), static_cast<int>(sh), constantAlpha, sourceAlpha);
        break;
    }
    case emf::kMaskBlt:
        EmfMaskBlt(r);
        break;
    case emf::kGradientFill:
        EmfGradientFill(r);
        break;
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

} // namespace platform

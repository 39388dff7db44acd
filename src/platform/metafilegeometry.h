#pragma once

// Curves of the metafile player, in whatever units the caller maps: cubic beziers
// flattened into points, and the outlines of ellipses, arcs and rounded rectangles as
// beziers. No drawing library: the player maps the control points to target pixels and
// flattens there, which an affine mapping allows.

#include "platform/metafileparse.h"

#include <cstddef>
#include <vector>

namespace platform::metafile {

// One piece of an outline: a move to a point, a line to it, or a cubic bezier through
// two control points to it.
struct Segment {
    enum class Kind { Move, Line, Cubic };
    Kind kind = Kind::Line;
    MetafilePoint c1, c2, to;
};
using Outline = std::vector<Segment>;

// Appends to out, which ends at the curve's start, the points of the cubic through c1 and
// c2 to end: as many as keep the chords within about a quarter pixel, at most
// maxPoints.
void FlattenCubic(std::vector<MetafilePoint>& out, MetafilePoint c1, MetafilePoint c2,
                  MetafilePoint end, std::size_t maxPoints);

// The ellipse in the box (left, top, right, bottom) from parameter angle t0 sweeping by
// sweep radians, counter-clockwise as seen with y downwards, as cubics appended to out;
// the first piece is a Line to the start when lineToStart, else a Move.
void AppendEllipseArc(Outline& out, const MetafileRect& box, double t0, double sweep,
                      bool lineToStart);

// The parameter angle where the ray from the box's centre through p meets its ellipse.
double EllipseAngle(const MetafileRect& box, MetafilePoint p);

// Closed outlines of the shapes, starting at their top right as the system's paths do.
Outline EllipseOutline(const MetafileRect& box);
Outline RoundRectOutline(const MetafileRect& box, double cornerWidth, double cornerHeight);

} // namespace platform::metafile

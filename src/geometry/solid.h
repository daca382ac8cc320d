// Meshes as solids: equal corners merged, the closed-surface test, and the measures of
// the solid that a closed mesh bounds.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/vec.h"

namespace orvex {

/// A mesh with equal corners merged. Corners are equal when their three coordinates
/// compare equal as floats (so -0 merges with 0; no tolerance). Triangles whose merged
/// corners are not three distinct points are dropped: such a triangle has no area and
/// its edges would only pair with each other. Triangles with a non-finite corner are
/// dropped and counted: they take part in no contact, so their surface is missing.
/// Zero-area triangles with three distinct corners (collinear ones) are kept: they have
/// no area but their edges still have to pair up.
struct WeldedMesh {
  std::vector<Point> points;        // the kept triangles' corners, in order of first use
  std::vector<Triangle> triangles;  // the kept triangles in mesh order, renumbered
  uint32_t non_finite = 0;          // triangles dropped for a non-finite corner
};

/// Every index of `triangles` must name a point.
WeldedMesh weld(std::span<const Point> points, std::span<const Triangle> triangles);

/// Closed: after welding, no triangle was dropped for a non-finite corner, at least one
/// is kept, and every edge is shared by exactly two kept triangles that run it in
/// opposite directions (each directed edge u->v occurs once, and so does v->u). Such a
/// surface bounds a solid whose winding number is an integer off the surface. It may
/// still touch itself at a vertex or cross itself; neither is checked.
bool is_closed(const WeldedMesh& mesh);

/// What a closed mesh bounds, computed in double from its float corners.
struct SolidMeasures {
  /// Signed volume by the divergence theorem: positive when the triangles face outwards,
  /// negative when the whole surface faces inwards.
  double volume = 0;
  /// Centroid of the solid; NaN when the volume is 0.
  Vec3d centroid;
  /// Smallest width over the three axes and the normals of the kNormalsTried largest
  /// triangles (a width along u: max u.p - min u.p over the corners), each normal taken
  /// as the sum of the vector areas of the triangles facing its way. For a box or prism
  /// in any orientation that is its smallest side; for other shapes an upper bound of
  /// the smallest width. 0 for a mesh without corners.
  double thickness = 0;
  /// Surface area: the sum of the triangles' areas.
  double area = 0;
};

/// Largest triangles whose normals are tried as thickness directions.
inline constexpr int kNormalsTried = 16;

/// Measures of the solid bounded by `triangles`, which should be closed (see is_closed);
/// for other meshes the volume and centroid are those of the surface closed by cones
/// to the box centre, and mean little. Non-finite corners give NaN measures.
SolidMeasures solid_measures(std::span<const Point> points, std::span<const Triangle> triangles);

/// The connected piece of each triangle (triangles joined through shared corner
/// indices), numbered from 0 in the order of each piece's first triangle.
std::vector<uint32_t> pieces_of(size_t point_count, std::span<const Triangle> triangles);

/// solid_measures of each connected piece of the mesh (triangles joined through shared
/// corner indices), in the order of each piece's first triangle.
std::vector<SolidMeasures> piece_measures(std::span<const Point> points, std::span<const Triangle> triangles);

}  // namespace orvex

// Signed contact of one triangle pair, computed in double.
#pragma once

#include <array>
#include <optional>

#include "geometry/vec.h"

namespace orvex {

using Triangle3d = std::array<Vec3d, 3>;

/// Contact of triangle t1 (of mesh 1) with triangle t2 (of mesh 2).
/// `dist` is the Euclidean distance when the triangles are disjoint, and minus the
/// penetration depth (the length of the shortest translation of t2 that separates
/// them) when they intersect; touching or coplanar overlapping triangles give 0.
/// `point1` lies on t1, `point2` on t2; `normal` is the unit direction out of t1
/// towards t2 (for penetration: the direction along which t2 must move to separate).
struct TrianglePairContact {
  double dist = 0;
  Vec3d point1, point2, normal;
};

/// Returns no contact when the triangles are farther apart than `prediction` (a distance
/// equal to it is a contact), when `prediction` is negative or NaN, and when a corner is not
/// finite. Finite input never yields NaN; zero-area triangles act as their segment or point.
/// Crossing pairs: the depth is the smallest overlap over both normals and the 9 edge cross
/// products (both signs); point1 and point2 are the closest points of the two triangles'
/// extreme features along that axis, so point1 - point2 = depth x normal where the axis is
/// the exact minimum. A depth within the rounding of its computation (2^-40 of the pair's
/// extent) is a touch: dist 0 at a common point, as for coplanar overlapping triangles.
/// A smaller `prediction`, such as the best distance a search has found, only rejects more
/// pairs early; the contacts it keeps are unchanged.
std::optional<TrianglePairContact> triangle_contact(const Triangle3d& t1, const Triangle3d& t2,
                                                    double prediction);

}  // namespace orvex

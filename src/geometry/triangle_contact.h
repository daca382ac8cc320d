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

/// Returns no contact when the triangles are farther apart than `prediction`.
/// Finite input never yields NaN; degenerate triangles act as their segment or point.
std::optional<TrianglePairContact> triangle_contact(const Triangle3d& t1, const Triangle3d& t2,
                                                    double prediction);

}  // namespace orvex

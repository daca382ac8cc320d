// Separating-axis test and penetration depth of two triangles.
#pragma once

#include "geometry/triangle_distance.h"

namespace orvex {

struct AxisTest {
  enum class Kind {
    beyond,    // separated along some axis by more than the prediction distance
    apart,     // separated along some axis, or no axis decides (both triangles flat)
    crossing,  // overlapping along every candidate axis
  };
  Kind kind = Kind::apart;
  /// crossing: the smallest overlap over the candidate axes, the penetration depth.
  double depth = 0;
  /// crossing: the unit axis of that overlap, the direction t2 must move to separate.
  Vec3d axis;
};

/// Tests the two triangles' normals first (the cheap plane-side reject), then the 9 edge
/// cross products, then the in-plane edge normals that decide coplanar and flat pairs.
/// Along unit axis u the overlap is max over t1 of x.u - min over t2 of x.u, taken for
/// both signs of u; a negative overlap is a gap, a lower bound of the distance.
AxisTest separating_axis_test(const TriangleFrame& t1, const TriangleFrame& t2,
                              double prediction);

/// Witness points of a penetration along unit `axis` with `depth`: the closest points of
/// t1's extreme feature along the axis and t2's extreme feature against it (a corner, an
/// edge, or the face), features gathered within `tie` of the extreme. point1 - point2 is
/// then depth x axis whenever the axis is the exact minimum.
ClosestPoints penetration_witness(const TriangleFrame& t1, const TriangleFrame& t2,
                                  const Vec3d& axis, double tie);

}  // namespace orvex

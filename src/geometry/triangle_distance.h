// Closest points of two triangles that do not cross: 9 edge pairs and 6 vertex-face tests.
#pragma once

#include "geometry/triangle_contact.h"

namespace orvex {

/// Below this sine two directions count as parallel and a triangle as zero-area. A cross
/// product of exact differences has a direction error of about 2^-53 / sine, which past
/// this bound would exceed the width (sine x length) that ignoring the direction costs.
inline constexpr double kParallelSine = 1e-8;

/// One triangle's corners, edges (e[k] = v[k+1] - v[k]) and normal (unnormalised, from the
/// winding). `flat` marks a zero-area triangle: its normal is meaningless, and it acts as
/// the segment or point its corners span.
struct TriangleFrame {
  Vec3d v[3];
  Vec3d e[3];
  Vec3d n;
  double nn = 0;  // |n|^2
  bool flat = true;
};

TriangleFrame triangle_frame(const Triangle3d& t);

struct ClosestPoints {
  double dist2 = 0;  // squared distance between p1 and p2
  Vec3d p1, p2;
};

/// Closest points of segments [p, q] and [r, s]; zero-length segments act as points.
ClosestPoints segment_closest_points(const Vec3d& p, const Vec3d& q, const Vec3d& r,
                                     const Vec3d& s);

/// Closest points of two triangles, p1 on t1 and p2 on t2: the nearest of the 9 edge pairs
/// and of the 6 corners whose projection falls inside the other triangle. Exact for
/// triangles that do not cross; for crossing ones the distance is no more than the length
/// of the shortest translation that separates them.
ClosestPoints triangle_closest_points(const TriangleFrame& t1, const TriangleFrame& t2);

}  // namespace orvex

#include "geometry/triangle_contact.h"

#include <algorithm>
#include <cmath>

#include "geometry/triangle_penetration.h"

namespace orvex {

namespace {

/// A penetration depth below this fraction of the pair's extent is within the rounding of
/// its computation (overlaps carry a relative error of a few 2^-53, more along axes near
/// the kParallelSine cut), so such a pair touches: distance 0, not a tiny negative value
/// whose sign is noise.
constexpr double kTouchFraction = 0x1p-40;

/// A unit vector along v, or `fallback` when v has no usable length.
Vec3d unit_or(const Vec3d& v, const Vec3d& fallback) {
  double len = norm(v);
  return len > 0 && std::isfinite(len) ? v * (1 / len) : fallback;
}

}  // namespace

std::optional<TrianglePairContact> triangle_contact(const Triangle3d& t1, const Triangle3d& t2,
                                                    double prediction) {
  // Any infinity or NaN makes the sum non-finite; finite float coordinates cannot overflow it.
  double sum = 0;
  for (const Triangle3d* t : {&t1, &t2}) {
    for (const Vec3d& v : *t) sum += v.x + v.y + v.z;
  }
  if (!std::isfinite(sum) || !(prediction >= 0)) return std::nullopt;
  // Cheapest reject: the triangles' boxes lie farther apart than the prediction on an axis.
  for (int a = 0; a < 3; ++a) {
    double lo1 = std::min(std::min(t1[0][a], t1[1][a]), t1[2][a]);
    double hi1 = std::max(std::max(t1[0][a], t1[1][a]), t1[2][a]);
    double lo2 = std::min(std::min(t2[0][a], t2[1][a]), t2[2][a]);
    double hi2 = std::max(std::max(t2[0][a], t2[1][a]), t2[2][a]);
    if (lo2 - hi1 > prediction || lo1 - hi2 > prediction) return std::nullopt;
  }

  // Working relative to a corner keeps the rounding proportional to the pair's extent, not
  // to its distance from the model's origin.
  const Vec3d origin = t1[0];
  Triangle3d r1, r2;
  double extent = 0;
  for (int k = 0; k < 3; ++k) {
    r1[k] = t1[k] - origin;
    r2[k] = t2[k] - origin;
    for (const Vec3d& v : {r1[k], r2[k]}) {
      extent = std::max({extent, std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
    }
  }
  const TriangleFrame f1 = triangle_frame(r1), f2 = triangle_frame(r2);
  const double tolerance = kTouchFraction * extent;

  AxisTest axes = separating_axis_test(f1, f2, prediction);
  if (axes.kind == AxisTest::Kind::beyond) return std::nullopt;

  TrianglePairContact c;
  if (axes.kind == AxisTest::Kind::crossing && axes.depth > tolerance) {
    ClosestPoints w = penetration_witness(f1, f2, axes.axis, tolerance);
    c.dist = -axes.depth;
    c.point1 = w.p1 + origin;
    c.point2 = w.p2 + origin;
    c.normal = axes.axis;
    return c;
  }

  ClosestPoints cp = triangle_closest_points(f1, f2);
  const Vec3d fallback = axes.kind == AxisTest::Kind::crossing ? axes.axis
                         : !f1.flat ? unit_or(f1.n, Vec3d{0, 0, 1})
                         : !f2.flat ? unit_or(f2.n, Vec3d{0, 0, 1})
                                    : Vec3d{0, 0, 1};
  if (axes.kind == AxisTest::Kind::crossing) {
    c.dist = 0;
    c.normal = fallback;
  } else {
    c.dist = std::sqrt(cp.dist2);
    if (c.dist > prediction) return std::nullopt;
    c.normal = unit_or(cp.p2 - cp.p1, fallback);
  }
  c.point1 = cp.p1 + origin;
  c.point2 = cp.p2 + origin;
  return c;
}

}  // namespace orvex

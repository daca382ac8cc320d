// Axis-aligned boxes in float and the bounds on triangle-pair contact that they give.
#pragma once

#include <algorithm>
#include <cmath>

#include "geometry/vec.h"

namespace orvex {

/// Axis-aligned box in float; empty when lo > hi on any axis.
struct Aabb {
  Point lo{INFINITY, INFINITY, INFINITY};
  Point hi{-INFINITY, -INFINITY, -INFINITY};

  void grow(const Point& p) {
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::min(lo[i], p[i]);
      hi[i] = std::max(hi[i], p[i]);
    }
  }
  void grow(const Aabb& b) {
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::min(lo[i], b.lo[i]);
      hi[i] = std::max(hi[i], b.hi[i]);
    }
  }
  bool empty() const { return lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]; }
  /// Non-empty with finite corners: the boxes that a hierarchy may hold.
  bool finite() const {
    for (int i = 0; i < 3; ++i)
      if (!std::isfinite(lo[i]) || !std::isfinite(hi[i])) return false;
    return !empty();
  }
  bool contains(const Aabb& b) const {
    for (int i = 0; i < 3; ++i)
      if (!(lo[i] <= b.lo[i] && b.hi[i] <= hi[i])) return false;
    return true;
  }
  /// Half the surface area, in double so that boxes near the float range cannot overflow.
  double half_area() const {
    double dx = double(hi[0]) - lo[0], dy = double(hi[1]) - lo[1], dz = double(hi[2]) - lo[2];
    return dx * dy + dy * dz + dz * dx;
  }
  /// Largest absolute coordinate of a non-empty box.
  double max_abs() const {
    double m = 0;
    for (int i = 0; i < 3; ++i) m = std::max({m, std::fabs(double(lo[i])), std::fabs(double(hi[i]))});
    return m;
  }
};

inline bool operator==(const Aabb& a, const Aabb& b) { return a.lo == b.lo && a.hi == b.hi; }

/// Slack of every pruning test on boxes, per unit of the largest coordinate magnitude m
/// of the boxes or meshes compared: a box gap or box bound prunes only when it passes its
/// limit (the reach, or the best distance found) by more than kBoundSlack * m.
/// Box gaps and bounds are computed in double from float corners, and the contact query
/// computes a triangle pair's distance in double from float corners through a handful of
/// operations (differences, products, one square root); each is off its exact value by a
/// few double ulps of m, about 2^-50 m. So the query may report a pair whose exact
/// distance, and so whose boxes' gap, lies that much beyond the reach, or a distance that
/// much below its boxes' bound. 2^-30 m covers this many thousand times over and stays
/// below a hundredth of a float ulp of m, so it costs no pruning.
inline constexpr double kBoundSlack = 0x1p-30;

/// Lower bound of the signed contact distance of any two triangles lying in the non-empty
/// boxes a and b: the Euclidean distance between the boxes when they are apart, otherwise
/// minus their overlap depth, the smallest over the three axes of the shorter translation
/// along that axis that separates the boxes (min(a.hi - b.lo, b.hi - a.lo); more than the
/// length of the shared interval when one box's extent holds the other's). That
/// translation also separates any two triangles inside, which bounds their penetration
/// depth. Computed in double from the float corners.
inline double box_contact_bound(const Aabb& a, const Aabb& b) {
  double gap2 = 0, depth = INFINITY;
  bool apart = false;
  for (int i = 0; i < 3; ++i) {
    double overlap = std::min(double(a.hi[i]) - b.lo[i], double(b.hi[i]) - a.lo[i]);
    if (overlap < 0) {
      gap2 += overlap * overlap;
      apart = true;
    } else {
      depth = std::min(depth, overlap);
    }
  }
  return apart ? std::sqrt(gap2) : -depth;
}

}  // namespace orvex

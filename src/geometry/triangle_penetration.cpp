#include "geometry/triangle_penetration.h"

#include <algorithm>
#include <cmath>

namespace orvex {

namespace {

struct Extent {
  double lo, hi;
};

Extent project(const TriangleFrame& f, const Vec3d& u) {
  double a = dot(f.v[0], u), b = dot(f.v[1], u), c = dot(f.v[2], u);
  return {std::min({a, b, c}), std::max({a, b, c})};
}

/// Accumulates the overlaps of the candidate axes of one pair.
class AxisSearch {
 public:
  AxisSearch(const TriangleFrame& t1, const TriangleFrame& t2, double prediction)
      : t1_(t1), t2_(t2), prediction_(prediction) {
    result_.kind = AxisTest::Kind::crossing;
    result_.depth = INFINITY;
  }

  /// Tests axis c = a x b unless a and b are parallel within kParallelSine. Returns false
  /// once the axis separates the triangles: the search is then decided.
  bool test_cross(const Vec3d& a, const Vec3d& b) {
    Vec3d c = cross(a, b);
    double cc = dot(c, c);
    if (!(cc > kParallelSine * kParallelSine * dot(a, a) * dot(b, b))) return true;
    return test(c, cc);
  }

  /// Tests the non-zero axis c with |c|^2 = cc.
  bool test(const Vec3d& c, double cc) {
    Extent p1 = project(t1_, c), p2 = project(t2_, c);
    double up = p1.hi - p2.lo;    // t2 moves along +c
    double down = p2.hi - p1.lo;  // t2 moves along -c
    if (up < 0 || down < 0) {
      double gap = std::min(up, down);
      result_.kind = gap * gap > prediction_ * prediction_ * cc ? AxisTest::Kind::beyond
                                                                : AxisTest::Kind::apart;
      return false;
    }
    double len = std::sqrt(cc);
    if (up < result_.depth * len) {
      result_.depth = up / len;
      result_.axis = c * (1 / len);
    }
    if (down < result_.depth * len) {
      result_.depth = down / len;
      result_.axis = c * (-1 / len);
    }
    return true;
  }

  const AxisTest& result() const { return result_; }

 private:
  const TriangleFrame& t1_;
  const TriangleFrame& t2_;
  double prediction_;
  AxisTest result_;
};

}  // namespace

AxisTest separating_axis_test(const TriangleFrame& t1, const TriangleFrame& t2,
                              double prediction) {
  AxisSearch search(t1, t2, prediction);
  if (!t1.flat && !search.test(t1.n, t1.nn)) return search.result();
  if (!t2.flat && !search.test(t2.n, t2.nn)) return search.result();
  // Two segments or points: their sum is flat, so they never penetrate, and the distance
  // alone decides whether they touch.
  if (t1.flat && t2.flat) return {};
  for (const Vec3d& a : t1.e) {
    for (const Vec3d& b : t2.e) {
      if (!search.test_cross(a, b)) return search.result();
    }
  }
  // The 11 axes decide pairs whose sum is solid. Coplanar pairs, and a segment lying in the
  // other triangle's plane, also need the in-plane normals of every edge.
  const TriangleFrame& plane = t1.flat ? t2 : t1;
  for (const TriangleFrame* f : {&t1, &t2}) {
    for (const Vec3d& e : f->e) {
      if (!search.test_cross(plane.n, e)) return search.result();
    }
  }
  return search.result();
}

ClosestPoints penetration_witness(const TriangleFrame& t1, const TriangleFrame& t2,
                                  const Vec3d& axis, double tie) {
  double h1[3], h2[3];
  for (int k = 0; k < 3; ++k) {
    h1[k] = dot(t1.v[k], axis);
    h2[k] = dot(t2.v[k], axis);
  }
  double hi = std::max({h1[0], h1[1], h1[2]}), lo = std::min({h2[0], h2[1], h2[2]});
  // The extreme corner itself always qualifies, so each feature has at least one corner.
  Triangle3d f1, f2;
  int n1 = 0, n2 = 0;
  for (int k = 0; k < 3; ++k) {
    if (h1[k] >= hi - tie) f1[n1++] = t1.v[k];
    if (h2[k] <= lo + tie) f2[n2++] = t2.v[k];
  }
  // Repeating the last corner makes a segment or a point of the feature.
  for (int k = n1; k < 3; ++k) f1[k] = f1[n1 - 1];
  for (int k = n2; k < 3; ++k) f2[k] = f2[n2 - 1];
  return triangle_closest_points(triangle_frame(f1), triangle_frame(f2));
}

}  // namespace orvex

#include "geometry/triangle_distance.h"

#include <algorithm>
#include <cmath>

namespace orvex {

namespace {

double clamp01(double x) { return x < 0 ? 0 : x > 1 ? 1 : x; }

/// The foot of corner p on the plane of the non-flat triangle f, when it falls inside f.
bool foot_inside(const TriangleFrame& f, const Vec3d& p, Vec3d& foot) {
  for (int k = 0; k < 3; ++k) {
    if (dot(cross(f.e[k], p - f.v[k]), f.n) < 0) return false;
  }
  foot = p - f.n * (dot(p - f.v[0], f.n) / f.nn);
  return true;
}

}  // namespace

TriangleFrame triangle_frame(const Triangle3d& t) {
  TriangleFrame f;
  for (int k = 0; k < 3; ++k) f.v[k] = t[k];
  for (int k = 0; k < 3; ++k) f.e[k] = f.v[(k + 1) % 3] - f.v[k];
  f.n = cross(f.e[0], f.e[1]);
  f.nn = dot(f.n, f.n);
  double longest = std::max({dot(f.e[0], f.e[0]), dot(f.e[1], f.e[1]), dot(f.e[2], f.e[2])});
  // |n| = width x longest edge: flat when the width is below kParallelSine x longest edge.
  f.flat = !(f.nn > kParallelSine * kParallelSine * longest * longest);
  return f;
}

ClosestPoints segment_closest_points(const Vec3d& p, const Vec3d& q, const Vec3d& r,
                                     const Vec3d& s) {
  Vec3d d1 = q - p, d2 = s - r, w = p - r;
  double a = dot(d1, d1), e = dot(d2, d2), f = dot(d2, w);
  double u = 0, t = 0;
  if (a > 0 && e > 0) {
    double b = dot(d1, d2), c = dot(d1, w);
    // |d1 x d2|^2 equals a*e - b*b but keeps its precision for nearly parallel segments.
    Vec3d x = cross(d1, d2);
    double denom = dot(x, x);
    u = denom > 0 ? clamp01((b * f - c * e) / denom) : 0;
    t = (b * u + f) / e;
    if (t < 0) {
      t = 0;
      u = clamp01(-c / a);
    } else if (t > 1) {
      t = 1;
      u = clamp01((b - c) / a);
    }
  } else if (e > 0) {
    t = clamp01(f / e);
  } else if (a > 0) {
    u = clamp01(-dot(d1, w) / a);
  }
  ClosestPoints out;
  out.p1 = p + d1 * u;
  out.p2 = r + d2 * t;
  Vec3d d = out.p2 - out.p1;
  out.dist2 = dot(d, d);
  return out;
}

ClosestPoints triangle_closest_points(const TriangleFrame& t1, const TriangleFrame& t2) {
  ClosestPoints best;
  best.dist2 = INFINITY;
  // Stops at the first candidate pair whose direction separates the triangles: the plane
  // through p1 normal to p2 - p1 has t1 behind it, and the parallel plane through p2 has t2
  // beyond it, so no pair is nearer. The slack, 2^-46 of the pair's extent, absorbs the
  // rounding of corners that lie on those planes and costs at most twice that in distance.
  double extent2 = 0;
  for (const Vec3d& v : t2.v) {
    Vec3d d = v - t1.v[0];
    extent2 = std::max(extent2, dot(d, d));
  }
  for (const Vec3d& e : t1.e) extent2 = std::max(extent2, dot(e, e));
  const double slack = 0x1p-46 * std::sqrt(extent2);
  auto improves = [&](const Vec3d& p1, const Vec3d& p2) {
    Vec3d d = p2 - p1;
    double d2 = dot(d, d);
    if (!(d2 < best.dist2)) return false;
    best = {d2, p1, p2};
    double margin = slack * std::sqrt(d2);
    double top = dot(p1, d) + margin, bottom = dot(p2, d) - margin;
    for (int k = 0; k < 3; ++k) {
      if (dot(t1.v[k], d) > top || dot(t2.v[k], d) < bottom) return false;
    }
    return true;
  };
  Vec3d foot;
  if (!t1.flat) {
    for (const Vec3d& p : t2.v) {
      if (foot_inside(t1, p, foot) && improves(foot, p)) return best;
    }
  }
  if (!t2.flat) {
    for (const Vec3d& p : t1.v) {
      if (foot_inside(t2, p, foot) && improves(p, foot)) return best;
    }
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      ClosestPoints c = segment_closest_points(t1.v[i], t1.v[(i + 1) % 3], t2.v[j],
                                               t2.v[(j + 1) % 3]);
      if (improves(c.p1, c.p2)) return best;
    }
  }
  return best;
}

}  // namespace orvex

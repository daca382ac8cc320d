#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/triangle_contact.h"

namespace orvex {
namespace {

using LV = std::array<long double, 3>;

LV lv(const Vec3d& v) { return {v.x, v.y, v.z}; }
LV sub(const LV& a, const LV& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
LV scale(const LV& a, long double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
long double dotl(const LV& a, const LV& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
LV crossl(const LV& a, const LV& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Reference, in long double, over the 9 corner differences a_i - b_j: their hull is the
// set of translations that make the triangles meet. The distance is the distance from the
// origin to that hull (nearest point of every hull simplex of 1 to 3 differences); the
// triangles cross when a tetrahedron of 4 differences holds the origin; the depth is the
// smallest support value of the hull over the 11 axes, both signs.
struct Reference {
  bool inside = false;
  long double dist = 0;
  long double depth = 0;
};

long double support(const std::array<LV, 9>& diffs, const LV& u) {
  long double best = -std::numeric_limits<long double>::infinity();
  for (const LV& d : diffs) best = std::max(best, dotl(d, u));
  return best;
}

std::array<LV, 9> differences(const Triangle3d& t1, const Triangle3d& t2) {
  std::array<LV, 9> out;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[3 * i + j] = sub(lv(t1[i]), lv(t2[j]));
  }
  return out;
}

// Distance from the origin to the simplex of the given points, or infinity when the
// origin's projection on its affine hull falls outside it or the simplex is degenerate.
long double simplex_distance(const std::vector<LV>& p) {
  if (p.size() == 1) return std::sqrt(dotl(p[0], p[0]));
  LV e1 = sub(p[1], p[0]);
  if (p.size() == 2) {
    long double ee = dotl(e1, e1);
    if (ee == 0) return INFINITY;
    long double t = -dotl(p[0], e1) / ee;
    if (t < 0 || t > 1) return INFINITY;
    LV q = {p[0][0] + t * e1[0], p[0][1] + t * e1[1], p[0][2] + t * e1[2]};
    return std::sqrt(dotl(q, q));
  }
  LV e2 = sub(p[2], p[0]);
  long double a = dotl(e1, e1), b = dotl(e1, e2), c = dotl(e2, e2);
  long double r1 = -dotl(p[0], e1), r2 = -dotl(p[0], e2);
  long double det = a * c - b * b;
  if (!(det > 1e-24L * a * c)) return INFINITY;
  long double s = (r1 * c - r2 * b) / det, t = (a * r2 - b * r1) / det;
  if (s < 0 || t < 0 || s + t > 1) return INFINITY;
  LV q = {p[0][0] + s * e1[0] + t * e2[0], p[0][1] + s * e1[1] + t * e2[1],
          p[0][2] + s * e1[2] + t * e2[2]};
  return std::sqrt(dotl(q, q));
}

bool tetra_holds_origin(const LV& a, const LV& b, const LV& c, const LV& d) {
  auto vol = [](const LV& p, const LV& q, const LV& r, const LV& s) {
    return dotl(sub(q, p), crossl(sub(r, p), sub(s, p)));
  };
  LV o{0, 0, 0};
  long double v = vol(a, b, c, d);
  if (v == 0) return false;
  long double s[4] = {vol(o, b, c, d), vol(a, o, c, d), vol(a, b, o, d), vol(a, b, c, o)};
  for (long double x : s) {
    if (v > 0 ? x < 0 : x > 0) return false;
  }
  return true;
}

long double reference_depth(const Triangle3d& t1, const Triangle3d& t2) {
  auto diffs = differences(t1, t2);
  std::vector<LV> axes;
  LV e1[3], e2[3];
  for (int k = 0; k < 3; ++k) {
    e1[k] = sub(lv(t1[(k + 1) % 3]), lv(t1[k]));
    e2[k] = sub(lv(t2[(k + 1) % 3]), lv(t2[k]));
  }
  axes.push_back(crossl(e1[0], e1[1]));
  axes.push_back(crossl(e2[0], e2[1]));
  for (auto& a : e1) {
    for (auto& b : e2) axes.push_back(crossl(a, b));
  }
  long double best = INFINITY;
  for (const LV& axis : axes) {
    long double len = std::sqrt(dotl(axis, axis));
    if (!(len > 1e-12L)) continue;
    LV u = scale(axis, 1 / len);
    best = std::min({best, support(diffs, u), support(diffs, scale(u, -1))});
  }
  return best;
}

Reference reference(const Triangle3d& t1, const Triangle3d& t2) {
  auto d = differences(t1, t2);
  Reference r;
  r.dist = INFINITY;
  for (int i = 0; i < 9; ++i) {
    r.dist = std::min(r.dist, simplex_distance({d[i]}));
    for (int j = i + 1; j < 9; ++j) {
      r.dist = std::min(r.dist, simplex_distance({d[i], d[j]}));
      for (int k = j + 1; k < 9; ++k) {
        r.dist = std::min(r.dist, simplex_distance({d[i], d[j], d[k]}));
        for (int l = k + 1; l < 9 && !r.inside; ++l) {
          r.inside = tetra_holds_origin(d[i], d[j], d[k], d[l]);
        }
      }
    }
  }
  if (r.inside) {
    r.dist = 0;
    r.depth = reference_depth(t1, t2);
  }
  return r;
}

// Distance of point p from triangle t (long double, by the same simplex projection).
long double point_triangle_distance(const Vec3d& p, const Triangle3d& t) {
  std::vector<LV> q = {sub(lv(t[0]), lv(p)), sub(lv(t[1]), lv(p)), sub(lv(t[2]), lv(p))};
  long double best = INFINITY;
  for (int i = 0; i < 3; ++i) {
    best = std::min(best, simplex_distance({q[i]}));
    best = std::min(best, simplex_distance({q[i], q[(i + 1) % 3]}));
  }
  return std::min(best, simplex_distance(q));
}

Triangle3d translated(const Triangle3d& t, const Vec3d& by) {
  return {t[0] + by, t[1] + by, t[2] + by};
}

void expect_near(const Vec3d& a, const Vec3d& b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

TrianglePairContact contact(const Triangle3d& t1, const Triangle3d& t2, double prediction = 0.5) {
  auto c = triangle_contact(t1, t2, prediction);
  EXPECT_TRUE(c.has_value());
  return c.value_or(TrianglePairContact{});
}

const Triangle3d kFloor = {Vec3d{-2, -2, 0}, Vec3d{2, -2, 0}, Vec3d{0, 2, 0}};

struct Exact {
  const char* name;
  Triangle3d t1, t2;
  double dist;
  Vec3d point1, point2, normal;
};

class ExactContact : public testing::TestWithParam<Exact> {};

TEST_P(ExactContact, DistancePointsAndNormal) {
  const Exact& e = GetParam();
  TrianglePairContact c = contact(e.t1, e.t2);
  EXPECT_NEAR(c.dist, e.dist, 1e-12);
  expect_near(c.point1, e.point1, 1e-12);
  expect_near(c.point2, e.point2, 1e-12);
  expect_near(c.normal, e.normal, 1e-12);
  // Swapping the triangles keeps the distance and reverses the direction.
  TrianglePairContact s = contact(e.t2, e.t1);
  EXPECT_NEAR(s.dist, e.dist, 1e-12);
  expect_near(s.point1, e.point2, 1e-12);
  expect_near(s.normal, -e.normal, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExactContact,
    testing::Values(
        Exact{"SkewEdges",
              {Vec3d{-1, 0, 0}, Vec3d{1, 0, 0}, Vec3d{0, 0, -1}},
              {Vec3d{0, -1, 0.25}, Vec3d{0, 1, 0.25}, Vec3d{0, 0, 1.25}},
              0.25, {0, 0, 0}, {0, 0, 0.25}, {0, 0, 1}},
        Exact{"CornerAboveFace", kFloor,
              {Vec3d{0.25, 0.5, 0.375}, Vec3d{1, 1, 2}, Vec3d{-1, 1, 2}},
              0.375, {0.25, 0.5, 0}, {0.25, 0.5, 0.375}, {0, 0, 1}},
        Exact{"CornerThroughFace", kFloor,
              {Vec3d{0, 0, -0.25}, Vec3d{0, -0.5, 1}, Vec3d{0, 0.5, 1}},
              -0.25, {0, 0, 0}, {0, 0, -0.25}, {0, 0, 1}},
        // Two triangles linked like chain links: t2's lower edge hangs 0.2 below t1's
        // upper edge; lifting t2 by 0.2 along the edges' cross product frees it.
        Exact{"LinkedEdges",
              {Vec3d{-1, 0, 0}, Vec3d{1, 0, 0}, Vec3d{0, 0, -2}},
              {Vec3d{0, -1, -0.25}, Vec3d{0, 1, -0.25}, Vec3d{0, 0, 2}},
              -0.25, {0, 0, 0}, {0, 0, -0.25}, {0, 0, 1}},
        // A zero-area triangle acts as its segment: it pokes 0.25 below the floor.
        Exact{"SegmentThroughFace",
              {Vec3d{0, 0, -0.25}, Vec3d{0, 0, 1}, Vec3d{0, 0, 0.5}}, kFloor,
              -0.25, {0, 0, -0.25}, {0, 0, 0}, {0, 0, -1}},
        Exact{"PointAboveFace",
              {Vec3d{0.5, 0, 0.125}, Vec3d{0.5, 0, 0.125}, Vec3d{0.5, 0, 0.125}}, kFloor,
              0.125, {0.5, 0, 0.125}, {0.5, 0, 0}, {0, 0, -1}},
        Exact{"SkewSegments",
              {Vec3d{-1, 0, 0}, Vec3d{1, 0, 0}, Vec3d{1, 0, 0}},
              {Vec3d{0.5, -1, 0.5}, Vec3d{0.5, 1, 0.5}, Vec3d{0.5, 1, 0.5}},
              0.5, {0.5, 0, 0}, {0.5, 0, 0.5}, {0, 0, 1}},
        // Coplanar, disjoint: the gap lies in the common plane.
        Exact{"CoplanarGap", kFloor,
              {Vec3d{-1, 2.25, 0}, Vec3d{1, 2.25, 0}, Vec3d{0, 4, 0}},
              0.25, {0, 2, 0}, {0, 2.25, 0}, {0, 1, 0}}),
    [](const testing::TestParamInfo<Exact>& info) { return info.param.name; });

TEST(TriangleContact, ParallelFacesApart) {
  Triangle3d up = translated(kFloor, {0.5, 0.25, 0.3});
  TrianglePairContact c = contact(kFloor, up);
  EXPECT_NEAR(c.dist, 0.3, 1e-15);
  expect_near(c.point2 - c.point1, {0, 0, 0.3}, 1e-15);
  expect_near(c.normal, {0, 0, 1}, 1e-15);
  EXPECT_LT(point_triangle_distance(c.point1, kFloor), 1e-15);
  EXPECT_LT(point_triangle_distance(c.point2, up), 1e-15);
}

TEST(TriangleContact, PredictionCutOff) {
  EXPECT_TRUE(triangle_contact(kFloor, translated(kFloor, {0, 0, 0.5}), 0.5));
  EXPECT_FALSE(triangle_contact(kFloor, translated(kFloor, {0, 0, 0.5000001}), 0.5));
  EXPECT_FALSE(triangle_contact(kFloor, translated(kFloor, {0, 0, -3}), 0.5));
  // Far apart sideways, in one plane.
  EXPECT_FALSE(triangle_contact(kFloor, translated(kFloor, {10, 0, 0}), 0.5));
  EXPECT_TRUE(triangle_contact(kFloor, translated(kFloor, {10, 0, 0}), 100));
  Triangle3d seg = {Vec3d{0, 0, 0.75}, Vec3d{0, 0, 2}, Vec3d{0, 0, 2}};
  EXPECT_FALSE(triangle_contact(kFloor, seg, 0.5));
  EXPECT_NEAR(contact(kFloor, seg, 1).dist, 0.75, 1e-15);
  EXPECT_FALSE(triangle_contact(kFloor, kFloor, -1));
}

// Touching pairs give exactly 0, never a negative value that the default threshold of the
// clash pass would report.
TEST(TriangleContact, TouchingGivesZero) {
  struct Case {
    Triangle3d t1, t2;
  };
  std::vector<Case> cases = {
      {kFloor, {Vec3d{0, 0, 0}, Vec3d{1, 1, 1}, Vec3d{-1, 1, 1}}},         // corner on face
      {kFloor, {Vec3d{-2, -2, 0}, Vec3d{2, -2, 0}, Vec3d{0, -2, 1}}},      // shared edge
      {kFloor, {Vec3d{-1, -2, 0}, Vec3d{1, -2, 0}, Vec3d{0, -3, 0}}},      // coplanar, edge
      {kFloor, {Vec3d{0, -2, 0}, Vec3d{0, -2, -1}, Vec3d{0, -3, -1}}},     // edge on edge
      {kFloor, {Vec3d{1, 0, 0}, Vec3d{1, 1, 0}, Vec3d{1, 0, 1}}},          // edge on face
  };
  // Hinged pairs on one shared edge at random float positions.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-3, 3);
  auto rv = [&] { return Vec3d(Point{u(rng), u(rng), u(rng)}); };
  for (int k = 0; k < 200; ++k) {
    Vec3d a = rv(), b = rv();
    cases.push_back({{a, b, rv()}, {b, a, rv()}});
    cases.push_back({{a, rv(), rv()}, {rv(), a, rv()}});
  }
  int touching = 0;
  for (const Case& c : cases) {
    auto r = triangle_contact(c.t1, c.t2, 0.5);
    if (!r) continue;  // a shared corner with the triangles folded into each other
    if (r->dist > 0) continue;
    // A shared corner can still let the two triangles cross elsewhere.
    Reference ref = reference(c.t1, c.t2);
    if (ref.inside && ref.depth > 1e-9) continue;
    ++touching;
    EXPECT_EQ(r->dist, 0.0);
    EXPECT_LT(point_triangle_distance(r->point1, c.t1), 1e-12);
  }
  EXPECT_GT(touching, 300);
  for (size_t k = 0; k < 5; ++k) {
    TrianglePairContact r = contact(cases[k].t1, cases[k].t2);
    EXPECT_EQ(r.dist, 0.0) << k;
    EXPECT_NEAR(norm(r.normal), 1, 1e-15) << k;
  }
}

TEST(TriangleContact, CoplanarOverlapTouchesAtACommonPoint) {
  // In the plane z = x, exactly representable; the second triangle is rotated.
  Triangle3d a = {Vec3d{0, 0, 0}, Vec3d{2, 0, 2}, Vec3d{0, 2, 0}};
  Triangle3d b = {Vec3d{0.5, 0.5, 0.5}, Vec3d{-1, 1, -1}, Vec3d{1, -1, 1}};
  for (auto [t1, t2] : {std::pair{a, b}, std::pair{b, a}, std::pair{a, a}}) {
    TrianglePairContact c = contact(t1, t2);
    EXPECT_EQ(c.dist, 0.0);
    EXPECT_LT(point_triangle_distance(c.point1, t1), 1e-12);
    EXPECT_LT(point_triangle_distance(c.point1, t2), 1e-12);
  }
}

TEST(TriangleContact, DegenerateTrianglesActAsTheirSegmentOrPoint) {
  Triangle3d point = {Vec3d{0.25, 0.25, 0}, Vec3d{0.25, 0.25, 0}, Vec3d{0.25, 0.25, 0}};
  Triangle3d seg = {Vec3d{-1, 0, 0}, Vec3d{1, 0, 0}, Vec3d{0, 0, 0}};
  Triangle3d cross_seg = {Vec3d{0, -1, 0}, Vec3d{0, 1, 0}, Vec3d{0, 1, 0}};
  EXPECT_EQ(contact(point, kFloor).dist, 0.0);                // point on the face
  EXPECT_EQ(contact(seg, cross_seg).dist, 0.0);               // crossing segments
  EXPECT_EQ(contact(seg, kFloor).dist, 0.0);                  // segment in the face
  EXPECT_NEAR(contact(point, seg).dist, 0.25, 1e-15);         // point beside a segment
  EXPECT_NEAR(contact(point, point).dist, 0.0, 0);
  Triangle3d off = translated(cross_seg, {3, 0, 0});
  EXPECT_FALSE(triangle_contact(seg, off, 0.5));              // collinear-plane, far
  EXPECT_NEAR(contact(seg, translated(cross_seg, {1.25, 0, 0})).dist, 0.25, 1e-15);
  // A sliver 1e-12 wide crossing the floor acts as the segment it nearly is.
  Triangle3d sliver = {Vec3d{0, 0, -0.25}, Vec3d{1e-12, 0, 1}, Vec3d{0, 0, 1}};
  TrianglePairContact c = contact(sliver, kFloor);
  EXPECT_NEAR(c.dist, -0.25, 1e-9);
  expect_near(c.normal, {0, 0, -1}, 1e-9);
}

TEST(TriangleContact, NonFiniteInputGivesNoContact) {
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double b : bad) {
    for (int corner = 0; corner < 6; ++corner) {
      Triangle3d t1 = kFloor, t2 = translated(kFloor, {0, 0, 0.1});
      (corner < 3 ? t1[corner] : t2[corner - 3]).y = b;
      EXPECT_FALSE(triangle_contact(t1, t2, 0.5));
    }
  }
  EXPECT_FALSE(triangle_contact(kFloor, kFloor, std::numeric_limits<double>::quiet_NaN()));
}

bool finite(const TrianglePairContact& c) {
  for (const Vec3d& v : {c.point1, c.point2, c.normal}) {
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return false;
  }
  return std::isfinite(c.dist);
}

// Corners drawn from a few shared float values: many coincident and collinear corners,
// parallel edges and coplanar pairs, and values at the extremes of float.
TEST(TriangleContact, NeverNaNOnDegenerateOrExtremeInput) {
  std::mt19937 rng(11);
  const float values[] = {0.0f, 1.0f, -1.0f, 0.5f, 1e-30f, -1e-38f, 3e38f, -3e38f, 1e20f, 7.0f};
  std::uniform_int_distribution<int> pick(0, 9);
  for (int n = 0; n < 20000; ++n) {
    Triangle3d t[2];
    for (auto& tri : t) {
      for (auto& v : tri) v = Vec3d(Point{values[pick(rng)], values[pick(rng)], values[pick(rng)]});
    }
    auto c = triangle_contact(t[0], t[1], n % 2 ? 0.5 : 1e39);
    if (c) {
      EXPECT_TRUE(finite(*c)) << n;
    }
  }
}

Vec3d random_vec(std::mt19937& rng, float lo, float hi) {
  std::uniform_real_distribution<float> u(lo, hi);
  return Vec3d(Point{u(rng), u(rng), u(rng)});
}

// A triangle of float corners around `centre`; `shape` 1 and 2 make it a segment or a point.
Triangle3d random_triangle(std::mt19937& rng, const Vec3d& centre, float size, int shape) {
  Triangle3d t;
  for (auto& v : t) v = Vec3d(to_point(centre + random_vec(rng, -size, size)));
  if (shape == 1) t[2] = Vec3d(to_point(t[0] + (t[1] - t[0]) * 0.25));
  if (shape == 2) t[1] = t[2] = t[0];
  return t;
}

// Random pairs against the long double reference: kind, distance, depth, witness points.
TEST(TriangleContact, MatchesReferenceOnRandomPairs) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> shape(0, 11);
  int crossing = 0, near = 0;
  for (int n = 0; n < 10000; ++n) {
    int s1 = shape(rng), s2 = shape(rng);
    Triangle3d t1 = random_triangle(rng, {0, 0, 0}, 1, s1 < 10 ? 0 : s1 - 9);
    Triangle3d t2 = random_triangle(rng, random_vec(rng, -1.25f, 1.25f), 1, s2 < 10 ? 0 : s2 - 9);
    Reference ref = reference(t1, t2);
    auto c = triangle_contact(t1, t2, 0.5);
    SCOPED_TRACE(n);
    if (!ref.inside) {
      if (std::fabs(ref.dist - 0.5L) < 1e-9L) continue;
      ASSERT_EQ(c.has_value(), ref.dist <= 0.5L);
      if (!c) continue;
      ++near;
      EXPECT_NEAR(c->dist, static_cast<double>(ref.dist), 1e-12);
      EXPECT_NEAR(norm(c->point2 - c->point1), c->dist, 1e-12);
      if (c->dist > 1e-9) expect_near(c->point2 - c->point1, c->normal * c->dist, 1e-12);
    } else {
      ASSERT_TRUE(c.has_value());
      ++crossing;
      EXPECT_NEAR(c->dist, -static_cast<double>(ref.depth), 1e-12);
      // Moving t2 by the depth along the normal, and a little more, separates the pair.
      Triangle3d moved = translated(t2, c->normal * (-c->dist + 1e-9));
      EXPECT_FALSE(reference(t1, moved).inside);
      expect_near(c->point1 - c->point2, c->normal * -c->dist, 1e-9);
    }
    EXPECT_NEAR(norm(c->normal), 1, 1e-12);
    EXPECT_LT(point_triangle_distance(c->point1, t1), 1e-12);
    EXPECT_LT(point_triangle_distance(c->point2, t2), 1e-12);
  }
  EXPECT_GT(crossing, 400);
  EXPECT_GT(near, 1000);
}

// Distance from the origin, inside the hull of the corner differences, to the hull's
// boundary: brute force over every plane through 3 differences that supports all 9.
long double hull_boundary_distance(const std::array<LV, 9>& d) {
  long double best = INFINITY;
  for (int i = 0; i < 9; ++i) {
    for (int j = i + 1; j < 9; ++j) {
      for (int k = j + 1; k < 9; ++k) {
        LV n = crossl(sub(d[j], d[i]), sub(d[k], d[i]));
        long double len = std::sqrt(dotl(n, n));
        if (!(len > 1e-12L)) continue;
        n = scale(n, 1 / len);
        long double lo = INFINITY, hi = -INFINITY;
        for (const LV& p : d) {
          lo = std::min(lo, dotl(sub(p, d[i]), n));
          hi = std::max(hi, dotl(sub(p, d[i]), n));
        }
        if (hi <= 1e-15L) best = std::min(best, dotl(d[i], n));
        if (lo >= -1e-15L) best = std::min(best, -dotl(d[i], n));
      }
    }
  }
  return best;
}

// For crossing pairs of proper triangles the depth is the shortest move that separates
// them: the distance to the boundary of the hull of translations that make them meet, and
// no direction of a dense sample separates them with a shorter move.
TEST(TriangleContact, DepthIsTheShortestSeparatingMove) {
  std::mt19937 rng(99);
  std::vector<LV> dirs;
  const int count = 20000;
  for (int k = 0; k < count; ++k) {
    long double z = 1 - (2.0L * k + 1) / count, r = std::sqrt(1 - z * z);
    long double phi = k * 2.39996322972865332L;
    dirs.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  int checked = 0;
  while (checked < 200) {
    Triangle3d t1 = random_triangle(rng, {0, 0, 0}, 1, 0);
    Triangle3d t2 = random_triangle(rng, random_vec(rng, -0.5f, 0.5f), 1, 0);
    auto c = triangle_contact(t1, t2, 0.5);
    if (!c || c->dist >= 0) continue;
    ++checked;
    auto diffs = differences(t1, t2);
    EXPECT_NEAR(c->dist, -static_cast<double>(hull_boundary_distance(diffs)), 1e-12);
    long double sampled = INFINITY;
    for (const LV& u : dirs) sampled = std::min(sampled, support(diffs, u));
    EXPECT_GE(static_cast<double>(sampled), -c->dist - 1e-12);
  }
}

}  // namespace
}  // namespace orvex

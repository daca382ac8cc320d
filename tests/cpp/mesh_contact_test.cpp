#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "geometry/aabb.h"
#include "geometry/mesh_contact.h"
#include "geometry/triangle_contact.h"
#include "random_meshes.h"

namespace orvex {
namespace {

using testing::MeshData;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A cheap stand-in for the pair routine that keeps to the bound the descent relies on:
// apart boxes give the nearest corner distance (never below the boxes' distance),
// overlapping ones a negative value no deeper than the boxes' overlap depth. Its ties
// and negative values exercise both pruning regimes with any triangle routine merged.
std::optional<TrianglePairContact> corner_contact(const Triangle3d& t1, const Triangle3d& t2,
                                                  double prediction) {
  for (const Triangle3d* t : {&t1, &t2})
    for (const Vec3d& v : *t)
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
        ADD_FAILURE() << "non-finite corner given to the pair routine";
  TrianglePairContact c;
  c.dist = INFINITY;
  for (const Vec3d& p : t1)
    for (const Vec3d& q : t2)
      if (double d = norm(q - p); d < c.dist) c = {d, p, q, {0, 0, 1}};
  if (c.dist > 0) c.normal = (c.point2 - c.point1) * (1 / c.dist);
  double depth = INFINITY;
  for (int i = 0; i < 3; ++i) {
    auto [lo1, hi1] = std::minmax({t1[0][i], t1[1][i], t1[2][i]});
    auto [lo2, hi2] = std::minmax({t2[0][i], t2[1][i], t2[2][i]});
    depth = std::min({depth, hi1 - lo2, hi2 - lo1});
  }
  if (depth >= 0) c.dist = -depth / (1 + c.dist);
  if (c.dist > prediction) return std::nullopt;
  return c;
}

struct Reference {
  std::optional<TrianglePairContact> best;
  int ties = 0;  // pairs whose distance equals the best's
};

// Every finite triangle pair in index order, with the same replacement rule.
Reference brute_force(const MeshData& m1, const MeshData& m2, float prediction, TriangleContactFn fn) {
  auto corners = [](const MeshData& m, const Triangle& t) {
    return Triangle3d{Vec3d(m.points[t[0]]), Vec3d(m.points[t[1]]), Vec3d(m.points[t[2]])};
  };
  Reference ref;
  for (const Triangle& a : m1.triangles) {
    if (!finite_triangle(m1.points, a)) continue;
    for (const Triangle& b : m2.triangles) {
      if (!finite_triangle(m2.points, b)) continue;
      auto c = fn(corners(m1, a), corners(m2, b), prediction);
      if (!c) continue;
      if (!ref.best || c->dist < ref.best->dist) {
        ref.best = c;
        ref.ties = 1;
      } else if (c->dist == ref.best->dist) {
        ++ref.ties;
      }
    }
  }
  return ref;
}

void append(MeshData& to, const MeshData& from) {
  uint32_t base = static_cast<uint32_t>(to.points.size());
  to.points.insert(to.points.end(), from.points.begin(), from.points.end());
  for (Triangle t : from.triangles) to.triangles.push_back({t[0] + base, t[1] + base, t[2] + base});
}

MeshData random_box(std::mt19937& rng, float lo, float extent) {
  std::uniform_real_distribution<float> at(lo, lo + extent), side(0.2f, 1.5f);
  Point a{at(rng), at(rng), at(rng)};
  return testing::box(a, {a[0] + side(rng), a[1] + side(rng), a[2] + side(rng)});
}

// Seeded scenes of several kinds: overlapping soups, soups across a gap near the reach,
// interpenetrating closed boxes, thin slivers, stacked grids, coordinates near the ends
// of the float range, and bad corners mixed in.
std::pair<MeshData, MeshData> scene(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> count(1, 120);
  std::uniform_real_distribution<float> unit(0, 1);
  MeshData m1, m2;
  switch (seed % 7) {
    case 0:
      m1 = testing::soup(rng(), count(rng), 0, 3, 0.5f);
      m2 = testing::soup(rng(), count(rng), 0, 3, 0.5f);
      break;
    case 1: {
      float gap = 0.6f * unit(rng);
      m1 = testing::soup(rng(), count(rng), 0, 2, 0.3f);
      m2 = testing::soup(rng(), count(rng), 2.6f + gap, 2, 0.3f);
      break;
    }
    case 2:
      for (int i = 0; i < 3; ++i) {
        append(m1, random_box(rng, 0, 2));
        append(m2, random_box(rng, 0, 2));
      }
      break;
    case 3: {
      for (int i = 0, n = count(rng); i < n; ++i) {
        Point a{2 * unit(rng), 2 * unit(rng), 2 * unit(rng)};
        Point b{a[0] + unit(rng), a[1] + 1e-4f * unit(rng), a[2]};
        Point c{a[0] + 0.5f * unit(rng), a[1], a[2] + 1e-5f};
        (i % 2 ? m1 : m2).add(a, b, c);
      }
      append(m1, testing::soup(rng(), 5, 0, 2, 0.5f));
      append(m2, testing::soup(rng(), 5, 0, 2, 0.5f));
      break;
    }
    case 4:
      m1 = testing::grid(12, 9, 0, 0, 0.2f, 0);
      m2 = testing::grid(7, 11, 0.05f * unit(rng), 0.1f * unit(rng), 0.25f, 0.6f * unit(rng) - 0.05f);
      break;
    case 5:
      m1 = testing::soup(rng(), count(rng), -1.5e38f, 3e38f, 1e37f);
      m2 = testing::soup(rng(), count(rng), -1.5e38f, 3e38f, 1e37f);
      break;
    case 6:
      m1 = testing::soup(rng(), count(rng), 0, 1e-30f, 3e-31f);
      m2 = testing::soup(rng(), count(rng), 0, 1e-30f, 3e-31f);
      break;
  }
  if (seed % 3 == 0) {
    m1.points[m1.triangles[0][0]][1] = kNaN;
    m2.points[m2.triangles.back()[2]][0] = -INFINITY;
  }
  return {m1, m2};
}

struct Routine {
  const char* name;
  TriangleContactFn fn;
};
const Routine kRoutines[] = {{"CornerStandIn", corner_contact}, {"TriangleContact", triangle_contact}};

class AgainstBruteForce : public ::testing::TestWithParam<std::tuple<Routine, float>> {};

TEST_P(AgainstBruteForce, SameMinimumAndWitness) {
  auto [routine, prediction] = GetParam();
  for (uint32_t seed = 0; seed < 210; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto [d1, d2] = scene(seed);
    TriMesh m1 = d1.build(), m2 = d2.build();
    Reference ref = brute_force(d1, d2, prediction, routine.fn);
    ContactStats stats;
    auto got = mesh_contact_with(m1, m2, prediction, routine.fn, &stats);
    ASSERT_EQ(got.has_value(), ref.best.has_value());
    if (!got) continue;
    EXPECT_EQ(std::bit_cast<uint32_t>(got->dist), std::bit_cast<uint32_t>(static_cast<float>(ref.best->dist)))
        << got->dist << " vs " << ref.best->dist;
    EXPECT_EQ(got->normal2, (Point{-got->normal1[0], -got->normal1[1], -got->normal1[2]}));
    if (ref.ties == 1) {
      EXPECT_EQ(got->point1, to_point(ref.best->point1));
      EXPECT_EQ(got->point2, to_point(ref.best->point2));
      EXPECT_EQ(got->normal1, to_point(ref.best->normal));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, AgainstBruteForce,
                         ::testing::Combine(::testing::ValuesIn(kRoutines), ::testing::Values(0.5f, 0.1f, 0.0f)),
                         [](const auto& info) {
                           float p = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) + "_Reach" +
                                  std::to_string(static_cast<int>(p * 10));
                         });

struct BoundCase {
  const char* name;
  Aabb a, b;
  double bound;
};

constexpr float kMax = std::numeric_limits<float>::max();

const BoundCase kBoundCases[] = {
    {"ApartOnOneAxis", {{0, 0, 0}, {1, 1, 1}}, {{1.5f, 0, 0}, {2, 1, 1}}, 0.5},
    {"ApartDiagonally", {{0, 0, 0}, {1, 1, 1}}, {{4, 5, 1}, {6, 6, 6}}, 5},
    {"Touching", {{0, 0, 0}, {1, 1, 1}}, {{1, 0.5f, 0.5f}, {2, 2, 2}}, 0},
    {"PartialOverlap", {{0, 0, 0}, {1, 1, 1}}, {{0.75f, -1, -1}, {2, 2, 2}}, -0.25},
    // A flat box crossed by a tall one: a triangle in it can still be pierced 1 deep.
    {"FlatInsideTall", {{0, 0, 0}, {4, 4, 0}}, {{1, 1, -1}, {2, 2, 3}}, -1},
    {"Nested", {{0, 0, 0}, {10, 10, 10}}, {{1, 2, 3}, {2, 3, 4}}, -2},
    {"FloatRange", {{-kMax, 0, 0}, {-kMax, 0, 0}}, {{kMax, 0, 0}, {kMax, 0, 0}}, 2.0 * kMax},
};

class BoxBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(BoxBound, BoundsEveryPairInside) {
  const BoundCase& c = GetParam();
  EXPECT_DOUBLE_EQ(box_contact_bound(c.a, c.b), c.bound);
  EXPECT_DOUBLE_EQ(box_contact_bound(c.b, c.a), c.bound);
}

INSTANTIATE_TEST_SUITE_P(Boxes, BoxBound, ::testing::ValuesIn(kBoundCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeshContact, NonFiniteTrianglesNeverTakePart) {
  MeshData bad;
  bad.add({0, 0, 0}, {1, 0, 0}, {0, kNaN, 0});
  bad.add({0, 0, 0}, {INFINITY, 0, 0}, {0, 1, 0});
  TriMesh m1 = bad.build(), m2 = testing::grid(4, 4, -1, -1, 0.5f, 0).build();
  ContactStats stats;
  EXPECT_FALSE(mesh_contact_with(m1, m2, 0.5f, corner_contact, &stats));
  EXPECT_FALSE(mesh_contact_with(m2, m1, 0.5f, corner_contact, &stats));
  EXPECT_EQ(stats.node_pairs, 0u);
  EXPECT_EQ(stats.triangle_pairs, 0u);
}

// Two 20k-triangle meshes: the descent must evaluate a tiny fraction of the 4e8 pairs,
// whether they touch at one corner, face each other across a gap, or cross.

const char* const kLargeSceneNames[] = {"CornerTouch", "Gap", "Crossing"};

class LargeMeshes : public ::testing::TestWithParam<std::tuple<Routine, int>> {};

TEST_P(LargeMeshes, EvaluateATinyFractionOfPairs) {
  auto [routine, kind] = GetParam();
  MeshData d1 = testing::grid(100, 100, 0, 0, 0.1f, 0);
  MeshData d2;
  if (kind == 0) {
    d2 = testing::grid(100, 100, 10, 10, 0.1f, 0);  // shares the corner (10, 10, 0)
  } else if (kind == 1) {
    d2 = testing::grid(100, 100, 0.05f, 0.05f, 0.1f, 0.3f);
  } else {
    d2 = testing::grid(100, 100, 0, 0, 0.1f, 0);  // rotated into the plane y = 5.05
    for (Point& p : d2.points) p = {p[0], 5.05f, p[1] - 5.05f};
  }
  TriMesh m1 = d1.build(), m2 = d2.build();
  ASSERT_EQ(m1.triangles().size(), 20000u);
  ContactStats stats;
  auto c = mesh_contact_with(m1, m2, 0.5f, routine.fn, &stats);
  // Across the gap every pair facing each other is as near as the best, so it has to be
  // looked at: a few dozen per triangle, against 20000.
  const uint64_t budget[] = {100, 40 * 20000, 10000};
  EXPECT_LT(stats.triangle_pairs, budget[kind]);
  EXPECT_LT(stats.node_pairs, budget[kind]);
  ASSERT_TRUE(c);
  if (kind == 0) {
    EXPECT_EQ(c->dist, 0.0f);
  } else if (kind == 1 && routine.fn == triangle_contact) {
    EXPECT_FLOAT_EQ(c->dist, 0.3f);
  } else if (kind == 2) {
    EXPECT_LT(c->dist, 0.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, LargeMeshes,
                         ::testing::Combine(::testing::ValuesIn(kRoutines), ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  kLargeSceneNames[std::get<1>(info.param)];
                         });

MeshData tetrahedron(Point apex, float x_base) {
  MeshData m;
  m.points = {apex, {x_base, apex[1] - 1, apex[2] - 1}, {x_base, apex[1] + 1, apex[2] - 1},
              {x_base, apex[1], apex[2] + 1}};
  m.triangles = {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}};
  return m;
}

TEST(MeshContact, GapIsTheSurfaceDistanceWithTheNearestPointOnMesh1) {
  TriMesh cube = testing::box({0, 0, 0}, {1, 1, 1}).build();
  TriMesh tip = tetrahedron({1.3f, 0.5f, 0.25f}, 2).build();
  auto c = mesh_contact(cube, tip, 0.5f);
  ASSERT_TRUE(c);
  EXPECT_FLOAT_EQ(c->dist, 1.3f - 1.0f);
  EXPECT_EQ(c->point1, (Point{1, 0.5f, 0.25f}));
  EXPECT_EQ(c->point2, (Point{1.3f, 0.5f, 0.25f}));
  EXPECT_EQ(c->normal1, (Point{1, 0, 0}));
  EXPECT_EQ(c->normal2, (Point{-1, 0, 0}));

  // Swapped, the same distance with the point on the other mesh.
  auto s = mesh_contact(tip, cube, 0.5f);
  ASSERT_TRUE(s);
  EXPECT_FLOAT_EQ(s->dist, c->dist);
  EXPECT_EQ(s->point1, c->point2);
}

TEST(MeshContact, ReachIsInclusiveAndNothingBeyondIt) {
  TriMesh cube = testing::box({0, 0, 0}, {1, 1, 1}).build();
  auto at = [&](float x) { return mesh_contact(cube, tetrahedron({x, 0.5f, 0.5f}, x + 1).build(), 0.5f); };
  auto exact = at(1.5f);  // 1.5f - 1 is exactly 0.5
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->dist, 0.5f);
  EXPECT_FALSE(at(std::nextafter(1.5f, 2.0f)));
  EXPECT_FALSE(at(3));
}

TEST(MeshContact, OverlappingBoxesGiveTheDeepestCrossingPair) {
  MeshData a = testing::box({0, 0, 0}, {1, 1, 1}), b = testing::box({0.8f, 0.1f, 0.2f}, {1.8f, 0.9f, 0.7f});
  auto c = mesh_contact(a.build(), b.build(), 0.5f);
  Reference ref = brute_force(a, b, 0.5f, triangle_contact);
  ASSERT_TRUE(c);
  ASSERT_TRUE(ref.best);
  EXPECT_LT(c->dist, 0.0f);
  EXPECT_EQ(c->dist, static_cast<float>(ref.best->dist));
}

TEST(MeshContact, ClosedMeshDeepInsideAnotherHasNoContact) {
  TriMesh outer = testing::box({0, 0, 0}, {10, 10, 10}).build();
  TriMesh inner = testing::box({4, 4, 4}, {6, 6, 6}).build();
  ContactStats stats;
  EXPECT_FALSE(mesh_contact(outer, inner, 0.5f, &stats));
  EXPECT_EQ(stats.triangle_pairs, 0u);
}

TEST(MeshContact, ExactlyTouchingFacesGiveZero) {
  TriMesh a = testing::box({0, 0, 0}, {1, 1, 1}).build();
  for (MeshData b : {testing::box({1, 0, 0}, {2, 1, 1}), testing::box({1, 0.25f, 0.25f}, {2, 0.75f, 0.75f}),
                     testing::box({1, 1, 0}, {2, 2, 1})}) {
    auto c = mesh_contact(a, b.build(), 0.5f);
    ASSERT_TRUE(c);
    EXPECT_LE(std::fabs(c->dist), 1e-6f);
  }
}

}  // namespace
}  // namespace orvex

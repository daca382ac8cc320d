#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/point_in_mesh.h"
#include "geometry/solid.h"
#include "solids.h"

namespace orvex {
namespace {

using testing::MeshData;

bool closed(const MeshData& m) { return is_closed(weld(m.points, m.triangles)); }

// Distance from p to the triangle abc by the plain construction: the foot on the plane
// when it falls inside, else the nearest point of the three edges.
double point_triangle_distance(const Vec3d& p, const Vec3d& a, const Vec3d& b, const Vec3d& c) {
  const Vec3d n = cross(b - a, c - a);
  const Vec3d foot = p - n * (dot(p - a, n) / dot(n, n));
  const Vec3d corners[3] = {a, b, c};
  bool inside = true;
  for (int k = 0; k < 3; ++k) {
    inside = inside && dot(cross(corners[(k + 1) % 3] - corners[k], foot - corners[k]), n) >= 0;
  }
  if (inside) return norm(p - foot);
  double best = INFINITY;
  for (int k = 0; k < 3; ++k) {
    const Vec3d e = corners[(k + 1) % 3] - corners[k];
    const double t = std::clamp(dot(p - corners[k], e) / dot(e, e), 0.0, 1.0);
    best = std::min(best, norm(p - (corners[k] + e * t)));
  }
  return best;
}

TEST(ClosedMesh, EdgesPairUpInOppositeDirectionsAfterWelding) {
  std::mt19937 rng(3);
  const MeshData box = testing::box({0, 0, 0}, {1, 2, 3});
  EXPECT_TRUE(closed(box));
  EXPECT_TRUE(closed(testing::l_prism({1, 1, 1}, 0.5f, 2)));
  EXPECT_TRUE(closed(testing::torus({0, 0, 0}, 3, 1, 24, 12)));
  // Corners not shared, triangles split and shuffled: closed once equal corners merge.
  EXPECT_TRUE(closed(testing::copied(box, rng)));
  // -0 and 0 are one corner.
  MeshData signed_zero = box;
  signed_zero.points.push_back({-0.0f, 0, 0});
  signed_zero.triangles[0][0] = 8;
  EXPECT_TRUE(closed(signed_zero));
  // Triangles that collapse when corners merge are dropped; collinear ones are kept and
  // here leave their long edge unpaired.
  MeshData collapsed = box;
  collapsed.triangles.push_back({0, 0, 1});
  collapsed.points.push_back({0, 0, 0});
  collapsed.triangles.push_back({0, 8, 7});
  EXPECT_TRUE(closed(collapsed));
  MeshData collinear = box;
  collinear.points.push_back({0.5f, 0, 0});
  collinear.triangles.push_back({0, 8, 1});
  EXPECT_FALSE(closed(collinear));

  MeshData hole = box;
  hole.triangles.pop_back();
  EXPECT_FALSE(closed(hole));
  MeshData flipped = box;
  std::swap(flipped.triangles[3][1], flipped.triangles[3][2]);
  EXPECT_FALSE(closed(flipped));
  MeshData doubled = box;
  doubled.triangles.push_back(box.triangles[0]);
  EXPECT_FALSE(closed(doubled));
  // Two boxes sharing an edge: each edge balanced, but one is run by four triangles.
  MeshData two = box;
  const MeshData other = testing::box({1, 2, 0}, {2, 4, 3});
  for (const Triangle& t : other.triangles)
    two.add(other.points[t[0]], other.points[t[1]], other.points[t[2]]);
  EXPECT_FALSE(closed(two));
  MeshData nan = box;
  nan.add({NAN, 0, 0}, {1, 0, 0}, {0, 1, 0});
  EXPECT_FALSE(closed(nan));
  EXPECT_FALSE(closed(MeshData{{{0, 0, 0}}, {{0, 0, 0}}}));

  // The mesh keeps its answer, and copies carry it.
  const TriMesh mesh = box.build();
  const TriMesh copy = mesh;
  EXPECT_TRUE(mesh.closed());
  EXPECT_TRUE(copy.closed());
  EXPECT_FALSE(hole.build().closed());
}

TEST(SolidMeasures, VolumeCentroidAndThicknessOfKnownSolids) {
  const SolidMeasures box = solid_measures(testing::box({1, 2, 3}, {3, 3, 7}).points,
                                           testing::box({1, 2, 3}, {3, 3, 7}).triangles);
  EXPECT_DOUBLE_EQ(box.volume, 8);
  EXPECT_DOUBLE_EQ(box.centroid.x, 2);
  EXPECT_DOUBLE_EQ(box.centroid.y, 2.5);
  EXPECT_DOUBLE_EQ(box.centroid.z, 5);
  EXPECT_DOUBLE_EQ(box.thickness, 1);

  const MeshData l = testing::l_prism({0, 0, 0}, 1, 4);
  const SolidMeasures lm = solid_measures(l.points, l.triangles);
  EXPECT_NEAR(lm.volume, 12, 1e-12);
  EXPECT_NEAR(lm.centroid.x, 5.0 / 6, 1e-12);  // (2 x 1 at 1) + (1 x 1 at 0.5) over 3
  EXPECT_NEAR(lm.thickness, 2, 1e-12);

  // A box turned about two axes: its thinnest side is found along a face normal, where
  // the axis-aligned box would say more.
  MeshData turned = testing::box({-2, -1, -0.1f}, {2, 1, 0.1f});
  const double c = std::cos(0.5), s = std::sin(0.5);
  for (Point& p : turned.points) {
    const double x = p[0], y = c * p[1] - s * p[2], z = s * p[1] + c * p[2];
    p = {float(c * x - s * y), float(s * x + c * y), float(z)};
  }
  EXPECT_NEAR(solid_measures(turned.points, turned.triangles).thickness, 0.2, 1e-6);

  MeshData inverted = testing::box({0, 0, 0}, {1, 1, 1});
  for (Triangle& t : inverted.triangles) std::swap(t[1], t[2]);
  EXPECT_DOUBLE_EQ(solid_measures(inverted.points, inverted.triangles).volume, -1);

  // Two boxes in one mesh: two pieces, each measured alone.
  MeshData two = testing::box({0, 0, 0}, {1, 1, 1});
  const MeshData far = testing::box({5, 0, 0}, {7, 3, 1});
  for (const Point& p : far.points) two.points.push_back(p);
  for (const Triangle& t : far.triangles) two.triangles.push_back({t[0] + 8, t[1] + 8, t[2] + 8});
  const std::vector<SolidMeasures> pieces = piece_measures(two.points, two.triangles);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_DOUBLE_EQ(pieces[0].volume, 1);
  EXPECT_DOUBLE_EQ(pieces[1].volume, 6);
  EXPECT_DOUBLE_EQ(pieces[1].centroid.x, 6);
  EXPECT_DOUBLE_EQ(pieces[1].thickness, 1);

  const MeshData torus = testing::torus({0, 0, 0}, 3, 1, 64, 32);
  const SolidMeasures tm = solid_measures(torus.points, torus.triangles);
  // The polyhedron is inscribed in the torus 2 pi^2 R r^2: a little smaller.
  EXPECT_LT(tm.volume, 2 * std::numbers::pi * std::numbers::pi * 3);
  EXPECT_GT(tm.volume, 0.98 * 2 * std::numbers::pi * std::numbers::pi * 3);
}

// Query points on a quarter-unit grid around axis-aligned L prisms: many lie in face
// planes, on edge lines or on the surface itself, where rays must be recast or no
// answer given.
TEST(PointInMesh, RayWindingOfLPrismsOnAGridOfDegeneratePoints) {
  const Point at{1, -1, 0.5f};
  const MeshData l = testing::l_prism(at, 1, 2);
  const TriMesh mesh = l.build();
  MeshData inverted = l;
  for (Triangle& t : inverted.triangles) std::swap(t[1], t[2]);
  const TriMesh inside_out = inverted.build();
  int counted[3] = {0, 0, 0};
  for (int i = -2; i <= 14; ++i) {
    for (int j = -2; j <= 14; ++j) {
      for (int k = -2; k <= 12; k += 2) {
        const Vec3d p{at[0] + i * 0.25 - 0.5, at[1] + j * 0.25 - 0.5, at[2] + k * 0.25};
        const testing::Where where = testing::l_prism_where(at, 1, 2, p.x, p.y, p.z);
        const std::optional<int> w = ray_winding(mesh, p);
        const std::optional<int> w_inverted = ray_winding(inside_out, p);
        ++counted[int(where)];
        if (where == testing::Where::surface) {
          EXPECT_FALSE(w.has_value()) << p.x << " " << p.y << " " << p.z;
          continue;
        }
        const int expected = where == testing::Where::inside ? 1 : 0;
        ASSERT_TRUE(w.has_value()) << p.x << " " << p.y << " " << p.z;
        EXPECT_EQ(*w, expected) << p.x << " " << p.y << " " << p.z;
        EXPECT_EQ(w_inverted, -expected);
        EXPECT_NEAR(generalized_winding(mesh, p), expected, 1e-9);
      }
    }
  }
  EXPECT_GT(counted[int(testing::Where::inside)], 50);
  EXPECT_GT(counted[int(testing::Where::surface)], 100);
}

// Random points around a torus and copies of tetrahedra: the ray count and the solid
// angle sum agree wherever the point is clearly off the surface, and both agree with
// the torus's own inside (well within the tube, well outside it).
TEST(PointInMesh, RaysAgreeWithSolidAnglesOnToriAndTetrahedra) {
  std::mt19937 rng(11);
  const MeshData torus = testing::torus({0.5f, -0.25f, 2}, 3, 1, 48, 24);
  std::vector<MeshData> shapes{torus, testing::copied(torus, rng)};
  for (int i = 0; i < 4; ++i) shapes.push_back(testing::copied(testing::tetrahedron(rng, {0, 0, 0}, 2), rng));
  std::uniform_real_distribution<float> u(-5, 5);
  for (size_t s = 0; s < shapes.size(); ++s) {
    const TriMesh mesh = shapes[s].build();
    int inside = 0;
    for (int i = 0; i < 400; ++i) {
      // Around the torus, or nearer the tetrahedra, which are smaller.
      const double scale = s < 2 ? 1 : 0.4;
      const Vec3d p{scale * u(rng), scale * u(rng), scale * u(rng) + (s < 2 ? 2 : 0)};
      const double g = generalized_winding(mesh, p);
      const std::optional<int> w = ray_winding(mesh, p);
      ASSERT_TRUE(w.has_value());
      if (std::fabs(g - std::round(g)) < 1e-6) {
        EXPECT_EQ(*w, std::lround(g));
      }
      inside += *w;
      if (s < 2) {
        const double ring = std::hypot(std::hypot(p.x - 0.5, p.y + 0.25) - 3, p.z - 2);
        if (ring < 0.95) {
          EXPECT_EQ(*w, 1);
        } else if (ring > 1.0) {
          EXPECT_EQ(*w, 0);
        }
      }
    }
    EXPECT_GT(inside, 0);
  }
}

// The hierarchy's far field against the plain sum, on open meshes: a torus with strips
// cut out and a soup of triangles, at points near and far, and on the surface.
TEST(PointInMesh, WindingFieldDecidesAsThePlainSum) {
  std::mt19937 rng(9);
  MeshData cut = testing::torus({0, 0, 0}, 3, 1, 96, 48);
  cut.triangles.erase(cut.triangles.begin(), cut.triangles.begin() + 200);
  const std::vector<MeshData> meshes{cut, testing::soup(4, 3000, -2, 4, 0.5f)};
  std::uniform_real_distribution<float> u(-5, 5);
  for (size_t s = 0; s < meshes.size(); ++s) {
    const MeshData& data = meshes[s];
    const TriMesh mesh = data.build();
    const WindingField field(mesh);
    int half = 0;
    for (int i = 0; i < 600; ++i) {
      const Vec3d p = i % 3 == 0 ? Vec3d(data.points[rng() % data.points.size()]) : Vec3d{u(rng), u(rng), u(rng)};
      const bool expected = std::fabs(generalized_winding(mesh, p)) >= 0.5;
      EXPECT_EQ(field.at_least_half(p), expected) << p.x << " " << p.y << " " << p.z;
      half += expected;
    }
    if (s == 0) {
      EXPECT_GT(half, 10);  // the torus holds points, the soup hardly any
    }
  }
}

// Distances to the surface against every triangle, and duplicates of a copied box.
TEST(PointInMesh, NearSurfaceMatchesEveryTriangle) {
  std::mt19937 rng(5);
  const MeshData box = testing::box({0, 0, 0}, {2, 1, 1});
  const MeshData copy = testing::copied(box, rng);
  const TriMesh mesh = copy.build();
  std::uniform_real_distribution<float> u(-0.5f, 2.5f);
  for (int i = 0; i < 500; ++i) {
    const Vec3d p{u(rng), u(rng), u(rng)};
    double nearest = INFINITY;
    for (const Triangle& t : copy.triangles) {
      nearest = std::min(nearest, point_triangle_distance(p, Vec3d(copy.points[t[0]]), Vec3d(copy.points[t[1]]),
                                                          Vec3d(copy.points[t[2]])));
    }
    for (double tolerance : {0.0, 0.05, 0.3}) {
      if (std::fabs(nearest - tolerance) > 1e-9) {
        EXPECT_EQ(near_surface(mesh, p, tolerance), nearest <= tolerance);
      }
    }
  }
  const TriMesh plain = box.build();
  EXPECT_TRUE(corners_near_surface(plain, mesh, 1e-6));
  EXPECT_TRUE(corners_near_surface(mesh, plain, 1e-6));
  const TriMesh shifted = testing::moved(box, 0, 0, 0.002f).build();
  EXPECT_TRUE(corners_near_surface(shifted, mesh, 0.0021));
  EXPECT_FALSE(corners_near_surface(shifted, mesh, 0.0019));
}

}  // namespace
}  // namespace orvex

// Closed solids for the volumetric tests: L-shaped prisms, tori, tetrahedra, and the
// ways a modeller's copy of a mesh differs from it (corners not shared, triangles
// split, order changed).
#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "geometry/solid.h"
#include "random_meshes.h"

namespace orvex::testing {

/// The L-shaped prism over the polygon (0,0) (2,0) (2,1) (1,1) (1,2) (0,2), scaled by
/// `s` and moved to `at`, from z = at.z to at.z + height; triangles face outwards.
inline MeshData l_prism(Point at, float s, float height) {
  const float xy[6][2] = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
  MeshData m;
  for (float z : {at[2], at[2] + height})
    for (const auto& p : xy) m.points.push_back({at[0] + s * p[0], at[1] + s * p[1], z});
  for (uint32_t k = 1; k < 5; ++k) {
    m.triangles.push_back({0, k + 1, k});      // bottom, facing down
    m.triangles.push_back({6, 6 + k, 7 + k});  // top, facing up
  }
  for (uint32_t i = 0; i < 6; ++i) {
    const uint32_t j = (i + 1) % 6;
    m.triangles.push_back({i, j, 6 + j});
    m.triangles.push_back({i, 6 + j, 6 + i});
  }
  return m;
}

/// Whether (x, y, z) is strictly inside l_prism(at, s, height), or on its surface.
enum class Where { outside, inside, surface };
inline Where l_prism_where(Point at, float s, float height, double x, double y, double z) {
  const double u = (x - at[0]) / s, v = (y - at[1]) / s, w = z - at[2];
  auto in_closed = [&] {
    return u >= 0 && v >= 0 && w >= 0 && w <= height && ((u <= 2 && v <= 1) || (u <= 1 && v <= 2));
  };
  auto in_open = [&] {
    return u > 0 && v > 0 && w > 0 && w < height && ((u < 2 && v < 1) || (u < 1 && v < 2));
  };
  return in_open() ? Where::inside : in_closed() ? Where::surface : Where::outside;
}

/// A torus around the z axis through `at`: tube radius r around the circle of radius R,
/// n x m quadrilaterals; triangles face outwards.
inline MeshData torus(Point at, float R, float r, int n, int m) {
  MeshData mesh;
  for (int i = 0; i < n; ++i) {
    const double u = 2 * std::numbers::pi * i / n;
    for (int j = 0; j < m; ++j) {
      const double v = 2 * std::numbers::pi * j / m;
      mesh.points.push_back({at[0] + float((R + r * std::cos(v)) * std::cos(u)),
                             at[1] + float((R + r * std::cos(v)) * std::sin(u)), at[2] + float(r * std::sin(v))});
    }
  }
  auto id = [&](int i, int j) { return uint32_t((i % n) * m + (j % m)); };
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      mesh.triangles.push_back({id(i, j), id(i + 1, j), id(i + 1, j + 1)});
      mesh.triangles.push_back({id(i, j), id(i + 1, j + 1), id(i, j + 1)});
    }
  }
  return mesh;
}

/// A tetrahedron with random corners within `size` of `centre`, facing outwards.
inline MeshData tetrahedron(std::mt19937& rng, Point centre, float size) {
  std::uniform_real_distribution<float> off(-size, size);
  MeshData m;
  for (int i = 0; i < 4; ++i) m.points.push_back({centre[0] + off(rng), centre[1] + off(rng), centre[2] + off(rng)});
  m.triangles = {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {2, 0, 3}};
  if (solid_measures(m.points, m.triangles).volume < 0)
    for (Triangle& t : m.triangles) std::swap(t[1], t[2]);
  return m;
}

/// The same surface as a modeller's copy may hold it: every triangle with corners of
/// its own, split in three at its centroid, in shuffled order.
inline MeshData copied(const MeshData& m, std::mt19937& rng) {
  MeshData out;
  for (const Triangle& t : m.triangles) {
    const Point a = m.points[t[0]], b = m.points[t[1]], c = m.points[t[2]];
    const Point g{(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3};
    out.add(a, b, g);
    out.add(b, c, g);
    out.add(c, a, g);
  }
  std::vector<size_t> order(out.triangles.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<Triangle> shuffled;
  for (size_t i : order) shuffled.push_back(out.triangles[i]);
  out.triangles = shuffled;
  return out;
}

/// m moved by (dx, dy, dz).
inline MeshData moved(MeshData m, float dx, float dy, float dz) {
  for (Point& p : m.points) p = {p[0] + dx, p[1] + dy, p[2] + dz};
  return m;
}

}  // namespace orvex::testing

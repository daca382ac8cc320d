// Seeded mesh generators shared by the hierarchy and contact tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "geometry/trimesh.h"

namespace orvex::testing {

struct MeshData {
  std::vector<Point> points;
  std::vector<Triangle> triangles;

  TriMesh build() const { return TriMesh(points, triangles); }
  void add(Point a, Point b, Point c) {
    uint32_t n = static_cast<uint32_t>(points.size());
    points.insert(points.end(), {a, b, c});
    triangles.push_back({n, n + 1, n + 2});
  }
};

/// n triangles, each with its corners within `size` of a random centre inside the cube
/// [lo, lo + extent]^3.
inline MeshData soup(uint32_t seed, int n, float lo, float extent, float size) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> at(lo, lo + extent), off(-size, size);
  MeshData m;
  for (int i = 0; i < n; ++i) {
    Point c{at(rng), at(rng), at(rng)};
    auto corner = [&] { return Point{c[0] + off(rng), c[1] + off(rng), c[2] + off(rng)}; };
    Point p = corner(), q = corner(), r = corner();
    m.add(p, q, r);
  }
  return m;
}

/// Flat grid of nx * ny squares of side `step` at height z, two triangles per square,
/// sharing points.
inline MeshData grid(int nx, int ny, float x0, float y0, float step, float z) {
  MeshData m;
  for (int j = 0; j <= ny; ++j)
    for (int i = 0; i <= nx; ++i) m.points.push_back({x0 + i * step, y0 + j * step, z});
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) {
      uint32_t v = static_cast<uint32_t>(j * (nx + 1) + i), w = v + static_cast<uint32_t>(nx + 1);
      m.triangles.push_back({v, v + 1, w + 1});
      m.triangles.push_back({v, w + 1, w});
    }
  }
  return m;
}

/// Closed surface of the box [lo, hi], twelve triangles facing outwards.
inline MeshData box(Point lo, Point hi) {
  MeshData m;
  for (int k = 0; k < 8; ++k)
    m.points.push_back({k & 1 ? hi[0] : lo[0], k & 2 ? hi[1] : lo[1], k & 4 ? hi[2] : lo[2]});
  m.triangles = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                 {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  return m;
}

}  // namespace orvex::testing

// Bounding-volume hierarchy over a mesh's triangles: a flat node array, root first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/aabb.h"
#include "geometry/vec.h"

namespace orvex {

/// Leaves hold at most this many triangles, so a pair of leaves is a small fixed batch.
inline constexpr uint32_t kMaxLeafTriangles = 4;

struct BvhNode {
  Aabb box;        // exact float bounds of every triangle below the node
  uint32_t index;  // leaf: first slot in Bvh::order; inner: left child (the right one follows it)
  uint32_t count;  // leaf: number of triangles, 1..kMaxLeafTriangles; inner: 0

  bool leaf() const { return count != 0; }
};

struct Bvh {
  std::vector<BvhNode> nodes;   // nodes[0] is the root; empty when no triangle is finite
  std::vector<uint32_t> order;  // triangle indices, each leaf's a contiguous run
};

/// True when all three corners of `t` have finite coordinates; only those triangles
/// enter the hierarchy.
bool finite_triangle(std::span<const Point> points, const Triangle& t);

/// Exact float box of one triangle.
Aabb triangle_box(std::span<const Point> points, const Triangle& t);

/// Binned surface-area-heuristic build over the finite triangles, with an explicit work
/// stack. Every index of `triangles` must name a point.
Bvh build_bvh(std::span<const Point> points, std::span<const Triangle> triangles);

/// Checks every invariant of `bvh` built over these points and triangles and throws
/// std::logic_error naming the first one broken.
void validate_bvh(const Bvh& bvh, std::span<const Point> points, std::span<const Triangle> triangles);

}  // namespace orvex

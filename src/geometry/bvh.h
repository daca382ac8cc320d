// Bounding-volume hierarchy over a list of items with boxes (a mesh's triangles, a
// model's objects): a flat node array, root first, and the items in leaf order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/aabb.h"
#include "geometry/vec.h"

namespace orvex {

/// Leaves hold at most this many items, so a pair of leaves is a small fixed batch.
inline constexpr uint32_t kMaxLeafItems = 4;

struct BvhNode {
  Aabb box;        // exact float bounds of every item below the node
  uint32_t index;  // leaf: first slot in Bvh::order; inner: left child (the right one follows it)
  uint32_t count;  // leaf: number of items, 1..kMaxLeafItems; inner: 0

  bool leaf() const { return count != 0; }
};

/// Children always follow their parent in `nodes`. An item takes part when its box is
/// finite (see Aabb::finite); only those are in the hierarchy, each in exactly one leaf.
struct Bvh {
  std::vector<BvhNode> nodes;   // nodes[0] is the root; empty when no item takes part
  std::vector<uint32_t> order;  // item indices, each leaf's a contiguous run
};

/// True when all three corners of `t` have finite coordinates; only those triangles
/// enter a mesh's hierarchy.
bool finite_triangle(std::span<const Point> points, const Triangle& t);

/// Exact float box of one triangle.
Aabb triangle_box(std::span<const Point> points, const Triangle& t);

/// Binned surface-area-heuristic build over the finite triangles, with an explicit work
/// stack. Every index of `triangles` must name a point. Throws Fault(Input) for more
/// than UINT32_MAX / 2 triangles.
Bvh build_bvh(std::span<const Point> points, std::span<const Triangle> triangles);

/// Build over item boxes by median splits on the longest axis of the box centres: each
/// child holds at most half its parent's items (rounded up), so the depth stays below
/// log2(n) + 1. Cheap and good for boxes that hardly overlap, such as a model's objects.
/// Empty and non-finite boxes are left out. Throws Fault(Input) for more than
/// UINT32_MAX / 2 boxes.
Bvh build_box_bvh(std::span<const Aabb> boxes);

/// Checks every invariant of `bvh` over items with these boxes (an empty box: the item
/// takes no part) and throws std::logic_error naming the first one broken.
void validate_bvh(const Bvh& bvh, std::span<const Aabb> item_boxes);

/// validate_bvh for a mesh's hierarchy: its items are the triangles, and a triangle
/// takes part when it is finite.
void validate_bvh(const Bvh& bvh, std::span<const Point> points, std::span<const Triangle> triangles);

}  // namespace orvex

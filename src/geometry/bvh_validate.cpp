#include <cmath>
#include <stdexcept>
#include <string>

#include "geometry/bvh.h"

namespace orvex {

namespace {

[[noreturn]] void broken(const std::string& what) { throw std::logic_error("hierarchy: " + what); }

bool finite_box(const Aabb& b) {
  for (int i = 0; i < 3; ++i)
    if (!std::isfinite(b.lo[i]) || !std::isfinite(b.hi[i])) return false;
  return !b.empty();
}

}  // namespace

void validate_bvh(const Bvh& bvh, std::span<const Point> points, std::span<const Triangle> triangles) {
  size_t finite = 0;
  for (const Triangle& t : triangles) finite += finite_triangle(points, t);
  if (bvh.order.size() != finite)
    broken("holds " + std::to_string(bvh.order.size()) + " triangles, mesh has " +
           std::to_string(finite) + " finite ones");
  if (finite == 0) {
    if (!bvh.nodes.empty()) broken("nodes without any finite triangle");
    return;
  }
  if (bvh.nodes.empty()) broken("no root");

  std::vector<char> node_seen(bvh.nodes.size(), 0);
  std::vector<char> triangle_seen(triangles.size(), 0);
  std::vector<uint32_t> stack{0};
  size_t placed = 0;
  while (!stack.empty()) {
    uint32_t at = stack.back();
    stack.pop_back();
    if (at >= bvh.nodes.size()) broken("node index " + std::to_string(at) + " out of range");
    if (node_seen[at]) broken("node " + std::to_string(at) + " reached twice");
    node_seen[at] = 1;
    const BvhNode& node = bvh.nodes[at];
    if (!finite_box(node.box)) broken("node " + std::to_string(at) + " has an empty or non-finite box");
    if (!node.leaf()) {
      if (node.index >= bvh.nodes.size() - 1)
        broken("node " + std::to_string(at) + " has children out of range");
      for (uint32_t child : {node.index, node.index + 1}) {
        if (!node.box.contains(bvh.nodes[child].box))
          broken("node " + std::to_string(child) + " sticks out of its parent");
        stack.push_back(child);
      }
      continue;
    }
    if (node.count > kMaxLeafTriangles) broken("leaf " + std::to_string(at) + " is too large");
    if (node.index > bvh.order.size() || node.count > bvh.order.size() - node.index)
      broken("leaf " + std::to_string(at) + " runs past the triangle order");
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      uint32_t t = bvh.order[slot];
      if (t >= triangles.size()) broken("triangle index " + std::to_string(t) + " out of range");
      if (!finite_triangle(points, triangles[t]))
        broken("non-finite triangle " + std::to_string(t) + " in a leaf");
      if (triangle_seen[t]) broken("triangle " + std::to_string(t) + " in more than one leaf slot");
      triangle_seen[t] = 1;
      ++placed;
      if (!node.box.contains(triangle_box(points, triangles[t])))
        broken("triangle " + std::to_string(t) + " sticks out of leaf " + std::to_string(at));
    }
  }
  if (placed != finite)
    broken(std::to_string(finite - placed) + " finite triangles in no leaf");
  for (size_t i = 0; i < bvh.nodes.size(); ++i)
    if (!node_seen[i]) broken("node " + std::to_string(i) + " unreachable from the root");
}

}  // namespace orvex

#include <stdexcept>
#include <string>

#include "geometry/bvh.h"

namespace orvex {

namespace {

[[noreturn]] void broken(const std::string& what) { throw std::logic_error("hierarchy: " + what); }

}  // namespace

void validate_bvh(const Bvh& bvh, std::span<const Aabb> item_boxes) {
  size_t taking_part = 0;
  for (const Aabb& b : item_boxes) taking_part += b.finite();
  if (bvh.order.size() != taking_part)
    broken("holds " + std::to_string(bvh.order.size()) + " items, " + std::to_string(taking_part) +
           " take part");
  if (taking_part == 0) {
    if (!bvh.nodes.empty()) broken("nodes without any item");
    return;
  }
  if (bvh.nodes.empty()) broken("no root");

  std::vector<char> node_seen(bvh.nodes.size(), 0);
  std::vector<char> item_seen(item_boxes.size(), 0);
  std::vector<uint32_t> stack{0};
  size_t placed = 0;
  while (!stack.empty()) {
    uint32_t at = stack.back();
    stack.pop_back();
    if (at >= bvh.nodes.size()) broken("node index " + std::to_string(at) + " out of range");
    if (node_seen[at]) broken("node " + std::to_string(at) + " reached twice");
    node_seen[at] = 1;
    const BvhNode& node = bvh.nodes[at];
    if (!node.box.finite()) broken("node " + std::to_string(at) + " has an empty or non-finite box");
    if (!node.leaf()) {
      // Children after their parent: a walk down the hierarchy always ends.
      if (node.index <= at || node.index >= bvh.nodes.size() - 1)
        broken("node " + std::to_string(at) + " has children out of range");
      for (uint32_t child : {node.index, node.index + 1}) {
        if (!node.box.contains(bvh.nodes[child].box))
          broken("node " + std::to_string(child) + " sticks out of its parent");
        stack.push_back(child);
      }
      continue;
    }
    if (node.count > kMaxLeafItems) broken("leaf " + std::to_string(at) + " is too large");
    if (node.index > bvh.order.size() || node.count > bvh.order.size() - node.index)
      broken("leaf " + std::to_string(at) + " runs past the item order");
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      uint32_t item = bvh.order[slot];
      if (item >= item_boxes.size()) broken("item index " + std::to_string(item) + " out of range");
      if (!item_boxes[item].finite())
        broken("item " + std::to_string(item) + " takes no part but is in a leaf");
      if (item_seen[item]) broken("item " + std::to_string(item) + " in more than one leaf slot");
      item_seen[item] = 1;
      ++placed;
      if (!node.box.contains(item_boxes[item]))
        broken("item " + std::to_string(item) + " sticks out of leaf " + std::to_string(at));
    }
  }
  if (placed != taking_part) broken(std::to_string(taking_part - placed) + " items in no leaf");
  for (size_t i = 0; i < bvh.nodes.size(); ++i)
    if (!node_seen[i]) broken("node " + std::to_string(i) + " unreachable from the root");
}

void validate_bvh(const Bvh& bvh, std::span<const Point> points, std::span<const Triangle> triangles) {
  std::vector<Aabb> boxes(triangles.size());
  for (size_t i = 0; i < triangles.size(); ++i) {
    if (finite_triangle(points, triangles[i])) boxes[i] = triangle_box(points, triangles[i]);
  }
  validate_bvh(bvh, boxes);
}

}  // namespace orvex

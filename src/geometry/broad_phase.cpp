#include "geometry/broad_phase.h"

#include <algorithm>

namespace orvex {

namespace {

// Whether some axis separates the boxes by more than r.
bool separated(const Aabb& a, const Aabb& b, double r) {
  for (int k = 0; k < 3; ++k) {
    if (double(a.lo[k]) - double(b.hi[k]) > r) return true;
    if (double(b.lo[k]) - double(a.hi[k]) > r) return true;
  }
  return false;
}

}  // namespace

bool within_reach(const Aabb& a, const Aabb& b, float reach) {
  // The gaps are taken in double: float operands cannot overflow there, and rounding to
  // nearest is monotone, so an exact gap <= reach never rounds above reach, and r is at
  // least reach. A node's box holds its children's, so its gap never exceeds a child's
  // and its slack is never smaller: pruning a node loses no item.
  return !separated(a, b, double(reach) + kBoundSlack * std::max(a.max_abs(), b.max_abs()));
}

BroadPhase::BroadPhase(std::vector<Aabb> boxes) : boxes_(std::move(boxes)), bvh_(build_box_bvh(boxes_)) {}

void BroadPhase::query(const Aabb& box, float reach, std::vector<uint32_t>& out, std::vector<uint32_t>& stack,
                       uint64_t* tests) const {
  if (bvh_.nodes.empty() || box.empty()) return;
  uint64_t made = 0;
  // One reach for the whole query: the root box holds every box of the hierarchy, so
  // its largest coordinate bounds theirs and this slack is at least within_reach's.
  const double r = double(reach) + kBoundSlack * std::max(bvh_.nodes[0].box.max_abs(), box.max_abs());
  stack.clear();
  stack.push_back(0);
  while (!stack.empty()) {
    const BvhNode& node = bvh_.nodes[stack.back()];
    stack.pop_back();
    ++made;
    if (separated(node.box, box, r)) continue;
    if (!node.leaf()) {
      stack.push_back(node.index);
      stack.push_back(node.index + 1);
      continue;
    }
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      const uint32_t item = bvh_.order[slot];
      ++made;
      if (!separated(boxes_[item], box, r)) out.push_back(item);
    }
  }
  if (tests) *tests += made;
}

}  // namespace orvex

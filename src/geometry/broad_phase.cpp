#include "geometry/broad_phase.h"

#include <algorithm>
#include <cmath>

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

double point_box_distance(const std::array<double, 3>& p, const Aabb& box) {
  double sum = 0;
  for (int k = 0; k < 3; ++k) {
    const double outside = std::max(double(box.lo[k]) - p[k], 0.0) + std::max(p[k] - double(box.hi[k]), 0.0);
    sum += outside * outside;
  }
  return std::sqrt(sum);
}

void BroadPhase::nearest(const std::array<double, 3>& point, double radius, size_t limit,
                         std::vector<Neighbour>& out, std::vector<Neighbour>& stack, std::span<const int64_t> skip,
                         int64_t first) const {
  out.clear();
  stack.clear();
  const bool finite = std::isfinite(point[0]) && std::isfinite(point[1]) && std::isfinite(point[2]);
  if (bvh_.nodes.empty() || limit == 0 || !finite || !(radius >= 0)) return;
  // Depth first, the nearer child first, in `stack`; the best items so far in `out`, a
  // max-heap of at most `limit`. A node as far as the worst kept item is still opened:
  // an item there may tie and come first by index.
  const auto bound = [&] { return out.size() < limit ? radius : std::min(radius, out.front().dist); };
  stack.push_back({point_box_distance(point, bvh_.nodes[0].box), 0});
  while (!stack.empty()) {
    const Neighbour top = stack.back();
    stack.pop_back();
    if (top.dist > bound()) continue;
    const BvhNode& node = bvh_.nodes[top.item];
    if (!node.leaf()) {
      Neighbour near{point_box_distance(point, bvh_.nodes[node.index].box), node.index};
      Neighbour far{point_box_distance(point, bvh_.nodes[node.index + 1].box), node.index + 1};
      if (far.dist < near.dist) std::swap(near, far);
      const double within = bound();
      if (far.dist <= within) stack.push_back(far);
      if (near.dist <= within) stack.push_back(near);
      continue;
    }
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      const Neighbour found{point_box_distance(point, boxes_[bvh_.order[slot]]), bvh_.order[slot]};
      if (!(found.dist <= radius)) continue;
      if (!skip.empty() && std::find(skip.begin(), skip.end(), first + int64_t(found.item)) != skip.end()) continue;
      if (out.size() < limit) {
        out.push_back(found);
        std::push_heap(out.begin(), out.end());
      } else if (found < out.front()) {
        std::pop_heap(out.begin(), out.end());
        out.back() = found;
        std::push_heap(out.begin(), out.end());
      }
    }
  }
  std::sort_heap(out.begin(), out.end());
}

void nearest_in(std::span<const BroadPhase* const> trees, const std::array<double, 3>& point, double radius,
                size_t limit, std::vector<ListNeighbour>& out, std::vector<Neighbour>& near,
                std::vector<Neighbour>& stack, std::span<const int64_t> skip) {
  out.clear();
  int64_t first = 0;
  for (uint32_t list = 0; list < trees.size(); first += int64_t(trees[list]->boxes().size()), ++list) {
    // Each hierarchy's nearest `limit` hold the nearest `limit` of all. Once `limit` are
    // found, a later hierarchy's item farther than the last of them cannot come in, and
    // one as far comes after it (ties go to the earlier hierarchy): the search of the
    // next one is bounded there.
    const double bound = out.size() < limit ? radius : out.back().dist;
    trees[list]->nearest(point, bound, limit, near, stack, skip, first);
    for (const Neighbour& n : near) out.push_back({n.dist, list, n.item});
    std::sort(out.begin(), out.end());
    out.resize(std::min(out.size(), limit));
  }
}

}  // namespace orvex

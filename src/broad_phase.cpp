#include "broad_phase.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvex {
namespace {

// Small leaves: a box test is far cheaper than the contact query it may save.
constexpr uint32_t kLeafSize = 4;

// The contact query computes a triangle pair's distance in double from float corners of
// magnitude at most m, a few double ulps of m (about 2^-50 m) off the exact value, so it
// may report a pair whose exact distance, and so whose boxes' gap, is that much beyond
// the reach. 2^-30 m covers this many times over and stays below a hundredth of a float
// ulp of m, so it costs no pruning. The query allows the same slack in its own pruning.
constexpr double kSlack = 0x1p-30;

}  // namespace

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
  // least reach. An inner node's box is the exact min/max of its children's, so its gap
  // never exceeds a child's and its slack is never smaller: pruning a node loses no object.
  return !separated(a, b, double(reach) + kSlack * std::max(a.max_abs(), b.max_abs()));
}

BoxTree::BoxTree(std::span<const Aabb> boxes) : boxes_(boxes.begin(), boxes.end()) {
  for (size_t i = 0; i < boxes_.size(); ++i) {
    if (!boxes_[i].empty()) items_.push_back(i);
  }
  if (items_.empty()) return;

  struct Range {
    size_t node, begin, end;
  };
  nodes_.push_back({});
  std::vector<Range> stack{{0, 0, items_.size()}};
  while (!stack.empty()) {
    const Range r = stack.back();
    stack.pop_back();

    Aabb box = boxes_[items_[r.begin]];
    Aabb centres;
    for (size_t i = r.begin; i < r.end; ++i) {
      const Aabb& b = boxes_[items_[i]];
      box.grow(b);
      for (int k = 0; k < 3; ++k) {
        // Halves first, so that the centre of a box near the float limit stays finite.
        const float c = b.lo[k] * 0.5f + b.hi[k] * 0.5f;
        centres.lo[k] = std::min(centres.lo[k], c);
        centres.hi[k] = std::max(centres.hi[k], c);
      }
    }
    const size_t count = r.end - r.begin;
    if (count <= kLeafSize) {
      nodes_[r.node] = {box, r.begin, static_cast<uint32_t>(count)};
      continue;
    }

    int axis = 0;
    for (int k = 1; k < 3; ++k) {
      if (centres.hi[k] - centres.lo[k] > centres.hi[axis] - centres.lo[axis]) axis = k;
    }
    // Median split: each child holds at most half the objects (rounded up), so the depth
    // stays below log2(n) + 1 whatever the boxes are.
    const size_t mid = r.begin + count / 2;
    std::nth_element(items_.begin() + r.begin, items_.begin() + mid, items_.begin() + r.end,
                     [&](size_t x, size_t y) {
                       const Aabb& bx = boxes_[x];
                       const Aabb& by = boxes_[y];
                       return bx.lo[axis] * 0.5f + bx.hi[axis] * 0.5f <
                              by.lo[axis] * 0.5f + by.hi[axis] * 0.5f;
                     });
    const size_t left = nodes_.size();
    nodes_[r.node] = {box, left, 0};
    nodes_.push_back({});
    nodes_.push_back({});
    stack.push_back({left, r.begin, mid});
    stack.push_back({left + 1, mid, r.end});
  }
}

void BoxTree::query(const Aabb& box, float reach, std::vector<size_t>& out, uint64_t* tests) const {
  if (nodes_.empty() || box.empty()) return;
  uint64_t made = 0;
  // One reach for the whole query: the root box holds every box of the tree, so its
  // largest coordinate bounds theirs and this slack is at least within_reach's.
  const double r = double(reach) + kSlack * std::max(nodes_[0].box.max_abs(), box.max_abs());
  // Median splits keep the depth below log2(n) + 1, and the stack holds at most one
  // pending sibling per level plus the node at hand.
  std::array<size_t, 66> stack;
  size_t depth = 0;
  stack[depth++] = 0;
  while (depth > 0) {
    const Node& node = nodes_[stack[--depth]];
    ++made;
    if (separated(node.box, box, r)) continue;
    if (node.count == 0) {
      stack[depth++] = node.first;
      stack[depth++] = node.first + 1;
      continue;
    }
    for (size_t i = node.first; i < node.first + node.count; ++i) {
      ++made;
      if (!separated(boxes_[items_[i]], box, r)) out.push_back(items_[i]);
    }
  }
  if (tests) *tests += made;
}

void BoxTree::validate() const {
  auto fail = [](const std::string& what) { throw std::logic_error("box tree: " + what); };
  std::vector<int> seen(boxes_.size(), 0);
  size_t empty = 0;
  for (const Aabb& b : boxes_) empty += b.empty();
  if (nodes_.empty()) {
    if (empty != boxes_.size()) fail("no nodes over non-empty boxes");
    return;
  }

  std::vector<size_t> stack{0};
  size_t visited = 0;
  while (!stack.empty()) {
    const size_t at = stack.back();
    stack.pop_back();
    ++visited;
    const Node& node = nodes_[at];
    if (node.count == 0) {
      // Children always come after their parent, so the walk cannot cycle.
      if (node.first <= at || node.first + 1 >= nodes_.size()) fail("bad child index");
      for (size_t c : {node.first, node.first + 1}) {
        if (!node.box.contains(nodes_[c].box)) fail("node box misses a child");
        stack.push_back(c);
      }
      continue;
    }
    if (node.first + node.count > items_.size()) fail("leaf range out of bounds");
    for (size_t i = node.first; i < node.first + node.count; ++i) {
      const size_t object = items_[i];
      if (object >= boxes_.size() || boxes_[object].empty()) fail("leaf holds a bad object");
      if (!node.box.contains(boxes_[object])) fail("leaf box misses an object");
      ++seen[object];
    }
  }
  if (visited != nodes_.size()) fail("unreachable nodes");
  for (size_t i = 0; i < boxes_.size(); ++i) {
    if (seen[i] != (boxes_[i].empty() ? 0 : 1)) fail("object " + std::to_string(i) + " not in exactly one leaf");
  }
}

}  // namespace orvex

// Broad phase of the clash pass: which objects' boxes come within the reach of a box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "geometry/trimesh.h"

namespace orvex {

/// False only when some axis separates the two non-empty boxes by more than `reach`
/// (>= 0) plus a slack far below a float ulp of their coordinates. Never false for
/// boxes whose exact gap on every axis is at most `reach`, nor for boxes holding a
/// triangle pair whose distance the contact query computes at most `reach`.
bool within_reach(const Aabb& a, const Aabb& b, float reach);

/// Static tree over one model's object boxes (median splits on the longest axis of the
/// box centres). Built once per pass, then asked once per object of the other model.
class BoxTree {
 public:
  BoxTree() = default;
  /// Object i has box `boxes[i]`; empty boxes are left out since they can meet nothing.
  explicit BoxTree(std::span<const Aabb> boxes);

  /// Appends, in no particular order, the index of every box within `reach` of `box`.
  /// Adds the number of box tests made (nodes and objects) to `*tests` when given.
  void query(const Aabb& box, float reach, std::vector<size_t>& out, uint64_t* tests) const;

  /// Checks that every node box holds its children and objects, and that every
  /// non-empty box is in exactly one leaf; throws std::logic_error naming the first fault.
  void validate() const;

 private:
  struct Node {
    Aabb box;
    size_t first;    // leaf: first position in items_; inner: index of the left child
    uint32_t count;  // leaf: number of objects; inner: 0 (the right child is first + 1)
  };

  std::vector<Aabb> boxes_;
  std::vector<size_t> items_;  // object indices, grouped by leaf
  std::vector<Node> nodes_;    // nodes_[0] is the root when there is any object
};

}  // namespace orvex

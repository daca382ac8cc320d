// Broad phase of the clash pass: which boxes of a list come within the reach of a box.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/bvh.h"

namespace orvex {

/// False only when some axis separates the two non-empty boxes by more than `reach`
/// (>= 0) plus the bound slack (see kBoundSlack). Never false for boxes whose exact gap
/// on every axis is at most `reach`, nor for boxes holding a triangle pair whose distance
/// the contact query computes at most `reach`.
bool within_reach(const Aabb& a, const Aabb& b, float reach);

/// A list of boxes (one per object of a model) and the hierarchy over them, built once
/// by median splits (see build_box_bvh), then asked once per object of the other model.
class BroadPhase {
 public:
  BroadPhase() = default;
  /// Item i has box `boxes[i]`; empty boxes take no part since they can meet nothing.
  explicit BroadPhase(std::vector<Aabb> boxes);

  std::span<const Aabb> boxes() const { return boxes_; }
  const Bvh& bvh() const { return bvh_; }

  /// Appends, in no particular order, the index of every item whose box is
  /// within_reach of `box`; the slack is taken at the larger of the hierarchy's and
  /// `box`'s coordinates, so an item beyond the reach by less than that slack may come
  /// too. `stack` is the caller's scratch, reused across queries.
  /// Adds the number of box tests made (nodes and items) to `*tests` when given.
  void query(const Aabb& box, float reach, std::vector<uint32_t>& out, std::vector<uint32_t>& stack,
             uint64_t* tests) const;

  /// validate_bvh over the boxes; throws std::logic_error naming the first fault.
  void validate() const { validate_bvh(bvh_, boxes_); }

 private:
  std::vector<Aabb> boxes_;
  Bvh bvh_;
};

}  // namespace orvex

// Broad phase of the clash pass: which boxes of a list come within the reach of a box.
#pragma once

#include <array>
#include <cstddef>
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

/// An item that BroadPhase::nearest found, with the distance from the point to its box.
struct Neighbour {
  double dist;
  uint32_t item;
  friend bool operator<(const Neighbour& a, const Neighbour& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.item < b.item);
  }
};

/// Distance from `p` to the box: sqrt of the sum over the axes of (max(lo - p, 0) +
/// max(p - hi, 0))^2, in double from the float corners, 0 inside. Every step is
/// monotone in rounded arithmetic too, so a box's distance never exceeds that of a box
/// it holds.
double point_box_distance(const std::array<double, 3>& p, const Aabb& box);

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

  /// The items whose boxes lie within `radius` of `point` (point_box_distance), nearest
  /// first and ties by index, at most `limit`, into `out` (cleared). Exact: a node is
  /// left only when its distance exceeds the radius or the limit-th best found, and no
  /// box below it can be nearer. Nothing for a point or radius that is not finite and
  /// >= 0 (an infinite radius takes every box). An item whose number `first` + item is
  /// in `skip` is passed over as if it were not there (a few numbers: each is looked for
  /// in turn). `stack` is the caller's scratch.
  void nearest(const std::array<double, 3>& point, double radius, size_t limit, std::vector<Neighbour>& out,
               std::vector<Neighbour>& stack, std::span<const int64_t> skip = {}, int64_t first = 0) const;

  /// validate_bvh over the boxes; throws std::logic_error naming the first fault.
  void validate() const { validate_bvh(bvh_, boxes_); }

 private:
  std::vector<Aabb> boxes_;
  Bvh bvh_;
};

/// An item that nearest_in found: the position of its hierarchy in the list, its index
/// there, and the distance from the point to its box.
struct ListNeighbour {
  double dist;
  uint32_t list;
  uint32_t item;
  friend bool operator<(const ListNeighbour& a, const ListNeighbour& b) {
    if (a.dist != b.dist) return a.dist < b.dist;
    return a.list != b.list ? a.list < b.list : a.item < b.item;
  }
};

/// BroadPhase::nearest over several hierarchies (the models of a report) as over one:
/// at most `limit` of all their items, nearest first, ties by the hierarchy's position
/// in `trees` and then by index, into `out` (cleared), without the items numbered in
/// `skip` (items are numbered over all hierarchies, one after the other in list order).
/// `near` and `stack` are the caller's scratch.
void nearest_in(std::span<const BroadPhase* const> trees, const std::array<double, 3>& point, double radius,
                size_t limit, std::vector<ListNeighbour>& out, std::vector<Neighbour>& near,
                std::vector<Neighbour>& stack, std::span<const int64_t> skip = {});

}  // namespace orvex

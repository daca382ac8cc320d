// The pairwise clash pass over two loaded models.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "collision_record.h"
#include "model.h"

namespace orvex {

/// Reach of the contact query in a clash_detection call: no contact farther apart than
/// this is ever reported.
inline constexpr float kPrediction = 0.5f;

/// What one run asks for: how to load, which pairs to keep, on how many threads.
struct ClashRequest {
  /// Keep the pairs whose contact distance is below this (strict, in float; NaN keeps
  /// none, +inf keeps every contact found).
  float min_dist = 0.0f;
  /// The contact query's prediction (>= 0, in model units): no pair farther apart is
  /// ever reported, whatever min_dist says.
  float reach = kPrediction;
  /// Threads for loading, meshing and the pass (>= 1); results never depend on it.
  unsigned threads = 1;
  /// Asked on the calling thread while a stage runs; false cancels (see Executor).
  std::function<bool()> poll;
  /// Keep each object's ObjectInfo when building a model.
  bool keep_info = false;
  /// The two models are one (clash a model with itself): every unordered pair of two
  /// different objects is tested once, as (lower index, higher index).
  bool self = false;
  /// When non-empty (one flag per object), only the objects whose flag is set take part.
  std::span<const uint8_t> select_a;
  std::span<const uint8_t> select_b;
};

/// One kept pair: object indices in their models, the signed distance (negative when the
/// meshes cross) and the contact points on each mesh.
struct Hit {
  uint32_t a;
  uint32_t b;
  float dist;
  Point point_a;
  Point point_b;
};

/// Work counters, for tests and benchmarks.
struct PassStats {
  uint64_t object_pairs = 0;    // pairs given to the contact query
  uint64_t node_pairs = 0;
  uint64_t triangle_pairs = 0;
  uint64_t box_tests = 0;       // broad-phase tests of a box against the reach
};

/// Tests every selected object of `a` against every selected object of `b` whose id
/// differs and keeps the pairs whose contact distance is below request.min_dist, in loop
/// order: grouped by the `a` object, then by the `b` object. The results equal those of
/// the plain loop over all pairs with the query's reach; only pairs whose boxes are too
/// far apart for an accepted distance are never given to the query.
std::vector<Hit> clash_models(const Model& a, const Model& b, const ClashRequest& request,
                              PassStats* stats = nullptr);

/// The hits as records with copies of both ids and the point on the `a` mesh.
std::vector<CollisionRecord> records_of(const std::vector<Hit>& hits, const Model& a, const Model& b);

}  // namespace orvex

// The pairwise clash pass over two loaded models.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collision_record.h"
#include "geometry/mesh_contact.h"
#include "model.h"

namespace orvex {

/// Reach of the contact query in a clash_detection call: no contact farther apart than
/// this is ever reported.
inline constexpr float kPrediction = 0.5f;

/// Work counters, for tests and benchmarks.
struct PassStats {
  uint64_t object_pairs = 0;    // pairs given to the contact query
  uint64_t node_pairs = 0;
  uint64_t triangle_pairs = 0;
  uint64_t box_tests = 0;       // broad-phase tests of a box against the reach
};

/// What a run measures of itself, for benchmarks: each stage's wall time, in the order
/// the stages end, and the pass's work counters (added to).
struct StageTimes {
  struct Stage {
    std::string name;  // "load", "mesh", "pass", ...
    double seconds;
  };
  std::vector<Stage> stages;
  PassStats pass;
};

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
  /// When set, the stages record their times and the pass its counters here.
  StageTimes* times = nullptr;
};

/// Records stages into request.times, if any: each lap is one stage, lasting from the
/// clock's start or its previous lap.
class StageClock {
 public:
  explicit StageClock(StageTimes* times) : times_(times), start_(std::chrono::steady_clock::now()) {}
  void lap(std::string_view name) {
    if (!times_) return;
    const auto now = std::chrono::steady_clock::now();
    times_->stages.push_back({std::string(name), std::chrono::duration<double>(now - start_).count()});
    start_ = now;
  }

 private:
  StageTimes* times_;
  std::chrono::steady_clock::time_point start_;
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

/// Tests every selected object of `a` against every selected object of `b` whose id
/// differs and keeps the pairs whose contact distance is below request.min_dist, in loop
/// order: grouped by the `a` object, then by the `b` object. The results equal those of
/// the plain loop over all pairs with the query's reach; only pairs whose boxes are too
/// far apart for an accepted distance are never given to the query. The objects of `a`
/// run in batches on request.threads threads (polling request.poll, see Executor); the
/// hits, their order and the counters added to `*stats` never depend on the number.
std::vector<Hit> clash_models(const Model& a, const Model& b, const ClashRequest& request,
                              PassStats* stats = nullptr);

/// Object pair (index in a, index in b).
using ObjectPair = std::pair<uint32_t, uint32_t>;

/// Every pair that clash_models would consider (same selection, self and equal-id rules)
/// whose boxes are within request.reach of each other (see BroadPhase::query), in the
/// same loop order, whatever request.threads. No pair when request.reach is negative or
/// NaN.
std::vector<ObjectPair> candidate_pairs(const Model& a, const Model& b, const ClashRequest& request);

/// The contact query (see mesh_contact) with prediction request.reach for each pair, in
/// pair order, on request.threads threads. Throws Fault(Input) when a pair names no object.
std::vector<std::optional<Contact>> contacts(const Model& a, const Model& b,
                                             std::span<const ObjectPair> pairs, const ClashRequest& request);

/// The hits as records with copies of both ids and the point on the `a` mesh.
std::vector<CollisionRecord> records_of(const std::vector<Hit>& hits, const Model& a, const Model& b);

}  // namespace orvex

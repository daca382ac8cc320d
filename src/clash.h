// The pairwise clash pass over two models' mesh objects.
#pragma once

#include <cstdint>
#include <vector>

#include "collision_record.h"
#include "convert.h"

namespace orvex {

/// Reach of the contact query: no contact farther apart than this is ever reported.
inline constexpr float kPrediction = 0.5f;

/// Work counters, for tests and benchmarks.
struct PassStats {
  uint64_t object_pairs = 0;    // pairs given to the contact query
  uint64_t node_pairs = 0;
  uint64_t triangle_pairs = 0;
  uint64_t box_tests = 0;       // broad-phase tests of a box against the reach
};

/// Tests every object of `a` against every object of `b` whose id differs and keeps
/// the pairs whose contact distance is below `min_dist` (strict, in float; NaN keeps
/// nothing), in loop order: grouped by the `a` object, then by the `b` object. Each
/// record's point lies on the `a` object's mesh. The results equal those of the plain
/// loop over all pairs with the query's reach kPrediction; only pairs whose boxes are
/// too far apart for an accepted distance are never given to the query.
std::vector<CollisionRecord> clash_pass(const std::vector<MeshObject>& a,
                                        const std::vector<MeshObject>& b, float min_dist,
                                        PassStats* stats = nullptr);

}  // namespace orvex

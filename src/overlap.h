// The volumetric survey of two models: beside each candidate pair's surface contact,
// what the engine decides without a mesh boolean (closed meshes, duplicates,
// containment) and which pairs a boolean has to measure.
#pragma once

#include <cstdint>
#include <vector>

#include "clash.h"

namespace orvex {

/// Which object of a pair lies inside the other.
enum class Inside : uint8_t { none = 0, a_in_b = 1, b_in_a = 2 };

/// One surveyed pair.
struct PairSurvey {
  uint32_t a;
  uint32_t b;
  /// The surface contact: the signed distance (negative when the meshes cross) and the
  /// points on each mesh, equal to clash_models' for every pair it keeps; for the other
  /// pairs surveyed, the same query without a reach (the exact gap, however large).
  float dist;
  Point point_a;
  Point point_b;
  bool closed_a;  // TriMesh::closed of each mesh
  bool closed_b;
  /// The boxes agree within the tolerance on all six sides, and every corner of each
  /// mesh lies within the tolerance of the other's surface.
  bool duplicate;
  /// For pairs whose surfaces are apart (no contact at distance 0), and that are not
  /// duplicates: the inner object's box lies in the outer's, and every corner of the
  /// inner lies inside the outer: winding number not 0 by ray_winding when the outer is
  /// closed, |generalized_winding| >= 0.5 when it is open.
  Inside inside;
  /// The containment involves an open mesh: it is the winding-number test's verdict
  /// about a surface, not a statement about two solids.
  bool approximate;
  /// For a containment of closed meshes: the inner solid's volume (positive), centroid
  /// and thickness (see solid_measures), which are the overlap's. NaN otherwise.
  double volume;
  Vec3d centre;
  double thickness;
};

/// The pairs of candidate_pairs (boxes within max(reach of clash_models, tolerance)), in
/// its order, that clash_models keeps (distance below request.min_dist), or that are
/// duplicates or containments, or whose meshes are both closed and touch or cross
/// (distance <= 0), so that their solids may overlap. Threads as request.threads; the
/// result never depends on them. `tolerance` (>= 0, model units) is the duplicate
/// tolerance.
std::vector<PairSurvey> survey_pairs(const Model& a, const Model& b, const ClashRequest& request,
                                     float tolerance);

/// Whether every side of box a lies within `tolerance` of the same side of box b.
bool boxes_agree(const Aabb& a, const Aabb& b, double tolerance);

}  // namespace orvex

#include "clash.h"

#include <algorithm>
#include <cmath>

#include "broad_phase.h"
#include "geometry/mesh_contact.h"

namespace orvex {

std::vector<CollisionRecord> clash_pass(const std::vector<MeshObject>& a,
                                        const std::vector<MeshObject>& b, float min_dist,
                                        PassStats* stats) {
  std::vector<CollisionRecord> found;
  // NaN and -inf accept no distance; both models have been loaded and converted already.
  if (a.empty() || b.empty() || !(min_dist > -INFINITY)) return found;

  // Only a distance below min_dist is kept, and the query never reports one beyond
  // kPrediction, so no pair farther apart than this can be kept. With min_dist <= 0 it is
  // 0: only touching or crossing triangles can give a negative distance. A float distance
  // below min_dist comes from a double one below it (rounding is monotone), so the
  // query's own pruning at this reach keeps every triangle pair that can win.
  const float reach = min_dist <= 0.0f ? 0.0f : std::min(min_dist, kPrediction);  // never -0

  std::vector<Aabb> boxes;
  boxes.reserve(b.size());
  for (const MeshObject& q : b) boxes.push_back(q.mesh.bounds());
  const BoxTree tree(boxes);

  uint64_t* box_tests = stats ? &stats->box_tests : nullptr;
  std::vector<size_t> candidates;
  for (const MeshObject& p : a) {
    candidates.clear();
    tree.query(p.mesh.bounds(), reach, candidates, box_tests);
    std::sort(candidates.begin(), candidates.end());  // visit b in list order
    for (size_t j : candidates) {
      const MeshObject& q = b[j];
      // std::string equality compares the lengths first, then the bytes.
      if (p.id == q.id) continue;
      ContactStats work;
      const std::optional<Contact> contact = mesh_contact(p.mesh, q.mesh, reach, &work);
      if (stats) {
        ++stats->object_pairs;
        stats->node_pairs += work.node_pairs;
        stats->triangle_pairs += work.triangle_pairs;
      }
      if (contact && min_dist > contact->dist) {
        found.push_back({p.id, q.id, contact->dist, contact->point1});
      }
    }
  }
  return found;
}

}  // namespace orvex

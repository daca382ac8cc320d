#include "clash.h"

#include <algorithm>
#include <cmath>

#include "diagnostics.h"
#include "geometry/mesh_contact.h"

namespace orvex {

namespace {

bool selected(std::span<const uint8_t> flags, size_t i) { return flags.empty() || flags[i] != 0; }

}  // namespace

std::vector<Hit> clash_models(const Model& a, const Model& b, const ClashRequest& request,
                              PassStats* stats) {
  if ((!request.select_a.empty() && request.select_a.size() != a.size()) ||
      (!request.select_b.empty() && request.select_b.size() != b.size())) {
    throw Fault(FaultKind::Internal, "selection flags do not match the model");
  }
  std::vector<Hit> found;
  const float min_dist = request.min_dist;
  // NaN and -inf accept no distance.
  if (a.size() == 0 || b.size() == 0 || !(min_dist > -INFINITY)) return found;

  // Only a distance below min_dist is kept, and the query never reports one beyond the
  // reach, so no pair farther apart than this can be kept. With min_dist <= 0 it is 0:
  // only touching or crossing triangles can give a negative distance. A float distance
  // below min_dist comes from a double one below it (rounding is monotone), so the
  // query's own pruning at this reach keeps every triangle pair that can win.
  const float reach = min_dist <= 0.0f ? 0.0f : std::min(min_dist, request.reach);  // never -0

  uint64_t* box_tests = stats ? &stats->box_tests : nullptr;
  std::vector<size_t> candidates;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!selected(request.select_a, i)) continue;
    const MeshObject& p = a.objects()[i];
    candidates.clear();
    b.tree().query(p.mesh.bounds(), reach, candidates, box_tests);
    std::sort(candidates.begin(), candidates.end());  // visit b in list order
    for (size_t j : candidates) {
      if (request.self && j <= i) continue;
      if (!selected(request.select_b, j)) continue;
      const MeshObject& q = b.objects()[j];
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
        found.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(j), contact->dist,
                         contact->point1, contact->point2});
      }
    }
  }
  return found;
}

std::vector<CollisionRecord> records_of(const std::vector<Hit>& hits, const Model& a, const Model& b) {
  std::vector<CollisionRecord> records;
  records.reserve(hits.size());
  for (const Hit& h : hits) {
    records.push_back({a.objects()[h.a].id, b.objects()[h.b].id, h.dist, h.point_a});
  }
  return records;
}

}  // namespace orvex

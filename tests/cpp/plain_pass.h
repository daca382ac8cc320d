// The clash pass without its broad phase: every pair of objects with different ids
// at the full reach. The pass must reproduce it exactly; the unit tests and the fuzz
// targets check that.
#pragma once

#include <optional>
#include <vector>

#include "clash.h"
#include "geometry/mesh_contact.h"

namespace orvex::testing {

inline std::vector<CollisionRecord> plain_pass(const Model& a, const Model& b, float min_dist) {
  std::vector<CollisionRecord> found;
  for (const MeshObject& p : a.objects()) {
    for (const MeshObject& q : b.objects()) {
      if (p.id == q.id) continue;
      std::optional<Contact> c = mesh_contact(p.mesh, q.mesh, kPrediction);
      if (c && min_dist > c->dist) found.push_back({p.id, q.id, c->dist, c->point1});
    }
  }
  return found;
}

}  // namespace orvex::testing

// One reported clash, as the pass collects it, and its text form.
#pragma once

#include <string>

#include "geometry/vec.h"

namespace orvex {

struct CollisionRecord {
  std::string id_a;  // the object of model a
  std::string id_b;  // the object of model b
  float dist;        // signed distance of the two meshes
  Point point;       // contact point on the a object's mesh
};

/// "Collision(ids:('A', 'B'),dist: -0.12, point: (1.00, 2.50, -3.14))": ids verbatim,
/// numbers in fixed point with two decimals rounded half to even from the exact value.
std::string collision_text(const CollisionRecord& record);

}  // namespace orvex

// Mesh-to-mesh contact query over the two meshes' hierarchies.
#pragma once

#include <cstdint>
#include <optional>

#include "geometry/triangle_contact.h"
#include "geometry/trimesh.h"

namespace orvex {

struct Contact {
  Point point1;   // on mesh 1
  Point point2;   // on mesh 2
  Point normal1;  // unit, out of mesh 1 towards mesh 2
  Point normal2;  // -normal1
  float dist;     // signed: gap > 0, penetration < 0
};

/// Work counters, for tests and benchmarks.
struct ContactStats {
  uint64_t node_pairs = 0;
  uint64_t triangle_pairs = 0;
};

/// The minimum, over all triangle pairs within `prediction` of each other, of the
/// pair's signed contact (see triangle_contact); no contact when no pair is that close.
/// A pair replaces the best found so far only when strictly smaller. Both meshes sit
/// at the identity pose.
std::optional<Contact> mesh_contact(const TriMesh& m1, const TriMesh& m2, float prediction,
                                    ContactStats* stats = nullptr);

/// A triangle-pair routine with the contract of triangle_contact.
using TriangleContactFn = std::optional<TrianglePairContact> (*)(const Triangle3d&, const Triangle3d&,
                                                                  double prediction);

/// mesh_contact over the given triangle-pair routine: the result equals the minimum over
/// all finite triangle pairs of `pair_contact` as long as the routine never reports a
/// distance below the pair's box bound (see box_contact_bound) by more than rounding.
std::optional<Contact> mesh_contact_with(const TriMesh& m1, const TriMesh& m2, float prediction,
                                         TriangleContactFn pair_contact,
                                         ContactStats* stats = nullptr);

}  // namespace orvex

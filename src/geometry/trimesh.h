// Triangle mesh with a bounding-volume hierarchy built once at construction.
#pragma once

#include <span>
#include <stdexcept>
#include <vector>

#include "geometry/aabb.h"
#include "geometry/bvh.h"
#include "geometry/vec.h"

namespace orvex {

/// The mesh constructor's rejection of its input; what() is the text reported to the user.
class MeshError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Surface mesh: float points, u32 triangles, taken as given (no merging, no removal of
/// degenerate triangles). Triangles with a non-finite corner never take part in a contact.
class TriMesh {
 public:
  /// Every index must name a point (the converter checks this before building).
  /// Throws MeshError("A triangle mesh must contain at least one triangle.") for an
  /// empty triangle list.
  TriMesh(std::vector<Point> points, std::vector<Triangle> triangles);

  std::span<const Point> points() const { return points_; }
  std::span<const Triangle> triangles() const { return triangles_; }
  /// Box around every triangle with finite corners; empty when there is none.
  const Aabb& bounds() const { return bounds_; }
  /// Hierarchy over the finite triangles, built once by the constructor.
  const Bvh& bvh() const { return bvh_; }

  /// Checks every invariant of the hierarchy; throws std::logic_error naming the first broken one.
  void validate() const;

 private:
  std::vector<Point> points_;
  std::vector<Triangle> triangles_;
  Bvh bvh_;
  Aabb bounds_;
};

}  // namespace orvex

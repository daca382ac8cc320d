// Triangle mesh with a bounding-volume hierarchy built once at construction.
#pragma once

#include <span>
#include <stdexcept>
#include <vector>

#include "geometry/vec.h"

namespace orvex {

/// The mesh constructor's rejection of its input; what() is the text reported to the user.
class MeshError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Axis-aligned box in float; empty when lo > hi on any axis.
struct Aabb {
  Point lo{INFINITY, INFINITY, INFINITY};
  Point hi{-INFINITY, -INFINITY, -INFINITY};
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

  /// Checks every invariant of the hierarchy; throws std::logic_error naming the first broken one.
  void validate() const;

 private:
  std::vector<Point> points_;
  std::vector<Triangle> triangles_;
  Aabb bounds_;
};

}  // namespace orvex

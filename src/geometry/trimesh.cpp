#include "geometry/trimesh.h"

#include <type_traits>

#include "geometry/solid.h"

namespace orvex {

// Models hold meshes in vectors, which move them when they grow only if that cannot throw.
static_assert(std::is_nothrow_move_constructible_v<TriMesh>);

TriMesh::TriMesh(std::vector<Point> points, std::vector<Triangle> triangles)
    : points_(std::move(points)), triangles_(std::move(triangles)) {
  if (triangles_.empty()) throw MeshError("A triangle mesh must contain at least one triangle.");
  bvh_ = build_bvh(points_, triangles_);
  if (!bvh_.nodes.empty()) bounds_ = bvh_.nodes.front().box;
}

bool TriMesh::closed() const {
  return closed_.get([this] { return is_closed(weld(points_, triangles_)); });
}

void TriMesh::validate() const {
  validate_bvh(bvh_, points_, triangles_);
  Aabb expected;
  for (const Triangle& t : triangles_)
    if (finite_triangle(points_, t)) expected.grow(triangle_box(points_, t));
  if (!(bounds_ == expected))
    throw std::logic_error("mesh bounds differ from the box around its finite triangles");
}

}  // namespace orvex

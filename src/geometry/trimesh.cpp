#include "geometry/trimesh.h"

namespace orvex {

TriMesh::TriMesh(std::vector<Point> points, std::vector<Triangle> triangles)
    : points_(std::move(points)), triangles_(std::move(triangles)) {
  if (triangles_.empty()) throw MeshError("A triangle mesh must contain at least one triangle.");
}

void TriMesh::validate() const {}

}  // namespace orvex

// Where a point lies with respect to a mesh: its winding number, by rays for closed
// meshes and by solid angles for any mesh, and whether it is near the surface.
#pragma once

#include <optional>
#include <vector>

#include "geometry/trimesh.h"

namespace orvex {

/// Winding number of a closed mesh (see is_closed) about p: +1 inside a solid whose
/// triangles face outwards, -1 inside one that faces inwards, 0 outside (more where the
/// surface wraps around p more than once). Counted along a ray from p: +1 for each
/// triangle it leaves through (the ray runs along the triangle's normal), -1 for each it
/// enters through; a triangle counts only when the ray certainly meets its interior.
/// Every sign comes from a triple product computed in double with a bound on its
/// rounding; a ray that passes within that bound of an edge or a corner of a triangle
/// it may meet decides nothing, and the next of a fixed list of directions is cast.
/// No answer when p lies on a triangle (within the rounding bound), or when every
/// direction was degenerate. Finite triangles only; for meshes that are not closed the
/// count depends on the direction and means nothing. Traverses the mesh's hierarchy.
std::optional<int> ray_winding(const TriMesh& mesh, const Vec3d& p);

/// Generalised winding number of any mesh about p: the sum of the signed solid angles
/// of its finite triangles seen from p, over 4 pi. Equals ray_winding (up to rounding)
/// for a closed mesh; for an open one it varies smoothly, near 1 deep inside what the
/// surface almost encloses and near 0 far outside. Sums every triangle: linear in the
/// mesh's size.
double generalized_winding(const TriMesh& mesh, const Vec3d& p);

/// generalized_winding of one mesh at many points, through its hierarchy: a node whose
/// box lies far from the point counts by its dipole term (its triangles' summed vector
/// area seen from their area-weighted centre), with a bound on the error; nodes near the
/// point are summed triangle by triangle. The answers are those of the plain sum.
class WindingField {
 public:
  /// Sums the nodes' areas and centres once: linear in the mesh's size. The mesh must
  /// outlive the field.
  explicit WindingField(const TriMesh& mesh);

  /// |generalized_winding(mesh, p)| >= 0.5. When the far-field estimate lies within its
  /// error bound of 0.5, the plain sum decides.
  bool at_least_half(const Vec3d& p) const;

 private:
  struct Moment {
    Vec3d area;       // sum of the triangles' vector areas (half the corner cross products)
    Vec3d centre;     // area-weighted centre of the triangles (the box centre without area)
    double size = 0;  // sum of the triangles' areas
  };
  const TriMesh& mesh_;
  std::vector<Moment> moments_;  // one per node of the mesh's hierarchy
};

/// Whether some point of a finite triangle of the mesh lies within `tolerance` (>= 0) of
/// p, the distances computed in double relative to p. Traverses the hierarchy, skipping
/// nodes whose box is farther than the tolerance, and stops at the first such triangle.
bool near_surface(const TriMesh& mesh, const Vec3d& p, double tolerance);

/// Whether every corner of a finite triangle of `a` is near_surface of `b`. Stops at
/// the first corner that is not.
bool corners_near_surface(const TriMesh& a, const TriMesh& b, double tolerance);

}  // namespace orvex

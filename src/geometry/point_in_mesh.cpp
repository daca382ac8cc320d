#include "geometry/point_in_mesh.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "geometry/triangle_distance.h"

namespace orvex {

namespace {

// Ray directions, tried in turn: no simple ratios between their coordinates, so that a
// ray meets an edge or a corner of building geometry only by accident, and no
// coordinate below a fifth of the largest, which keeps the slab test's rounding small.
constexpr Vec3d kRays[] = {
    {0.5384, 0.7071, 0.4580},   {-0.6230, 0.3517, 0.6987},  {0.4174, -0.5882, 0.6925},
    {0.7342, 0.4468, -0.5113},  {-0.3989, -0.6471, 0.6495}, {0.6617, -0.3711, -0.6514},
    {-0.5729, 0.6340, -0.5193}, {-0.4463, -0.5536, -0.7031},
};

// Bound on the rounding of a triple product [x, y, z] (or a dot product) of differences
// of doubles, relative to its permanent (the same sum with every product made
// positive): each of the at most eight roundings on a term's path (three differences,
// two products, the 2x2 difference, two additions) adds at most 2^-53 of it, so 2^-49
// is twice what they can add up to.
constexpr double kTripleError = 0x1p-49;

// Error budget of WindingField, in winding units: a far node counts by its dipole term
// only when its error bound is at most this share of the total times its share of the
// mesh's area, so that all of them together err by at most this much.
constexpr double kFarFieldError = 0.25;

struct Signed {
  double value;
  double error;  // bound on |value - exact value|
  int sign() const { return value > error ? 1 : value < -error ? -1 : 0; }
};

Signed triple(const Vec3d& x, const Vec3d& y, const Vec3d& z) {
  const Vec3d c = cross(y, z);
  const double permanent = std::fabs(x.x) * (std::fabs(y.y * z.z) + std::fabs(y.z * z.y)) +
                           std::fabs(x.y) * (std::fabs(y.z * z.x) + std::fabs(y.x * z.z)) +
                           std::fabs(x.z) * (std::fabs(y.x * z.y) + std::fabs(y.y * z.x));
  return {dot(x, c), kTripleError * permanent};
}

enum class RayHit { miss, crossing_out, crossing_in, degenerate, on_surface };

// The ray p + t d, t > 0, against one triangle with corners a, b, c taken relative to p.
RayHit ray_triangle(const Vec3d& d, const Vec3d& a, const Vec3d& b, const Vec3d& c) {
  // Behind p as a whole: nothing the ray can meet.
  const Vec3d corners[3] = {a, b, c};
  bool behind = true;
  for (const Vec3d& v : corners) {
    const double along = dot(d, v);
    const double permanent = std::fabs(d.x * v.x) + std::fabs(d.y * v.y) + std::fabs(d.z * v.z);
    behind = behind && along < -kTripleError * permanent;
  }
  if (behind) return RayHit::miss;
  // The line through p along d meets the triangle's interior exactly when the three
  // edge products [d, a, b], [d, b, c], [d, c, a] share a sign, which is then the sign
  // of d.n (n the triangle's normal: the three add up to it).
  const int s[3] = {triple(d, a, b).sign(), triple(d, b, c).sign(), triple(d, c, a).sign()};
  bool positive = false, negative = false, uncertain = false;
  for (int k : s) {
    positive = positive || k > 0;
    negative = negative || k < 0;
    uncertain = uncertain || k == 0;
  }
  if (positive && negative) return RayHit::miss;
  if (uncertain) return RayHit::degenerate;
  // It meets the plane at t = [a, b, c] / d.n: ahead of p when the signs agree.
  const int side = triple(a, b, c).sign();
  if (side == 0) return RayHit::on_surface;
  if ((side > 0) != positive) return RayHit::miss;
  return positive ? RayHit::crossing_out : RayHit::crossing_in;
}

// Whether the ray may meet the box: the slab test in double on the box grown by a
// margin far above the rounding of the slab parameters (a few ulps of the coordinates
// over the direction's smallest coordinate, at least a fifth of its largest).
bool ray_meets_box(const Vec3d& p, const Vec3d& d, const Aabb& box) {
  const double margin = kBoundSlack * std::max({box.max_abs(), std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
  double near = 0, far = INFINITY;
  for (int i = 0; i < 3; ++i) {
    const double t1 = (double(box.lo[i]) - margin - p[i]) / d[i];
    const double t2 = (double(box.hi[i]) + margin - p[i]) / d[i];
    near = std::max(near, std::min(t1, t2));
    far = std::min(far, std::max(t1, t2));
  }
  return near <= far;
}

Vec3d corner(const TriMesh& mesh, uint32_t triangle, int k) {
  return Vec3d(mesh.points()[mesh.triangles()[triangle][k]]);
}

// Half the signed solid angle of triangle t seen from p: atan2([a, b, c], |a||b||c| +
// (a.b)|c| + (b.c)|a| + (c.a)|b|) with a, b, c its corners relative to p (van Oosterom
// and Strackee); positive when p lies behind the triangle (its normal, by the winding,
// points away from p).
double triangle_solid_half_angle(const TriMesh& mesh, uint32_t t, const Vec3d& p) {
  const Vec3d a = corner(mesh, t, 0) - p, b = corner(mesh, t, 1) - p, c = corner(mesh, t, 2) - p;
  const double la = norm(a), lb = norm(b), lc = norm(c);
  const double denominator = la * lb * lc + dot(a, b) * lc + dot(b, c) * la + dot(c, a) * lb;
  return std::atan2(dot(a, cross(b, c)), denominator);
}

// Calls visit(triangle) for each triangle in the leaves under the nodes whose boxes pass
// `enter`, in depth-first order, until a visit returns false. False when one did.
template <class Enter, class Visit>
bool each_triangle(const TriMesh& mesh, std::vector<uint32_t>& stack, Enter&& enter, Visit&& visit) {
  const std::vector<BvhNode>& nodes = mesh.bvh().nodes;
  stack.clear();
  if (!nodes.empty()) stack.push_back(0);
  while (!stack.empty()) {
    const BvhNode& node = nodes[stack.back()];
    stack.pop_back();
    if (!enter(node.box)) continue;
    if (!node.leaf()) {
      stack.push_back(node.index);
      stack.push_back(node.index + 1);
      continue;
    }
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      if (!visit(mesh.bvh().order[slot])) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<int> ray_winding(const TriMesh& mesh, const Vec3d& p) {
  std::vector<uint32_t> stack;
  for (const Vec3d& d : kRays) {
    int winding = 0;
    RayHit stop = RayHit::miss;
    const bool complete = each_triangle(
        mesh, stack, [&](const Aabb& box) { return ray_meets_box(p, d, box); },
        [&](uint32_t t) {
          const RayHit hit = ray_triangle(d, corner(mesh, t, 0) - p, corner(mesh, t, 1) - p, corner(mesh, t, 2) - p);
          if (hit == RayHit::crossing_out) ++winding;
          if (hit == RayHit::crossing_in) --winding;
          stop = hit;
          return hit != RayHit::degenerate && hit != RayHit::on_surface;
        });
    if (complete) return winding;
    if (stop == RayHit::on_surface) return std::nullopt;
  }
  return std::nullopt;
}

double generalized_winding(const TriMesh& mesh, const Vec3d& p) {
  double sum = 0;
  for (uint32_t t : mesh.bvh().order) sum += triangle_solid_half_angle(mesh, t, p);
  return sum / (2 * std::numbers::pi);
}

WindingField::WindingField(const TriMesh& mesh) : mesh_(mesh), moments_(mesh.bvh().nodes.size()) {
  const std::vector<BvhNode>& nodes = mesh.bvh().nodes;
  // Children follow their parent in the node array, so a backward sweep meets them first.
  for (size_t k = nodes.size(); k-- > 0;) {
    const BvhNode& node = nodes[k];
    Moment& m = moments_[k];
    Vec3d weighted;
    if (node.leaf()) {
      for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
        const uint32_t t = mesh.bvh().order[slot];
        const Vec3d a = corner(mesh, t, 0), b = corner(mesh, t, 1), c = corner(mesh, t, 2);
        const Vec3d area = cross(b - a, c - a) * 0.5;
        const double size = norm(area);
        m.area = m.area + area;
        m.size += size;
        weighted = weighted + (a + b + c) * (size / 3);
      }
    } else {
      for (uint32_t child : {node.index, node.index + 1}) {
        m.area = m.area + moments_[child].area;
        m.size += moments_[child].size;
        weighted = weighted + moments_[child].centre * moments_[child].size;
      }
    }
    const Vec3d middle = (Vec3d(node.box.lo) + Vec3d(node.box.hi)) * 0.5;
    m.centre = m.size > 0 ? weighted * (1 / m.size) : middle;
  }
}

bool WindingField::at_least_half(const Vec3d& p) const {
  const std::vector<BvhNode>& nodes = mesh_.bvh().nodes;
  if (nodes.empty()) return false;
  // A node's triangles y seen from p give solid angles of integrand
  // f(y) = (y - p).n / |y - p|^3, whose gradient in y is at most 4 / |y - p|^3. With R
  // the distance from p to the node's box and D its diagonal, the centre and every y lie
  // in the box, so replacing f(y) by f(centre) errs by at most 4 D / R^3 per unit area:
  // 4 D A / R^3 in solid angle, D A / (pi R^3) in winding units. The rounding of the
  // sums is many orders of magnitude below the budget.
  double solid_angle = 0, error = 0;
  std::vector<uint32_t> stack{0};
  while (!stack.empty()) {
    const uint32_t k = stack.back();
    stack.pop_back();
    const BvhNode& node = nodes[k];
    const Moment& m = moments_[k];
    double gap2 = 0, diagonal2 = 0;
    for (int i = 0; i < 3; ++i) {
      const double gap = std::max({double(node.box.lo[i]) - p[i], p[i] - double(node.box.hi[i]), 0.0});
      const double side = double(node.box.hi[i]) - node.box.lo[i];
      gap2 += gap * gap;
      diagonal2 += side * side;
    }
    if (gap2 > 0) {
      const double bound = std::sqrt(diagonal2) * m.size / (std::numbers::pi * gap2 * std::sqrt(gap2));
      if (bound <= kFarFieldError * m.size / moments_[0].size) {
        const Vec3d q = m.centre - p;
        const double r = norm(q);
        solid_angle += dot(m.area, q) / (r * r * r);
        error += bound;
        continue;
      }
    }
    if (!node.leaf()) {
      stack.push_back(node.index);
      stack.push_back(node.index + 1);
      continue;
    }
    for (uint32_t slot = node.index; slot < node.index + node.count; ++slot) {
      solid_angle += 2 * triangle_solid_half_angle(mesh_, mesh_.bvh().order[slot], p);
    }
  }
  const double winding = std::fabs(solid_angle / (4 * std::numbers::pi));
  if (winding >= 0.5 + error) return true;
  if (winding < 0.5 - error) return false;
  return std::fabs(generalized_winding(mesh_, p)) >= 0.5;
}

bool near_surface(const TriMesh& mesh, const Vec3d& p, double tolerance) {
  // Box distances in double from float corners are exact but for a few ulps; the slack
  // keeps a box whose triangle lies within the tolerance from being skipped.
  const double reach = tolerance + kBoundSlack * std::max(mesh.bounds().max_abs(), norm(p));
  auto box_near = [&](const Aabb& box) {
    double gap2 = 0;
    for (int i = 0; i < 3; ++i) {
      const double gap = std::max({double(box.lo[i]) - p[i], p[i] - double(box.hi[i]), 0.0});
      gap2 += gap * gap;
    }
    return gap2 <= reach * reach;
  };
  const TriangleFrame point = triangle_frame({Vec3d{}, Vec3d{}, Vec3d{}});
  const double limit2 = tolerance * tolerance;
  std::vector<uint32_t> stack;
  return !each_triangle(mesh, stack, box_near, [&](uint32_t t) {
    const TriangleFrame frame =
        triangle_frame({corner(mesh, t, 0) - p, corner(mesh, t, 1) - p, corner(mesh, t, 2) - p});
    return !(triangle_closest_points(frame, point).dist2 <= limit2);
  });
}

bool corners_near_surface(const TriMesh& a, const TriMesh& b, double tolerance) {
  std::vector<uint8_t> done(a.points().size(), 0);
  for (uint32_t t : a.bvh().order) {
    for (uint32_t v : a.triangles()[t]) {
      if (done[v]) continue;
      done[v] = 1;
      if (!near_surface(b, Vec3d(a.points()[v]), tolerance)) return false;
    }
  }
  return true;
}

}  // namespace orvex
